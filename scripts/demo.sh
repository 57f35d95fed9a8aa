#!/usr/bin/env bash
# The main job on the bundled simulated world: installs, builds and runs
# the updater.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh release

UPDATER=build/release/app/Updater
echo
echo "== $UPDATER -X 0 --help =="
"$UPDATER" -X 0 --help
