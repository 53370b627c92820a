#!/bin/sh
# SPDX-License-Identifier: MIT
# The whole suite: a plain build (with the VM tests on Debian's kernel, and the builds
# and packages made as image builders and Debian make them), the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, cross builds for armhf (with its VM
# tests) and arm64 run under qemu-user, the black-box suites under valgrind's memcheck,
# and each fuzz target for FUZZ_SECONDS (60). The flash programs are also built alone
# with other build settings, and their suites run there. Needs what tools/deps.sh installs.
set -e
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
for variant in plain sanitize; do
    dir=build/test-$variant
    opt=OFF sample=1
    # Under the sanitizers every run is slower: every 15th scenario of the fault matrix, as
    # the other builds but the plain one take a sample of it.
    [ $variant = sanitize ] && opt=ON sample=15
    echo "== $variant build"
    # The tests, the VM tests and -Werror are off unless asked for. The VM tests of every
    # build share one cache of downloaded packages and the compiled policy
    # (tools/cross-test.sh uses it too); the sanitizer build has none.
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON \
        -DFIELDTOOLS_SANITIZE=$opt -DFIELDTOOLS_VM_TESTS=ON -DFIELDTOOLS_VM_CACHE="$PWD/build/vm-cache" \
        -DFIELDTOOLS_MATRIX_SAMPLE=$sample >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs")
done
# flash_alone DIR DEVICE SIZE TYPE: the flash programs alone, built with FACTORY_DEVICE=DEVICE
# and FACTORY_REGION_SIZE=SIZE and the build type TYPE (empty: none, as image builders give
# none; each -O level warns of other things) in build/DIR: their black-box suites, the
# simulator's claims and every 8th scenario of the fault matrix.
flash_alone() {
    echo "== flash programs with FACTORY_DEVICE=$2 FACTORY_REGION_SIZE=$3 CMAKE_BUILD_TYPE=$4"
    cmake -S . -B "build/$1" -DCMAKE_BUILD_TYPE="$4" -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON \
        -DFIELDTOOLS_LABEL=OFF -DFACTORY_DEVICE="$2" -DFACTORY_REGION_SIZE="$3" -DFIELDTOOLS_MATRIX_SAMPLE=8 >/dev/null
    cmake --build "build/$1" -j "$jobs"
    (cd "build/$1" && ctest --output-on-failure --no-tests=error -j "$jobs" \
        -R '^(cellshow|cellrw|hardening|bad_input|fault_matrix|sim)$')
}
# Another partition and region size; and a partition found by its name (with spaces, as
# nandsim names them) with a region that ends inside an erase block.
flash_alone test-mtd3 /dev/mtd3 0x40000 ""
flash_alone test-name "name:NAND simulator partition 7" 0x30000 MinSizeRel
tools/cross-test.sh armhf
tools/cross-test.sh arm64
tools/memcheck.sh
tools/fuzz.sh
