#!/usr/bin/env bash
# Builds traxel and runs all its tests: the unit, process and fault tests,
# the fuzz targets for 5 s each (FUZZ_SECONDS), the browser test against the
# installed system (which this installs and serves on 127.0.0.1:8080, and
# leaves running), and once more the tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, but for those that run no program of that build
# (labels e2e and script) and the slow ones, which only wait on the clock.
# Run as root. Each step says how long it took.
. "$(dirname "$0")/help.sh"
set -euo pipefail
cd "$(dirname "$0")/.."

# Runs a step and prints its duration.
step() {
  local start=$SECONDS
  "$@"
  echo "test.sh: $((SECONDS - start)) s for: $*"
}

step scripts/deps.sh --test
step cmake -S . -B build -DTRAXEL_WERROR=ON
step cmake --build build -j2
FUZZ_SECONDS=${FUZZ_SECONDS:-5} step scripts/fuzz.sh
step scripts/serve.sh
# Most tests sleep, waiting for 5-second samples: four at once keep the two
# cores busy without starving them.
step ctest --test-dir build --output-on-failure -j4

step cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAXEL_SANITIZE=ON -DTRAXEL_WERROR=ON
step cmake --build build-asan -j2
step ctest --test-dir build-asan --output-on-failure -j4 -LE 'e2e|script|slow'
echo "test.sh: all passed in $SECONDS s"
