# SPDX-License-Identifier: MIT
# The part of the toolchain files that is the same for every Debian cross target. The file
# that includes this one sets CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR, `triplet` (the
# GNU triplet, e.g. arm-linux-gnueabihf) and `qemu_user` (the qemu-user program's name).

# Debian's cross compilers, unless the caller chose others (-DCMAKE_C_COMPILER and
# -DCMAKE_CXX_COMPILER, or CC and CXX); clang is told the target, gcc ignores it.
if(NOT DEFINED CMAKE_C_COMPILER AND NOT DEFINED ENV{CC})
  set(CMAKE_C_COMPILER ${triplet}-gcc)
endif()
if(NOT DEFINED CMAKE_CXX_COMPILER AND NOT DEFINED ENV{CXX})
  set(CMAKE_CXX_COMPILER ${triplet}-g++)
endif()
set(CMAKE_C_COMPILER_TARGET ${triplet})
set(CMAKE_CXX_COMPILER_TARGET ${triplet})
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

# Debian multiarch keeps the target's libraries beside the build machine's, in
# /usr/lib/<triplet>, which the library architecture selects; with -DCMAKE_SYSROOT=DIR the
# target's libraries, headers and packages are looked for only there, in that layout or
# in the plain one of Buildroot's and Yocto's sysroots (usr/lib). Programs are always the
# build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config: the triplet's own when there is one and no sysroot is given, else the plain
# one looking only at the target's directories, unless PKG_CONFIG_LIBDIR says where to look.
if(CMAKE_SYSROOT)
  find_program(PKG_CONFIG_EXECUTABLE NAMES pkg-config)
else()
  find_program(PKG_CONFIG_EXECUTABLE NAMES ${triplet}-pkg-config pkg-config)
endif()
if(NOT PKG_CONFIG_EXECUTABLE MATCHES "${triplet}-pkg-config$" AND NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  if(CMAKE_SYSROOT)
    set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/${triplet}/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
    set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  else()
    set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig")
  endif()
endif()

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(QEMU_USER_${triplet} NAMES ${qemu_user} ${qemu_user}-static)
  if(QEMU_USER_${triplet})
    if(CMAKE_SYSROOT)
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_USER_${triplet}} -L ${CMAKE_SYSROOT})
    else()
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_USER_${triplet}} -L /usr/${triplet})
    endif()
  endif()
endif()
