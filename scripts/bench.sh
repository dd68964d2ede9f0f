#!/usr/bin/env bash
# Installs the benchmark peers (bench-packages.txt) that are missing, builds
# the program with the benchmarks into build/ and runs them.
#
#   bash scripts/bench.sh [NAME...]   (NAME: a bench/*.cpp without .cpp;
#                                      default: every benchmark)
# BUILD_DIR chooses another build directory than build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
bash "$top/scripts/setup.sh"

mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$top/scripts/bench-packages.txt")
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The packaged web server must not start a service of its own: the
  # benchmark runs it on a loopback port with its own configuration.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    made_policy=1
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" || status=$?
  [ "$made_policy" = 1 ] && rm -f "$policy"
  [ "${status:-0}" = 0 ] || exit "$status"
fi

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for src in "$top"/bench/*.cpp; do names+=("$(basename "$src" .cpp)"); done
fi
targets=(quorrelane)
for name in "${names[@]}"; do targets+=("bench_$name"); done

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORRELANE_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

for name in "${names[@]}"; do
  echo "== $name"
  "$build/bench/bench_$name"
done
