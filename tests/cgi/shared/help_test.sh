#!/usr/bin/env bash
# Tests -h and --help: each CGI program prints its usage only when run by
# hand, never inside a CGI request (where the web server picks the
# arguments), and each script prints its opening comment and does nothing else.
# Usage: help_test.sh CGI_BIN_DIR SCRIPTS_DIR
set -uo pipefail
bin=$1 scripts=$2
failed=0
fail() { echo "FAIL $*"; failed=1; }

for prog in plotfeed start feeds metrics; do
  for flag in -h --help; do
    out=$(cd "$bin" && env -u GATEWAY_INTERFACE "./$prog" "$flag" 2>&1); status=$?
    [ "$status" -eq 0 ] && [[ $out == "usage: "* ]] || fail "$prog $flag by hand: status $status: $out"
    out=$(cd "$bin" && GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET "./$prog" "$flag" 2>&1)
    [[ $out != *"usage: "* ]] || fail "$prog $flag in a CGI request printed its usage: $out"
  done
done

# A script's help is its opening comment; it must come before anything runs
# (serve.sh --help restarting the system was a fault), so it is the same for
# any user and in any directory. They run as nobody from a copy that nobody
# can read (a clone may lie in root's home), so a fault changes nothing.
copy=$(mktemp -d /tmp/traxel-help-XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp "$scripts"/*.sh "$copy"/ && chmod 0755 "$copy" && chmod 0644 "$copy"/*.sh
for script in "$copy"/*.sh; do
  name=$(basename "$script")
  # Files sourced by the scripts (help.sh, units.sh) are not run.
  [ "$(head -c 2 "$script")" = '#!' ] || continue
  want=$(sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$script")
  out=$(cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups bash "$script" --help 2>&1); status=$?
  [ "$status" -eq 0 ] && [ "$out" = "$want" ] && [ -n "$want" ] || fail "$name --help: status $status: $out"
done
[ "$failed" -eq 0 ] && echo "help: all passed"
exit "$failed"
