#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then runs the threaded
# tests under ThreadSanitizer, and every test again in a 32-bit build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
scripts/build.sh asan
(cd build/asan && ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer build (threaded tests) =="
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
scripts/build.sh tsan
(cd build/tsan && ctest --output-on-failure -j "$jobs" -L threaded)

echo "== 32-bit build =="
scripts/build.sh m32
(cd build/m32 && ctest --output-on-failure -j "$jobs")
