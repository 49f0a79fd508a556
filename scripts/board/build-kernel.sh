#!/usr/bin/env bash
# Builds the newer kernel the board also boots: Linux 6.12 from Debian
# trixie's source package, configured from the board's Debian 6.1
# 4kc-malta config carried forward, with only the board's modules and no
# debug info (mm/, block/ and MTD stay as Debian configures them). The
# result is laid out like fetch-board.sh's, in DIR, and kept there: a
# second run does nothing.
# usage: build-kernel.sh BOARD_6_1_DIR DIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib/debian.sh"
# A fixed release, so that the cache and the figures stay comparable; the
# archive's mirror also keeps older releases than its index names. The
# .dsc is checked here, and dpkg-source checks the tarballs against it.
version=${FLASHMAC_KERNEL_VERSION:-6.12.107-1}
dsc_sha256=${FLASHMAC_KERNEL_DSC_SHA256:-00f5874a383295a3237321cf59a0f172495084f16cb3dac24ee5aae6649d809a}
# Bumped whenever what this script builds changes, so old caches are redone.
stamp="kernel 1 $version $(md5sum <"$here/modules.txt" | cut -c1-8)"
base=$(realpath -m "$1")
dir=$(realpath -m "$2")
[ "$(cat "$dir/.complete" 2>/dev/null)" = "$stamp" ] && exit 0
"$here/../fetch-board.sh" "$base"

work=$dir.work
rm -rf "$dir" "$work"
mkdir -p "$work" "$dir/modules"
pool=$(debian_mirror)/pool/main/l/linux

echo "kernel: fetching Debian's linux $version source" >&2
dsc=linux_$version.dsc
wget -q -P "$work" "$pool/$dsc"
echo "$dsc_sha256  $work/$dsc" | sha256sum -c --quiet
for f in $(awk '/^Files:/ { on = 1; next } /^[^ ]/ { on = 0 } on { print $3 }' "$work/$dsc"); do
  wget -q -P "$work" "$pool/$f"
done
echo "kernel: unpacking and patching" >&2
# Built where it stays: the built tree also builds the board's own module.
src=$dir/src
(cd "$work" && dpkg-source --no-check -x "$dsc" "$src" >/dev/null)

kmake() {
  nice -n 19 make -C "$src" -s ARCH=mips CROSS_COMPILE=mipsel-linux-gnu- \
    KBUILD_BUILD_USER=flashmac KBUILD_BUILD_HOST=board "$@"
}
cp "$base/config" "$src/.config"
kmake olddefconfig
# Only what the board loads as modules; the rest of Debian's choices stay.
grep -v '^#' "$here/modules.txt" | xargs -n1 basename | sed 's/\.ko$/ 1 0/' >"$work/lsmod"
kmake LSMOD="$work/lsmod" localmodconfig </dev/null >/dev/null
"$src/scripts/config" --file "$src/.config" \
  --disable DEBUG_INFO --disable DEBUG_INFO_DWARF_TOOLCHAIN_DEFAULT \
  --disable DEBUG_INFO_DWARF4 --disable DEBUG_INFO_DWARF5 \
  --enable DEBUG_INFO_NONE --disable DEBUG_INFO_BTF \
  --disable MODULE_SIG --set-str SYSTEM_TRUSTED_KEYS "" \
  --set-str SYSTEM_REVOCATION_KEYS "" \
  --disable MODULE_COMPRESS_XZ --enable MODULE_COMPRESS_NONE
kmake olddefconfig
grep -q '^CONFIG_MTD_BLOCK=y' "$src/.config" || {
  echo "kernel: CONFIG_MTD_BLOCK is not built in" >&2; exit 1; }

echo "kernel: building $(kmake -s kernelrelease) (this takes a while)" >&2
start=$(date +%s)
kmake -j"$(nproc)" vmlinux modules
echo "kernel: built in $(($(date +%s) - start)) s" >&2

cp "$src/vmlinux" "$dir/vmlinuz"
cp "$base/busybox" "$dir/busybox"
cp "$src/.config" "$dir/config"
# In load order, each module after what it depends on.
declare -A ko done_
while read -r f; do
  m=$(basename "$f" .ko); ko[${m//-/_}]=$f
done < <(find "$src" -name '*.ko')
add() {
  local m=${1//-/_} d
  [ -n "${done_[$m]:-}" ] && return
  [ -n "${ko[$m]:-}" ] || { echo "kernel: module $m missing" >&2; exit 1; }
  for d in $(modinfo -F depends "${ko[$m]}" | tr , ' '); do add "$d"; done
  cp "${ko[$m]}" "$dir/modules/"
  basename "${ko[$m]}" >>"$dir/modules/order"
  done_[$m]=1
}
for m in $(grep -v '^#' "$here/modules.txt"); do add "$(basename "$m" .ko)"; done
kmake -s kernelrelease >"$dir/kernel-package"

ln -s src "$dir/headers"
# dpkg-source links the upstream tarball beside the tree it unpacks.
rm -f "$dir"/*.orig.tar.*
rm -rf "$work"
echo "$stamp" >"$dir/.complete"
echo "kernel: ready in $dir" >&2
