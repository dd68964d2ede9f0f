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
bash "$top/scripts/setup.sh" "$top/scripts/packages.txt" "$top/scripts/bench-packages.txt"

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
