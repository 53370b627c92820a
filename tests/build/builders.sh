#!/bin/bash
# SPDX-License-Identifier: MIT
# The programs configured, built and installed the way image builders call CMake, each
# with gcc and with clang, and what they installed checked (lib.sh's check_tree):
# - Buildroot-like, for armhf: a toolchain file of the builder's own naming a sysroot in
#   its layout (usr/lib) made from the cross packages, its flags with a board's own
#   (-funwind-tables, with which ARM objects name the unwinder's personality routines of
#   libgcc_s), Release with its empty release flags, BUILD_TESTING=OFF, prefix /usr, and
#   `make install/fast DESTDIR=...`; and cpack's packages of it, armhf;
# - the release tarball, made in a checkout that holds more than its tracked files, after a
#   configure refused for want of libselinux;
# - Yocto-like, for arm64: the compilers in CC and CXX, a sysroot in its layout, its
#   flags in CFLAGS, CXXFLAGS and LDFLAGS, no build type, BUILD_TESTING not given, and
#   the install target with DESTDIR; our toolchain file stands in for the one the
#   builder writes, so that this also checks that it takes the caller's compiler and a
#   sysroot of that layout;
# - Debian-like, for amd64: the flags of dpkg-buildflags with every hardening feature and
#   the options debhelper gives CMake (packages.sh builds the packages the same way).
# Each passes contrib/'s CMake arguments (lib.sh), which contrib's files must hold too.
#   builders.sh SOURCE_DIR   (CMAKE_COMMAND and CPACK_COMMAND in the environment)
SOURCE=$1
. "$(dirname "$0")/lib.sh"
WORK=$CLAIM_DIR
for tool in arm-linux-gnueabihf-gcc aarch64-linux-gnu-gcc clang dpkg-architecture dpkg-deb git make; do
    command -v $tool >/dev/null || { echo "builders: $tool is missing (tools/deps.sh installs it)"; exit 1; }
done

# contrib/: the same CMake arguments, and the licence's checksums.
buildroot_mk=$SOURCE/contrib/buildroot/package/fieldtools/fieldtools.mk
recipe=$SOURCE/contrib/yocto/fieldtools_1.0.0.bb
same "contrib's Buildroot package and Yocto recipe pass the arguments built with here" "" \
    "$(for arg in "${CONTRIB_ARGS[@]}"; do
           grep -q -- "${arg%%=*}=" "$buildroot_mk" || echo "buildroot: ${arg%%=*}"
           grep -q -- "${arg%%=*}=" "$recipe" || echo "yocto: ${arg%%=*}"
       done)"
same "the Buildroot package's LICENSE hash" "$(sha256sum <"$SOURCE/LICENSE" | cut -d ' ' -f 1)" \
    "$(sed -n 's/^sha256  *\([0-9a-f]*\)  *LICENSE$/\1/p' "${buildroot_mk%.mk}.hash")"
same "the Yocto recipe's LICENSE checksum" "$(md5sum <"$SOURCE/LICENSE" | cut -d ' ' -f 1)" \
    "$(sed -n 's/.*file:\/\/LICENSE;md5=\([0-9a-f]*\)".*/\1/p' "$recipe")"

# ---- Buildroot-like ----
step sysroot-armhf bash "$SOURCE/tests/build/sysroot.sh" armhf "$WORK/sysroot-armhf"
# Buildroot's own toolchains do not link with --as-needed, as Debian's compilers do by
# default: the toolchain file turns it off, so that nothing but our own link options keeps
# the C++ runtime out of the flash programs.
buildroot() {
    local name=buildroot-$1 cc=$2 cxx=$3 target=$4
    mkdir -p "$WORK/$name"
    cat >"$WORK/$name/toolchainfile.cmake" <<END
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_SYSROOT $WORK/sysroot-armhf)
set(CMAKE_FIND_ROOT_PATH $WORK/sysroot-armhf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_C_COMPILER_TARGET $target)
set(CMAKE_CXX_COMPILER_TARGET $target)
set(CMAKE_C_FLAGS "-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -Os -g0 -funwind-tables \${CMAKE_C_FLAGS}" CACHE STRING "Buildroot CFLAGS")
set(CMAKE_CXX_FLAGS "-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -Os -g0 -funwind-tables \${CMAKE_CXX_FLAGS}" CACHE STRING "Buildroot CXXFLAGS")
set(CMAKE_EXE_LINKER_FLAGS "-Wl,--no-as-needed \${CMAKE_EXE_LINKER_FLAGS}" CACHE STRING "a linker that keeps every library named")
set(ENV{PKG_CONFIG_SYSROOT_DIR} $WORK/sysroot-armhf)
set(ENV{PKG_CONFIG_LIBDIR} $WORK/sysroot-armhf/usr/lib/pkgconfig:$WORK/sysroot-armhf/usr/share/pkgconfig)
END
    step "$name-configure" env -i PATH="$PATH" HOME="${HOME:-/}" "$CMAKE_COMMAND" -S "$SOURCE" -B "$WORK/$name/build" \
        -DCMAKE_TOOLCHAIN_FILE="$WORK/$name/toolchainfile.cmake" -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_COLOR_MAKEFILE=OFF -DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF \
        -DBUILD_TEST=OFF -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
        "${CONTRIB_ARGS[@]}"
    step "$name-build" make -C "$WORK/$name/build" -j 2
    step "$name-install" make -C "$WORK/$name/build" DESTDIR="$WORK/$name/root" install/fast
    check_tree "$name" "$WORK/$name/root" ARM /dev/mtd3 "0x40000 (262144)"
    # Its toolchain file names no library architecture: the packages' comes from the
    # compiler's target, gcc's own or the one clang is given. (packages.sh checks their
    # Depends; dpkg-shlibdeps is left out here, and cpack says that none is set.)
    step "$name-cpack" "$CPACK_COMMAND" -G DEB --config "$WORK/$name/build/CPackConfig.cmake" -B "$WORK/$name/build" \
        -D CPACK_DEBIAN_PACKAGE_SHLIBDEPS=OFF
    same "$name: cpack prints no warning or error" "" "$(grep -v -e '^CPack\(Deb\)\?: ' \
        -e '^-- CPACK_DEBIAN_PACKAGE_DEPENDS not set, the package will have no dependencies\.$' "$WORK/$name-cpack.log")"
    same "$name: the packages are armhf" "armhf armhf" "$(
        dpkg-deb -f "$WORK/$name/build/fieldtools-factory_1.0.0_armhf.deb" Architecture) $(
        dpkg-deb -f "$WORK/$name/build/fieldtools-label_1.0.0_armhf.deb" Architecture)"
}
buildroot gcc arm-linux-gnueabihf-gcc arm-linux-gnueabihf-g++ arm-linux-gnueabihf
buildroot clang clang clang++ arm-linux-gnueabihf

# ---- the release tarball, which contrib's Yocto recipe builds from ----
# A checkout of the tracked files (all of them, where the source is no checkout), with
# what else lies in a tree: the staging directory of an armhf install, and a build tree.
# Configured as on an image without libselinux, it is refused until the label programs
# are left out, with a message that says how; then the tarball holds exactly the tracked
# files, unchanged.
src=$WORK/checkout
mkdir -p "$src" "$WORK/no-pkgconfig"
if [ "$(git -C "$SOURCE" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$SOURCE" && pwd -P)" ]; then
    git -C "$SOURCE" ls-files -z
else
    (cd "$SOURCE" && find . \( -path ./build -o -path './build-*' \) -prune -o ! -type d -print0)
fi | tar -C "$SOURCE" --null --no-recursion -T - -cf - | tar -C "$src" -xf -
git -C "$src" -c init.defaultBranch=main init -q && git -C "$src" add -A -f
mkdir "$src/stage"
cp -a "$WORK/buildroot-gcc/root/usr" "$src/stage/"
PKG_CONFIG_LIBDIR=$WORK/no-pkgconfig "$CMAKE_COMMAND" -S "$src" -B "$src/build/release" >"$WORK/no-selinux.log" 2>&1
same "without libselinux, the label programs are refused" 1 "$?"
same "and the message says how to build the flash programs alone" yes "$(
    tr -s ' \n' '  ' <"$WORK/no-selinux.log" | grep -qF -- '-DFIELDTOOLS_LABEL=OFF builds the flash programs alone' && echo yes)"
step tarball-configure env PKG_CONFIG_LIBDIR="$WORK/no-pkgconfig" "$CMAKE_COMMAND" -S "$src" -B "$src/build/release" \
    -DFIELDTOOLS_LABEL=OFF
step tarball "$CMAKE_COMMAND" --build "$src/build/release" --target package_source
same "package_source prints no warning or error" "" \
    "$(grep -v '^\(CPack: \|\[[ 0-9]*%\] \|Run CPack packaging tool for source\)' "$WORK/tarball.log")"
tarball=$src/build/release/fieldtools-1.0.0.tar.gz
same "the tarball's files lie in fieldtools-1.0.0/" "" "$(tar -tzf "$tarball" | grep -v '^fieldtools-1\.0\.0/')"
mkdir "$WORK/unpacked"
tar -C "$WORK/unpacked" -xzf "$tarball"
# The unpacked tree against the checkout's index: no file changed or missing, none more.
unpacked_git() { git --git-dir="$src/.git" --work-tree="$WORK/unpacked/fieldtools-1.0.0" "$@"; }
same "the tarball holds exactly the tracked files, as they are" "" \
    "$(unpacked_git diff --name-status && unpacked_git ls-files --others)"

# ---- Yocto-like ----
step sysroot-arm64 bash "$SOURCE/tests/build/sysroot.sh" arm64 "$WORK/sysroot-arm64"
yocto() {
    local name=yocto-$1 cc=$2 cxx=$3
    step "$name-configure" env -i PATH="$PATH" HOME="${HOME:-/}" CC="$cc" CXX="$cxx" \
        CFLAGS="-O2 -pipe -g -feliminate-unused-debug-types" \
        CXXFLAGS="-O2 -pipe -g -feliminate-unused-debug-types -fvisibility-inlines-hidden" \
        LDFLAGS="-Wl,-O1 -Wl,--hash-style=gnu -Wl,--as-needed -Wl,-z,relro,-z,now" \
        "$CMAKE_COMMAND" -S "$SOURCE" -B "$WORK/$name/build" \
        -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/aarch64-linux-gnu.cmake" -DCMAKE_SYSROOT="$WORK/sysroot-arm64" \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_BINDIR=bin -DCMAKE_INSTALL_SBINDIR=sbin \
        -DCMAKE_INSTALL_LIBEXECDIR=libexec -DCMAKE_INSTALL_SYSCONFDIR=/etc -DCMAKE_INSTALL_SHAREDSTATEDIR=../com \
        -DCMAKE_INSTALL_LOCALSTATEDIR=/var -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_INCLUDEDIR=include \
        -DCMAKE_INSTALL_DATAROOTDIR=share -DCMAKE_INSTALL_SO_NO_EXE=0 -DCMAKE_NO_SYSTEM_FROM_IMPORTED=1 \
        -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON -DFETCHCONTENT_FULLY_DISCONNECTED=ON \
        "${CONTRIB_ARGS[@]}"
    same "$name: no build type forced" "" "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$WORK/$name/build/CMakeCache.txt")"
    same "$name: the compilers are the caller's" "$(command -v "$cc") $(command -v "$cxx")" \
        "$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$WORK/$name/build/CMakeCache.txt") $(
           sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$WORK/$name/build/CMakeCache.txt")"
    step "$name-build" "$CMAKE_COMMAND" --build "$WORK/$name/build" -j 2
    step "$name-install" env DESTDIR="$WORK/$name/root" "$CMAKE_COMMAND" --build "$WORK/$name/build" --target install
    check_tree "$name" "$WORK/$name/root" AArch64 /dev/mtd3 "0x40000 (262144)"
}
yocto gcc aarch64-linux-gnu-gcc aarch64-linux-gnu-g++
yocto clang clang clang++

# ---- Debian-like, with clang (packages.sh builds with gcc) ----
debian_build debian-clang "$(dpkg --print-architecture)" clang clang++ "${CONTRIB_ARGS[@]}"
check_tree debian-clang "$WORK/debian-clang/root" "$(readelf -h /bin/sh | sed -n 's/^ *Machine: *//p')" \
    /dev/mtd3 "0x40000 (262144)"
finish
