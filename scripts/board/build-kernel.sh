#!/usr/bin/env bash
# Builds the newer kernel the board also boots: Linux 6.12 from Debian
# trixie's source package, configured for the board alone: tinyconfig,
# kernel.config, and Debian's own choices (from its 4kc-malta config carried
# forward) for every option under mm/, block/ and drivers/mtd/, checked
# after configuring. Drivers are built in but for the two the board loads
# with parameters. Keeps in DIR what the board boots and loads: vmlinux,
# busybox, those modules and the board's NOR module, built here once; the
# source tree is dropped. A second run does nothing.
# usage: build-kernel.sh [--check] BOARD_6_1_DIR DIR
#   --check  only tell (exit status) whether DIR holds this very build
set -euo pipefail
check=false
[ "${1:-}" != --check ] || { check=true; shift; }

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib/debian.sh"
# A fixed release, so that the cache and the figures stay comparable; the
# archive's mirror also keeps older releases than its index names. The
# .dsc is checked here, and dpkg-source checks the tarballs against it.
version=${FLASHMAC_KERNEL_VERSION:-6.12.107-1}
dsc_sha256=${FLASHMAC_KERNEL_DSC_SHA256:-00f5874a383295a3237321cf59a0f172495084f16cb3dac24ee5aae6649d809a}
# What the build depends on, so that a change to any of it redoes the cache.
inputs=$(cat "$here/build-kernel.sh" "$here/kernel.config" "$here/kernel_config.py" \
  "$here/modules.txt" "$here"/malta-nor/* | md5sum | cut -c1-8)
stamp="kernel 2 $version $inputs"
base=$(realpath -m "$1")
dir=$(realpath -m "$2")
[ "$(cat "$dir/.complete" 2>/dev/null)" = "$stamp" ] && exit 0
! $check || exit 1
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
src=$work/src
(cd "$work" && dpkg-source --no-check -x "$dsc" "$src" >/dev/null)
rm -f "$work"/*.orig.tar.* "$work"/*.debian.tar.*

kmake() {
  nice -n 19 make -C "$src" -s ARCH=mips CROSS_COMPILE=mipsel-linux-gnu- \
    KBUILD_BUILD_USER=flashmac KBUILD_BUILD_HOST=board "$@"
}
# Debian's choices, carried forward to this release.
cp "$base/config" "$src/.config"
kmake olddefconfig 2>/dev/null
mv "$src/.config" "$work/debian.config"
python3 "$here/kernel_config.py" fragment "$src" "$work/debian.config" >"$work/debian.fragment"
kmake tinyconfig >/dev/null
(cd "$src" && scripts/kconfig/merge_config.sh -m -O . .config \
  "$work/debian.fragment" "$here/kernel.config" >/dev/null)
kmake olddefconfig
python3 "$here/kernel_config.py" check "$src" "$work/debian.config" "$src/.config"
missing=$(grep '^CONFIG_' "$here/kernel.config" | grep -vxFf "$src/.config" || true)
[ -z "$missing" ] || { echo "kernel: not configured as asked:" $missing >&2; exit 1; }

echo "kernel: building $(kmake -s kernelrelease) (a few minutes)" >&2
start=$(date +%s)
kmake -j"$(nproc)" vmlinux modules
cp -r "$here/malta-nor" "$work/malta-nor"
kmake M="$work/malta-nor" modules
echo "kernel: built in $(($(date +%s) - start)) s" >&2

cp "$src/vmlinux" "$dir/vmlinuz"
cp "$work/malta-nor/malta_nor.ko" "$dir/malta_nor.ko"
cp "$base/busybox" "$dir/busybox"
cp "$src/.config" "$dir/config"
# The board's modules that are modules here, in load order (each after
# what it depends on); the rest are built in.
declare -A ko done_
while read -r f; do
  m=$(basename "$f" .ko); ko[${m//-/_}]=$f
done < <(find "$src" -name '*.ko')
add() {
  local m=${1//-/_} d
  [ -n "${done_[$m]:-}" ] && return
  done_[$m]=1
  [ -n "${ko[$m]:-}" ] || return 0
  for d in $(modinfo -F depends "${ko[$m]}" | tr , ' '); do add "$d"; done
  cp "${ko[$m]}" "$dir/modules/"
  basename "${ko[$m]}" >>"$dir/modules/order"
}
for m in $(grep -v '^#' "$here/modules.txt"); do
  m=$(basename "$m" .ko)
  [ -n "${ko[${m//-/_}]:-}" ] || grep -q "/$m.ko\$" "$src/modules.builtin" ||
    { echo "kernel: $m is neither built in nor a module" >&2; exit 1; }
  add "$m"
done
kmake -s kernelrelease >"$dir/kernel-package"

rm -rf "$work"
echo "$stamp" >"$dir/.complete"
echo "kernel: ready in $dir ($(du -sh "$dir" | cut -f1))" >&2
