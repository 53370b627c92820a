#!/bin/bash
# SPDX-License-Identifier: MIT
# Round trips through both programs on generated tables in which every level but
# one has a level line with its own name, every category entry names one category
# of its own level, and all names are distinct and free of '-', ':' and ','. There
# a level written as an explicit category list reads as its names in showlabel and
# comes back unchanged from rawlabel, and so does a range with an end at the level
# without a name of its own, which showlabel leaves as written.
. "$CLAIM"

files=$(mktemp -d "${TMPDIR:-/tmp}/roundtrip.XXXXXX")
trap 'rm -rf "$files" "$CLAIM_DIR"' EXIT
nl=$'\n'

# Show a context, then turn what showlabel printed back into raw form.
roundtrip() {
    local shown
    shown=$(LABEL_TEST_TRANSLATIONS=$conf preloaded "$MLSFAKE" "$SHOWLABEL" "$1") || return
    printf '%s\n' "$shown"
    LABEL_TEST_TRANSLATIONS=$conf preloaded "$MLSFAKE" "$RAWLABEL" "$shown"
}

# Table t has t+1 levels; level i has the categories c(k*t) for k below
# (i+t)%4+1, so some levels have one and some four, at varied numbers.
for t in 1 2 3; do
    conf=$files/table$t.conf
    : >"$conf"
    for ((i = 0; i <= t; i++)); do
        echo "s$i=T${t}Level$i" >>"$conf"
    done
    declare -A cats=() names=()
    for ((i = t; i >= 0; i--)); do
        cats[$i]=""
        for ((k = 0; k < (i + t) % 4 + 1; k++)); do
            c=c$((k * t + i))
            cats[$i]+=" $c"
            names[$i:$c]=T${t}L${i}Cat$k
            echo "s$i:$c=${names[$i:$c]}" >>"$conf"
        done
    done
    # The last level only category lines name: its translation is the empty text.
    only=s$((t + 1))
    echo "$only:c5=T${t}Only5" >>"$conf"
    for ((i = 0; i <= t; i++)); do
        level=s$i
        claim "table $t: $level" 0 "u:r:t:T${t}Level$i${nl}u:r:t:$level$nl" "" -- roundtrip u:r:t:$level
        read -ra list <<<"${cats[$i]}"
        n=${#list[@]}
        # Every non-empty subset in order, and the whole list reversed.
        subsets=()
        for ((mask = 1; mask < (1 << n); mask++)); do
            subset=()
            for ((b = 0; b < n; b++)); do
                ((mask & (1 << b))) && subset+=("${list[b]}")
            done
            subsets+=("$(IFS=,; echo "${subset[*]}")")
        done
        reversed=()
        for ((b = n - 1; b >= 0; b--)); do reversed+=("${list[b]}"); done
        subsets+=("$(IFS=,; echo "${reversed[*]}")")
        for subset in "${subsets[@]}"; do
            shown=""
            IFS=, read -ra members <<<"$subset"
            for c in "${members[@]}"; do shown+=",${names[$i:$c]}"; done
            claim "table $t: $level:$subset" 0 "u:r:t:T${t}Level$i:${shown#,}${nl}u:r:t:$level:$subset$nl" "" -- \
                roundtrip u:r:t:$level:$subset
        done
    done
    claim "table $t: s0-$only" 0 "u:r:t:T${t}Level0-$only${nl}u:r:t:s0-$only$nl" "" -- roundtrip u:r:t:s0-$only
    claim "table $t: $only-s$t" 0 "u:r:t:$only-T${t}Level$t${nl}u:r:t:$only-s$t$nl" "" -- roundtrip u:r:t:$only-s$t
    claim "table $t: $only:c5" 0 "u:r:t:T${t}Only5${nl}u:r:t:$only:c5$nl" "" -- roundtrip u:r:t:$only:c5
    read -r c _ <<<"${cats[0]}"
    claim "table $t: s0:$c-$only:c5" 0 "u:r:t:T${t}Level0:${names[0:$c]}-T${t}Only5${nl}u:r:t:s0:$c-$only:c5$nl" "" -- \
        roundtrip u:r:t:s0:$c-$only:c5
    unset cats names
done

finish
