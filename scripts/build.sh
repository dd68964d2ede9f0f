#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/
# (BUILD_DIR chooses another). Arguments name the targets (default: all).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
# Relative paths in the compiler cache, so another checkout reuses it.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$build" -j"$(nproc)" --target "$@"
else
  cmake --build "$build" -j"$(nproc)"
fi
