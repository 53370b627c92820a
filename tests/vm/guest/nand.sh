# SPDX-License-Identifier: MIT
# NAND: the kernel's answers to the calls the flash programs make, then cellrw and
# cellshow on simulated NAND chips with bad, failing and wearing blocks, with erase blocks
# wider than the region's tail, with closed standard descriptors, and killed mid-commit.
# vm-modules: nandsim virtio_pci virtio_blk crc32c_generic ext4
# vm-disk: 4
. /vm/claim.sh
. /vm/flash.sh

P="mtdprobe $DEV"

echo "== what the kernel answers"
nand 4 badblocks=$(chip_block 1)
same "geometry; bad-block probes are partition-relative and fail from the partition's end on" \
"info type 4 size 0x80000 erasesize 0x20000 writesize 0x800
getbad 0x0 -> 0
getbad 0x20000 -> 1
getbad 0x60000 -> 0
getbad 0x80000 -> -1 EINVAL
getbad 0x100000 -> -1 EINVAL" "$($P info getbad 0 getbad 0x20000 getbad 0x60000 getbad 0x80000 getbad 0x100000)"
same "read and write do not step over a bad block; erasing it fails with EIO" \
"lseek 0x20000 SEEK_SET -> 0x20000
read 0x20000 0x20000 -> 0x20000 = ff*131072
lseek 0x20000 SEEK_SET -> 0x20000
write 0x20000 0x800 -> 0x800
erase 0x20000 0x20000 -> -1 EIO
getbad 0x20000 -> 1" "$($P seek 0x20000 read 0x20000 seek 0x20000 write 0x800 0x11 erase 0x20000 0x20000 getbad 0x20000)"
same "an erase that meets a bad block fails there, after the blocks before it" \
"lseek 0x0 SEEK_SET -> 0x0
write 0x0 0x800 -> 0x800
erase 0x0 0x80000 -> -1 EIO
lseek 0x0 SEEK_SET -> 0x0
read 0x0 0x800 -> 0x800 = ff*2048" "$($P seek 0 write 0x800 0x11 erase 0 0x80000 seek 0 read 0x800)"
same "writes are whole pages on page boundaries, else EINVAL" \
"lseek 0x0 SEEK_SET -> 0x0
write 0x0 0x64 -> -1 EINVAL
lseek 0x100 SEEK_SET -> 0x100
write 0x100 0x800 -> -1 EINVAL
lseek 0x0 SEEK_CUR -> 0x100
lseek 0x800 SEEK_SET -> 0x800
write 0x800 0x1000 -> 0x1000
lseek 0x0 SEEK_CUR -> 0x1800" "$($P seek 0 write 100 0x22 seek 0x100 write 0x800 0x22 pos seek 0x800 write 0x1000 0x22 pos)"
same "a page programmed twice without an erase holds the AND of both, without an error" \
"erase 0x0 0x20000 -> 0
lseek 0x0 SEEK_SET -> 0x0
write 0x0 0x800 -> 0x800
lseek 0x0 SEEK_SET -> 0x0
write 0x0 0x800 -> 0x800
lseek 0x0 SEEK_SET -> 0x0
read 0x0 0x800 -> 0x800 = 0a*2048" "$($P erase 0 0x20000 seek 0 write 0x800 0x5a seek 0 write 0x800 0x0f seek 0 read 0x800)"
same "fsync on the device fails with EINVAL" "fsync -> -1 EINVAL" "$($P fsync)"
same "the partition's end: a read gives 0, a write across it is cut, a write at it fails" \
"lseek 0x80000 SEEK_SET -> 0x80000
read 0x80000 0x800 -> 0x0 =
lseek 0x7f800 SEEK_SET -> 0x7f800
write 0x7f800 0x1000 -> 0x800
lseek 0x0 SEEK_CUR -> 0x80000
write 0x80000 0x800 -> -1 ENOSPC" "$($P seek 0x80000 read 0x800 seek 0x7f800 write 0x1000 0x33 pos write 0x800 0x33)"
same "marking a good block answers 0 and erases it; marking a bad one answers 0" \
"lseek 0x40000 SEEK_SET -> 0x40000
write 0x40000 0x20000 -> 0x20000
setbad 0x40000 -> 0
getbad 0x40000 -> 1
lseek 0x40000 SEEK_SET -> 0x40000
read 0x40000 0x20000 -> 0x20000 = ff*131072
setbad 0x40000 -> 0
setbad 0x80000 -> -1 EINVAL" "$($P seek 0x40000 write 0x20000 0x44 setbad 0x40000 getbad 0x40000 seek 0x40000 read 0x20000 setbad 0x40000 setbad 0x80000)"
nand 4
same "marks live in the driver's memory: a new chip has none" "" "$(bad_blocks)"

# Block 1 cannot program its page 5, block 2 its page 0; block 3 cannot be erased.
nand 4 weakpages=$(chip_page 1 5):0,$(chip_page 2 0):0 weakblocks=$(chip_block 3):0
same "a failing program answers EIO and leaves the position; the pages before it hold the data" \
"lseek 0x20000 SEEK_SET -> 0x20000
write 0x20000 0x20000 -> -1 EIO
lseek 0x0 SEEK_CUR -> 0x20000
lseek 0x20000 SEEK_SET -> 0x20000
read 0x20000 0x20000 -> 0x20000 = 55*12288 ff*118784" "$($P seek 0x20000 write 0x20000 0x55 pos seek 0x20000 read 0x20000)"
same "a marker that cannot be programmed answers EIO, and the block is bad all the same" \
"setbad 0x40000 -> -1 EIO
getbad 0x40000 -> 1" "$($P setbad 0x40000 getbad 0x40000)"
same "a failing erase answers EIO, erases the block all the same, and does not mark it" \
"lseek 0x60000 SEEK_SET -> 0x60000
write 0x60000 0x800 -> 0x800
erase 0x60000 0x20000 -> -1 EIO
lseek 0x60000 SEEK_SET -> 0x60000
read 0x60000 0x20000 -> 0x20000 = ff*131072
getbad 0x60000 -> 0" "$($P seek 0x60000 write 0x800 0x66 erase 0x60000 0x20000 seek 0x60000 read 0x20000 getbad 0x60000)"

nand 4
seed 0 1
damage 1
failed=$(ecc_failed)
same "a page whose ECC does not match reads without an error" "lseek 0x20000 SEEK_SET -> 0x20000
read 0x20000 0x800 -> 0x800" "$($P seek 0x20000 read 0x800 | sed 's/ =.*//')"
same "only ECCGETSTATS tells: its count of uncorrectable reads grew" "grew" \
    "$([ "$(ecc_failed)" -gt "$failed" ] && echo grew || echo "stayed at $failed")"
same "a read-only descriptor reads and probes; erasing and marking answer EPERM, writing EBADF" \
"getbad 0x0 -> 0
lseek 0x60000 SEEK_SET -> 0x60000
read 0x60000 0x800 -> 0x800 = ff*2048
erase 0x60000 0x20000 -> -1 EPERM
setbad 0x60000 -> -1 EPERM
write 0x60800 0x800 -> -1 EBADF" "$(mtdprobe -r $DEV getbad 0 seek 0x60000 read 0x800 erase 0x60000 0x20000 setbad 0x60000 write 0x800 0)"
ln -sf mtd7ro /dev/mtd7link
same "the read-only node refuses a read-write open" "mtdprobe: cannot open /dev/mtd7link: Permission denied" \
    "$(mtdprobe /dev/mtd7link info 2>&1)"
rm /dev/mtd7link

echo "== clean NAND"
nand 4
seed 0 1 2
fill 3 tail3
expect 512 ABC
claim "clean: w" 0 "" "$(good_write 0; good_write 0x20000; good_write 0x40000)"$'\n' -- cellrw w 512 ABC
readback "clean" "" 512
same "clean: the block after the region is untouched" "tail3tail3" "$(dd if=$DEV bs=$BLOCK skip=3 count=1 2>/dev/null | head -c 10)"
# The initramfs is a tmpfs or a ramfs: a journal there would not survive a power cut.
put "$WORK/expected" 600 RAM
claim "clean: w with the journal on the initramfs warns, and commits" 0 "" \
    "cellrw: warning: the journal in /ramjournal is on a file system that does not survive a power cut
$(good_write 0; good_write 0x20000; good_write 0x40000)"$'\n' -- env FACTORY_JOURNAL_DIR=/ramjournal cellrw w 600 RAM
same "clean: the journal on the initramfs is gone after the commit" "" "$(ls -A /ramjournal)"
readback "clean, journal on the initramfs" "" 600

echo "== the partition found by its name"
# cellrw-byname and cellshow-byname look NAME up when they run: nandsim alone gives it, spaces
# and all, to mtd7. A chip whose partitions stop at 6 has none of that name.
nand 4
seed 0 1 2
same "by name: sysfs and /proc/mtd name mtd7 as the programs look for it" "$NAME
mtd7: 00080000 00020000 \"$NAME\"" "$(cat /sys/class/mtd/mtd7/name; grep '^mtd7:' /proc/mtd)"
expect 100 NAMED
claim "by name: w" 0 "" "$(good_write 0; good_write 0x20000; good_write 0x40000)"$'\n' -- cellrw-byname w 100 NAMED
SHOW=cellshow-byname RW=cellrw-byname
readback "by name" "" 100
SHOW=cellshow RW=cellrw
unload
modprobe nandsim id_bytes=$CHIP_ID parts=1,1,1,1,1,1 || echo "modprobe nandsim parts=1,1,1,1,1,1 failed"
claim "by name, partitions 0 to 6 only: w" 255 "" "cellrw: no MTD partition is named $NAME"$'\n' -- cellrw-byname w 100 X
claim "by name, partitions 0 to 6 only: cellshow" 255 "" "cellshow: no MTD partition is named $NAME"$'\n' \
    -- cellshow-byname factory 100

echo "== the first block bad"
nand 4 badblocks=$(chip_block 0)
seed 1 2 3
expect 0 FIRST
claim "first block bad: w" 0 "" "$(probe_line 0; bad_line 0; good_write 0x20000; good_write 0x40000; good_write 0x60000)"$'\n' \
    -- cellrw w 0 FIRST
readback "first block bad" "0 " 0

echo "== two bad blocks in a row"
nand 5 badblocks=$(chip_block 1),$(chip_block 2)
seed 0 3 4
expect 262136 NEW-ACROSS-EDGE
claim "two bad blocks: w across the edge of the region's blocks 1 and 2" 0 "" \
    "$(good_write 0; probe_line 0x20000; bad_line 0x20000; probe_line 0x40000; bad_line 0x40000; good_write 0x60000; good_write 0x80000)"$'\n' \
    -- cellrw w 262136 NEW-ACROSS-EDGE
readback "two bad blocks" "1 2 " 262136

echo "== the last block holds the region's end"
nand 4 badblocks=$(chip_block 1)
seed 0 2 3
expect 392960 END
claim "last block needed: w" 0 "" "$(good_write 0; probe_line 0x20000; bad_line 0x20000; good_write 0x40000; good_write 0x60000)"$'\n' \
    -- cellrw w 392960 END
readback "last block needed" "1 " 392960

echo "== the last block bad when the region needs it"
nand 4 badblocks=$(chip_block 1),$(chip_block 3)
seed 0 2
before=$(snapshot)
claim "too few good blocks: w refused" 255 "" $'cellrw: the factory data could not be read whole; nothing written\n' -- cellrw w 0 X
same "too few good blocks: the flash is unchanged" "$before" "$(snapshot)"
claim "too few good blocks: r of a cell that was read" 0 "SN123" "" -- cellrw r 512
claim "too few good blocks: cellshow of the cell across the missing edge" 255 "" \
    $'cellshow: the cell at offset 262136 lies beyond the data that could be read\n' -- cellshow factory 262136

echo "== a partition smaller than the region"
nand 2
seed 0 1
before=$(snapshot)
claim "small partition: w refused" 255 "" $'cellrw: the factory data could not be read whole; nothing written\n' -- cellrw w 70000 X
same "small partition: the flash is unchanged" "$before" "$(snapshot)"
claim "small partition: cellshow in the second block" 0 $'BLOCK1\n' "" -- cellshow factory 131072
claim "small partition: cellshow beyond the partition" 255 "" \
    $'cellshow: the cell at offset 392960 lies beyond the data that could be read\n' -- cellshow factory 392960

echo "== a write failing in the second block"
nand 5 weakpages=$(chip_page 1 5):1
seed 0 1 2
fill 3 tail3
fill 4 tail4
expect 70000 MOVED
claim "write failure: w, the block marked once the next write works" 0 "" "$(good_write 0; good_write 0x20000
    echo 'write size(-1) != len(131072), badblock!!'; good_write 0x40000; marking_line 0x20000
    good_write 0x60000)"$'\n' -- cellrw w 70000 MOVED
readback "write failure" "1 " 70000
same "write failure: the block after the moved data is untouched" "tail4tail4" \
    "$(dd if=$DEV bs=$BLOCK skip=4 count=1 2>/dev/null | head -c 10)"

echo "== a write failing where the bad-block marker cannot be programmed"
nand 5 weakpages=$(chip_page 1 0):1
seed 0 1 2
fill 3 tail3
expect 300000 UNMARKABLE
claim "unmarkable: w" 0 "" "$(good_write 0; good_write 0x20000; echo 'write size(-1) != len(131072), badblock!!'
    good_write 0x40000; marking_line 0x20000; echo 'MEMSETBADBLOCK: Input/output error'
    good_write 0x60000)"$'\n' -- cellrw w 300000 UNMARKABLE
readback "unmarkable" "1 " 300000

echo "== an erase failing in a block"
nand 5 weakblocks=$(chip_block 1):0
seed 0 1 2
fill 3 tail3
fill 4 tail4
expect 9 WORN
claim "erase failure: w" 0 "" "$(echo 'erase failure!'; marking_line 0x20000
    good_write 0; probe_line 0x20000; bad_line 0x20000; good_write 0x40000; good_write 0x60000)"$'\n' -- cellrw w 9 WORN
readback "erase failure" "1 " 9
same "erase failure: the block after the region is untouched" "tail4tail4" \
    "$(dd if=$DEV bs=$BLOCK skip=4 count=1 2>/dev/null | head -c 10)"

echo "== an erase failing in the block that moved data goes to"
nand 6 weakpages=$(chip_page 1 5):1 weakblocks=$(chip_block 3):0
seed 0 1 2
fill 3 tail3
fill 4 tail4
fill 5 tail5
expect 131072 TWICE
claim "write then erase failure: w, each block marked once the next of its kind works" 0 "" \
    "$(good_write 0; good_write 0x20000; echo 'write size(-1) != len(131072), badblock!!'
    good_write 0x40000; marking_line 0x20000; probe_line 0x60000; echo 'erase failure!'
    probe_line 0x80000; marking_line 0x60000; nand_line 0x80000)"$'\n' -- cellrw w 131072 TWICE
readback "write then erase failure" "1 3 " 131072
same "write then erase failure: the last block is untouched" "tail5tail5" \
    "$(dd if=$DEV bs=$BLOCK skip=5 count=1 2>/dev/null | head -c 10)"

# No later block can show that the chip still works: the commit stops without marking the
# block, and writes the image back into every block it left blank. The kernel's failed
# erase erased the block all the same, so all three take it, and the check finds the new
# image on flash; the commit still fails.
echo "== an erase failing in the last block, with no block after it"
nand 3 weakblocks=$(chip_block 2):0
seed 0 1 2
expect 9 X
claim "worn last block: w stops, writes the image back and fails" 255 "" \
    "$(echo 'erase failure!'; nand_line 0; nand_line 0x20000; nand_line 0x40000)"$'\ncellrw: the commit stopped, but the flash holds the new factory data\n' -- cellrw w 9 X
readback "worn last block" "" 9

echo "== uncorrectable errors in the second block"
nand 4
seed 0 1 2
damage 1
before=$(snapshot)
claim "uncorrectable: w refused" 255 "" $'cellrw: the factory data has uncorrectable errors; nothing written\n' -- cellrw w 512 X
same "uncorrectable: the flash is unchanged" "$before" "$(snapshot)"
claim "uncorrectable: cellshow in the first block" 0 $'SN123\n' "" -- cellshow factory 512
claim "uncorrectable: cellshow in the damaged block" 255 "" \
    $'cellshow: the cell at offset 131072 lies in flash with uncorrectable errors\n' -- cellshow factory 131072
claim "uncorrectable: cellshow of a cell running into the next block" 255 "" \
    $'cellshow: the cell at offset 262136 lies in flash with uncorrectable errors\n' -- cellshow factory 262136
claim "uncorrectable: cellshow in the third block" 0 $'BLOCK2\n' "" -- cellshow factory 262160

echo "== a partition the kernel opens read-only"
nand 4
seed 0 1 2
mv $DEV /dev/mtd7rw
ln -s mtd7ro $DEV
claim "read-only: cellshow" 0 $'BLOCK1\n' "" -- cellshow factory 131072
claim "read-only: cellrw r" 0 "SN123" "" -- cellrw r 512
claim "read-only: cellrw w cannot open the partition" 255 "" $'mtd: /dev/mtd7 open fail!!!\ncellrw could not get factory data\n' \
    -- cellrw w 512 X
rm $DEV
mv /dev/mtd7rw $DEV

echo "== closed standard descriptors"
nand 4
closed_claims ""

echo "== 256 KiB blocks: the region ends inside its last block"
# The commit erases the whole of block 1, and writes back the half past the region as it was.
chip 256
nand 3
seed 0 1
yes past1 | tr -d '\n' | head -c $((2 * BLOCK - REGION)) | dd of=$DEV bs=$PAGE seek=$((REGION / PAGE)) 2>/dev/null
fill 2 tail2
past=$(past_region 1)
expect 392960 WIDE
claim "256 KiB blocks: w" 0 "" "$(good_write 0; good_write 0x40000)"$'\n' -- cellrw w 392960 WIDE
readback "256 KiB blocks" "" 392960
same "256 KiB blocks: the rest of the region's last block is unchanged" "$past" "$(past_region 1)"
same "256 KiB blocks: the block after the region is untouched" "tail2tail2" \
    "$(dd if=$DEV bs=$BLOCK skip=2 count=1 2>/dev/null | head -c 10)"
# Killed once block 1 is erased: the data past the region is then only in the journal.
put "$WORK/expected" 512 WIDE-KILLED
claim "256 KiB blocks: w killed as its second erase returns" 137 "" "" -- mtdkill erase 2 cellrw w 512 WIDE-KILLED
claim "256 KiB blocks: cellshow completes the commit" 0 $'WIDE-KILLED\n' \
    "$(completing_line cellshow; good_write 0; good_write 0x40000)"$'\n' -- cellshow factory 512
readback "256 KiB blocks, killed" "" 512
same "256 KiB blocks, killed: the rest of the region's last block is unchanged" "$past" "$(past_region 1)"
chip 128

echo "== cellrw w killed during its commit"
# SIGKILL as one of the commit's flash calls returns: the journal holds the image, and the
# next run of either program completes the commit before it answers, even when that run
# is killed too.
commit=$(good_write 0; good_write 0x20000; good_write 0x40000)
nand 4
seed 0 1 2
expect 100 KILLED
claim "killed during the erases: w" 137 "" "" -- mtdkill erase 1 cellrw w 100 KILLED
same "killed during the erases: the journal is kept, block 0 is blank" "mtd7.journal
read 0x0 0x20000 -> 0x20000 = ff*131072" "$(journal_left; mtdprobe -r $DEV seek 0 read 0x20000 | grep ^read)"
claim "killed during the erases: cellshow, killed as its second erase returns" 137 "" "$(completing_line cellshow)"$'\n' \
    -- mtdkill erase 2 cellshow factory 100
claim "killed during the erases: cellrw r completes the commit" 0 "KILLED" "$(completing_line cellrw; echo "$commit")"$'\n' \
    -- cellrw r 100
readback "killed during the erases" "" 100

nand 4
seed 0 1 2
claim "killed between two writes: w" 137 "" "$(good_write 0)"$'\n' -- mtdkill write 1 cellrw w 100 KILLED
same "killed between two writes: the journal is kept, block 1 is blank" "mtd7.journal
read 0x20000 0x20000 -> 0x20000 = ff*131072" "$(journal_left; mtdprobe -r $DEV seek 0x20000 read 0x20000 | grep ^read)"
claim "killed between two writes: cellshow completes the commit" 0 $'KILLED\n' "$(completing_line cellshow; echo "$commit")"$'\n' \
    -- cellshow factory 100
readback "killed between two writes" "" 100

nand 4
seed 0 1 2
claim "killed after the last write: w" 137 "" "$commit"$'\n' -- mtdkill write 3 cellrw w 100 KILLED
same "killed after the last write: the journal is kept, the flash holds the new region" "mtd7.journal" \
    "$(journal_left; good_region | cmp - "$WORK/expected" 2>&1)"
claim "killed after the last write: cellrw r finds the commit complete" 0 "KILLED" "$(completing_line cellrw)"$'\n' \
    -- cellrw r 100
readback "killed after the last write" "" 100

report
