#!/usr/bin/env bash
# Builds and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh"
cd "${BUILD_DIR:-$top/build}"
ctest -j"$(( $(nproc) * 2 ))" --output-on-failure --timeout 300
