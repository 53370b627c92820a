#!/bin/sh
# Install the Debian packages that tools/fuzz.sh and tools/memcheck.sh need besides those
# of tools/deps.sh, if any is missing: clang 14 with its sanitizer and libFuzzer runtimes,
# llvm for the symbolizer of the sanitizers' reports, and valgrind.
set -e
cd "$(dirname "$0")"
sh ./deps.sh
pkgs="clang libclang-rt-14-dev llvm valgrind"
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
