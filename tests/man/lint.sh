#!/usr/bin/env bash
# Lint of the manual pages: each renders without a message from mandoc's checker or a warning from groff as man runs it.
# Usage: lint.sh MAN_DIR. Exits 77 (skipped) when mandoc or man is missing, outside scripts/test.sh.
set -uo pipefail
dir=$1
. "$(dirname "$0")/../support/tool.sh"
need_tool mandoc mandoc
need_tool man man-db

pages=("$dir"/*.[1-8])
[ -e "${pages[0]}" ] || { echo "FAIL: no manual pages in $dir"; exit 1; }
failed=0
for page in "${pages[@]}"; do
  # Warnings and errors only: mandoc's style notes include references to
  # pages that are not installed on this machine.
  said=$(mandoc -T lint -W warning "$page" 2>&1)
  if [ $? -ne 0 ] || [ -n "$said" ]; then
    echo "FAIL mandoc $page:"; echo "$said"; failed=$((failed + 1))
  fi
  # Every groff warning, on a terminal of 80 columns: a line that cannot be
  # broken there would run off an admin's screen.
  said=$(MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ $? -ne 0 ] || [ -n "$said" ]; then
    echo "FAIL man $page:"; echo "$said"; failed=$((failed + 1))
  fi
done
echo "${#pages[@]} pages, $failed faults"
[ "$failed" -eq 0 ]
