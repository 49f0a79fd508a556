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
stamp="musl-sf 5"
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

# GCC's own start and end files for position-independent links, as a GCC
# toolchain links them: their .init_array/.fini_array entries and DSO
# handle are what RELRO protects in a PIE. They hold no FPU instruction;
# their hard-float label goes like libgcc's.
for f in crtbeginS.o crtendS.o; do
  o=$($cross-gcc -print-file-name=$f)
  if $cross-objdump -d "$o" | grep -qE '\$f[0-9]|\b(bc1[ft]l?|cfc1|ctc1)\b'; then
    echo "$o uses the FPU" >&2
    exit 1
  fi
  $cross-objcopy -R .gnu.attributes -R .MIPS.abiflags "$o" "$root/usr/lib/$f"
done

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

# libstdc++'s header-only parts, inside the sysroot like a musl SDK's.
cp -r "/usr/$cross/include/c++" "$root/usr/include/"
cxx=$($cross-gcc -dumpversion)

# The drivers: Debian's compiler with musl's headers, start files and libc,
# and the soft-float helpers ahead of libgcc, as a musl SDK's compiler has
# them by default. Relocatable, as firmware build systems expect of an
# external toolchain: the sysroot is the folder they lie in unless
# --sysroot names another (a copy in a staging folder). Links are PIE
# unless -no-pie or -static, as with Debian's compiler. There is no C++
# runtime for musl here, so C++ is linked through gcc.
for tool in gcc g++; do
  inc="-nostdinc -isystem \$sys/usr/include -isystem $($cross-gcc -print-file-name=include)"
  # libstdc++'s configuration asks glibc's version macro.
  [ $tool = g++ ] && inc="-isystem \$sys/usr/include/c++/$cxx \
  -isystem \$sys/usr/include/c++/$cxx/$cross -isystem \$sys/usr/include/c++/$cxx/backward \
  $inc '-D__GLIBC_PREREQ(a,b)=0'"
  cat >"$root/bin/mipsel-linux-musl-$tool" <<DRIVER
#!/bin/sh
# Made by flashmac's scripts/make-sysroot.sh: a musl soft-float $tool.
sys=\$(cd "\$(dirname "\$0")/.." && pwd)
if [ "\$*" = -v ]; then
  # Its own sysroot, where the compiler it drives names the host's.
  $cross-$tool -v 2>&1 | sed "s| --with-sysroot=/ | --with-sysroot=\$sys |" >&2
  exit 0
fi
link=1 start=1 libs=1 static=0 shared=0 pie=1 next=""
for a in "\$@"; do
  if [ -n "\$next" ]; then sys=\$a next=""; continue; fi
  case "\$a" in
    -c|-E|-S|-M|-MM) link=0 ;;
    -nostdlib) start=0 libs=0 ;;
    -nostartfiles) start=0 ;;
    -nodefaultlibs) libs=0 ;;
    -static) static=1 pie=0 ;;
    -shared) shared=1 ;;
    -pie) pie=1 ;;
    -no-pie) pie=0 ;;
    --sysroot=*) sys=\${a#--sysroot=} ;;
    --sysroot) next=1 ;;
    -fopenmp) echo "$tool: no OpenMP runtime for musl here" >&2; exit 1 ;;
  esac
done
lib=\$sys/usr/lib
# -B: -print-file-name finds the sysroot's libraries first.
set -- $target_flags $inc -B"\$lib/" "\$@"
[ \$link = 1 ] || exec $cross-$tool "\$@"
# A fixed-address or static link (the project's small builds) does without
# crtbegin/crtend: musl runs the init and fini arrays itself.
crt1=crt1.o begin="" end=""
[ \$pie = 1 ] && crt1=Scrt1.o begin=crtbeginS.o end=crtendS.o
[ \$shared = 1 ] && crt1="" begin=crtbeginS.o end=crtendS.o
[ \$start = 1 ] && set -- \${crt1:+"\$lib/\$crt1"} "\$lib/crti.o" \${begin:+"\$lib/\$begin"} "\$@"
[ \$static = 1 ] || [ \$shared = 1 ] ||
  set -- -Wl,-dynamic-linker,/lib/ld-musl-mipsel-sf.so.1 "\$@"
# -x none: a language given for the inputs (-x c -) ends before these.
[ \$libs = 1 ] && set -- "\$@" -x none -L"\$lib" -lc "\$lib/libsoftfp.a" "\$lib/libgcc.a"
[ \$start = 1 ] && set -- "\$@" -x none \${end:+"\$lib/\$end"} "\$lib/crtn.o"
exec $cross-gcc -nostdlib "\$@"
DRIVER
  chmod +x "$root/bin/mipsel-linux-musl-$tool"
done
for tool in ar as ld ranlib nm objcopy objdump readelf strip size strings; do
  ln -sf "$(command -v $cross-$tool)" "$root/bin/mipsel-linux-musl-$tool"
done

rm -rf "$work"
echo "$stamp" >"$root/.complete"
echo "sysroot: ready in $root" >&2
