#!/bin/bash
# SPDX-License-Identifier: MIT
# Measure the programs and print one table. A benchmark, not a test: it checks
# nothing about time and exits 0 whatever it measures.
#
#   bench/run.sh [BUILD_DIR]
#
# BUILD_DIR is a build tree of this project with its tests configured (the flash
# simulator and the MLS stand-in library are test targets); without it the script
# configures and builds build/bench as a Release tree. The flash programs and dd run
# with the flash simulator preloaded, the label programs with libmlsfake.so. Then it
# boots Debian's x86-64 kernel once (tests/vm) with bench/guest.sh, which times the
# programs on nandsim beside busybox dd and mtd-utils' flash_erase and nandwrite.
#
# Environment: BENCH_ROUNDS (cellshow and dd runs, alternated; 201), BENCH_LABEL_ROUNDS
# (runs of each label measurement; 5), BENCH_JOBS (build jobs; 2), BENCH_VM_ROUNDS
# (rounds of each pair in the guest; 51; 0 leaves the guest out), BENCH_VM_CACHE (the VM
# tests' cache to boot from; by default the build tree's FIELDTOOLS_VM_CACHE, filled by
# tests/vm/prepare.sh when it lacks the kernel).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
rounds=${BENCH_ROUNDS:-201}
label_rounds=${BENCH_LABEL_ROUNDS:-5}
jobs=${BENCH_JOBS:-2}
vm_rounds=${BENCH_VM_ROUNDS:-51}

if [ $# -ge 1 ]; then
    build=$(cd "$1" && pwd)
else
    build=$top/build/bench
    echo "building $build (Release)..." >&2
    # The simulator and libmlsfake.so, which the benchmark preloads, are test targets.
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON \
        -DFIELDTOOLS_SANITIZE=OFF >/dev/null
    cmake --build "$build" -j "$jobs" --target cellrw cellshow rawlabel showlabel mtdsim mlsfake >/dev/null
fi
cellshow=$build/factory/cellshow
cellrw=$build/factory/cellrw
rawlabel=$build/label/rawlabel
showlabel=$build/label/showlabel
mtdsim=$build/tests/sim/libmtdsim.so
mlsfake=$build/tests/label/libmlsfake.so
for file in "$cellshow" "$cellrw" "$rawlabel" "$showlabel" "$mtdsim" "$mlsfake"; do
    [ -e "$file" ] || { echo "bench: $file is missing from the build tree" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")

work=$(mktemp -d "${TMPDIR:-/tmp}/bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- the table ----
row() { printf '%-44s %-14s %12s %30s %8s\n' "$@"; }
rule() { printf '%s\n' "$(printf -- '-%.0s' $(seq 112))"; }

# median: the median of the numbers on standard input, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END { printf "%.1f\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# ratio A B: A / B to two places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
# ms MICROSECONDS: the same in milliseconds, three places.
ms() { awk -v u="$1" 'BEGIN { printf "%.3f", u / 1000 }'; }
now() { echo "${EPOCHREALTIME/./}"; }

# peak_kib COMMAND...: the peak resident memory of one run, in KiB.
peak_kib() {
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
    tail -n 1 "$work/rss"
}

# ---- the simulated partition ----
# A 1 MiB NAND partition of 128 KiB blocks, none bad: the region is its first three blocks.
export MTDSIM_IMAGE=$work/mtd7 MTDSIM_SIZE=0x100000 MTDSIM_ERASESIZE=0x20000 MTDSIM_TYPE=4
unset MTDSIM_TRACE MTDSIM_BAD
head -c $((MTDSIM_SIZE)) /dev/zero | tr '\0' '\377' >"$MTDSIM_IMAGE"
printf 'FT2026A00123\0' | dd of="$MTDSIM_IMAGE" bs=1 seek=0 conv=notrunc status=none
region=$((0x60000))
erasesize=$((MTDSIM_ERASESIZE))
blocks=$(((region + erasesize - 1) / erasesize))

# dd reopens its input as descriptor 0 with dup2 when that is taken, and reads then go
# to the image file behind the simulator's back; with standard input closed its open
# returns 0 itself, and every read goes through the simulator as cellshow's do.
run_cellshow() { LD_PRELOAD=$mtdsim "$cellshow" factory 0 >/dev/null; }
run_dd() { LD_PRELOAD=$mtdsim dd if=/dev/mtd7 of=/dev/null bs=$erasesize count=$blocks status=none <&-; }

printf 'machine: %s cores, %s; %s\n' "$(nproc)" \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)" "$(uname -sr)"
printf 'build: %s (%s); %s rounds of cellshow and dd, %s of each label run; %s\n' \
    "$build" "${build_type:-unknown}" "$rounds" "$label_rounds" "$(date -u '+%Y-%m-%d %H:%M UTC')"
echo
row "item" "measure" "value" "beside" "ratio"
rule

# ---- cellshow beside dd, alternated ----
run_cellshow
run_dd
: >"$work/cellshow.us"
: >"$work/dd.us"
for ((i = 0; i < rounds; i++)); do
    # Odd rounds run dd first, so that neither always follows the other.
    if ((i % 2)); then
        t0=$(now); run_dd; t1=$(now); run_cellshow; t2=$(now)
        echo $((t1 - t0)) >>"$work/dd.us"; echo $((t2 - t1)) >>"$work/cellshow.us"
    else
        t0=$(now); run_cellshow; t1=$(now); run_dd; t2=$(now)
        echo $((t1 - t0)) >>"$work/cellshow.us"; echo $((t2 - t1)) >>"$work/dd.us"
    fi
done
show_us=$(median <"$work/cellshow.us")
dd_us=$(median <"$work/dd.us")
row "cellshow, whole process, simulated NAND" "median ms" "$(ms "$show_us")" "$(ms "$dd_us") dd" "$(ratio "$show_us" "$dd_us")"

# ---- device calls from the simulator's trace ----
# counts FILE: "call count" for each kind of call in the trace FILE.
counts() { awk '{ n[$1]++ } END { for (c in n) print c, n[c] }' "$1"; }
# count KIND FILE: how many calls of that kind the trace holds.
count() { awk -v k="$1" '$1 == k { n++ } END { print n + 0 }' "$2"; }

export MTDSIM_TRACE=$work/trace.dd
run_dd
export MTDSIM_TRACE=$work/trace.show
run_cellshow
export MTDSIM_TRACE=$work/trace.write
LD_PRELOAD=$mtdsim "$cellrw" w 512 BENCH-VALUE >/dev/null 2>&1 || echo "bench: cellrw w failed" >&2
unset MTDSIM_TRACE
row "dd, device calls (the same simulator)" "read" "$(count read "$work/trace.dd")" "$blocks blocks" ""

# The least that each program needs, with B good blocks in the region: open, lock,
# geometry and close once; one read and one bad-block probe a block, and an ECC count
# before the first read and after each; cellrw w reads the region twice (load and
# check), probes it in each of four passes (load, erase, write, check), erases and
# writes each block once with one fsync each, and rewinds before the write and the check.
least_show="open 1 flock 1 getinfo 1 lseek 0 eccstats $((blocks + 1)) getbad $blocks read $blocks
            erase 0 write 0 fsync 0 setbad 0 close 1"
least_write="open 1 flock 1 getinfo 1 lseek 2 eccstats $((2 * (blocks + 1))) getbad $((4 * blocks))
             read $((2 * blocks)) erase $blocks write $blocks fsync $blocks setbad 0 close 1"
# calls_rows NAME TRACE LEAST: one row a kind of call, then the total.
calls_rows() {
    local name=$1 trace=$2 kinds=$3 total=0 least_total=0 kind least n
    set -- $kinds
    while [ $# -ge 2 ]; do
        kind=$1 least=$2
        shift 2
        n=$(count "$kind" "$trace")
        total=$((total + n)) least_total=$((least_total + least))
        [ "$n" = 0 ] && [ "$least" = 0 ] && continue
        row "$name, device calls" "$kind" "$n" "$least least" "$(ratio "$n" "$least")"
    done
    row "$name, device calls" "all" "$total" "$least_total least" "$(ratio "$total" "$least_total")"
    # A kind of call the least leaves out would be missed above.
    counts "$trace" | while read -r kind n; do
        case " $(echo $kinds) " in *" $kind "*) ;; *) row "$name, device calls" "$kind (other)" "$n" "" "" ;; esac
    done
}
calls_rows "cellshow" "$work/trace.show" "$least_show"
calls_rows "cellrw w" "$work/trace.write" "$least_write"

# ---- the label programs on large tables ----
# table LINES FILE: a translations file of LINES lines: levels s0, s1, ... each with its
# level line and then category lines c0 to c1023, as many as the count allows.
table() {
    awk -v lines="$1" 'BEGIN {
        for (n = 0; n < lines; n++) {
            level = int(n / 1025); k = n % 1025
            if (k == 0) printf "s%d=Level%d\n", level, level
            else printf "s%d:c%d=L%dC%d\n", level, k - 1, level, k - 1
        }
    }' >"$2"
}
# label_rows NAME PROGRAM CONTEXT TABLE: the median time of the label rounds and the
# peak memory of one run.
label_rows() {
    local name=$1 program=$2 context=$3 table=$4 i t0 t1
    export LABEL_TEST_TRANSLATIONS=$table
    LD_PRELOAD=$mlsfake "$program" "$context" >"$work/label.out"
    : >"$work/label.us"
    for ((i = 0; i < label_rounds; i++)); do
        t0=$(now)
        LD_PRELOAD=$mlsfake "$program" "$context" >/dev/null
        t1=$(now)
        echo $((t1 - t0)) >>"$work/label.us"
    done
    row "$name" "median ms" "$(ms "$(median <"$work/label.us")")" "" ""
    row "$name" "peak KiB" "$(LD_PRELOAD=$mlsfake peak_kib "$program" "$context")" "" ""
    unset LABEL_TEST_TRANSLATIONS
}
# grouped N: N with its thousands set apart by commas.
grouped() { echo "$1" | sed -e ':a' -e 's/\B[0-9]\{3\}\>/,&/' -e 'ta'; }
for lines in 10000 100000 1000000; do
    table $lines "$work/table.conf"
    # The last line's names: every lookup walks the whole table before it finds them.
    last=$(tail -n 1 "$work/table.conf")
    level=${last%%:*}
    name=${last#*=}
    label_rows "rawlabel, $(grouped $lines)-line table" "$rawlabel" \
        "u:r:t:Level${level#s}:$name" "$work/table.conf"
    [ "$(cat "$work/label.out")" = "u:r:t:${last%=*}" ] || echo "bench: rawlabel gave $(cat "$work/label.out")" >&2
done
rm -f "$work/table.conf"

# Every category of s0 translated; c0.c1023,c0.c1023 expands to 2,048 categories.
table 1025 "$work/wide.conf"
label_rows "showlabel, 2,048 categories" "$showlabel" "u:r:t:s0:c0.c1023,c0.c1023" "$work/wide.conf"
wide=$(cat "$work/label.out")
[ "$(echo "$wide" | tr , '\n' | wc -l)" = 2048 ] || echo "bench: showlabel gave ${wide:0:60}..." >&2
label_rows "rawlabel, 2,048 category names" "$rawlabel" "$wide" "$work/wide.conf"

# ---- the programs themselves ----
export LABEL_TEST_TRANSLATIONS=$top/examples/translations.conf
peak_show=$(LD_PRELOAD=$mtdsim peak_kib "$cellshow" factory 0)
peak_read=$(LD_PRELOAD=$mtdsim peak_kib "$cellrw" r 0)
peak_write=$(LD_PRELOAD=$mtdsim peak_kib "$cellrw" w 512 BENCH-VALUE)
peak_raw=$(LD_PRELOAD=$mlsfake peak_kib "$rawlabel" user_u:object_r:file_t:SystemLow:Blue,Green)
peak_shown=$(LD_PRELOAD=$mlsfake peak_kib "$showlabel" user_u:object_r:file_t:s0-s15:c0.c1023)
# Standard input closed in the measured process only, so that time's own output file
# does not take descriptor 0 (see run_dd).
peak_dd=$(LD_PRELOAD=$mtdsim peak_kib sh -c 'exec "$@" <&-' sh dd if=/dev/mtd7 of=/dev/null bs=$erasesize count=$blocks status=none)
unset LABEL_TEST_TRANSLATIONS
stripped() {
    strip -o "$work/stripped" "$1"
    stat -c %s "$work/stripped"
}
row "cellshow" "stripped bytes" "$(stripped "$cellshow")" "" ""
row "cellrw" "stripped bytes" "$(stripped "$cellrw")" "" ""
row "rawlabel" "stripped bytes" "$(stripped "$rawlabel")" "" ""
row "showlabel" "stripped bytes" "$(stripped "$showlabel")" "" ""
row "cellshow factory 0" "peak KiB" "$peak_show" "$peak_dd dd" "$(ratio "$peak_show" "$peak_dd")"
row "cellrw r 0" "peak KiB" "$peak_read" "" ""
row "cellrw w 512 BENCH-VALUE" "peak KiB" "$peak_write" "" ""
row "rawlabel, sample translations file" "peak KiB" "$peak_raw" "" ""
row "showlabel, sample translations file" "peak KiB" "$peak_shown" "" ""

# ---- on the real kernel ----
# One boot of Debian's x86-64 kernel with nandsim: cellshow beside busybox dd, and
# cellrw w beside mtd-utils' flash_erase and nandwrite, timed inside the guest (see
# bench/guest.sh). What stops the guest leaves its rows saying why.
# vm_rows: the guest's rows, or a row saying why there are none.
vm_rows() {
    local cache=${BENCH_VM_CACHE:-} erase nandwrite guest status reading writing accel release
    if [ "$vm_rounds" = 0 ]; then
        row "nandsim in the VM" "" "-" "not run: BENCH_VM_ROUNDS=0" ""
        return
    fi
    [ -n "$cache" ] || cache=$(sed -n 's/^FIELDTOOLS_VM_CACHE:PATH=//p' "$build/CMakeCache.txt")
    [ -n "$cache" ] || cache=$build/vm-cache
    erase=$(PATH=$PATH:/usr/sbin:/sbin command -v flash_erase) || true
    nandwrite=$(PATH=$PATH:/usr/sbin:/sbin command -v nandwrite) || true
    if [ -z "$erase" ] || [ -z "$nandwrite" ]; then
        row "nandsim in the VM" "" "-" "not run: needs mtd-utils" ""
        return
    fi
    if ! bash "$top/tests/vm/prepare.sh" "$cache" kernel >"$work/prepare.out" 2>&1; then
        cat "$work/prepare.out" >&2
        row "nandsim in the VM" "" "-" "not run: no kernel (see above)" ""
        return
    fi
    if ! ${CC:-cc} -O2 -static -o "$work/stopwatch" "$top/bench/stopwatch.c" 2>"$work/cc.out"; then
        cat "$work/cc.out" >&2
        row "nandsim in the VM" "" "-" "not run: stopwatch not built" ""
        return
    fi
    guest=$work/guest.sh
    { echo "ROUNDS=$vm_rounds"; cat "$top/bench/guest.sh"; } >"$guest"
    status=0
    bash "$top/tests/vm/boot.sh" "$guest" "$cache" "$work/vm" cellshow="$cellshow" cellrw="$cellrw" \
        stopwatch="$work/stopwatch" flash_erase="$erase" nandwrite="$nandwrite" >"$work/vm.out" 2>&1 || status=$?
    reading=$(sed -n 's/^FIELDTOOLS-BENCH read //p' "$work/vm.out")
    writing=$(sed -n 's/^FIELDTOOLS-BENCH write //p' "$work/vm.out")
    if [ $status != 0 ] || [ -z "$reading" ] || [ -z "$writing" ]; then
        echo "bench: the benchmark guest failed (status $status); the end of its console:" >&2
        tail -n 20 "$work/vm.out" >&2
        row "nandsim in the VM" "" "-" "failed: $(sed -n 's/^FIELDTOOLS-BENCH failed //p' "$work/vm.out" | head -n 1)" ""
        return
    fi
    release=$(sed -n 's/^vm: booting \([^ ]*\) .* under \([a-z]*\)$/\1/p' "$work/vm.out")
    accel=$(sed -n 's/^vm: booting .* under \([a-z]*\)$/\1/p' "$work/vm.out")
    grep -q 'TCG takes over' "$work/vm.out" && accel=tcg
    # read: ROUNDS CELLSHOW DD START; write: ROUNDS CELLRW PAIR ERASE NANDWRITE.
    set -- $reading
    row "cellshow, whole process, nandsim" "median ms" "$(ms "$2")" "$(ms "$3") busybox dd" "$(ratio "$2" "$3")"
    row "cellshow, start and usage only, nandsim" "median ms" "$(ms "$4")" "" ""
    set -- $writing
    row "cellrw w, whole process, nandsim" "median ms" "$(ms "$2")" "$(ms "$3") flash_erase+nandwrite" "$(ratio "$2" "$3")"
    row "flash_erase of 3 blocks, nandsim" "median ms" "$(ms "$4")" "" ""
    row "nandwrite -p of 3 blocks, nandsim" "median ms" "$(ms "$5")" "" ""
    vm_note="nandsim rows: a guest of $release under ${accel:-?}, $1 rounds of each pair alternated, timed in the guest"
}
vm_note=""
vm_rows
rule
echo "times are whole processes started from bash; peak memory includes the preloaded library"
[ -z "$vm_note" ] || echo "$vm_note"
