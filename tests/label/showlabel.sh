#!/bin/bash
# SPDX-License-Identifier: MIT
# Black-box claims on the shipped showlabel, with the libselinux stand-ins
# preloaded as for rawlabel.
. "$CLAIM"

files=$(mktemp -d "${TMPDIR:-/tmp}/showlabel.XXXXXX")
trap 'rm -rf "$files" "$CLAIM_DIR"' EXIT
cat >"$files/example.conf" <<'END'
s0=SystemLow
s0:c0=Blue
s0:c1=Green
s0:c2=Red
s1=Secret
s1:c0=Alpha
s2:c5=Gold
s15=Top
s15:c0.c1023=SystemHigh
END
: >"$files/empty.conf"

conf=$files/example.conf
showlabel() { LABEL_TEST_TRANSLATIONS=$conf preloaded "$MLSFAKE" "$SHOWLABEL" "$@"; }
nl=$'\n'

claim "level" 0 "u:r:t:SystemLow$nl" "" -- showlabel u:r:t:s0
claim "range split in two" 0 "u:r:t:SystemLow-SystemHigh$nl" "" -- showlabel u:r:t:s0-s15:c0.c1023
claim "unknown high level stays" 0 "u:r:t:SystemLow-s9$nl" "" -- showlabel u:r:t:s0-s9
claim "both sides translated" 0 "u:r:t:SystemLow:Blue-Secret:Alpha$nl" "" -- showlabel u:r:t:s0:c0-s1:c0
claim "category range written out" 0 "u:r:t:SystemLow:Blue,Green,Red$nl" "" -- showlabel u:r:t:s0:c0.c2
claim "unknown level stays" 0 "u:r:t:s9$nl" "" -- showlabel u:r:t:s9
claim "empty translation removes range" 0 "u:r:t$nl" "" -- showlabel u:r:t:s2
claim "an end with the empty translation stays as written" 0 "u:r:t:SystemLow-s2$nl" "" -- showlabel u:r:t:s0-s2
claim "the low end too" 0 "u:r:t:s2-SystemLow:Blue$nl" "" -- showlabel u:r:t:s2-s0:c0
claim "and both" 0 "u:r:t:s2-s2$nl" "" -- showlabel u:r:t:s2-s2
claim "whole-range attempt wins" 0 "u:r:t:SystemLow:Blue$nl" "" -- showlabel u:r:t:s0-s1:c0
claim "no range" 0 "u:r:t$nl" "" -- showlabel u:r:t
conf=$EXAMPLE
claim "sample file" 0 "user_u:object_r:file_t:SystemLow:Cyan$nl" "" -- showlabel user_u:object_r:file_t:s0:c0,c1
conf=$files/example.conf

claim "no argument" 1 "" "usage:  $SHOWLABEL context$nl" -- showlabel
claim "two arguments" 1 "" "usage:  $SHOWLABEL context$nl" -- showlabel u:r:t:s0 u:r:t:s0
export LABEL_TEST_MLS=0
claim "MLS off" 255 "" "" -- showlabel u:r:t:s0
unset LABEL_TEST_MLS
conf=/nonexistent/translations.conf
claim "missing translations file" 255 "" "" -- showlabel u:r:t:s0
conf=$files
claim "translations path is a directory" 255 "" "" -- showlabel u:r:t:s0
conf=$files/example.conf
claim "invalid context" 255 "" "" -- showlabel nonsense
export LABEL_TEST_READ_FAIL=4
claim "a read that fails mid-file" 255 "" "" -- showlabel u:r:t:s0
unset LABEL_TEST_READ_FAIL
closed_out() { "$@" >&-; }
claim "standard output closed: the line goes nowhere" 0 "" "" -- closed_out showlabel u:r:t:s0
claim "output cannot be written" 255 "" "" -- to_full showlabel u:r:t:s0
conf=$files/empty.conf
claim "empty translations file" 0 "u:r:t:s0$nl" "" -- showlabel u:r:t:s0

finish
