#!/usr/bin/env bash
# Installs the Debian packages of the given lists (default: packages.txt
# beside this script) that are missing. Packages never start services here.
#
# Every list but packages.txt names peers (servers, proxies, a browser) for
# tests and benchmarks: the system services of those packages, newly
# installed or already there, are disabled at boot and stopped, with
# systemd running or not, so that no run leaves a server enabled.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=("$@")
[ ${#lists[@]} -gt 0 ] || lists=("$here/packages.txt")

# The package names of the lists, without comments and blank lines.
names() { cat "$@" | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' || true; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

mapfile -t wanted < <(names "${lists[@]}")
missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
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
  [ "$status" = 0 ] || exit "$status"
fi

# Disables and stops one systemd unit: by systemctl where systemd runs,
# else by systemctl on the files, else by removing the links that
# "enable" made (in *.wants, *.requires, and aliases).
disable_unit() {
  local unit=$1 link
  if [ -d /run/systemd/system ]; then
    systemctl disable --now --quiet "$unit" 2>/dev/null || true
  elif command -v systemctl >/dev/null; then
    systemctl --root=/ disable --quiet "$unit" 2>/dev/null || true
  fi
  for link in /etc/systemd/system/*.wants/"$unit" /etc/systemd/system/*.requires/"$unit" /etc/systemd/system/*; do
    [ -L "$link" ] || continue
    case "$(readlink "$link")" in
      */"$unit") rm -f "$link" ;;
    esac
  done
}

# Disables and stops one SysV init script.
disable_initscript() {
  local name=$1
  update-rc.d -f "$name" disable >/dev/null 2>&1 || true
  if [ ! -d /run/systemd/system ] && "/etc/init.d/$name" status >/dev/null 2>&1; then
    "/etc/init.d/$name" stop >/dev/null 2>&1 || true
  fi
}

for list in "${lists[@]}"; do
  [ "$(basename "$list")" = packages.txt ] && continue
  # A server package may keep its service in its -common part (nginx).
  for p in $(names "$list" | sed 'p; s/$/-common/'); do
    installed "$p" || continue
    dpkg-query -L "$p" 2>/dev/null | while read -r f; do
      case "$f" in
        /lib/systemd/system/*@.*|/usr/lib/systemd/system/*@.*) ;;
        /lib/systemd/system/*.service|/lib/systemd/system/*.socket|/usr/lib/systemd/system/*.service|/usr/lib/systemd/system/*.socket)
          disable_unit "$(basename "$f")" ;;
        /etc/init.d/*) [ -x "$f" ] && disable_initscript "$(basename "$f")" ;;
      esac
    done
  done
done
exit 0
