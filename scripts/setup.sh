#!/usr/bin/env bash
# Installs from Debian 12's packages what a task needs, and nothing when it
# is all there already. Starts from bash and apt-get alone (as root, or
# with sudo).
# usage: setup.sh [device|demo|kernel|test]   (default: test, everything)
#   device  the device binary: cmake, make, the MIPS cross compiler, llvm
#   demo    the device binary and the emulated board
#   kernel  the device binary and what building the board's kernel takes
#   test    all of it, with the host compilers, GoogleTest, qemu-user and
#           the host tools of real OpenWrt and BitBake
set -euo pipefail

device=(
  cmake make gcc-mipsel-linux-gnu g++-mipsel-linux-gnu binutils-mipsel-linux-gnu
  llvm xz-utils ca-certificates
)
# The board's emulator; its ROMs come with ipxe-qemu and seabios.
demo=("${device[@]}" python3 qemu-system-mips ipxe-qemu seabios)
# The board's 6.12 kernel, built from Debian's source (the tests install
# this first and build the kernel while the rest installs).
kernel=("${device[@]}" python3 g++ bc flex bison libssl-dev libelf-dev kmod
  dpkg-dev wget perl cpio rsync)
# Real Buildroot builds the package from its external tree in the tests.
# shellcheck disable=SC2034 # chosen by name below (declare -n)
test=("${demo[@]}" "${kernel[@]}" libgtest-dev clang-format clang
  libclang-rt-14-dev qemu-user-static unzip file patch bzip2 pkgconf
  # systemd-analyze checks the boot helper's unit; mkfs.minix makes the
  # board's disk for the factory command's backups.
  systemd util-linux
  # Real OpenWrt builds the package: its prerequisite check, and the host
  # ninja that stands in for the one it would build.
  libncurses-dev zlib1g-dev gettext xsltproc swig ninja-build
  # Real BitBake parses the Yocto layer: Yocto's host packages for Debian.
  git gawk chrpath diffstat texinfo socat lz4 zstd locales python3-git
  python3-jinja2 python3-pexpect python3-subunit)
declare -n packages=${1:-test}

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
