# The part of the toolchain files that is the same for every Debian cross target. The file
# that includes this one sets CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR, `triplet` (the
# GNU triplet, e.g. arm-linux-gnueabihf) and `qemu_user` (the qemu-user program's name).

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
  find_program(QEMU_USER_${triplet} NAMES ${qemu_user} ${qemu_user}-static)
  if(QEMU_USER_${triplet})
    if(CMAKE_SYSROOT)
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_USER_${triplet}} -L ${CMAKE_SYSROOT})
    else()
      set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_USER_${triplet}} -L /usr/${triplet})
    endif()
  endif()
endif()
