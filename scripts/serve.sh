#!/usr/bin/env bash
# Installs what is missing, builds and installs traxel, and serves its graphs at the address of its site.cfg (http://127.0.0.1:8080/ as shipped).
# Usage: scripts/serve.sh   (as root). The new build's daemon first checks
# the configuration that the install puts in force (traxel -n): a fault
# leaves the running system as it is, with the daemon's lines. Otherwise a
# running system is stopped and the new one started, through systemd where
# it runs the installation's units; scripts/stop.sh stops everything.
# TRAXEL_BUILD_DIR picks the build directory (default build),
# TRAXEL_INSTALL_DIR the installation directory (default /usr/local/traxel).
. "$(dirname "$0")/help.sh"
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/units.sh
build=${TRAXEL_BUILD_DIR:-build}
dir=${TRAXEL_INSTALL_DIR:-/usr/local/traxel}

if [ "$(id -u)" -ne 0 ]; then
  echo "serve.sh: run as root: it installs packages, writes the installation and starts the web server" >&2
  exit 1
fi

scripts/deps.sh

# The launcher has the installation directory built in.
cmake -S . -B "$build" -DTRAXEL_INSTALL_DIR="$dir" >/dev/null
cmake --build "$build" -j2

report=$(dist/check.sh "$build/traxel" "$dir")
listen=$(sed -n 's/^listen //p' <<<"$report")
port=$(sed -n 's/^port //p' <<<"$report")
host=$listen
[[ $listen == *:* ]] && host="[$listen]"
address=http://$host:$port/

# The running programs must go before their files are replaced.
TRAXEL_INSTALL_DIR=$dir scripts/stop.sh
cmake --install "$build"

# Pid files that a feed of another user left (a test run as root, say)
# could not be replaced by the feeds of the web server's user.
for link in "$dir"/httpd/cgi-bin/*; do
  [ -L "$link" ] && [ "$(readlink "$link")" = plotfeed ] && rm -f "/tmp/$(basename "$link").pid"
done

log=$dir/mini_httpd.log
if units_of "$dir"; then
  systemctl start traxel.service traxel-httpd.service
else
  # The daemon starts as the launcher starts it: in the installation
  # directory, without arguments; it checks its configuration, settings and
  # capture, gives up root for the user of capture.cfg (nobody), then detaches.
  (cd "$dir" && ./traxel)
  # The server keeps its standard streams in the background, so they go to its
  # log (there it also warns that it runs without chroot: the CGI programs need
  # the installation's files outside the page directory).
  # It outlives this script, so it must not keep what our caller left open: the
  # lock of `flock /tmp/traxel-serve.lock scripts/serve.sh` would stay taken
  # for as long as the server runs.
  if ! (
    for fd in /proc/$BASHPID/fd/*; do
      fd=${fd##*/}
      if [ "$fd" -gt 2 ]; then eval "exec $fd>&-"; fi
    done
    exec mini_httpd -C "$dir/mini_httpd.conf"
  ) </dev/null >>"$log" 2>&1; then
    echo "serve.sh: mini_httpd did not start:" >&2
    tail -n 3 "$log" >&2
    exit 1
  fi
fi

# Waits until the server answers the graph list, 10 s at most.
for i in $(seq 50); do
  status=$( (exec 3<>"/dev/tcp/$listen/$port" && printf 'GET /graphs.json HTTP/1.0\r\n\r\n' >&3 &&
             head -n 1 <&3) 2>/dev/null || true)
  if [[ $status == *" 200 "* ]]; then
    echo "traxel: serving $address (stop it with scripts/stop.sh)"
    exit 0
  fi
  sleep 0.2
done
echo "serve.sh: the web server does not answer at $address; see $log" >&2
exit 1
