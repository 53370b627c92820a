# SPDX-License-Identifier: MIT
# Black-box claims: run a program, compare its standard output, standard error and
# exit status exactly with what is expected. Sourced by the test scripts.
#
#   claim NAME STATUS STDOUT STDERR -- COMMAND [ARG...]
#       STDOUT and STDERR are the exact texts (use $'...' for newlines).
#   same NAME EXPECTED ACTUAL
#       two texts must be equal, trailing newlines aside (as $(...) drops them).
#   finish
#       prints the tally and exits 1 if any claim failed.
#   preloaded LIB PROGRAM [ARG...]
#       runs PROGRAM with LIB preloaded; see below.
#   built [VAR=VALUE...] PROGRAM [ARG...]
#       runs PROGRAM, one of ours, with the settings given; see below.
#
# The last command's outputs stay in $CLAIM_DIR/out and $CLAIM_DIR/err.

CLAIM_DIR=$(mktemp -d "${TMPDIR:-/tmp}/claim.XXXXXX")
trap 'rm -rf "$CLAIM_DIR"' EXIT
claim_passed=0
claim_failed=0

claim_fail() {
    claim_failed=$((claim_failed + 1))
    printf 'FAIL: %s\n' "$1"
}

# Compare an expected text with a file; print a diff when they differ.
claim_compare() {
    local what=$1 expected=$2 file=$3
    printf '%s' "$expected" >"$CLAIM_DIR/expected"
    if ! cmp -s "$CLAIM_DIR/expected" "$file"; then
        printf '  %s differs (expected, then actual):\n' "$what"
        diff -u --label expected --label actual "$CLAIM_DIR/expected" "$file" | sed 's/^/    /' | head -n 60
        return 1
    fi
    return 0
}

claim() {
    local name=$1 status=$2 out=$3 err=$4
    shift 4
    [ "$1" = "--" ] && shift
    "$@" >"$CLAIM_DIR/out" 2>"$CLAIM_DIR/err" </dev/null
    local got=$?
    local ok=0
    if [ "$got" != "$status" ]; then
        printf '  exit status %s, expected %s\n' "$got" "$status"
        ok=1
    fi
    claim_compare stdout "$out" "$CLAIM_DIR/out" || ok=1
    claim_compare stderr "$err" "$CLAIM_DIR/err" || ok=1
    if [ $ok = 0 ]; then
        claim_passed=$((claim_passed + 1))
    else
        claim_fail "$name"
    fi
}

same() {
    local name=$1 expected=$2 actual=$3
    while [ "${expected%$'\n'}" != "$expected" ]; do expected=${expected%$'\n'}; done
    while [ "${actual%$'\n'}" != "$actual" ]; do actual=${actual%$'\n'}; done
    printf '%s' "$actual" >"$CLAIM_DIR/actual"
    if claim_compare "$name" "$expected" "$CLAIM_DIR/actual"; then
        claim_passed=$((claim_passed + 1))
    else
        claim_fail "$name"
    fi
}

# Run a program with a library preloaded. $TEST_EMULATOR, when set, runs programs built
# for another machine (qemu-user, which takes the guest's preload as -E); $TEST_CHECKER,
# when set, runs them under a checker such as valgrind.
preloaded() {
    local lib=$1
    shift
    if [ -n "${TEST_EMULATOR:-}" ]; then
        $TEST_EMULATOR -E LD_PRELOAD="$lib" "$@"
    else
        LD_PRELOAD=$lib ${TEST_CHECKER:-} "$@"
    fi
}

# Run a program that this project built, through $TEST_EMULATOR when it was built for another
# machine, with the leading VAR=VALUE words in its environment.
built() {
    (
        while [[ $1 == *=* ]]; do export "$1"; shift; done
        ${TEST_EMULATOR:-} "$@"
    )
}

# Run a command whose standard output is a full device.
to_full() { "$@" >/dev/full; }

finish() {
    printf '%d passed, %d failed\n' "$claim_passed" "$claim_failed"
    [ "$claim_failed" = 0 ]
}
