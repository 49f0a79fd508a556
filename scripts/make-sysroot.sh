#!/usr/bin/env bash
# Makes a sysroot for the device: musl built soft-float for MIPS32r2
# little-endian from Debian's musl source package, plus the kernel's UAPI
# headers (mtd/mtd-user.h) from the cross compiler's package.
# usage: make-sysroot.sh DIR   (does nothing when DIR is complete)
set -euo pipefail

root=$(realpath -m "$1")
[ -f "$root/.complete" ] && exit 0
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/debian.sh"

cross=mipsel-linux-gnu
command -v $cross-gcc >/dev/null || "$here/setup.sh"

work=$root.work
rm -rf "$root" "$work"
mkdir -p "$work/src"

echo "sysroot: fetching musl source" >&2
line="deb-src [signed-by=$debian_keyring] $(debian_mirror) bookworm main"
debian_apt "$work/apt" amd64 "$line" apt-get update >/dev/null
(cd "$work/src" &&
  debian_apt "$work/apt" amd64 "$line" apt-get source --download-only musl >/dev/null)
tarball=$(ls "$work"/src/musl_*.orig.tar.* | grep -v '\.asc$' | head -n 1)
tar -xf "$tarball" -C "$work/src"
src=$(find "$work/src" -maxdepth 1 -type d -name 'musl-*' | head -n 1)

echo "sysroot: building $(basename "$src") soft-float for mipsel" >&2
mkdir -p "$work/build"
(
  cd "$work/build"
  "$src/configure" --target=mipsel-linux-musl --prefix=/usr --syslibdir=/lib \
    CC=$cross-gcc AR=$cross-ar RANLIB=$cross-ranlib \
    CFLAGS="-msoft-float -march=mips32r2 -Os" >/dev/null
  grep -q '^SUBARCH = el-sf' config.mak ||
    { echo "musl did not pick the soft-float subarch" >&2; exit 1; }
  make -j"$(nproc)" >/dev/null 2>"$work/build.log" ||
    { cat "$work/build.log" >&2; exit 1; }
  make install DESTDIR="$root" >/dev/null
)

# Relative, so an emulator given the sysroot finds the loader inside it.
ln -sf ../usr/lib/libc.so "$root/lib/ld-musl-mipsel-sf.so.1"

for d in linux asm asm-generic mtd; do
  cp -r "/usr/$cross/include/$d" "$root/usr/include/"
done

rm -rf "$work"
touch "$root/.complete"
echo "sysroot: ready in $root" >&2
