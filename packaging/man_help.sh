#!/bin/sh
# What help2man reads as the tool's --help: the tool's own, with the --module default naming the
# installed module rather than the build tree's, and each subcommand's wrapped description on one
# line (help2man takes an indented continuation for a new entry).
#   VORLAN_MAN_TOOL=TOOL VORLAN_MAN_MODULE=PATH man_help.sh --help
set -eu
"$VORLAN_MAN_TOOL" --help | awk -v module="$VORLAN_MAN_MODULE" '
  { sub(/--module TEXT=[^ ]+/, "--module TEXT=" module) }
  /^Subcommands:/ { sub_section = 1; print; next }
  sub_section && /^   / { sub(/^ +/, ""); entry = entry " " $0; next }
  sub_section && /^  [^ ]/ { if (entry != "") print entry; entry = $0; next }
  { print }
  END { if (entry != "") print entry }'
