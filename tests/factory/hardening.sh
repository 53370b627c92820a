#!/bin/bash
# SPDX-License-Identifier: MIT
# Hostile hardware and concurrent runs: uncorrectable reads, read-only partitions, and two
# runs on one partition at once.
. "$(dirname "$0")/flash_lib.sh"

# Uncorrectable data comes back from read without an error; the ECC count tells.
flash $PART
put 0x100 GOOD
put 0x20100 DAMAGED
export MTDSIM_ECC_FAIL=1
claim "a cell in a block with uncorrectable errors is not printed" 255 "" \
    $'cellshow: the cell at offset 131328 lies in flash with uncorrectable errors\n' -- show x $((0x20100))
claim "a cell in a sound block still is" 0 $'GOOD\n' "" -- show x 256
claim "cellrw r refuses the damaged cell too" 255 "" \
    $'cellrw: the cell at offset 131328 lies in flash with uncorrectable errors\n' -- rw r $((0x20100))
claim "cellrw w refuses to commit damaged data" 255 "" \
    $'cellrw: the factory data has uncorrectable errors; nothing written\n' -- rw w 256 NEW
same "nothing erased or written over damaged data" "" "$(trace | grep -E '^(erase|write)')"
put_raw 0x1fffc ABCD
claim "a cell whose NUL lies in the damaged block" 255 "" \
    $'cellshow: the cell at offset 131068 lies in flash with uncorrectable errors\n' -- show x $((0x1fffc))
unset MTDSIM_ECC_FAIL

# More separate damaged ranges than a load can tell apart: from the last one it keeps on,
# everything counts as damaged, even a sound block after the last damaged one. Blocks of
# 4 KiB, or smaller, so that the region has room for 36 ranges and sound blocks after them.
small=$((0x1000))
while [ $((REGION / small)) -lt 96 ]; do small=$((small / 2)); done
flash $REGION $small
put $((small + 0x100)) EARLY
put $((REGION - small)) LATE
export MTDSIM_ECC_FAIL=$(seq -s, 0 2 70)
claim "36 damaged ranges: a cell before the 32nd is printed" 0 $'EARLY\n' "" -- show x $((small + 0x100))
claim "36 damaged ranges: a sound cell after the last is still refused" 255 "" \
    "cellshow: the cell at offset $((REGION - small)) lies in flash with uncorrectable errors"$'\n' -- show x $((REGION - small))
unset MTDSIM_ECC_FAIL

# A read-only partition: readers open it read-only in any case, a writer cannot.
for refusal in EACCES EROFS; do
    flash $PART
    put 0 RO-CELL
    export MTDSIM_READONLY=$refusal
    claim "cellshow on a read-only partition ($refusal)" 0 $'RO-CELL\n' "" -- show x 0
    same "cellshow never asks for write access ($refusal)" "open O_RDONLY
flock LOCK_SH" "$(trace | head -n 2)"
    claim "cellrw r on a read-only partition ($refusal)" 0 "RO-CELL" "" -- rw r 0
    claim "cellrw w on a read-only partition ($refusal)" 255 "" \
        "mtd: $DEVICE open fail!!!"$'\ncellrw could not get factory data\n' -- rw w 0 X
    unset MTDSIM_READONLY
done

# Two writers at once: each commit is whole, one after the other.
flash $PART
put 1000 ORIGINAL
region >"$FLASH_DIR/original"
a=$(printf 'A%.0s' $(seq 200))
b=$(printf 'B%.0s' $(seq 100))
# after FILE TEXT: FILE with TEXT and a NUL at offset 1000, on stdout.
after() {
    cp "$1" "$FLASH_DIR/tmp"
    printf '%s\0' "$2" | dd of="$FLASH_DIR/tmp" bs=1 seek=1000 conv=notrunc status=none
    cat "$FLASH_DIR/tmp"
}
after "$FLASH_DIR/original" "$a" >"$FLASH_DIR/a"
after "$FLASH_DIR/original" "$b" >"$FLASH_DIR/b"
after "$FLASH_DIR/a" "$b" >"$FLASH_DIR/a-then-b"
after "$FLASH_DIR/b" "$a" >"$FLASH_DIR/b-then-a"
mixes=0
for round in $(seq 25); do
    flash $PART
    put 1000 ORIGINAL
    preloaded "$MTDSIM" "$CELLRW" w 1000 "$a" >/dev/null 2>&1 & first=$!
    preloaded "$MTDSIM" "$CELLRW" w 1000 "$b" >/dev/null 2>&1 & second=$!
    preloaded "$MTDSIM" "$CELLSHOW" x 1000 >"$FLASH_DIR/seen" 2>/dev/null & reader=$!
    wait $first; s1=$?
    wait $second; s2=$?
    wait $reader
    region >"$FLASH_DIR/now"
    if [ $s1 != 0 ] || [ $s2 != 0 ] || [ -n "$(unerased)" ] ||
        ! { cmp -s "$FLASH_DIR/now" "$FLASH_DIR/a-then-b" || cmp -s "$FLASH_DIR/now" "$FLASH_DIR/b-then-a"; }; then
        mixes=$((mixes + 1))
    fi
    case "$(cat "$FLASH_DIR/seen")" in
        ORIGINAL|"$a"|"$b") ;;
        *) mixes=$((mixes + 1)) ;;
    esac
done
same "two writers and a reader at once: whole commits, whole images seen" 0 "$mixes"
same "a writer takes the lock before it loads" "open O_RDWR
flock LOCK_EX" "$(rw w 1000 X >/dev/null 2>&1; trace | head -n 2)"

# A reader piped into a writer: erased flash has no NUL, so the cell is the whole region,
# more than a pipe holds. The reader takes its lock first; it must let go of it before it
# prints, or the writer waits for the lock while the reader waits for the writer to read.
flash $PART
tr '\0' '\377' </dev/zero | head -c $PART >"$MTDSIM_IMAGE"
# The pipeline gets a process group of its own, so that a hang can be ended whole.
set -m
(
    preloaded "$MTDSIM" "$CELLSHOW" x 0 | {
        until grep -q '^flock LOCK_SH' "$MTDSIM_TRACE" 2>/dev/null; do sleep 0.05; done
        preloaded "$MTDSIM" "$CELLRW" w 0 SN-1 >/dev/null 2>&1
        echo $? >"$FLASH_DIR/writer"
        cat >/dev/null
    }
) &
pipeline=$!
set +m
for i in $(seq 600); do
    kill -0 $pipeline 2>/dev/null || break
    sleep 0.1
done
if kill -0 $pipeline 2>/dev/null; then
    kill -- -$pipeline
    same "a reader piped into a writer: both finish" "finished" "hung"
else
    same "a reader piped into a writer: both finish, the commit done" 0 "$(cat "$FLASH_DIR/writer")"
fi

# The journal. A real one: a commit cut off by the power before its first write.
journal=$FLASH_DIR/journal/$JOURNAL_NAME
flash $PART
put 100 OLD-CELL
rw w 100 NEW-CELL >/dev/null 2>&1
first_write=$(device_calls | awk '$2 == "write" { print $1; exit }')
flash $PART
put 100 OLD-CELL
MTDSIM_CUT=$first_write rw w 100 NEW-CELL >/dev/null 2>&1
same "a commit cut off before its first write: the power went, the journal stays" "121 $JOURNAL_NAME" \
    "$? $(ls "$FACTORY_JOURNAL_DIR")"
cp -a "$journal" "$FLASH_DIR/cut.journal"
cp "$MTDSIM_IMAGE" "$FLASH_DIR/cut.image"
# cut_state: the flash and the journal as the cut left them.
cut_state() {
    flash $PART
    cp "$FLASH_DIR/cut.image" "$MTDSIM_IMAGE"
    cp -a "$FLASH_DIR/cut.journal" "$journal"
}
completing="cellshow: completing an interrupted commit from $journal"$'\n'"$(nand_commit)"
claim "cellshow completes the interrupted commit" 0 $'NEW-CELL\n' "$completing"$'\n' -- show x 100
same "the completed commit: the journal is gone" "" "$(ls -A "$FACTORY_JOURNAL_DIR")"
claim "the completed commit reads back" 0 "NEW-CELL" "" -- rw r 100

cut_state
export MTDSIM_READONLY=EACCES
claim "a read-only partition: cellshow answers from the journal" 0 $'NEW-CELL\n' \
    "cellshow: $DEVICE cannot be written: answering from the interrupted commit in $journal"$'\n' -- show x 100
same "a read-only partition: no erase, no write" "" "$(trace | grep -E '^(erase|write|setbad)')"
unset MTDSIM_READONLY
cut_state
export MTDSIM_READONLY=EBUSY
claim "a partition that will not open for writing: cellshow answers from the journal, and fails" 255 $'NEW-CELL\n' \
    "cellshow: $DEVICE cannot be opened for writing (Device or resource busy): answering from the interrupted commit in $journal"$'\n' -- show x 100
unset MTDSIM_READONLY
cut_state
export MTDSIM_GETINFO_FAIL=2
claim "a partition that will not give its geometry to the recovery: cellshow answers from the journal, and fails" 255 \
    $'NEW-CELL\n' $'Can\'t get mtd-info!\n' -- show x 100
same "a partition that will not give its geometry: the journal stays" "$JOURNAL_NAME" "$(ls "$FACTORY_JOURNAL_DIR")"
unset MTDSIM_GETINFO_FAIL
cut_state
export MTDSIM_WRITE_FAIL=all:ETIMEDOUT
show x 100 >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
same "completing fails: cellshow answers from the journal, and fails" $'255\nNEW-CELL' "$?
$(cat "$FLASH_DIR/out")"
same "completing fails: the journal stays" "$JOURNAL_NAME" "$(ls "$FACTORY_JOURNAL_DIR")"
claim "completing fails: cellrw w refuses to commit" 255 "" "$(sed -n 1p "$FLASH_DIR/err" | sed 's/^cellshow/cellrw/')
$(sed -n '2,$p' "$FLASH_DIR/err")
cellrw: the interrupted commit in $journal must be completed first; nothing written
cellrw could not get factory data
" -- rw w 100 OTHER
unset MTDSIM_WRITE_FAIL
cut_state
export MTDSIM_FILE_FAIL=unlink:EROFS
claim "a journal that cannot be removed: cellshow answers and fails" 255 $'NEW-CELL\n' \
    "$completing
cellshow: cannot remove $journal: Read-only file system
" -- show x 100
unset MTDSIM_FILE_FAIL
claim "the journal was marked removed: the next cellrw w has nothing to complete, and commits" 0 "" \
    "$(nand_commit)"$'\n' -- rw w 100 LATER
same "the later commit stands" "LATER" "$(rw r 100)"

# A removal whose directory sync fails may not last; a later commit without a journal must
# not be undone by the journal that a power cut brings back.
cut_state
MTDSIM_FILE_FAIL=dirsync:EIO show x 100 >/dev/null 2>"$FLASH_DIR/err"
same "a removal that may not last: cellshow completes and fails" "255 cellshow: cannot remove $journal: Input/output error" \
    "$? $(tail -n 1 "$FLASH_DIR/err")"
MTDSIM_FILE_FAIL=dirsync:EIO rw w 100 LATER >/dev/null 2>&1
same "a removal that may not last: a later commit without a journal exits 0" 0 $?
MTDSIM_CUT=1 show x 100 >/dev/null 2>&1
same "a removal that may not last: then the power goes" 121 $?
claim "the journal the power cut brought back is not replayed" 0 $'LATER\n' "" -- show x 100
same "the journal the power cut brought back is gone" "" "$(ls -A "$FACTORY_JOURNAL_DIR")"

# A journal that is there but cannot be opened or read: a reader says so and answers from
# the flash. (A read that fails is no journal cut short.)
for call in open read; do
    cut_state
    export MTDSIM_FILE_FAIL=$call:EIO
    region >"$FLASH_DIR/before"
    show x 100 >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
    same "a journal whose $call fails: cellshow says so and fails" "255 cellshow: cannot read $journal: Input/output error" \
        "$? $(cat "$FLASH_DIR/err")"
    claim "a journal whose $call fails: cellrw w commits nothing" 255 "" "cellrw: cannot read $journal: Input/output error
cellrw: cannot tell whether $journal holds an interrupted commit; nothing written
cellrw could not get factory data
" -- rw w 100 X
    unset MTDSIM_FILE_FAIL
    same "a journal whose $call fails: the flash and the journal are left alone" "$JOURNAL_NAME" \
        "$(region | cmp - "$FLASH_DIR/before"; ls "$FACTORY_JOURNAL_DIR")"
done

# One that cannot be read at the second look, once the reader holds the exclusive lock
# (its open, its header's read, its payload's): gone or not, it cannot tell, and answers
# from the journal as it first read it, and fails.
for call in open@2 read@3 read@4; do
    cut_state
    region >"$FLASH_DIR/before"
    export MTDSIM_FILE_FAIL=$call:EIO
    claim "a journal that cannot be read at the second look ($call): cellshow answers from the first, and fails" 255 \
        $'NEW-CELL\n' "cellshow: cannot read $journal: Input/output error"$'\n' -- show x 100
    unset MTDSIM_FILE_FAIL
    same "a journal that cannot be read at the second look ($call): the flash and the journal are left alone" \
        "$JOURNAL_NAME" "$(region | cmp - "$FLASH_DIR/before"; ls "$FACTORY_JOURNAL_DIR")"
done

# group_stopped GROUP: whether a process of process group GROUP is stopped.
group_stopped() {
    local stat state group
    for stat in /proc/[0-9]*/stat; do
        read -r _ _ state _ group _ <"$stat" 2>/dev/null || continue
        [ "$group" = "$1" ] && [ "$state" = T ] && return 0
    done
    return 1
}
# stopped_show ACTION...: cellshow x 100, which the simulator stops just after its first look
# at the journal (before its second device call); ACTION runs while it waits. Its status,
# output and messages are left in $FLASH_DIR/status, out and err.
stopped_show() {
    set -m
    (MTDSIM_SIGNAL=2:STOP show x 100 >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"; echo $? >"$FLASH_DIR/status") &
    local group=$! i
    set +m
    for i in $(seq 600); do group_stopped $group && break; sleep 0.05; done
    "$@"
    kill -CONT -- -$group
    wait $group
}
# The partitions renumbered while the reader let go of its lock: the node now answers for
# another partition, of another size. Nothing is written there, and the journal stays.
other_partition() {
    mv "$MTDSIM_IMAGE" "$FLASH_DIR/ours"
    yes OTHER | head -c $((2 * PART)) >"$MTDSIM_IMAGE"
    cp "$MTDSIM_IMAGE" "$FLASH_DIR/other"
}
cut_state
unset MTDSIM_SIZE
stopped_show other_partition
same "another partition behind the node by the reopen: cellshow refuses, and prints nothing" \
    "255 cellshow: $journal is no journal of this partition (it was written for another geometry); it is left in place" \
    "$(cat "$FLASH_DIR/status" "$FLASH_DIR/out") $(grep -v '^signal' "$FLASH_DIR/err")"
same "another partition behind the node: it is left alone, and the journal stays" "$JOURNAL_NAME" \
    "$(cmp "$MTDSIM_IMAGE" "$FLASH_DIR/other"; ls "$FACTORY_JOURNAL_DIR")"
export MTDSIM_SIZE=$PART
# The journal's directory must be an absolute path: a relative one names another
# directory from each working directory.
flash $PART
put 100 OLD-CELL
relative_dir() { (export FACTORY_JOURNAL_DIR=journal; "$@"); }
claim "a relative FACTORY_JOURNAL_DIR: cellshow refuses" 255 "" \
    $'cellshow: FACTORY_JOURNAL_DIR is not an absolute path: journal\n' -- relative_dir show x 100
claim "a relative FACTORY_JOURNAL_DIR: cellrw w commits nothing" 255 "" \
    $'cellrw: FACTORY_JOURNAL_DIR is not an absolute path: journal\ncellrw could not get factory data\n' -- relative_dir rw w 100 X
same "a relative FACTORY_JOURNAL_DIR: nothing erased or written" "" "$(trace | grep -E '^(erase|write)')"


# Journals that must never be replayed. Each is reported in one line and left in place; a
# reader answers from flash and fails, a writer commits nothing.
crc32() { gzip -c | tail -c 8 | head -c 4; }
# set_bytes FILE OFFSET PRINTF-FORMAT: overwrite bytes of FILE.
set_bytes() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# header_crc FILE: recompute the checksum of FILE's journal header.
header_crc() { head -c 100 "$1" | crc32 >"$FLASH_DIR/crc"; dd if="$FLASH_DIR/crc" of="$1" bs=1 seek=100 conv=notrunc status=none; }
# bad NAME KIND WHY MAKE...: a journal made by the command MAKE from a good one, "$journal".
bad() {
    local name=$1 kind=$2 why=$3 what=$journal
    shift 3
    flash $PART
    put 100 OLD-CELL
    region >"$FLASH_DIR/before"
    cp -a "$FLASH_DIR/cut.journal" "$journal"
    "$@"
    [ "$kind" = dir ] && what=$FACTORY_JOURNAL_DIR
    local line
    if [ "$kind" = invalid ]; then
        line="%s: $what is no journal of this partition ($why); it is left in place"
    else
        line="%s: $what is not to be trusted ($why); it is left in place"
    fi
    claim "$name: cellshow answers from flash, and fails" 255 $'OLD-CELL\n' "$(printf "$line" cellshow)"$'\n' -- show x 100
    claim "$name: cellrw w commits nothing" 255 "" "$(printf "$line" cellrw)
cellrw: the interrupted commit in $what must be completed first; nothing written
cellrw could not get factory data
" -- rw w 100 NEW
    same "$name: the flash is unchanged, the journal left in place" "" \
        "$(region | cmp - "$FLASH_DIR/before"; [ -e "$journal" ] || [ -L "$journal" ] || echo gone)"
    chmod 700 "$FACTORY_JOURNAL_DIR"
}
bad "a truncated journal" invalid "too short for a header" truncate -s 50 "$journal"
bad "a journal with the wrong magic" invalid "not a journal" set_bytes "$journal" 0 X
bad "a journal of another format version" invalid "a format version this build does not read" set_bytes "$journal" 8 '\2'
bad "a journal whose header is damaged" invalid "a damaged header" set_bytes "$journal" 81 '\1'
bad "a journal one byte short" invalid "a size that does not match its header" truncate -s -1 "$journal"
bad "a journal whose payload is damaged" invalid "a payload that does not match its checksum" set_bytes "$journal" 300 '\1'
# set_word FILE OFFSET N: overwrite the 32-bit field at OFFSET of FILE with N, little-endian.
set_word() { set_bytes "$1" "$2" "$(printf '\\%03o' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))"; }
# Another partition setting than the build's, in the header's field of 64 bytes.
other_setting=/dev/mtd3
[ "$SETTING" = /dev/mtd3 ] && other_setting=/dev/mtd7
other_device() { set_bytes "$journal" 16 "$(printf '%s' "$other_setting"; printf '\\0%.0s' $(seq $((64 - ${#other_setting}))))"; header_crc "$journal"; }
bad "a journal of another partition setting" invalid "it belongs to another partition setting" other_device
# A region one block larger or smaller: 0x40000 for 0x60000.
other_region() { set_word "$journal" 88 $((REGION ^ BLOCK)); header_crc "$journal"; }
bad "a journal of another region size" invalid "its sizes do not fit this build's region" other_region
other_size() { set_word "$journal" 80 $((PART * 2)); header_crc "$journal"; }
bad "a journal of a partition of another size" invalid "it was written for another geometry" other_size
# And one replaced by one of another geometry by the second look: it is not replayed.
cut_state
stopped_show other_size
same "a journal of another geometry by the second look: cellshow refuses it" \
    "255 cellshow: $journal is no journal of this partition (it was written for another geometry); it is left in place" \
    "$(cat "$FLASH_DIR/status") $(cat "$FLASH_DIR/err")"
same "a journal of another geometry by the second look: nothing erased or written" "" \
    "$(trace | grep -E '^(erase|write|setbad)')"

a_directory() { rm "$journal"; mkdir "$journal"; }
bad "a directory in the journal's place" untrusted "not a plain file" a_directory
a_link() { rm "$journal"; ln -s "$FLASH_DIR/cut.journal" "$journal"; }
bad "a symbolic link in the journal's place" untrusted "a symbolic link" a_link
linked_dir() { mv "$FACTORY_JOURNAL_DIR" "$FLASH_DIR/real-journal"; ln -s real-journal "$FACTORY_JOURNAL_DIR"; }
bad "a journal in a directory that is a symbolic link" dir "a symbolic link" linked_dir
bad "a journal others may write" untrusted "writable by group or others" chmod 666 "$journal"
bad "a journal in a directory others may write" dir "writable by group or others" chmod 777 "$FACTORY_JOURNAL_DIR"
if [ "$(id -u)" = 0 ]; then
    bad "a journal of another owner" untrusted "owned by another user" chown 65534 "$journal"
fi

# What a commit does when it cannot keep a journal: it warns and goes on.
# no_journal NAME WHY [VAR=VALUE...]: cellrw w commits, one warning line first.
no_journal() {
    local name=$1 why=$2 setting
    shift 2
    flash $PART
    for setting in "$@"; do export "$setting"; done
    expect_region 100 UNJOURNALED
    claim "$name: cellrw w warns and commits" 0 "" \
        "cellrw: warning: no journal in $FACTORY_JOURNAL_DIR ($why); a power cut during this commit would lose the factory data
$(nand_commit)
" -- rw w 100 UNJOURNALED
    for setting in "$@"; do unset "${setting%%=*}"; done
    committed "$name"
    same "$name: no journal or temporary file left" "" "$(ls -A "$FACTORY_JOURNAL_DIR" 2>/dev/null)"
}
no_journal "a journal directory whose parent is missing" "No such file or directory" \
    FACTORY_JOURNAL_DIR=$FLASH_DIR/missing/journal
no_journal "a journal that cannot be written" "write: No space left on device" MTDSIM_FILE_FAIL=write:ENOSPC
no_journal "a journal that cannot be synced" "sync: Input/output error" MTDSIM_FILE_FAIL=fsync:EIO
no_journal "a journal that cannot be renamed" "rename: Read-only file system" MTDSIM_FILE_FAIL=rename:EROFS
no_journal "a journal directory that cannot be synced" "sync of the directory: Input/output error" \
    MTDSIM_FILE_FAIL=dirsync:EIO
touch "$CLAIM_DIR/a-file"
no_journal "a journal directory that is a file" "not a directory" FACTORY_JOURNAL_DIR=$CLAIM_DIR/a-file

flash $PART
export MTDSIM_FILE_FAIL=write:short
expect_region 100 IN-PIECES
claim "a journal the file system takes in pieces is written whole" 0 "" \
    "$(nand_commit)"$'\n' -- rw w 100 IN-PIECES
unset MTDSIM_FILE_FAIL
committed "a journal taken in pieces"

# A journal on a file system that a power cut empties still serves against a killed
# process: it is kept, with a warning.
for fs in tmpfs ramfs; do
    flash $PART
    export MTDSIM_JOURNAL_FS=$fs
    expect_region 100 VOLATILE
    claim "a journal directory on $fs: cellrw w warns and commits" 0 "" \
        "cellrw: warning: the journal in $FACTORY_JOURNAL_DIR is on a file system that does not survive a power cut
$(nand_commit)
" -- rw w 100 VOLATILE
    unset MTDSIM_JOURNAL_FS
    committed "a journal directory on $fs"
    same "a journal directory on $fs: the journal is gone after the commit" "" "$(ls -A "$FACTORY_JOURNAL_DIR")"
done

flash $PART
rmdir "$FACTORY_JOURNAL_DIR"
expect_region 100 MADE
claim "a missing journal directory is made" 0 "" "$(nand_commit)"$'\n' -- rw w 100 MADE
same "a missing journal directory is made, mode 0700, and left empty" "700" "$(stat -c %a "$FACTORY_JOURNAL_DIR"; ls -A "$FACTORY_JOURNAL_DIR")"

flash $PART
put 100 OLD-CELL
touch "$journal.tmp"
claim "a leftover temporary file: cellshow goes on" 0 $'OLD-CELL\n' "" -- show x 100
same "a leftover temporary file is removed" "" "$(ls -A "$FACTORY_JOURNAL_DIR")"
export MTDSIM_FILE_FAIL=open:EACCES
claim "a journal directory a reader may not look into: it goes on silently" 0 $'OLD-CELL\n' "" -- show x 100
claim "a writer that may not look commits nothing" 255 "" "cellrw: cannot read $journal: Permission denied
cellrw: cannot tell whether $journal holds an interrupted commit; nothing written
cellrw could not get factory data
" -- rw w 100 X
unset MTDSIM_FILE_FAIL

finish
