#!/usr/bin/env bash
# Builds the benchmarks of traxel, runs them all and prints one table of figures against their baselines.
# Usage: scripts/bench.sh [--quick]   (as root: the web path runs its own
# mini_httpd whose CGI programs run as nobody). --quick runs smaller sizes.
# BENCH_BUILD_DIR picks the build directory (default build-bench); the page
# benchmarks install the system's build (TRAXEL_BUILD_DIR, default build)
# into a private tree, and the page's memory keeps it open for an hour (15
# minutes with --quick). Targets are reported in the table as met or not;
# they never fail the run. The exit status is non-zero only when a benchmark
# could not run or lost samples.
. "$(dirname "$0")/help.sh"
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-build-bench}
quick=0
[ "${1:-}" = --quick ] && quick=1

scripts/deps.sh --bench
cmake -S bench -B "$build" >/dev/null
cmake --build "$build" -j2 >/dev/null
# The figures rest on the shared pieces: their tests come first.
ctest --test-dir "$build" --output-on-failure >/dev/null || {
  ctest --test-dir "$build" --output-on-failure --rerun-failed >&2
  exit 1
}
# Pages of freshly linked programs count as dirty memory until written back.
sync
bin=$build/bin
out=$(mktemp) log=$build/bench.log
: >"$log"
trap 'rm -f "$out"' EXIT

if [ $quick -eq 1 ]; then
  rounds=50 relay=(--runs 3 --samples 500) scale=(--feeds 100 --phases 1:3,0.05:2,0.01:2)
  frames=100000 web=(--clients 50 --every 0.1 --for 3) min_time=0.05 page=(--rounds 50 --runs 1)
  live=(--rates 1000,100000,top --seconds 2) hooks=(--rates 100000,top --runs 1 --seconds 1)
  window=(--intervals 100) load=(--runs 2) memory=(--minutes 15 --win 5)
else
  rounds=300 relay=(--runs 7 --samples 2000) scale=(--feeds 1000) frames=300000
  web=(--clients 200 --every 0.1 --for 10) min_time=0.5 page=(--rounds 250 --runs 5)
  live=(--rates 1000,100000,top --seconds 3) hooks=(--rates 100000,top --runs 3 --seconds 2)
  window=(--intervals 500) load=(--runs 5) memory=(--minutes 60)
fi

failed=()
# Runs one benchmark with a time bound; its rows and notes go to the table,
# its diagnostics to the log.
run() {
  local name=$1 limit=$2
  shift 2
  echo "bench: $name" >&2
  if ! timeout --kill-after=10 "$limit" "$@" >>"$out" 2>>"$log"; then
    failed+=("$name")
    printf 'row\t%s\tFAILED (see %s)\t-\t-\t-\t-\n' "$name" "$log" >>"$out"
  fi
}

run "feed start-up" 300 "$bin/startup_bench" --rounds $rounds "$bin/feedbase" \
  dynamic="$bin/plotfeed_dynamic" static-libstdc++="$bin/plotfeed_static_libstdcxx" \
  static="$bin/plotfeed_full_static" "as built"="$bin/plotfeed"
run "relay latency" 300 "$bin/relay_bench" "${relay[@]}" "$bin/plotfeed"
run "page" 300 "$bin/feeds_bench" "${page[@]}" "$bin/plotfeed" "$bin/feeds"
run "scale" 600 "$bin/scale_bench" "${scale[@]}" "$bin/plotfeed"
run "daemon counting" 300 "$bin/classify_bench" --frames $frames
run "live capture" 600 "$bin/live_bench" "$build/traxel" "${live[@]}"
run "kernel hooks" 300 "$bin/hook_bench" "${hooks[@]}"
run "daemon window" 300 "$bin/window_bench" "${window[@]}"
run "address matching" 300 "$bin/subred_bench" --benchmark_color=false --benchmark_min_time=$min_time
if command -v mini_httpd >/dev/null || [ -x /usr/sbin/mini_httpd ]; then
  run "web path" 300 "$bin/web_bench" "${web[@]}" "$bin/plotfeed"
else
  failed+=("web path")
  printf 'row\tweb path\tnot run: mini_httpd is not installed\t-\t-\t-\t-\n' >>"$out"
fi

# The page in the real browser, installed from the system's build with its
# npm packages (scripts/serve.sh or test.sh makes it).
main=$(realpath -m "${TRAXEL_BUILD_DIR:-build}")
if [ -d "$main/web/node_modules/playwright-core" ] && [ -x /usr/bin/chromium ]; then
  export TRAXEL_BUILD_DIR=$main NODE_PATH=$main/web/node_modules CMAKE_COMMAND=$(command -v cmake)
  export TRAXEL_INSTALL_DIR=$(sed -n 's/^TRAXEL_INSTALL_DIR:PATH=//p' "$main/CMakeCache.txt")
  run "page load" 900 node bench/page_load.js "$bin/window_feeder" "${load[@]}"
  run "page memory" 4500 node bench/page_memory.js "${memory[@]}"
else
  failed+=("page")
  printf 'row\tpage in the browser\tnot run: no build with its npm packages in %s\t-\t-\t-\t-\n' "$main" >>"$out"
fi

# The table: one row per figure, the notes below it.
awk -F '\t' '
  $1 == "row" { n++; for (i = 2; i <= 7; i++) { c[n, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  $1 == "note" { notes[++m] = $2 }
  END {
    split("name figure baseline ratio target met?", h, " ")
    for (i = 2; i <= 7; i++) if (length(h[i - 1]) > w[i]) w[i] = length(h[i - 1])
    for (i = 2; i <= 7; i++) printf "%-*s%s", w[i], h[i - 1], i < 7 ? "  " : "\n"
    for (i = 2; i <= 7; i++) { s = ""; for (j = 0; j < w[i]; j++) s = s "-"; printf "%s%s", s, i < 7 ? "  " : "\n" }
    for (r = 1; r <= n; r++)
      for (i = 2; i <= 7; i++) printf "%-*s%s", w[i], c[r, i], i < 7 ? "  " : "\n"
    if (m) print ""
    for (k = 1; k <= m; k++) print "- " notes[k]
  }' "$out"

if [ ${#failed[@]} -gt 0 ]; then
  echo "bench: failed: ${failed[*]} (diagnostics in $log)" >&2
  exit 1
fi
