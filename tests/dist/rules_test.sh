#!/usr/bin/env bash
# The shipped alert rules as promtool checks them.
# Usage: rules_test.sh PROMTOOL RULES
. "$(dirname "$0")/../support/tool.sh"
need_tool "$1" prometheus
exec "$1" check rules "$2"
