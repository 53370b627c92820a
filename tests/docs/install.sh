#!/bin/bash
# cmake --install puts the programs of the halves built and their pages under the
# prefix, and nothing else: no test, simulator or stand-in library.
#   install.sh BUILD_DIR PROGRAM...   (CMAKE_COMMAND in the environment)
. "$CLAIM"

build=$1
shift
root=$CLAIM_DIR/root
DESTDIR=$root "$CMAKE_COMMAND" --install "$build" --prefix /usr >"$CLAIM_DIR/log" 2>&1
same "cmake --install succeeds" 0 "$?"
expected=$(for p in "$@"; do echo "./usr/sbin/$p"; echo "./usr/share/man/man8/$p.8"; done | LC_ALL=C sort)
same "the installed files, exactly" "$expected" "$(cd "$root" && find . ! -type d | LC_ALL=C sort)"
same "the programs are executable" "" "$(cd "$root/usr/sbin" && for p in *; do [ -x "$p" ] || echo "$p"; done)"
finish
