#!/bin/bash
# SPDX-License-Identifier: MIT
# Every single fault, and pairs of them, at every block of a partition with room to
# spare. Whatever happens, cellrw w either exits 0 with the intended region on flash
# (read back with bad blocks stepped over) or exits 255 with a message; it never
# writes into flash that was not erased.
. "$(dirname "$0")/flash_lib.sh"

blocks=6
value=MATRIX-VALUE
offset=200000

# scenario NAME VAR=VALUE...: run one commit under the given faults and check the promise.
scenario() {
    local name=$1
    shift
    flash $((blocks * 0x20000))
    local setting
    for setting in "$@"; do export "$setting"; done
    region >"$FLASH_DIR/expected" 2>/dev/null
    printf '%s\0' "$value" | dd of="$FLASH_DIR/expected" bs=1 seek=$offset conv=notrunc status=none
    preloaded "$MTDSIM" "$CELLRW" w $offset "$value" >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
    local status=$?
    local verdict=""
    case $status in
        0) region 2>/dev/null | cmp -s - "$FLASH_DIR/expected" || verdict="exit 0 but the region differs" ;;
        255) [ -s "$FLASH_DIR/err" ] || verdict="exit 255 without a message" ;;
        *) verdict="exit $status" ;;
    esac
    [ -z "$(unerased)" ] || verdict="$verdict; wrote into unerased flash: $(unerased | head -n 1)"
    [ -s "$FLASH_DIR/out" ] && verdict="$verdict; printed on standard output"
    for setting in "$@"; do unset "${setting%%=*}"; done
    same "$name" "" "$verdict"
}

for b in $(seq 0 $((blocks - 1))); do
    scenario "bad block $b" MTDSIM_BAD=$b
    scenario "write failing (EIO) in block $b" MTDSIM_WRITE_FAIL=$b:eio
    scenario "write answering short in block $b" MTDSIM_WRITE_FAIL=$b:short
    scenario "write failing in block $b, not markable" MTDSIM_WRITE_FAIL=$b:eio MTDSIM_SETBAD_FAIL=1
    scenario "erase failing (EIO) in block $b" MTDSIM_ERASE_FAIL=$b:EIO
    scenario "erase failing (EPERM) in block $b" MTDSIM_ERASE_FAIL=$b:EPERM
    scenario "probe error at block $b" MTDSIM_PROBE_ERROR=$b
    for c in $(seq 0 $((blocks - 1))); do
        [ $b = $c ] && continue
        scenario "bad block $b, write failing in block $c" MTDSIM_BAD=$b MTDSIM_WRITE_FAIL=$c:eio
        scenario "erase failing (EIO) in block $b, write failing in block $c" MTDSIM_ERASE_FAIL=$b:EIO MTDSIM_WRITE_FAIL=$c:eio
        scenario "writes failing in blocks $b and $c" MTDSIM_WRITE_FAIL=$b:eio,$c:eio
    done
done
for n in 1 2 3 4; do
    scenario "MEMGETINFO failing from call $n" MTDSIM_GETINFO_FAIL=$n
done
for n in 1 2 3 4 5 6 7; do
    scenario "read $n failing" MTDSIM_READ_FAIL=$n:-1
done
scenario "every probe failing" MTDSIM_PROBE_ERROR=all

finish
