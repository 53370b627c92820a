#!/bin/sh
# SPDX-License-Identifier: MIT
# Install the Debian packages that building and the whole test suite need, if any is
# missing; run as root or with sudo, safe to run again:
# - the compilers, libselinux, GoogleTest, and mandoc and groff for the page lint;
# - clang 14 with its sanitizer and libFuzzer runtimes and llvm's symbolizer for the
#   fuzzing, valgrind for the memcheck run;
# - for the VM tests (tests/vm): QEMU for x86-64 and ARM guests, a static busybox, cpio
#   and kmod for the initramfs, e2fsprogs for the flash suites' disk, and the SELinux tools
#   that compile Debian's MLS policy;
# - for the ARM suites: the cross compilers, libselinux and GoogleTest for armhf and arm64
#   (Debian multiarch), and qemu-user;
# - for the benchmark: mtd-utils for its guest, and time for its memory figures;
# - for the builder-style builds and the Debian packages (tests/build): dpkg-dev and
#   lintian, fakeroot for a scratch install by a user other than root, and git, whose
#   tracked files the release tarball holds.
# The package lists are refreshed every time, since the VM tests download Debian's
# kernel, busybox and policy packages.
set -e
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
pkgs="cmake make g++ pkg-config libselinux1-dev libgtest-dev libgmock-dev binutils
      mandoc groff-base clang libclang-rt-14-dev llvm valgrind
      qemu-system-x86 qemu-system-arm busybox-static cpio kmod gzip e2fsprogs policycoreutils libc6-dev
      mtd-utils time dpkg-dev lintian fakeroot git
      qemu-user
      g++-arm-linux-gnueabihf libselinux1-dev:armhf libgtest-dev:armhf
      g++-aarch64-linux-gnu libselinux1-dev:arm64 libgtest-dev:arm64"

# The target architectures must be known to dpkg before their packages can be named.
for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
$sudo apt-get update -qq
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
