#!/usr/bin/env bash
# Builds flashmac the way a user with their own musl SDK would
# (-DFLASHMAC_CROSS_PREFIX=...), with a stand-in SDK whose drivers wrap
# Debian's cross compiler around our sysroot, then runs that build's tests.
# usage: own_toolchain_test.sh SOURCE_DIR SYSROOT WORK_DIR
set -euo pipefail
src=$1 sysroot=$2 work=$3
rm -rf "$work" && mkdir -p "$work/sdk"
prefix=$work/sdk/mipsel-sdk-linux-musl-

cxx_inc=$(mipsel-linux-gnu-g++ -xc++ -E -v /dev/null 2>&1 |
  sed -n 's|^ \(.*/c++/.*\)|-isystem \1|p' | tr '\n' ' ')
gcc_inc=$(mipsel-linux-gnu-gcc -print-file-name=include)
libgcc=$(mipsel-linux-gnu-gcc -print-libgcc-file-name)
for tool in gcc g++; do
  inc="-nostdinc -isystem $sysroot/usr/include -isystem $gcc_inc"
  [ $tool = g++ ] && inc="$cxx_inc $inc"
  cat >"$prefix$tool" <<DRIVER
#!/bin/sh
# A musl toolchain's driver: musl's headers, start files and libc by default.
for a in "\$@"; do case "\$a" in -c|-E|-S) exec mipsel-linux-gnu-$tool $inc '-D__GLIBC_PREREQ(a,b)=0' "\$@";; esac; done
exec mipsel-linux-gnu-$tool -nostdlib $sysroot/usr/lib/crt1.o $sysroot/usr/lib/crti.o "\$@" -L$sysroot/usr/lib -lc $libgcc $sysroot/usr/lib/crtn.o
DRIVER
  chmod +x "$prefix$tool"
done
for tool in strip readelf ar ranlib nm objcopy objdump; do
  ln -s "$(command -v mipsel-linux-gnu-$tool)" "$prefix$tool"
done

cmake -S "$src" -B "$work/build" --toolchain "$src/cmake/mipsel-musl-sf.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DFLASHMAC_WERROR=ON \
  -DFLASHMAC_CROSS_PREFIX="$prefix" -DFLASHMAC_SYSROOT="$sysroot" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
ctest --test-dir "$work/build" -E board --output-on-failure
