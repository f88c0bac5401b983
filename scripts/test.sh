#!/usr/bin/env bash
# Builds traxel and runs all its tests: once as built, once more under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake -S . -B build -DTRAXEL_WERROR=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAXEL_SANITIZE=ON -DTRAXEL_WERROR=ON
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2
