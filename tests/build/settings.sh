#!/bin/bash
# SPDX-License-Identifier: MIT
# The flash programs' build settings are checked when CMake configures: every value the
# programs can use passes, with the region size in both notations, and every other one
# stops the configure with a message that names the setting and what it needs.
#   settings.sh SETTINGS_FILE   (cmake/factory-settings.cmake; CMAKE_COMMAND in the environment)
. "$CLAIM"

settings=$1
cat >"$CLAIM_DIR/show.cmake" <<END
include("$settings")
message("device=\${FACTORY_DEVICE} name=\${FACTORY_DEVICE_NAME} bytes=\${FACTORY_REGION_BYTES} hex=\${FACTORY_REGION_HEX} journal=\${FACTORY_JOURNAL_DIRECTORY}")
END
# configure -DVAR=VALUE...: what the settings give, or CMake's error on one line.
configure() {
    "$CMAKE_COMMAND" "$@" -P "$CLAIM_DIR/show.cmake" 2>&1 | sed -e '/^CMake Error at /d' -e '/^Call Stack/,$d' |
        tr -s ' \n' '  ' | sed -e 's/^ //' -e 's/ $//'
}
# accepted WHAT EXPECTED -DVAR=VALUE...
accepted() { same "accepted: $1" "$2" "$(configure "${@:3}")"; }
# refused WHAT MESSAGE -DVAR=VALUE...
refused() { same "refused: $1" "$2" "$(configure "${@:3}")"; }

default="device=/dev/mtd7 name= bytes=393216 hex=0x60000 journal=/var/lib/cellrw"
accepted "the defaults" "$default"
accepted "another partition, another size" \
    "device=/dev/mtd3 name= bytes=262144 hex=0x40000 journal=/var/lib/cellrw" \
    -DFACTORY_DEVICE=/dev/mtd3 -DFACTORY_REGION_SIZE=0x40000
long=/dev/$(printf 'p%.0s' $(seq 58))
accepted "a path of 63 bytes, the longest" "device=$long name= bytes=393216 hex=0x60000 journal=/var/lib/cellrw" \
    -DFACTORY_DEVICE="$long"
accepted "a partition by name, with spaces" \
    "device=name:NAND simulator partition 7 name=NAND simulator partition 7 bytes=393216 hex=0x60000 journal=/var/lib/cellrw" \
    "-DFACTORY_DEVICE=name:NAND simulator partition 7"
for size in 512:0x200 196608:0x30000 0X30000:0x30000 0x00030000:0x30000 67108864:0x4000000 0x4000000:0x4000000; do
    accepted "region size ${size%%:*}" "${default/bytes=393216 hex=0x60000/bytes=$(($(tr X x <<<"${size#*:}"))) hex=${size#*:}}" \
        -DFACTORY_REGION_SIZE="${size%%:*}"
done
accepted "a journal directory with trailing slashes" "${default/journal=\/var\/lib\/cellrw/journal=/data/factory}" \
    -DFACTORY_JOURNAL_DIR=/data/factory//
accepted "a journal directory with repeated slashes" "$default" -DFACTORY_JOURNAL_DIR=//var//lib///cellrw//
accepted "a journal directory named tmp elsewhere" "${default/journal=\/var\/lib\/cellrw/journal=/data/tmp}" \
    -DFACTORY_JOURNAL_DIR=/data/tmp
accepted "a journal directory of its own in /tmp" "${default/journal=\/var\/lib\/cellrw/journal=/tmp/cellrw}" \
    -DFACTORY_JOURNAL_DIR=/tmp/cellrw

path="give an absolute path under /dev, such as /dev/mtd7, or name:NAME for the MTD partition named NAME"
refused "an empty device" "FACTORY_DEVICE is \"\": $path" -DFACTORY_DEVICE=
refused "a relative device" "FACTORY_DEVICE is \"mtd7\": $path" -DFACTORY_DEVICE=mtd7
refused "a path outside /dev" "FACTORY_DEVICE is \"/tmp/mtd7\": $path" -DFACTORY_DEVICE=/tmp/mtd7
refused "/dev itself" "FACTORY_DEVICE is \"/dev/\": $path" -DFACTORY_DEVICE=/dev/
refused "a path that climbs out of /dev" "FACTORY_DEVICE is \"/dev/../etc/passwd\": $path" -DFACTORY_DEVICE=/dev/../etc/passwd
refused "a directory" "FACTORY_DEVICE is \"/dev/mtd7/\": $path" -DFACTORY_DEVICE=/dev/mtd7/
refused "name: without a name" "FACTORY_DEVICE is \"name:\": give the MTD partition's name after \"name:\"" -DFACTORY_DEVICE=name:
refused "a path of 64 bytes" "FACTORY_DEVICE is 64 bytes long: the programs hold at most 63" -DFACTORY_DEVICE="${long}p"
refused "a name that makes 64 bytes" "FACTORY_DEVICE is 64 bytes long: the programs hold at most 63" \
    -DFACTORY_DEVICE="name:$(printf 'n%.0s' $(seq 59))"
text="it may hold only printable ASCII characters other than \", \\, ; and \$"
refused "a double quote" "FACTORY_DEVICE is \"/dev/a\"b\": $text" '-DFACTORY_DEVICE=/dev/a"b'
refused "a backslash" "FACTORY_DEVICE is \"name:a\\b\": $text" '-DFACTORY_DEVICE=name:a\b'
refused "a semicolon" "FACTORY_DEVICE is \"/dev/a;b\": $text" '-DFACTORY_DEVICE=/dev/a;b'
refused "a variable reference" "FACTORY_DEVICE is \"/dev/mtd\${HOME}x\": $text" '-DFACTORY_DEVICE=/dev/mtd${HOME}x'
refused "a dollar sign" "FACTORY_DEVICE is \"name:a\$b\": $text" '-DFACTORY_DEVICE=name:a$b'
refused "a byte past ASCII" "FACTORY_DEVICE is \"name:Größe\": $text" '-DFACTORY_DEVICE=name:Größe'

notation="give a size in bytes, decimal (393216) or hexadecimal (0x60000)"
for size in "" abc 0x -512 067 0x60000x 1e6; do
    refused "region size \"$size\"" "FACTORY_REGION_SIZE is \"$size\": $notation" -DFACTORY_REGION_SIZE="$size"
done
refused "region size 0" "FACTORY_REGION_SIZE is 0: it must be positive" -DFACTORY_REGION_SIZE=0
refused "region size 0x0" "FACTORY_REGION_SIZE is 0x0: it must be positive" -DFACTORY_REGION_SIZE=0x0
for size in 513 0x30100 196609; do
    refused "region size $size" "FACTORY_REGION_SIZE is $size: it must be a multiple of 512" -DFACTORY_REGION_SIZE=$size
done
for size in 0x4000200 67109376 99999999999 0x10000000000000000; do
    refused "region size $size" "FACTORY_REGION_SIZE is $size: at most 64 MiB (0x4000000)" -DFACTORY_REGION_SIZE=$size
done

journal="give an absolute path, such as /var/lib/cellrw"
refused "a relative journal directory" "FACTORY_JOURNAL_DIR is \"var/lib/cellrw\": $journal" -DFACTORY_JOURNAL_DIR=var/lib/cellrw
refused "an empty journal directory" "FACTORY_JOURNAL_DIR is \"\": $journal" -DFACTORY_JOURNAL_DIR=
refused "a journal directory with .." "FACTORY_JOURNAL_DIR is \"/var/../tmp\": $journal" -DFACTORY_JOURNAL_DIR=/var/../tmp
refused "a journal directory with a semicolon" "FACTORY_JOURNAL_DIR is \"/var/a;b\": $text" '-DFACTORY_JOURNAL_DIR=/var/a;b'
refused "a journal directory with a variable reference" "FACTORY_JOURNAL_DIR is \"/var/lib/\${x}\": $text" \
    '-DFACTORY_JOURNAL_DIR=/var/lib/${x}'
shared="give a directory of the programs' own, such as /var/lib/cellrw, not / or a shared temporary directory (the journal's is made mode 0700)"
for dir in / // /tmp /tmp/ //tmp// /var/tmp /var//tmp/; do
    refused "journal directory $dir" "FACTORY_JOURNAL_DIR is \"$dir\": $shared" -DFACTORY_JOURNAL_DIR=$dir
done
finish
