#!/bin/sh
# Install the Debian packages that building and the whole test suite need, if any is
# missing: the compilers and libraries, the page lint, and for the VM tests (tests/vm)
# QEMU, a static busybox, cpio and kmod for the guest's initramfs, and the SELinux policy
# tools that compile Debian's MLS policy. The package lists are refreshed every time,
# since the VM tests download Debian's kernel and policy packages with apt-get.
set -e
pkgs="cmake make g++ pkg-config libselinux1-dev libgtest-dev libgmock-dev binutils
      mandoc groff-base
      qemu-system-x86 busybox-static cpio kmod gzip policycoreutils libc6-dev"
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
