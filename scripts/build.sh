#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/
# (BUILD_DIR chooses another). Arguments name the targets (default: all).
# SKIP_SETUP=1: the caller has installed the packages already.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
# Relative paths in the compiler cache, so another checkout reuses it.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
[ "${SKIP_SETUP:-0}" = 1 ] || bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$build" -j"$(nproc)" --target "$@"
else
  cmake --build "$build" -j"$(nproc)"
fi
