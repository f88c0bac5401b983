# For test scripts: need_tool PROGRAM PACKAGE ends the script when PROGRAM,
# a tool it drives, cannot be run: skipped (status 77) and saying why, or
# failed under scripts/test.sh (TRAXEL_TOOLS_REQUIRED set), which requires
# every tool.
need_tool() {
  command -v "$1" >/dev/null && return 0
  echo "$1 is not installed (Debian package $2)"
  [ -n "${TRAXEL_TOOLS_REQUIRED:-}" ] && exit 1
  exit 77
}
