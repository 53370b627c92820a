# Cross-building for 64-bit ARM Linux (AArch64), with Debian's cross compilers
# (g++-aarch64-linux-gnu) and the target's libraries installed through multiarch
# (libselinux1-dev:arm64):
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# A build system with a toolchain and a sysroot of its own uses its own toolchain file
# instead; nothing in the project depends on this one. Tests, when BUILD_TESTING is on, run
# through CMAKE_CROSSCOMPILING_EMULATOR: qemu-user by default, or whatever is given with
# -DCMAKE_CROSSCOMPILING_EMULATOR=... (an empty value runs them directly).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

# Debian multiarch keeps the target's libraries beside the build machine's, in
# /usr/lib/<triplet>, which the library architecture selects; with -DCMAKE_SYSROOT=DIR the
# target's libraries, headers and packages are looked for only there. Programs are always
# the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config: the triplet's own when there is one, else the plain one looking only at the
# target's directories, unless PKG_CONFIG_LIBDIR says where to look.
find_program(PKG_CONFIG_EXECUTABLE NAMES ${triplet}-pkg-config pkg-config)
if(NOT PKG_CONFIG_EXECUTABLE MATCHES "${triplet}-pkg-config$" AND NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/${triplet}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
  if(CMAKE_SYSROOT)
    set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  endif()
endif()

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
  if(QEMU_AARCH64)
    if(CMAKE_SYSROOT)
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64} -L ${CMAKE_SYSROOT})
    else()
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64} -L /usr/${triplet})
    endif()
  endif()
endif()
