#!/bin/sh
# Install the Debian packages that building and testing need, if any is missing.
set -e
pkgs="cmake make g++ pkg-config libselinux1-dev libgtest-dev libgmock-dev binutils mandoc groff-base"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
