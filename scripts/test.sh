#!/usr/bin/env bash
# Builds and runs every test, then builds the tests again with
# AddressSanitizer and UBSan into <build dir>-asan and runs them there too;
# any sanitizer report fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
jobs=$(( $(nproc) * 2 ))

bash "$top/scripts/setup.sh" "$top/scripts/test-packages.txt"
bash "$top/scripts/build.sh"
(cd "$build" && ctest -j"$jobs" --output-on-failure --timeout 300)

asan=${ASAN_BUILD_DIR:-$build-asan}
CMAKE_ARGS="${CMAKE_ARGS:-} -DQUORRELANE_SANITIZE=ON -DQUORRELANE_BENCH=OFF" BUILD_DIR=$asan bash "$top/scripts/build.sh"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=0:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0"
(cd "$asan" && ctest -j"$jobs" --output-on-failure --timeout 600)
