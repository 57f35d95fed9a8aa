#!/usr/bin/env bash
# The fault sweep's long form: Updater -U (USB, TCP/IP) and both recoveries
# against the seeded fault mixes of tests/blackbox/fault_sweep.py.
#   scripts/fault-sweep.sh [SEEDS [KINDS [BUILD]]] [--safe] [-v]
# SEEDS: 0-199 (default), 7, or 1,4,9; KINDS: usb,tcp,lpc,imx-pty,imx-hid
# (default: all); BUILD: the build tree (build/asan). Runs as root (every
# updater command runs in a network namespace of its own); prints one line
# per run, the findings under it, and a tally; exits 1 when anything was found.
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:-0-199}
kinds=${2:-usb,tcp,lpc,imx-pty,imx-hid}
build=${3:-build/asan}
shift $(( $# < 3 ? $# : 3 )) || true
export UPDATER_BINARY_DIR=$build UPDATER_SOURCE_DIR=$PWD
exec nice -n 10 /usr/bin/python3 tests/blackbox/fault_sweep.py --seeds "$seeds" --kinds "$kinds" "$@"
