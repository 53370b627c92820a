#!/bin/sh
# SPDX-License-Identifier: MIT
# tools/cross-test.sh armhf|arm64: cross-build everything for that architecture with the
# toolchain file in cmake/, then run the whole suite under qemu-user, the simulator and the
# libselinux stand-ins cross-built too and preloaded inside the emulated programs. For
# armhf that includes the VM suites on an armhf guest (tests/vm). Needs what tools/deps.sh
# installs.
set -e
cd "$(dirname "$0")/.."
case ${1:-} in
    armhf) triplet=arm-linux-gnueabihf ;;
    arm64) triplet=aarch64-linux-gnu ;;
    *) echo "usage: tools/cross-test.sh armhf|arm64" >&2; exit 2 ;;
esac
dir=build/cross-$1
jobs=$(nproc 2>/dev/null || echo 2)
echo "== $1 build ($triplet)"
# armhf has a VM guest, arm64 none; CROSS_VM_TESTS=OFF leaves the armhf guest out.
vm=OFF
[ "$1" = armhf ] && vm=${CROSS_VM_TESTS:-ON}
# Every program runs emulated: every 40th scenario of the fault matrix, some 20 seconds.
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$triplet.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON -DFIELDTOOLS_VM_TESTS=$vm \
    -DFIELDTOOLS_VM_CACHE="${FIELDTOOLS_VM_CACHE:-$PWD/build/vm-cache}" -DFIELDTOOLS_MATRIX_SAMPLE=40 >/dev/null
cmake --build "$dir" -j "$jobs"
(cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs")
