#!/bin/bash
# Boot Debian's kernel in QEMU with a small initramfs that runs one suite of guest
# scenarios, and exit with the guest's result.
#
#   boot.sh SUITE CACHE WORKDIR [NAME=PROGRAM]...
#
# SUITE names guest/SUITE.sh. CACHE is what prepare.sh filled. WORKDIR receives the
# initramfs and the console log. Each PROGRAM goes to /bin/NAME in the guest, with the
# shared libraries it needs. The suite's header lines say what else the guest needs:
#   # vm-modules: NAME...   kernel modules, with what they depend on
#   # vm-append: ARG...     kernel command-line arguments
#   # vm-policy: yes        the compiled MLS policy, as /vm/policy
#
# The guest prints FIELDTOOLS-VM-UP when its init starts and FIELDTOOLS-VM-RESULT
# status=N when the suite is done. KVM is used only when kvm_intel or kvm_amd is loaded
# (a stock kernel can hang under other KVMs), and TCG takes over when the guest is not up
# within $FIELDTOOLS_VM_KVM_WAIT seconds (20) or QEMU cannot start it.
# FIELDTOOLS_VM_ACCEL=tcg or kvm chooses the first try; FIELDTOOLS_VM_TIMEOUT bounds a
# boot (240 s). Exits with the guest's status, or 1 when there is none.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
suite=$1 cache=$2 work=$3
shift 3
script=$here/guest/$suite.sh
root=$work/root
log=$work/console.log

fail() {
    printf 'vm: %s\n' "$*" >&2
    exit 1
}

[ -f "$script" ] || fail "no guest suite $script"
kernel_tree=$cache/kernel
vmlinuz=$(ls "$kernel_tree"/boot/vmlinuz-* 2>/dev/null | head -n 1)
[ -n "$vmlinuz" ] || fail "no kernel in $kernel_tree: run prepare.sh first"
release=${vmlinuz##*/vmlinuz-}
modules=$kernel_tree/lib/modules/$release
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (tools/deps.sh installs it)"
command -v cpio >/dev/null || fail "cpio is missing (tools/deps.sh installs it)"

# header KEY: the words of the suite's "# vm-KEY:" line.
header() {
    sed -n "s/^# vm-$1: *//p" "$script"
}

# copy_with_libraries FILE DEST: FILE at DEST in the guest, and every shared library the
# dynamic loader would map for it at its own path.
copy_with_libraries() {
    install -D -m 0755 "$1" "$root$2"
    local lib
    for lib in $(ldd "$1" 2>/dev/null | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (0x.*/\1/p'); do
        [ -e "$root$lib" ] || install -D -m 0755 "$(readlink -f "$lib")" "$root$lib"
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
    local busybox
    busybox=$(command -v busybox) || fail "busybox is missing (tools/deps.sh installs busybox-static)"
    ldd "$busybox" >/dev/null 2>&1 && fail "$busybox is not static (install busybox-static)"
    install -m 0755 "$busybox" "$root/bin/busybox"
    local applet
    for applet in $("$busybox" --list); do
        [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
    done
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

kvm_loaded() {
    { [ -e /sys/module/kvm_intel ] || [ -e /sys/module/kvm_amd ]; } && [ -w /dev/kvm ]
}

# boot ACCEL: run the guest under ACCEL, writing the console to the log. Under KVM, give
# up (status 3) when the guest is not up in time or QEMU could not start it. Otherwise
# returns QEMU's status.
boot() {
    local accel=$1
    : >"$log"
    timeout "${FIELDTOOLS_VM_TIMEOUT:-240}" qemu-system-x86_64 \
        -machine pc,accel="$accel" -m 512 -smp 1 -nodefaults -no-user-config -vga none \
        -display none -monitor none -nic none -no-reboot -serial file:"$log" \
        -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 panic=-1 quiet $(header append)" &
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
echo "vm: booting $release ($suite) under $accel"
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
