#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Quick when everything is present: apt is only called for missing packages.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev
  libczmq-dev libzmq3-dev libudev-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest
  nlohmann-json3-dev umockdev libumockdev-dev libumockdev0 iproute2 util-linux
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
