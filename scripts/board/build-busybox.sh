#!/usr/bin/env bash
# Builds busybox as a musl device ships it, dynamically linked against the
# same musl as flashmac, from Debian's busybox source package (defconfig;
# tc left out, it needs kernel headers musl lacks). For the benchmark,
# linked as the device preset links flashmac: at a fixed address, not PIE
# (the SDK's compiler makes PIE unless told otherwise).
# usage: build-busybox.sh SYSROOT OUT_DIR
#   (does nothing when OUT_DIR/busybox exists, linked so)
set -euo pipefail
sysroot=$(realpath "$1") out=$(realpath -m "$2")
linked="no-pie"
[ -x "$out/busybox" ] && [ "$(cat "$out/linked" 2>/dev/null)" = "$linked" ] && exit 0
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/lib/debian.sh"

work=$out.work
rm -rf "$work" && mkdir -p "$work/src" "$out"
echo "busybox: fetching the source and building it against musl" >&2
# shellcheck disable=SC2154 # set by lib/debian.sh
line="deb-src [signed-by=$debian_keyring] $(debian_mirror) bookworm main"
debian_apt "$work/apt" amd64 "$line" apt-get update >/dev/null
(cd "$work/src" &&
  debian_apt "$work/apt" amd64 "$line" apt-get source --download-only busybox >/dev/null)
tar -xf "$(debian_orig "$work/src" busybox)" -C "$work/src"
src=$(find "$work/src" -maxdepth 1 -type d -name 'busybox-*' | head -n 1)
(
  cd "$src"
  make defconfig >/dev/null
  sed -i -e 's/^CONFIG_TC=y/# CONFIG_TC is not set/' \
    -e 's/^CONFIG_EXTRA_CFLAGS=.*/CONFIG_EXTRA_CFLAGS="-fno-pie"/' \
    -e 's/^CONFIG_EXTRA_LDFLAGS=.*/CONFIG_EXTRA_LDFLAGS="-no-pie"/' .config
  make -j"$(nproc)" CROSS_COMPILE="$sysroot/bin/mipsel-linux-musl-" \
    >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log" >&2; exit 1; }
  cp busybox "$out/busybox"
)
echo "$linked" >"$out/linked"
rm -rf "$work"
echo "busybox: ready in $out" >&2
