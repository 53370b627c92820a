#!/bin/bash
# SPDX-License-Identifier: MIT
# The programs ask for nothing of the C++ runtime or the math library, whatever the
# compiler and the caller's flags: libstdc++, libgcc_s and libm are never NEEDED, and
# the C library and each library given with --needs are. What else a build adds is
# allowed: the dynamic loader that a hardened armhf or arm64 build names, and a
# sanitizer's runtime.
#   linkage.sh [--needs LIBRARY]... PROGRAM...   (e.g. --needs libselinux.so.1)
. "$CLAIM"

required=(libc.so.6)
while [ "$1" = --needs ]; do
    required+=("$2")
    shift 2
done
for program in "$@"; do
    name=$(basename "$program")
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    same "$name asks for no libstdc++, libgcc_s or libm" "" \
        "$(printf '%s\n' "$needed" | grep -E '^lib(stdc\+\+|gcc_s|m)\.so')"
    for library in "${required[@]}"; do
        same "$name asks for $library" "$library" "$(printf '%s\n' "$needed" | grep -xF -- "$library")"
    done
done
finish
