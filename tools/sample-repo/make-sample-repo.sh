#!/usr/bin/env bash
# Makes the sample firmware repository in OUTDIR: the BIRD files, built
# with birdpack from generated images, and the repository configuration.
#   make-sample-repo.sh BIRDPACK OUTDIR [IMAGE_KIB]
# IMAGE_KIB (default 64) sets the size of each firmware image.
set -euo pipefail

birdpack=$1
out=$2
kib=${3:-64}
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$out/work"
work="$out/work"

# Deterministic images: a vector table, a text mark, then a pattern that
# compresses like real code (not too well). Arguments: FILE:KIB:SEED...
make_images() {
  python3 - "$@" <<'PY'
import random, sys
for item in sys.argv[1:]:
    path, kib, seed = item.split(":")
    size = int(kib) * 1024
    rng = random.Random(seed)
    words = [0x20008000, 0x00000101] + [0x00000201] * 6
    data = bytearray(b"".join(w.to_bytes(4, "little") for w in words))
    data += ("KORVEX " + seed).encode().ljust(32, b"\0")
    noise = rng.randbytes(size)
    while len(data) < size:
        op = rng.randrange(16)
        data += noise[len(data):len(data) + 16] if op < 6 else bytes([(op * 17) & 0xFF]) * 16
    open(path, "wb").write(bytes(data[:size]))
PY
}

make_bird() { # output build version model seed [generic|SERIAL]
  local output=$1 build=$2 version=$3 model=$4 seed=$5 serial=${6:-generic}
  # A generic package carries the serial-number offsets and is personalised
  # for its target; a bound one carries its serial number instead.
  local offsets="offsets      0x00000040 0x00000060"
  [[ $serial == generic ]] || offsets=""
  cat > "$work/$seed.manifest" <<MANIFEST
# $model build $build
loader       $seed-loader.bin 0x10000000
loader-start 0x10000101
firmware     $seed-firmware.bin 0x00000000 flags 1
$offsets
info         $build $version $serial $model
MANIFEST
  "$birdpack" create "$work/$seed.manifest" -o "$out/$output" >/dev/null
}

seeds=(daq8-1200 daq8-1250 daq8-1300 daq8-1310 relay4-800 router-900)
images=()
for seed in "${seeds[@]}"; do
  images+=("$work/$seed-loader.bin:4:$seed-loader" "$work/$seed-firmware.bin:$kib:$seed")
done
make_images "${images[@]}"

make_bird kxdaq8-1200.bird 1200 2.10.4 KX-DAQ8 daq8-1200
make_bird kxdaq8-1250.bird 1250 2.9.12 KX-DAQ8 daq8-1250
make_bird kxdaq8-1300.bird 1300 2.11.5 KX-DAQ8 daq8-1300
make_bird kxdaq8-1310-40F5849A.bird 1310 2.11.6 KX-DAQ8 daq8-1310 40F5849A
make_bird kxrelay4-800.bird 800 1.4.0 KX-Relay4 relay4-800
make_bird kxrouter-900.bird 900 3.0.1 KX-Router router-900

cp "$here/repo.conf" "$out/repo.conf"
rm -rf "$work"
