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

# The update commands against our own update server, on loopback, with the
# bundled sample repository; everything is stored in a temporary directory.
SERVER=build/release/tools/korvex-update-server
BIRDPACK=build/release/tools/birdpack
demo_dir=$(mktemp -d)
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$demo_dir"
}
trap cleanup EXIT

echo
echo "== sample firmware repository (made with birdpack) =="
tools/sample-repo/make-sample-repo.sh "$BIRDPACK" "$demo_dir/repo"
ls "$demo_dir/repo"

mkfifo "$demo_dir/ready"
"$SERVER" --repo "$demo_dir/repo" --listen 127.0.0.1:0 \
  --public-key-out "$demo_dir/token-public.pem" >"$demo_dir/ready" 2>"$demo_dir/server.log" &
server_pid=$!
read -r _ _ url <"$demo_dir/ready"
echo "== korvex-update-server listening on $url =="

# Shows the whole command line in the banner, then runs it.
run() {
  local command=("$UPDATER" "$@" -i "$demo_dir/storage" -u "$url")
  echo
  echo "== ${command[*]} =="
  "${command[@]}" || echo "(exit code $?)"
}
run -B -d 40F5849A
run -G -d 40F5849A
run -G -d 40F5849A -b 1200
run -L -d 40F5849A
run -J -d 40F5849A
token_command=("$UPDATER" -J -d 40F5849A -i "$demo_dir/storage" -u "$url")
echo "-- the token of \"${token_command[*]}\" checked with the server's public key (python3-jwt):"
token=$("${token_command[@]}" | tail -n 1)
/usr/bin/python3 -c 'import json, sys, jwt
claims = jwt.decode(sys.argv[1], open(sys.argv[2]).read(), algorithms=["EdDSA"])
print(json.dumps(claims, indent=2))' "$token" "$demo_dir/token-public.pem"
run -G -d 40F5849A -b 1234
run -C -f "$demo_dir/storage/updater/40F5849A/1200.bird"
run -I -d 40F5849A

echo
echo "== stored for 40F5849A =="
ls -la "$demo_dir/storage/updater/40F5849A"
cat "$demo_dir/storage/updater/40F5849A/.settings"
echo
echo "== server log =="
cat "$demo_dir/server.log"
