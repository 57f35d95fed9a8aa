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

# A deterministic image: a vector table, a text mark, then a pattern that
# compresses like real code (not too well).
make_image() { # file size-in-KiB seed
  python3 - "$1" "$2" "$3" <<'PY'
import sys, random
path, kib, seed = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(seed)
words = [0x20008000, 0x00000101] + [0x00000201] * 6
data = bytearray(b"".join(w.to_bytes(4, "little") for w in words))
data += ("KORVEX " + seed).encode().ljust(32, b"\0")
while len(data) < kib * 1024:
    op = rng.randrange(16)
    data += bytes(rng.randrange(256) if op < 6 else (op * 17) & 0xFF for _ in range(16))
open(path, "wb").write(bytes(data[: kib * 1024]))
PY
}

make_bird() { # output build version model seed [generic|SERIAL]
  local output=$1 build=$2 version=$3 model=$4 seed=$5 serial=${6:-generic}
  # A generic package carries the serial-number offsets and is personalised
  # for its target; a bound one carries its serial number instead.
  local offsets="offsets      0x00000040 0x00000060"
  [[ $serial == generic ]] || offsets=""
  make_image "$work/$seed-loader.bin" 4 "$seed-loader"
  make_image "$work/$seed-firmware.bin" "$kib" "$seed"
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

make_bird kxdaq8-1200.bird 1200 2.10.4 KX-DAQ8 daq8-1200
make_bird kxdaq8-1250.bird 1250 2.9.12 KX-DAQ8 daq8-1250
make_bird kxdaq8-1300.bird 1300 2.11.5 KX-DAQ8 daq8-1300
make_bird kxdaq8-1310-40F5849A.bird 1310 2.11.6 KX-DAQ8 daq8-1310 40F5849A
make_bird kxrelay4-800.bird 800 1.4.0 KX-Relay4 relay4-800
make_bird kxrouter-900.bird 900 3.0.1 KX-Router router-900

cp "$here/repo.conf" "$out/repo.conf"
rm -rf "$work"
