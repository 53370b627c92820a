# Cross-building for 32-bit ARM Linux with hard float (ARMv7), with Debian's cross compilers
# (g++-arm-linux-gnueabihf) and the target's libraries installed through multiarch
# (libselinux1-dev:armhf):
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# A build system with a toolchain and a sysroot of its own uses its own toolchain file
# instead; nothing in the project depends on this one. Tests, when BUILD_TESTING is on, run
# through CMAKE_CROSSCOMPILING_EMULATOR: qemu-user by default, or whatever is given with
# -DCMAKE_CROSSCOMPILING_EMULATOR=... (an empty value runs them directly).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triplet arm-linux-gnueabihf)

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
  find_program(QEMU_ARM NAMES qemu-arm qemu-arm-static)
  if(QEMU_ARM)
    if(CMAKE_SYSROOT)
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM} -L ${CMAKE_SYSROOT})
    else()
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM} -L /usr/${triplet})
    endif()
  endif()
endif()
