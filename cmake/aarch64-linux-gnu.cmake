# SPDX-License-Identifier: MIT
# Cross-building for 64-bit ARM Linux (AArch64), with Debian's cross compilers
# (g++-aarch64-linux-gnu) and the target's libraries installed through multiarch
# (libselinux1-dev:arm64):
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Another compiler comes from -DCMAKE_C_COMPILER and -DCMAKE_CXX_COMPILER or from CC and
# CXX (clang is told the target), and -DCMAKE_SYSROOT=DIR takes the target's libraries
# from DIR alone, laid out as multiarch or as Buildroot and Yocto lay out theirs. A build
# system with a toolchain and a sysroot of its own uses its own toolchain file instead;
# nothing in the project depends on this one. Tests, when BUILD_TESTING is on, run
# through CMAKE_CROSSCOMPILING_EMULATOR: qemu-user by default, or whatever is given with
# -DCMAKE_CROSSCOMPILING_EMULATOR=... (an empty value runs them directly).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)
set(qemu_user qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
