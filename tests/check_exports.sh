#!/bin/sh
# The plug-in exports one function of its own: get_providers.
set -eu
lib="$1"
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwiI]$/ {print $3}' | sort -u)
if [ "$exports" != "get_providers" ]; then
  echo "unexpected exports of $lib:" >&2
  echo "$exports" >&2
  exit 1
fi
echo "$lib exports only get_providers"
