#!/bin/bash
# SPDX-License-Identifier: MIT
# The programs ask for nothing of the C++ runtime or the math library, whatever the
# compiler: libstdc++, libgcc_s and libm are never NEEDED, and the C library is. What else
# a build adds is allowed: the dynamic loader that armhf's stack protector names, a
# sanitizer's runtime, and libselinux for the label programs.
#   linkage.sh PROGRAM...
. "$CLAIM"

for program in "$@"; do
    name=$(basename "$program")
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    same "$name asks for no libstdc++, libgcc_s or libm" "" \
        "$(printf '%s\n' "$needed" | grep -E '^lib(stdc\+\+|gcc_s|m)\.so')"
    same "$name asks for the C library" "libc.so.6" "$(printf '%s\n' "$needed" | grep -x 'libc\.so\.6')"
done
finish
