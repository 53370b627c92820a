#!/bin/bash
# SPDX-License-Identifier: MIT
# sysroot.sh ARCH DIR: a sysroot for the Debian architecture ARCH laid out the way
# Buildroot and Yocto lay out theirs (libraries in lib and usr/lib, headers in
# usr/include, pkg-config files in usr/lib/pkgconfig), made from the target's packages
# installed here through multiarch: the C library, the kernel headers, and libselinux
# with what it needs at link time.
set -euo pipefail
arch=$1 dir=$2
triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
packages="libc6 libc6-dev linux-libc-dev libselinux1 libselinux1-dev libsepol2 libsepol-dev
          libpcre2-8-0 libpcre2-dev"
mkdir -p "$dir"
for package in $packages; do
    dpkg -L "$package:$arch" || { echo "sysroot: $package:$arch is not installed (tools/deps.sh)" >&2; exit 1; }
done | sort -u | while read -r path; do
    case $path in
    */gconv/*) ;;
    /lib/* | /usr/lib/* | /usr/include/*) [ -f "$path" ] && echo "${path#/}" ;;
    esac
done >"$dir/.files"
# The multiarch directory folds into its parent; links become the files they name.
tar -C / -cf - --dereference -T "$dir/.files" | tar -xf - -C "$dir" --transform "s#/$triplet/#/#"
rm "$dir/.files"
# Linker scripts and pkg-config files name the multiarch directories too.
for file in "$dir"/usr/lib/*.so "$dir"/usr/lib/pkgconfig/*.pc; do
    if [ "${file%.pc}" != "$file" ] || grep -qs 'GROUP' "$file"; then
        sed -i "s#/$triplet\\b##g" "$file"
    fi
done
