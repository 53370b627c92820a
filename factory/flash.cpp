// SPDX-License-Identifier: MIT
#include "flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

static constexpr char no_mtd_info_msg[] = "Can't get mtd-info!\n";
static constexpr char open_fail_msg[] = "mtd: %s open fail!!!\n";
static constexpr char read_error_msg[] = "[%s] read error!!\n";
static constexpr char read_perror_prefix[] = "nand flash read:";
static constexpr char offset_outside_msg[] = "%s: offset %s is outside the factory region\n";
static constexpr char cell_unread_msg[] = "%s: the cell at offset %d lies beyond the data that could be read\n";
static constexpr char cell_damaged_msg[] = "%s: the cell at offset %d lies in flash with uncorrectable errors\n";
static constexpr char image_damaged_msg[] = "%s: the factory data has uncorrectable errors; nothing written\n";
static constexpr char check_damaged_msg[] = "[%s] uncorrectable errors at offset 0x%x\n";
static constexpr char value_outside_msg[] = "%s: a value of %zu characters at offset %d does not fit in the factory region\n";
static constexpr char partial_image_msg[] = "%s: the factory data could not be read whole; nothing written\n";
static constexpr char check_badblock_msg[] = "[%s] check badblock @ 0x%x\n";
static constexpr char bad_block_msg[] = "bad block at %08lx bad\n";
static constexpr char excess_range_msg[] = "bad block excess range 0x%x \n";
static constexpr char write_flash_msg[] = "[%s] write flash @ %08lx, length = %d, MEMTYPE=%s\n";
static constexpr char write_size_msg[] = "write size(%d) != len(%d), badblock!!\n";
static constexpr char nor_write_errno_msg[] = "i = %d %s\n";
static constexpr char marking_msg[] = "Marking block at %08lx bad\n";
static constexpr char erase_failure_msg[] = "erase failure!\n";
static constexpr char no_memory_msg[] = "[%s] malloc fail!!!\n";
static constexpr char check_differs_msg[] = "[%s] flash differs from the image at offset 0x%x\n";

// End (exclusive) of the last block that the latest mtd_erase_region erased. A block the
// writer moves data into at or beyond it holds old data and must be erased first.
static int64_t erased_end = 0;

void mtd_init_data(FactoryImage &img)
{
    memset(&img, 0, sizeof img);
    memcpy(img.device, FACTORY_DEVICE, sizeof FACTORY_DEVICE);
    img.region_size = FACTORY_REGION_SIZE;
}

int mtd_read_geometry(int fd, mtd_info_user &info)
{
    // Every block loop divides by the erase size: a geometry without one is no geometry.
    if (ioctl(fd, MEMGETINFO, &info) != 0 || info.erasesize == 0) {
        fputs(no_mtd_info_msg, stderr);
        return -1;
    }
    return 0;
}

// Probe the block at done + skipped and step over bad ones, moving the position and
// `skipped` one block each. With `who` set, print the writer's probe lines. Returns the
// last offset probed: below the partition's size when it found a good block (an error
// answer counts as good), at or beyond it when the partition ran out.
static int64_t skip_bad_blocks(int fd, const mtd_info_user &info, int64_t done, int64_t &skipped,
                               const char *who)
{
    // The partition's size is unsigned 32-bit; it widens without sign.
    const int64_t end = int64_t(uint64_t(info.size));
    for (;;) {
        loff_t probe = done + skipped;
        if (who)
            fprintf(stderr, check_badblock_msg, who, uint32_t(probe));
        const int answer = ioctl(fd, MEMGETBADBLOCK, &probe);
        if (answer > 0) {
            if (who)
                fprintf(stderr, bad_block_msg, (unsigned long)probe);
            lseek(fd, off_t(info.erasesize), SEEK_CUR);
            skipped += info.erasesize;
        }
        if (answer <= 0 || probe >= end)
            return probe;
    }
}

int mtd_open(const char *path, bool writing)
{
    int fd = open(path, O_RDWR);
    if (fd < 0 && !writing && (errno == EACCES || errno == EROFS))
        fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    if (flock(fd, writing ? LOCK_EX : LOCK_SH) != 0) {
        const int cause = errno;
        close(fd);
        errno = cause;
        return -1;
    }
    return fd;
}

// Record the image range [from, to) as damaged, joining it to the last range when they touch.
static void note_damage(RegionState &state, int32_t from, int32_t to, int32_t size)
{
    int32_t &n = state.damaged;
    if (n > 0 && state.damage_end[n - 1] >= from) {
        state.damage_end[n - 1] = std::max(state.damage_end[n - 1], to);
        return;
    }
    if (n == FACTORY_DAMAGE_MAX) {
        // No room to tell the ranges apart: count everything from here on as damaged.
        state.damage_end[n - 1] = size;
        return;
    }
    state.damage_start[n] = from;
    state.damage_end[n] = to;
    n++;
}

bool mtd_damaged(const RegionState &state, int64_t from, int64_t to)
{
    for (int32_t i = 0; i < state.damaged; i++)
        if (from < state.damage_end[i] && state.damage_start[i] < to)
            return true;
    return false;
}

void mtd_read_region(int fd, const mtd_info_user &info, char *buf, int32_t size, const char *who,
                     RegionState &state)
{
    int32_t done = 0;
    int64_t skipped = 0;
    state.damaged = 0;
    // Uncorrectable data reads back without any error: only this count tells. Devices that
    // keep no count are read as before.
    mtd_ecc_stats ecc{};
    const bool counted = ioctl(fd, ECCGETSTATS, &ecc) == 0;
    while (done < size) {
        uint32_t chunk = uint32_t(size - done);
        if (info.type == MTD_NANDFLASH) {
            chunk = std::min(chunk, info.erasesize);
            if (uint32_t(done) % info.erasesize == 0
                && skip_bad_blocks(fd, info, done, skipped, nullptr) >= int64_t(uint64_t(info.size)))
                break;
        }
        // A read that answers 0 leaves errno alone; start from "Success", not a stale cause.
        errno = 0;
        const ssize_t n = read(fd, buf + done, chunk);
        if (n <= 0) {
            fprintf(stderr, read_error_msg, who);
            perror(read_perror_prefix);
            break;
        }
        const uint32_t failed_before = ecc.failed;
        if (counted && ioctl(fd, ECCGETSTATS, &ecc) == 0 && ecc.failed != failed_before)
            note_damage(state, done, done + int32_t(n), size);
        done += int32_t(n);
    }
    memset(buf + done, 0, size_t(size - done));
    state.loaded = done;
}

int mtd_get_data(FactoryImage &img)
{
    img.fd = mtd_open(img.device, img.writing != 0);
    if (img.fd < 0) {
        fprintf(stderr, open_fail_msg, img.device);
        return -1;
    }
    mtd_info_user info;
    if (mtd_read_geometry(img.fd, info) != 0) {
        close(img.fd);
        return -1;
    }
    lseek(img.fd, 0, SEEK_SET);
    img.image = static_cast<char *>(malloc(size_t(img.region_size)));
    if (!img.image) {
        close(img.fd);
        return -1;
    }
    mtd_read_region(img.fd, info, img.image, img.region_size, "mtd_get_data", img.read);
    return 0;
}

int mtd_cell_offset(const char *prog, const char *text, int32_t size, int32_t *offset)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    // Past any region size the exact value no longer matters: stop growing there.
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        value = std::min<int64_t>(value * 10 + (*p - '0'), INT64_C(1) << 40);
    if (negative)
        value = -value;
    if (value < 0 || value >= size) {
        fprintf(stderr, offset_outside_msg, prog, text);
        return -1;
    }
    *offset = int32_t(value);
    return 0;
}

int mtd_print_cell(const char *prog, const char *image, int32_t size, const RegionState &state,
                   int32_t pos, bool newline)
{
    const char *text = image + pos;
    const size_t room = size_t(size - pos);
    const char *nul = static_cast<const char *>(memchr(text, 0, room));
    const size_t length = nul ? size_t(nul - text) : room;
    // The cell and its NUL must lie in what was read: the zeroed rest is no data.
    const int64_t end = int64_t(pos) + int64_t(length) + 1;
    if (state.loaded < size && end > state.loaded) {
        fprintf(stderr, cell_unread_msg, prog, pos);
        return -1;
    }
    if (mtd_damaged(state, pos, end)) {
        fprintf(stderr, cell_damaged_msg, prog, pos);
        return -1;
    }
    fwrite(text, 1, length, stdout);
    if (newline)
        putchar('\n');
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror(prog);
        return -1;
    }
    return 0;
}

// Mark the block at `offset` bad; a refusal is reported and the caller goes on as if
// the block were marked.
static void mark_bad_block(int fd, int64_t offset)
{
    fprintf(stderr, marking_msg, (unsigned long)offset);
    loff_t mark = offset;
    if (ioctl(fd, MEMSETBADBLOCK, &mark) != 0)
        perror("MEMSETBADBLOCK");
}

// Erase the block at `start`. Returns 0 when erased; 1 when a NAND block wore out (its
// erase failed with EIO) and was marked bad, so that readers and writers step over it;
// -1 after any other failure.
static int erase_block(int fd, const mtd_info_user &info, uint32_t start)
{
    erase_info_user request{start, info.erasesize};
    if (ioctl(fd, MEMERASE, &request) == 0)
        return 0;
    const int cause = errno;
    fputs(erase_failure_msg, stderr);
    if (info.type != MTD_NANDFLASH || cause != EIO)
        return -1;
    mark_bad_block(fd, start);
    return 1;
}

int mtd_erase_region(int fd, uint32_t count)
{
    uint32_t erased = 0;
    erased_end = 0;
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0)
        return 0;
    for (uint32_t start = 0; start < info.size; start += info.erasesize) {
        if (info.type == MTD_NANDFLASH) {
            loff_t probe = start;
            if (ioctl(fd, MEMGETBADBLOCK, &probe) > 0)
                continue;
        }
        const int result = erase_block(fd, info, start);
        if (result < 0)
            return 0;
        if (result > 0)
            continue;
        erased += info.erasesize;
        erased_end = int64_t(start) + info.erasesize;
        if (erased >= count)
            return 1;
    }
    return 1;
}

int32_t cgi_max_write(int fd, const unsigned char *data, int64_t length)
{
    static constexpr char me[] = "cgi_max_write";
    const unsigned char *cursor = data;
    int32_t written = 0;
    int64_t skipped = 0;
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0)
        return 0;
    lseek(fd, 0, SEEK_SET);
    const bool nand = info.type == MTD_NANDFLASH;
    const int64_t end = int64_t(uint64_t(info.size));
    int64_t remaining = length >= end ? end : length;
    // Set once a block has been marked: from then on the data lands one block further
    // on, possibly beyond the blocks the eraser erased.
    bool moved = false;
    // A last NAND chunk shorter than a block is written from this padded copy.
    unsigned char *padded = nullptr;
    while (remaining > 0) {
        uint32_t chunk = info.erasesize;
        if (nand) {
            const int64_t probe = skip_bad_blocks(fd, info, written, skipped, me);
            if (probe >= end) {
                fprintf(stderr, excess_range_msg, uint32_t(probe));
                break;
            }
            if (moved && probe >= erased_end) {
                const int erased = erase_block(fd, info, uint32_t(probe));
                if (erased < 0)
                    break;
                if (erased > 0) {
                    skipped += info.erasesize;
                    lseek(fd, off_t(probe) + off_t(info.erasesize), SEEK_SET);
                    continue;
                }
            }
        } else {
            chunk = uint32_t(std::min<int64_t>(remaining, info.erasesize));
        }
        const off_t at = lseek(fd, 0, SEEK_CUR);
        fprintf(stderr, write_flash_msg, me, (unsigned long)at, int(chunk), nand ? "NAND FLASH" : "NOR FLASH");
        const unsigned char *source = cursor;
        if (chunk > remaining) {
            if (!padded)
                padded = static_cast<unsigned char *>(malloc(chunk));
            if (!padded) {
                fprintf(stderr, no_memory_msg, me);
                break;
            }
            memset(padded, 0xff, chunk);
            memcpy(padded, cursor, size_t(remaining));
            source = padded;
        }
        const ssize_t n = write(fd, source, chunk);
        const int cause = errno;
        if (n == ssize_t(chunk)) {
            const int32_t used = int32_t(std::min<int64_t>(n, remaining));
            cursor += used;
            remaining -= used;
            written += used;
            fsync(fd);
            continue;
        }
        fprintf(stderr, write_size_msg, int(n), int(chunk));
        if (!nand) {
            fprintf(stderr, nor_write_errno_msg, int(n), strerror(cause));
            break;
        }
        const int64_t mark = (skipped + written) / info.erasesize * info.erasesize;
        mark_bad_block(fd, mark);
        skipped += info.erasesize;
        // Nothing of the failed chunk counts: go back to the start of its block of data.
        const uint32_t partial = uint32_t(written) % info.erasesize;
        cursor -= partial;
        written -= int32_t(partial);
        remaining += partial;
        lseek(fd, off_t(mark) + off_t(info.erasesize), SEEK_SET);
        moved = true;
    }
    free(padded);
    return written;
}

int mtd_check_region(int fd, const char *image, int32_t size)
{
    static constexpr char me[] = "mtd_check_region";
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0)
        return -1;
    char *back = static_cast<char *>(malloc(size_t(size)));
    if (!back) {
        fprintf(stderr, no_memory_msg, me);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    RegionState state;
    mtd_read_region(fd, info, back, size, me, state);
    int32_t at = 0;
    while (at < state.loaded && back[at] == image[at])
        at++;
    free(back);
    if (at < size) {
        fprintf(stderr, check_differs_msg, me, unsigned(at));
        return -1;
    }
    if (state.damaged > 0) {
        fprintf(stderr, check_damaged_msg, me, unsigned(state.damage_start[0]));
        return -1;
    }
    return 0;
}

int mtd_set_data(FactoryImage &img)
{
    static constexpr char prog[] = "cellrw";
    const size_t length = strlen(img.value);
    if (img.cell_offset < 0 || int64_t(img.cell_offset) + int64_t(length) + 1 > img.region_size) {
        fprintf(stderr, value_outside_msg, prog, length, img.cell_offset);
        return -1;
    }
    if (img.read.loaded != img.region_size) {
        fprintf(stderr, partial_image_msg, prog);
        return -1;
    }
    // Writing the data back would make its damage permanent, under fresh ECC.
    if (img.read.damaged > 0) {
        fprintf(stderr, image_damaged_msg, prog);
        return -1;
    }
    memcpy(img.image + img.cell_offset, img.value, length + 1);
    int status = -1;
    if (mtd_erase_region(img.fd, uint32_t(img.region_size)) != 0) {
        lseek(img.fd, 0, SEEK_SET);
        const auto *data = reinterpret_cast<const unsigned char *>(img.image);
        if (cgi_max_write(img.fd, data, int64_t(img.region_size)) == img.region_size)
            status = 0;
    }
    fsync(img.fd);
    if (status == 0)
        status = mtd_check_region(img.fd, img.image, img.region_size);
    return status;
}
