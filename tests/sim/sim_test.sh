#!/bin/bash
# SPDX-License-Identifier: MIT
# Claims about the flash simulator: the kernel-like answers, the state kept beside the image,
# the trace and the faults that the tests of the flash tools rely on.
# Needs CLAIM, MTDSIM_LIB, SIM_DRIVE, SIM_DRIVE64 and MTDSIM_REGION in the environment.
. "$CLAIM"

work=$CLAIM_DIR/flash
img=$work/flash.img
mkdir -p "$work"

# A new partition: no image, no state files.
fresh() { rm -f "$img" "$img".*; }
# sim [VAR=VALUE...] PROGRAM [ARG...]: run under the simulator with the settings given.
sim() {
    (
        while [[ $1 == *=* ]]; do export "$1"; shift; done
        preloaded "$MTDSIM_LIB" "$@"
    )
}
# Run under the simulator with a 4-block NAND whose block 2 is bad from the factory.
nand() { sim MTDSIM_IMAGE="$img" MTDSIM_SIZE=0x80000 MTDSIM_BAD=2 "$@"; }
# Set $want to the lines given, each ending in a newline.
expect() { printf -v want '%s\n' "$@"; }
drive=$SIM_DRIVE

# --- The device and its geometry
echo hello >"$work/hello"
# The emulated machine has no cat of its own to run.
if [ -z "${TEST_EMULATOR:-}" ]; then
    claim "other files pass through" 0 $'hello\n' "" -- nand cat "$work/hello"
else
    echo "skipped: other files pass through (no cat for the emulated machine)"
fi
claim "without MTDSIM_IMAGE there is no device" 0 $'open -> -1 ENOENT\n' "" -- sim "$drive" open rw
claim "MTDSIM_ABSENT hides the device" 0 $'open -> -1 ENOENT\n' "" -- nand MTDSIM_ABSENT=1 "$drive" open rw

fresh
expect "open -> ok" "info -> type 4 flags 0x400 size 0x80000 erasesize 0x20000 writesize 0x800 oobsize 64" \
    "read -> 0x80000" "  ff*0x80000"
claim "a new NAND image is erased flash" 0 "$want" "" -- nand "$drive" open ro info read 0x80000
expect "open -> ok" "info -> type 3 flags 0xc00 size 0x80000 erasesize 0x20000 writesize 0x1 oobsize 0"
claim "NOR geometry" 0 "$want" "" -- nand MTDSIM_TYPE=3 "$drive" open ro info

fresh
head -c $((0x20000)) /dev/zero >"$img"
expect "open -> ok" "info -> type 4 flags 0x400 size 0x20000 erasesize 0x20000 writesize 0x800 oobsize 64"
claim "the size defaults to the image's" 0 "$want" "" -- sim MTDSIM_IMAGE="$img" "$drive" open ro info
expect "open -> ok" "read -> 0x40000" "  00*0x20000 ff*0x20000"
claim "a short image is extended with erased bytes" 0 "$want" "" -- nand MTDSIM_SIZE=0x40000 "$drive" open ro read 0x40000

# --- Programming: only ones become zeros, and writes into programmed pages are recorded
fresh
claim "flash without page state holds data" 0 $'open -> ok\nwrite -> 0x800\n' "" -- nand "$drive" open rw write 0x800 0x5a
same "so a write without erase is recorded" "write 0x0 len 0x800 into programmed page 0x0" "$(cat "$img.unerased")"

fresh
expect "open -> ok" "erase -> 0" "seek -> 0x800" "write -> 0x800" "seek -> 0x0" "write -> 0x1000" "seek -> 0x0" \
    "read -> 0x1800" "  0f*0x800 00*0x800 ff*0x800"
claim "writes AND into the flash" 0 "$want" "" -- nand "$drive" open rw erase 0 0x20000 seek 0x800 set write 0x800 0xf0 \
    seek 0 set write 0x1000 0x0f seek 0 set read 0x1800
claim "page state outlives the process" 0 $'open -> ok\nseek -> 0x1000\nwrite -> 0x800\nseek -> 0x0\nwrite -> 0x800\n' "" \
    -- nand "$drive" open rw seek 0x1000 set write 0x800 0 seek 0 set write 0x800 0
expect "write 0x0 len 0x1000 into programmed page 0x800" "write 0x0 len 0x800 into programmed page 0x0"
same "the first programmed page of each such write is recorded" "${want%$'\n'}" "$(cat "$img.unerased")"

# --- Answers of write, read, lseek and erase
fresh
expect "open -> ok" "write -> -1 EINVAL" "seek -> 0x100" "write -> -1 EINVAL" "seek -> 0x7f800" "write -> 0x800" \
    "write -> -1 ENOSPC" "seek -> 0x80000"
claim "NAND writes: whole pages, cut at the end, none past it" 0 "$want" "" -- nand "$drive" open rw write 0x100 0 \
    seek 0x100 set write 0x800 0 seek 0x7f800 set write 0x1000 0 write 0x800 0 seek 0 cur
expect "open -> ok" "erase -> 0" "seek -> 0x3" "write -> 0x2" "write -> 0x1" "seek -> 0x2" "read -> 0x4" \
    "  ff*0x1 3c*0x2 a5*0x1" "setbad -> -1 EOPNOTSUPP" "getbad -> 0" "getbad -> -1 EINVAL"
claim "NOR writes any bytes and has no bad blocks" 0 "$want" "" -- nand MTDSIM_TYPE=3 "$drive" open rw erase 0 0x20000 \
    seek 3 set write 2 0x3c write 1 0xa5 seek 2 set read 4 setbad 0 getbad 0x40000 getbad 0x80000
fresh
expect "open -> ok" "seek -> 0x7ff00" "read -> 0x100" "  ff*0x100" "read -> 0x0"
claim "reads are cut at the end and find nothing there" 0 "$want" "" -- nand "$drive" open ro seek 0x7ff00 set read 0x200 read 0x200
expect "open -> ok" "seek -> 0x20000" "seek -> 0x40000" "seek -> 0x7f000" "seek -> 0x80000" "seek -> -1 EINVAL" \
    "seek -> -1 EINVAL" "seek -> -1 EINVAL" "seek -> 0x80000"
claim "lseek stays within the partition" 0 "$want" "" -- nand "$drive" open ro seek 0x20000 set seek 0x20000 cur \
    seek -0x1000 end seek 0 end seek 0x80001 set seek -1 set seek 1 end seek 0 cur
expect "open -> ok" "erase -> -1 EINVAL" "erase -> -1 EINVAL" "erase -> -1 EINVAL" "erase -> -1 EINVAL" "erase -> 0" \
    "erase -> -1 EIO" "fsync -> -1 EINVAL"
claim "erase wants whole blocks and fails on a bad one" 0 "$want" "" -- nand "$drive" open rw erase 0x100 0x20000 \
    erase 0 0x100 erase 0x60000 0x40000 erase 0x80000 0x20000 erase 0 0 erase 0x20000 0x40000 fsync
expect "open -> ok" "write -> -1 EBADF" "erase -> -1 EPERM" "setbad -> -1 EPERM" "open -> ok" "read -> -1 EBADF"
claim "descriptors keep their access mode" 0 "$want" "" -- nand "$drive" open ro write 0x800 0 erase 0 0x20000 \
    setbad 0 open wo read 0x10
fresh
expect "open -> ok" "seek -> 0x800" "open -> ok" "read -> 0x10" "  ff*0x10" "seek -> 0x800" "close -> 0" "seek -> 0x10" "close -> 0"
claim "descriptors keep their own positions" 0 "$want" "" -- nand "$drive" open rw seek 0x800 set open ro read 0x10 \
    use 0 seek 0 cur close use 1 seek 0 cur close

# --- Bad blocks: marking erases the block and lasts
fresh
expect "open -> ok" "seek -> 0x20000" "write -> 0x800" "setbad -> 0" "getbad -> 1" "seek -> 0x20000" "read -> 0x800" \
    "  ff*0x800" "setbad -> 0"
claim "a marked block is erased and bad" 0 "$want" "" -- nand "$drive" open rw seek 0x20000 set write 0x800 0 \
    setbad 0x20004 getbad 0x20000 seek 0x20000 set read 0x800 setbad 0x20000
same ".bad lists each marked block once" "1" "$(cat "$img.bad")"
expect "open -> ok" "getbad -> 0" "getbad -> 1" "getbad -> 1" "getbad -> -1 EINVAL" "getbad -> -1 EINVAL" "erase -> -1 EIO"
claim "bad blocks persist beside the factory ones" 0 "$want" "" -- nand "$drive" open rw getbad 0 getbad 0x20000 \
    getbad 0x5ffff getbad 0x80000 getbad -0x20000 erase 0x20000 0x20000

# --- Faults
fresh
claim "MTDSIM_GETINFO_FAIL strikes from the Nth call on" 0 \
    $'open -> ok\ninfo -> type 4 flags 0x400 size 0x80000 erasesize 0x20000 writesize 0x800 oobsize 64\ninfo -> -1 ENOTTY\ninfo -> -1 ENOTTY\n' \
    "" -- nand MTDSIM_GETINFO_FAIL=2 "$drive" open ro info info info
expect "open -> ok" "getbad -> 0" "getbad -> -1 EIO" "getbad -> -1 EIO"
claim "MTDSIM_PROBE_ERROR lists blocks" 0 "$want" "" -- nand MTDSIM_PROBE_ERROR=1,3 "$drive" open ro getbad 0 getbad 0x20000 getbad 0x60000
claim "MTDSIM_PROBE_ERROR=all, inside the partition" 0 $'open -> ok\ngetbad -> -1 EIO\ngetbad -> -1 EINVAL\n' "" \
    -- nand MTDSIM_PROBE_ERROR=all "$drive" open ro getbad 0 getbad 0x80000
expect "open -> ok" "read -> 0x10" "  ff*0x10" "read -> -1 EIO" "read -> 0x10" "  ff*0x10" "seek -> 0x20"
claim "MTDSIM_READ_FAIL fails the Nth read" 0 "$want" "" -- nand MTDSIM_READ_FAIL=2:-1 "$drive" open ro read 0x10 read 0x10 read 0x10 seek 0 cur
claim "MTDSIM_READ_FAIL can answer 0" 0 $'open -> ok\nread -> 0x0\nseek -> 0x0\n' "" -- nand MTDSIM_READ_FAIL=1:0 "$drive" open ro read 0x10 seek 0 cur
expect "open -> ok" "seek -> 0x20000" "write -> 0x800" "erase -> -1 EPERM" "erase -> -1 EPERM" "seek -> 0x20000" \
    "read -> 0x800" "  ff*0x800" "getbad -> 0" "erase -> -1 EIO"
claim "MTDSIM_ERASE_FAIL erases the block, then fails, as nandsim does" 0 "$want" "" -- nand MTDSIM_ERASE_FAIL=1:EPERM,3:5 "$drive" open rw \
    seek 0x20000 set write 0x800 0 erase 0x20000 0x20000 erase 0 0x40000 seek 0x20000 set read 0x800 getbad 0x20000 erase 0x60000 0x20000
fresh
expect "open -> ok" "seek -> 0x1f800" "write -> -1 EIO" "seek -> 0x1f800" "read -> 0x1000" "  00*0x1000" "seek -> 0x60000" \
    "write -> 0x800" "seek -> 0x60800" "seek -> 0x60000" "read -> 0x1000" "  00*0x800 ff*0x800"
claim "MTDSIM_WRITE_FAIL: eio programs up to the failing page and fails, short writes one page" 0 "$want" "" -- nand MTDSIM_WRITE_FAIL=1:eio,3:short \
    "$drive" open rw seek 0x1f800 set write 0x1000 0 seek 0 cur read 0x1000 seek 0x60000 set write 0x1000 0 seek 0 cur \
    seek 0x60000 set read 0x1000
claim "MTDSIM_SETBAD_FAIL fails, yet the block is bad" 0 $'open -> ok\nsetbad -> -1 EIO\ngetbad -> 1\n' "" \
    -- nand MTDSIM_SETBAD_FAIL=1 "$drive" open rw setbad 0x20000 getbad 0x20000
same "and stays bad" "1" "$(cat "$img.bad")"

# --- The trace
fresh
nand MTDSIM_TRACE="$work/trace" MTDSIM_GETINFO_FAIL=2 "$drive" open rw info info getbad 0x40000 setbad 0x20000 \
    erase 0x20000 0x20000 erase 0 0x20000 write 0x800 0 write 0x100 0 seek -0x800 cur read 0x1000 seek 0 end \
    write 0x800 0 read 0x10 fsync close >/dev/null
nand MTDSIM_TRACE="$work/trace" MTDSIM_ABSENT=1 "$drive" open ro >/dev/null
expect "open O_RDWR" "getinfo" "getinfo -> -1 ENOTTY" "getbad 0x40000 -> 1" "setbad 0x20000 -> 0" \
    "erase 0x20000 0x20000 -> -1 EIO" "erase 0x0 0x20000 -> 0" "write 0x0 0x800 -> 0x800" "write 0x800 0x100 -> -1 EINVAL" \
    "lseek -0x800 SEEK_CUR -> 0x0" "read 0x0 0x1000 -> 0x1000" "lseek 0x0 SEEK_END -> 0x80000" \
    "write 0x80000 0x800 -> -1 ENOSPC" "read 0x80000 0x10 -> 0x0" "fsync -> -1 EINVAL" "close" "open -> -1 ENOENT"
same "the trace has a line a call" "${want%$'\n'}" "$(cat "$work/trace")"

# --- Every entry point a plain or a fortified 64-bit build calls
for drive in "$SIM_DRIVE" "$SIM_DRIVE64"; do
    for open in open openat; do
        fresh
        expect "$open -> ok" "seek -> 0x7f800" "write -> 0x800" "seek -> 0x7f800" "read -> 0x800" "  77*0x800" "close -> 0"
        claim "$open, read, write, lseek and close in ${drive##*/}" 0 "$want" "" -- nand "$drive" $open rw \
            seek -0x800 end write 0x800 0x77 seek 0x7f800 set read 0x800 close
    done
done

# --- The region a reader that steps over bad blocks sees
fresh
nand MTDSIM_TYPE=3 MTDSIM_SIZE=64 MTDSIM_ERASESIZE=16 "$SIM_DRIVE" open rw erase 0 64 write 16 0x41 write 16 0x42 \
    write 16 0x43 write 16 0x44 >/dev/null
echo 1 >"$img.bad"
claim "the region skips factory and marked bad blocks" 0 AAAAAAAAAAAAAAAADDDDDDDDDDDDDDDD "" \
    -- built MTDSIM_BAD=2 "$MTDSIM_REGION" "$img" 16 32
claim "and fails when the good blocks end first" 1 AAAAAAAAAAAAAAAADDDDDDDDDDDDDDDD "" \
    -- built MTDSIM_BAD=2 "$MTDSIM_REGION" "$img" 16 33
claim "mtdsim_region usage" 2 "" $'usage: mtdsim_region IMAGE ERASESIZE LENGTH\n' -- built "$MTDSIM_REGION" "$img" 0 16

finish
