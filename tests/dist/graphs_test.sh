#!/usr/bin/env bash
# Tests of graphs.cmake: the feed links, pipes and graph list it lays out, and the faults it refuses.
# Usage: graphs_test.sh CMAKE GRAPHS_CMAKE DEFAULT_CFG
set -uo pipefail
cmake=$1 script=$2 default_cfg=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
pass() { passed=$((passed + 1)); }

# Runs graphs.cmake on config file $1 in a fresh tree $work/t; output in $work/out.
run() {
  rm -rf "$work/t" && mkdir -p "$work/t/cgi" "$work/t/htdocs" && touch "$work/t/cgi/plotfeed"
  [ -n "${prepare:-}" ] && eval "$prepare"
  "$cmake" -DTRAXEL_CFG="$1" -DTRAXEL_CGI="$work/t/cgi" -DTRAXEL_HTDOCS="$work/t/htdocs" \
    -P "$script" >"$work/out" 2>&1
}

# The shipped configuration: one link and one pipe per graph, and the list.
prepare='' run "$default_cfg" || fail default "exit $?: $(cat "$work/out")"
expected='{"win": 5, "graphs": [
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
[ "$(cat "$work/t/htdocs/graphs.json")" = "$expected" ] && pass || fail default.json "$(cat "$work/t/htdocs/graphs.json")"
for g in port8080 port80-http sock22-ssh proto-icmp6 net-loopback; do
  [ "$(readlink "$work/t/cgi/$g")" = plotfeed ] && pass || fail "default.link.$g" "$(ls -l "$work/t/cgi/$g")"
  [ "$(stat -c %A "$work/t/cgi/$g.fifo")" = prw-r--r-- ] && pass || fail "default.fifo.$g" "$(stat -c %A "$work/t/cgi/$g.fifo")"
done

# IPv6 hosts and networks and prefix lengths are taken.
printf 'window 5\nnet-lab 10.0.0.0 8 0 1 1\nnet6-lab fd77:: 64 0 1 1\nip6-host 2001:0db8:0:0:0:0:0:1 0 1 1\n' >"$work/v6.cfg"
prepare='' run "$work/v6.cfg" && [ -p "$work/t/cgi/ip6-host.fifo" ] && pass || fail ipv6 "$(cat "$work/out")"

# A reinstall keeps a pipe that exists (the daemon may hold unread lines in
# it) and drops feed links of graphs that left the configuration, but no
# other file.
printf 'window 10\nport80 80 0 10 5\n' >"$work/one.cfg"
prepare='mkfifo "$work/t/cgi/port80.fifo"; ino=$(stat -c %i "$work/t/cgi/port80.fifo");
  ln -s plotfeed "$work/t/cgi/port22"; mkfifo "$work/t/cgi/port22.fifo";
  ln -s start "$work/t/cgi/other"; touch "$work/t/cgi/start"'
run "$work/one.cfg" || fail reinstall "exit $?: $(cat "$work/out")"
[ "$(stat -c %i "$work/t/cgi/port80.fifo")" = "$ino" ] && pass || fail reinstall.keep "port80.fifo was replaced"
[ ! -e "$work/t/cgi/port22" ] && [ ! -e "$work/t/cgi/port22.fifo" ] && pass || fail reinstall.stale "port22 left behind"
[ -L "$work/t/cgi/other" ] && [ -e "$work/t/cgi/start" ] && pass || fail reinstall.other "a foreign file was removed"
grep -qx -- "-- Removed: $work/t/cgi/port22" "$work/out" && pass || fail reinstall.msg "$(cat "$work/out")"
[ "$(cat "$work/t/htdocs/graphs.json")" = '{"win": 10, "graphs": [
  {"name": "port80", "kind": "port", "unit": "packets"}
]}' ] && pass || fail reinstall.json "$(cat "$work/t/htdocs/graphs.json")"

# Units from capture.cfg beside the configuration: later lines win, a line
# without graphs sets all, and a sock graph counts new connections.
printf 'window 5\nport80 80 0 10 5\nsock22 22 0 10 5\nproto-udp 17 0 10 5\n' >"$work/three.cfg"
printf '# units; of the graphs\nunit kbits\ninterface lo  # trailing\n\nunit packets sock22 proto-udp\nunit bits proto-udp\n' >"$work/capture.cfg"
prepare='' run "$work/three.cfg" || fail units "exit $?: $(cat "$work/out")"
[ "$(cat "$work/t/htdocs/graphs.json")" = '{"win": 5, "graphs": [
  {"name": "port80", "kind": "port", "unit": "kbits"},
  {"name": "sock22", "kind": "sock", "unit": "connections"},
  {"name": "proto-udp", "kind": "proto", "unit": "bits"}
]}' ] && pass || fail units.json "$(cat "$work/t/htdocs/graphs.json")"
for bad in 'unit bytes port80|unit bytes is not packets, bits or kbits' 'unit bits port81|no graph port81 in' \
           'unit kbits sock22|graph sock22 counts new connections; its unit can only be packets'; do
  printf '\n%s\n' "${bad%|*}" >"$work/capture.cfg"
  if run "$work/three.cfg"; then fail "units.${bad%|*}" accepted
  elif grep -qF -- "$work/capture.cfg:2: ${bad#*|}" "$work/out"; then pass
  else fail "units.${bad%|*}" "$(cat "$work/out")"; fi
done
rm "$work/capture.cfg"

# Refused configurations: the text after the file name in the fault line.
prepare=''
while IFS='|' read -r name cfg message; do
  printf "$cfg" >"$work/bad.cfg"
  if run "$work/bad.cfg"; then
    fail "$name" "accepted"
  elif grep -qxF -- "$work/bad.cfg: $message" "$work/out"; then
    pass
  else
    fail "$name" "$(cat "$work/out")"
  fi
done <<'EOF'
no-window|port80 80 0 1 1\n|does not start with window and a number of minutes above 0
zero-window|window 0\nport80 80 0 1 1\n|does not start with window and a number of minutes above 0
no-graph|window 5\n|holds no graph
no-kind|window 5\nhttp80 80 0 1 1\n|graph http80 names no kind (port, proto, sock, net or ip)
two-kinds|window 5\nportnet 80 0 1 1\n|graph portnet names more than one kind (port and net)
too-long|window 5\nport-of-the-web 80 0 1 1\n|graph name port-of-the-web is longer than 12 characters
bad-char|window 5\nport/80 80 0 1 1\n|holds a character other than letters, digits, . _ - : and white space
twice|window 5\nport80 80 0 1 1\nport80 81 0 1 1\n|graph port80 appears twice
short-record|window 5\nport80 80 0 1\n|graph port80: the file ends inside its record
short-net|window 5\nnet-a 10.0.0.0 255.0.0.0 0 1\n|graph net-a: the file ends inside its record
bad-port|window 5\nport80 http 0 1 1\n|graph port80: http is not a port number
bad-limit|window 5\nsock80 80 0 x 1\n|graph sock80: x is not a number (min, max, thres)
bad-address|window 5\nip-a 10.0.0 0 1 1\n|graph ip-a: 10.0.0 is neither a dotted IPv4 nor an IPv6 address
bad-mask|window 5\nnet-a 10.0.0.0 255.0 0 1 1\n|graph net-a: 255.0 is neither a dotted mask nor a prefix length in 0..32
long-prefix|window 5\nnet-a 10.0.0.0 33 0 1 1\n|graph net-a: 33 is neither a dotted mask nor a prefix length in 0..32
bad-ipv6|window 5\nip6-a fd77::g 0 1 1\n|graph ip6-a: fd77::g is neither a dotted IPv4 nor an IPv6 address
ipv6-mask|window 5\nnet6-a fd77:: ffff:: 0 1 1\n|graph net6-a: ffff:: is not a prefix length in 0..128
long-prefix6|window 5\nnet6-a fd77:: 129 0 1 1\n|graph net6-a: 129 is not a prefix length in 0..128
EOF

# A file where a pipe belongs is refused rather than replaced.
printf 'window 5\nport80 80 0 1 1\n' >"$work/one.cfg"
prepare='touch "$work/t/cgi/port80.fifo"'
if run "$work/one.cfg"; then fail not-a-fifo "accepted"
elif grep -qxF -- "$work/t/cgi/port80.fifo: exists and is not a named pipe" "$work/out"; then pass
else fail not-a-fifo "$(cat "$work/out")"; fi

echo "graphs.cmake: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
