#!/bin/bash
# SPDX-License-Identifier: MIT
# Boot Debian's kernel in QEMU with a small initramfs that runs one suite of guest
# scenarios, and exit with the guest's result.
#
#   boot.sh [-a amd64|armhf] SUITE CACHE WORKDIR [NAME=PROGRAM]...
#
# The guest is an x86-64 PC (amd64, the default) or an ARMv7 virt board (armhf), booting
# the kernel prepare.sh unpacked for that architecture; the programs must be built for
# it. SUITE names guest/SUITE.sh, or is the path of a script of the same form. CACHE is
# what prepare.sh filled. WORKDIR receives the initramfs and the console log. Each
# PROGRAM goes to /bin/NAME in the guest, with the shared libraries it needs. The suite's
# header lines say what else the guest needs:
#   # vm-modules: NAME...   kernel modules, with what they depend on
#   # vm-append: ARG...     kernel command-line arguments
#   # vm-policy: yes        the compiled MLS policy, as /vm/policy
#   # vm-disk: MIB          a fresh, empty ext2 file system of MIB MiB, root's, as the
#                           guest's virtio disk (/dev/vda once virtio_pci and virtio_blk
#                           are loaded; ext4 mounts it)
#
# The guest prints FIELDTOOLS-VM-UP when its init starts and FIELDTOOLS-VM-RESULT
# status=N when the suite is done. The armhf guest runs under TCG. For amd64, KVM is used
# only when kvm_intel or kvm_amd is loaded (a stock kernel can hang under other KVMs),
# and TCG takes over when the guest is not up within $FIELDTOOLS_VM_KVM_WAIT seconds (20)
# or QEMU cannot start it. FIELDTOOLS_VM_ACCEL=tcg or kvm chooses the first try;
# FIELDTOOLS_VM_TIMEOUT bounds a boot (240 s). Exits with the guest's status, or 1 when
# there is none.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
arch=amd64
if [ "${1:-}" = -a ]; then
    arch=$2
    shift 2
fi
suite=$1 cache=$2 work=$3
shift 3
case $suite in
*/*) script=$suite suite=$(basename "$suite" .sh) ;;
*) script=$here/guest/$suite.sh ;;
esac
root=$work/root
log=$work/console.log

fail() {
    printf 'vm: %s\n' "$*" >&2
    exit 1
}

# What each architecture's guest is made of: the kernel tree, the static busybox, where
# the target's shared libraries are found on the host and go in the guest, the QEMU
# machine and its serial console.
case $arch in
amd64)
    kernel_tree=$cache/kernel
    busybox=$(command -v busybox) || fail "busybox is missing (tools/deps.sh installs busybox-static)"
    triplet=x86_64-linux-gnu
    library_dirs="/lib/$triplet /usr/lib/$triplet"
    qemu_system=qemu-system-x86_64 console=ttyS0
    ;;
armhf)
    kernel_tree=$cache/armhf/kernel
    busybox=$cache/armhf/busybox/bin/busybox
    [ -f "$busybox" ] || fail "no armhf busybox in $cache/armhf: run prepare.sh first"
    triplet=arm-linux-gnueabihf
    # Debian's armhf C library through multiarch first, then the cross compiler's.
    library_dirs="/lib/$triplet /usr/lib/$triplet /usr/$triplet/lib"
    qemu_system=qemu-system-arm console=ttyAMA0
    ;;
*) fail "no guest for architecture $arch (amd64 or armhf)" ;;
esac

[ -f "$script" ] || fail "no guest suite $script"
vmlinuz=$(ls "$kernel_tree"/boot/vmlinuz-* 2>/dev/null | head -n 1) || true
[ -n "$vmlinuz" ] || fail "no kernel in $kernel_tree: run prepare.sh first"
release=${vmlinuz##*/vmlinuz-}
modules=$kernel_tree/lib/modules/$release
command -v $qemu_system >/dev/null || fail "$qemu_system is missing (tools/deps.sh installs it)"
command -v readelf >/dev/null || fail "readelf is missing (tools/deps.sh installs binutils)"
command -v cpio >/dev/null || fail "cpio is missing (tools/deps.sh installs it)"

# header KEY: the words of the suite's "# vm-KEY:" line.
header() {
    sed -n "s/^# vm-$1: *//p" "$script"
}

disk_mib=$(header disk)
if [ -n "$disk_mib" ]; then
    # A user's PATH may leave out the system directories.
    mke2fs=$(PATH=$PATH:/usr/sbin:/sbin command -v mke2fs) || fail "mke2fs is missing (tools/deps.sh installs e2fsprogs)"
fi

# interpreter FILE: the dynamic loader FILE asks for; nothing for a static program.
interpreter() {
    readelf -l "$1" 2>/dev/null | sed -n 's/.*\[Requesting program interpreter: \(.*\)\]$/\1/p'
}

# host_library NAME: the target's library NAME on the host.
host_library() {
    local dir
    for dir in $library_dirs; do
        [ -e "$dir/$1" ] && { readlink -f "$dir/$1"; return; }
    done
    fail "no $triplet library $1 in $library_dirs"
}

# copy_with_libraries FILE DEST: FILE at DEST in the guest, its dynamic loader at the path
# FILE names, and every shared library it needs, and they need, in /lib/TRIPLET, where the
# guest's loader looks. The libraries come by their NEEDED names, as readelf shows them,
# which works for programs of any architecture.
copy_with_libraries() {
    install -D -m 0755 "$1" "$root$2"
    local loader pending name needed file
    loader=$(interpreter "$1")
    [ -n "$loader" ] || return 0
    [ -e "$root$loader" ] || install -D -m 0755 "$(host_library "${loader##*/}")" "$root$loader"
    pending=$1
    while [ -n "$pending" ]; do
        needed=$(for file in $pending; do readelf -d "$file"; done |
            sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort -u)
        pending=""
        for name in $needed; do
            [ "$name" = "${loader##*/}" ] && continue
            [ -e "$root/lib/$triplet/$name" ] && continue
            install -D -m 0755 "$(host_library "$name")" "$root/lib/$triplet/$name"
            pending="$pending $root/lib/$triplet/$name"
        done
    done
}

# add_module NAME: the module and those it depends on, by modules.dep.
add_module() {
    local line path
    line=$(grep -E "(^|/)$1\.ko(\.[a-z]+)?:" "$modules/modules.dep") || fail "kernel $release has no module $1"
    for path in $(printf '%s\n' "$line" | tr -d ':'); do
        [ -e "$root/lib/modules/$release/$path" ] && continue
        install -D -m 0644 "$modules/$path" "$root/lib/modules/$release/$path"
        grep -E "^$path:" "$modules/modules.dep" >>"$root/lib/modules/$release/modules.dep"
    done
}

build_initramfs() {
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,vm,etc} "$root/lib/modules/$release"
    [ -z "$(interpreter "$busybox")" ] || fail "$busybox is not static (install busybox-static)"
    # The guest's init links busybox's other applets in /bin: the host may not run it.
    install -m 0755 "$busybox" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    ln -s bin "$root/sbin"
    : >"$root/lib/modules/$release/modules.dep"
    local module
    for module in $(header modules); do
        add_module "$module"
    done
    local program
    for program in "$@"; do
        [ -f "${program#*=}" ] || fail "program ${program#*=} not built"
        copy_with_libraries "${program#*=}" "/bin/${program%%=*}"
    done
    if [ "$(header policy)" = yes ]; then
        local policy
        policy=$(ls "$cache"/policy/root/etc/selinux/mls/policy/policy.* 2>/dev/null | head -n 1)
        [ -n "$policy" ] || fail "no compiled MLS policy in $cache/policy: run prepare.sh first"
        install -m 0644 "$policy" "$root/vm/policy"
    fi
    install -m 0755 "$here/guest/init" "$root/init"
    install -m 0644 "$here/../claim.sh" "$root/vm/claim.sh"
    install -m 0644 "$here"/guest/*.sh "$root/vm/"
    install -m 0644 "$script" "$root/vm/suite.sh"
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$work/initramfs.gz"
}

# make_disk: the suite's disk, made afresh for every boot, so that no run sees another's
# files. The same virtio PCI disk serves both guests: the ARM virt board has a PCI host too.
make_disk() {
    rm -f "$work/disk.img"
    [ -n "$disk_mib" ] || return 0
    "$mke2fs" -q -F -t ext2 -m 0 -E root_owner=0:0 "$work/disk.img" "${disk_mib}M" >/dev/null ||
        fail "mke2fs could not make $work/disk.img"
}

# disk_arguments: QEMU's arguments for the suite's disk, if it has one.
disk_arguments() {
    [ -n "$disk_mib" ] || return 0
    echo "-drive file=$work/disk.img,format=raw,if=none,id=disk -device virtio-blk-pci,drive=disk"
}

kvm_loaded() {
    [ "$arch" = amd64 ] && { [ -e /sys/module/kvm_intel ] || [ -e /sys/module/kvm_amd ]; } && [ -w /dev/kvm ]
}

# machine ACCEL: QEMU's arguments for the guest's machine.
machine() {
    case $arch in
    amd64) echo "-machine pc,accel=$1 -vga none" ;;
    # No high memory: the 32-bit kernel without LPAE cannot reach it anyway.
    armhf) echo "-machine virt,highmem=off,accel=$1 -cpu cortex-a15" ;;
    esac
}

# boot ACCEL: run the guest under ACCEL, writing the console to the log. Under KVM, give
# up (status 3) when the guest is not up in time or QEMU could not start it. Otherwise
# returns QEMU's status.
boot() {
    local accel=$1
    : >"$log"
    make_disk
    # shellcheck disable=SC2046
    timeout "${FIELDTOOLS_VM_TIMEOUT:-240}" $qemu_system $(machine "$accel") \
        -m 512 -smp 1 -nodefaults -no-user-config \
        -display none -monitor none -nic none -no-reboot -serial file:"$log" \
        $(disk_arguments) -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
        -append "console=$console panic=-1 quiet $(header append)" &
    local qemu=$! waited=0
    if [ "$accel" = kvm ]; then
        until grep -q FIELDTOOLS-VM-UP "$log"; do
            if [ $waited -ge $((${FIELDTOOLS_VM_KVM_WAIT:-20} * 2)) ] || ! kill -0 "$qemu" 2>/dev/null; then
                kill "$qemu" 2>/dev/null
                wait "$qemu" 2>/dev/null || true
                echo "vm: the guest did not come up under KVM; TCG takes over"
                return 3
            fi
            sleep 0.5
            waited=$((waited + 1))
        done
    fi
    local status=0
    wait "$qemu" || status=$?
    return $status
}

mkdir -p "$work"
build_initramfs "$@"
accel=${FIELDTOOLS_VM_ACCEL:-}
[ -n "$accel" ] || { kvm_loaded && accel=kvm || accel=tcg; }
echo "vm: booting $release ($suite, $arch) under $accel"
started=$SECONDS
status=0
boot "$accel" || status=$?
if [ "$accel" = kvm ] && [ $status = 3 ]; then
    status=0
    boot tcg || status=$?
fi
# The console, without carriage returns and the firmware's terminal escapes; from the
# guest's first line on when it came up.
tr -d '\r' <"$log" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g' >"$work/console.txt"
if grep -q FIELDTOOLS-VM-UP "$work/console.txt"; then
    sed -n '/FIELDTOOLS-VM-UP/,$p' "$work/console.txt"
else
    cat "$work/console.txt"
fi
result=$(sed -n 's/^FIELDTOOLS-VM-RESULT status=\([0-9]*\)$/\1/p' "$work/console.txt" | tail -n 1)
echo "vm: guest finished after $((SECONDS - started)) s, QEMU status $status"
[ -n "$result" ] || fail "no result line from the guest (QEMU status $status; the console is in $work/console.txt)"
exit "$result"
