#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; meanwhile builds the other
# trees: ThreadSanitizer (the threaded tests), 32-bit, the fuzz targets and
# the optimised programs and benchmarks. Then runs the threaded tests under
# ThreadSanitizer, the compiled tests and the word-size black-box cases in
# the 32-bit build, and each fuzz target for 20 seconds. Every build treats
# compiler warnings as errors, so a new warning fails the run.
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

# The sanitizer, 32-bit and fuzz trees keep line tables only (-g1): what
# a sanitizer's report and a stack trace need, at less compile time.
line_tables=(-DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
scripts/build.sh asan "${line_tables[@]}"

# While the sanitizer tests run (much of their time is spent waiting on
# simulated modules and their time-outs), the other trees build at the
# lowest priority, in the time the tests leave the processors idle. Each
# builds only what its stage below uses.
log=build/other-trees.log
echo "== building the ThreadSanitizer, 32-bit, fuzz and release trees behind the tests (log: $log) =="
nice -n 19 setsid bash -c '
  set -e
  UPDATER_BUILD_TARGETS=threaded_checks scripts/build.sh tsan "$@"
  scripts/build.sh m32 "$@"
  UPDATER_BUILD_TARGETS=fuzz_targets scripts/build.sh fuzz "$@"
  UPDATER_BUILD_TARGETS="programs benchmarks" scripts/build.sh release
' line-tables "${line_tables[@]}" >"$log" 2>&1 </dev/null &
builder=$!
trap 'kill -- "-$builder" 2>/dev/null || true' EXIT

(cd build/asan && ctest --output-on-failure -j "$jobs")

if ! wait "$builder"; then
  tail -n 60 "$log"
  echo "== building the other trees failed (the whole log: $log) ==" >&2
  exit 1
fi
trap - EXIT
echo "== the other trees are built =="

echo "== ThreadSanitizer tests (the threaded ones) =="
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}
(cd build/tsan && ctest --output-on-failure -j "$jobs" -L threaded)

# The compiled tests, and the black-box cases a word size can change. A
# kernel without 32-bit x86 support cannot run them (the shell answers 126:
# cannot execute); the tree is built all the same, which keeps the code
# free of 64-bit assumptions.
status=0
build/m32/tests/unit_tests --gtest_list_tests >/dev/null 2>&1 || status=$?
if [[ $status -eq 126 ]]; then
  echo "== 32-bit tests: not run, this machine cannot run 32-bit x86 programs (the 32-bit tree is built) =="
else
  echo "== 32-bit tests =="
  (cd build/m32 && ctest --output-on-failure -j "$jobs" -LE blackbox &&
     ctest --output-on-failure -j "$jobs" -L wordsize)
fi

echo "== libFuzzer targets (AddressSanitizer + UndefinedBehaviorSanitizer) =="
# Each target (fuzz/targets.txt) runs 20 seconds from its committed seeds,
# as many at once as there are processors; a crash, a leak or an
# out-of-bounds access fails the run. Long runs: scripts/fuzz.sh TARGET
# MINUTES.
# A smaller quarantine of freed blocks (see scripts/fuzz.sh).
export ASAN_OPTIONS="$ASAN_OPTIONS:quarantine_size_mb=64"
fuzz_one() {
  local target=$1
  # A fresh work directory: the run starts from the seeds alone, so that
  # its time does not grow with what earlier runs found.
  local work=build/fuzz/work-test/$target
  rm -rf "$work"
  mkdir -p "$work" "build/fuzz/artifacts/$target"
  if build/fuzz/fuzz/${target}_fuzz -max_total_time=20 -rss_limit_mb=2048 -timeout=30 \
       -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target/" \
       "$work" "fuzz/corpus/$target" >"$work.log" 2>&1; then
    echo "$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log") runs, no failure"
  else
    cat "$work.log"
    echo "== fuzz target $target failed ==" >&2
    return 255  # stops xargs
  fi
}
export -f fuzz_one
grep -E '^[a-z0-9_]+$' fuzz/targets.txt | xargs -P "$jobs" -n 1 bash -c 'fuzz_one "$1"' _
