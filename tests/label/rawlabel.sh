#!/bin/bash
# SPDX-License-Identifier: MIT
# Black-box claims on the shipped rawlabel. This machine has no SELinux policy,
# so libmlsfake.so answers is_selinux_mls_enabled and selinux_translations_path
# from LABEL_TEST_MLS and LABEL_TEST_TRANSLATIONS; all else is the real library.
. "$CLAIM"

files=$(mktemp -d "${TMPDIR:-/tmp}/rawlabel.XXXXXX")
trap 'rm -rf "$files" "$CLAIM_DIR"' EXIT
: >"$files/empty.conf"
printf '# no translations yet\n\n   # none\n' >"$files/comments.conf"
grep -v SystemHigh "$EXAMPLE" >"$files/no-fallback.conf"
printf 's0=SystemLow\ns0:c0=Blue\ns0:c5=Blue\ns15:c0.c1023=SystemHigh\n' >"$files/shadowed.conf"
cp "$EXAMPLE" "$files/example.conf"

# rawlabel with the preloaded stand-ins, reading the translations file $conf.
conf=$EXAMPLE
rawlabel() { LABEL_TEST_TRANSLATIONS=$conf preloaded "$MLSFAKE" "$RAWLABEL" "$@"; }
nl=$'\n'
u=user_u:object_r:file_t

claim "level" 0 "$u:s0$nl" "" -- rawlabel $u:SystemLow
claim "equal ends collapse" 0 "$u:s0$nl" "" -- rawlabel $u:SystemLow-SystemLow
claim "range" 0 "$u:s0-s15:c0.c1023$nl" "" -- rawlabel $u:SystemLow-SystemHigh
claim "level and category" 0 "$u:s1:c2$nl" "" -- rawlabel $u:Secret:Red
claim "unknown category" 0 "$u:SystemLow:Blue,Purple$nl" "" -- rawlabel $u:SystemLow:Blue,Purple
claim "already raw" 0 "$u:s0:c0$nl" "" -- rawlabel $u:s0:c0
claim "unequal ends stay apart" 0 "$u:s0-s0:c0$nl" "" -- rawlabel $u:SystemLow-SystemLow:Blue
claim "no range gains the fallback level" 0 "u:r:t:s15$nl" "" -- rawlabel u:r:t

claim "no argument" 1 "" "usage:  $RAWLABEL context$nl" -- rawlabel
claim "two arguments" 1 "" "usage:  $RAWLABEL context$nl" -- rawlabel $u:s0 $u:s0
LABEL_TEST_MLS=0
export LABEL_TEST_MLS
claim "argument count checked before MLS" 1 "" "usage:  $RAWLABEL context$nl" -- rawlabel
claim "MLS off" 255 "" "" -- rawlabel $u:SystemLow
unset LABEL_TEST_MLS

conf=/nonexistent/translations.conf
claim "missing translations file" 255 "" "" -- rawlabel $u:SystemLow
claim "missing file before bad context" 255 "" "" -- rawlabel nonsense
conf=$files
claim "translations path is a directory" 255 "" "" -- rawlabel $u:SystemLow
claim "no translations path" 255 "" "" -- preloaded "$MLSFAKE" "$RAWLABEL" $u:SystemLow

conf=$EXAMPLE
claim "invalid context" 255 "" "" -- rawlabel nonsense
claim "output cannot be written" 255 "" "" -- to_full rawlabel $u:SystemLow

# A load cut short would answer differently from the whole file (s0:c0 where the
# whole file gives s0:c5), so a read that fails at any line is a failure.
conf=$files/shadowed.conf
claim "a later category line shadows an earlier one" 0 "u:r:t:s0:c5$nl" "" -- rawlabel u:r:t:SystemLow:Blue
export LABEL_TEST_READ_FAIL
for LABEL_TEST_READ_FAIL in 1 3 5; do
    claim "the read of line $LABEL_TEST_READ_FAIL fails" 255 "" "" -- rawlabel u:r:t:SystemLow:Blue
done
unset LABEL_TEST_READ_FAIL

# A closed standard descriptor is opened on /dev/null before anything else, so the
# translations file never takes its place.
conf=$files/example.conf
closed_out() { "$@" >&-; }
closed_in_out() { "$@" <&- >&-; }
closed_all() { "$@" <&- >&- 2>&-; }
claim "standard output closed: the line goes nowhere" 0 "" "" -- closed_out rawlabel $u:SystemLow
claim "standard input and output closed" 0 "" "" -- closed_in_out rawlabel $u:SystemLow
# A checker such as valgrind needs standard error for its own report.
if [ -z "${TEST_CHECKER:-}" ]; then
    claim "all three closed" 0 "" "" -- closed_all rawlabel $u:SystemLow
    claim "all three closed, no argument" 1 "" "" -- closed_all rawlabel
fi
same "the translations file is untouched" "$(cat "$EXAMPLE")" "$(cat "$conf")"

# The script of the page's examples, as the page gives it: it takes a context whose every
# name converted, and refuses one with a name left as written, or with a level name that
# the fallback level took the place of.
page_script=$(sed -n '/^if ! raw=\$(rawlabel/,/^\.EE$/p' "$RAWLABEL_PAGE" | sed -e '/^\.EE$/d' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g")
page_example() (
    context=$1
    eval "$page_script"
    echo "$raw"
)
conf=$EXAMPLE
claim "the page's script takes what converted" 0 "u:r:t:s0:c0,c1-s15:c0.c1023$nl" "" -- \
    page_example u:r:t:SystemLow:Blue,Green-SystemHigh
claim "and a context without a range" 0 "u:r:t:s15$nl" "" -- page_example u:r:t
grep -v SystemHigh "$EXAMPLE" >"$files/no-fallback.conf"
conf=$files/no-fallback.conf
claim "but not without a range and a fallback level" 1 "" "an empty part in u:r:t$nl" -- page_example u:r:t
conf=$EXAMPLE
claim "it refuses a name left as written" 1 "" "names left unconverted in u:r:t:SystemLow:Blue,Purple$nl" -- \
    page_example u:r:t:SystemLow:Blue,Purple
claim "a level name the fallback level replaced" 1 "" "unknown level name in u:r:t:Mauve:Blue$nl" -- \
    page_example u:r:t:Mauve:Blue
claim "and a category name in a level's place" 1 "" "unknown level name in u:r:t:s0-Blue:Green$nl" -- \
    page_example u:r:t:s0-Blue:Green
claim "and a raw level before category names" 1 "" "unknown level name in u:r:t:s0:Blue$nl" -- \
    page_example u:r:t:s0:Blue
claim "but takes a raw end as it is" 0 "u:r:t:s0:c0-s15:c0.c1023$nl" "" -- page_example u:r:t:s0:c0-SystemHigh
claim "and category names without a level" 1 "" "unknown level name in u:r:t:Blue,Green$nl" -- \
    page_example u:r:t:Blue,Green
claim "and an empty end" 1 "" "an empty part in u:r:t:SystemLow-$nl" -- page_example u:r:t:SystemLow-
for context in u:r:t:SystemLow-SystemLow: u:r:t:SystemLow:, u:r:t::Blue u:r:t:SystemLow-:Green u:r:t:; do
    claim "and an empty part: $context" 1 "" "an empty part in $context$nl" -- page_example $context
done

# A converted list is capped as showlabel's expansion is: one that would stand for more
# than 65,536 categories stays as written.
wide=$(seq -s, -f 'c%.0f' 0 1023)
printf 's0=SystemLow\ns0:%s=X\n' "$wide" >"$files/wide.conf"
conf=$files/wide.conf
claim "two names of 1,024 categories" 0 "u:r:t:s0:$wide,$wide$nl" "" -- rawlabel u:r:t:SystemLow:X,X
xs=$(printf 'X,%.0s' $(seq 64))X
claim "65 of them: past 65,536 categories" 0 "u:r:t:SystemLow:$xs$nl" "" -- rawlabel u:r:t:SystemLow:$xs

conf=$files/empty.conf
claim "empty translations file" 0 "$u:SystemLow$nl" "" -- rawlabel $u:SystemLow
claim "empty file leaves no range alone" 0 "u:r:t$nl" "" -- rawlabel u:r:t
conf=$files/comments.conf
claim "comments only" 0 "$u:SystemLow-SystemHigh$nl" "" -- rawlabel $u:SystemLow-SystemHigh
conf=$files/no-fallback.conf
claim "no range and no fallback level" 0 "u:r:t:s0:$nl" "" -- rawlabel u:r:t

finish
