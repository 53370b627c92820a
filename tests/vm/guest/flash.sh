# SPDX-License-Identifier: MIT
# Helpers of the flash suites in the guest: the chips, the journal's disk, the reference
# region, and the region read back the way the programs' reader finds it. Sourced after
# claim.sh; the shipped programs are /bin/cellrw and /bin/cellshow, the probe is
# /bin/mtdprobe. The suites need the modules of the disk (virtio_pci virtio_blk
# crc32c_generic ext4) and the disk itself (vm-disk).
# /bin/cellrw-byname and /bin/cellshow-byname are the same programs built to find their
# partition by its name when they run: NAME, nandsim's name for the partition that nand
# puts at mtd7 (tests/vm/CMakeLists.txt gives it to the build). Their journal is named after
# that setting, as NAME_JOURNAL.

# DEV: the partition that the helpers below work on; a suite that moves it sets DEV.
DEV=/dev/mtd7
NAME="NAND simulator partition 7"
NAME_JOURNAL=name_NAND_simulator_partition_7.journal
REGION=393216
WORK=/tmp/flash
mkdir -p "$WORK"

# A commit keeps its journal on the guest's disk, an ext2 file system, which the programs
# take to survive a power cut; the initramfs is a tmpfs or ramfs, where they warn. The
# directory is the suites' own and starts empty with every chip.
JOURNAL=/journal/cellrw
JOURNAL_FILE=$JOURNAL/mtd7.journal
export FACTORY_JOURNAL_DIR=$JOURNAL
mkdir -p /journal
{ modprobe virtio_pci && modprobe virtio_blk && modprobe crc32c_generic && modprobe ext4 &&
    mount -t ext2 /dev/vda /journal; } || echo "mounting the journal's disk failed"

# journal_left: the files in the journal directory, none after a commit that completed.
journal_left() {
    ls -A "$JOURNAL"
}

# unload: no flash left; every mark and fault of the last chip is gone with it, and so is
# any journal of it.
unload() {
    local module
    for module in mtdram nandsim block2mtd brd; do
        if grep -q "^$module " /proc/modules; then
            rmmod $module || echo "rmmod $module failed"
        fi
    done
    rm -rf "$JOURNAL"
    mkdir -m 700 "$JOURNAL"
}

# The NAND chip that nand loads, by its erase-block size in KiB: its ID bytes, and the
# geometry that BLOCK (bytes a block), PAGE (bytes a page) and PAGES (pages a block) give.
# 128: ST Micro's 128 MiB chip, 2 KiB pages; 256: Micron's 1 GiB MT29F8G08ABACA, 4 KiB pages.
chip() {
    case $1 in
    128) CHIP_ID=0x20,0xa1,0x00,0x15 BLOCK=131072 PAGE=2048 ;;
    256) CHIP_ID=0x2c,0xd3,0x90,0xa6,0x64 BLOCK=262144 PAGE=4096 ;;
    esac
    PAGES=$((BLOCK / PAGE))
}
chip 128

# nand BLOCKS [PARAM...]: a fresh simulated NAND chip, the one chip chose last, whose
# partitions 0 to 6 are one block each, so that /dev/mtd7 is BLOCKS blocks long. The
# PARAMs go to nandsim, which numbers blocks and pages from the chip's start: see
# chip_block and chip_page.
nand() {
    local blocks=$1
    shift
    unload
    modprobe nandsim id_bytes=$CHIP_ID parts=1,1,1,1,1,1,1,$blocks "$@" ||
        echo "modprobe nandsim $* failed"
}

# nor KIB: a RAM-backed NOR-like device of KIB KiB with 128 KiB blocks as /dev/mtd7,
# after a NAND chip that takes the first seven MTD numbers.
nor() {
    unload
    modprobe nandsim id_bytes=$CHIP_ID parts=1,1,1,1,1,1 &&
        modprobe mtdram total_size="$1" erase_size=128 ||
        echo "modprobe mtdram total_size=$1 failed"
}

# chip_block B: nandsim's number of block B of mtd7. chip_page B P: of its page P.
chip_block() { echo $((7 + $1)); }
chip_page() { echo $(((7 + $1) * PAGES + $2)); }

# put FILE OFFSET TEXT: TEXT and a NUL at byte OFFSET of FILE.
put() {
    printf '%s\0' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

# The reference region: its 128 KiB block k is "imgk" repeated, with NUL-terminated cells
# at CELLS, one of them across the edge of blocks 1 and 2.
CELLS="512 131072 262136 392960"
for k in 0 1 2; do
    yes "img$k" | tr -d '\n' | head -c 131072
done >"$WORK/image"
put "$WORK/image" 0 FACTORY
put "$WORK/image" 512 SN123
put "$WORK/image" 131072 BLOCK1
put "$WORK/image" 262136 ACROSS-THE-EDGE
put "$WORK/image" 262160 BLOCK2
put "$WORK/image" 392960 LAST

# seed BLOCK...: the reference region written into the given blocks of mtd7, in order;
# only as many blocks as given are written. Every other block keeps what it holds.
seed() {
    local k=0 b
    for b in "$@"; do
        dd if="$WORK/image" of=$DEV bs=$BLOCK skip=$k seek="$b" count=1 conv=notrunc 2>/dev/null ||
            echo "seeding block $b failed"
        k=$((k + 1))
    done
}

# fill B TEXT: block B of mtd7 holds TEXT repeated.
fill() {
    yes "$2" | tr -d '\n' | head -c $BLOCK | dd of=$DEV bs=$BLOCK seek="$1" count=1 conv=notrunc 2>/dev/null ||
        echo "filling block $1 failed"
}

# damage B: page 0 of block B programmed a second time, with other data and without an
# erase, so that its ECC no longer matches: its reads fail uncorrectably.
damage() {
    seq 100000 | tr -d '\n' | head -c $PAGE | dd of=$DEV bs=$PAGE seek=$(($1 * PAGES)) conv=notrunc 2>/dev/null ||
        echo "damaging block $1 failed"
}

# ecc_failed: the partition's count of uncorrectable reads.
ecc_failed() {
    mtdprobe $DEV eccstats | sed -n 's/.* failed \([0-9]*\) .*/\1/p'
}

# expect OFFSET VALUE: the region a commit of VALUE at OFFSET should leave on flash.
expect() {
    cp "$WORK/image" "$WORK/expected"
    put "$WORK/expected" "$1" "$2"
}

# blocks: the number of blocks of the partition DEV.
blocks() {
    echo $(($(cat /sys/class/mtd/${DEV#/dev/}/size) / BLOCK))
}

# bad_blocks: the blocks of DEV that the kernel reports bad, as "1 2 ".
bad_blocks() {
    local b=0 n calls=""
    n=$(blocks)
    while [ $b -lt "$n" ]; do
        calls="$calls getbad $((b * BLOCK))"
        b=$((b + 1))
    done
    mtdprobe $DEV $calls | sed -n 's/^getbad \(0x[0-9a-f]*\) -> 1$/\1/p' | while read -r offset; do
        printf '%d ' $((offset / BLOCK))
    done
}

# good_region: the first REGION bytes of the good blocks, in order, as the reader packs them.
good_region() {
    local b=0 n bad
    n=$(blocks)
    bad=" $(bad_blocks)"
    while [ $b -lt "$n" ]; do
        case "$bad" in
        *" $b "*) ;;
        *) dd if=$DEV bs=$BLOCK skip=$b count=1 2>/dev/null ;;
        esac
        b=$((b + 1))
    done | head -c $REGION
}

# cell OFFSET: the expected text at OFFSET, up to its NUL.
cell() {
    tail -c +$(($1 + 1)) "$WORK/expected" | head -c 300 | tr '\0' '\n' | head -n 1
}

# The programs that readback runs: SHOW and RW, the shipped ones unless a suite sets the
# by-name ones.
SHOW=cellshow RW=cellrw

# readback NAME BAD [OFFSET]: after a commit that put the expected region on flash, the
# kernel reports exactly the blocks BAD ("1 2 ") bad, the good blocks of DEV in order hold
# the expected region, no journal is left, and SHOW and RW r print its cells (those of the
# reference region, and OFFSET's).
readback() {
    local off
    same "$1: the kernel reports bad blocks" "$2" "$(bad_blocks)"
    good_region >"$WORK/back"
    same "$1: the good blocks hold the expected region" "" "$(cmp "$WORK/back" "$WORK/expected" 2>&1)"
    same "$1: no journal is left" "" "$(journal_left)"
    for off in $CELLS $3; do
        claim "$1: $SHOW at $off" 0 "$(cell "$off")"$'\n' "" -- $SHOW factory "$off"
    done
    [ -z "$3" ] || claim "$1: $RW r at $3" 0 "$(cell "$3")" "" -- $RW r "$3"
}

# snapshot: a checksum of every byte of DEV, bad blocks included.
snapshot() {
    dd if=$DEV bs=$BLOCK 2>/dev/null | md5sum
}

# past_region B: a checksum of the bytes of block B past the region, when B is the
# region's last block and the region ends inside it.
past_region() {
    local tail=$((REGION % BLOCK))
    dd if=$DEV bs=$PAGE skip=$((($1 * BLOCK + tail) / PAGE)) count=$(((BLOCK - tail) / PAGE)) 2>/dev/null | md5sum
}

# closed N COMMAND...: COMMAND run with its standard descriptor N closed.
closed() {
    local n=$1
    shift
    case $n in
    0) "$@" <&- ;;
    1) "$@" >&- ;;
    2) "$@" 2>&- ;;
    esac
}

# The lines cellrw writes while it commits.
# A closed descriptor is opened on /dev/null first: the partition never becomes one of
# them, so no message of the programs can reach the flash. $1 starts each claim's name.
closed_claims() {
    seed 0 1 2
    expect 100 CLOSED
    claim "${1}standard error closed: w" 0 "" "" -- closed 2 cellrw w 100 CLOSED
    readback "${1}standard error closed" "" 100
    local before
    before=$(snapshot)
    claim "${1}standard output closed: cellshow" 0 "" "" -- closed 1 cellshow factory 0
    same "${1}standard output closed: the flash is unchanged" "$before" "$(snapshot)"
}

probe_line() { printf '[cgi_max_write] check badblock @ 0x%x\n' "$1"; }
bad_line() { printf 'bad block at %08x bad\n' "$1"; }
nand_line() { printf '[cgi_max_write] write flash @ %08x, length = %d, MEMTYPE=NAND FLASH\n' "$1" $BLOCK; }
nor_line() { printf '[cgi_max_write] write flash @ %08x, length = %d, MEMTYPE=NOR FLASH\n' "$1" $BLOCK; }
marking_line() { printf 'Marking block at %08x bad\n' "$1"; }
completing_line() { printf '%s: completing an interrupted commit from %s\n' "$1" "${2:-$JOURNAL_FILE}"; }
# good_write OFFSET: the probe and the write of a good block.
good_write() { probe_line "$1"; nand_line "$1"; }

# report: the end of the kernel's log when a claim failed, then the tally.
report() {
    [ "$claim_failed" = 0 ] || { echo "-- dmesg"; dmesg | tail -n 30; }
    finish
}
