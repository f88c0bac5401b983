#!/usr/bin/env bash
# Stops a running traxel installation: the web server, the feeds and the capture daemon, through systemd where it runs the installation's units.
# Usage: scripts/stop.sh   (as root; TRAXEL_INSTALL_DIR overrides /usr/local/traxel)
. "$(dirname "$0")/help.sh"
set -uo pipefail
. "$(dirname "$0")/units.sh"
dir=${TRAXEL_INSTALL_DIR:-/usr/local/traxel}

# Where systemd runs the installation, stopping its units ends the web
# server, every feed and a daemon that the launcher started (all in the web
# server's unit) and the daemon.
if units_of "$dir"; then
  systemctl stop traxel-httpd.service traxel.service && echo "traxel: stopped traxel-httpd.service and traxel.service"
  exit
fi

# Sends SIGTERM to pid and waits up to 5 s for it to go, then uses SIGKILL.
end_pid() {
  local pid=$1 what=$2 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || { echo "traxel: stopped $what (pid $pid)"; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null && echo "traxel: killed $what (pid $pid)"
}

# The web server first, so that no new feed starts while the rest stops.
if [ -r "$dir/mini_httpd.pid" ]; then
  pid=$(cat "$dir/mini_httpd.pid")
  if [[ $pid =~ ^[0-9]+$ ]] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = mini_httpd ]; then
    end_pid "$pid" "the web server"
  fi
  rm -f "$dir/mini_httpd.pid"
fi

# Each graph's newest feed is named in its pid file and runs under the
# graph's name. The pid files go too: a feed running as the web server's user
# could not replace one left by another user.
for link in "$dir"/httpd/cgi-bin/*; do
  [ -L "$link" ] && [ "$(readlink "$link")" = plotfeed ] || continue
  graph=$(basename "$link")
  pidfile=/tmp/$graph.pid
  [ -f "$pidfile" ] || continue
  pid=$(head -c 32 "$pidfile")
  pid=${pid%%[^0-9]*}
  if [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = "$graph" ]; then
    end_pid "$pid" "the feed $graph"
  fi
  rm -f "$pidfile"
done

# The daemon keeps no pid file; it is the process running the installed binary.
for proc in /proc/[0-9]*; do
  exe=$(readlink "$proc/exe" 2>/dev/null)
  # A binary replaced under a running daemon reads "PATH (deleted)".
  if [ "$exe" = "$dir/traxel" ] || [ "$exe" = "$dir/traxel (deleted)" ]; then
    end_pid "${proc#/proc/}" "the capture daemon"
  fi
done
exit 0
