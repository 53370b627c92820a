#!/bin/sh
# SPDX-License-Identifier: MIT
# The whole suite: a plain build (with the VM tests on Debian's kernel, and the builds
# and packages made as image builders and Debian make them), the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, cross builds for armhf (with its VM
# tests) and arm64 run under qemu-user, the black-box suites under valgrind's memcheck,
# and each fuzz target for FUZZ_SECONDS (60). Needs what tools/deps.sh installs.
set -e
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
for variant in plain sanitize; do
    dir=build/test-$variant
    opt=OFF
    [ $variant = sanitize ] && opt=ON
    echo "== $variant build"
    # The tests, the VM tests and -Werror are off unless asked for. The VM tests of every
    # build share one cache of downloaded packages and the compiled policy
    # (tools/cross-test.sh uses it too); the sanitizer build has none.
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON \
        -DFIELDTOOLS_SANITIZE=$opt -DFIELDTOOLS_VM_TESTS=ON -DFIELDTOOLS_VM_CACHE="$PWD/build/vm-cache" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs")
done
tools/cross-test.sh armhf
tools/cross-test.sh arm64
tools/memcheck.sh
tools/fuzz.sh
