#!/bin/sh
# SPDX-License-Identifier: MIT
# The demo proper, on the programs of a build tree ($1).
set -e
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run COMMAND...: show the command, run it, show a failing exit status.
run() {
    printf '$ %s\n' "$*"
    "$@" || printf '(exit status %s)\n' "$?"
}

# A 1 MiB NAND partition (eight 128 KiB blocks) whose second block is bad. The factory
# region fills the good blocks from the start: region byte 0x20000 lives in block 2.
export MTDSIM_IMAGE="$work/mtd7" MTDSIM_SIZE=0x100000 MTDSIM_ERASESIZE=0x20000 MTDSIM_TYPE=4 MTDSIM_BAD=1
# A commit keeps its journal in a directory of the demo's own, not the machine's.
export FACTORY_JOURNAL_DIR="$work/journal"
mkdir -m 700 "$FACTORY_JOURNAL_DIR"
head -c $((0x100000)) /dev/zero | tr '\0' '\377' >"$MTDSIM_IMAGE"
printf 'FT2026A00123\0' | dd of="$MTDSIM_IMAGE" bs=1 seek=0 conv=notrunc status=none
printf '00:1A:2B:3C:4D:5E\0' | dd of="$MTDSIM_IMAGE" bs=1 seek=$((0x40040)) conv=notrunc status=none

echo "== /dev/mtd7 simulated: NAND, 128 KiB blocks, block 1 bad"
cd "$build/factory"
export LD_PRELOAD="$build/tests/sim/libmtdsim.so"
run ./cellshow factory 0
run ./cellshow factory $((0x20040))
run ./cellrw r 0; echo
run ./cellrw w 0 FT2026A00999
run ./cellrw r 0; echo
run ./cellshow factory 0

# The simulator cuts the power (the process ends with status 121) just before its 20th
# device call, after two of the region's blocks were erased; the next run completes the
# commit from its journal.
echo
echo "== a power cut in the middle of a commit, then a read"
run env MTDSIM_CUT=20 ./cellrw w 0 FT2026A01000
run ./cellshow factory 0

# The label programs: this machine has no SELinux, so a small preloaded library answers
# "MLS is on" and names the sample translations file.
echo
echo "== examples/translations.conf as the MLS translations file"
cd "$build/label"
export LD_PRELOAD="$build/tests/label/libmlsfake.so" LABEL_TEST_TRANSLATIONS="$top/examples/translations.conf"
run ./rawlabel user_u:object_r:file_t:SystemLow:Blue,Green
run ./rawlabel user_u:object_r:file_t:SystemLow-SystemHigh
run ./showlabel user_u:object_r:file_t:s0-s15:c0.c1023
run ./showlabel user_u:object_r:file_t:s0:c0.c1
