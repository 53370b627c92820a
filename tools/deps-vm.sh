#!/bin/sh
# Install the Debian packages that the VM tests need (tests/vm): QEMU, a static busybox
# for the guest, cpio and kmod for its initramfs, and the SELinux policy tools that
# compile Debian's MLS policy. The package lists are refreshed on every run, since the
# tests download Debian's kernel and policy packages with apt-get.
set -e
pkgs="qemu-system-x86 busybox-static cpio kmod gzip policycoreutils libc6-dev"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
$sudo apt-get update -qq
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
