#!/usr/bin/env bash
# Makes a musl soft-float toolchain for MIPS32r2 little-endian out of
# Debian's mipsel cross compiler, laid out like a vendor SDK:
#   DIR/usr/{include,lib}   musl, built from Debian's musl source package,
#                           plus the kernel's UAPI headers (mtd/mtd-user.h)
#   DIR/usr/lib/libsoftfp.a soft-float helpers from glibc's soft-fp (Debian's
#                           libgcc for mipsel is hard-float)
#   DIR/usr/lib/libgcc.a    Debian's libgcc without the members that use the
#                           FPU: the integer helpers (64-bit division ...)
#   DIR/bin/mipsel-linux-musl-{gcc,g++,strip,...}
#                           drivers that compile and link against them
# usage: make-sysroot.sh DIR   (does nothing when DIR is complete)
set -euo pipefail

# Bumped whenever what this script makes changes, so old caches are redone.
stamp="musl-sf 2"
root=$(realpath -m "$1")
[ "$(cat "$root/.complete" 2>/dev/null)" = "$stamp" ] && exit 0
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib/debian.sh"

cross=mipsel-linux-gnu
command -v $cross-gcc >/dev/null || "$here/setup.sh" device
target_flags="-march=mips32r2 -mabi=32 -EL -msoft-float"
libgcc=$($cross-gcc -print-libgcc-file-name)

work=$root.work
rm -rf "$root" "$work"
mkdir -p "$work/src" "$root/usr/lib" "$root/bin"

echo "sysroot: fetching musl and glibc sources" >&2
line="deb-src [signed-by=$debian_keyring] $(debian_mirror) bookworm main"
debian_apt "$work/apt" amd64 "$line" apt-get update >/dev/null
(cd "$work/src" &&
  debian_apt "$work/apt" amd64 "$line" apt-get source --download-only musl glibc >/dev/null)

# Soft-float helpers: glibc's soft-fp with its MIPS32 machine description.
tar -xf "$(debian_orig "$work/src" glibc)" -C "$work/src" --wildcards '*/soft-fp/*' \
  '*/sysdeps/mips/mips32/sfp-machine.h' '*/stdlib/longlong.h'
glibc=$(find "$work/src" -maxdepth 1 -type d -name 'glibc-*' | head -n 1)
sfp=$work/softfp
mkdir -p "$sfp"
cp "$glibc/sysdeps/mips/mips32/sfp-machine.h" "$sfp/mips32-sfp-machine.h"
cp "$glibc/stdlib/longlong.h" "$sfp/"
cat >"$sfp/sfp-machine.h" <<'H'
/* What glibc's own build gives soft-fp besides the machine description. */
#define __LITTLE_ENDIAN 1234
#define __BIG_ENDIAN 4321
#define __BYTE_ORDER __LITTLE_ENDIAN
#include "mips32-sfp-machine.h"
#define strong_alias(name, aliasname) \
  extern __typeof(name) aliasname __attribute__((alias(#name)));
H
echo "sysroot: building soft-float helpers from $(basename "$glibc")" >&2
for f in adddf3 subdf3 muldf3 divdf3 negdf2 eqdf2 gedf2 ledf2 unorddf2 \
  fixdfsi fixunsdfsi fixdfdi fixunsdfdi floatsidf floatunsidf floatdidf \
  floatundidf addsf3 subsf3 mulsf3 divsf3 negsf2 eqsf2 gesf2 lesf2 unordsf2 \
  fixsfsi fixunssfsi fixsfdi fixunssfdi floatsisf floatunsisf floatdisf \
  floatundisf extendsfdf2 truncdfsf2; do
  $cross-gcc $target_flags -Os -ffunction-sections -I"$sfp" -I"$glibc/soft-fp" \
    -c "$glibc/soft-fp/$f.c" -o "$sfp/$f.o"
done
softfp=$root/usr/lib/libsoftfp.a
$cross-ar rcs "$softfp" "$sfp"/*.o

# libgcc's integer helpers use no FPU register but are labelled hard-float,
# which the linker rightly warns about in a soft-float link. Keep only the
# members free of FPU instructions, with the label taken off; a program
# that would still need a floating-point one then fails to link.
mkdir -p "$work/libgcc"
(
  cd "$work/libgcc"
  $cross-ar x "$libgcc"
  for o in *.o; do
    # An FPU register operand, or a branch on or move of the FPU's state.
    if $cross-objdump -d "$o" | grep -qE '\$f[0-9]|\b(bc1[ft]l?|cfc1|ctc1)\b'; then
      rm "$o"
    else
      $cross-objcopy -R .gnu.attributes -R .MIPS.abiflags "$o"
    fi
  done
  $cross-ar rcs "$root/usr/lib/libgcc.a" *.o
)
libgcc=$root/usr/lib/libgcc.a

# Complex arithmetic inline (-fcx-fortran-rules): its libgcc helpers are
# among the FPU members left out, and only musl's cpow uses them.
tar -xf "$(debian_orig "$work/src" musl)" -C "$work/src"
src=$(find "$work/src" -maxdepth 1 -type d -name 'musl-*' | head -n 1)
echo "sysroot: building $(basename "$src") soft-float for mipsel" >&2
mkdir -p "$work/build"
(
  cd "$work/build"
  "$src/configure" --target=mipsel-linux-musl --prefix=/usr --syslibdir=/lib \
    CC=$cross-gcc AR=$cross-ar RANLIB=$cross-ranlib \
    CFLAGS="$target_flags -Os -fcx-fortran-rules" LIBCC="$softfp $libgcc" >/dev/null
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

# The drivers: Debian's compiler with musl's headers, start files and libc,
# and the soft-float helpers ahead of libgcc, as a musl SDK's compiler has
# them by default. libstdc++ contributes its header-only parts; there is no
# C++ runtime for musl here, so C++ must be linked through gcc.
cxx_inc=$($cross-g++ -xc++ -E -v /dev/null 2>&1 |
  sed -n 's|^ \(.*/c++/.*\)|-isystem \1|p' | tr '\n' ' ')
gcc_inc=$($cross-gcc -print-file-name=include)
for tool in gcc g++; do
  inc="-nostdinc -isystem \$root/usr/include -isystem $gcc_inc"
  # libstdc++'s configuration asks glibc's version macro.
  [ $tool = g++ ] && inc="$cxx_inc $inc '-D__GLIBC_PREREQ(a,b)=0'"
  cat >"$root/bin/mipsel-linux-musl-$tool" <<DRIVER
#!/bin/sh
# Made by flashmac's scripts/make-sysroot.sh: a musl soft-float $tool.
root=\$(cd "\$(dirname "\$0")/.." && pwd)
lib=\$root/usr/lib
link=1 start=1 libs=1 static=0
for a in "\$@"; do
  case "\$a" in
    -c|-E|-S|-M|-MM) link=0 ;;
    -nostdlib) start=0 libs=0 ;;
    -nostartfiles) start=0 ;;
    -nodefaultlibs) libs=0 ;;
    -static) static=1 ;;
  esac
done
set -- $target_flags $inc "\$@"
[ \$link = 1 ] || exec $cross-$tool "\$@"
[ \$start = 1 ] && set -- "\$lib/crt1.o" "\$lib/crti.o" "\$@"
[ \$static = 1 ] || set -- -Wl,-dynamic-linker,/lib/ld-musl-mipsel-sf.so.1 "\$@"
[ \$libs = 1 ] && set -- "\$@" -L"\$lib" -lc "\$lib/libsoftfp.a" "\$lib/libgcc.a"
[ \$start = 1 ] && set -- "\$@" "\$lib/crtn.o"
exec $cross-gcc -nostdlib "\$@"
DRIVER
  chmod +x "$root/bin/mipsel-linux-musl-$tool"
done
for tool in ar ranlib nm objcopy objdump readelf strip; do
  ln -sf "$(command -v $cross-$tool)" "$root/bin/mipsel-linux-musl-$tool"
done

rm -rf "$work"
echo "$stamp" >"$root/.complete"
echo "sysroot: ready in $root" >&2
