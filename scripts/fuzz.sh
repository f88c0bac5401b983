#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30) on the corpus kept in fuzz/corpus/<target>.
# Inputs found new are kept in build-fuzz/found/<target>, not in the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2

passed=0 failed=0
for corpus in fuzz/corpus/*/; do
  target=$(basename "$corpus")
  found=build-fuzz/found/$target
  mkdir -p "$found"
  if build-fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
       -artifact_prefix=build-fuzz/ "$found" "$corpus" >build-fuzz/"$target".log 2>&1; then
    echo "fuzz $target: ok ($(grep -o 'Done [0-9]* runs' build-fuzz/"$target".log))"
    passed=$((passed + 1))
  else
    echo "fuzz $target: FAILED"; tail -40 build-fuzz/"$target".log
    failed=$((failed + 1))
  fi
done
if [ "$failed" -ne 0 ]; then echo "fuzz: $failed of $((passed + failed)) targets failed"; exit 1; fi
echo "fuzz: all $passed targets ran clean"
