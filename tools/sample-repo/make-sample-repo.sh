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

# Deterministic images: a vector table, the image's information ("KORVEX
# SEED BUILD VERSION", 32 bytes: a simulated module runs that build after
# its reboot), then a pattern that compresses like real code (not too
# well). Arguments: FILE:KIB:SEED[:BUILD:VERSION]...
# A seed starting with "lpc" gets the vector checksum an LPC boot ROM
# wants before it starts user code: entry 7 makes entries 0-7 sum to 0.
make_images() {
  python3 - "$@" <<'PY'
import random, sys
for item in sys.argv[1:]:
    path, kib, seed, *info = item.split(":")
    size = int(kib) * 1024
    rng = random.Random(seed)
    words = [0x20008000, 0x00000101] + [0x00000201] * 6
    if seed.startswith("lpc"):
        words[0] = 0x10008000
        words[7] = (-sum(words[:7])) & 0xFFFFFFFF
    data = bytearray(b"".join(w.to_bytes(4, "little") for w in words))
    data += " ".join(["KORVEX", seed, *info]).encode().ljust(32, b"\0")[:32]
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

# Recovery packages, each bound to one simulated chip by its fingerprint
# (see repo.conf). The LPC one holds only firmware, scrambled with the
# fingerprint, written by the boot ROM straight into flash from address 0.
make_lpc_recovery() { # output build version model serial W1 W2 W3 W4 seed
  local output=$1 build=$2 version=$3 model=$4 serial=$5 seed=${10}
  cat > "$work/$seed.manifest" <<MANIFEST
# $model recovery build $build for the LPC chip with serial $serial
firmware     $seed-firmware.bin 0x00000000
info         $build $version $serial $model
scramble     $6 $7 $8 $9
MANIFEST
  "$birdpack" create "$work/$seed.manifest" -o "$out/$output" >/dev/null
}

# The i.MX one: the loader pieces the boot ROM takes over serial download
# (its RAM from 0x20000400, started there), then the firmware the loader
# takes over USB.
make_imx_recovery() { # output build version model serial seed
  local output=$1 build=$2 version=$3 model=$4 serial=$5 seed=$6
  cat > "$work/$seed.manifest" <<MANIFEST
# $model recovery build $build for the i.MX chip with serial $serial
loader       $seed-loader.bin 0x20000400
loader       $seed-loader-data.bin 0x20001400
loader-start 0x20000400
firmware     $seed-firmware.bin 0x60000000
info         $build $version $serial $model
MANIFEST
  "$birdpack" create "$work/$seed.manifest" -o "$out/$output" >/dev/null
}

# Each seed with the build and version its firmware image says it is.
seeds=(daq8-1200:1200:2.10.4 daq8-1250:1250:2.9.12 daq8-1300:1300:2.11.5 daq8-1310:1310:2.11.6
       relay4-800:800:1.4.0 router-900:900:3.0.1)
images=()
for entry in "${seeds[@]}"; do
  seed=${entry%%:*}
  images+=("$work/$seed-loader.bin:4:$seed-loader" "$work/$seed-firmware.bin:$kib:$entry")
done
images+=("$work/lpc-relay4-810-firmware.bin:$kib:lpc-relay4-810:810:1.4.1"
         "$work/imx-daq8-1320-loader.bin:4:imx-loader"
         "$work/imx-daq8-1320-loader-data.bin:2:imx-loader-data"
         "$work/imx-daq8-1320-firmware.bin:$kib:imx-daq8-1320:1320:2.11.7")
make_images "${images[@]}"

make_bird kxdaq8-1200.bird 1200 2.10.4 KX-DAQ8 daq8-1200
make_bird kxdaq8-1250.bird 1250 2.9.12 KX-DAQ8 daq8-1250
make_bird kxdaq8-1300.bird 1300 2.11.5 KX-DAQ8 daq8-1300
make_bird kxdaq8-1310-40F5849A.bird 1310 2.11.6 KX-DAQ8 daq8-1310 40F5849A
make_bird kxrelay4-800.bird 800 1.4.0 KX-Relay4 relay4-800
make_bird kxrouter-900.bird 900 3.0.1 KX-Router router-900
make_lpc_recovery kxrelay4-810-lpc-4C500001.bird 810 1.4.1 KX-Relay4 4C500001 \
  2C01002B 8A5C3F0D 4E3A1B27 1C0F00A1 lpc-relay4-810
make_imx_recovery kxdaq8-1320-imx-1A000001.bird 1320 2.11.7 KX-DAQ8 1A000001 imx-daq8-1320

cp "$here/repo.conf" "$out/repo.conf"
rm -rf "$work"
