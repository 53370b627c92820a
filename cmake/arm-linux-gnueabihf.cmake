# SPDX-License-Identifier: MIT
# Cross-building for 32-bit ARM Linux with hard float (ARMv7), with Debian's cross compilers
# (g++-arm-linux-gnueabihf) and the target's libraries installed through multiarch
# (libselinux1-dev:armhf):
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Another compiler comes from -DCMAKE_C_COMPILER and -DCMAKE_CXX_COMPILER or from CC and
# CXX (clang is told the target), and -DCMAKE_SYSROOT=DIR takes the target's libraries
# from DIR alone, laid out as multiarch or as Buildroot and Yocto lay out theirs. A build
# system with a toolchain and a sysroot of its own uses its own toolchain file instead;
# nothing in the project depends on this one. Tests, when BUILD_TESTING is on, run
# through CMAKE_CROSSCOMPILING_EMULATOR: qemu-user by default, or whatever is given with
# -DCMAKE_CROSSCOMPILING_EMULATOR=... (an empty value runs them directly).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triplet arm-linux-gnueabihf)
set(qemu_user qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
