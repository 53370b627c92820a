#!/bin/sh
# SPDX-License-Identifier: MIT
# Run the black-box suites of a plain build with every program under valgrind's memcheck.
# claim.sh's `preloaded` runs each program as $TEST_CHECKER PROGRAM; an invalid access,
# a use of uninitialised memory or a definite leak makes valgrind say so on standard
# error and exit 99, which no claim expects, so the claim fails.
#
#   MEMCHECK_TESTS   CTest regular expression of the suites to run (default: all black-box)
set -e
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind is missing (tools/deps.sh installs it)" >&2; exit 1; }
dir=build/memcheck
tests=${MEMCHECK_TESTS:-'^(cellshow|cellrw|hardening|fault_matrix|bad_input|label_rawlabel|label_showlabel|label_roundtrip|label_bad_input)$'}

# A program under valgrind takes about a second: every 150th scenario of the fault matrix.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON \
    -DFIELDTOOLS_SANITIZE=OFF -DFIELDTOOLS_MATRIX_SAMPLE=150 >/dev/null
cmake --build "$dir" -j 2
TEST_CHECKER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite"
export TEST_CHECKER
start=$(date +%s)
status=0
# A pattern that selects no test fails the run rather than passing it.
(cd "$dir" && ctest --output-on-failure --no-tests=error -j 2 -R "$tests") || status=$?
echo "memcheck: $(($(date +%s) - start)) s under valgrind"
exit $status
