#!/bin/bash
# SPDX-License-Identifier: MIT
# Fill the cache that boot.sh boots from: Debian's kernel package unpacked with its
# module index, or an MLS binary policy compiled from Debian's policy modules. Nothing
# is installed on the host. A second run reuses what the cache holds, and goes without
# the package lists when the cache already has the packages.
#
#   prepare.sh CACHE kernel [amd64|armhf]
#   prepare.sh CACHE policy
#   prepare.sh CACHE bench armhf
#
# CACHE/debs          the downloaded packages
# CACHE/kernel        the amd64 kernel package unpacked, with lib/modules/RELEASE/modules.dep
# CACHE/armhf/kernel  the same for the armhf guest: Debian's armmp kernel
# CACHE/armhf/busybox busybox-static for armhf unpacked (the host's busybox serves amd64)
# CACHE/policy        the policy package unpacked (src) and the root it was compiled into;
#                     a binary policy serves both architectures
# CACHE/armhf/coreutils, CACHE/armhf/mtd-utils
#                     coreutils and mtd-utils for armhf unpacked, for the benchmark's armhf
#                     guest (bench/run.sh), where dd, flash_erase and nandwrite run beside
#                     the programs (the host's serve the amd64 guest)
set -euo pipefail
cache=$1 what=$2 arch=${3:-amd64}
mkdir -p "$cache/debs"

fail() {
    printf 'vm-prepare: %s\n' "$*" >&2
    exit 1
}

# fetch PACKAGE[:ARCH]: print the path of PACKAGE's .deb in the cache, downloading the
# version that apt would install when the cache lacks it. ARCH names a foreign
# architecture that dpkg knows (tools/deps.sh adds armhf).
fetch() {
    local package=$1 name=${1%%:*} suffix='*' version file
    [ "$name" = "$package" ] || suffix=${package#*:}
    version=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        file=$(ls -t "$cache/debs/${name}"_*_$suffix.deb 2>/dev/null | head -n 1)
        [ -n "$file" ] || fail "apt knows no $package and the cache has none: run tools/deps.sh"
        printf '%s\n' "$file"
        return
    fi
    file=$(ls "$cache/debs/${name}_${version/:/%3a}"_$suffix.deb 2>/dev/null | head -n 1)
    if [ -z "$file" ]; then
        echo "vm-prepare: downloading $package $version" >&2
        (cd "$cache/debs" && apt-get download -q -o APT::Sandbox::User=root "$package=$version" >&2) ||
            fail "could not download $package"
        file=$(ls "$cache/debs/${name}_${version/:/%3a}"_$suffix.deb 2>/dev/null | head -n 1)
        [ -n "$file" ] || fail "apt-get download left no $package package"
    fi
    printf '%s\n' "$file"
}

# fresh DIR DEB: true when DIR was made from DEB by an earlier run.
fresh() {
    [ "$(cat "$1/.from" 2>/dev/null)" = "${2##*/}" ]
}

# unpack DEB DIR: DIR holds DEB's files, unpacked afresh unless an earlier run made it
# from the same package.
unpack() {
    fresh "$2" "$1" && return
    echo "vm-prepare: unpacking ${1##*/}"
    rm -rf "$2" "$2.new"
    mkdir -p "${2%/*}"
    dpkg-deb -x "$1" "$2.new"
    printf '%s\n' "${1##*/}" >"$2.new/.from"
    mv "$2.new" "$2"
}

# The kernel: the package that Debian's kernel meta package for ARCH stands for,
# unpacked with its module index into DIR.
prepare_kernel() {
    local meta=$1 dir=$2 suffix=$3 kernel_package kernel_deb release
    kernel_package=$(apt-cache depends "$meta" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    if [ -z "$kernel_package" ]; then
        kernel_package=$(ls -t "$cache"/debs/linux-image-*_"$suffix".deb 2>/dev/null | head -n 1)
        kernel_package=${kernel_package##*/}
        kernel_package=${kernel_package%%_*}
        [ -n "$kernel_package" ] || fail "apt does not know $meta: run tools/deps.sh"
        [ "$suffix" = amd64 ] || kernel_package=$kernel_package:$suffix
    fi
    kernel_deb=$(fetch "$kernel_package")
    if ! fresh "$dir" "$kernel_deb"; then
        echo "vm-prepare: unpacking ${kernel_deb##*/}"
        rm -rf "$dir" "$dir.new"
        mkdir -p "${dir%/*}"
        dpkg-deb -x "$kernel_deb" "$dir.new"
        release=$(ls "$dir.new/lib/modules")
        depmod -b "$dir.new" "$release"
        printf '%s\n' "${kernel_deb##*/}" >"$dir.new/.from"
        mv "$dir.new" "$dir"
    fi
    echo "vm-prepare: kernel $(ls "$dir/lib/modules") from ${kernel_deb##*/}"
}

# The MLS policy, built as the package's own install step builds it: every module it
# ships, at the same priority, with those it leaves disabled by default disabled.
prepare_policy() {
    local policy_deb new modules priority module args
    policy_deb=$(fetch selinux-policy-mls)
    if ! fresh "$cache/policy" "$policy_deb"; then
        echo "vm-prepare: compiling the MLS policy from ${policy_deb##*/}"
        command -v semodule >/dev/null || fail "semodule is missing (tools/deps.sh installs policycoreutils)"
        new=$cache/policy.new
        rm -rf "$cache/policy" "$new"
        mkdir -p "$new"
        dpkg-deb -x "$policy_deb" "$new/src"
        dpkg-deb -e "$policy_deb" "$new/control"
        mkdir -p "$new/root"
        cp -a "$new/src/etc" "$new/src/var" "$new/root/"
        modules=$new/src/usr/share/selinux/mls
        priority=$(sed -n 's/^priority=\([0-9]*\)$/\1/p' "$new/control/postinst")
        args=()
        for module in $(cat "$modules/.modules"); do
            args+=("-i" "$modules/$module.pp.bz2")
        done
        for module in $(sed -n 's/^notdefault="\(.*\)"$/\1/p' "$new/control/postinst"); do
            args+=("-d" "$module")
        done
        semodule -p "$new/root" -s mls -X "${priority:-100}" -n "${args[@]}" 2>"$new/semodule.log" || {
            cat "$new/semodule.log" >&2
            fail "semodule could not build the MLS policy"
        }
        ls "$new"/root/etc/selinux/mls/policy/policy.* >/dev/null 2>&1 || fail "semodule left no binary policy"
        printf '%s\n' "${policy_deb##*/}" >"$new/.from"
        mv "$new" "$cache/policy"
    fi
    echo "vm-prepare: policy $(ls "$cache"/policy/root/etc/selinux/mls/policy/) from ${policy_deb##*/}"
}

case $what:$arch in
kernel:amd64) prepare_kernel linux-image-amd64 "$cache/kernel" amd64 ;;
kernel:armhf)
    # armhf's generic kernel for ARMv7 boards, QEMU's virt machine among them; busybox
    # unpacked, since installing it would replace the host's.
    dpkg --print-foreign-architectures | grep -x armhf >/dev/null || fail "dpkg does not know armhf: run tools/deps.sh"
    prepare_kernel linux-image-armmp:armhf "$cache/armhf/kernel" armhf
    busybox_deb=$(fetch busybox-static:armhf)
    unpack "$busybox_deb" "$cache/armhf/busybox"
    ;;
policy:amd64) prepare_policy ;;
bench:armhf)
    dpkg --print-foreign-architectures | grep -x armhf >/dev/null || fail "dpkg does not know armhf: run tools/deps.sh"
    coreutils_deb=$(fetch coreutils:armhf)
    unpack "$coreutils_deb" "$cache/armhf/coreutils"
    mtd_deb=$(fetch mtd-utils:armhf)
    unpack "$mtd_deb" "$cache/armhf/mtd-utils"
    ;;
*) fail "prepare.sh CACHE kernel [amd64|armhf], prepare.sh CACHE policy, or prepare.sh CACHE bench armhf" ;;
esac
