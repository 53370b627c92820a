#!/bin/bash
# SPDX-License-Identifier: MIT
# The label programs load libselinux and the C library, and nothing else: no C++
# runtime. The sanitizer build adds its own runtimes, which are allowed there.
#   linkage.sh PROGRAM...   (SANITIZE=ON in the environment for that build)
. "$CLAIM"

for program in "$@"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
    if [ "$SANITIZE" = ON ]; then
        needed=$(printf '%s\n' "$needed" | grep -Ev '^lib(asan|ubsan)\.so\.[0-9]+$')
    fi
    same "$(basename "$program") needs only libc and libselinux" $'libc.so.6\nlibselinux.so.1' "$needed"
done
finish
