#!/usr/bin/env bash
# Tests the systemd units that an installation makes, offline: systemd-analyze
# verify finds nothing to say but that the daemon's user is nobody, and its
# security review scores the daemon's unit at most 3.0.
# Usage: units_test.sh CMAKE SITE_CMAKE CAPS SYSCALLS   (CAPS and SYSCALLS as CMake lists)
set -uo pipefail
cmake=$1 site=$2 caps=$3 syscalls=$4
work=$(mktemp -d /tmp/traxel-units-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL $*"; failed=1; }

# An installation directory whose daemon verify can find; DESTDIR keeps the
# units out of the host's systemd whatever it runs.
cp /bin/true "$work/traxel"
if ! DESTDIR=$work "$cmake" -DTRAXEL_DIR="$work" -DTRAXEL_HOME="$work" -Dsite_listen=127.0.0.1 -Dsite_port=8080 \
       -Dsite_web_user=nobody -Dsite_web_group=nogroup -Dsite_boot=no -Dsite_user=nobody -Dsite_textfile=/var/lib/prometheus/node-exporter \
       -DTRAXEL_CAPS="$caps" -DTRAXEL_SYSCALLS="$syscalls" -P "$site" >"$work/made" 2>&1; then
  fail "site.cmake: $(cat "$work/made")"
fi
for unit in traxel.service traxel-httpd.service; do
  # The daemon runs as the web server's user, who owns the pipes, so that
  # a daemon the launcher starts can write them too: nobody by default.
  said=$(systemd-analyze verify --man=no "$work/systemd/$unit" 2>&1 |
         grep -v 'Special user nobody configured, this is not safe!')
  [ -z "$said" ] || fail "verify $unit: $said"
done
score=$(systemd-analyze --offline=true security "$work/systemd/traxel.service" 2>/dev/null |
        sed -n 's/^→ Overall exposure level for traxel.service: \([0-9.]*\).*/\1/p')
if [ -z "$score" ]; then fail "no score for traxel.service"
elif awk -v s="$score" 'BEGIN { exit !(s > 3.0) }'; then fail "traxel.service scores $score, above 3.0"
else echo "traxel.service scores $score"; fi
grep -q "^ReadWritePaths=$work/run /var/lib/prometheus/node-exporter\$" "$work/systemd/traxel.service" ||
  fail "the textfile directory is not writable for the daemon"
[ "$failed" -eq 0 ] && echo "units: all passed"
exit "$failed"
