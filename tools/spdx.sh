#!/bin/sh
# Put the licence's SPDX line, "SPDX-License-Identifier: MIT", into every source file
# that has none, as a comment of the file's own language: C and C++ sources and headers
# (and header templates), shell scripts, CMake files, the manual page templates, and the
# image builders' files in contrib/ (Buildroot's external.desc among them). A script's first line stays its #! line. Data (the
# fuzz corpus, examples/, docs/) and prose are left alone.
#
#   tools/spdx.sh            add the line where it is missing
#   tools/spdx.sh --check    change nothing; list the files without it, exit 1 if any
top=$(cd "$(dirname "$0")/.." && pwd)
check=no
[ "${1:-}" = --check ] && check=yes
tag="SPDX-License-Identifier: MIT"

missing=0
for file in $(cd "$top" && find . \( -path ./.git -o -path './build*' -o -path ./tests/fuzz/corpus \
        -o -path ./docs -o -path ./examples \) -prune -o -type f \( \
        -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.h.in' -o -name '*.8.in' -o \
        -name '*.sh' -o -name CMakeLists.txt -o -name '*.cmake' -o -path ./.ci/run -o \
        -path ./tests/vm/guest/init -o -name '*.mk' -o -name Config.in -o -name '*.bb' -o \
        -name '*.hash' -o -name external.desc \) -print | LC_ALL=C sort); do
    path=$top/${file#./}
    grep -q "$tag" "$path" && continue
    missing=$((missing + 1))
    if [ $check = yes ]; then
        echo "no SPDX line: ${file#./}"
        continue
    fi
    case $file in
    *.c | *.cpp | *.h | *.h.in) line="// $tag" ;;
    *.8.in) line=".\\\" $tag" ;;
    *) line="# $tag" ;;
    esac
    # Rewritten in place, so that the file keeps its mode.
    if head -n 1 "$path" | grep -q '^#!'; then
        { head -n 1 "$path"; printf '%s\n' "$line"; tail -n +2 "$path"; } >"$path.spdx"
    else
        { printf '%s\n' "$line"; cat "$path"; } >"$path.spdx"
    fi
    cat "$path.spdx" >"$path" && rm "$path.spdx"
done
[ $check = no ] || [ $missing = 0 ]
