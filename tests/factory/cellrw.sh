#!/bin/bash
# SPDX-License-Identifier: MIT
# cellrw under the simulated partition: output, messages, exit status, device calls and
# what ends up on flash.
. "$(dirname "$0")/flash_lib.sh"

usage=$'cellrw r[read] [offset]\ncellrw w[write] [offset] [value]\n'
claim "no argument: usage" 255 "" "$usage" -- rw
claim "one argument: usage" 255 "" "$usage" -- rw r
same "usage touches no device" "" "$(trace)"

flash $PART
put 512 SN123
put 600 '50%s%n'
claim "r prints the cell without a newline" 0 "SN123" "" -- rw r 512
claim "a cell with % is printed unchanged" 0 '50%s%n' "" -- rw r 600
put 0 ZERO
claim "a non-numeric offset reads offset 0" 0 "ZERO" "" -- rw r abc
claim "\"read\" is not a command word: the region is loaded, nothing else" 0 "" "" -- rw read 0
same "\"read\" only loads, read-only" "open O_RDONLY
flock LOCK_SH
getinfo
$(load_calls $REGION)
close
" "$(trace)"
claim "w without a value fails silently after the load" 255 "" "" -- rw w 512
same "w without a value writes nothing" "" "$(trace | grep -E '^(erase|write)')"

for off in -1 $REGION 4294967296 18446744073709551616; do
    claim "r at offset $off is refused" 255 "" "cellrw: offset $off is outside the factory region"$'\n' -- rw r "$off"
    claim "w at offset $off is refused" 255 "" "cellrw: offset $off is outside the factory region"$'\n' -- rw w "$off" X
done
claim "a value that runs past the region is refused" 255 "" \
    "cellrw: a value of 2 characters at offset $((REGION - 2)) does not fit in the factory region"$'\n' -- rw w $((REGION - 2)) AB
v256=$(printf 'v%.0s' $(seq 256))
claim "a value of 256 characters is refused" 255 "" $'cellrw: a value of 256 characters is longer than 255\n' -- rw w 0 "$v256"
same "refused cells erase and write nothing" "" "$(trace | grep -E '^(erase|write)')"

flash $PART
export MTDSIM_ABSENT=1
claim "missing device" 255 "" "mtd: $DEVICE open fail!!!"$'\ncellrw could not get factory data\n' -- rw r 0
unset MTDSIM_ABSENT
export MTDSIM_GETINFO_FAIL=1
claim "MEMGETINFO failing at the load" 255 "" $'Can\'t get mtd-info!\ncellrw could not get factory data\n' -- rw r 0
unset MTDSIM_GETINFO_FAIL

# Clean blocks, as many as the region touches.
flash $PART
expect_region 512 ABC
claim "w on clean NAND" 0 "" "$(nand_commit)"$'\n' -- rw w 512 ABC
committed "clean NAND"
same "clean NAND: load, erase the region's blocks, write them with fsync, check" "open O_RDWR
flock LOCK_EX
getinfo
$(load_calls $COMMIT)
getinfo
$(for block in $(blocks_of $COMMIT); do printf 'getbad %s -> 0\nerase %s 0x20000 -> 0\n' $block $block; done)
lseek 0x0 SEEK_SET -> 0x0
getinfo
lseek 0x0 SEEK_SET -> 0x0
$(for block in $(blocks_of $COMMIT); do
    printf 'getbad %s -> 0\nlseek 0x0 SEEK_CUR -> %s\nwrite %s 0x20000 -> 0x20000\nfsync -> -1 EINVAL\n' $block $block $block
done)
fsync -> -1 EINVAL
getinfo
$(load_calls $COMMIT)
close
" "$(trace)"
claim "the stored cell reads back with r" 0 "ABC" "" -- rw r 512
claim "the stored cell reads back with cellshow" 0 $'ABC\n' "" -- show x 512
same "the block past the region is untouched" "blk${REGION_BLOCKS}blk$REGION_BLOCKS" \
    "$(dd if="$MTDSIM_IMAGE" bs=1 skip=$COMMIT count=8 status=none)"

# The first block is bad: everything shifts by one block.
flash $PART
export MTDSIM_BAD=0
expect_region 0 FIRST
claim "w with the first block bad" 0 "" "$(probe_line 0; echo 'bad block at 00000000 bad'
    for block in $(blocks_of $COMMIT); do good_write $((block + BLOCK)); done)"$'\n' -- rw w 0 FIRST
committed "first block bad"
same "first block bad: the eraser steps over it silently" \
    "$(for block in $(blocks_of $COMMIT); do echo "erase $(hex $((block + BLOCK))) 0x20000 -> 0"; done)" "$(trace | grep erase)"
same "image byte 0 lands at 0x20000" "FIRST" "$(dd if="$MTDSIM_IMAGE" bs=1 skip=$((0x20000)) count=5 status=none)"

# A write failing in the second block: marked, and its data goes to the next block; the
# data of the region's last block goes past the blocks erased, and that block is erased
# first. The partition has five blocks to spare.
spare5=$((COMMIT + 5 * BLOCK))
flash $spare5
export MTDSIM_WRITE_FAIL=1:eio
expect_region 70000 MOVED
claim "a write failing in the second block: marked once the next write works" 0 "" "$(good_write 0; good_write 0x20000
    echo 'write size(-1) != len(131072), badblock!!'
    for block in $(blocks_of $COMMIT | tail -n +2); do
        good_write $((block + BLOCK))
        [ $block = 0x20000 ] && echo 'Marking block at 00020000 bad'
    done)"$'\n' -- rw w 70000 MOVED
unset MTDSIM_WRITE_FAIL
committed "write failure"
same "write failure: the block is marked, the last block erased before its write" "$(
    for block in $(blocks_of $COMMIT | tail -n +2); do
        [ $((block + BLOCK)) = $COMMIT ] && echo "erase $(hex $COMMIT) 0x20000 -> 0"
        echo "write $(hex $((block + BLOCK))) 0x20000 -> 0x20000"
        [ $block = 0x20000 ] && echo 'setbad 0x20000 -> 0'
    done)" "$(trace | sed '1,/^write 0x20000 0x20000 -> -1 EIO$/d' | grep -E '^(setbad|erase|write)')"
claim "the marked block stays bad for later runs" 0 "MOVED" "" -- rw r 70000

flash $spare5
export MTDSIM_WRITE_FAIL=0:short MTDSIM_SETBAD_FAIL=1
expect_region 1 SHORT
rw w 1 SHORT >/dev/null 2>"$FLASH_DIR/err"
same "a short write whose block cannot be marked" "write size(2048) != len(131072), badblock!!
Marking block at 00000000 bad
MEMSETBADBLOCK: Input/output error
" "$(grep -E '^(write size|Marking|MEMSET)' "$FLASH_DIR/err")"
unset MTDSIM_WRITE_FAIL MTDSIM_SETBAD_FAIL
committed "short write"

# NOR: a failed write stops the commit, which is a failure; what it erased is written back,
# checked, and the image kept in the journal for the next run.
flash $PART 0x20000 3
export MTDSIM_WRITE_FAIL=1:eio
# The blocks of the region after the second, erased and so written back, one a line.
back=$(for block in $(blocks_of $COMMIT | tail -n +3); do nor_line $block; done)
claim "NOR write failure" 255 "" "$(nor_line 0; nor_line 0x20000)
write size(-1) != len(131072), badblock!!
i = -1 Input/output error
${back:+$back
}[mtd_check_region] flash differs from the image at offset 0x20001
cellrw: the image being written is kept in $FACTORY_JOURNAL_DIR/$JOURNAL_NAME
" -- rw w 0 NOR
unset MTDSIM_WRITE_FAIL
same "NOR write failure: the blank blocks after the failed one written back" "write 0x0 0x20000 -> 0x20000
write 0x20000 0x20000 -> -1 EIO
$(for block in $(blocks_of $COMMIT | tail -n +3); do echo "write $block 0x20000 -> 0x20000"; done)
" "$(trace | grep ^write)"
claim "NOR write failure: the next reader completes the commit" 0 $'NOR\n' \
    "cellshow: completing an interrupted commit from $FACTORY_JOURNAL_DIR/$JOURNAL_NAME
$(nor_commit)
" -- show x 0
same "NOR write failure: the journal is gone once the commit is complete" "" "$(ls -A "$FACTORY_JOURNAL_DIR")"

flash $PART 0x20000 3
export MTDSIM_WRITE_FAIL=1:short
rw w 0 NOR >/dev/null 2>"$FLASH_DIR/err"
unset MTDSIM_WRITE_FAIL
same "NOR short write: the cause line names no stale error" "write size(1) != len(131072), badblock!!
i = 1 Success" "$(grep -E '^(write size|i = )' "$FLASH_DIR/err")"

flash $PART 0x20000 3
expect_region 5 NORCELL
claim "w on NOR" 0 "" "$(nor_commit)"$'\n' -- rw w 5 NORCELL
committed "NOR"
same "NOR: no bad-block request" "" "$(trace | grep -E 'getbad|setbad')"

# An erase that wears out a NAND block marks it and goes on; any other failure stops.
flash $spare5
export MTDSIM_ERASE_FAIL=1:EIO
expect_region 9 WORN
claim "an erase failing with EIO on NAND" 0 "" "$(printf 'erase failure!\nMarking block at 00020000 bad\n'; good_write 0
    probe_line 0x20000; echo 'bad block at 00020000 bad'
    for block in $(blocks_of $COMMIT | tail -n +2); do good_write $((block + BLOCK)); done)"$'\n' -- rw w 9 WORN
unset MTDSIM_ERASE_FAIL
committed "worn block"
# A refused erase (a locked sector) stops the commit: the block erased before it is written
# back, and with the cell there the flash then holds the whole new image.
flash $spare5
export MTDSIM_ERASE_FAIL=1:EPERM
expect_region 9 X
claim "an erase refused" 255 "" $'erase failure!\n'"$(nand_line 0)"$'\ncellrw: the commit stopped, but the flash holds the new factory data\n' -- rw w 9 X
unset MTDSIM_ERASE_FAIL
committed "an erase refused"
same "an erase refused: the block erased before it written back, nothing else" "write 0x0 0x20000 -> 0x20000" \
    "$(trace | grep ^write)"
same "an erase refused: nothing left to complete" "" "$(ls -A "$FACTORY_JOURNAL_DIR")"
flash $spare5
export MTDSIM_ERASE_FAIL=0:EROFS
claim "the first erase refused" 255 "" $'erase failure!\n' -- rw w 9 X
unset MTDSIM_ERASE_FAIL
same "the first erase refused: nothing written, no journal kept" "" "$(trace | grep ^write; ls -A "$FACTORY_JOURNAL_DIR")"
flash $PART 0x20000 3
export MTDSIM_ERASE_FAIL=0:EIO
expect_region 9 X
claim "an erase failing with EIO on NOR stops, the block it erased all the same written back" 255 "" \
    $'erase failure!\n'"$(printf '[cgi_max_write] write flash @ %08x, length = 131072, MEMTYPE=NOR FLASH\n' 0)"$'\ncellrw: the commit stopped, but the flash holds the new factory data\n' -- rw w 9 X
unset MTDSIM_ERASE_FAIL
committed "an erase failing with EIO on NOR"

# After a write failure, the erase of the block the data moves to, the one past the region,
# is refused: the commit stops without writing there, and keeps its journal.
flash $spare5
export MTDSIM_WRITE_FAIL=1:EIO MTDSIM_ERASE_FAIL=$REGION_BLOCKS:EPERM
rw w 70000 MOVED >/dev/null 2>"$FLASH_DIR/err"
same "write failure, then the next erase refused: exit 255" 255 $?
unset MTDSIM_WRITE_FAIL MTDSIM_ERASE_FAIL
same "write failure, then the next erase refused: nothing written there" "" "$(trace | grep "^write $(hex $COMMIT)")"
same "write failure, then the next erase refused: the journal is kept" "$JOURNAL_NAME" "$(ls -A "$FACTORY_JOURNAL_DIR")"

# A chip that refuses everything (write protection) gets no block marked.
flash $spare5
export MTDSIM_ERASE_FAIL=all:EIO MTDSIM_WRITE_FAIL=all:EIO
rw w 100 X >/dev/null 2>&1
same "a chip that refuses every erase and write: exit 255, nothing marked" "255" "$?$(trace | grep ^setbad)"
unset MTDSIM_ERASE_FAIL MTDSIM_WRITE_FAIL

flash $PART
export MTDSIM_GETINFO_FAIL=2
claim "MEMGETINFO failing in the eraser" 255 "" $'Can\'t get mtd-info!\n' -- rw w 0 X
same "nothing erased or written" "" "$(trace | grep -E '^(erase|write)')"
export MTDSIM_GETINFO_FAIL=3
expect_region 0 X
rw w 0 X >/dev/null 2>"$FLASH_DIR/err"
status=$?
same "MEMGETINFO failing in the writer: the erased blocks are written back, the check cannot run" \
    $'255\nCan\'t get mtd-info!\n'"$(for block in $(blocks_of $COMMIT); do nand_line $block; done)"$'\nCan\'t get mtd-info!\nCan\'t get mtd-info!\n'"cellrw: the image being written is kept in $FACTORY_JOURNAL_DIR/$JOURNAL_NAME" \
    "$status
$(cat "$FLASH_DIR/err")"
unset MTDSIM_GETINFO_FAIL
committed "MEMGETINFO failing in the writer"

# Images that were not read whole are never committed: a partition that ends before the
# region's last block, a read of the last block that fails.
flash $((COMMIT - BLOCK))
claim "w on a partition smaller than the region" 255 "" $'cellrw: the factory data could not be read whole; nothing written\n' -- rw w 0 X
flash $((COMMIT - BLOCK)) 0x20000 3
claim "w on a NOR partition smaller than the region" 255 "" \
    $'[mtd_get_data] read error!!\nnand flash read:: Success\ncellrw: the factory data could not be read whole; nothing written\n' -- rw w 0 X
flash $PART
export MTDSIM_READ_FAIL=$REGION_BLOCKS:-1
claim "w after a failed read" 255 "" \
    $'[mtd_get_data] read error!!\nnand flash read:: Input/output error\ncellrw: the factory data could not be read whole; nothing written\n' -- rw w 0 X
same "w after a failed read erases nothing" "" "$(trace | grep -E '^(erase|write)')"
put 100 READABLE
claim "r of a cell that was read, after a failed read" 0 "READABLE" \
    $'[mtd_get_data] read error!!\nnand flash read:: Input/output error\n' -- rw r 100
claim "r of a cell beyond what was read" 255 "" \
    $'[mtd_get_data] read error!!\nnand flash read:: Input/output error\n'"cellrw: the cell at offset $((COMMIT - BLOCK)) lies beyond the data that could be read"$'\n' \
    -- rw r $((COMMIT - BLOCK))
unset MTDSIM_READ_FAIL

# Blocks wider than the region's tail: the last block the region uses also holds data past
# the region, which the commit loads and writes back as it was, on NAND and on NOR.
# The region's blocks of that size end at $wide_end; the load's last read, the one that
# reaches there, is the first on NOR, and on NAND the one of the region's last block.
wide_end=$(((REGION / WIDE + 1) * WIDE))
for type in 4 3; do
    flash $((wide_end + 2 * WIDE)) $WIDE $type
    wide="$((WIDE / 1024)) KiB blocks, type $type"
    expect_region $((REGION - 16)) TAIL
    past=$(od -An -tx1 -j $REGION -N $((wide_end - REGION)) "$MTDSIM_IMAGE" | md5sum)
    rw w $((REGION - 16)) TAIL >/dev/null 2>"$FLASH_DIR/err"
    same "$wide: exit 0" 0 $?
    committed "$wide"
    same "$wide: the flash past the region is unchanged" "$past" \
        "$(od -An -tx1 -j $REGION -N $((wide_end - REGION)) "$MTDSIM_IMAGE" | md5sum)"
    if [ $type = 4 ]; then
        last_read="read $(hex $((wide_end - WIDE))) $(hex $WIDE) -> $(hex $WIDE)" reads=$((REGION / WIDE + 1))
    else
        last_read="read 0x0 $(hex $wide_end) -> $(hex $wide_end)" reads=1
    fi
    same "$wide: the load reads the rest of the last block too" "$last_read" "$(trace | grep '^read' | sed -n "${reads}p")"
done

# A closed standard descriptor is never the partition: nothing of ours gets into flash.
closed() {
    local n=$1
    shift
    case $n in 0) "$@" <&- ;; 1) "$@" >&- ;; 2) "$@" 2>&- ;; esac
}
nor_lines=$(nor_commit)
for n in 0 1 2; do
    # A checker such as valgrind needs standard error for its own report.
    if [ $n = 2 ] && [ -n "${TEST_CHECKER:-}" ]; then
        echo "skipped: the claims with descriptor 2 closed (under $TEST_CHECKER)"
        continue
    fi
    flash $PART 0x20000 3
    put 0 SERIAL-1
    expect_region 100 CLOSED
    err=$nor_lines$'\n' out=$'SERIAL-1\n'
    [ $n = 2 ] && err=""
    [ $n = 1 ] && out=""
    claim "w with descriptor $n closed" 0 "" "$err" -- closed $n rw w 100 CLOSED
    committed "w with descriptor $n closed"
    region >"$FLASH_DIR/before"
    claim "cellshow with descriptor $n closed" 0 "$out" "" -- closed $n show x 0
    same "cellshow with descriptor $n closed leaves the flash alone" "" "$(region | cmp - "$FLASH_DIR/before")"
done

# A termination signal during the commit waits until the commit is over and checked: the
# run then fails, but the flash holds the whole new image. The signal comes just before
# the first erase, the device call after the load's and the eraser's first two.
first_erase=$((3 * ((REGION + 0x1ffff) / 0x20000) + 5))
for sig in TERM INT HUP QUIT USR1 ALRM; do
    flash $PART
    expect_region 100 SIG$sig
    export MTDSIM_SIGNAL=$first_erase:$sig
    claim "SIG$sig at the first erase: the commit is finished first" 255 "" \
        "$(nand_commit)
cellrw: signal $(kill -l $sig) arrived during the commit, which was finished first
" -- rw w 100 SIG$sig
    unset MTDSIM_SIGNAL
    same "SIG$sig came at the first erase" "signal $sig
erase 0x0 0x20000 -> 0" "$(trace | grep -A1 '^signal')"
    committed "SIG$sig at the first erase"
done
flash $PART
region >"$FLASH_DIR/before"
MTDSIM_SIGNAL=3:TERM rw w 100 EARLY >/dev/null 2>&1
same "SIGTERM during the load ends the run at once" "143" "$?"
same "SIGTERM during the load: the flash is unchanged" "" "$(region | cmp - "$FLASH_DIR/before")"

# The signal of a limit on file sizes is ignored: a journal past the limit fails with EFBIG,
# which is reported, and nothing is ended halfway.
flash $PART
expect_region 100 LIMITED
export MTDSIM_SIGNAL=$first_erase:XFSZ
claim "SIGXFSZ at the first erase: ignored" 0 "" "$(nand_commit)"$'\n' -- rw w 100 LIMITED
unset MTDSIM_SIGNAL
committed "SIGXFSZ at the first erase"

# A reader of our messages that went away does not end the commit halfway.
flash $PART
expect_region 100 PIPED
exec 5> >(exit 0)
wait $! 2>/dev/null
rw w 100 PIPED 2>&5 >/dev/null
same "w with standard error a closed pipe: exit 0" 0 $?
exec 5>&-
committed "w with standard error a closed pipe"

# name:NAME: the partition is found when the program runs; the journal is named after the
# setting, so that a commit that fails on one number is completed on another.
if [ -n "${PART_NAME:-}" ]; then
    layout=$CLAIM_DIR/other-names
    found=${DEVICE#/dev/mtd}
    names=("${NAMES[@]}")
    names[found]="not $PART_NAME"
    name_layout "$layout" "${names[@]}"
    flash $PART
    put 0 KEPT
    region >"$FLASH_DIR/before"
    claim "name: no partition has the name" 255 "" "cellrw: no MTD partition is named $PART_NAME"$'\n' \
        -- renamed "$layout" "$DEVICE" rw w 0 X
    same "name: without a match nothing is opened" "" "$(trace)"
    names[found]=$PART_NAME
    names[2]=$PART_NAME
    name_layout "$layout" "${names[@]}"
    claim "name: two partitions have the name" 255 "" "cellrw: 2 MTD partitions are named $PART_NAME"$'\n' \
        -- renamed "$layout" "$DEVICE" rw w 0 X
    same "name: with two matches nothing is opened, nothing changed" "" "$(trace; region | cmp - "$FLASH_DIR/before")"
    # The partition renumbered: mtd2 has the name now.
    names[found]=${NAMES[2]}
    name_layout "$layout" "${names[@]}"
    export MTDSIM_ABSENT=1
    claim "name: the message names the partition found" 255 "" $'mtd: /dev/mtd2 open fail!!!\ncellrw could not get factory data\n' \
        -- renamed "$layout" /dev/mtd2 rw r 0
    unset MTDSIM_ABSENT
    flash $PART 0x20000 3
    export MTDSIM_WRITE_FAIL=1:eio
    renamed "$layout" /dev/mtd2 rw w 0 RENUMBERED >/dev/null 2>&1
    unset MTDSIM_WRITE_FAIL
    same "name: a failed commit on the renumbered partition keeps the journal of the setting" "$JOURNAL_NAME" "$(ls -A "$FACTORY_JOURNAL_DIR")"
    claim "name: renumbered back, the next run completes that commit" 0 "RENUMBERED" \
        "cellrw: completing an interrupted commit from $FACTORY_JOURNAL_DIR/$JOURNAL_NAME
$(nor_commit)
" -- rw r 0
else
    echo "skipped: the claims of name:NAME (this build's FACTORY_DEVICE is $SETTING)"
fi

finish
