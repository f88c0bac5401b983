# Answers -h and --help for the script that sources it: prints that script's opening comment and exits 0.
# Each script sources it first, before it changes anything:
#   . "$(dirname "$0")/help.sh"
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
esac
