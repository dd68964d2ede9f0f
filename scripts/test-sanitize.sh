#!/usr/bin/env bash
# The test suite built with AddressSanitizer and UBSan into build-asan/
# (ASAN_BUILD_DIR chooses another); any sanitizer report fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
asan=${ASAN_BUILD_DIR:-$top/build-asan}
jobs=$(( $(nproc) * 2 ))

bash "$top/scripts/setup.sh" "$top/scripts/packages.txt" "$top/scripts/test-packages.txt"
CMAKE_ARGS="${CMAKE_ARGS:-} -DQUORRELANE_SANITIZE=ON -DQUORRELANE_BENCH=OFF" BUILD_DIR=$asan SKIP_SETUP=1 \
  bash "$top/scripts/build.sh"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=0:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0"
(cd "$asan" && ctest -j"$jobs" --output-on-failure --timeout 600)
