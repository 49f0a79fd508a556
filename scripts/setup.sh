#!/usr/bin/env bash
# Installs what building and testing flashmac needs on Debian 12: the host
# toolchain, GoogleTest, the MIPS cross compiler and the emulators. Does
# nothing when everything is there already.
set -euo pipefail

packages=(
  cmake make g++ python3 libgtest-dev clang-format clang libclang-rt-14-dev
  gcc-mipsel-linux-gnu g++-mipsel-linux-gnu binutils-mipsel-linux-gnu
  qemu-user-static qemu-system-mips ipxe-qemu seabios
  cpio xz-utils ca-certificates
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
