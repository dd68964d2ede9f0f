#!/usr/bin/env bash
# Installs the build in $1 into a staging directory with DESTDIR and has
# systemd-analyze verify the unit there, against the system's own units.
set -euo pipefail
build=$1
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
stage=$(mktemp -d "${TMPDIR:-/tmp}/quorrelane-stage-XXXXXX")
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null
unit=/usr/local/lib/systemd/system/quorrelane.service
for f in /usr/local/bin/quorrelane /usr/local/bin/quorrelane-gui "$unit"; do
  [ -e "$stage$f" ] || { echo "not installed: $f"; exit 1; }
done
grep -qx 'ExecStart=/usr/local/bin/quorrelane --headless --config /etc/quorrelane/videosetting.ini --docdir /var/lib/quorrelane/ /a' \
  "$stage$unit" || { echo "ExecStart does not name the installed program"; exit 1; }
mkdir -p "$stage/usr/lib/systemd"
cp -r /usr/lib/systemd/system "$stage/usr/lib/systemd/"
out=$(cd "$stage" && systemd-analyze verify --root="$stage" "$unit" 2>&1) || { echo "$out"; exit 1; }
# Warnings (unknown keys, bad values) fail too.
[ -z "$out" ] || { echo "$out"; exit 1; }
