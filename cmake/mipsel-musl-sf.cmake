# Builds flashmac for Linux on MIPS32r2, little-endian, o32, soft-float,
# musl libc, with no C++ runtime on the device.
#
# By default it uses Debian's mipsel-linux-gnu cross compiler with a musl
# sysroot that scripts/make-sysroot.sh makes under .cache/. To use your own
# musl toolchain instead (a vendor SDK, Buildroot, Yocto), pass
#   -DFLASHMAC_CROSS_PREFIX=/path/to/bin/mipsel-openwrt-linux-musl-
# and optionally -DFLASHMAC_SYSROOT=/path/to/sysroot (used by the emulator
# that runs the tests).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(FLASHMAC_CROSS_PREFIX "" CACHE STRING "Prefix of your own musl cross toolchain")
set(FLASHMAC_SYSROOT "" CACHE PATH "Sysroot holding the target's musl")
set(FLASHMAC_STATIC OFF CACHE BOOL "Link the C library statically")
set(FLASHMAC_INTERP /lib/ld-musl-mipsel-sf.so.1)
# CMake's compiler checks read this file again in a scratch project.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     FLASHMAC_CROSS_PREFIX FLASHMAC_SYSROOT FLASHMAC_STATIC)

set(target_flags "-march=mips32r2 -mabi=32 -EL -msoft-float -mplt")
# No unwinding, exceptions or RTTI: nothing needs libstdc++ or libgcc_s.
set(size_flags "-fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fdata-sections -fno-pie -fno-stack-protector -fno-ident")
set(link_flags "-no-pie -Wl,--gc-sections -Wl,--build-id=none -Wl,-z,norelro -Wl,--hash-style=sysv -Wl,-O1 -Wl,--as-needed")
if(FLASHMAC_STATIC)
  string(APPEND link_flags " -static")
else()
  string(APPEND link_flags " -Wl,-dynamic-linker,${FLASHMAC_INTERP}")
endif()

if(FLASHMAC_CROSS_PREFIX)
  set(CMAKE_C_COMPILER ${FLASHMAC_CROSS_PREFIX}gcc)
  set(CMAKE_CXX_COMPILER ${FLASHMAC_CROSS_PREFIX}g++)
  set(startfiles "")
  set(endfiles "")
  if(FLASHMAC_SYSROOT)
    set(CMAKE_SYSROOT ${FLASHMAC_SYSROOT})
  endif()
else()
  set(cross mipsel-linux-gnu-)
  set(CMAKE_C_COMPILER ${cross}gcc)
  set(CMAKE_CXX_COMPILER ${cross}g++)
  get_filename_component(top ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
  if(NOT FLASHMAC_SYSROOT)
    set(FLASHMAC_SYSROOT ${top}/.cache/sysroot-mipsel-musl-sf CACHE PATH
        "Sysroot holding the target's musl" FORCE)
  endif()
  execute_process(COMMAND ${top}/scripts/make-sysroot.sh ${FLASHMAC_SYSROOT}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not make the musl sysroot in ${FLASHMAC_SYSROOT}")
  endif()

  # The compiler knows glibc; point it at musl's headers, keeping only the
  # header-only parts of libstdc++ and GCC's own headers.
  execute_process(COMMAND ${cross}g++ -xc++ -E -v /dev/null
                  OUTPUT_QUIET ERROR_VARIABLE search)
  string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" cxx_dirs "${search}")
  execute_process(COMMAND ${cross}gcc -print-file-name=include
                  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${cross}gcc -print-libgcc-file-name
                  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(includes "-nostdinc")
  foreach(d IN LISTS cxx_dirs)
    string(STRIP "${d}" d)
    string(APPEND includes " -isystem ${d}")
  endforeach()
  string(APPEND includes " -isystem ${FLASHMAC_SYSROOT}/usr/include -isystem ${gcc_include}")
  # libstdc++'s configuration asks glibc's version macro.
  string(APPEND includes " \"-D__GLIBC_PREREQ(a,b)=0\"")
  set(target_flags "${target_flags} ${includes}")

  # musl's start files and libc, nothing of glibc's or libstdc++'s: a
  # stray C++ runtime symbol fails this link.
  set(lib ${FLASHMAC_SYSROOT}/usr/lib)
  string(APPEND link_flags " -nostdlib -L${lib}")
  # Debian's libgcc is built hard-float; musl's printf pulls its double
  # helpers into a static link, where only %f-style conversions, which the
  # tool never uses, would reach them. Keep the link quiet about it.
  if(FLASHMAC_STATIC)
    string(APPEND link_flags " -Wl,--no-warn-mismatch")
  endif()
  set(startfiles "${lib}/crt1.o ${lib}/crti.o")
  set(endfiles "-lc ${libgcc} ${lib}/crtn.o")
endif()

set(CMAKE_C_FLAGS_INIT "${target_flags} ${size_flags}")
set(CMAKE_CXX_FLAGS_INIT "${target_flags} ${size_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
# Link through the C driver so that libstdc++ is never pulled in.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> ${startfiles} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${endfiles}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(QEMU_MIPSEL qemu-mipsel-static)
if(QEMU_MIPSEL)
  if(FLASHMAC_SYSROOT)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_MIPSEL} -L ${FLASHMAC_SYSROOT})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_MIPSEL})
  endif()
endif()
