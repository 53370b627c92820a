#!/bin/bash
# SPDX-License-Identifier: MIT
# cellrw under the simulated partition: output, messages, exit status, device calls and
# what ends up on flash.
. "$(dirname "$0")/flash_lib.sh"

usage=$'cellrw r[read] [offset]\ncellrw w[write] [offset] [value]\n'
claim "no argument: usage" 255 "" "$usage" -- rw
claim "one argument: usage" 255 "" "$usage" -- rw r
same "usage touches no device" "" "$(trace)"

flash 0x80000
put 512 SN123
put 600 '50%s%n'
claim "r prints the cell without a newline" 0 "SN123" "" -- rw r 512
claim "a cell with % is printed unchanged" 0 '50%s%n' "" -- rw r 600
put 0 ZERO
claim "a non-numeric offset reads offset 0" 0 "ZERO" "" -- rw r abc
claim "\"read\" is not a command word: the region is loaded, nothing else" 0 "" "" -- rw read 0
same "\"read\" only loads" "open O_RDWR
flock LOCK_SH
getinfo
$(three_block_load)
close
" "$(trace)"
claim "w without a value fails silently after the load" 255 "" "" -- rw w 512
same "w without a value writes nothing" "" "$(trace | grep -E '^(erase|write)')"

for off in -1 393216 4294967296; do
    claim "r at offset $off is refused" 255 "" "cellrw: offset $off is outside the factory region"$'\n' -- rw r "$off"
    claim "w at offset $off is refused" 255 "" "cellrw: offset $off is outside the factory region"$'\n' -- rw w "$off" X
done
claim "a value that runs past the region is refused" 255 "" \
    $'cellrw: a value of 2 characters at offset 393214 does not fit in the factory region\n' -- rw w 393214 AB
v256=$(printf 'v%.0s' $(seq 256))
claim "a value of 256 characters is refused" 255 "" $'cellrw: a value of 256 characters is longer than 255\n' -- rw w 0 "$v256"
same "refused cells erase and write nothing" "" "$(trace | grep -E '^(erase|write)')"

flash 0x80000
export MTDSIM_ABSENT=1
claim "missing device" 255 "" $'mtd: /dev/mtd7 open fail!!!\ncellrw could not get factory data\n' -- rw r 0
unset MTDSIM_ABSENT
export MTDSIM_GETINFO_FAIL=1
claim "MEMGETINFO failing at the load" 255 "" $'Can\'t get mtd-info!\ncellrw could not get factory data\n' -- rw r 0
unset MTDSIM_GETINFO_FAIL

# expect_region OFFSET VALUE: the region as loaded now, with VALUE and a NUL at OFFSET.
expect_region() {
    region >"$FLASH_DIR/expected"
    printf '%s\0' "$2" | dd of="$FLASH_DIR/expected" bs=1 seek=$(($1)) conv=notrunc status=none
}
# committed NAME: the flash holds the expected region, and nothing was written unerased.
committed() {
    if region | cmp -s - "$FLASH_DIR/expected"; then same "$1: flash holds the image" "" ""
    else same "$1: flash holds the image" "the expected region" "$(region | cmp - "$FLASH_DIR/expected")"; fi
    same "$1: no write into unerased flash" "" "$(unerased)"
}
nand_line() { printf '[cgi_max_write] write flash @ %08x, length = %d, MEMTYPE=NAND FLASH\n' "$1" "${2:-131072}"; }
probe_line() { printf '[cgi_max_write] check badblock @ 0x%x\n' "$1"; }

# Three clean blocks.
flash 0x80000
expect_region 512 ABC
claim "w on clean NAND" 0 "" "$(probe_line 0; nand_line 0; probe_line 0x20000; nand_line 0x20000; probe_line 0x40000; nand_line 0x40000)"$'\n' \
    -- rw w 512 ABC
committed "clean NAND"
same "clean NAND: load, erase three blocks, write three with fsync, check" "open O_RDWR
flock LOCK_EX
getinfo
$(three_block_load)
getinfo
getbad 0x0 -> 0
erase 0x0 0x20000 -> 0
getbad 0x20000 -> 0
erase 0x20000 0x20000 -> 0
getbad 0x40000 -> 0
erase 0x40000 0x20000 -> 0
lseek 0x0 SEEK_SET -> 0x0
getinfo
lseek 0x0 SEEK_SET -> 0x0
getbad 0x0 -> 0
lseek 0x0 SEEK_CUR -> 0x0
write 0x0 0x20000 -> 0x20000
fsync -> -1 EINVAL
getbad 0x20000 -> 0
lseek 0x0 SEEK_CUR -> 0x20000
write 0x20000 0x20000 -> 0x20000
fsync -> -1 EINVAL
getbad 0x40000 -> 0
lseek 0x0 SEEK_CUR -> 0x40000
write 0x40000 0x20000 -> 0x20000
fsync -> -1 EINVAL
fsync -> -1 EINVAL
getinfo
$(three_block_load)
close
" "$(trace)"
claim "the stored cell reads back with r" 0 "ABC" "" -- rw r 512
claim "the stored cell reads back with cellshow" 0 $'ABC\n' "" -- show x 512
same "the fourth block is untouched" "blk3blk3" "$(dd if="$MTDSIM_IMAGE" bs=1 skip=$((0x60000)) count=8 status=none)"

# The first block is bad: everything shifts by one block.
flash 0x80000
export MTDSIM_BAD=0
expect_region 0 FIRST
claim "w with the first block bad" 0 "" "$(probe_line 0; echo 'bad block at 00000000 bad'; probe_line 0x20000; nand_line 0x20000
    probe_line 0x40000; nand_line 0x40000; probe_line 0x60000; nand_line 0x60000)"$'\n' -- rw w 0 FIRST
committed "first block bad"
same "first block bad: the eraser steps over it silently" "erase 0x20000 0x20000 -> 0
erase 0x40000 0x20000 -> 0
erase 0x60000 0x20000 -> 0
" "$(trace | grep erase)"
same "image byte 0 lands at 0x20000" "FIRST" "$(dd if="$MTDSIM_IMAGE" bs=1 skip=$((0x20000)) count=5 status=none)"

# A write failing in the second block: marked, and its data goes to the next block,
# which the eraser did not reach and so is erased first.
flash 0x100000
export MTDSIM_WRITE_FAIL=1:eio
expect_region 70000 MOVED
claim "a write failing in the second block" 0 "" "$(probe_line 0; nand_line 0; probe_line 0x20000; nand_line 0x20000
    echo 'write size(-1) != len(131072), badblock!!'; echo 'Marking block at 00020000 bad'
    probe_line 0x40000; nand_line 0x40000; probe_line 0x60000; nand_line 0x60000)"$'\n' -- rw w 70000 MOVED
unset MTDSIM_WRITE_FAIL
committed "write failure"
same "write failure: the block is marked, the last block erased before its write" "setbad 0x20000 -> 0
write 0x40000 0x20000 -> 0x20000
erase 0x60000 0x20000 -> 0
write 0x60000 0x20000 -> 0x20000
" "$(trace | sed -n '/^setbad/,$p' | grep -E '^(setbad|erase|write)')"
claim "the marked block stays bad for later runs" 0 "MOVED" "" -- rw r 70000

flash 0x100000
export MTDSIM_WRITE_FAIL=0:short MTDSIM_SETBAD_FAIL=1
expect_region 1 SHORT
rw w 1 SHORT >/dev/null 2>"$FLASH_DIR/err"
same "a short write whose block cannot be marked" "write size(2048) != len(131072), badblock!!
Marking block at 00000000 bad
MEMSETBADBLOCK: Input/output error
" "$(grep -E '^(write size|Marking|MEMSET)' "$FLASH_DIR/err")"
unset MTDSIM_WRITE_FAIL MTDSIM_SETBAD_FAIL
committed "short write"

# NOR: a failed write stops the commit, which is a failure.
flash 0x80000 0x20000 3
export MTDSIM_WRITE_FAIL=1:eio
claim "NOR write failure" 255 "" "$(printf '[cgi_max_write] write flash @ %08x, length = 131072, MEMTYPE=NOR FLASH\n' 0 0x20000)
write size(-1) != len(131072), badblock!!
i = -1 Input/output error
" -- rw w 0 NOR
unset MTDSIM_WRITE_FAIL
same "NOR write failure: nothing after the failed chunk" "write 0x0 0x20000 -> 0x20000
write 0x20000 0x20000 -> -1 EIO
" "$(trace | grep ^write)"

flash 0x80000 0x20000 3
expect_region 5 NORCELL
claim "w on NOR" 0 "" "$(for b in 0 0x20000 0x40000; do printf '[cgi_max_write] write flash @ %08x, length = 131072, MEMTYPE=NOR FLASH\n' $b; done)"$'\n' -- rw w 5 NORCELL
committed "NOR"
same "NOR: no bad-block request" "" "$(trace | grep -E 'getbad|setbad')"

# An erase that wears out a NAND block marks it and goes on; any other failure stops.
flash 0x100000
export MTDSIM_ERASE_FAIL=1:EIO
expect_region 9 WORN
claim "an erase failing with EIO on NAND" 0 "" "$(printf 'erase failure!\nMarking block at 00020000 bad\n'; probe_line 0; nand_line 0
    probe_line 0x20000; echo 'bad block at 00020000 bad'; probe_line 0x40000; nand_line 0x40000; probe_line 0x60000; nand_line 0x60000)"$'\n' -- rw w 9 WORN
unset MTDSIM_ERASE_FAIL
committed "worn block"
flash 0x100000
export MTDSIM_ERASE_FAIL=1:EPERM
claim "an erase failing otherwise" 255 "" $'erase failure!\n' -- rw w 9 X
unset MTDSIM_ERASE_FAIL
same "no write after a failed erase" "" "$(trace | grep ^write)"
flash 0x80000 0x20000 3
export MTDSIM_ERASE_FAIL=0:EIO
claim "an erase failing with EIO on NOR stops" 255 "" $'erase failure!\n' -- rw w 9 X
unset MTDSIM_ERASE_FAIL

flash 0x80000
export MTDSIM_GETINFO_FAIL=2
claim "MEMGETINFO failing in the eraser" 255 "" $'Can\'t get mtd-info!\n' -- rw w 0 X
same "nothing erased or written" "" "$(trace | grep -E '^(erase|write)')"
export MTDSIM_GETINFO_FAIL=3
rw w 0 X >/dev/null 2>"$FLASH_DIR/err"
same "MEMGETINFO failing in the writer" $'255\nCan\'t get mtd-info!' "$?
$(cat "$FLASH_DIR/err")"
unset MTDSIM_GETINFO_FAIL

# Images that were not read whole are never committed.
flash 0x40000
claim "w on a partition smaller than the region" 255 "" $'cellrw: the factory data could not be read whole; nothing written\n' -- rw w 0 X
flash 0x40000 0x20000 3
claim "w on a NOR partition smaller than the region" 255 "" \
    $'[mtd_get_data] read error!!\nnand flash read:: Success\ncellrw: the factory data could not be read whole; nothing written\n' -- rw w 0 X
flash 0x80000
export MTDSIM_READ_FAIL=3:-1
claim "w after a failed read" 255 "" \
    $'[mtd_get_data] read error!!\nnand flash read:: Input/output error\ncellrw: the factory data could not be read whole; nothing written\n' -- rw w 0 X
same "w after a failed read erases nothing" "" "$(trace | grep -E '^(erase|write)')"
put 100 READABLE
claim "r of a cell that was read, after a failed read" 0 "READABLE" \
    $'[mtd_get_data] read error!!\nnand flash read:: Input/output error\n' -- rw r 100
claim "r of a cell beyond what was read" 255 "" \
    $'[mtd_get_data] read error!!\nnand flash read:: Input/output error\ncellrw: the cell at offset 262144 lies beyond the data that could be read\n' -- rw r 262144
unset MTDSIM_READ_FAIL

# 256 KiB blocks: the last block holds only half of the image, padded with 0xFF.
flash 0x100000 0x40000
expect_region 0x5fff0 TAIL
claim "w with 256 KiB blocks" 0 "" "$(probe_line 0; nand_line 0 262144; probe_line 0x40000; nand_line 0x40000 262144)"$'\n' -- rw w $((0x5fff0)) TAIL
committed "256 KiB blocks"
same "the padding after the image is erased flash" "ffffffff" "$(od -An -tx1 -j $((0x60000)) -N 4 "$MTDSIM_IMAGE" | tr -d ' \n')"

finish
