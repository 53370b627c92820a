# SPDX-License-Identifier: MIT
# Builds of the programs alone, the way an image builder or Debian's packaging makes
# them, and the checks of what they install. Sourced by builders.sh and packages.sh, with
# SOURCE (the source tree) and WORK (a scratch directory) set; needs CMAKE_COMMAND.
. "$CLAIM"

# The CMake arguments of contrib/'s Buildroot package and Yocto recipe, with values other
# than the defaults, so that the installed programs and pages show that they were used.
CONTRIB_ARGS=(-DFACTORY_DEVICE=/dev/mtd3 -DFACTORY_REGION_SIZE=0x40000 -DFACTORY_JOURNAL_DIR=/data/cellrw
              -DFIELDTOOLS_FACTORY=ON -DFIELDTOOLS_LABEL=ON)
PROGRAMS="cellrw cellshow rawlabel showlabel"

# step NAME COMMAND...: run one step of a build with its output in $WORK/NAME.log; on a
# failure, show the log's end and fail the script.
step() {
    local name=$1
    shift
    if ! "$@" >"$WORK/$name.log" 2>&1; then
        claim_fail "$name: $*"
        tail -n 30 "$WORK/$name.log"
        finish
        exit 1
    fi
}

# triplet ARCH: the GNU triplet of a Debian architecture.
triplet() { dpkg-architecture -a "$1" -qDEB_HOST_MULTIARCH 2>/dev/null; }

# debian_build NAME ARCH CC CXX [CMAKE_ARG...]: configure, build and install into
# $WORK/NAME/root as Debian's packaging does: the flags of dpkg-buildflags with every
# hardening feature (CPPFLAGS folded into the compile flags, as debhelper does), the
# options debhelper gives CMake, and for another architecture our toolchain file with the
# compilers named. The build tree is $WORK/NAME/build.
debian_build() {
    local name=$1 arch=$2 cc=$3 cxx=$4
    shift 4
    local build=$WORK/$name/build cross=() flags
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        cross=(-DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/$(triplet "$arch").cmake")
    fi
    flags=$(DEB_HOST_ARCH=$arch DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh 2>/dev/null)
    step "$name-configure" env -i PATH="$PATH" HOME="${HOME:-/}" bash -c '
        eval "$1"; shift
        CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS" "$@"' sh "$flags" \
        "$CMAKE_COMMAND" -S "$SOURCE" -B "$build" "${cross[@]}" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_SYSCONFDIR=/etc \
        -DCMAKE_INSTALL_LOCALSTATEDIR=/var -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DFETCHCONTENT_FULLY_DISCONNECTED=ON \
        -DCMAKE_INSTALL_RUNSTATEDIR=/run -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        -DCMAKE_INSTALL_LIBDIR="lib/$(triplet "$arch")" "$@"
    step "$name-build" "$CMAKE_COMMAND" --build "$build" -j 2
    step "$name-install" env DESTDIR="$WORK/$name/root" "$CMAKE_COMMAND" --install "$build"
}

# check_tree NAME ROOT MACHINE DEVICE REGION: what a build installed under ROOT: exactly
# the four programs and their pages, the programs built for MACHINE (as readelf names
# it) with DEVICE in them, asking for no C++ runtime or libm and for the C library (and
# libselinux, the label programs), and the pages stating DEVICE and REGION ("0x40000
# (262144)").
check_tree() {
    local name=$1 root=$2 machine=$3 device=$4 region=$5 program expected
    expected=$(for program in $PROGRAMS; do
        echo "./usr/sbin/$program"
        echo "./usr/share/man/man8/$program.8"
    done | LC_ALL=C sort)
    same "$name: the installed files, exactly" "$expected" "$(cd "$root" && find . ! -type d | LC_ALL=C sort)"
    for program in $PROGRAMS; do
        same "$name: $program is built for $machine" "$machine" \
            "$(readelf -h "$root/usr/sbin/$program" | sed -n 's/^ *Machine: *//p')"
    done
    for program in cellrw cellshow; do
        same "$name: $program opens $device" yes "$(grep -qaF -- "$device" "$root/usr/sbin/$program" && echo yes)"
        same "$name: $program.8 states $device and $region" yes \
            "$(grep -qF -- "$device" "$root/usr/share/man/man8/$program.8" &&
               grep -qF -- "$region" "$root/usr/share/man/man8/$program.8" && echo yes)"
    done
    # tests/linkage.sh: no C++ runtime and no libm; the C library, and libselinux for the
    # label programs.
    local status=0
    CLAIM=$CLAIM bash "$SOURCE/tests/linkage.sh" "$root"/usr/sbin/cellrw "$root"/usr/sbin/cellshow \
        >"$WORK/$name-linkage.log" 2>&1 || status=1
    CLAIM=$CLAIM bash "$SOURCE/tests/linkage.sh" --needs libselinux.so.1 "$root"/usr/sbin/rawlabel \
        "$root"/usr/sbin/showlabel >>"$WORK/$name-linkage.log" 2>&1 || status=1
    same "$name: the programs' linkage (tests/linkage.sh)" 0 "$status"
    [ "$status" = 0 ] || cat "$WORK/$name-linkage.log"
}
