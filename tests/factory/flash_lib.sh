# SPDX-License-Identifier: MIT
# Simulated partitions for the black-box tests of the flash programs.
# Needs MTDSIM (the preload library) and MTDSIM_REGION (the region dump tool).
. "$CLAIM"

FLASH_DIR=$CLAIM_DIR/flash
mkdir -p "$FLASH_DIR"

# The build's region size, and the name of the journal of its partition setting.
REGION=$((${FACTORY_REGION_SIZE:-0x60000}))
JOURNAL_NAME=$(printf '%s' "${FACTORY_DEVICE:-/dev/mtd7}" | sed 's,^/dev/,,; s,[^A-Za-z0-9._-],_,g').journal

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

# three_block_load: the device calls that load the region from three good 128 KiB blocks,
# from the rewind on.
three_block_load() {
    printf 'lseek 0x0 SEEK_SET -> 0x0\neccstats failed 0\n'
    local block
    for block in 0 0x20000 0x40000; do
        printf 'getbad 0x%x -> 0\nread 0x%x 0x20000 -> 0x20000\neccstats failed 0\n' $block $block
    done
}

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

show() { trace_reset; preloaded "$MTDSIM" "$CELLSHOW" "$@"; }
rw() { trace_reset; preloaded "$MTDSIM" "$CELLRW" "$@"; }
