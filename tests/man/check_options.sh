#!/bin/sh
# A program's man page lists exactly the options its --help lists:
#   check_options.sh PROGRAM MANPAGE
set -eu
program="$1"
page="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# --help: the first option of each option line ("  -h,--help", "  --config TEXT").
"$program" --help | sed -n 's/^  \(-[a-z],\)\{0,1\}\(--[a-z0-9-]*\).*/\2/p' | sort -u >"$work/help"
# The man page: every option named on the tag line of an entry of OPTIONS.
awk '/^\.SH /{in_options = ($2 == "OPTIONS")} in_options && tag {print} {tag = in_options && /^\.TP/}' \
  "$page" | grep -o '\\-\\-[a-z0-9-]*' | sed 's/\\//g' | sort -u >"$work/man"
if ! diff -u "$work/help" "$work/man" >"$work/diff"; then
  echo "$(basename "$page"): its options differ from $(basename "$program") --help (-: only in --help, +: only in the page)"
  tail -n +3 "$work/diff" | grep '^[-+]'
  exit 1
fi
echo "$(basename "$page"): $(wc -l <"$work/help") options, as in --help"
