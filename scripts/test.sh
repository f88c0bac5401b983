#!/usr/bin/env bash
# Builds traxel and runs all its tests: the unit, process and fault tests,
# the fuzz targets for a bounded time, the browser test against the installed
# system (which this installs and serves on 127.0.0.1:8080, and leaves
# running), and once more every test but the browser's under
# AddressSanitizer and UndefinedBehaviorSanitizer. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test

cmake -S . -B build -DTRAXEL_WERROR=ON
cmake --build build -j2
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh
scripts/serve.sh
ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAXEL_SANITIZE=ON -DTRAXEL_WERROR=ON
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2 -LE e2e
