#!/usr/bin/env bash
# Fetches what the emulated MIPS Malta board boots: Debian's 4kc-malta
# kernel with its MTD, NAND simulator, CFI flash and virtio modules,
# busybox-static as userland, and the kernel's headers and kbuild for
# building the board's own module.
# usage: fetch-board.sh DIR   (does nothing when DIR is complete)
set -euo pipefail

# Bumped whenever what this script fetches changes, so old caches are redone.
stamp="board 6"
dir=$(realpath -m "$1")
[ "$(cat "$dir/.complete" 2>/dev/null)" = "$stamp" ] && exit 0
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/debian.sh"

work=$dir.work
rm -rf "$dir" "$work"
mkdir -p "$work/debs" "$dir/modules"
# shellcheck disable=SC2154 # set by lib/debian.sh
line="deb [signed-by=$debian_keyring] $(debian_mirror) bookworm main"
apt_mipsel() { debian_apt "$work/apt" mipsel "$line" "$@"; }

echo "board: fetching the kernel and busybox (mipsel)" >&2
apt_mipsel apt-get update >/dev/null
# The meta-package names the current kernel package. (awk reads to the
# end: one that quits early fails the pipe with SIGPIPE.)
kernel=$(apt_mipsel apt-cache depends linux-image-4kc-malta 2>/dev/null |
  awk '/Depends: linux-image-[0-9]/ && !k { k = $2 } END { print k }')
[ -n "$kernel" ] || { echo "board: no 4kc-malta kernel found" >&2; exit 1; }
release=${kernel#linux-image-}
abi=${release%-*-*}
version=$(apt_mipsel apt-cache show "$kernel" | awk '/^Version:/ && !v { v = $2 } END { print v }')
(cd "$work/debs" && apt_mipsel apt-get download "$kernel" busybox-static \
  "linux-headers-$release" "linux-headers-$abi-common" >/dev/null)
# kbuild's tools run on this machine: its own architecture, same version.
kbuild=linux-kbuild-$(echo "$version" | cut -d. -f1-2)
debian_apt "$work/apt-host" "$(dpkg --print-architecture)" "$line" apt-get update >/dev/null
(cd "$work/debs" && debian_apt "$work/apt-host" "$(dpkg --print-architecture)" "$line" \
  apt-get download "$kbuild=$version" >/dev/null)
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/root"; done

cp "$work"/root/boot/vmlinuz-* "$dir/vmlinuz"
# The starting point of the newer kernel the board also boots.
cp "$work"/root/boot/config-* "$dir/config"
cp "$work/root/bin/busybox" "$dir/busybox"
kmods=$(echo "$work"/root/lib/modules/*/kernel)
for m in $(grep -v '^#' "$here/board/modules.txt"); do
  f="$kmods/$m"
  [ -f "$f" ] || f=$(ls "$f".* 2>/dev/null | head -n 1)
  [ -f "$f" ] || { echo "board: module $m missing" >&2; exit 1; }
  case "$f" in
    *.xz) xz -dc "$f" >"$dir/modules/$(basename "$m")" ;;
    *) cp "$f" "$dir/modules/" ;;
  esac
  echo "$(basename "$m")" >>"$dir/modules/order"
done
echo "$kernel" >"$dir/kernel-package"

# Laid out as installed, so the headers' relative links to kbuild hold.
# The per-flavour tree includes the common one by an absolute path: made
# relative (make runs there), the folder can move with its checkout.
mv "$work/root/usr/src" "$dir/src"
mkdir -p "$dir/lib" && mv "$work/root/usr/lib/$kbuild" "$dir/lib/"
sed -i "s|/usr/src/|../|" "$dir/src/linux-headers-$release/Makefile"
ln -s "src/linux-headers-$release" "$dir/headers"

rm -rf "$work"
echo "$stamp" >"$dir/.complete"
echo "board: ready in $dir ($kernel)" >&2
