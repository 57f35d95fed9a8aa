#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then runs the threaded
# tests under ThreadSanitizer, and every test again in a 32-bit build;
# compiles the optimised release build; finally runs each fuzz target for
# 20 seconds. Every build treats compiler warnings as errors, so a new
# warning fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
# Each tree is built once; the compiler cache makes a second run quick.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
scripts/build.sh asan
(cd build/asan && ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer build (threaded tests) =="
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}
scripts/build.sh tsan
(cd build/tsan && ctest --output-on-failure -j "$jobs" -L threaded)

echo "== 32-bit build =="
scripts/build.sh m32
# The compiled tests, and the black-box cases a word size can change.
(cd build/m32 && ctest --output-on-failure -j "$jobs" -LE blackbox &&
   ctest --output-on-failure -j "$jobs" -L wordsize)

echo "== Release build (the warnings that only optimisation finds) =="
scripts/build.sh release

echo "== libFuzzer targets (AddressSanitizer + UndefinedBehaviorSanitizer) =="
# Each target (fuzz/targets.txt) runs 20 seconds from its committed seeds; a
# crash, a leak or an out-of-bounds access fails the run. Long runs:
# scripts/fuzz.sh TARGET MINUTES.
scripts/build.sh fuzz
# A smaller quarantine of freed blocks (see scripts/fuzz.sh).
export ASAN_OPTIONS="$ASAN_OPTIONS:quarantine_size_mb=64"
for target in $(grep -E '^[a-z0-9_]+$' fuzz/targets.txt); do
  # A fresh work directory: the run starts from the seeds alone, so that
  # its time does not grow with what earlier runs found.
  work=build/fuzz/work-test/$target
  rm -rf "$work"
  mkdir -p "$work" "build/fuzz/artifacts/$target"
  build/fuzz/fuzz/${target}_fuzz -max_total_time=20 -rss_limit_mb=2048 -timeout=30 \
    -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target/" \
    "$work" "fuzz/corpus/$target"
done
