#!/bin/sh
# korv-host's systemd unit passes systemd-analyze verify, and its sandbox keeps
# the exposure systemd-analyze security reports at most at MAX (tenths):
#   check_unit.sh UNIT KORV_HOST MAX
set -eu
unit="$1"
korv_host="$2"
max="$3"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found (Debian's systemd)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The unit as installed, but for the program it starts: the one just built.
sed "s|/usr/bin/korv-host|$korv_host|" "$unit" >"$work/korv-host.service"
cd "$work"
# verify exits 0 on lines it ignores: any word from it is a finding.
systemd-analyze verify --man=no "$work/korv-host.service" >"$work/verify" 2>&1 || true
if [ -s "$work/verify" ]; then
  cat "$work/verify"
  exit 1
fi
score=$(systemd-analyze security --offline=true "$work/korv-host.service" 2>&1 |
  sed -n 's/.*Overall exposure level for korv-host.service: \([0-9.]*\).*/\1/p')
[ -n "$score" ] || { echo "no exposure level from systemd-analyze security"; exit 1; }
tenths=$(echo "$score" | tr -d .)
echo "korv-host.service: verified, exposure $score (at most $(echo "$max" | sed 's/.$/.&/'))"
[ "$tenths" -le "$max" ]
