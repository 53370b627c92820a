#!/bin/bash
# SPDX-License-Identifier: MIT
# The Debian packages: the programs built the way Debian's packaging builds them (lib.sh's
# debian_build, with gcc and the default settings) for amd64, armhf and arm64, and packed
# by cpack, which prints nothing but its progress. Lintian reports nothing on any of them;
# each holds what it must, with Depends from its binaries; and the amd64 packages,
# installed into a scratch root with dpkg, run against the flash simulator and the sample
# translations file.
#   packages.sh SOURCE_DIR MTDSIM MLSFAKE   (CMAKE_COMMAND and CPACK_COMMAND in the environment)
SOURCE=$1 MTDSIM=$2 MLSFAKE=$3
. "$(dirname "$0")/lib.sh"
WORK=$CLAIM_DIR
for tool in arm-linux-gnueabihf-gcc aarch64-linux-gnu-gcc dpkg-architecture dpkg-shlibdeps lintian; do
    command -v $tool >/dev/null || { echo "packages: $tool is missing (tools/deps.sh installs it)"; exit 1; }
done
native=$(dpkg --print-architecture)
[ "$native" = amd64 ] || { echo "packages: the scratch install runs amd64 packages, not $native ones"; exit 1; }

declare -A machine=([amd64]="Advanced Micro Devices X86-64" [armhf]=ARM [arm64]=AArch64)
debs=()
for arch in amd64 armhf arm64; do
    if [ "$arch" = "$native" ]; then
        debian_build "deb-$arch" "$arch" gcc g++
    else
        debian_build "deb-$arch" "$arch" "$(triplet "$arch")-gcc" "$(triplet "$arch")-g++"
    fi
    check_tree "deb-$arch" "$WORK/deb-$arch/root" "${machine[$arch]}" /dev/mtd7 "0x60000 (393216)"
    step "deb-$arch-cpack" "$CPACK_COMMAND" -G DEB --config "$WORK/deb-$arch/build/CPackConfig.cmake" -B "$WORK/deb-$arch/build"
    same "cpack for $arch prints no warning or error" "" "$(grep -v '^CPack\(Deb\)\?: ' "$WORK/deb-$arch-cpack.log")"
    for half in factory label; do
        deb=$WORK/deb-$arch/build/fieldtools-${half}_1.0.0_$arch.deb
        debs+=("$deb")
        same "fieldtools-$half for $arch: its architecture" "$arch" "$(dpkg-deb -f "$deb" Architecture)"
    done
    factory=$WORK/deb-$arch/build/fieldtools-factory_1.0.0_$arch.deb
    label=$WORK/deb-$arch/build/fieldtools-label_1.0.0_$arch.deb
    same "fieldtools-factory for $arch depends on the C library alone" yes \
        "$(dpkg-deb -f "$factory" Depends | grep -qx 'libc6 (>= [0-9.~]*)' && echo yes)"
    same "fieldtools-label for $arch depends on the C library and libselinux" yes \
        "$(dpkg-deb -f "$label" Depends | grep -qx 'libc6 (>= [0-9.~]*), libselinux1 (>= [0-9.~]*)' && echo yes)"
    same "fieldtools-factory for $arch: its files" "./usr/sbin/cellrw
./usr/sbin/cellshow
./usr/share/doc/fieldtools-factory/changelog.gz
./usr/share/doc/fieldtools-factory/copyright
./usr/share/lintian/overrides/fieldtools-factory
./usr/share/man/man8/cellrw.8.gz
./usr/share/man/man8/cellshow.8.gz" "$(dpkg-deb -c "$factory" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort)"
    same "fieldtools-factory for $arch: the journal directory, root's alone" "drwx------ root/root ./var/lib/cellrw/" \
        "$(dpkg-deb -c "$factory" | awk '$6 == "./var/lib/cellrw/" { print $1, $2, $6 }')"
    same "fieldtools-label for $arch: its files" "./usr/sbin/rawlabel
./usr/sbin/showlabel
./usr/share/doc/fieldtools-label/changelog.gz
./usr/share/doc/fieldtools-label/copyright
./usr/share/man/man8/rawlabel.8.gz
./usr/share/man/man8/showlabel.8.gz" "$(dpkg-deb -c "$label" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort)"
done

# Errors and warnings alike; an override in the package must say why.
lintian --tag-display-limit 0 --fail-on error,warning "${debs[@]}" >"$WORK/lintian.log" 2>&1
status=$?
same "lintian: nothing on the six packages" "0" "$status$(grep -v '^running with root privileges' "$WORK/lintian.log")"

# ---- the amd64 packages installed and run ----
root=$WORK/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
as_root=""
[ "$(id -u)" = 0 ] || as_root=fakeroot
# The scratch root has no libc6 or libselinux1 of its own: the machine's serve.
$as_root dpkg --root="$root" --log=/dev/null --force-depends -i \
    "$WORK/deb-amd64/build/fieldtools-factory_1.0.0_amd64.deb" \
    "$WORK/deb-amd64/build/fieldtools-label_1.0.0_amd64.deb" >"$WORK/dpkg.log" 2>&1
same "dpkg installs both packages" "0" "$?"
same "both are installed" "ii fieldtools-factory 1.0.0
ii fieldtools-label 1.0.0" "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${db:Status-Abbrev} ${Package} ${Version}\n' | sed 's/  */ /g')"
same "the installed page states the version" '.TH CELLRW 8 2026-12-08 "fieldtools 1.0.0" "System Manager'\''s Manual"' \
    "$(zcat "$root/usr/share/man/man8/cellrw.8.gz" | grep '^\.TH ')"

# A 1 MiB NAND partition of 128 KiB blocks, erased, with a serial number at 0, as the
# configured partition; a journal directory of the test's own.
export MTDSIM_DEVICE=/dev/mtd7 MTDSIM_IMAGE=$WORK/flash MTDSIM_SIZE=0x100000 MTDSIM_ERASESIZE=0x20000 MTDSIM_TYPE=4
export FACTORY_JOURNAL_DIR=$WORK/journal
mkdir -m 0700 "$FACTORY_JOURNAL_DIR"
head -c $((MTDSIM_SIZE)) /dev/zero | tr '\0' '\377' >"$MTDSIM_IMAGE"
printf 'FT2026A00123\0' | dd of="$MTDSIM_IMAGE" conv=notrunc status=none
claim "the installed cellshow reads a cell" 0 $'FT2026A00123\n' "" -- preloaded "$MTDSIM" "$root/usr/sbin/cellshow" factory 0
preloaded "$MTDSIM" "$root/usr/sbin/cellrw" w 512 PKG-1.0.0 >"$WORK/commit.log" 2>&1
same "the installed cellrw commits a cell" 0 "$?"
claim "and reads it back" 0 "PKG-1.0.0" "" -- preloaded "$MTDSIM" "$root/usr/sbin/cellrw" r 512
export LABEL_TEST_TRANSLATIONS=$SOURCE/examples/translations.conf
claim "the installed rawlabel" 0 $'user_u:object_r:file_t:s0:c0,c1\n' "" -- \
    preloaded "$MLSFAKE" "$root/usr/sbin/rawlabel" user_u:object_r:file_t:SystemLow:Blue,Green
claim "the installed showlabel" 0 $'user_u:object_r:file_t:SystemLow-SystemHigh\n' "" -- \
    preloaded "$MLSFAKE" "$root/usr/sbin/showlabel" user_u:object_r:file_t:s0-s15:c0.c1023
finish
