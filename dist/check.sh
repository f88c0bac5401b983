#!/usr/bin/env bash
# Checks, with a built daemon, the configuration that an installation will put in force, before anything is stopped or replaced.
# Usage: dist/check.sh DAEMON INSTALL_DIR
# The files in force are the installation's traxel.cfg, capture.cfg and
# site.cfg where it has them, else the shipped ones beside this script, with
# the installation's password file. The daemon reads them in a scratch
# directory as a start reads them (traxel -n): its report goes to standard
# output, its lines (faults, warnings) to standard error, and its status is
# this script's.
. "$(dirname "$0")/../scripts/help.sh"
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: dist/check.sh DAEMON INSTALL_DIR" >&2; exit 2; }
daemon=$(realpath "$1") dir=$2 shipped=$(dirname "$0")
scratch=$(mktemp -d /tmp/traxel-check-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/httpd/cgi-bin"
for f in traxel.cfg capture.cfg site.cfg; do
  if [ -e "$dir/$f" ]; then cp "$dir/$f" "$scratch/"; else cp "$shipped/$f" "$scratch/"; fi
done
if [ -e "$dir/httpd/cgi-bin/.htpasswd" ]; then cp "$dir/httpd/cgi-bin/.htpasswd" "$scratch/httpd/cgi-bin/"; fi
cd "$scratch"
"$daemon" -n
