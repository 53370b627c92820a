#!/bin/bash
# SPDX-License-Identifier: MIT
# Hostile hardware and concurrent runs: uncorrectable reads, read-only partitions, and two
# runs on one partition at once.
. "$(dirname "$0")/flash_lib.sh"

# Uncorrectable data comes back from read without an error; the ECC count tells.
flash 0x80000
put 0x100 GOOD
put 0x20100 DAMAGED
export MTDSIM_ECC_FAIL=1
claim "a cell in a block with uncorrectable errors is not printed" 255 "" \
    $'cellshow: the cell at offset 131328 lies in flash with uncorrectable errors\n' -- show x $((0x20100))
claim "a cell in a sound block still is" 0 $'GOOD\n' "" -- show x 256
claim "cellrw r refuses the damaged cell too" 255 "" \
    $'cellrw: the cell at offset 131328 lies in flash with uncorrectable errors\n' -- rw r $((0x20100))
claim "cellrw w refuses to commit damaged data" 255 "" \
    $'cellrw: the factory data has uncorrectable errors; nothing written\n' -- rw w 256 NEW
same "nothing erased or written over damaged data" "" "$(trace | grep -E '^(erase|write)')"
put_raw 0x1fffc ABCD
claim "a cell whose NUL lies in the damaged block" 255 "" \
    $'cellshow: the cell at offset 131068 lies in flash with uncorrectable errors\n' -- show x $((0x1fffc))
unset MTDSIM_ECC_FAIL

# More separate damaged ranges than a load can tell apart: from the last one it keeps on,
# everything counts as damaged, even a sound block after the last damaged one.
flash 0x60000 0x1000
put 0x1100 EARLY
put 0x5f000 LATE
export MTDSIM_ECC_FAIL=$(seq -s, 0 2 70)
claim "36 damaged ranges: a cell before the 32nd is printed" 0 $'EARLY\n' "" -- show x $((0x1100))
claim "36 damaged ranges: a sound cell after the last is still refused" 255 "" \
    $'cellshow: the cell at offset 389120 lies in flash with uncorrectable errors\n' -- show x $((0x5f000))
unset MTDSIM_ECC_FAIL

# A read-only partition: readers open it read-only in any case, a writer cannot.
for refusal in EACCES EROFS; do
    flash 0x80000
    put 0 RO-CELL
    export MTDSIM_READONLY=$refusal
    claim "cellshow on a read-only partition ($refusal)" 0 $'RO-CELL\n' "" -- show x 0
    same "cellshow never asks for write access ($refusal)" "open O_RDONLY
flock LOCK_SH" "$(trace | head -n 2)"
    claim "cellrw r on a read-only partition ($refusal)" 0 "RO-CELL" "" -- rw r 0
    claim "cellrw w on a read-only partition ($refusal)" 255 "" \
        $'mtd: /dev/mtd7 open fail!!!\ncellrw could not get factory data\n' -- rw w 0 X
    unset MTDSIM_READONLY
done

# Two writers at once: each commit is whole, one after the other.
flash 0x80000
put 1000 ORIGINAL
region >"$FLASH_DIR/original"
a=$(printf 'A%.0s' $(seq 200))
b=$(printf 'B%.0s' $(seq 100))
# after FILE TEXT: FILE with TEXT and a NUL at offset 1000, on stdout.
after() {
    cp "$1" "$FLASH_DIR/tmp"
    printf '%s\0' "$2" | dd of="$FLASH_DIR/tmp" bs=1 seek=1000 conv=notrunc status=none
    cat "$FLASH_DIR/tmp"
}
after "$FLASH_DIR/original" "$a" >"$FLASH_DIR/a"
after "$FLASH_DIR/original" "$b" >"$FLASH_DIR/b"
after "$FLASH_DIR/a" "$b" >"$FLASH_DIR/a-then-b"
after "$FLASH_DIR/b" "$a" >"$FLASH_DIR/b-then-a"
mixes=0
for round in $(seq 25); do
    flash 0x80000
    put 1000 ORIGINAL
    preloaded "$MTDSIM" "$CELLRW" w 1000 "$a" >/dev/null 2>&1 & first=$!
    preloaded "$MTDSIM" "$CELLRW" w 1000 "$b" >/dev/null 2>&1 & second=$!
    preloaded "$MTDSIM" "$CELLSHOW" x 1000 >"$FLASH_DIR/seen" 2>/dev/null & reader=$!
    wait $first; s1=$?
    wait $second; s2=$?
    wait $reader
    region >"$FLASH_DIR/now"
    if [ $s1 != 0 ] || [ $s2 != 0 ] || [ -n "$(unerased)" ] ||
        ! { cmp -s "$FLASH_DIR/now" "$FLASH_DIR/a-then-b" || cmp -s "$FLASH_DIR/now" "$FLASH_DIR/b-then-a"; }; then
        mixes=$((mixes + 1))
    fi
    case "$(cat "$FLASH_DIR/seen")" in
        ORIGINAL|"$a"|"$b") ;;
        *) mixes=$((mixes + 1)) ;;
    esac
done
same "two writers and a reader at once: whole commits, whole images seen" 0 "$mixes"
same "a writer takes the lock before it loads" "open O_RDWR
flock LOCK_EX" "$(rw w 1000 X >/dev/null 2>&1; trace | head -n 2)"

# A reader piped into a writer: erased flash has no NUL, so the cell is the whole region,
# more than a pipe holds. The reader takes its lock first; it must let go of it before it
# prints, or the writer waits for the lock while the reader waits for the writer to read.
flash 0x80000
tr '\0' '\377' </dev/zero | head -c $((0x80000)) >"$MTDSIM_IMAGE"
# The pipeline gets a process group of its own, so that a hang can be ended whole.
set -m
(
    preloaded "$MTDSIM" "$CELLSHOW" x 0 | {
        until grep -q '^flock LOCK_SH' "$MTDSIM_TRACE" 2>/dev/null; do sleep 0.05; done
        preloaded "$MTDSIM" "$CELLRW" w 0 SN-1 >/dev/null 2>&1
        echo $? >"$FLASH_DIR/writer"
        cat >/dev/null
    }
) &
pipeline=$!
set +m
for i in $(seq 600); do
    kill -0 $pipeline 2>/dev/null || break
    sleep 0.1
done
if kill -0 $pipeline 2>/dev/null; then
    kill -- -$pipeline
    same "a reader piped into a writer: both finish" "finished" "hung"
else
    same "a reader piped into a writer: both finish, the commit done" 0 "$(cat "$FLASH_DIR/writer")"
fi

finish
