# SPDX-License-Identifier: MIT
# NOR: the kernel's answers for a RAM-backed MTD device (mtdram), then cellrw and
# cellshow on it, also with closed standard descriptors; then the by-name programs on a
# NAND partition that mtdram, registered first, has moved to another MTD number, and beside
# a second device of the same name (a RAM disk through block2mtd).
# vm-modules: nandsim virtio_pci virtio_blk crc32c_generic ext4 mtdram brd block2mtd
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
# mtdram's device is mtd7, and nandsim's partitions are 0 to 6: none has the name.
before=$(snapshot)
claim "NOR: cellrw-byname finds no partition of its name" 255 "" "cellrw: no MTD partition is named $NAME"$'\n' \
    -- cellrw-byname w 600 NORCELL
same "NOR: cellrw-byname left mtd7 as it was" "$before" "$(snapshot)"
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
closed_claims "NOR, "

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

echo "== the partition found by its name, renumbered"
# Killed mid-commit while the name is at mtd7, the by-name commit is completed after the
# chips come back as on a boot with one more: mtdram, registered first, has moved nandsim's
# partitions up by one and the name to mtd8. The journal is named after the setting, not
# after the number, so the next run still finds it; the messages name mtd8.
nand 4
seed 0 1 2
expect 100 RENUMBERED
claim "by name, at mtd7: w killed between two writes" 137 "" "$(good_write 0)"$'\n' \
    -- mtdkill write 1 cellrw-byname w 100 RENUMBERED
same "by name: the journal is named after the setting" "$NAME_JOURNAL" "$(journal_left)"
# The journal stays; the new chip holds what the kill left: block 0 new, blocks 1 and 2 blank.
{ rmmod nandsim && modprobe mtdram total_size=1024 erase_size=128 &&
    modprobe nandsim id_bytes=$CHIP_ID parts=1,1,1,1,1,1,1,4; } || echo "renumbering failed"
DEV=/dev/mtd8
dd if="$WORK/expected" of=$DEV bs=$BLOCK count=1 2>/dev/null || echo "writing block 0 failed"
same "renumbered: mtdram is mtd0, and the name is at mtd8" "mtd0: 00100000 00020000 \"mtdram test device\"
mtd7: 00020000 00020000 \"NAND simulator partition 6\"
mtd8: 00080000 00020000 \"$NAME\"" "$(grep -E '^mtd[078]:' /proc/mtd)"
mv $DEV /dev/mtd8rw
ln -s mtd8ro $DEV
claim "renumbered, mtd8 read-only: cellshow answers from the setting's journal" 0 $'RENUMBERED\n' \
    "cellshow: /dev/mtd8 cannot be written: answering from the interrupted commit in $JOURNAL/$NAME_JOURNAL"$'\n' \
    -- cellshow-byname factory 100
claim "renumbered, mtd8 read-only: w cannot open mtd8" 255 "" $'mtd: /dev/mtd8 open fail!!!\ncellrw could not get factory data\n' \
    -- cellrw-byname w 512 X
rm $DEV
mv /dev/mtd8rw $DEV
claim "renumbered: cellrw r completes the commit on mtd8" 0 "RENUMBERED" \
    "$(completing_line cellrw "$JOURNAL/$NAME_JOURNAL"; good_write 0; good_write 0x20000; good_write 0x40000)"$'\n' \
    -- cellrw-byname r 100
SHOW=cellshow-byname RW=cellrw-byname
readback "renumbered" "" 100
put "$WORK/expected" 600 MOVED
claim "renumbered: w commits on mtd8" 0 "" "$(good_write 0; good_write 0x20000; good_write 0x40000)"$'\n' \
    -- cellrw-byname w 600 MOVED
readback "renumbered, w" "" 600
same "renumbered: mtd7, nandsim's partition 6, is untouched" "read 0x0 0x20000 -> 0x20000 = ff*131072" \
    "$(mtdprobe -r /dev/mtd7 seek 0 read 0x20000 | grep ^read)"
umount /sys
claim "renumbered, without sysfs: /proc/mtd names mtd8" 0 $'RENUMBERED\n' "" -- cellshow-byname factory 100
mount -t sysfs sysfs /sys

# A second device of the same name: a RAM disk as an MTD device, labelled NAME.
before=$(snapshot)
{ modprobe brd rd_nr=1 rd_size=256 && modprobe block2mtd &&
    echo "/dev/ram0,131072,$NAME" >/sys/module/block2mtd/parameters/block2mtd; } || echo "block2mtd failed"
same "two of the name: /proc/mtd lists both" "mtd8: 00080000 00020000 \"$NAME\"
mtd10: 00040000 00020000 \"$NAME\"" "$(grep "\"$NAME\"" /proc/mtd)"
claim "two of the name: w" 255 "" "cellrw: 2 MTD partitions are named $NAME"$'\n' -- cellrw-byname w 100 X
claim "two of the name: cellshow" 255 "" "cellshow: 2 MTD partitions are named $NAME"$'\n' -- cellshow-byname factory 100
same "two of the name: mtd8 is unchanged" "$before" "$(snapshot)"
SHOW=cellshow RW=cellrw
DEV=/dev/mtd7

report
