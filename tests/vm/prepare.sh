#!/bin/bash
# Fill the cache that boot.sh boots from: Debian's kernel package unpacked with its
# module index, or an MLS binary policy compiled from Debian's policy modules. Nothing
# is installed on the host. A second run reuses what the cache holds, and goes without
# the package lists when the cache already has the packages.
#
#   prepare.sh CACHE kernel|policy
#
# CACHE/debs      the downloaded packages
# CACHE/kernel    the kernel package unpacked, with lib/modules/RELEASE/modules.dep
# CACHE/policy    the policy package unpacked (src) and the root it was compiled into
set -euo pipefail
cache=$1 what=$2
mkdir -p "$cache/debs"

fail() {
    printf 'vm-prepare: %s\n' "$*" >&2
    exit 1
}

# fetch PACKAGE: print the path of PACKAGE's .deb in the cache, downloading the version
# that apt would install when the cache lacks it.
fetch() {
    local package=$1 version file
    version=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        file=$(ls -t "$cache/debs/${package}"_*.deb 2>/dev/null | head -n 1)
        [ -n "$file" ] || fail "apt knows no $package and the cache has none: run tools/deps.sh"
        printf '%s\n' "$file"
        return
    fi
    file=$(ls "$cache/debs/${package}_${version/:/%3a}"_*.deb 2>/dev/null | head -n 1)
    if [ -z "$file" ]; then
        echo "vm-prepare: downloading $package $version" >&2
        (cd "$cache/debs" && apt-get download -q -o APT::Sandbox::User=root "$package=$version" >&2) ||
            fail "could not download $package"
        file=$(ls "$cache/debs/${package}_${version/:/%3a}"_*.deb 2>/dev/null | head -n 1)
        [ -n "$file" ] || fail "apt-get download left no $package package"
    fi
    printf '%s\n' "$file"
}

# fresh DIR DEB: true when DIR was made from DEB by an earlier run.
fresh() {
    [ "$(cat "$1/.from" 2>/dev/null)" = "${2##*/}" ]
}

# The kernel: the package that linux-image-amd64 stands for, unpacked with its module index.
prepare_kernel() {
    local kernel_package kernel_deb release
    kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    if [ -z "$kernel_package" ]; then
        kernel_package=$(ls -t "$cache"/debs/linux-image-*.deb 2>/dev/null | head -n 1)
        kernel_package=${kernel_package##*/}
        kernel_package=${kernel_package%%_*}
        [ -n "$kernel_package" ] || fail "apt does not know linux-image-amd64: run tools/deps.sh"
    fi
    kernel_deb=$(fetch "$kernel_package")
    if ! fresh "$cache/kernel" "$kernel_deb"; then
        echo "vm-prepare: unpacking ${kernel_deb##*/}"
        rm -rf "$cache/kernel" "$cache/kernel.new"
        dpkg-deb -x "$kernel_deb" "$cache/kernel.new"
        release=$(ls "$cache/kernel.new/lib/modules")
        depmod -b "$cache/kernel.new" "$release"
        printf '%s\n' "${kernel_deb##*/}" >"$cache/kernel.new/.from"
        mv "$cache/kernel.new" "$cache/kernel"
    fi
    echo "vm-prepare: kernel $(ls "$cache/kernel/lib/modules") from ${kernel_deb##*/}"
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

case $what in
kernel) prepare_kernel ;;
policy) prepare_policy ;;
*) fail "prepare.sh CACHE kernel|policy" ;;
esac
