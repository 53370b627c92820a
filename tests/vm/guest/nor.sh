# SPDX-License-Identifier: MIT
# NOR: the kernel's answers for a RAM-backed MTD device (mtdram), then cellrw and
# cellshow on it, also with closed standard descriptors.
# vm-modules: nandsim virtio_pci virtio_blk crc32c_generic ext4 mtdram
# vm-disk: 4
. /vm/claim.sh
. /vm/flash.sh

P="mtdprobe $DEV"

echo "== what the kernel answers"
nor 1024
same "geometry: RAM type, byte writes; no bad blocks, and none can be marked" \
"info type 1 size 0x100000 erasesize 0x20000 writesize 0x1
getbad 0x0 -> 0
getbad 0xe0000 -> 0
getbad 0x100000 -> -1 EINVAL
setbad 0x0 -> -1 EOPNOTSUPP
setbad 0x100000 -> -1 EOPNOTSUPP" "$($P info getbad 0 getbad 0xe0000 getbad 0x100000 setbad 0 setbad 0x100000)"
same "writes of any length at any offset; a second write replaces the bytes" \
"lseek 0x3 SEEK_SET -> 0x3
write 0x3 0x64 -> 0x64
lseek 0x0 SEEK_CUR -> 0x67
lseek 0x3 SEEK_SET -> 0x3
write 0x3 0x64 -> 0x64
lseek 0x3 SEEK_SET -> 0x3
read 0x3 0x64 -> 0x64 = 0f*100" "$($P seek 3 write 100 0x5a pos seek 3 write 100 0x0f seek 3 read 100)"
same "erase: whole blocks only; erased flash reads 0xff" \
"erase 0x100 0x20000 -> -1 EINVAL
erase 0x0 0x20000 -> 0
lseek 0x0 SEEK_SET -> 0x0
read 0x0 0x20000 -> 0x20000 = ff*131072" "$($P erase 0x100 0x20000 erase 0 0x20000 seek 0 read 0x20000)"
same "fsync fails with EINVAL; the partition's end cuts reads and writes" \
"fsync -> -1 EINVAL
lseek 0xffff0 SEEK_SET -> 0xffff0
write 0xffff0 0x20 -> 0x10
write 0x100000 0x20 -> -1 ENOSPC
lseek 0xffff0 SEEK_SET -> 0xffff0
read 0xffff0 0x20 -> 0x10 = 55*16" "$($P fsync seek 0xffff0 write 0x20 0x55 write 0x20 0x55 seek 0xffff0 read 0x20)"

echo "== clean NOR"
nor 1024
seed 0 1 2
fill 3 tail3
expect 600 NORCELL
claim "NOR: w" 0 "" "$(nor_line 0; nor_line 0x20000; nor_line 0x40000)"$'\n' -- cellrw w 600 NORCELL
readback "NOR" "" 600
same "NOR: the block after the region is untouched" "tail3tail3" "$(dd if=$DEV bs=$BLOCK skip=3 count=1 2>/dev/null | head -c 10)"
expect 262136 NOR-ACROSS-EDGE
put "$WORK/expected" 600 NORCELL
claim "NOR: a second w, across a block edge" 0 "" "$(nor_line 0; nor_line 0x20000; nor_line 0x40000)"$'\n' \
    -- cellrw w 262136 NOR-ACROSS-EDGE
readback "NOR, second commit" "" 262136

echo "== closed standard descriptors"
# Flash that takes writes of any length at any offset: a message written to the partition
# would land in the region.
nor 1024
seed 0 1 2
expect 100 CLOSED
claim "NOR, standard error closed: w" 0 "" "" -- closed 2 cellrw w 100 CLOSED
readback "NOR, standard error closed" "" 100
before=$(snapshot)
claim "NOR, standard output closed: cellshow" 0 "" "" -- closed 1 cellshow factory 0
same "NOR, standard output closed: the flash is unchanged" "$before" "$(snapshot)"

echo "== a NOR partition smaller than the region"
nor 256
seed 0 1
before=$(snapshot)
short_read=$'[mtd_get_data] read error!!\nnand flash read:: Success\n'
claim "small NOR: w refused" 255 "" "${short_read}cellrw: the factory data could not be read whole; nothing written"$'\n' -- cellrw w 0 X
same "small NOR: the flash is unchanged" "$before" "$(snapshot)"
claim "small NOR: cellshow in the second block" 0 $'BLOCK1\n' $'[main] read error!!\nnand flash read:: Success\n' -- cellshow factory 131072
claim "small NOR: cellshow beyond the partition" 255 "" \
    $'[main] read error!!\nnand flash read:: Success\ncellshow: the cell at offset 392960 lies beyond the data that could be read\n' -- cellshow factory 392960

report
