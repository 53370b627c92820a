#!/bin/bash
# SPDX-License-Identifier: MIT
# Hostile input to rawlabel and showlabel that the other scripts leave out: lines of
# 1 MiB, binary garbage in the translations file and in the context, non-ASCII bytes and
# '%' in names and labels, and a range that writes out to many categories.
. "$CLAIM"

files=$(mktemp -d "${TMPDIR:-/tmp}/bad_input.XXXXXX")
trap 'rm -rf "$files" "$CLAIM_DIR"' EXIT
conf=$EXAMPLE
rawlabel() { LABEL_TEST_TRANSLATIONS=$conf preloaded "$MLSFAKE" "$RAWLABEL" "$@"; }
showlabel() { LABEL_TEST_TRANSLATIONS=$conf preloaded "$MLSFAKE" "$SHOWLABEL" "$@"; }
nl=$'\n'

# Lines of 1 MiB: a name, a comment, a line without '=', and a last line without a newline.
mib=$(head -c 1048576 /dev/zero | tr '\0' N)
printf 's0=%s\ns0:c0=Blue\n' "$mib" >"$files/long-name.conf"
conf=$files/long-name.conf
claim "a name of 1 MiB is printed whole" 0 "u:r:t:$mib$nl" "" -- showlabel u:r:t:s0
claim "and the lines after it still count" 0 "u:r:t:s0:c0$nl" "" -- rawlabel u:r:t:s0:Blue
{ printf '#%s\n%s\n' "$mib" "$mib"; cat "$EXAMPLE"; printf 's2=%s' "$mib"; } >"$files/long-lines.conf"
conf=$files/long-lines.conf
claim "a comment and a line without '=' of 1 MiB are skipped" 0 "u:r:t:s0:c0,c1$nl" "" -- rawlabel u:r:t:SystemLow:Blue,Green
claim "a last line of 1 MiB without a newline counts" 0 "u:r:t:$mib$nl" "" -- showlabel u:r:t:s2

# Binary garbage: every byte value, NUL and newline included, scrambled, 16 times over.
for k in $(seq 16); do
    for i in $(seq 0 255); do printf "\\$(printf %03o $(((i * 97 + 13 + k) % 256)))"; done
done >"$files/garbage.conf"
{ cat "$files/garbage.conf"; echo; cat "$EXAMPLE"; } >"$files/garbage-then-example.conf"
conf=$files/garbage.conf
claim "a garbage file translates nothing of rawlabel's" 0 "u:r:t:SystemLow:Blue$nl" "" -- rawlabel u:r:t:SystemLow:Blue
claim "nor of showlabel's" 0 "u:r:t:s0:c0$nl" "" -- showlabel u:r:t:s0:c0
conf=$files/garbage-then-example.conf
claim "lines after garbage still count for rawlabel" 0 "u:r:t:s0:c0,c1$nl" "" -- rawlabel u:r:t:SystemLow:Blue,Green
claim "and for showlabel" 0 "u:r:t:SystemLow:Cyan$nl" "" -- showlabel u:r:t:s0:c0,c1
conf=$EXAMPLE
garbage=$(for i in $(seq 0 254); do printf "\\$(printf %03o $(((i * 97 + 13) % 255 + 1)))"; done)
claim "a garbage context is no context for rawlabel" 255 "" "" -- rawlabel "$garbage"
claim "nor for showlabel" 255 "" "" -- showlabel "$garbage"
claim "a garbage range is refused by rawlabel" 255 "" "" -- rawlabel "u:r:t:$garbage"
claim "and by showlabel" 255 "" "" -- showlabel "u:r:t:$garbage"

# Non-ASCII and '%' in names and labels are bytes like any other.
printf 's0=Geheim€\ns0:c0=Blé\ns0:c1=\377\376\ns1=100%%s\ns1:c0=%%n%%d\n' >"$files/bytes.conf"
conf=$files/bytes.conf
claim "UTF-8 names are printed as they are" 0 "u:r:t:Geheim€:Blé$nl" "" -- showlabel u:r:t:s0:c0
claim "and read back" 0 "u:r:t:s0:c0$nl" "" -- rawlabel u:r:t:Geheim€:Blé
claim "bytes that are no UTF-8 are printed as they are" 0 $'u:r:t:Geheim€:\377\376\n' "" -- showlabel u:r:t:s0:c1
claim "and read back" 0 "u:r:t:s0:c1$nl" "" -- rawlabel $'u:r:t:Geheim€:\377\376'
claim "'%' in names is no format" 0 "u:r:t:100%s:%n%d$nl" "" -- showlabel u:r:t:s1:c0
claim "and reads back" 0 "u:r:t:s1:c0$nl" "" -- rawlabel 'u:r:t:100%s:%n%d'
claim "unknown non-ASCII labels stay as written" 0 $'u:r:t:\377\376:\200\n' "" -- rawlabel $'u:r:t:\377\376:\200'
claim "unknown '%' labels too" 0 "u:r:t:s0:%s%n$nl" "" -- showlabel 'u:r:t:s0:%s%n'

# A range written out to 204800 categories, none of them named past c1: left as it is.
conf=$EXAMPLE
many=$(printf 'c0.c1023,%.0s' $(seq 200))
claim "200 full category ranges" 0 "u:r:t:s0:${many}c5$nl" "" -- showlabel "u:r:t:s0:${many}c5"

finish
