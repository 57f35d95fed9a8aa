#!/usr/bin/env bash
# The main job on the bundled simulated world: installs, builds and runs
# the updater.
set -euo pipefail
cd "$(dirname "$0")/.."

# Installing and building need the machine's network; the demonstration
# itself runs in a network namespace of its own with only a loopback
# interface, so that the discovery's multicast requests never leave it.
if [[ "${1:-}" != "--in-namespace" ]]; then
  scripts/install-deps.sh
  # Only the four programs shown, with the compiler cache when there is one.
  if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  fi
  echo "== building the updater, the simulator, the update server and birdpack (build/demo) =="
  scripts/build.sh demo
  exec unshare --net -- "$0" --in-namespace
fi
ip link set lo up

UPDATER=build/demo/app/Updater
SIM=build/demo/sim/korvex-sim
SERVER=build/demo/tools/korvex-update-server
BIRDPACK=build/demo/tools/birdpack

# Everything stays in this namespace: the modules are simulated USB devices
# (umockdev), our update server listens on 127.0.0.1, and the store is a
# temporary directory.
demo_dir=$(mktemp -d)
server_pid=""
sim_pid=""
cleanup() {
  for pid in "$sim_pid" "$server_pid"; do
    if [[ -n "$pid" ]]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
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

# The simulated world: two USB modules with older firmware whose serial
# numbers the sample repository knows. After their REBOOT they run the
# version and build the image the updater sent them says it is.
world=(--module serial=40F5849A,model=13,version=2.10.4,build=1200,name=bench,usb
       --module serial=2181F0EE,model=15,version=1.3.0,build=700,name=relays,usb)
echo
echo "== $SIM ${world[*]} =="
"$SIM" --status-file "$demo_dir/world.json" "${world[@]}" >"$demo_dir/world.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q "ready" "$demo_dir/world.log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
cat "$demo_dir/world.log"
umockdev_dir=$(sed -n 's/.*UMOCKDEV_DIR=\([^ ]*\).*/\1/p' "$demo_dir/world.log")
if [[ -z "$umockdev_dir" ]]; then
  echo "The simulated USB world did not start (korvex-sim built without umockdev?)" >&2
  exit 1
fi

# Shows the whole command line in the banner, then runs it.
run() {
  local command=(env "UMOCKDEV_DIR=$umockdev_dir" LD_PRELOAD=libumockdev-preload.so.0
                 "$UPDATER" "$@" -i "$demo_dir/storage" -u "$url")
  echo
  echo "== ${command[*]} =="
  "${command[@]}" || echo "(exit code $?)"
}

# The main job: find the modules, see what the server offers, fetch the
# latest build and put it on each module, and look again.
run -D
run -B -d 40F5849A
run -B -d 2181F0EE
run -G -U -d 40F5849A
run -G -U -d 2181F0EE
run -D

# The store afterwards, and the other store and server commands.
run -L -d 40F5849A
run -I -d 40F5849A
run -J -d 40F5849A
token_command=("$UPDATER" -J -d 40F5849A -i "$demo_dir/storage" -u "$url")
echo "-- the token of \"${token_command[*]}\" checked with the server's public key (python3-jwt):"
token=$("${token_command[@]}" | tail -n 1)
/usr/bin/python3 -c 'import json, sys, jwt
claims = jwt.decode(sys.argv[1], open(sys.argv[2]).read(), algorithms=["EdDSA"])
print(json.dumps(claims, indent=2))' "$token" "$demo_dir/token-public.pem"
run -G -d 40F5849A -b 1234
run -C -f "$demo_dir/storage/updater/40F5849A/1310.bird"

echo
echo "== stored for 40F5849A =="
ls -la "$demo_dir/storage/updater/40F5849A"
cat "$demo_dir/storage/updater/40F5849A/.settings"
echo
echo "== server log =="
cat "$demo_dir/server.log"
