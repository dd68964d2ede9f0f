#!/usr/bin/env bash
# Builds and starts the headless program with auto-start on the test pattern.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh" quorrelane
exec "${BUILD_DIR:-$top/build}/quorrelane" --headless /a
