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
# programs on nandsim beside busybox's and coreutils' dd and mtd-utils' flash_erase and
# nandwrite, and does the same once on the armhf guest with an armhf cross build.
#
# Environment: BENCH_SECTIONS (the parts to run, of "flash label sizes guest armhf";
# all by default), BENCH_ROUNDS (cellshow and dd runs, alternated; 201),
# BENCH_LABEL_ROUNDS (runs of each label measurement; 5), BENCH_JOBS (build jobs; 2),
# BENCH_VM_ROUNDS (rounds of each set in the x86-64 guest; 51; 0 leaves it out),
# BENCH_ARMHF_ROUNDS (the same in the armhf guest; 21; 0 leaves it out),
# BENCH_ARMHF_BUILD (an armhf cross build tree to take the programs from; by default
# build/bench-armhf, configured and built as a Release tree), BENCH_VM_CACHE (the VM
# tests' cache to boot from; by default the build tree's FIELDTOOLS_VM_CACHE, filled by
# tests/vm/prepare.sh with what it lacks). Every run of the flash programs, on the host
# and in the guests, has FACTORY_JOURNAL_DIR set to a scratch directory of its own.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
rounds=${BENCH_ROUNDS:-201}
label_rounds=${BENCH_LABEL_ROUNDS:-5}
jobs=${BENCH_JOBS:-2}
vm_rounds=${BENCH_VM_ROUNDS:-51}
armhf_rounds=${BENCH_ARMHF_ROUNDS:-21}
sections=" ${BENCH_SECTIONS:-flash label sizes guest armhf} "
# section NAME: whether the part NAME is to run.
section() { [[ $sections == *" $1 "* ]]; }

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
# The flash programs keep a journal there; each run of the benchmark has its own.
export FACTORY_JOURNAL_DIR=$work/journal
mkdir -p "$FACTORY_JOURNAL_DIR"

# ---- the table ----
row() { printf '%-50s %-14s %12s %30s %8s\n' "$@"; }
rule() { printf '%s\n' "$(printf -- '-%.0s' $(seq 118))"; }

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

if section flash; then
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
fi

# ---- the label programs on large tables and long arguments ----
# table LINES PER FILE: a translations file of LINES lines: levels s0, s1, ... each a
# level line and then PER category lines (c0 to c1023 over again, each with a name of
# its own), as many as the count allows.
table() {
    awk -v lines="$1" -v per="$2" 'BEGIN {
        for (n = 0; n < lines; n++) {
            level = int(n / (per + 1)); k = n % (per + 1)
            if (k == 0) printf "s%d=Level%d\n", level, level
            else printf "s%d:c%d=L%dC%d\n", level, (k - 1) % 1024, level, k - 1
        }
    }' >"$3"
}
# label_rows NAME PROGRAM CONTEXT TABLE: the median time of the label rounds and the
# peak memory of one run; the median in microseconds is left in label_us, the output of
# the first run in $work/label.out.
label_rows() {
    local name=$1 program=$2 context=$3 table=$4 i t0 t1
    export LABEL_TEST_TRANSLATIONS=$table
    LD_PRELOAD=$mlsfake "$program" "$context" >"$work/label.out" || true
    : >"$work/label.us"
    for ((i = 0; i < label_rounds; i++)); do
        t0=$(now)
        LD_PRELOAD=$mlsfake "$program" "$context" >/dev/null || true
        t1=$(now)
        echo $((t1 - t0)) >>"$work/label.us"
    done
    label_us=$(median <"$work/label.us")
    row "$name" "median ms" "$(ms "$label_us")" "" ""
    row "$name" "peak KiB" "$(LD_PRELOAD=$mlsfake peak_kib "$program" "$context")" "" ""
    unset LABEL_TEST_TRANSLATIONS
}
# expect WHAT TEXT: say on standard error when the last label run printed something else.
expect() {
    [ "$(cat "$work/label.out")" = "$2" ] || echo "bench: $1 gave $(head -c 80 "$work/label.out")..." >&2
}
# grouped N: N with its thousands set apart by commas.
grouped() { echo "$1" | sed -e ':a' -e 's/\B[0-9]\{3\}\>/,&/' -e 'ta'; }
# repeated TEXT COUNT: TEXT written COUNT times.
repeated() { awk -v t="$1" -v n="$2" 'BEGIN { for (i = 0; i < n; i++) printf "%s", t }'; }

label_section() {
    local shape per lines last level name small
    # Loading: each line costs the same whatever the number of lines and levels before
    # it, with levels growing with the lines (a level line and ten category lines) and
    # with one level. rawlabel looks up the last category line's names, so that every
    # walk of the table goes through all of it.
    for shape in "a level per 11" "one level"; do
        for lines in 100000 1000000; do
            per=10
            [ "$shape" = "one level" ] && per=$lines
            table $lines $per "$work/table.conf"
            last=$(awk -F = '$1 ~ /:/ { last = $0 } END { print last }' "$work/table.conf")
            level=${last%%:*}
            name=${last#*=}
            label_rows "rawlabel, $(grouped $lines) lines, $shape" "$rawlabel" \
                "u:r:t:Level${level#s}:$name" "$work/table.conf"
            expect rawlabel "u:r:t:${last%=*}"
            [ $lines = 100000 ] && small=$label_us
        done
        row "rawlabel, 10 times the lines, $shape" "time ratio" "$(ratio "$label_us" "$small")" \
            "10 when linear" ""
    done
    rm -f "$work/table.conf"

    # rawlabel on 120 KB of known names: the sample file's Blue and Green, and a name that
    # stands for 100 categories: 15,000 of them stand for 1,500,000, past the 65,536 that a
    # list may hold, so they stay as written; 655 of them make 65,500.
    local names hundred raws
    names=$(repeated Blue,Green, 10910)
    names=${names%,}
    raws=$(repeated c0,c1, 10910)
    label_rows "rawlabel, 120 KB of names, sample file" "$rawlabel" "u:r:t:SystemLow:$names" \
        "$top/examples/translations.conf"
    expect rawlabel "u:r:t:s0:${raws%,}"
    { cat "$top/examples/translations.conf"; printf 's0:c0'; for ((i = 1; i < 100; i++)); do printf ',c%d' $i; done
      echo "=Hundred"; } >"$work/hundred.conf"
    names=$(repeated Hundred, 15000)
    label_rows "rawlabel, 120 KB of a name for 100 categories" "$rawlabel" "u:r:t:SystemLow:${names%,}" \
        "$work/hundred.conf"
    expect rawlabel "u:r:t:SystemLow:${names%,}"
    hundred=$(sed -n 's/^s0:\(c0,[^=]*\)=Hundred$/\1/p' "$work/hundred.conf")
    names=$(repeated Hundred, 655)
    label_rows "rawlabel, 655 names for 100 categories each" "$rawlabel" "u:r:t:SystemLow:${names%,}" \
        "$work/hundred.conf"
    raws=$(repeated "$hundred," 655)
    expect rawlabel "u:r:t:s0:${raws%,}"

    # showlabel on the longest argument: u:r:t:s0: and 14,400 copies of c0.c1023, past
    # the 65,536 categories that a list may stand for, so it comes back as written; then
    # a list at that limit, every category named.
    local long at_limit every
    table 1025 1024 "$work/every.conf"
    long=u:r:t:s0:$(repeated c0.c1023, 14399)c0.c1023
    label_rows "showlabel, 128 KB of c0.c1023, sample file" "$showlabel" "$long" "$top/examples/translations.conf"
    expect showlabel "$long"
    label_rows "showlabel, 128 KB of c0.c1023, 1,024 named" "$showlabel" "$long" "$work/every.conf"
    expect showlabel "$long"
    at_limit=u:r:t:s0:$(repeated c0.c1023, 63)c0.c1023
    label_rows "showlabel, 65,536 categories, 1,024 named" "$showlabel" "$at_limit" "$work/every.conf"
    [ "$(tr , '\n' <"$work/label.out" | wc -l)" = 65536 ] || echo "bench: showlabel gave $(head -c 80 "$work/label.out")..." >&2

    # Every category of s0 translated; c0.c1023,c0.c1023 expands to 2,048 categories.
    label_rows "showlabel, 2,048 categories" "$showlabel" "u:r:t:s0:c0.c1023,c0.c1023" "$work/every.conf"
    every=$(cat "$work/label.out")
    [ "$(echo "$every" | tr , '\n' | wc -l)" = 2048 ] || echo "bench: showlabel gave ${every:0:60}..." >&2
    label_rows "rawlabel, 2,048 category names" "$rawlabel" "$every" "$work/every.conf"

    # rawlabel on 120 KB of names of that table: L0C0, of its first category line, 24,000
    # times. Each was a walk of the level's 1,024 entries, newest first, to the last.
    local all all_raw
    names=$(repeated L0C0, 24000)
    raws=$(repeated c0, 24000)
    label_rows "rawlabel, 120 KB of names, 1,024 named" "$rawlabel" "u:r:t:Level0:${names%,}" "$work/every.conf"
    expect rawlabel "u:r:t:s0:${raws%,}"
    all_raw=$(awk 'BEGIN { for (n = 0; n < 1024; n++) printf "%sc%d", n ? "," : "", n }')

    # Lookups against a million lines: s0's 1,024 categories named C0 to C1023 first, then
    # 998,975 names of two categories each, of the same level, after them, so that a walk
    # of the level's entries, newest first, passes them all. showlabel on 64 copies of
    # c0.c1023 (65,536 categories, the most a list may stand for), rawlabel on 120 KB of
    # the names C0 to C1023.
    awk 'BEGIN { print "s0=SystemLow"; for (n = 0; n < 1024; n++) printf "s0:c%d=C%d\n", n, n
        for (k = 0; k < 998975; k++) printf "s0:c%d,c%d=P%d\n", k % 1024, (int(k / 1024) + k + 1) % 1024, k }' \
        >"$work/million.conf"
    # Beside s0 alone, which costs the load and nothing more, each shows what its argument
    # adds: with lookups that cost the same whatever the table, little.
    local alone
    all=$(awk 'BEGIN { for (n = 0; n < 1024; n++) printf "%sC%d", n ? "," : "", n }')
    label_rows "showlabel, 1,000,000 lines, s0 alone" "$showlabel" "u:r:t:s0" "$work/million.conf"
    expect showlabel "u:r:t:SystemLow"
    alone=$label_us
    label_rows "showlabel, 1,000,000 lines, 65,536 categories" "$showlabel" \
        "u:r:t:s0:$(repeated c0.c1023, 63)c0.c1023" "$work/million.conf"
    expect showlabel "u:r:t:SystemLow:$(repeated "$all," 63)$all"
    row "showlabel, 1,000,000 lines, 65,536 categories" "time ratio" "$(ratio "$label_us" "$alone")" \
        "$(ms "$alone") ms s0 alone" ""
    label_rows "rawlabel, 1,000,000 lines, 120 KB of names" "$rawlabel" "u:r:t:SystemLow:$(repeated "$all," 23)$all" \
        "$work/million.conf"
    expect rawlabel "u:r:t:s0:$(repeated "$all_raw," 23)$all_raw"
    row "rawlabel, 1,000,000 lines, 120 KB of names" "time ratio" "$(ratio "$label_us" "$alone")" \
        "$(ms "$alone") ms s0 alone" ""
    rm -f "$work/million.conf"
}
section label && label_section

# ---- the programs themselves ----
if section sizes; then
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
fi

# ---- on the real kernel ----
# One boot of Debian's kernel with nandsim for each guest: cellshow beside busybox's and
# coreutils' dd, each program's start-up alone, and cellrw w beside mtd-utils'
# flash_erase and nandwrite, timed inside the guest (see bench/guest.sh). What stops a
# guest leaves its rows saying why.
vm_notes=()
# guest_rows ARCH ROUNDS: the rows of the guest of ARCH (amd64 or armhf), or one saying why
# there are none.
guest_rows() {
    local arch=$1 vm_rounds=$2 cache=${BENCH_VM_CACHE:-} what erase nandwrite coreutils_dd cc
    local programs guest status reading writing accel release tree
    what="nandsim, $arch guest"
    [ "$arch" = amd64 ] && what="nandsim, x86-64 guest"
    if [ "$vm_rounds" = 0 ]; then
        row "$what" "" "-" "not run: no rounds asked" ""
        return
    fi
    [ -n "$cache" ] || cache=$(sed -n 's/^FIELDTOOLS_VM_CACHE:PATH=//p' "$build/CMakeCache.txt")
    [ -n "$cache" ] || cache=$build/vm-cache
    if ! bash "$top/tests/vm/prepare.sh" "$cache" kernel "$arch" >"$work/prepare.out" 2>&1; then
        cat "$work/prepare.out" >&2
        row "$what" "" "-" "not run: no kernel (see above)" ""
        return
    fi
    if [ "$arch" = amd64 ]; then
        erase=$(PATH=$PATH:/usr/sbin:/sbin command -v flash_erase) || true
        nandwrite=$(PATH=$PATH:/usr/sbin:/sbin command -v nandwrite) || true
        if [ -z "$erase" ] || [ -z "$nandwrite" ]; then
            row "$what" "" "-" "not run: needs mtd-utils" ""
            return
        fi
        # coreutils' dd as the system has it: dynamically linked, its libraries copied in.
        coreutils_dd=$(readlink -f "$(command -v dd)")
        cc=${CC:-cc}
        programs=("cellshow=$cellshow" "cellrw=$cellrw")
    else
        # The guest's dd, flash_erase and nandwrite are Debian's armhf packages, unpacked;
        # the programs come from an armhf cross build.
        if ! bash "$top/tests/vm/prepare.sh" "$cache" bench armhf >"$work/prepare.out" 2>&1; then
            cat "$work/prepare.out" >&2
            row "$what" "" "-" "not run: no armhf coreutils or mtd-utils (see above)" ""
            return
        fi
        erase=$cache/armhf/mtd-utils/usr/sbin/flash_erase
        nandwrite=$cache/armhf/mtd-utils/usr/sbin/nandwrite
        coreutils_dd=$cache/armhf/coreutils/bin/dd
        cc=arm-linux-gnueabihf-gcc
        tree=${BENCH_ARMHF_BUILD:-$top/build/bench-armhf}
        if [ -z "${BENCH_ARMHF_BUILD:-}" ]; then
            echo "building $tree (armhf, Release)..." >&2
            if ! { cmake -S "$top" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake" \
                       -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
                   cmake --build "$tree" -j "$jobs" --target cellrw cellshow; } >"$work/armhf.out" 2>&1; then
                tail -n 20 "$work/armhf.out" >&2
                row "$what" "" "-" "not run: the armhf build failed (see above)" ""
                return
            fi
        fi
        programs=("cellshow=$tree/factory/cellshow" "cellrw=$tree/factory/cellrw")
    fi
    if ! $cc -O2 -static -o "$work/stopwatch-$arch" "$top/bench/stopwatch.c" 2>"$work/cc.out"; then
        cat "$work/cc.out" >&2
        row "$what" "" "-" "not run: stopwatch not built" ""
        return
    fi
    guest=$work/guest.sh
    { echo "ROUNDS=$vm_rounds"; cat "$top/bench/guest.sh"; } >"$guest"
    status=0
    FIELDTOOLS_VM_TIMEOUT=${FIELDTOOLS_VM_TIMEOUT:-1800} bash "$top/tests/vm/boot.sh" -a "$arch" "$guest" "$cache" \
        "$work/vm-$arch" "${programs[@]}" stopwatch="$work/stopwatch-$arch" coreutils-dd="$coreutils_dd" \
        flash_erase="$erase" nandwrite="$nandwrite" >"$work/vm.out" 2>&1 || status=$?
    reading=$(sed -n 's/^FIELDTOOLS-BENCH read //p' "$work/vm.out")
    writing=$(sed -n 's/^FIELDTOOLS-BENCH write //p' "$work/vm.out")
    if [ $status != 0 ] || [ -z "$reading" ] || [ -z "$writing" ]; then
        echo "bench: the $arch benchmark guest failed (status $status); the end of its console:" >&2
        tail -n 20 "$work/vm.out" >&2
        row "$what" "" "-" "failed: $(sed -n 's/^FIELDTOOLS-BENCH failed //p' "$work/vm.out" | head -n 1)" ""
        return
    fi
    release=$(sed -n 's/^vm: booting \([^ ]*\) .* under \([a-z]*\)$/\1/p' "$work/vm.out")
    accel=$(sed -n 's/^vm: booting .* under \([a-z]*\)$/\1/p' "$work/vm.out")
    grep -q 'TCG takes over' "$work/vm.out" && accel=tcg
    # read: ROUNDS CELLSHOW BUSYBOX_DD COREUTILS_DD CELLSHOW_START BUSYBOX_DD_START
    # COREUTILS_DD_START; write: ROUNDS CELLRW PAIR ERASE NANDWRITE.
    set -- $reading
    row "cellshow, whole process, $what" "median ms" "$(ms "$2")" "$(ms "$3") busybox dd" "$(ratio "$2" "$3")"
    row "cellshow, whole process, $what" "median ms" "$(ms "$2")" "$(ms "$4") coreutils dd" "$(ratio "$2" "$4")"
    row "start-up: cellshow alone, $what" "median ms" "$(ms "$5")" "$(ms "$7") coreutils dd --version" \
        "$(ratio "$5" "$7")"
    row "start-up: cellshow alone, $what" "median ms" "$(ms "$5")" "$(ms "$6") busybox dd of nothing" "$(ratio "$5" "$6")"
    # What is left of each median once its program's start-up median is taken off.
    local show_work busybox_work coreutils_work
    show_work=$(awk -v a="$2" -v b="$5" 'BEGIN { print a - b }')
    busybox_work=$(awk -v a="$3" -v b="$6" 'BEGIN { print a - b }')
    coreutils_work=$(awk -v a="$4" -v b="$7" 'BEGIN { print a - b }')
    row "cellshow less its start-up, $what" "ms" "$(ms "$show_work")" "$(ms "$coreutils_work") coreutils dd" \
        "$(ratio "$show_work" "$coreutils_work")"
    row "cellshow less its start-up, $what" "ms" "$(ms "$show_work")" "$(ms "$busybox_work") busybox dd" \
        "$(ratio "$show_work" "$busybox_work")"
    set -- $writing
    row "cellrw w, whole process, $what" "median ms" "$(ms "$2")" "$(ms "$3") flash_erase+nandwrite" "$(ratio "$2" "$3")"
    row "flash_erase of 3 blocks, $what" "median ms" "$(ms "$4")" "" ""
    row "nandwrite -p of 3 blocks, $what" "median ms" "$(ms "$5")" "" ""
    vm_notes+=("$what: $release under ${accel:-?}, $1 rounds of each set alternated, timed in the guest")
}
section guest && guest_rows amd64 "$vm_rounds"
section armhf && guest_rows armhf "$armhf_rounds"
rule
echo "times are whole processes started from bash; peak memory includes the preloaded library"
for note in "${vm_notes[@]}"; do
    echo "$note"
done
