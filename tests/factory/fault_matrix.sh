#!/bin/bash
# SPDX-License-Identifier: MIT
# Every single fault at every block, on NAND (SLC and MLC) and NOR with 128, 256 and 512 KiB
# blocks, whole chips that refuse, and pairs of faults on NAND. Whatever happens:
# - cellrw w exits 0 with the intended region on flash (read back with bad blocks stepped
#   over), or 255 with a message, never a refusal of the cell itself; nothing on stdout;
# - it never writes into flash that was not erased, and marks no block bad unless that
#   block failed (and none when the whole chip refuses);
# - flash past the region is unchanged, unless a block failed and the data moved on;
# - after a failure it leaves no block of the region blank, unless the chip refused the
#   write; and unless it kept its journal, the region is the old or the new one exactly;
# - then, on the mended chip, cellshow prints the old or the new cell, and leaves the old
#   or the new region on flash and no journal behind.
# Then a power cut before every device call of one commit, on chips clean and faulty, and
# within the recovering run too: the next runs print the old or the new cell and leave the
# old or the new region, and no journal once they succeed.
# MATRIX_SAMPLE=N runs every Nth scenario only (the slow builds).
. "$(dirname "$0")/flash_lib.sh"
[ "${MATRIX_SAMPLE:-1}" = 1 ] || echo "a sample: scenarios $MATRIX_SAMPLE, $((2 * MATRIX_SAMPLE)), $((3 * MATRIX_SAMPLE)) and so on (MATRIX_SAMPLE=$MATRIX_SAMPLE)"

value=MATRIX-VALUE
offset=$((REGION / 2 + 3392))
sample=${MATRIX_SAMPLE:-1}
count=0
faults="MTDSIM_ERASE_FAIL MTDSIM_WRITE_FAIL MTDSIM_SETBAD_FAIL MTDSIM_PROBE_ERROR MTDSIM_GETINFO_FAIL MTDSIM_READ_FAIL"

# The blocks that the scenario's faults make fail in the way a worn block fails.
worn_blocks() {
    printf '%s\n' "${MTDSIM_ERASE_FAIL:-}" "${MTDSIM_WRITE_FAIL:-}" | tr , '\n' |
        sed -n 's/^\([0-9]*\):\(EIO\|eio\|short\)$/\1/p' | sort -u
}

# split_blocks FILE: FILE.00, FILE.01, ... one erase block each.
split_blocks() { split -b "$es" -d -a 3 "$1" "$1."; }

# scenario [-r|-l] [-e] NAME VAR=VALUE...: one commit under the given faults, then a read on
# the mended chip. -r: the chip refuses, and may leave blocks it refused blank. -l: the chip
# lies about a block, whose probe fails: the loader reads it as good although the commit
# marked it, so in the loader's eyes that block of the region may be blank. -e: the flash is
# erased but for the old cells, as on a device programmed for the first time, so that a
# failed write may program pages with 0xFF bytes, which read back as blank.
scenario() {
    local refuses=0 lies=0 erased=0
    case $1 in -r) refuses=1; shift ;; -l) lies=1; shift ;; esac
    [ "$1" = -e ] && { erased=1; shift; }
    local name="$type/$es: $1"
    shift
    count=$((count + 1))
    [ $((count % sample)) = 0 ] || return 0
    flash $((blocks * es)) "$es" "$type"
    [ $erased = 0 ] || tr '\0' '\377' </dev/zero | head -c $((blocks * es)) >"$MTDSIM_IMAGE"
    local setting verdict="" length=$(((REGION + es - 1) / es * es)) whole=$((blocks * es)) k
    # An old cell in every block, so that the cell is short wherever bad blocks put it.
    for k in $(seq 0 $((blocks - 1))); do put $((k * es + offset % es)) "OLD$k"; done
    for setting in "$@"; do export "$setting"; done
    region "$length" >"$FLASH_DIR/old" 2>/dev/null
    cp "$FLASH_DIR/old" "$FLASH_DIR/new"
    printf '%s\0' "$value" | dd of="$FLASH_DIR/new" bs=1 seek=$offset conv=notrunc status=none
    region "$whole" >"$FLASH_DIR/all-before" 2>/dev/null
    local old_cell
    old_cell=$(dd if="$FLASH_DIR/old" bs=1 skip=$offset count=16 status=none | tr '\0' '\n' | head -n 1)

    preloaded "$MTDSIM" "$CELLRW" w $offset "$value" >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
    local status=$?
    region "$length" >"$FLASH_DIR/now" 2>/dev/null
    case $status in
        0) cmp -s "$FLASH_DIR/now" "$FLASH_DIR/new" || verdict="exit 0 but the region differs" ;;
        255) [ -s "$FLASH_DIR/err" ] || verdict="exit 255 without a message" ;;
        *) verdict="exit $status" ;;
    esac
    grep -q -e 'outside the factory region' -e 'does not fit' "$FLASH_DIR/err" && verdict="$verdict; the cell was refused"
    [ -z "$(unerased)" ] || verdict="$verdict; wrote into unerased flash: $(unerased | head -n 1)"
    [ -s "$FLASH_DIR/out" ] && verdict="$verdict; printed on standard output"
    local marked wrong
    marked=$(sort -u "$MTDSIM_IMAGE.bad" 2>/dev/null)
    if [ $refuses = 1 ]; then wrong=$marked; else wrong=$(comm -23 <(echo "$marked") <(worn_blocks)); fi
    [ -z "$wrong" ] || verdict="$verdict; marked blocks that did not fail: $(echo $wrong)"
    # Once a block fails or is marked (even one already bad) the data moves on past it.
    if [ -z "${MTDSIM_ERASE_FAIL:-}${MTDSIM_WRITE_FAIL:-}" ] && ! grep -q '^setbad' "$MTDSIM_TRACE" &&
        ! cmp -s <(region "$whole" 2>/dev/null | tail -c +$((length + 1))) <(tail -c +$((length + 1)) "$FLASH_DIR/all-before"); then
        verdict="$verdict; flash past the region changed"
    fi
    if [ $status != 0 ]; then
        if [ -e "$FACTORY_JOURNAL_DIR/$JOURNAL_NAME" ]; then
            if [ $refuses = 0 ] && [ $lies = 0 ]; then
                split_blocks "$FLASH_DIR/now"
                split_blocks "$FLASH_DIR/old"
                local chunk
                for chunk in "$FLASH_DIR"/now.*; do
                    [ -n "$(tr -d '\377' <"$chunk" | head -c 1)" ] || cmp -s "$chunk" "$FLASH_DIR/old.${chunk##*.}" ||
                        { verdict="$verdict; left block ${chunk##*.} of the region blank"; break; }
                done
                rm -f "$FLASH_DIR"/now.* "$FLASH_DIR"/old.*
            fi
        elif ! cmp -s "$FLASH_DIR/now" "$FLASH_DIR/old" && ! cmp -s "$FLASH_DIR/now" "$FLASH_DIR/new"; then
            verdict="$verdict; the region is neither old nor new, and no journal was kept"
        fi
    fi

    # The chip mended: the next reader completes what the commit left, or finds nothing to do.
    for setting in $faults; do unset "$setting"; done
    preloaded "$MTDSIM" "$CELLSHOW" x $offset >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
    status=$?
    local printed
    printed=$(cat "$FLASH_DIR/out")
    [ $status = 0 ] || verdict="$verdict; the next cellshow exits $status: $(head -n 1 "$FLASH_DIR/err")"
    [ "$printed" = "$value" ] || [ "$printed" = "$old_cell" ] ||
        verdict="$verdict; the next cellshow prints neither the old nor the new cell"
    region "$length" >"$FLASH_DIR/now" 2>/dev/null
    cmp -s "$FLASH_DIR/now" "$FLASH_DIR/old" || cmp -s "$FLASH_DIR/now" "$FLASH_DIR/new" ||
        verdict="$verdict; after the next cellshow the region is neither old nor new"
    [ -z "$(ls -A "$FACTORY_JOURNAL_DIR")" ] || verdict="$verdict; a journal is left: $(ls -A "$FACTORY_JOURNAL_DIR")"
    [ -z "$(unerased)" ] || verdict="$verdict; the next cellshow wrote into unerased flash"
    unset MTDSIM_BAD
    same "$name" "" "$verdict"
}

# geometry ERASESIZE TYPE: the partition holds the region's blocks and three to spare.
geometry() {
    es=$(($1)) type=$2
    blocks=$(((REGION + es - 1) / es + 3))
}

for shape in 0x20000:4 0x20000:8 0x20000:3 0x40000:4 0x40000:3 0x80000:4 0x80000:3; do
    geometry "${shape%:*}" "${shape#*:}"
    for b in $(seq 0 $((blocks - 1))); do
        scenario "write failing (EIO) in block $b" MTDSIM_WRITE_FAIL=$b:EIO
        scenario -r "write refused (ETIMEDOUT) in block $b" MTDSIM_WRITE_FAIL=$b:ETIMEDOUT
        scenario "erase failing (EIO) in block $b" MTDSIM_ERASE_FAIL=$b:EIO
        scenario -r "erase refused (EROFS) in block $b" MTDSIM_ERASE_FAIL=$b:EROFS
        [ "$type" = 3 ] && continue
        scenario "bad block $b" MTDSIM_BAD=$b
        scenario "write answering short in block $b" MTDSIM_WRITE_FAIL=$b:short
        scenario "write failing in block $b, not markable" MTDSIM_WRITE_FAIL=$b:EIO MTDSIM_SETBAD_FAIL=1
        scenario "probe error at block $b" MTDSIM_PROBE_ERROR=$b
        scenario "probe error at bad block $b" MTDSIM_PROBE_ERROR=$b MTDSIM_BAD=$b
        scenario -l "probe error at block $b, its erase failing (EIO)" MTDSIM_PROBE_ERROR=$b MTDSIM_ERASE_FAIL=$b:EIO
    done
    scenario -r "a chip that refuses every erase and write (EIO)" MTDSIM_ERASE_FAIL=all:EIO MTDSIM_WRITE_FAIL=all:EIO
    scenario -r "a chip that refuses every write (EIO)" MTDSIM_WRITE_FAIL=all:EIO
    scenario -r "a chip that refuses every erase (EIO)" MTDSIM_ERASE_FAIL=all:EIO
    scenario -r "a chip whose every write times out" MTDSIM_WRITE_FAIL=all:ETIMEDOUT
done

geometry 0x20000 4
for b in $(seq 0 $((blocks - 1))); do
    for c in $(seq 0 $((blocks - 1))); do
        [ $b = $c ] && continue
        scenario "bad block $b, write failing in block $c" MTDSIM_BAD=$b MTDSIM_WRITE_FAIL=$c:EIO
        scenario "erase failing (EIO) in block $b, write failing in block $c" MTDSIM_ERASE_FAIL=$b:EIO MTDSIM_WRITE_FAIL=$c:EIO
        # Two failing writes in a row look like a chip that refuses: neither block is blamed.
        refuse=""
        [ $((b - c)) = 1 ] || [ $((c - b)) = 1 ] && refuse=-r
        scenario $refuse "writes failing in blocks $b and $c" MTDSIM_WRITE_FAIL=$b:EIO,$c:EIO
        [ -n "$refuse" ] && scenario -r -e "erased flash, writes failing in blocks $b and $c" MTDSIM_WRITE_FAIL=$b:EIO,$c:EIO
    done
done
for n in 1 2 3 4; do
    scenario "MEMGETINFO failing from call $n" MTDSIM_GETINFO_FAIL=$n
done
for n in 1 2 3 4 5 6 7; do
    scenario "read $n failing" MTDSIM_READ_FAIL=$n:-1
done
scenario "every probe failing" MTDSIM_PROBE_ERROR=all

# cut NAME CUT [RECOVERY_CUT] VAR=VALUE...: the power goes before device call CUT ("N" or
# "N:half") of cellrw w, and, with RECOVERY_CUT, before that call of the next cellshow too;
# then cellshow and cellrw r run to the end. The faults stay: a worn block stays worn.
cut() {
    local name="$type/$es: $1" first=$2 second=$3
    shift 3
    count=$((count + 1))
    [ $((count % sample)) = 0 ] || return 0
    flash $((blocks * es)) "$es" "$type"
    local setting verdict="" length=$(((REGION + es - 1) / es * es)) k status
    for k in $(seq 0 $((blocks - 1))); do put $((k * es + offset % es)) "OLD$k"; done
    for setting in "$@"; do export "$setting"; done
    region "$length" >"$FLASH_DIR/old" 2>/dev/null
    cp "$FLASH_DIR/old" "$FLASH_DIR/new"
    printf '%s\0' "$value" | dd of="$FLASH_DIR/new" bs=1 seek=$offset conv=notrunc status=none
    local old_cell
    old_cell=$(dd if="$FLASH_DIR/old" bs=1 skip=$offset count=16 status=none | tr '\0' '\n' | head -n 1)

    MTDSIM_CUT=$first preloaded "$MTDSIM" "$CELLRW" w $offset "$value" >/dev/null 2>&1
    status=$?
    [ $status = 121 ] || [ $status = 0 ] || [ $status = 255 ] || verdict="cellrw w exits $status"
    if [ -n "$second" ]; then
        MTDSIM_CUT=$second preloaded "$MTDSIM" "$CELLSHOW" x $offset >/dev/null 2>&1
        status=$?
        [ $status = 121 ] || [ $status = 0 ] || verdict="$verdict; the cut cellshow exits $status"
    fi
    local run printed
    for run in cellshow "cellrw r"; do
        if [ "$run" = cellshow ]; then
            preloaded "$MTDSIM" "$CELLSHOW" x $offset >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
        else
            preloaded "$MTDSIM" "$CELLRW" r $offset >"$FLASH_DIR/out" 2>"$FLASH_DIR/err"
        fi
        status=$?
        printed=$(cat "$FLASH_DIR/out")
        [ $status = 0 ] || verdict="$verdict; $run exits $status: $(head -n 1 "$FLASH_DIR/err")"
        [ "$printed" = "$value" ] || [ "$printed" = "$old_cell" ] ||
            verdict="$verdict; $run prints neither the old nor the new cell"
    done
    region "$length" >"$FLASH_DIR/now" 2>/dev/null
    cuts_tried=$((cuts_tried + 1))
    if cmp -s "$FLASH_DIR/now" "$FLASH_DIR/old"; then
        cuts_old=$((cuts_old + 1))
    elif cmp -s "$FLASH_DIR/now" "$FLASH_DIR/new"; then
        cuts_new=$((cuts_new + 1))
    else
        verdict="$verdict; the region is neither old nor new"
    fi
    [ -z "$(ls -A "$FACTORY_JOURNAL_DIR")" ] || verdict="$verdict; a journal is left: $(ls -A "$FACTORY_JOURNAL_DIR")"
    [ -z "$(unerased)" ] || verdict="$verdict; wrote into unerased flash: $(unerased | head -n 1)"
    for setting in "$@"; do unset "${setting%%=*}"; done
    same "$name" "" "$verdict"
}

# unchecked COMMAND [ARG...]: COMMAND without $TEST_CHECKER, for the runs whose device calls
# are only counted; the scenarios run the same code under it.
unchecked() { TEST_CHECKER="" "$@"; }

# cuts NAME VAR=VALUE...: a cut before every device call of one commit (half-way through
# each write too); and for two first cuts, one just after the first erase and one among the
# writes, a cut before every device call of the recovering cellshow.
cuts() {
    local name=$1
    shift
    local setting n call calls erase write
    local tried=$cuts_tried old=$cuts_old new=$cuts_new
    flash $((blocks * es)) "$es" "$type"
    for setting in "$@"; do export "$setting"; done
    unchecked preloaded "$MTDSIM" "$CELLRW" w $offset "$value" >/dev/null 2>&1
    device_calls >"$FLASH_DIR/calls"
    for setting in "$@"; do unset "${setting%%=*}"; done
    calls=$(wc -l <"$FLASH_DIR/calls")
    erase=$(awk '$2 == "erase" { print $1 + 1; exit }' "$FLASH_DIR/calls")
    write=$(awk '$2 == "write" { n++ } n == 2 { print $1; exit }' "$FLASH_DIR/calls")
    while read -r n call _; do
        cut "$name, cut at call $n ($call)" $n "" "$@"
        [ "$call" = write ] && cut "$name, cut half-way through call $n (write)" $n:half "" "$@"
    done <"$FLASH_DIR/calls"
    for first in $erase $write:half; do
        # The recovering run's calls, known from one run that is not cut.
        flash $((blocks * es)) "$es" "$type"
        for setting in "$@"; do export "$setting"; done
        MTDSIM_CUT=$first unchecked preloaded "$MTDSIM" "$CELLRW" w $offset "$value" >/dev/null 2>&1
        trace_reset
        unchecked preloaded "$MTDSIM" "$CELLSHOW" x $offset >/dev/null 2>&1
        for setting in "$@"; do unset "${setting%%=*}"; done
        for n in $(seq 1 "$(device_calls | wc -l)"); do
            cut "$name, cut at call $first, then at call $n of the recovery" $first $n "$@"
        done
    done
    [ "$calls" -gt 0 ] || same "$name: the commit makes device calls" "some" "none"
    echo "power cuts, $name: $((cuts_tried - tried)) tried; old $((cuts_old - old)), new $((cuts_new - new))"
}

cuts_tried=0 cuts_old=0 cuts_new=0
geometry 0x20000 4
cuts "clean NAND"
cuts "a bad block inside the region" MTDSIM_BAD=1
cuts "a write that fails and moves the data" MTDSIM_WRITE_FAIL=1:EIO
cuts "an erase that wears a block out" MTDSIM_ERASE_FAIL=1:EIO
geometry $WIDE 4
cuts "wide blocks, the region ending inside one"
geometry 0x20000 3
cuts "NOR"
echo "power cuts: $cuts_tried tried; the region then old in $cuts_old, new in $cuts_new"

finish
