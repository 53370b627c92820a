#!/bin/bash
# SPDX-License-Identifier: MIT
# cmake --install puts the programs of the halves built and their pages under the
# prefix, and nothing else: no test, simulator or stand-in library, and nothing that only
# a package holds (the copyright file, the changelog, the lintian override, the journal
# directory). So does the install of each half's component alone, as an image builder
# that splits the halves makes it.
#   install.sh BUILD_DIR PROGRAM...   (CMAKE_COMMAND in the environment)
. "$CLAIM"

build=$1
shift
# installed WHAT ROOT PROGRAM...: ROOT holds exactly the programs and their pages, with
# the directories that lead to them.
installed() {
    local what=$1 root=$2 p
    shift 2
    same "$what: the installed files and directories, exactly" "$( (
        printf '%s\n' ./usr ./usr/sbin ./usr/share ./usr/share/man ./usr/share/man/man8
        for p in "$@"; do echo "./usr/sbin/$p"; echo "./usr/share/man/man8/$p.8"; done
    ) | LC_ALL=C sort)" "$(cd "$root" && find . -mindepth 1 | LC_ALL=C sort)"
}

root=$CLAIM_DIR/root
DESTDIR=$root "$CMAKE_COMMAND" --install "$build" --prefix /usr >"$CLAIM_DIR/log" 2>&1
same "cmake --install succeeds" 0 "$?"
installed "cmake --install" "$root" "$@"
same "the programs are executable" "" "$(cd "$root/usr/sbin" && for p in *; do [ -x "$p" ] || echo "$p"; done)"

for half in factory label; do
    programs=()
    for p in "$@"; do
        case $half:$p in factory:cell* | label:*label) programs+=("$p") ;; esac
    done
    [ ${#programs[@]} = 0 ] && continue
    DESTDIR=$CLAIM_DIR/root-$half "$CMAKE_COMMAND" --install "$build" --prefix /usr --component $half \
        >"$CLAIM_DIR/log" 2>&1
    same "cmake --install --component $half succeeds" 0 "$?"
    installed "cmake --install --component $half" "$CLAIM_DIR/root-$half" "${programs[@]}"
done

# The pages state the version, and the flash programs' pages this build's partition
# (its name, for name:NAME), region size and journal directory, as roff writes them.
roff() { printf '%s' "$1" | sed 's/-/\\-/g'; }
for page in "$root"/usr/share/man/man8/*.8; do
    name=$(basename "$page" .8)
    same "$name.8 states the version" "\"fieldtools $PAGE_VERSION\"" "$(sed -n 's/^.TH [A-Z]* 8 [0-9-]* \(".*"\) ".*"$/\1/p' "$page")"
    case $name in cellrw|cellshow) ;; *) continue ;; esac
    for fact in "$(roff "${PAGE_DEVICE#name:}")" "$PAGE_REGION" "$(roff "$PAGE_JOURNAL_DIR")"; do
        same "$name.8 states $fact" yes "$(grep -qF -- "$fact" "$page" && echo yes)"
    done
done
finish
