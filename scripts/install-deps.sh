#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Runs as root (or through sudo); does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libglib2.0-dev libgtest-dev libgmock-dev googletest libbenchmark-dev clang-format
  libpcsclite-dev pcscd vsmartcard-vpcd vsmartcard-vpicc python3-virtualsmartcard
  python3-pycryptodome
  # the real RDP client, its display and the bridge host's FreeRDP server libraries
  freerdp2-dev freerdp2-x11 xvfb openssl
  # unmodified PC/SC applications for the daemon's chain tests
  pcsc-tools opensc
  # the load tool's plot of latency against APDU size (scripts/load.sh)
  gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
