#!/bin/bash
# SPDX-License-Identifier: MIT
# Hostile input to the flash programs that the other scripts leave out: every byte value
# in cells and values, a region without any NUL, extra arguments, and arguments as long
# as the kernel lets one be.
. "$(dirname "$0")/flash_lib.sh"

# Every byte but NUL, each once, scrambled: '%', '\n', '\\', 0x80-0xFF (no valid UTF-8).
garbage=$(for i in $(seq 0 254); do printf "\\$(printf %03o $(((i * 97 + 13) % 255 + 1)))"; done)
utf8='Größe 20 € 日本'
written="$(nand_commit)"$'\n'

flash $PART
put 512 "$garbage"
put 1024 "$utf8"
claim "cellshow prints a cell of every byte value byte for byte" 0 "$garbage"$'\n' "" -- show x 512
claim "cellrw r too" 0 "$garbage" "" -- rw r 512
claim "cellshow prints UTF-8 as it is" 0 "$utf8"$'\n' "" -- show x 1024
claim "cellrw w stores a value of every byte value (255, the most)" 0 "" "$written" -- rw w 4096 "$garbage"
claim "and it reads back byte for byte" 0 "$garbage" "" -- rw r 4096
claim "cellrw w stores UTF-8" 0 "" "$written" -- rw w 8192 "$utf8"
claim "and it reads back" 0 "$utf8" "" -- rw r 8192
claim "cellrw w of an empty value stores a NUL" 0 "" "$written" -- rw w 512 ""
claim "and the cell reads empty" 0 "" "" -- rw r 512

# Extra arguments are ignored.
claim "cellshow with an extra argument" 0 "$utf8"$'\n' "" -- show x 1024 extra
claim "cellrw r with an extra argument" 0 "$utf8" "" -- rw r 1024 extra
claim "cellrw w with an extra argument stores its value" 0 "" "$written" -- rw w 1024 X extra
claim "and only its value" 0 "X" "" -- rw r 1024

# Erased flash: no NUL anywhere, so a cell runs to the image's end.
flash $PART
head -c $PART /dev/zero | tr '\0' '\377' >"$MTDSIM_IMAGE"
erased=$(head -c $REGION "$MTDSIM_IMAGE")
claim "erased flash: cellshow at 0 prints the whole region" 0 "$erased"$'\n' "" -- show x 0
claim "erased flash: cellrw r at the last byte prints one byte" 0 $'\377' "" -- rw r $((REGION - 1))
claim "erased flash: a value fits before the end" 0 "" "$written" -- rw w $((REGION - 3)) AB
claim "and reads back" 0 "AB" "" -- rw r $((REGION - 3))

# Arguments of 131071 bytes, the longest the kernel passes.
flash $PART
put 7 SEVEN
big=$(head -c 131071 /dev/zero | tr '\0' v)
claim "a value of 131071 characters is refused" 255 "" \
    $'cellrw: a value of 131071 characters is longer than 255\n' -- rw w 0 "$big"
same "and nothing is erased or written" "" "$(trace | grep -E '^(erase|write)')"
# Made as the value is: bash takes some ten seconds to substitute in a text this long.
nines=$(head -c 131071 /dev/zero | tr '\0' 9)
claim "an offset of 131071 digits is refused" 255 "" \
    "cellrw: offset $nines is outside the factory region"$'\n' -- rw r "$nines"
blanks="$(head -c 131070 /dev/zero | tr '\0' ' ')7"
claim "131070 blanks before the digits are skipped" 0 $'SEVEN\n' "" -- show x "$blanks"
claim "a position of every byte value, with no digit first, reads as 0" 0 $'blk0blkSEVEN\n' "" -- show x "$garbage"

finish
