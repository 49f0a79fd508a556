# The device: Linux on MIPS32r2, little-endian, o32, soft-float, musl libc.
# This file picks the target, the compiler and the sysroot, nothing else;
# what flashmac itself needs from the build (no C++ runtime, small) is in
# CMakeLists.txt and holds under any toolchain file.
#
# By default the compiler is the musl toolchain that scripts/make-sysroot.sh
# makes under .cache/ from Debian's cross compiler. Another musl toolchain
# (a vendor SDK) can be named by its prefix:
#   -DFLASHMAC_CROSS_PREFIX=/path/to/bin/mipsel-openwrt-linux-musl-
# with -DFLASHMAC_SYSROOT=/path/to/sysroot for the emulator that runs tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(FLASHMAC_CROSS_PREFIX "" CACHE STRING "Prefix of your own musl cross toolchain")
set(FLASHMAC_SYSROOT "" CACHE PATH "Sysroot holding the target's musl")
# CMake's compiler checks read this file again in a scratch project.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLASHMAC_CROSS_PREFIX FLASHMAC_SYSROOT)

set(prefix "${FLASHMAC_CROSS_PREFIX}")
if(NOT prefix)
  get_filename_component(top ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
  if(NOT FLASHMAC_SYSROOT)
    set(FLASHMAC_SYSROOT ${top}/.cache/sysroot-mipsel-musl-sf CACHE PATH
        "Sysroot holding the target's musl" FORCE)
  endif()
  execute_process(COMMAND ${top}/scripts/make-sysroot.sh ${FLASHMAC_SYSROOT}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not make the musl toolchain in ${FLASHMAC_SYSROOT}")
  endif()
  set(prefix ${FLASHMAC_SYSROOT}/bin/mipsel-linux-musl-)
endif()
set(CMAKE_C_COMPILER ${prefix}gcc)
set(CMAKE_CXX_COMPILER ${prefix}g++)
if(FLASHMAC_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH ${FLASHMAC_SYSROOT})
endif()

set(target_flags "-march=mips32r2 -mabi=32 -EL -msoft-float")
set(CMAKE_C_FLAGS_INIT "${target_flags}")
set(CMAKE_CXX_FLAGS_INIT "${target_flags}")

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
