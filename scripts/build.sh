#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh [release|asan|tsan|fuzz] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-release}
shift || true
jobs=$(nproc 2>/dev/null || echo 2)

case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=address,undefined -DUPDATER_BENCH=OFF) ;;
  tsan)    args=(-DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=thread -DUPDATER_BENCH=OFF) ;;
  fuzz)    args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                 -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF -DUPDATER_BENCH=OFF) ;;
  *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "build/$flavour" "${args[@]}" "$@" >/dev/null
cmake --build "build/$flavour" -j "$jobs"
