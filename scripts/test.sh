#!/usr/bin/env bash
# Builds traxel and runs all its tests: the unit, process and fault tests,
# the fuzz targets for 5 s each (FUZZ_SECONDS), the tests of an installation
# that this installs and serves (scripts/serve.sh) into a private directory
# below /tmp on a free port of 127.0.0.1, with graphs of its own, and removes
# at the end, and once more the tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, but for those that run no program of that build
# (labels e2e and script) and the slow ones, which only wait on the clock.
# An installation in /usr/local/traxel, and whatever runs there, is left as
# it is. Run as root. Each step says how long it took.
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
# deps.sh installed every tool the tests drive: a test that misses one fails
# here, where on a developer's machine without it it is skipped.
export TRAXEL_TOOLS_REQUIRED=1

# The private installation: its directory is built into the launcher, its
# site.cfg picks the port and no units, its graphs' names carry this run's
# id (feeds of one name meet in /tmp/<graph>.pid, whatever their
# installation), and the shipped capture.cfg stays beside them.
private=$(mktemp -d /tmp/traxel-test-XXXXXX)
export TRAXEL_INSTALL_DIR=$private/traxel
cleanup() {
  scripts/stop.sh >/dev/null || true
  rm -rf "$private"
}
trap cleanup EXIT
id=$(( $$ % 100000 ))
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
chmod 0755 "$private"
mkdir -p "$TRAXEL_INSTALL_DIR"
printf 'listen 127.0.0.1\nport %s\nboot no\n' "$port" >"$TRAXEL_INSTALL_DIR/site.cfg"
printf 'window 5\nport%s %s 0 1000 800\nproto%s 6 0 1000000 800000\n' "$id" "$port" "$id" >"$TRAXEL_INSTALL_DIR/traxel.cfg"
export TRAXEL_URL=http://127.0.0.1:$port/

step cmake -S . -B build -DTRAXEL_WERROR=ON -DTRAXEL_INSTALL_DIR="$TRAXEL_INSTALL_DIR"
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
