#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh [release|asan|tsan|m32|fuzz|demo] [extra cmake arguments...]
# demo builds, optimised, only the programs scripts/demo.sh runs.
# m32 builds for a 32-bit x86 host, to keep the code free of 64-bit
# assumptions. It computes doubles in SSE registers as the 32-bit ARM hosts
# do, rather than in the x87 unit's wider registers. Nothing of it runs
# while it builds (its test programs are listed when ctest runs; the man
# pages, made by running the programs, belong to the other trees), so it
# builds on a kernel that cannot run 32-bit programs.
# Every flavour treats compiler warnings as errors (UPDATER_WERROR); an
# extra -DUPDATER_WERROR=OFF turns that off.
# UPDATER_BUILD_TARGETS (space-separated) builds those targets instead of
# everything, e.g. "programs benchmarks", "threaded_checks", "fuzz_targets".
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-release}
shift || true
jobs=$(nproc 2>/dev/null || echo 2)
# The test programs use a precompiled header: the compiler cache caches
# what is compiled against one only with these relaxations.
export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}

case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=address,undefined -DUPDATER_BENCH=OFF) ;;
  tsan)    args=(-DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=thread -DUPDATER_BENCH=OFF) ;;
  m32)     args=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_C_FLAGS=-m32 -msse2 -mfpmath=sse"
                 "-DCMAKE_CXX_FLAGS=-m32 -msse2 -mfpmath=sse"
                 -DCMAKE_EXE_LINKER_FLAGS=-m32 -DCMAKE_LIBRARY_ARCHITECTURE=i386-linux-gnu
                 -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
                 -DUPDATER_PACKAGING=OFF -DUPDATER_BENCH=OFF) ;;
  demo)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=OFF -DUPDATER_BENCH=OFF) ;;
  fuzz)    args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                 -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF -DUPDATER_BENCH=OFF) ;;
  *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac

if [[ "$flavour" == m32 ]]; then
  export PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig
fi
cmake -S . -B "build/$flavour" "${args[@]}" -DUPDATER_WERROR=ON "$@" >/dev/null
targets=()
if [[ -n "${UPDATER_BUILD_TARGETS:-}" ]]; then
  read -r -a names <<<"$UPDATER_BUILD_TARGETS"
  targets=(--target "${names[@]}")
elif [[ "$flavour" == demo ]]; then
  targets=(--target Updater korvex-sim korvex-update-server birdpack)
fi
cmake --build "build/$flavour" -j "$jobs" "${targets[@]}"
