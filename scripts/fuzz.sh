#!/usr/bin/env bash
# Runs one libFuzzer target for a while, from its committed seeds.
#   scripts/fuzz.sh TARGET MINUTES [extra libFuzzer options...]
# TARGET is a name from fuzz/targets.txt. Brings the target up to date
# first, configuring the fuzz flavour when there is none yet
# (scripts/build.sh fuzz; extra cmake arguments such as a compiler launcher
# go in FUZZ_CMAKE_ARGS). What the run finds is kept
# in build/fuzz/work/TARGET (new inputs) and build/fuzz/artifacts/TARGET
# (crashes, leaks, time-outs); the committed seeds are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 2 ]]; then
  echo "usage: $0 TARGET MINUTES [libFuzzer options...]" >&2
  echo "targets: $(grep -E '^[a-z0-9_]+$' fuzz/targets.txt | tr '\n' ' ')" >&2
  exit 2
fi
target=$1
minutes=$2
shift 2
if ! grep -qx "$target" fuzz/targets.txt; then
  echo "unknown fuzz target: $target (see fuzz/targets.txt)" >&2
  exit 2
fi
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [[ "$minutes" -eq 0 ]]; then
  echo "minutes must be a whole number above 0: $minutes" >&2
  exit 2
fi

binary=build/fuzz/fuzz/${target}_fuzz
if [[ -f build/fuzz/CMakeCache.txt ]]; then
  cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${target}_fuzz"
else
  # shellcheck disable=SC2086
  scripts/build.sh fuzz ${FUZZ_CMAKE_ARGS:-}
fi

work=build/fuzz/work/$target
artifacts=build/fuzz/artifacts/$target
mkdir -p "$work" "$artifacts"
# The address sanitizer's quarantine of freed blocks is capped by the bytes
# asked for, not by the memory the blocks take: with its default cap a
# target that frees many small blocks holds gigabytes. One input frees far
# less than 64 MB, so a use after free is still caught.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:quarantine_size_mb=64}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$binary" -max_total_time=$((minutes * 60)) -rss_limit_mb=2048 -timeout=30 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$work" "fuzz/corpus/$target"
