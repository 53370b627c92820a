#!/bin/sh
# SPDX-License-Identifier: MIT
# Build the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), replay their corpus, then fuzz each target in turn for
# FUZZ_SECONDS (default 60) and print how many inputs it ran. Fails on any finding: a
# crash, a leak, undefined behaviour, a broken promise, or an input slower than 10 s.
#
#   FUZZ_SECONDS   seconds each target runs (default 60)
#   FUZZ_TARGETS   the targets to run (default all)
#
# A finding is left in build/fuzz/work/TARGET/artifacts/. Keep it as a regression test by
# copying it to tests/fuzz/corpus/TARGET/finding-WHAT: the fuzz build's CTest tests run
# every file there.
set -e
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"translations_load untranslate translate cell_offset cell_args"}
dir=build/fuzz

cmake -S . -B "$dir" -DFIELDTOOLS_FUZZ=ON -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j 2
(cd "$dir" && ctest --output-on-failure --no-tests=error)

failed=""
for target in $targets; do
    # New inputs go to the work corpus; the seeds in the tree are only read.
    work=$dir/work/$target
    mkdir -p "$work/corpus" "$work/artifacts"
    status=0
    "$dir/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" "tests/fuzz/corpus/$target" >"$work/log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    if [ "$status" = 0 ]; then
        printf '%-18s %12s executions in %s s\n' "$target" "${runs:-?}" "$seconds"
    else
        printf '%-18s FAILED (exit %s) after %s executions; from %s:\n' "$target" "$status" "${runs:-?}" "$work/log"
        grep -v '^#' "$work/log" | tail -n 40
        ls "$work/artifacts"
        failed="$failed $target"
    fi
done
if [ -n "$failed" ]; then
    echo "findings in:$failed"
    exit 1
fi
