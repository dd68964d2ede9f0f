#!/usr/bin/env bash
# Installs the Debian packages of the given lists (default: packages.txt
# beside this script) that are missing. Packages never start services here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=("$@")
[ ${#lists[@]} -gt 0 ] || lists=("$here/packages.txt")
mapfile -t wanted < <(cat "${lists[@]}" | grep -v -E '^\s*(#|$)')
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  made_policy=1
fi
status=0
{ apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } || status=$?
[ "$made_policy" = 1 ] && rm -f "$policy"
exit "$status"
