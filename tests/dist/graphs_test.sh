#!/usr/bin/env bash
# Tests of layout.cmake: the feed links, pipes and graph list it lays out from the daemon's check, and the faults that stop it.
# Usage: graphs_test.sh CMAKE LAYOUT_CMAKE TRAXEL_BIN DEFAULT_CFG DEFAULT_CAPTURE_CFG
set -uo pipefail
cmake=$1 script=$2 daemon=$3 default_cfg=$4 default_capture=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
pass() { passed=$((passed + 1)); }

# Runs layout.cmake on an installation tree $work/t holding the built daemon,
# configuration file $1 and, when given, settings file $2; output in $work/out.
run() {
  rm -rf "$work/t" && mkdir -p "$work/t/httpd/cgi-bin" "$work/t/httpd/htdocs" && touch "$work/t/httpd/cgi-bin/plotfeed"
  ln -s "$daemon" "$work/t/traxel"
  cp "$1" "$work/t/traxel.cfg"
  [ -n "${2:-}" ] && cp "$2" "$work/t/capture.cfg"
  [ -n "${prepare:-}" ] && eval "$prepare"
  "$cmake" -DTRAXEL_DIR="$work/t" -DTRAXEL_AS_ROOT="${as_root:-FALSE}" -P "$script" >"$work/out" 2>&1
}
cgi=$work/t/httpd/cgi-bin
json=$work/t/httpd/htdocs/graphs.json

# The shipped configuration and settings: one link and one pipe per graph,
# and the list with the interval and the graphs per connection.
prepare='' run "$default_cfg" "$default_capture" || fail default "exit $?: $(cat "$work/out")"
expected='{"win": 5, "interval": 5, "per_connection": 256, "graphs": [
  {"name": "port8080", "kind": "port", "unit": "packets"},
  {"name": "port80-http", "kind": "port", "unit": "kbits"},
  {"name": "port443-tls", "kind": "port", "unit": "kbits"},
  {"name": "port22-ssh", "kind": "port", "unit": "kbits"},
  {"name": "sock22-ssh", "kind": "sock", "unit": "connections"},
  {"name": "port53-dns", "kind": "port", "unit": "packets"},
  {"name": "proto-tcp", "kind": "proto", "unit": "kbits"},
  {"name": "proto-udp", "kind": "proto", "unit": "kbits"},
  {"name": "proto-icmp", "kind": "proto", "unit": "packets"},
  {"name": "proto-icmp6", "kind": "proto", "unit": "packets"},
  {"name": "net-loopback", "kind": "net", "unit": "kbits"}
]}'
[ "$(cat "$json")" = "$expected" ] && pass || fail default.json "$(cat "$json")"
for g in port8080 port80-http sock22-ssh proto-icmp6 net-loopback; do
  [ "$(readlink "$cgi/$g")" = plotfeed ] && pass || fail "default.link.$g" "$(ls -l "$cgi/$g")"
  [ "$(stat -c %A "$cgi/$g.fifo")" = prw-r----- ] && pass || fail "default.fifo.$g" "$(stat -c %A "$cgi/$g.fifo")"
done

# IPv6 hosts and networks and prefix lengths are taken.
printf 'window 5\nnet-lab 10.0.0.0 8 0 1 1\nnet6-lab fd77:: 64 0 1 1\nip6-host 2001:0db8:0:0:0:0:0:1 0 1 1\n' >"$work/v6.cfg"
prepare='' run "$work/v6.cfg" && [ -p "$cgi/ip6-host.fifo" ] && pass || fail ipv6 "$(cat "$work/out")"

# A reinstall keeps a pipe that exists (the daemon may hold unread lines in
# it) and what an admin put in place of a graph's link, saying so, and drops
# feed links of graphs that left the configuration, but no other file.
printf 'window 10\nport80 80 0 10 5\nport81 81 0 10 5\nport82 82 0 10 5\n' >"$work/one.cfg"
prepare='mkfifo "$cgi/port80.fifo"; ino=$(stat -c %i "$cgi/port80.fifo");
  ln -s plotfeed "$cgi/port22"; mkfifo "$cgi/port22.fifo";
  ln -s start "$cgi/other"; touch "$cgi/start";
  printf "#!/bin/sh\n" >"$cgi/port81"; ln -s /usr/local/bin/feed "$cgi/port82"'
run "$work/one.cfg" || fail reinstall "exit $?: $(cat "$work/out")"
[ "$(stat -c %i "$cgi/port80.fifo")" = "$ino" ] && pass || fail reinstall.keep "port80.fifo was replaced"
[ ! -e "$cgi/port22" ] && [ ! -e "$cgi/port22.fifo" ] && pass || fail reinstall.stale "port22 left behind"
[ -L "$cgi/other" ] && [ -e "$cgi/start" ] && pass || fail reinstall.other "a foreign file was removed"
grep -qx -- "-- Removed: $cgi/port22" "$work/out" && pass || fail reinstall.msg "$(cat "$work/out")"
[ "$(cat "$cgi/port81")" = '#!/bin/sh' ] && [ "$(readlink "$cgi/port82")" = /usr/local/bin/feed ] &&
  [ -p "$cgi/port81.fifo" ] && pass || fail reinstall.admin "$(ls -l "$cgi")"
[ "$(grep -c -- "-- Kept: $cgi/port8[12], which is not the installation's link to plotfeed" "$work/out")" = 2 ] &&
  pass || fail reinstall.admin.msg "$(cat "$work/out")"
[ "$(cat "$json")" = '{"win": 10, "interval": 5, "per_connection": 256, "graphs": [
  {"name": "port80", "kind": "port", "unit": "packets"},
  {"name": "port81", "kind": "port", "unit": "packets"},
  {"name": "port82", "kind": "port", "unit": "packets"}
]}' ] && pass || fail reinstall.json "$(cat "$json")"

# Installed by root, the pipes are the web server's user's, mode 0640, also
# those that were another's or readable by all; a link in a pipe's place is
# not followed.
if [ "$(id -u)" = 0 ]; then
  printf 'window 5\nport80 80 0 1 1\nport81 81 0 1 1\nport82 82 0 1 1\n' >"$work/three.cfg"
  prepare='printf "web-user daemon\n" >"$work/t/site.cfg"; mkfifo "$cgi/port80.fifo"; chown nobody "$cgi/port80.fifo";
    mkfifo -m 0644 "$work/outside.fifo"; ln -s "$work/outside.fifo" "$cgi/port82.fifo"'
  as_root=TRUE run "$work/three.cfg" || fail root "exit $?: $(cat "$work/out")"
  [ "$(stat -c %U:%G:%a "$cgi/port80.fifo" "$cgi/port81.fifo" "$work/outside.fifo")" = "daemon:daemon:640
daemon:daemon:640
root:root:644" ] && pass || fail root.owner "$(ls -l "$cgi" "$work/outside.fifo")"
fi

# Units from capture.cfg: later lines win, a line without graphs sets all,
# and a sock graph counts new connections.
printf 'window 5\nport80 80 0 10 5\nsock22 22 0 10 5\nproto-udp 17 0 10 5\n' >"$work/three.cfg"
printf '# units; of the graphs\nunit kbits\ninterface lo  # trailing\n\nunit packets sock22 proto-udp\nunit bits proto-udp\n' >"$work/capture.cfg"
prepare='' run "$work/three.cfg" "$work/capture.cfg" || fail units "exit $?: $(cat "$work/out")"
[ "$(cat "$json")" = '{"win": 5, "interval": 5, "per_connection": 256, "graphs": [
  {"name": "port80", "kind": "port", "unit": "kbits"},
  {"name": "sock22", "kind": "sock", "unit": "connections"},
  {"name": "proto-udp", "kind": "proto", "unit": "bits"}
]}' ] && pass || fail units.json "$(cat "$json")"

# Refused files: the daemon's line (after "traxel: "), nothing laid out.
prepare=''
while IFS='|' read -r name cfg settings message; do
  printf "$cfg" >"$work/bad.cfg"
  printf "$settings" >"$work/capture.cfg"
  if run "$work/bad.cfg" "$work/capture.cfg"; then
    fail "$name" "accepted"
  elif grep -qxF -- "traxel: $message" "$work/out" && [ ! -e "$json" ] && [ "$(ls "$cgi")" = plotfeed ]; then
    pass
  else
    fail "$name" "$(cat "$work/out")"
  fi
done <<'EOF'
no-window|port80 80 0 1 1\n||traxel.cfg: does not start with "window" and a number of minutes in 1..1440
zero-window|window 0\nport80 80 0 1 1\n||traxel.cfg: does not start with "window" and a number of minutes in 1..1440
long-window|window 1441\nport80 80 0 1 1\n||traxel.cfg: does not start with "window" and a number of minutes in 1..1440
no-graph|window 5\n||traxel.cfg: no graph records
no-kind|window 5\nhttp80 80 0 1 1\n||traxel.cfg: record 1 (http80): name holds none of the words port, proto, sock, net, ip
two-kinds|window 5\nportnet 80 0 1 1\n||traxel.cfg: record 1 (portnet): name holds more than one of the words port, proto, sock, net, ip (port and net)
too-long|window 5\nport-of-the-web 80 0 1 1\n||traxel.cfg: record 1 (port-of-the-web): name longer than 12 characters
bad-char|window 5\nport/80 80 0 1 1\n||traxel.cfg: record 1 (port/80): name holds "/", not a letter, digit, '.', '_' or '-'
twice|window 5\nport80 80 0 1 1\nport80 81 0 1 1\n||traxel.cfg: record 2 (port80): a second record of this name
short-record|window 5\nport80 80 0 1\n||traxel.cfg: record 1 (port80): the file ends inside the record
short-net|window 5\nnet-a 10.0.0.0 255.0.0.0 0 1\n||traxel.cfg: record 1 (net-a): the file ends inside the record
bad-port|window 5\nport80 http 0 1 1\n||traxel.cfg: record 1 (port80): port "http" is not a number in 0..65535
large-port|window 5\nport80 65536 0 1 1\n||traxel.cfg: record 1 (port80): port "65536" is not a number in 0..65535
bad-limit|window 5\nsock80 80 0 x 1\n||traxel.cfg: record 1 (sock80): maximum "x" is not a number in -2147483648..2147483647
bad-address|window 5\nip-a 10.0.0 0 1 1\n||traxel.cfg: record 1 (ip-a): host "10.0.0" is neither a dotted IPv4 nor an IPv6 address
bad-mask|window 5\nnet-a 10.0.0.0 255.0 0 1 1\n||traxel.cfg: record 1 (net-a): mask "255.0" is neither a dotted mask nor a prefix length in 0..32
long-prefix|window 5\nnet-a 10.0.0.0 33 0 1 1\n||traxel.cfg: record 1 (net-a): mask "33" is neither a dotted mask nor a prefix length in 0..32
bad-ipv6|window 5\nip6-a fd77::g 0 1 1\n||traxel.cfg: record 1 (ip6-a): host "fd77::g" is not an IPv6 address
ipv6-mask|window 5\nnet6-a fd77:: ffff:: 0 1 1\n||traxel.cfg: record 1 (net6-a): prefix length "ffff::" is not a number in 0..128
long-prefix6|window 5\nnet6-a fd77:: 129 0 1 1\n||traxel.cfg: record 1 (net6-a): prefix length "129" is not a number in 0..128
unit-word|window 5\nport80 80 0 1 1\n|\nunit bytes port80\n|capture.cfg:2: unit "bytes" is not packets, bits or kbits
unit-sock|window 5\nsock22 22 0 1 1\n|\nunit kbits sock22\n|capture.cfg:2: graph sock22 counts new connections; its unit can only be packets
EOF

# A file where a pipe belongs is refused rather than replaced.
printf 'window 5\nport80 80 0 1 1\n' >"$work/one.cfg"
prepare='touch "$cgi/port80.fifo"'
if run "$work/one.cfg"; then fail not-a-fifo "accepted"
elif grep -qxF -- "$cgi/port80.fifo: exists and is not a named pipe" "$work/out"; then pass
else fail not-a-fifo "$(cat "$work/out")"; fi

echo "layout.cmake: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
