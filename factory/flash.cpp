// SPDX-License-Identifier: MIT
#include "flash.h"
#include "journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
static constexpr char journal_completing_msg[] = "%s: completing an interrupted commit from %s\n";
static constexpr char journal_kept_msg[] = "%s: the image being written is kept in %s\n";
static constexpr char journal_none_msg[] =
    "%s: warning: no journal in %s (%s); a power cut during this commit would lose the factory data\n";
static constexpr char journal_required_msg[] = "%s: no journal in %s (%s); nothing written\n";
static constexpr char journal_volatile[] = "a file system that does not survive a power cut";
static constexpr char journal_volatile_msg[] =
    "%s: warning: the journal in %s is on a file system that does not survive a power cut\n";
static constexpr char journal_bad_msg[] = "%s: %s is no journal of this partition (%s); it is left in place\n";
static constexpr char journal_distrust_msg[] = "%s: %s is not to be trusted (%s); it is left in place\n";
static constexpr char cannot_read_msg[] = "%s: cannot read %s: %s\n";
static constexpr char journal_blocks_msg[] =
    "%s: the interrupted commit in %s must be completed first; nothing written\n";
static constexpr char journal_remove_msg[] = "%s: cannot remove %s: %s\n";
static constexpr char old_data_msg[] = "%s: the flash still holds the factory data as it was\n";
static constexpr char new_data_msg[] = "%s: the commit stopped, but the flash holds the new factory data\n";
static constexpr char journal_reopen_msg[] =
    "%s: %s cannot be opened for writing (%s): answering from the interrupted commit in %s\n";
static constexpr char journal_readonly_msg[] =
    "%s: %s cannot be written: answering from the interrupted commit in %s\n";
static constexpr char name_none_msg[] = "%s: no MTD partition is named %s\n";
static constexpr char name_many_msg[] = "%s: %d MTD partitions are named %s\n";
static constexpr char no_null_msg[] = "%s: cannot open /dev/null: %s\n";
static constexpr char journal_dir_msg[] = "%s: FACTORY_JOURNAL_DIR is not an absolute path: %s\n";
static constexpr char journal_unknown_msg[] =
    "%s: cannot tell whether %s holds an interrupted commit; nothing written\n";
static constexpr char signal_held_msg[] = "%s: signal %d arrived during the commit, which was finished first\n";

// What the commit has done to each erase block, so that the writer programs only blocks
// that this commit erased, and a commit that has to stop knows which blocks it left blank.
enum : unsigned char {
    block_untouched,    // holds what it held before the commit
    block_bad,          // reported bad when the commit reached it
    block_erased,       // erased by this commit, not written yet
    block_written,      // holds this commit's data
    block_erase_failed, // its erase failed: it may be blank or still hold its old data
    block_write_failed, // its write failed: partly programmed
    block_marked,       // marked bad by this commit
};

// The record of one commit: mtd_erase_region starts it, cgi_max_write and the commit read it.
struct CommitRecord {
    mtd_info_user info;   // the geometry the record was started for
    uint32_t blocks;      // blocks of the partition that `state` covers
    unsigned char *state; // one of the block_ values a block
    int64_t suspect;      // offset of a block whose failure waits for a later block to show
                          // that the chip still works before it is marked, or -1
    bool stopping;        // a failure that is not the block's own ended the commit
    bool changed;         // some erase, write or mark may have reached the flash
    bool verified;        // the check after the commit found the image on flash
};
static CommitRecord record = {{}, 0, nullptr, -1, false, false, false};

// The signals that end a process by default and can be held: a commit holds them, and the
// real-time ones, so that none leaves the region half written. (SIGXFSZ is left alone: held,
// an oversized journal write fails instead, before anything is erased.)
static constexpr int held_signals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR, SIGIO,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// The signal mask of the caller, restored once the commit is over.
static sigset_t caller_mask;

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

// Whether the commit in progress holds `block` to be bad: reported bad, marked, or the
// suspect that the data has already moved past.
static bool recorded_bad(int64_t offset, uint32_t erasesize)
{
    if (!record.state || record.info.erasesize != erasesize)
        return false;
    const uint64_t block = uint64_t(offset) / erasesize;
    if (block >= record.blocks)
        return false;
    const unsigned char state = record.state[block];
    return state == block_bad || state == block_marked || offset == record.suspect;
}

// Probe the block at done + skipped and step over bad ones, moving the position and
// `skipped` one block each. With `who` set, print the writer's probe lines and count the
// blocks that the commit's record holds bad as bad whatever the probe says. Returns the
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
        int answer = ioctl(fd, MEMGETBADBLOCK, &probe);
        if (who && probe < end) {
            if (answer > 0 && record.state && record.state[uint64_t(probe) / info.erasesize] == block_untouched)
                record.state[uint64_t(probe) / info.erasesize] = block_bad;
            if (recorded_bad(probe, info.erasesize))
                answer = 1;
        }
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

int mtd_prepare_process(const char *prog)
{
    // A closed descriptor 0, 1 or 2 would be handed to the partition, and our own messages
    // would then be programmed into flash.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null = open("/dev/null", O_RDWR);
        if (null != fd) {
            const int cause = errno;
            if (null >= 0)
                close(null);
            else if (fcntl(2, F_GETFD) != -1)
                fprintf(stderr, no_null_msg, prog, strerror(cause));
            return -1;
        }
    }
    // A reader that went away must not kill a commit halfway: a failed message is no failure.
    signal(SIGPIPE, SIG_IGN);
    // Nor may a limit on file sizes: a journal past it fails with EFBIG, and is reported.
    signal(SIGXFSZ, SIG_IGN);
    return 0;
}

// Whether `sig` is one that a commit holds.
static bool held(int sig)
{
    for (const int h : held_signals)
        if (h == sig)
            return true;
    return sig >= SIGRTMIN && sig <= SIGRTMAX;
}

void mtd_hold_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig = 1; sig < NSIG; sig++)
        if (held(sig))
            sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &caller_mask);
}

int mtd_release_signals(const char *prog)
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (int sig = 1; sig < NSIG; sig++) {
        // One the caller held itself is the caller's business, as it was before.
        if (held(sig) && sigismember(&pending, sig) == 1 && sigismember(&caller_mask, sig) != 1) {
            // Left held: delivered now, it would end the process before its cleanup.
            fprintf(stderr, signal_held_msg, prog, sig);
            return -1;
        }
    }
    sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    return 0;
}

// Read the text file `path` into `buf` (at most `size` - 1 bytes, NUL added). Returns the
// bytes read, or -1 with errno set. With `grow`, *buf is a malloc'ed block of `size` bytes
// that grows until the whole file fits (a file of /proc says no size); ENOMEM when it cannot.
static ssize_t read_text(const char *path, char **buf, size_t size, bool grow)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    int cause = 0;
    for (;;) {
        if (done + 1 == size) {
            if (!grow)
                break;
            char *more = static_cast<char *>(realloc(*buf, size * 2));
            if (!more) {
                cause = ENOMEM;
                break;
            }
            *buf = more;
            size *= 2;
        }
        const ssize_t n = read(fd, *buf + done, size - 1 - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            cause = errno;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    (*buf)[done] = '\0';
    if (cause != 0) {
        errno = cause;
        return -1;
    }
    return ssize_t(done);
}

// What the name lookups answer besides a count: no sysfs to look in, and a file that could
// not be read (its path in `unread`, errno set), which might have named one more partition.
enum : int { names_no_sysfs = -1, names_unread = -2 };

// The partitions named `name` as /sys/class/mtd lists them: their count, and in *number
// the first one's; or names_no_sysfs, or names_unread.
static int named_in_sysfs(const char *name, unsigned *number, char *unread, size_t unread_size)
{
    static constexpr char sysfs[] = "/sys/class/mtd";
    DIR *dir = opendir(sysfs);
    if (!dir)
        return names_no_sysfs;
    int matches = 0;
    while (const dirent *entry = readdir(dir)) {
        // mtdN only: mtdNro is the same partition read-only.
        const char *digits = entry->d_name + 3;
        if (strncmp(entry->d_name, "mtd", 3) != 0 || !*digits || strspn(digits, "0123456789") != strlen(digits))
            continue;
        char path[PATH_MAX], name_text[256], *text = name_text;
        snprintf(path, sizeof path, "%s/%s/name", sysfs, entry->d_name);
        const ssize_t n = read_text(path, &text, sizeof name_text, false);
        // A partition removed since the listing has no name; any other failure may hide one.
        if (n < 0 && errno != ENOENT) {
            const int cause = errno;
            snprintf(unread, unread_size, "%s", path);
            closedir(dir);
            errno = cause;
            return names_unread;
        }
        // A name of 255 bytes or more (no newline within them) is longer than any setting's.
        if (n <= 0 || text[n - 1] != '\n')
            continue;
        text[n - 1] = '\0';
        if (strcmp(text, name) == 0 && matches++ == 0)
            *number = unsigned(strtoul(digits, nullptr, 10));
    }
    closedir(dir);
    return matches;
}

// The same from /proc/mtd, whose lines read: mtdN: SIZE ERASESIZE "NAME". A kernel without
// it has no partitions.
static int named_in_procfs(const char *name, unsigned *number, char *unread, size_t unread_size)
{
    static constexpr char procfs[] = "/proc/mtd";
    // A line a partition, and there may be hundreds: the whole file is read.
    char *text = static_cast<char *>(malloc(4096));
    if (!text || read_text(procfs, &text, 4096, true) < 0) {
        const int cause = text ? errno : ENOMEM;
        free(text);
        if (cause == ENOENT)
            return 0;
        snprintf(unread, unread_size, "%s", procfs);
        errno = cause;
        return names_unread;
    }
    int matches = 0;
    for (char *line = text; *line;) {
        char *end = strchr(line, '\n');
        if (end)
            *end = '\0';
        char *open_quote = strchr(line, '"'), *close_quote = strrchr(line, '"');
        if (strncmp(line, "mtd", 3) == 0 && open_quote && close_quote > open_quote) {
            *close_quote = '\0';
            if (strcmp(open_quote + 1, name) == 0 && matches++ == 0)
                *number = unsigned(strtoul(line + 3, nullptr, 10));
        }
        line = end ? end + 1 : line + strlen(line);
    }
    free(text);
    return matches;
}

int mtd_resolve_device(const char *prog, const char *setting, char *path, size_t size)
{
    static constexpr char name_prefix[] = "name:";
    if (strncmp(setting, name_prefix, sizeof name_prefix - 1) != 0) {
        snprintf(path, size, "%s", setting);
        return 0;
    }
    const char *name = setting + sizeof name_prefix - 1;
    unsigned number = 0;
    char unread[PATH_MAX] = "";
    int matches = named_in_sysfs(name, &number, unread, sizeof unread);
    if (matches == names_no_sysfs)
        matches = named_in_procfs(name, &number, unread, sizeof unread);
    if (matches == names_unread) {
        fprintf(stderr, cannot_read_msg, prog, unread, strerror(errno));
        return -1;
    }
    if (matches == 0) {
        fprintf(stderr, name_none_msg, prog, name);
        return -1;
    }
    if (matches > 1) {
        fprintf(stderr, name_many_msg, prog, matches, name);
        return -1;
    }
    snprintf(path, size, "/dev/mtd%u", number);
    return 0;
}

int mtd_open(const char *path, bool writing)
{
    // Readers never write: a descriptor that cannot write cannot put anything into flash.
    const int fd = open(path, writing ? O_RDWR : O_RDONLY);
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
        if (mtd_type_is_nand_user(&info)) {
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

// The bytes a commit writes: the region and the rest of its last erase block.
static int64_t commit_length(uint32_t erasesize, int32_t region)
{
    return (int64_t(region) + erasesize - 1) / erasesize * erasesize;
}

int mtd_get_data(FactoryImage &img)
{
    img.fd = mtd_open(img.device, img.writing != 0);
    if (img.fd < 0) {
        fprintf(stderr, open_fail_msg, img.device);
        return -1;
    }
    mtd_info_user &info = img.geometry;
    if (mtd_read_geometry(img.fd, info) != 0) {
        close(img.fd);
        return -1;
    }
    char *answer = nullptr;
    const int recovered = mtd_recover(img.fd, img.device, img.writing != 0, "cellrw", &answer);
    if (recovered == recover_stop) {
        if (img.fd >= 0)
            close(img.fd);
        return -1;
    }
    img.recovery_failed = recovered == recover_answer_failed || recovered == recover_flash_failed;
    if (answer) {
        // The reader answers from the journal: the flash is not read.
        img.image = answer;
        img.commit_size = img.region_size;
        mtd_region_whole(img.read, img.region_size);
        return 0;
    }
    lseek(img.fd, 0, SEEK_SET);
    // A commit erases whole blocks: it loads the rest of the region's last block too, so
    // that it can write back what lies there past the region.
    img.commit_size = img.region_size;
    if (img.writing)
        img.commit_size = int32_t(std::min<int64_t>(commit_length(info.erasesize, img.region_size), INT32_MAX));
    img.image = static_cast<char *>(malloc(size_t(img.commit_size)));
    if (!img.image) {
        close(img.fd);
        return -1;
    }
    mtd_read_region(img.fd, info, img.image, img.commit_size, "mtd_get_data", img.read);
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

// Start the record of a commit on a partition of this geometry: every block untouched.
// Returns 0, or -1 after saying that memory ran out.
static int record_start(const mtd_info_user &info, const char *who)
{
    const uint32_t blocks = info.size / info.erasesize;
    unsigned char *state = static_cast<unsigned char *>(calloc(blocks ? blocks : 1, 1));
    if (!state) {
        fprintf(stderr, no_memory_msg, who);
        return -1;
    }
    free(record.state);
    record = {info, blocks, state, -1, false, false, false};
    return 0;
}

// Whether the record was started for this geometry (a writer called on its own starts one).
static bool record_fits(const mtd_info_user &info)
{
    return record.state && record.info.erasesize == info.erasesize && record.info.size == info.size &&
           record.info.type == info.type;
}

static void record_set(int64_t offset, unsigned char state)
{
    record.state[uint64_t(offset) / record.info.erasesize] = state;
}

// An erase or a write (`kind`: block_erased or block_written) just worked. When the block
// that failed before failed in the same kind of operation, the chip does what that block
// could not: the block is worn, and is marked bad now. (A chip that refuses only writes
// still erases: an erase proves nothing about a failed write.)
static void chip_works(int fd, unsigned char kind)
{
    if (record.suspect < 0 || record.state[uint64_t(record.suspect) / record.info.erasesize] !=
                                  (kind == block_erased ? block_erase_failed : block_write_failed))
        return;
    mark_bad_block(fd, record.suspect);
    record_set(record.suspect, block_marked);
    record.suspect = -1;
}

// A NAND block failed in the way a worn block fails. The first such failure is held against
// the block only once a later block works; a second one in a row means the chip refuses
// (write protection, a dead controller): neither block is marked, and the commit stops.
// Returns 0 when the commit goes on past the block, -1 when it stops.
static int block_failed(int64_t offset, unsigned char state)
{
    record_set(offset, state);
    if (record.suspect >= 0) {
        record.suspect = -1;
        record.stopping = true;
        return -1;
    }
    record.suspect = offset;
    return 0;
}

// Erase the block at `start`. Returns 0 when erased; 1 when a NAND block failed with EIO,
// as a worn block does, and the commit goes on past it (chip_works marks it later); -1
// after any other failure, which stops the commit.
static int erase_block(int fd, const mtd_info_user &info, uint32_t start)
{
    erase_info_user request{start, info.erasesize};
    const int result = ioctl(fd, MEMERASE, &request);
    const int cause = errno;
    if (result == 0) {
        record.changed = true;
        record_set(start, block_erased);
        chip_works(fd, block_erased);
        return 0;
    }
    fputs(erase_failure_msg, stderr);
    // A refused erase changed nothing; one that failed with EIO may have erased the block.
    if (cause == EIO)
        record.changed = true;
    if (mtd_type_is_nand_user(&info) && cause == EIO)
        return block_failed(start, block_erase_failed) == 0 ? 1 : -1;
    record_set(start, block_erase_failed);
    record.suspect = -1;
    record.stopping = true;
    return -1;
}

int mtd_erase_region(int fd, uint32_t count)
{
    uint32_t erased = 0;
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0 || record_start(info, "mtd_erase_region") != 0)
        return 0;
    const bool nand = mtd_type_is_nand_user(&info);
    for (uint32_t start = 0; start < info.size; start += info.erasesize) {
        if (nand) {
            loff_t probe = start;
            if (ioctl(fd, MEMGETBADBLOCK, &probe) > 0) {
                record_set(start, block_bad);
                continue;
            }
        }
        const int result = erase_block(fd, info, start);
        if (result < 0)
            return 0;
        if (result > 0)
            continue;
        erased += info.erasesize;
        if (erased >= count)
            return 1;
    }
    // A failure that no later block could show to be the block's own is not blamed on it.
    if (record.suspect >= 0) {
        record.suspect = -1;
        record.stopping = true;
        return 0;
    }
    return 1;
}

// Write one chunk at the current position, `at`, with its progress line. Returns what write gave.
static ssize_t write_chunk(int fd, const mtd_info_user &info, off_t at, const unsigned char *source,
                           uint32_t chunk)
{
    fprintf(stderr, write_flash_msg, "cgi_max_write", (unsigned long)at, int(chunk),
            mtd_type_is_nand_user(&info) ? "NAND FLASH" : "NOR FLASH");
    // A short count sets no errno: the failure line must not name a stale cause.
    errno = 0;
    return write(fd, source, chunk);
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
    // Called on its own, the writer has erased nothing yet: it erases each block first.
    if (!record_fits(info) && record_start(info, me) != 0)
        return 0;
    lseek(fd, 0, SEEK_SET);
    const bool nand = mtd_type_is_nand_user(&info);
    const int64_t end = int64_t(uint64_t(info.size));
    int64_t remaining = length >= end ? end : length;
    // A last NAND chunk shorter than a block is written from this padded copy.
    unsigned char *padded = nullptr;
    while (remaining > 0 && !record.stopping) {
        uint32_t chunk = info.erasesize;
        if (nand) {
            const int64_t probe = skip_bad_blocks(fd, info, written, skipped, me);
            if (probe >= end) {
                fprintf(stderr, excess_range_msg, uint32_t(probe));
                break;
            }
        } else {
            chunk = uint32_t(std::min<int64_t>(remaining, info.erasesize));
        }
        const int64_t block = int64_t(written) + skipped;
        const unsigned char state = record.state[uint64_t(block) / info.erasesize];
        if (state == block_untouched) {
            // The data has moved past the blocks the eraser erased, onto old data.
            const int erased = erase_block(fd, info, uint32_t(block));
            if (erased < 0)
                break;
            if (erased > 0) {
                skipped += info.erasesize;
                lseek(fd, off_t(block) + off_t(info.erasesize), SEEK_SET);
                continue;
            }
        } else if (state != block_erased) {
            // Written or failed already in this commit: programming it again would corrupt it.
            record.stopping = true;
            break;
        }
        const off_t at = lseek(fd, 0, SEEK_CUR);
        const unsigned char *source = cursor;
        if (chunk > remaining) {
            if (!padded)
                padded = static_cast<unsigned char *>(malloc(chunk));
            if (!padded) {
                fprintf(stderr, no_memory_msg, me);
                record.stopping = true;
                break;
            }
            memset(padded, 0xff, chunk);
            memcpy(padded, cursor, size_t(remaining));
            source = padded;
        }
        const ssize_t n = write_chunk(fd, info, at, source, chunk);
        const int cause = errno;
        if (n == ssize_t(chunk)) {
            record_set(block, block_written);
            chip_works(fd, block_written);
            const int32_t used = int32_t(std::min<int64_t>(n, remaining));
            cursor += used;
            remaining -= used;
            written += used;
            fsync(fd);
            continue;
        }
        fprintf(stderr, write_size_msg, int(n), int(chunk));
        if (n >= 0 || cause == EIO)
            record.changed = true;
        // Worn NAND fails with EIO, or comes up short (which the kernel does only at the
        // partition's end, so the block is to blame); any other answer is a refusal.
        const bool worn = nand && (n >= 0 || cause == EIO);
        if (!nand)
            fprintf(stderr, nor_write_errno_msg, int(n), strerror(cause));
        if (!worn) {
            record_set(block, block_write_failed);
            record.suspect = -1;
            record.stopping = true;
            break;
        }
        if (block_failed(block, block_write_failed) != 0)
            break;
        skipped += info.erasesize;
        // Nothing of the failed chunk counts: go back to the start of its block of data.
        const uint32_t partial = uint32_t(written) % info.erasesize;
        cursor -= partial;
        written -= int32_t(partial);
        remaining += partial;
        lseek(fd, off_t(block) + off_t(info.erasesize), SEEK_SET);
    }
    // The data ran out before a block proved the chip: the last failure is not the block's.
    if (record.suspect >= 0) {
        record.suspect = -1;
        record.stopping = true;
    }
    free(padded);
    return written;
}

// Whether the block at `start` reads back as erased flash, all 0xFF, into `buf`.
static bool block_blank(int fd, const mtd_info_user &info, uint32_t start, unsigned char *buf)
{
    lseek(fd, off_t(start), SEEK_SET);
    for (uint32_t done = 0; done < info.erasesize;) {
        const ssize_t n = read(fd, buf + done, info.erasesize - done);
        if (n <= 0)
            return false;
        done += uint32_t(n);
    }
    for (uint32_t i = 0; i < info.erasesize; i++)
        if (buf[i] != 0xff)
            return false;
    return true;
}

// A commit that has to stop writes the data into every block it left blank, in the layout
// that the blocks reported bad and marked give, so that no block of the region stays blank
// while its data is in memory. Blocks that still hold old data, or were partly written,
// are left as they are. Failures are reported and the rest goes on.
static void restore_blank_blocks(int fd, const mtd_info_user &info, const unsigned char *data, int64_t length)
{
    unsigned char *buf = static_cast<unsigned char *>(malloc(info.erasesize));
    if (!buf) {
        fprintf(stderr, no_memory_msg, "cgi_max_write");
        return;
    }
    int64_t done = 0;
    for (uint32_t block = 0; block < record.blocks && done < length; block++) {
        const uint32_t start = block * info.erasesize;
        unsigned char &state = record.state[block];
        if (state == block_bad || state == block_marked)
            continue;
        // A failed erase may have erased the block all the same: it can take its data. A
        // failed write may have programmed pages with 0xFF bytes, which read back as blank
        // but cannot be programmed again: that block takes its data once erased anew.
        if (state == block_erase_failed && block_blank(fd, info, start, buf))
            state = block_erased;
        if (state == block_write_failed && block_blank(fd, info, start, buf)) {
            erase_info_user request{start, info.erasesize};
            if (ioctl(fd, MEMERASE, &request) == 0)
                state = block_erased;
            else
                fputs(erase_failure_msg, stderr);
        }
        if (state == block_erased) {
            const uint32_t chunk = uint32_t(std::min<int64_t>(length - done, info.erasesize));
            const unsigned char *source = data + done;
            if (chunk < info.erasesize && mtd_type_is_nand_user(&info)) {
                memset(buf, 0xff, info.erasesize);
                memcpy(buf, source, chunk);
                source = buf;
            }
            const uint32_t size = mtd_type_is_nand_user(&info) ? info.erasesize : chunk;
            lseek(fd, off_t(start), SEEK_SET);
            const ssize_t n = write_chunk(fd, info, off_t(start), source, size);
            if (n == ssize_t(size)) {
                state = block_written;
                fsync(fd);
            } else {
                fprintf(stderr, write_size_msg, int(n), int(size));
                state = block_write_failed;
            }
        }
        done += info.erasesize;
    }
    free(buf);
}

// Read `size` bytes back from the start of the partition the way the loader does and
// compare them with `image`. Returns 0 when equal and read without uncorrectable errors;
// else 1 with *at set to the first offset that differs (or is damaged, with *damaged set);
// -1 when the geometry or memory failed, after saying so.
static int compare_region(int fd, const char *image, int32_t size, const char *who, int32_t *at, bool *damaged)
{
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0)
        return -1;
    char *back = static_cast<char *>(malloc(size_t(size)));
    if (!back) {
        fprintf(stderr, no_memory_msg, who);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    RegionState state;
    mtd_read_region(fd, info, back, size, who, state);
    int32_t same = 0;
    while (same < state.loaded && back[same] == image[same])
        same++;
    free(back);
    *damaged = same == size && state.damaged > 0;
    *at = *damaged ? state.damage_start[0] : same;
    return same == size && state.damaged == 0 ? 0 : 1;
}

int mtd_check_region(int fd, const char *image, int32_t size)
{
    static constexpr char me[] = "mtd_check_region";
    int32_t at = 0;
    bool damaged = false;
    const int result = compare_region(fd, image, size, me, &at, &damaged);
    if (result > 0)
        fprintf(stderr, damaged ? check_damaged_msg : check_differs_msg, me, unsigned(at));
    return result == 0 ? 0 : -1;
}

int mtd_commit(int fd, const char *image, int32_t length, int32_t count)
{
    const auto *data = reinterpret_cast<const unsigned char *>(image);
    int status = -1;
    record.changed = record.verified = false;
    if (mtd_erase_region(fd, uint32_t(count)) != 0) {
        lseek(fd, 0, SEEK_SET);
        if (cgi_max_write(fd, data, length) == length)
            status = 0;
    }
    if (status != 0 && record.changed && record.state)
        restore_blank_blocks(fd, record.info, data, length);
    fsync(fd);
    free(record.state);
    record.state = nullptr;
    // A commit that stopped before anything reached the flash has nothing to check.
    if (status == 0 || record.changed) {
        record.verified = mtd_check_region(fd, image, length) == 0;
        if (!record.verified)
            status = -1;
    }
    return status;
}

void mtd_region_whole(RegionState &state, int32_t size)
{
    state.loaded = size;
    state.damaged = 0;
}

// Where this partition's journal lives: its directory, its name, and both for messages. It is
// named after the build's partition setting, not after the device it resolves to, so that a
// renumbering of the partitions does not lose it.
struct JournalPlace {
    char dir[PATH_MAX];
    char name[NAME_MAX];
    char path[PATH_MAX + NAME_MAX + 1];
};

// Set up `place`. Returns 0, or -1 after saying that $FACTORY_JOURNAL_DIR is no absolute
// path: a relative one would name another directory for each working directory, and a
// journal left in one would go unseen from the others.
static int journal_place(JournalPlace &place, const char *prog)
{
    const char *dir = journal_dir(FACTORY_JOURNAL_DIR);
    if (dir[0] != '/') {
        fprintf(stderr, journal_dir_msg, prog, dir);
        return -1;
    }
    snprintf(place.dir, sizeof place.dir, "%s", dir);
    for (size_t n = strlen(place.dir); n > 1 && place.dir[n - 1] == '/';)
        place.dir[--n] = '\0';
    journal_name(FACTORY_DEVICE, place.name, sizeof place.name);
    snprintf(place.path, sizeof place.path, "%s/%s", place.dir, place.name);
    return 0;
}


// Look for the partition's journal. Returns what journal_read returns. A journal in a
// directory that is not to be trusted is journal_untrusted, with *what naming the directory
// (else the journal); a directory that is missing holds none.
static int look_for_journal(const JournalPlace &place, JournalHeader &header, char **payload, const char **why,
                            const char **what)
{
    *what = place.path;
    *payload = nullptr;
    if (journal_use_dir(place.dir, false, why) != 0) {
        const int cause = errno;
        // A directory not to be used (a link, another owner's) may still hold a journal.
        struct stat st;
        if ((cause == EPERM || cause == ENOTDIR) && lstat(place.path, &st) == 0) {
            *what = place.dir;
            return journal_untrusted;
        }
        // No directory there, or a file in its place: no journal either.
        if (cause == ENOENT || cause == ENOTDIR || cause == EPERM)
            return journal_missing;
        errno = cause;
        return journal_unreadable;
    }
    const int found = journal_read(place.dir, place.name, header, payload, why);
    if (found != journal_valid)
        return found;
    // A journal is replayed only onto the partition, and the geometry, it was written for.
    if (strncmp(header.device, FACTORY_DEVICE, sizeof header.device) != 0) {
        *why = "it belongs to another partition setting";
    } else if (header.region_size != uint32_t(FACTORY_REGION_SIZE) || header.erasesize == 0 ||
               header.payload_size != uint64_t(commit_length(header.erasesize, FACTORY_REGION_SIZE))) {
        *why = "its sizes do not fit this build's region";
    } else {
        return journal_valid;
    }
    free(*payload);
    *payload = nullptr;
    return journal_invalid;
}

// Report a journal that is there but cannot be used.
static void report_journal(const char *prog, int found, const char *what, const char *why)
{
    if (found == journal_invalid)
        fprintf(stderr, journal_bad_msg, prog, what, why);
    else if (found == journal_untrusted)
        fprintf(stderr, journal_distrust_msg, prog, what, why);
    else
        fprintf(stderr, cannot_read_msg, prog, what, strerror(errno));
}

// Put the journal's payload on the partition unless it is there already. Returns 0 when the
// flash holds it, -1 after a failure it has reported.
static int complete_commit(int fd, const JournalHeader &header, const char *payload)
{
    int32_t at = 0;
    bool damaged = false;
    const int differs = compare_region(fd, payload, int32_t(header.payload_size), "mtd_recover", &at, &damaged);
    if (differs < 0)
        return -1;
    if (differs == 0)
        return 0;
    return mtd_commit(fd, payload, int32_t(header.payload_size), int32_t(header.region_size));
}

static constexpr char another_geometry[] = "it was written for another geometry";

// Whether the journal of `header` was written for a partition of the geometry `info`.
static bool written_for(const JournalHeader &header, const mtd_info_user &info)
{
    return header.partition_size == info.size && header.erasesize == info.erasesize;
}

int mtd_recover(int &fd, const char *device, bool writing, const char *prog, char **answer)
{
    *answer = nullptr;
    JournalPlace place;
    if (journal_place(place, prog) != 0)
        return recover_stop;
    JournalHeader header{};
    char *payload = nullptr;
    const char *why = "";
    const char *what = place.path;
    int found = look_for_journal(place, header, &payload, &why, &what);
    // A reader that may not look goes on: it never writes anything that could go stale.
    if (found == journal_missing || (found == journal_unreadable && !writing && (errno == EACCES || errno == EPERM)))
        return recover_none;
    if (found != journal_valid) {
        report_journal(prog, found, what, why);
        if (!writing)
            return recover_flash_failed;
        fprintf(stderr, found == journal_unreadable ? journal_unknown_msg : journal_blocks_msg, prog, what);
        return recover_stop;
    }
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0) {
        // Nothing can be committed on a partition that will not say what it is.
        if (!writing) {
            *answer = payload;
            return recover_answer_failed;
        }
        free(payload);
        fprintf(stderr, journal_blocks_msg, prog, place.path);
        return recover_stop;
    }
    if (!written_for(header, info)) {
        fprintf(stderr, journal_bad_msg, prog, place.path, another_geometry);
        free(payload);
        if (!writing)
            return recover_flash_failed;
        fprintf(stderr, journal_blocks_msg, prog, place.path);
        return recover_stop;
    }
    if (!writing) {
        // A lock is held per descriptor: the shared one goes before the exclusive one is asked for.
        close(fd);
        fd = mtd_open(device, true);
        if (fd < 0) {
            const bool readonly = errno == EACCES || errno == EROFS || errno == EPERM;
            if (readonly)
                fprintf(stderr, journal_readonly_msg, prog, device, place.path);
            else
                fprintf(stderr, journal_reopen_msg, prog, device, strerror(errno), place.path);
            *answer = payload;
            return readonly ? recover_answer : recover_answer_failed;
        }
        // The node must still answer for the partition the journal was compared with.
        mtd_info_user now;
        if (mtd_read_geometry(fd, now) != 0) {
            *answer = payload;
            return recover_answer_failed;
        }
        if (now.size != info.size || now.erasesize != info.erasesize || now.type != info.type) {
            fprintf(stderr, journal_bad_msg, prog, place.path, another_geometry);
            free(payload);
            return recover_stop;
        }
        // Another run may have completed it while no lock was held.
        char *first = payload;
        found = look_for_journal(place, header, &payload, &why, &what);
        if (found == journal_missing) {
            free(first);
            return recover_none;
        }
        if (found == journal_unreadable) {
            // Gone or not, it cannot be told: the journal as first read is the best answer.
            report_journal(prog, found, what, why);
            *answer = first;
            return recover_answer_failed;
        }
        free(first);
        if (found == journal_valid && !written_for(header, info)) {
            found = journal_invalid;
            why = another_geometry;
            free(payload);
            payload = nullptr;
        }
        if (found != journal_valid) {
            report_journal(prog, found, what, why);
            return recover_flash_failed;
        }
    }
    fprintf(stderr, journal_completing_msg, prog, place.path);
    mtd_hold_signals();
    int status = complete_commit(fd, header, payload);
    if (status == 0 && journal_remove(place.dir, place.name) != 0) {
        fprintf(stderr, journal_remove_msg, prog, place.path, strerror(errno));
        status = -1;
    }
    if (mtd_release_signals(prog) != 0) {
        free(payload);
        return recover_stop;
    }
    if (status == 0) {
        free(payload);
        return recover_none;
    }
    if (writing) {
        free(payload);
        fprintf(stderr, journal_blocks_msg, prog, place.path);
        return recover_stop;
    }
    *answer = payload;
    return recover_answer_failed;
}

// Make the image about to be written durable in the journal, before anything is erased.
// Returns 1 when the journal is written, 0 when the commit goes on without one (after a
// warning), -1 when it must not (FIELDTOOLS_JOURNAL_REQUIRED; said why).
static int begin_journal(const FactoryImage &img, const JournalPlace &place, const char *prog)
{
    const char *why = "";
    char reason[128];
    if (journal_use_dir(place.dir, true, &why) == 0) {
        // A journal that a power cut takes still serves against a killed process.
        const bool durable = journal_dir_durable(place.dir) != 0;
        if (!durable && FIELDTOOLS_JOURNAL_REQUIRED) {
            fprintf(stderr, journal_required_msg, prog, place.dir, journal_volatile);
            return -1;
        }
        JournalHeader header{};
        snprintf(header.device, sizeof header.device, "%s", FACTORY_DEVICE);
        header.partition_size = img.geometry.size;
        header.erasesize = img.geometry.erasesize;
        header.region_size = uint32_t(img.region_size);
        header.payload_size = uint32_t(img.commit_size);
        if (journal_write(place.dir, place.name, header, img.image, &why) == 0) {
            if (!durable)
                fprintf(stderr, journal_volatile_msg, prog, place.dir);
            return 1;
        }
        snprintf(reason, sizeof reason, "%s: %s", why, strerror(errno));
        why = reason;
    }
    if (FIELDTOOLS_JOURNAL_REQUIRED) {
        fprintf(stderr, journal_required_msg, prog, place.dir, why);
        return -1;
    }
    fprintf(stderr, journal_none_msg, prog, place.dir, why);
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
    if (img.read.loaded != img.commit_size) {
        fprintf(stderr, partial_image_msg, prog);
        return -1;
    }
    // Writing the data back would make its damage permanent, under fresh ECC.
    if (img.read.damaged > 0) {
        fprintf(stderr, image_damaged_msg, prog);
        return -1;
    }
    // The old cell, to tell after a failure whether the flash still holds the old image.
    char old_cell[FACTORY_VALUE_MAX + 1];
    memcpy(old_cell, img.image + img.cell_offset, length + 1);
    memcpy(img.image + img.cell_offset, img.value, length + 1);
    // From the journal's creation to its removal, a signal must not leave them apart.
    mtd_hold_signals();
    JournalPlace place;
    const int journaled = journal_place(place, prog) == 0 ? begin_journal(img, place, prog) : -1;
    int status = -1;
    if (journaled >= 0)
        status = mtd_commit(img.fd, img.image, img.commit_size, img.region_size);
    bool needed = status != 0 && record.changed && !record.verified;
    if (status != 0 && record.verified)
        fprintf(stderr, new_data_msg, prog);
    if (needed) {
        // A commit that stopped after it had changed nothing for good (a block erased and
        // written back as it was) leaves the old image, which needs no journal.
        memcpy(img.image + img.cell_offset, old_cell, length + 1);
        int32_t at = 0;
        bool damaged = false;
        if (compare_region(img.fd, img.image, img.commit_size, "mtd_set_data", &at, &damaged) == 0) {
            fprintf(stderr, old_data_msg, prog);
            needed = false;
        }
        memcpy(img.image + img.cell_offset, img.value, length + 1);
    }
    if (journaled > 0) {
        // A commit that stopped may still have put the whole image on flash: then the
        // journal has done its work.
        if (needed) {
            fprintf(stderr, journal_kept_msg, prog, place.path);
        } else if (journal_remove(place.dir, place.name) != 0) {
            // Left in place it would stop every later commit; a failure either way.
            fprintf(stderr, journal_remove_msg, prog, place.path, strerror(errno));
            status = -1;
        }
    }
    if (mtd_release_signals(prog) != 0)
        status = -1;
    return status;
}
