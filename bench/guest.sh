# SPDX-License-Identifier: MIT
# The benchmark's guest, booted by bench/run.sh through tests/vm/boot.sh on either
# architecture: on nandsim, cellshow's whole-process time beside busybox's dd and
# coreutils' dd (dynamically linked, as cellshow is; /bin/coreutils-dd) reading the same
# 0x60000 bytes of /dev/mtd7, and cellrw w's beside mtd-utils' flash_erase and nandwrite
# putting the same three blocks on flash, each set alternated for ROUNDS rounds (set by
# the host in a line before this script; 51 without it). Beside them, each program's
# start-up alone: cellshow without arguments (it only starts, loads its libraries and
# prints its usage), coreutils dd --version, and busybox dd copying /dev/null (its
# --help first unpacks busybox's compressed usage texts, which costs more than a read).
# Every process is timed by /bin/stopwatch. Prints the medians, in microseconds, as marker lines for the
# host:
#   FIELDTOOLS-BENCH read ROUNDS CELLSHOW BUSYBOX_DD COREUTILS_DD CELLSHOW_START
#                         BUSYBOX_DD_START COREUTILS_DD_START
#   FIELDTOOLS-BENCH write ROUNDS CELLRW FLASH_ERASE+NANDWRITE FLASH_ERASE NANDWRITE
# and FIELDTOOLS-BENCH failed WHAT when a timed command did not do its work.
# vm-modules: nandsim
ROUNDS=${ROUNDS:-51}
DEV=/dev/mtd7
BLOCK=131072
BLOCKS=3
W=/tmp/bench
mkdir -p $W
# The flash programs keep a journal there.
export FACTORY_JOURNAL_DIR=$W/journal
mkdir -p $FACTORY_JOURNAL_DIR

failed() {
    echo "FIELDTOOLS-BENCH failed $*"
    exit 1
}

# median: the median of the numbers on standard input, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END { printf "%.1f\n", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# timed FILE STATUS COMMAND...: run COMMAND under the stopwatch and add its time to FILE;
# it must exit with STATUS.
timed() {
    local file=$1 status=$2 result
    shift 2
    result=$(stopwatch "$@")
    [ "${result#* }" = "$status" ] || failed "$1 exited ${result#* }"
    echo "${result% *}" >>"$file"
}

# A chip of 2 KiB pages and 128 KiB blocks whose eighth partition, mtd7, is 8 blocks.
modprobe nandsim id_bytes=0x20,0xa1,0x00,0x15 parts=1,1,1,1,1,1,1,8 || failed "modprobe nandsim"

# The factory region: a serial number and text cells, written once by nandwrite.
yes FT2026A00123 | tr '\n' '\0' | head -c $((BLOCKS * BLOCK)) >$W/seed
nandwrite -p $DEV $W/seed >/dev/null || failed "seeding the region"

# ---- reading: cellshow beside both dd ----
# read_set N: one of each reading and each start-up, in an order that turns with N, so
# that none always follows the same one.
read_set() {
    case $(($1 % 3)) in
    0)
        timed $W/cellshow 0 cellshow factory 0
        timed $W/busybox-start 0 dd if=/dev/null of=/dev/null status=none
        timed $W/busybox 0 dd if=$DEV of=/dev/null bs=$BLOCK count=$BLOCKS status=none
        timed $W/coreutils-start 0 coreutils-dd --version
        timed $W/coreutils 0 coreutils-dd if=$DEV of=/dev/null bs=$BLOCK count=$BLOCKS status=none
        timed $W/start 255 cellshow
        ;;
    1)
        timed $W/busybox 0 dd if=$DEV of=/dev/null bs=$BLOCK count=$BLOCKS status=none
        timed $W/coreutils-start 0 coreutils-dd --version
        timed $W/coreutils 0 coreutils-dd if=$DEV of=/dev/null bs=$BLOCK count=$BLOCKS status=none
        timed $W/start 255 cellshow
        timed $W/cellshow 0 cellshow factory 0
        timed $W/busybox-start 0 dd if=/dev/null of=/dev/null status=none
        ;;
    2)
        timed $W/coreutils 0 coreutils-dd if=$DEV of=/dev/null bs=$BLOCK count=$BLOCKS status=none
        timed $W/start 255 cellshow
        timed $W/cellshow 0 cellshow factory 0
        timed $W/busybox-start 0 dd if=/dev/null of=/dev/null status=none
        timed $W/busybox 0 dd if=$DEV of=/dev/null bs=$BLOCK count=$BLOCKS status=none
        timed $W/coreutils-start 0 coreutils-dd --version
        ;;
    esac
}
for f in cellshow busybox coreutils start busybox-start coreutils-start; do
    : >$W/$f
done
i=0
while [ $i -lt "$ROUNDS" ]; do
    read_set $i
    i=$((i + 1))
done
[ "$(cellshow factory 0)" = FT2026A00123 ] || failed "cellshow read something else"
[ "$(coreutils-dd if=$DEV bs=12 count=1 status=none)" = FT2026A00123 ] ||
    failed "coreutils dd read something else"
echo "FIELDTOOLS-BENCH read $ROUNDS $(median <$W/cellshow) $(median <$W/busybox) $(median <$W/coreutils)" \
    "$(median <$W/start) $(median <$W/busybox-start) $(median <$W/coreutils-start)"

# ---- writing: cellrw w beside flash_erase and nandwrite ----
# nandwrite writes the very region that cellrw w commits, so that both put the same
# bytes into the same three freshly erased blocks.
cellrw w 512 BENCH-VALUE >/dev/null 2>&1 || failed "cellrw w"
dd if=$DEV of=$W/region bs=$BLOCK count=$BLOCKS 2>/dev/null
: >$W/cellrw
: >$W/erase
: >$W/nandwrite
i=0
while [ $i -lt "$ROUNDS" ]; do
    if [ $((i % 2)) = 1 ]; then
        timed $W/erase 0 flash_erase $DEV 0 $BLOCKS
        timed $W/nandwrite 0 nandwrite -p $DEV $W/region
        timed $W/cellrw 0 cellrw w 512 BENCH-VALUE
    else
        timed $W/cellrw 0 cellrw w 512 BENCH-VALUE
        timed $W/erase 0 flash_erase $DEV 0 $BLOCKS
        timed $W/nandwrite 0 nandwrite -p $DEV $W/region
    fi
    i=$((i + 1))
done
dd if=$DEV bs=$BLOCK count=$BLOCKS 2>/dev/null | cmp -s - $W/region || failed "the region differs after the rounds"
# The pair's time in each round is the sum of its two processes.
paste $W/erase $W/nandwrite | awk '{ print $1 + $2 }' >$W/pair
echo "FIELDTOOLS-BENCH write $ROUNDS $(median <$W/cellrw) $(median <$W/pair) $(median <$W/erase) $(median <$W/nandwrite)"
