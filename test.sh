#!/bin/sh
# Build and run the whole suite twice: a plain build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
for variant in plain sanitize; do
    dir=build/test-$variant
    opt=OFF
    [ $variant = sanitize ] && opt=ON
    echo "== $variant build"
    cmake -S . -B "$dir" -DFIELDTOOLS_SANITIZE=$opt >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
