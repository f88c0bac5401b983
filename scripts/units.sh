# Tells whether systemd runs an installation through its units; sourced by serve.sh and stop.sh.

# True when systemd runs this host and the installed traxel.service was made
# for the installation directory dir (its first line names dir's site.cfg).
units_of() {
  local first
  [ -d /run/systemd/system ] && [ -r /etc/systemd/system/traxel.service ] || return 1
  read -r first </etc/systemd/system/traxel.service
  [[ $first == *" from $1/site.cfg"* ]]
}
