#!/bin/bash
# SPDX-License-Identifier: MIT
# Write the seed corpus of the fuzz targets into corpus/<target>/, from the worked example
# and the tables, labels, offsets and values of the tests. Findings are kept beside the
# seeds under names that start with "finding-"; this script leaves them alone.
set -e
cd "$(dirname "$0")"
root=../..

# seed TARGET NAME: standard input becomes corpus/TARGET/seed-NAME.
seed() { cat >"corpus/$1/seed-$2"; }
for t in translations_load untranslate translate cell_offset cell_args; do
    mkdir -p "corpus/$t"
    rm -f "corpus/$t"/seed-*
done

# Translations files: the worked example and the tables of the label tests.
example=$(cat "$root/examples/translations.conf")
showlabel_table='s0=SystemLow
s0:c0=Blue
s0:c1=Green
s0:c2=Red
s1=Secret
s1:c0=Alpha
s2:c5=Gold
s15=Top
s15:c0.c1023=SystemHigh'
dashes_table="$example
s2=Top-Secret
s2:c3=Dark-Blue
s0-s15=Span"
shared_table='s0=Shared
s1=Shared
s0:c0=Blue
s0:c3=Secret
:c0=X
-s1=X
s0:c0-s15:c5=X'
roundtrip_table='s0=T2Level0
s1=T2Level1
s2=T2Level2
s2:c2=T2L2Cat0
s1:c1=T2L1Cat0
s1:c3=T2L1Cat1
s1:c5=T2L1Cat2
s0:c0=T2L0Cat0
s0:c2=T2L0Cat1
s0:c4=T2L0Cat2'
odd_lines=$' \t\r\n  # s0=SystemLow\n===\n= = ==\n=\t=X\ns0\ns0=\ns0= \t\r\n==s0=SystemLow\ns0 = SystemLow \n\t s0=SystemLow\ns0=A=B\ns0=SystemLow # note\ns0=SystemLow\r\n= s0=X\ns0:c0.c1023=SystemHigh\ns0-s15:c0.c1023=Everything'

printf '%s\n' "$example" | seed translations_load example
printf '%s\n' "$showlabel_table" | seed translations_load showlabel
printf '%s\n' "$dashes_table" | seed translations_load dashes
printf '%s\n' "$shared_table" | seed translations_load shared
printf '%s\n' "$roundtrip_table" | seed translations_load roundtrip
printf '%s' "$odd_lines" | seed translations_load odd-lines
printf 's0=Sys\0tem\ns1=Secret\ns0\0=X\n' | seed translations_load nul-in-line
printf '# no translations yet\n\n   # none\n' | seed translations_load comments
printf '' | seed translations_load empty

# Label inputs: a table, a NUL, then the text (tests/fuzz/fuzz_input.h).
# pair TARGET NAME TABLE TEXT
pair() { printf '%s\n\0%s' "$3" "$4" | seed "$1" "$2"; }
i=0
for text in SystemLow SystemLow:Blue,Green SystemLow:Cyan 'SystemLow:,Blue,,Green,' Secret:Red \
    SystemLow-SystemHigh Cyan SystemLow:Blue,Purple SystemLow:Blue-Secret:Mauve s0:c0 Mauve:Blue \
    SystemLow: '' SystemLow-SystemLow Secret:Red-SystemLow-SystemLow \
    user_u:object_r:file_t:SystemLow:Blue,Green u:r:t:SystemLow-SystemLow:Blue u:r:t u:r:t:- 'not a context'; do
    pair untranslate "example-$i" "$example" "$text"
    i=$((i + 1))
done
pair untranslate dashes-0 "$dashes_table" Top-Secret
pair untranslate dashes-1 "$dashes_table" Dark-Blue
pair untranslate dashes-2 "$dashes_table" SystemLow:Span
pair untranslate shared-0 "$shared_table" Shared:Blue
pair untranslate roundtrip-0 "$roundtrip_table" T2Level1:T2L1Cat0,T2L1Cat2
printf 'SystemLow:Blue' | seed untranslate no-table

i=0
for text in s0 s0-s15:c0.c1023 s0-s9 s0:c0-s1:c0 s0:c0.c2 s9 s2 s0-s1:c0 s0:c0,c1 s15:c0.c1023 \
    s0:c0.c3,c5,c7.c9 's0:c3.' s0:c5.c2 s0:c0.c1024 's0:,c0,,c1,' u:r:t:s0-s15:c0.c1023 u:r:t:s2 u:r:t nonsense; do
    pair translate "showlabel-$i" "$showlabel_table" "$text"
    i=$((i + 1))
done
pair translate example-0 "$example" user_u:object_r:file_t:s0:c0,c1
pair translate example-1 "$example" s0-s15:c0.c1023
pair translate shared-0 "$shared_table" s0:c0-s15:c5
pair translate roundtrip-0 "$roundtrip_table" s1:c1,c3,c5
printf 's0:c0.c1023' | seed translate no-table
# Many ranges: each written out makes a long list.
{
    printf 's0=SystemLow\ns0:c0=Blue\ns0:c1=Green\n\0s0:'
    for i in $(seq 4); do printf 'c0.c1023,'; done
    printf 'c1'
} | seed translate many-ranges

# OFFSET and POS texts.
i=0
for text in 0 -1 393216 393215 ' +12x' 512 abc 4294967296 99999999999999999999999 -0 +-5 0x100 \
    $'\t\n\v\f\r 7' ' -2147483648' 2147483647; do
    printf '%s' "$text" | seed cell_offset "$i"
    i=$((i + 1))
done

# cellrw's words after its name, NUL-separated.
# words NAME WORD...
words() {
    local name=$1
    shift
    printf '%s\0' "$@" | head -c -1 | seed cell_args "$name"
}
v255=$(printf 'v%.0s' $(seq 255))
words read r 512
words read-non-numeric r abc
words read-negative r -1
words read-end r 393216
words read-no-nul r 393100
words read-past-load r 262100
words read-damaged r 131072
words write w 512 ABC
words write-no-value w 512
words write-last-byte w 393215 ''
words write-past-end w 393214 AB
words write-255 w 0 "$v255"
words write-256 w 0 "${v255}v"
words write-percent w 600 '50%s%n'
words write-damaged w 131072 X
words extra r 0 extra
words not-a-command read 0
