#!/bin/bash
# cmake --install puts the four programs and their pages under the prefix, and
# nothing else: no test, simulator or stand-in library.
#   install.sh BUILD_DIR   (CMAKE_COMMAND in the environment)
. "$CLAIM"

root=$CLAIM_DIR/root
DESTDIR=$root "$CMAKE_COMMAND" --install "$1" --prefix /usr >"$CLAIM_DIR/log" 2>&1
same "cmake --install succeeds" 0 "$?"
same "the installed files, exactly" "./usr/sbin/cellrw
./usr/sbin/cellshow
./usr/sbin/rawlabel
./usr/sbin/showlabel
./usr/share/man/man8/cellrw.8
./usr/share/man/man8/cellshow.8
./usr/share/man/man8/rawlabel.8
./usr/share/man/man8/showlabel.8" "$(cd "$root" && find . ! -type d | LC_ALL=C sort)"
same "the programs are executable" "" "$(cd "$root/usr/sbin" && for p in *; do [ -x "$p" ] || echo "$p"; done)"
finish
