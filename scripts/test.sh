#!/usr/bin/env bash
# Installs what building and testing need (packages.txt, test-packages.txt),
# builds into build/ (BUILD_DIR chooses another) and runs the test suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
jobs=$(( $(nproc) * 2 ))

bash "$top/scripts/setup.sh" "$top/scripts/packages.txt" "$top/scripts/test-packages.txt"
SKIP_SETUP=1 bash "$top/scripts/build.sh"
(cd "$build" && ctest -j"$jobs" --output-on-failure --timeout 300)
