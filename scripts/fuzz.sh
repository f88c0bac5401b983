#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30) on the corpus kept in fuzz/corpus/<target>,
# as many at once as there are cores (FUZZ_JOBS). Inputs found new are kept
# in build-fuzz/found/<target>, not in the tree. scripts/test.sh runs this
# with 5 seconds a target; a longer run: FUZZ_SECONDS=600 scripts/fuzz.sh.
. "$(dirname "$0")/help.sh"
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-$(nproc)}

cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$jobs"

# Runs one target; its log and its exit status go to build-fuzz/<target>.log
# and build-fuzz/<target>.status.
fuzz_one() {
  local target=$1 corpus=$2 found=build-fuzz/found/$1 status=0
  mkdir -p "$found"
  build-fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -artifact_prefix=build-fuzz/ "$found" "$corpus" >build-fuzz/"$target".log 2>&1 || status=$?
  echo "$status" >build-fuzz/"$target".status
}

targets=()
for corpus in fuzz/corpus/*/; do
  target=$(basename "$corpus")
  targets+=("$target")
  rm -f build-fuzz/"$target".status
  fuzz_one "$target" "$corpus" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait

failed=0
for target in "${targets[@]}"; do
  if [ "$(cat build-fuzz/"$target".status 2>/dev/null)" = 0 ]; then
    echo "fuzz $target: ok ($(grep -o 'Done [0-9]* runs' build-fuzz/"$target".log))"
  else
    echo "fuzz $target: FAILED"; tail -40 build-fuzz/"$target".log
    failed=$((failed + 1))
  fi
done
if [ "$failed" -ne 0 ]; then echo "fuzz: $failed of ${#targets[@]} targets failed"; exit 1; fi
echo "fuzz: all ${#targets[@]} targets ran clean in $seconds s each"
