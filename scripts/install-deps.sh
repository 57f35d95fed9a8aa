#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Quick when everything is present: apt is only called for missing packages.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev
  libczmq-dev libzmq3-dev libudev-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libisal-dev libdeflate-dev
  python3 python3-pytest man-db dpkg-dev
  nlohmann-json3-dev umockdev libumockdev-dev libumockdev0 iproute2 util-linux
  g++-multilib
  libcpp-httplib-dev libssl-dev openssl python3-jwt python3-cryptography curl time
  lpc21isp imx-usb-loader ansible ccache lintian usbutils
)

# The 32-bit build (scripts/build.sh m32) links against these. Only packages
# that can sit beside their 64-bit versions belong here. libisal-dev is not
# packaged for i386 (the 32-bit build computes BIRD checksums with zlib
# instead); libdeflate-dev is only used by a benchmark, which the 32-bit
# build does not build.
PACKAGES_I386=(
  zlib1g-dev libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev libudev-dev
  libssl-dev libgtest-dev libgmock-dev libcpp-httplib-dev
)

native=$(dpkg --print-architecture)
missing=()
need_i386_arch=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then need_i386_arch=1; fi
for pkg in "${PACKAGES[@]}" "${PACKAGES_I386[@]/%/:i386}"; do
  if [[ "$pkg" == *:* ]]; then
    wanted="${pkg#*:}"          # an explicit architecture
  else
    wanted="$native|all"        # the machine's own, or architecture-free
  fi
  if ! dpkg-query -W -f='${Status} ${Architecture}\n' "${pkg%%:*}" 2>/dev/null |
      grep -Eq "^install ok installed ($wanted)\$"; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all $((${#PACKAGES[@]} + ${#PACKAGES_I386[@]})) packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if ((need_i386_arch)); then $SUDO dpkg --add-architecture i386; fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
