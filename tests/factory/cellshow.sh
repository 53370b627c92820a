#!/bin/bash
# SPDX-License-Identifier: MIT
# cellshow under the simulated partition: output, messages, exit status, device calls.
. "$(dirname "$0")/flash_lib.sh"

usage=$'cellshow [xml] [pos]\n'
claim "no argument: usage" 255 "" "$usage" -- show
claim "one argument: usage" 255 "" "$usage" -- show xml
same "usage touches no device" "" "$(trace)"

# NAND, 128 KiB blocks, none bad: a read of each block the region touches, a probe before each.
flash $PART
put 0 SN0001
# A cell in the region's last block (the third for a region of 0x60000).
last=$(((REGION_BLOCKS - 1) * BLOCK + 0x10))
put $last MAC=00:11:22:33:44:55
claim "cell at 0" 0 $'SN0001\n' "" -- show xml 0
same "a probe and a read a block, read-only" "open O_RDONLY
flock LOCK_SH
getinfo
$(load_calls $REGION)
close
" "$(trace)"
claim "cell in the last block" 0 $'MAC=00:11:22:33:44:55\n' "" -- show any $last
claim "the name is any text, the position is read like atoi" 0 $'SN0001\n' "" -- show "" abc
claim "leading blanks and a sign, digits up to the first other character" 0 $'N0001\n' "" -- show x " +1junk"
claim "a position on a NUL prints an empty line" 0 $'\n' "" -- show x 6
claim "a full standard output is a failure" 255 "" $'cellshow: No space left on device\n' -- to_full show x 0
claim "so it is for cellrw r" 255 "" $'cellrw: No space left on device\n' -- to_full rw r 0

put 0x100 '100%s %d %n\'
claim "a cell with % is printed unchanged" 0 $'100%s %d %n\\\n' "" -- show x 256

# The first block is bad: the region starts in the second one.
flash $PART
export MTDSIM_BAD=0
put 0x20000 SN-SECOND
claim "first block bad" 0 $'SN-SECOND\n' "" -- show x 0
same "first block bad: probes shift by one block" "getbad 0x0 -> 1
lseek 0x20000 SEEK_CUR -> 0x20000
$(block_reads $REGION $BLOCK | grep -v ^eccstats)
" "$(trace | grep -E '^(getbad|read|lseek 0x2)')"

# Two bad blocks in a row are both stepped over before the next read.
flash $((PART + BLOCK))
export MTDSIM_BAD=1,2
put $((last + 2 * BLOCK)) THIRD
claim "two bad blocks in a row" 0 $'THIRD\n' "" -- show x $last
same "two bad blocks: probes" "getbad 0x0 -> 0
getbad 0x20000 -> 1
getbad 0x40000 -> 1
$(block_reads $((REGION - BLOCK)) $((3 * BLOCK)) | grep ^getbad)
" "$(trace | grep getbad)"

# An erase size that does not divide the region: the last read is the remainder.
flash $(((REGION / WIDE + 3) * WIDE)) $WIDE
put $((REGION - 16)) LAST
wide="$((WIDE / 1024)) KiB blocks"
claim "$wide" 0 $'LAST\n' "" -- show x $((REGION - 16))
same "$wide: whole blocks, then the rest" "$(block_reads $REGION 0 $WIDE | grep -v ^eccstats)
" "$(trace | grep -E '^(getbad|read)')"

# Bad blocks up to the partition's end: the load stops quietly with what it has, the
# blocks before the region's last.
flash $PART
read_before=$((COMMIT - BLOCK))
export MTDSIM_BAD=$((REGION_BLOCKS - 1)),$REGION_BLOCKS
put 0x100 EARLY
claim "bad blocks to the end: a cell that was read" 0 $'EARLY\n' "" -- show x 256
same "bad blocks to the end: the probe reaches the end" "$(block_reads $read_before | grep ^getbad)
getbad $(hex $read_before) -> 1
getbad $(hex $((read_before + BLOCK))) -> 1
getbad $(hex $PART) -> -1 EINVAL
" "$(trace | grep getbad)"
beyond="cellshow: the cell at offset $read_before lies beyond the data that could be read"$'\n'
claim "bad blocks to the end: a cell beyond what was read" 255 "" "$beyond" -- show x $read_before
put_raw $((read_before - 6)) TAIL
claim "a cell whose NUL would lie beyond what was read" 255 "" \
    "cellshow: the cell at offset $((read_before - 6)) lies beyond the data that could be read"$'\n' -- show x $((read_before - 6))

# A partition that ends before the region's last block.
flash $((COMMIT - BLOCK))
put 0x10 SMALL
claim "partition smaller than the region" 0 $'SMALL\n' "" -- show x 16
same "partition smaller than the region: a read a block, then the end" "$(block_reads $((COMMIT - BLOCK)) | grep -v ^eccstats)
getbad $(hex $((COMMIT - BLOCK))) -> -1 EINVAL
" "$(trace | grep -E '^(getbad|read)')"

# NOR: one read of the whole region, no bad-block request.
flash $PART 0x20000 3
export MTDSIM_BAD=0
put 0 NORCELL
claim "NOR" 0 $'NORCELL\n' "" -- show x 0
same "NOR: one read, no probe" "open O_RDONLY
flock LOCK_SH
getinfo
lseek 0x0 SEEK_SET -> 0x0
eccstats failed 0
read 0x0 $(hex $REGION) -> $(hex $REGION)
eccstats failed 0
close
" "$(trace)"

# Read failures end the load; what was read still counts.
flash $PART
put 0 FIRST
export MTDSIM_READ_FAIL=2:0
claim "a read answering 0" 0 $'FIRST\n' $'[main] read error!!\nnand flash read:: Success\n' -- show x 0
export MTDSIM_READ_FAIL=1:-1
claim "a read answering -1: the cell was not read" 255 "" \
    $'[main] read error!!\nnand flash read:: Input/output error\ncellshow: the cell at offset 0 lies beyond the data that could be read\n' -- show x 0
unset MTDSIM_READ_FAIL

export MTDSIM_PROBE_ERROR=0
claim "a probe answering an error counts as good" 0 $'FIRST\n' "" -- show x 0
same "the block after a probe error is read" "getbad 0x0 -> -1 EIO
read 0x0 0x20000 -> 0x20000
" "$(trace | grep -E '^(getbad|read)' | head -n 2)"
unset MTDSIM_PROBE_ERROR

export MTDSIM_GETINFO_FAIL=1
claim "MEMGETINFO failing" 255 "" $'Can\'t get mtd-info!\n' -- show x 0
unset MTDSIM_GETINFO_FAIL
export MTDSIM_REPORTED_ERASESIZE=0
claim "a geometry with an erase size of 0" 255 "" $'Can\'t get mtd-info!\n' -- show x 0
unset MTDSIM_REPORTED_ERASESIZE
export MTDSIM_ABSENT=1
claim "missing device" 255 "" "Factory: $DEVICE open fail!!!"$'\n' -- show x 0
unset MTDSIM_ABSENT

# Positions outside the image are refused; a text is never read beyond the image.
flash $PART
for pos in -1 $REGION 99999999999999999999 -99999999999999999999; do
    claim "position $pos is refused" 255 "" "cellshow: offset $pos is outside the factory region"$'\n' -- show x "$pos"
done
put_raw $((REGION - 10)) ENDOFIMAGE
claim "a text without a NUL stops at the image's end" 0 $'ENDOFIMAGE\n' "" -- show x $((REGION - 10))
long=$(printf 'L%.0s' $(seq 300))
put 0x200 "$long"
claim "a text of 300 characters is printed whole" 0 "$long"$'\n' "" -- show x 512

# name:NAME: the partition is looked up by its name when the program runs, in sysfs (the
# read-only twins mtdNro aside), or in /proc/mtd where there is no sysfs.
if [ -n "${PART_NAME:-}" ]; then
    flash $PART
    put 0 NAMED
    layout=$CLAIM_DIR/other-names
    found=${DEVICE#/dev/mtd}
    # The build's partitions, with the name moved from mtdN to mtd2: a renumbering.
    names=("${NAMES[@]}")
    names[found]=${NAMES[2]}
    names[2]=$PART_NAME
    name_layout "$layout" "${names[@]}"
    claim "name: the partition renumbered is found" 0 $'NAMED\n' "" -- renamed "$layout" /dev/mtd2 show x 0
    same "name: the renumbered partition is the one opened" "open O_RDONLY" "$(trace | head -n 1)"
    export MTDSIM_ABSENT=1
    claim "name: the message names the partition found" 255 "" $'Factory: /dev/mtd2 open fail!!!\n' \
        -- renamed "$layout" /dev/mtd2 show x 0
    unset MTDSIM_ABSENT
    rm -rf "$layout/sys"
    claim "name: without sysfs, /proc/mtd names the partition" 0 $'NAMED\n' "" -- renamed "$layout" /dev/mtd2 show x 0
    none="cellshow: no MTD partition is named $PART_NAME"$'\n'
    names[2]="not $PART_NAME"
    name_layout "$layout" "${names[@]}"
    rm -rf "$layout/sys"
    claim "name: without sysfs, no line of /proc/mtd has the name" 255 "" "$none" -- renamed "$layout" /dev/mtd2 show x 0
    same "name: without a match nothing is opened" "" "$(trace)"
    name_layout "$layout" "${names[@]}"
    claim "name: no partition has the name" 255 "" "$none" -- renamed "$layout" /dev/mtd2 show x 0
    same "name: without a match nothing is opened" "" "$(trace)"
    printf '%s\n' "$PART_NAME" >"$layout/sys/class/mtd/mtd2ro/name"
    claim "name: a read-only twin of that name is no match" 255 "" "$none" -- renamed "$layout" /dev/mtd2 show x 0
    names[2]=$PART_NAME
    names[5]=$PART_NAME
    name_layout "$layout" "${names[@]}"
    claim "name: two partitions have the name" 255 "" "cellshow: 2 MTD partitions are named $PART_NAME"$'\n' \
        -- renamed "$layout" /dev/mtd2 show x 0
    same "name: with two matches nothing is opened" "" "$(trace)"
    # Hundreds of partitions: /proc/mtd is read to its end.
    many=("${NAMES[@]}")
    for n in $(seq 8 599); do many[n]="partition $n"; done
    many[${found}]="not $PART_NAME"
    many[599]=$PART_NAME
    name_layout "$layout" "${many[@]}"
    rm -rf "$layout/sys"
    claim "name: without sysfs, the last of 600 lines of /proc/mtd names the partition" 0 $'NAMED\n' "" \
        -- renamed "$layout" /dev/mtd599 show x 0
    many[2]=$PART_NAME
    name_layout "$layout" "${many[@]}"
    rm -rf "$layout/sys"
    claim "name: without sysfs, the name on lines 3 and 600 of /proc/mtd" 255 "" \
        "cellshow: 2 MTD partitions are named $PART_NAME"$'\n' -- renamed "$layout" /dev/mtd2 show x 0
    # A file of names that cannot be read might hide a partition of the name: a failure.
    name_layout "$layout" "${NAMES[@]}"
    rm "$layout/sys/class/mtd/mtd5/name"
    mkdir "$layout/sys/class/mtd/mtd5/name"
    claim "name: a sysfs name that cannot be read" 255 "" \
        $'cellshow: cannot read /sys/class/mtd/mtd5/name: Is a directory\n' -- renamed "$layout" $DEVICE show x 0
    same "name: with a name unread nothing is opened" "" "$(trace)"
    rm -rf "$layout/sys" "$layout/proc/mtd"
    mkdir "$layout/proc/mtd"
    claim "name: a /proc/mtd that cannot be read" 255 "" \
        $'cellshow: cannot read /proc/mtd: Is a directory\n' -- renamed "$layout" $DEVICE show x 0
    rmdir "$layout/proc/mtd"
    claim "name: no /proc/mtd at all: no partition has the name" 255 "" "$none" -- renamed "$layout" $DEVICE show x 0
else
    echo "skipped: the claims of name:NAME (this build's FACTORY_DEVICE is $SETTING)"
fi

finish
