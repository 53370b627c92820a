# SPDX-License-Identifier: MIT
# Simulated partitions for the black-box tests of the flash programs.
# Needs MTDSIM (the preload library) and MTDSIM_REGION (the region dump tool).
. "$CLAIM"

FLASH_DIR=$CLAIM_DIR/flash
mkdir -p "$FLASH_DIR"

# The build's region size, its partition setting, and the name of that setting's journal.
REGION=$((${FACTORY_REGION_SIZE:-0x60000}))
SETTING=${FACTORY_DEVICE:-/dev/mtd7}
JOURNAL_NAME=$(printf '%s' "$SETTING" | sed 's,^/dev/,,; s,[^A-Za-z0-9._-],_,g').journal

# The erase size of most partitions here, the blocks the region touches, their bytes (a
# commit loads, erases and writes them whole), and a partition of those blocks and one to
# spare: 128 KiB, 3, 0x60000 and 0x80000 for a region of 0x60000.
BLOCK=$((0x20000))
REGION_BLOCKS=$(((REGION + BLOCK - 1) / BLOCK))
COMMIT=$((REGION_BLOCKS * BLOCK))
PART=$((COMMIT + BLOCK))
# The smallest erase size from 256 KiB up that does not divide the region, so that the
# region ends inside a block (256 KiB for a region of 0x60000).
WIDE=$((0x40000))
while [ $((REGION % WIDE)) = 0 ]; do WIDE=$((WIDE * 2)); done

# name_layout DIR NAME...: MTD name files under DIR as MTDSIM_SYSFS takes them: the Nth
# NAME (from 0) in /sys/class/mtd/mtdN/name and in its read-only twin's mtdNro/name, and
# the same partitions in /proc/mtd.
name_layout() {
    local dir=$1 n=0 name
    shift
    rm -rf "$dir"
    mkdir -p "$dir/sys/class/mtd" "$dir/proc"
    echo 'dev:    size   erasesize  name' >"$dir/proc/mtd"
    for name in "$@"; do
        mkdir "$dir/sys/class/mtd/mtd$n" "$dir/sys/class/mtd/mtd${n}ro"
        printf '%s\n' "$name" >"$dir/sys/class/mtd/mtd$n/name"
        printf '%s\n' "$name" >"$dir/sys/class/mtd/mtd${n}ro/name"
        printf 'mtd%d: %08x %08x "%s"\n' $n $PART $BLOCK "$name" >>"$dir/proc/mtd"
        n=$((n + 1))
    done
}

# The partition's path in messages. For name:NAME the partitions are those of the kernel's
# nandsim, mtd0 to mtd7 named "NAND simulator partition N" (mtd7 takes NAME when no other
# has it), and the programs find NAME's /dev/mtdN there, which the simulator answers for.
NAMES=()
if [[ $SETTING == name:* ]]; then
    PART_NAME=${SETTING#name:}
    for n in 0 1 2 3 4 5 6 7; do NAMES+=("NAND simulator partition $n"); done
    DEVICE=""
    for n in "${!NAMES[@]}"; do [ "${NAMES[n]}" = "$PART_NAME" ] && DEVICE=/dev/mtd$n; done
    [ -n "$DEVICE" ] || { NAMES[7]=$PART_NAME; DEVICE=/dev/mtd7; }
    export MTDSIM_SYSFS=$CLAIM_DIR/names
    name_layout "$MTDSIM_SYSFS" "${NAMES[@]}"
else
    DEVICE=$SETTING
fi
export MTDSIM_DEVICE=$DEVICE

# renamed LAYOUT DEVICE COMMAND [ARG...]: COMMAND with the MTD name files under LAYOUT, and
# the simulator answering for DEVICE.
renamed() { (export MTDSIM_SYSFS=$1 MTDSIM_DEVICE=$2; shift 2; "$@"); }

# flash SIZE [ERASESIZE [TYPE]]: a fresh partition of SIZE bytes whose every erase
# block is filled with a pattern naming it ("blk3" repeated), no bad blocks, no faults,
# and an empty journal directory.
flash() {
    unset MTDSIM_ABSENT MTDSIM_GETINFO_FAIL MTDSIM_PROBE_ERROR MTDSIM_READ_FAIL \
          MTDSIM_ERASE_FAIL MTDSIM_WRITE_FAIL MTDSIM_SETBAD_FAIL MTDSIM_BAD MTDSIM_WRITESIZE \
          MTDSIM_REPORTED_ERASESIZE MTDSIM_ECC_FAIL MTDSIM_READONLY
    unset MTDSIM_SIGNAL MTDSIM_CUT MTDSIM_FILE_FAIL MTDSIM_FILE_TRACE MTDSIM_JOURNAL_FS
    export MTDSIM_IMAGE=$FLASH_DIR/part MTDSIM_TRACE=$FLASH_DIR/trace
    # The journal of a commit lives in a directory of the scenario's own, never the machine's.
    export FACTORY_JOURNAL_DIR=$FLASH_DIR/journal
    rm -rf "$FACTORY_JOURNAL_DIR"
    mkdir -m 700 "$FACTORY_JOURNAL_DIR"
    export MTDSIM_SIZE=$(($1)) MTDSIM_ERASESIZE=$((${2:-0x20000})) MTDSIM_TYPE=${3:-4}
    rm -f "$MTDSIM_IMAGE" "$MTDSIM_IMAGE".* "$MTDSIM_TRACE"
    local block=0 blocks=$((MTDSIM_SIZE / MTDSIM_ERASESIZE))
    while [ $block -lt $blocks ]; do
        yes "blk$block" | tr -d '\n' | head -c $MTDSIM_ERASESIZE
        block=$((block + 1))
    done >"$MTDSIM_IMAGE"
}

# put OFFSET TEXT: store TEXT and a NUL at partition byte OFFSET.
put() {
    printf '%s\0' "$2" | dd of="$MTDSIM_IMAGE" bs=1 seek=$(($1)) conv=notrunc status=none
}

# put_raw OFFSET TEXT: store TEXT without a NUL.
put_raw() {
    printf '%s' "$2" | dd of="$MTDSIM_IMAGE" bs=1 seek=$(($1)) conv=notrunc status=none
}

# blocks_of LENGTH [ERASESIZE]: the offset of each erase block (128 KiB unless given) that
# holds some of the first LENGTH bytes, one a line.
blocks_of() {
    local at=0 es=$((${2:-$BLOCK}))
    while [ $at -lt $(($1)) ]; do
        printf '0x%x\n' $at
        at=$((at + es))
    done
}

# block_reads LENGTH [FROM [ERASESIZE]]: the probe, the read and the count of uncorrectable
# errors of each block that loads LENGTH bytes from good blocks (128 KiB unless given) from
# partition offset FROM (0) on, as a reader loads them.
block_reads() {
    local length=$(($1)) at=$((${2:-0})) es=$((${3:-$BLOCK})) done=0 n
    while [ $done -lt $length ]; do
        n=$((length - done))
        [ $n -gt $es ] && n=$es
        printf 'getbad 0x%x -> 0\nread 0x%x 0x%x -> 0x%x\neccstats failed 0\n' $at $at $n $n
        done=$((done + n))
        at=$((at + es))
    done
}

# load_calls LENGTH: the device calls that load the first LENGTH bytes from good 128 KiB
# blocks, from the rewind on: a reader loads the region, a writer $COMMIT bytes.
load_calls() {
    printf 'lseek 0x0 SEEK_SET -> 0x0\neccstats failed 0\n'
    block_reads "$1"
}

# hex N: N as the traces and messages write it, 0x and lower-case digits.
hex() { printf '0x%x' $(($1)); }

# trace: the device calls since the last reset; trace_reset starts afresh.
trace() { cat "$MTDSIM_TRACE" 2>/dev/null; }
trace_reset() { rm -f "$MTDSIM_TRACE"; }

# region [LENGTH]: the first LENGTH (default the region's) bytes of good flash, bad blocks
# stepped over, as the loader sees them.
region() {
    built "$MTDSIM_REGION" "$MTDSIM_IMAGE" "$MTDSIM_ERASESIZE" $((${1:-$REGION}))
}

# device_calls: the calls of the last run that the simulator counts for a signal or a cut:
# reads, writes and ioctls, one trace line each, as "N CALL ..." lines.
device_calls() {
    grep -E '^(read|write|getinfo|eccstats|getbad|setbad|erase|ioctl)( |$)' "$MTDSIM_TRACE" | cat -n
}

# Every write into flash that was not erased first, as the simulator recorded it.
unerased() { cat "$MTDSIM_IMAGE.unerased" 2>/dev/null; }

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
# The lines of the writer: the progress line of a NAND block, its probe, and both.
nand_line() { printf '[cgi_max_write] write flash @ %08x, length = %d, MEMTYPE=NAND FLASH\n' "$1" "${2:-131072}"; }
probe_line() { printf '[cgi_max_write] check badblock @ 0x%x\n' "$1"; }
good_write() { probe_line "$1"; nand_line "$1"; }
nor_line() { printf '[cgi_max_write] write flash @ %08x, length = 131072, MEMTYPE=NOR FLASH\n' "$1"; }
# The lines of a commit of the region to good 128 KiB blocks, NAND and NOR.
nand_commit() { local block; for block in $(blocks_of $COMMIT); do good_write $block; done; }
nor_commit() { local block; for block in $(blocks_of $COMMIT); do nor_line $block; done; }

show() { trace_reset; preloaded "$MTDSIM" "$CELLSHOW" "$@"; }
rw() { trace_reset; preloaded "$MTDSIM" "$CELLRW" "$@"; }
