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
expect "open -> ok" "info -> type 8 flags 0x400 size 0x80000 erasesize 0x20000 writesize 0x800 oobsize 64" \
    "getbad -> 1" "write -> -1 EINVAL" "setbad -> 0" "getbad -> 1"
claim "MLC NAND is NAND: bad blocks, whole pages, marks" 0 "$want" "" -- nand MTDSIM_TYPE=8 "$drive" open rw info \
    getbad 0x40000 write 0x100 0 setbad 0x20000 getbad 0x20000

fresh
head -c $((0x20000)) /dev/zero >"$img"
expect "open -> ok" "info -> type 4 flags 0x400 size 0x20000 erasesize 0x20000 writesize 0x800 oobsize 64"
claim "the size defaults to the image's" 0 "$want" "" -- sim MTDSIM_IMAGE="$img" "$drive" open ro info
expect "open -> ok" "read -> 0x40000" "  00*0x20000 ff*0x20000"
claim "a short image is extended with erased bytes" 0 "$want" "" -- nand MTDSIM_SIZE=0x40000 "$drive" open ro read 0x40000

# --- The device's path, and the MTD name files of a test's own layout
fresh
claim "MTDSIM_DEVICE names the one path answered for" 0 $'open -> ok\ncat -> -1 ENOENT\n' "" \
    -- nand MTDSIM_DEVICE=/dev/mtd3 "$drive" open ro cat /dev/mtd7
mkdir -p "$work/names/sys/class/mtd/mtd0" "$work/names/sys/class/mtd/mtd3" "$work/names/proc"
echo "u-boot" >"$work/names/sys/class/mtd/mtd0/name"
echo "NAND simulator partition 3" >"$work/names/sys/class/mtd/mtd3/name"
printf 'dev:    size   erasesize  name\nmtd3: 00080000 00020000 "factory"\n' >"$work/names/proc/mtd"
expect "dir -> mtd0 mtd3" "NAND simulator partition 3" "dev:    size   erasesize  name" 'mtd3: 00080000 00020000 "factory"'
claim "MTDSIM_SYSFS moves /sys/class/mtd and /proc/mtd under its directory" 0 "$want" "" \
    -- sim MTDSIM_SYSFS="$work/names" "$drive" dir /sys/class/mtd cat /sys/class/mtd/mtd3/name cat /proc/mtd
claim "so a layout without sysfs has none" 0 $'dir -> -1 ENOENT\n' "" -- sim MTDSIM_SYSFS="$work/names/proc" "$drive" dir /sys/class/mtd

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
expect "open -> ok" "seek -> 0x20000" "write -> 0x800" "erase -> -1 EIO" "seek -> 0x20000" "read -> 0x800" "  ff*0x800" \
    "getbad -> 0" "erase -> -1 EIO"
claim "MTDSIM_ERASE_FAIL=B:EIO erases the block, then fails, as nandsim does" 0 "$want" "" -- nand MTDSIM_ERASE_FAIL=1:EIO,3:5 \
    "$drive" open rw seek 0x20000 set write 0x800 0 erase 0x20000 0x20000 seek 0x20000 set read 0x800 getbad 0x20000 \
    erase 0x60000 0x20000
fresh
expect "open -> ok" "seek -> 0x1f800" "write -> 0x1000" "erase -> -1 EPERM" "seek -> 0x1f800" "read -> 0x1000" \
    "  ff*0x800 00*0x800" "erase -> -1 EROFS"
claim "any other errno refuses the erase and leaves the block as it was" 0 "$want" "" -- nand MTDSIM_ERASE_FAIL=1:EPERM,3:30 \
    "$drive" open rw seek 0x1f800 set write 0x1000 0 erase 0 0x40000 seek 0x1f800 set read 0x1000 erase 0x60000 0x20000
fresh
expect "open -> ok" "seek -> 0x1f800" "write -> -1 EIO" "seek -> 0x1f800" "read -> 0x1000" "  00*0x1000" "seek -> 0x60000" \
    "write -> 0x800" "seek -> 0x60800" "seek -> 0x60000" "read -> 0x1000" "  00*0x800 ff*0x800"
claim "MTDSIM_WRITE_FAIL: eio programs up to the failing page and fails, short writes one page" 0 "$want" "" -- nand MTDSIM_WRITE_FAIL=1:eio,3:short \
    "$drive" open rw seek 0x1f800 set write 0x1000 0 seek 0 cur read 0x1000 seek 0x60000 set write 0x1000 0 seek 0 cur \
    seek 0x60000 set read 0x1000
fresh
expect "open -> ok" "erase -> 0" "seek -> 0x1f800" "write -> -1 EROFS" "seek -> 0x1f800" "read -> 0x1000" "  ff*0x1000" \
    "seek -> 0x800" "write -> -1 EIO" "seek -> 0x800" "read -> 0x1000" "  00*0x800 ff*0x800" "seek -> 0x60000" \
    "write -> -1 ETIMEDOUT"
claim "MTDSIM_WRITE_FAIL: another errno refuses, before EIO, and programs nothing" 0 "$want" "" \
    -- nand MTDSIM_WRITE_FAIL=0:5,1:EROFS,3:ETIMEDOUT "$drive" open rw erase 0 0x40000 seek 0x1f800 set write 0x1000 0 \
    seek 0 cur read 0x1000 seek 0x800 set write 0x800 0 seek 0 cur read 0x1000 seek 0x60000 set write 0x800 0
fresh
expect "open -> ok" "erase -> -1 EIO" "seek -> 0x60000" "write -> -1 EIO" "seek -> 0x60000" "read -> 0x1000" \
    "  00*0x800 ff*0x800"
claim "all: every erase and write of a failing chip fails" 0 "$want" "" -- nand MTDSIM_ERASE_FAIL=all:EIO MTDSIM_WRITE_FAIL=all:EIO \
    "$drive" open rw erase 0x60000 0x20000 seek 0x60000 set write 0x1000 0 seek 0 cur read 0x1000
claim "all: a protected chip refuses both" 0 $'open -> ok\nerase -> -1 EROFS\nwrite -> -1 EROFS\n' "" \
    -- nand MTDSIM_ERASE_FAIL=all:EROFS MTDSIM_WRITE_FAIL=all:EROFS "$drive" open rw erase 0 0x20000 write 0x800 0
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

# --- Signals and power cuts before the Nth read, write or ioctl of the process
fresh
# The shell reports on stderr the signal that ended a program; only the status matters.
expect "open -> ok" "info -> type 4 flags 0x400 size 0x80000 erasesize 0x20000 writesize 0x800 oobsize 64" "seek -> 0x0" \
    "read -> 0x10" "  ff*0x10" "status 143"
same "MTDSIM_SIGNAL raises the signal before call N" "$want" "$(nand MTDSIM_SIGNAL=3:TERM MTDSIM_TRACE="$work/trace" \
    "$drive" open ro info seek 0 set read 0x10 info 2>/dev/null; echo "status $?")"
same "and the trace says so" "signal TERM" "$(tail -n 1 "$work/trace")"
rm -f "$work/trace"
expect "open -> ok" "fsync -> -1 EINVAL" "seek -> 0x0" "erase -> -1 EPERM" "pending -> HUP,TERM" "seek -> 0x0" \
    "read -> 0x10" "  ff*0x10" "pending -> HUP,INT,TERM"
claim "a held signal waits, and the call goes on" 0 "$want" "" -- nand MTDSIM_SIGNAL=1:TERM,1:1,2:INT MTDSIM_TRACE="$work/trace" \
    "$drive" block TERM block HUP block INT open ro fsync seek 0 set erase 0 0x20000 pending seek 0 set read 0x10 pending
expect "open O_RDONLY" "fsync -> -1 EINVAL" "lseek 0x0 SEEK_SET -> 0x0" "signal TERM" "signal HUP" "erase 0x0 0x20000 -> -1 EPERM" \
    "lseek 0x0 SEEK_SET -> 0x0" "signal INT" "read 0x0 0x10 -> 0x10"
same "open, lseek and fsync are not counted" "${want%$'\n'}" "$(cat "$work/trace")"

fresh
rm -f "$work/trace"
claim "MTDSIM_CUT ends the process before call N with status 121" 121 $'open -> ok\nerase -> 0\nwrite -> 0x800\n' "" \
    -- nand MTDSIM_CUT=3 MTDSIM_TRACE="$work/trace" "$drive" open rw erase 0 0x20000 write 0x800 0x0f write 0x800 0 read 1
expect "open O_RDWR" "erase 0x0 0x20000 -> 0" "write 0x0 0x800 -> 0x800" "cut"
same "the trace ends with the cut" "${want%$'\n'}" "$(cat "$work/trace")"
rm -f "$work/trace"
claim ":half programs the first half of a write's pages" 121 $'open -> ok\nseek -> 0x800\n' "" \
    -- nand MTDSIM_CUT=1:half MTDSIM_TRACE="$work/trace" "$drive" open rw seek 0x800 set write 0x2800 0
same "and the trace shows how far it got" $'write 0x800 0x2800 -> cut after 0x1000\ncut' "$(tail -n 2 "$work/trace")"
nand MTDSIM_CUT=1:half "$drive" open rw seek 0x4000 set write 0x800 0 >/dev/null
nand MTDSIM_TYPE=3 MTDSIM_CUT=1:half "$drive" open rw seek 0x5000 set write 5 0 >/dev/null
expect "open -> ok" "read -> 0x6000" "  0f*0x800 00*0x1000 ff*0x3800 00*0x2 ff*0xffe"
claim "flash keeps what came before: half of one page is none, half of 5 NOR bytes is 2" 0 "$want" "" \
    -- nand "$drive" open ro read 0x6000

# --- The journal directory: a power cut keeps only what was made durable
jdir=$work/journal
# A new partition and an empty journal directory; runs under the simulator that follow it.
fresh_journal() { fresh; rm -rf "$jdir" "$work/files" "$work/trace"; mkdir -p "$jdir"; }
journal() { nand FACTORY_JOURNAL_DIR="$jdir" "$@"; }
# The journal directory's files, one line each: "NAME: what it holds".
files() { local f; for f in "$jdir"/*; do [ -f "$f" ] && printf '%s: %s\n' "${f##*/}" "$(cat "$f")"; done; }
sixteen=AAAAAAAAAAAAAAAA

fresh_journal
rmdir "$jdir"
expect "mkdir -> 0" "file -> ok" "fileat -> ok" "write -> 0x10" "fsync -> 0" "close -> 0" "renameat -> 0" "fsync -> 0" \
    "open -> ok"
claim "a journal written, synced, renamed and its directory synced survives a cut" 121 "$want" "" \
    -- journal MTDSIM_CUT=1 MTDSIM_TRACE="$work/trace" MTDSIM_FILE_TRACE="$work/files" "$drive" mkdir "$jdir" \
    file "$jdir" rd fileat J.tmp wcxn write 16 0x41 fsync close use 0 renameat J.tmp J fsync open ro info
same "whole" "J: $sixteen" "$(files)"
same "the device trace has only the device's calls" $'open O_RDONLY\ncut' "$(cat "$work/trace")"
expect "mkdir . -> 0" "open . O_RDONLY|O_DIRECTORY" "open J.tmp O_WRONLY|O_CREAT|O_EXCL|O_NOFOLLOW" "write J.tmp 0x10 -> 0x10" \
    "fsync J.tmp -> 0" "close J.tmp" "rename J.tmp J -> 0" "fsync . -> 0"
same "MTDSIM_FILE_TRACE has the journal's" "${want%$'\n'}" "$(cat "$work/files")"
rm -f "$work/trace"
journal MTDSIM_TRACE="$work/trace" MTDSIM_FILE_TRACE="$work/trace" "$drive" file "$jdir/J" w write 1 0x42 open ro info \
    use 0 fsync >/dev/null
expect "open J O_WRONLY" "write J 0x1 -> 0x1" "open O_RDONLY" "getinfo" "fsync J -> 0"
same "and can share the device's, in the order of the calls" "${want%$'\n'}" "$(cat "$work/trace")"

fresh_journal
journal MTDSIM_CUT=1 "$drive" file "$jdir/J.tmp" wcxn write 16 0x41 close rename "$jdir/J.tmp" "$jdir/J" file "$jdir" rd \
    fsync open ro info >/dev/null
same "without the file's fsync it is empty after a cut" "J: " "$(files)"
fresh_journal
journal MTDSIM_CUT=1 "$drive" file "$jdir/J.tmp" wcxn write 16 0x41 fsync close file "$jdir" rd fsync \
    rename "$jdir/J.tmp" "$jdir/J" open ro info >/dev/null
same "without the directory's fsync a rename is undone" "J.tmp: $sixteen" "$(files)"
fresh_journal
echo factory >"$jdir/J"
journal MTDSIM_CUT=1 "$drive" unlink "$jdir/J" open ro info >/dev/null
same "and so is an unlink; a file written by hand is durable as it is" "J: factory" "$(files)"
journal MTDSIM_CUT=1 "$drive" file "$jdir/J.tmp" wcxn write 16 0x41 fsync close rename "$jdir/J.tmp" "$jdir/J" \
    open ro info >/dev/null
same "a rename over a durable file is undone with the old data" "J: factory" "$(files)"
journal "$drive" file "$jdir/K" wcxn write 16 0x41 fsync close file "$jdir" rd fsync >/dev/null
rm "$jdir/K"
journal MTDSIM_CUT=1 "$drive" open ro info >/dev/null
same "a durable file removed by hand stays removed" "J: factory" "$(files)"

fresh_journal
journal "$drive" file "$jdir/J" wcxn write 16 0x41 fsync close >/dev/null
same "a normal exit loses nothing" "J: $sixteen" "$(files)"
journal MTDSIM_CUT=1 "$drive" open ro info >/dev/null
same "but makes nothing durable: a later process's cut takes the unsynced entry" "" "$(files)"
journal "$drive" file "$jdir/J" wcxn write 16 0x41 fsync close file "$jdir" rd fsync >/dev/null
journal "$drive" file "$jdir/J" wt write 8 0x42 close >/dev/null
journal MTDSIM_CUT=1 "$drive" open ro info >/dev/null
same "and the unsynced rewrite of a durable file" "J: $sixteen" "$(files)"

fresh_journal
expect "file -> ok" "write -> 0x8" "fsync -> -1 EIO" "fdatasync -> -1 EIO" "close -> 0" "rename -> -1 EXDEV" \
    "unlink -> -1 EPERM" "mkdir -> -1 EROFS" "file -> ok" "fsync -> -1 ENOSPC" "file -> ok" "open -> ok"
claim "MTDSIM_FILE_FAIL fails each call on the directory and its files, and does nothing" 121 "$want" "" \
    -- journal MTDSIM_CUT=1 MTDSIM_FILE_FAIL=write:short,fsync:EIO,dirsync:ENOSPC,rename:EXDEV,unlink:EPERM,mkdir:EROFS \
    "$drive" file "$jdir/J" wcxn write 16 0x41 fsync fdatasync close rename "$jdir/J" "$jdir/K" unlink "$jdir/J" \
    mkdir "$jdir/sub" file "$jdir" rd fsync file "$work/other" wc open ro info
same "so nothing was durable" "" "$(files)"
fresh_journal
journal MTDSIM_CUT=1 MTDSIM_FILE_FAIL=fsync:EIO "$drive" file "$jdir/J" wcxn write 16 0x41 fsync close file "$jdir" rd \
    fsync open ro info >/dev/null
same "a failed fsync makes no data durable" "J: " "$(files)"
claim "MTDSIM_FILE_FAIL=open fails the directory's opens too" 0 $'file -> -1 EACCES\nfile -> -1 EACCES\n' "" \
    -- journal MTDSIM_FILE_FAIL=open:EACCES "$drive" file "$jdir" rd file "$jdir/J" r

for drive in "$SIM_DRIVE" "$SIM_DRIVE64"; do
    for fs in ext4:0xef53 tmpfs:0x1021994 ramfs:0x858458f6; do
        expect "statfs -> type ${fs#*:}" "statfs -> type ${fs#*:}" "file -> ok" "fstatfs -> type ${fs#*:}" "statfs -> type 0x9fa0"
        claim "the journal directory and its files are on ${fs%:*} in ${drive##*/}" 0 "$want" "" \
            -- journal MTDSIM_JOURNAL_FS=${fs%:*} "$drive" statfs "$jdir" statfs "$jdir/../journal/J" file "$jdir" rd fstatfs \
            statfs /proc
    done
done
drive=$SIM_DRIVE

# --- Bad settings: one line, and no device
while IFS='|' read -r setting message; do
    claim "$setting is refused" 0 $'open -> -1 EINVAL\n' "mtdsim: $message"$'\n' -- nand "$setting" "$drive" open ro
done <<EOF
MTDSIM_WRITE_FAIL=1:EBOGUS|MTDSIM_WRITE_FAIL is not a list of block:answer pairs: 1:EBOGUS
MTDSIM_ERASE_FAIL=all|MTDSIM_ERASE_FAIL is not a list of block:answer pairs: all
MTDSIM_SIGNAL=all:TERM|MTDSIM_SIGNAL is not a list of call:signal pairs: all:TERM
MTDSIM_SIGNAL=1:SIGTERM|MTDSIM_SIGNAL is not a list of call:signal pairs: 1:SIGTERM
MTDSIM_CUT=0|MTDSIM_CUT is not N or N:half: 0
MTDSIM_CUT=3:most|MTDSIM_CUT is not N or N:half: 3:most
MTDSIM_JOURNAL_FS=xfs|MTDSIM_JOURNAL_FS is not ext4, tmpfs or ramfs: xfs
MTDSIM_FILE_FAIL=chmod:EIO|MTDSIM_FILE_FAIL is not a list of call:answer pairs: chmod:EIO
MTDSIM_FILE_FAIL=fsync:short|MTDSIM_FILE_FAIL is not a list of call:answer pairs: fsync:short
FACTORY_JOURNAL_DIR=$work/./|FACTORY_JOURNAL_DIR holds the image; the journal needs a directory of its own: $work/./
EOF

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
