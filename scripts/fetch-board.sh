#!/usr/bin/env bash
# Fetches what the emulated MIPS Malta board boots: Debian's 4kc-malta
# kernel with its MTD and virtio modules, and busybox-static as userland.
# usage: fetch-board.sh DIR   (does nothing when DIR is complete)
set -euo pipefail

dir=$(realpath -m "$1")
[ -f "$dir/.complete" ] && exit 0
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/debian.sh"

work=$dir.work
rm -rf "$dir" "$work"
mkdir -p "$work/debs" "$dir/modules"
line="deb [signed-by=$debian_keyring] $(debian_mirror) bookworm main"
apt_mipsel() { debian_apt "$work/apt" mipsel "$line" "$@"; }

echo "board: fetching the kernel and busybox (mipsel)" >&2
apt_mipsel apt-get update >/dev/null
# The meta-package names the current kernel package.
kernel=$(apt_mipsel apt-cache depends linux-image-4kc-malta 2>/dev/null |
  awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
[ -n "$kernel" ] || { echo "board: no 4kc-malta kernel found" >&2; exit 1; }
(cd "$work/debs" && apt_mipsel apt-get download "$kernel" busybox-static >/dev/null)
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/root"; done

cp "$work"/root/boot/vmlinuz-* "$dir/vmlinuz"
cp "$work/root/bin/busybox" "$dir/busybox"
kmods=$(echo "$work"/root/lib/modules/*/kernel)
# In load order: each needs only those before it.
for m in drivers/virtio/virtio.ko drivers/virtio/virtio_ring.ko \
  drivers/virtio/virtio_pci_legacy_dev.ko drivers/virtio/virtio_pci_modern_dev.ko \
  drivers/virtio/virtio_pci.ko drivers/block/virtio_blk.ko \
  drivers/mtd/devices/block2mtd.ko drivers/mtd/devices/mtdram.ko; do
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

rm -rf "$work"
touch "$dir/.complete"
echo "board: ready in $dir ($kernel)" >&2
