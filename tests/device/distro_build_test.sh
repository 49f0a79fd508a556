#!/usr/bin/env bash
# Builds flashmac as OpenWrt does (compiler variables and its hardening
# flags on the command line), Release, no tests, a DESTDIR install, with a
# stand-in SDK whose compiler links like upstream GCC (libstdc++ and
# libgcc_s added to C++ links, no --as-needed). The result must need only
# libc.so, run with nothing but musl's loader in its root, install
# unstripped unless asked to strip, keep the hardening it was asked for,
# and stay small once stripped. (Real Buildroot: buildroot_test.py.)
# usage: distro_build_test.sh SOURCE_DIR SYSROOT WORK_DIR
set -euo pipefail
src=$1 sysroot=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
budget=10240
rm -rf "$work" && mkdir -p "$work/sdk/bin" "$work/sdk/stubs" "$work/rootfs/lib"
musl=$sysroot/bin/mipsel-linux-musl-
sdk=$work/sdk/bin/mipsel-openwrt-linux-musl-

# Stand-ins for the SDK's C++ runtime: a link that records them as NEEDED
# gives a binary that does not start on a device without them.
echo 'void stub(void) {}' >"$work/sdk/stub.c"
for so in libstdc++.so.6 libgcc_s.so.1; do
  "${musl}gcc" -shared -fPIC -nostdlib -Wl,-soname,$so "$work/sdk/stub.c" \
    -o "$work/sdk/stubs/$so"
  ln -s $so "$work/sdk/stubs/${so%.so.*}.so"
done
for tool in gcc g++; do
  cat >"$sdk$tool" <<DRIVER
#!/bin/sh
for a in "\$@"; do case "\$a" in -c|-E|-S|-M|-MM) exec ${musl}$tool "\$@" ;; esac; done
rt=""
if [ $tool = g++ ]; then
  case " \$* " in *" -nostdlib "*|*" -nodefaultlibs "*) ;;
    *) rt="-L$work/sdk/stubs -lstdc++ -lm -lgcc_s" ;; esac
fi
exec ${musl}gcc -Wl,--no-as-needed "\$@" \$rt
DRIVER
  chmod +x "$sdk$tool"
done
for tool in ar ranlib nm objcopy objdump readelf strip; do
  ln -s "$(readlink -f "${musl}$tool")" "$sdk$tool"
done

# OpenWrt's flags for a package with its default hardening: PIE, full
# RELRO, stack protector, FORTIFY (a no-op on this musl, which has no
# fortify headers; it must still build), 4 KiB pages.
openwrt_cflags="-Os -pipe -mno-branch-likely -mips32r2 -mtune=24kc -fno-caller-saves -fno-plt -msoft-float -Wformat -Werror=format-security -fPIC -fstack-protector -D_FORTIFY_SOURCE=1"
openwrt_ldflags="-pie -Wl,-z,now -Wl,-z,relro -Wl,-z,max-page-size=4096"
common=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF)
openwrt=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_VERSION=1 -DCMAKE_SYSTEM_PROCESSOR=mipsel
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG
  "-DCMAKE_C_COMPILER=${sdk}gcc" "-DCMAKE_CXX_COMPILER=${sdk}g++"
  "-DCMAKE_C_FLAGS=$openwrt_cflags" "-DCMAKE_CXX_FLAGS=$openwrt_cflags"
  "-DCMAKE_EXE_LINKER_FLAGS=$openwrt_ldflags"
  "-DCMAKE_FIND_ROOT_PATH=$sysroot" -DCMAKE_SKIP_RPATH=TRUE)

# Nothing but musl's loader (which is its libc) in the root it runs in.
cp "$sysroot/usr/lib/libc.so" "$work/rootfs/lib/ld-musl-mipsel-sf.so.1"

failed=0
check() {  # check WHAT COMMAND...: runs it, counts a failure
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=$((failed + 1)); fi
}
b=$work/openwrt
cmake -S "$src" -B "$b/build" "${common[@]}" "${openwrt[@]}" >"$b.log" 2>&1 &&
  cmake --build "$b/build" -j2 >>"$b.log" 2>&1 &&
  DESTDIR="$b/staging" cmake --install "$b/build" >>"$b.log" &&
  DESTDIR="$b/target" cmake --install "$b/build" --strip >>"$b.log" ||
  { cat "$b.log"; exit 1; }
full=$b/staging/usr/bin/flashmac bin=$b/target/usr/bin/flashmac
check "installs unstripped for the distribution to strip" \
  sh -c "'${musl}readelf' -S '$full' | grep -q '\.symtab'"
check "installs its manual" test -f "$b/staging/usr/share/man/man1/flashmac.1"
echo "NEEDED: $("${musl}readelf" -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')" \
  "stripped: $(stat -c %s "$bin") bytes"
check "the stripped binary (elf_test.py)" python3 "$here/elf_test.py" "$bin" $budget \
  --disassemble "${musl}objdump" "$full"
# The integrator's hardening holds: nothing of the project's overrides it.
elf=$("${musl}readelf" -hlWd --dyn-syms "$bin")
check "PIE" grep -q "Type: *DYN" <<<"$elf"
check "RELRO" grep -q GNU_RELRO <<<"$elf"
check "BIND_NOW" grep -qE "FLAGS.*\bNOW\b" <<<"$elf"
check "stack protector" grep -q __stack_chk_ <<<"$elf"
check "4 KiB pages" grep -qE "LOAD .* 0x1000$" <<<"$elf"
out=$(qemu-mipsel-static -L "$work/rootfs" "$bin" 99 2>"$b/err") || true
check "runs with only musl's loader: $out / $(cat "$b/err")" \
  test "$out" = 00:00:00:00:00:00 -a "$(cat "$b/err")" = "open /dev/mtdblock99 error"
echo "$((9 - failed)) passed, $failed failed"
[ $failed -eq 0 ]
