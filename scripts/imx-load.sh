#!/usr/bin/env bash
# The i.MX serial download over a pseudo-terminal while every core is kept
# busy: RUNS runs (default 20) each of -N and -U -t RECOVER against the
# simulated boot ROM, which answers 0 to 300 ms late by turns; every run
# must succeed. Prints the tally.
#   scripts/imx-load.sh [RUNS] [BUILD_DIR]      (BUILD_DIR: build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
build=${2:-build/asan}
python=/usr/bin/python3
[[ -x "$python" ]] || python=python3
IMX_LOAD_RUNS="$runs" UPDATER_BINARY_DIR="$build" UPDATER_SOURCE_DIR="$PWD" \
  exec "$python" -m pytest -q -s -p no:cacheprovider tests/blackbox/test_recovery_load.py
