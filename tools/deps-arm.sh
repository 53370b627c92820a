#!/bin/sh
# Install the Debian packages that cross-building for ARM and testing under qemu-user
# need, if any is missing: the cross compilers, libselinux and GoogleTest for armhf and
# arm64 (Debian multiarch), and qemu-user. Run as root or with sudo; safe to run again.
set -e
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

# The target architectures must be known to dpkg before their packages can be named.
added=""
for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    $sudo dpkg --add-architecture "$arch"
    added=yes
done

pkgs="cmake make pkg-config qemu-user
      g++-arm-linux-gnueabihf libselinux1-dev:armhf libgtest-dev:armhf
      g++-aarch64-linux-gnu libselinux1-dev:arm64 libgtest-dev:arm64"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && [ -z "$added" ] && exit 0
$sudo apt-get update -qq
[ -z "$missing" ] && exit 0
echo "installing:$missing"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
