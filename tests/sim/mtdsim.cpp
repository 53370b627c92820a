// SPDX-License-Identifier: MIT
// The flash simulator: preloaded into a program, it answers for an MTD character device
// (/dev/mtd7 unless told otherwise) from an image file, the way the kernel's MTD layer answers
// for a NAND or NOR partition, and passes every other file through untouched. It keeps its
// state in files beside the image so that a test sees it after the program is gone.
//
// The programs under test are single-threaded; so is this bookkeeping.
//
// Settings, read from the environment at an open of the device while none is open:
//   MTDSIM_IMAGE        backing file of the partition's bytes (unset: no device at all)
//   MTDSIM_DEVICE       the path answered for (default /dev/mtd7), read at every open
//   MTDSIM_SYSFS=DIR    opens and opendir of /sys/class/mtd and below and of /proc/mtd go to
//                       the same paths under DIR, where a test lays out partitions' names
//   MTDSIM_SIZE         partition size (default: the file's), MTDSIM_ERASESIZE (0x20000),
//   MTDSIM_WRITESIZE    page size (0x800 on NAND, 1 on NOR), MTDSIM_TYPE (4 NAND or 8 MLC
//                       NAND, which behave alike; else NOR)
//   MTDSIM_BAD          blocks bad from the factory, as 1,5,7
//   MTDSIM_TRACE        file that gets one line per device call
// State kept beside the image: IMAGE.bad (blocks marked bad), IMAGE.prog (pages programmed
// since their erase), IMAGE.unerased (every write into a programmed page).
// Faults:
//   MTDSIM_ABSENT=1              the device does not exist
//   MTDSIM_READONLY=EROFS        write access is refused with that errno (or EACCES)
//   MTDSIM_GETINFO_FAIL=N        MEMGETINFO fails from its Nth call on
//   MTDSIM_REPORTED_ERASESIZE=N  MEMGETINFO reports this erase size instead
//   MTDSIM_PROBE_ERROR=1,2|all   MEMGETBADBLOCK answers EIO for these blocks
//   MTDSIM_READ_FAIL=N:0|N:-1    the Nth read answers 0, or -1 with EIO
//   MTDSIM_ECC_FAIL=1,2          reads of these blocks raise the uncorrectable-error count
//   MTDSIM_ERASE_FAIL=B:EIO,..   every erase of block B erases it, then fails (a worn block)
//   MTDSIM_ERASE_FAIL=B:ERRNO,.. any other errno (name or number) refuses: the block is left
//                                as it was and the erase fails with it (a locked sector)
//   MTDSIM_WRITE_FAIL=B:EIO,..   every write into block B programs up to its first page
//                                there, then answers EIO without moving the position; `eio`
//                                and 5 say the same
//   MTDSIM_WRITE_FAIL=B:ERRNO,.. any other errno refuses every write touching block B:
//                                nothing is programmed, the position does not move
//   MTDSIM_WRITE_FAIL=B:short,.. every write into block B writes one page and says so (a
//                                hostile device: the kernel cuts writes only at the end)
//   In both lists B may be `all`: every block (a chip that refuses everything). A write that
//   meets several faults takes a refusal first, then EIO, then short.
//   MTDSIM_SETBAD_FAIL=1         MEMSETBADBLOCK answers EIO (the block still turns bad)
// Interruptions, at the Nth device call of the process (read, write and ioctl on the device,
// counted from 1 over every descriptor; open, lseek, fsync, flock and close do not count):
//   MTDSIM_SIGNAL=N:SIG,..       raise SIG (TERM, INT, HUP, PIPE, KILL, ... or a number) just
//                                before call N, then make the call if the process lives; the
//                                trace gets "signal TERM"
//   MTDSIM_CUT=N                 the power goes just before call N: the process ends at once
//                                with status 121 (nothing flushed) and the trace gets "cut"
//   MTDSIM_CUT=N:half            when call N is a write, the first half of its pages (whole
//                                pages, one at least when it has two or more) are programmed
//                                before the power goes; the trace shows how far it got
//                                ("write 0x0 0x2000 -> cut after 0x1000")
// The journal directory, followed when FACTORY_JOURNAL_DIR names one (journal_dir.cpp): the
// calls on it and on the files directly in it pass through, and a model keeps what is durable,
// a file's data once fsync'ed (or fdatasync'ed), the directory's entries once the directory is.
// At a power cut the directory goes back to that: entries made or renamed in since its last
// sync vanish, those removed or renamed away come back, and every file keeps only its durable
// data (empty when it never had any). Files that appear or change outside a simulated process
// are durable as they are. State beside the image: IMAGE.durable and IMAGE.durable.*.
//   MTDSIM_JOURNAL_FS=ext4|tmpfs|ramfs   what statfs and fstatfs (and their 64-bit forms) say
//                                of the directory and its files (default ext4)
//   MTDSIM_FILE_FAIL=OP:ERRNO,.. every OP on the directory or its files fails with ERRNO and
//                                does nothing; OP is open, read, write, fsync (and
//                                fdatasync), rename, unlink, mkdir or dirsync (an fsync of
//                                the directory);
//                                write:short writes half and says so; OP@N:ERRNO fails only
//                                the Nth such call of the process
//   MTDSIM_FILE_TRACE            file that gets one line per call on the directory and its
//                                files; it may be the device's trace, to see both in order

#if defined _FILE_OFFSET_BITS && _FILE_OFFSET_BITS == 64
#error "built with 64-bit file offsets, open and lseek would define open64 and lseek64"
#endif

#include "journal_dir.h"
#include "mtdsim.h"
#include "preload.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The path the simulator answers for when MTDSIM_DEVICE is unset.
constexpr char default_device[] = "/dev/mtd7";
// The MTD name files that MTDSIM_SYSFS moves: a directory and everything below it, and a file.
constexpr char sysfs_mtd[] = "/sys/class/mtd";
constexpr char procfs_mtd[] = "/proc/mtd";
// Default geometry: a large-page NAND.
constexpr uint64_t default_erasesize = 0x20000;
constexpr uint64_t default_nand_writesize = 0x800;
constexpr uint32_t nand_oobsize = 64;
// Most descriptors of the device open at once.
constexpr int max_slots = 16;
// Most entries in each fault list.
constexpr int max_faults = 32;
// Bytes moved at a time between the image and the program.
constexpr size_t chunk = 4096;
// Values of a page's byte in the .prog file.
constexpr unsigned char page_erased = 0, page_programmed = 1;

constexpr char bad_number_msg[] = "mtdsim: %s is not a number: %s\n";
constexpr char bad_list_msg[] = "mtdsim: %s is not a list of block:answer pairs: %s\n";
constexpr char bad_signal_msg[] = "mtdsim: MTDSIM_SIGNAL is not a list of call:signal pairs: %s\n";
constexpr char bad_cut_msg[] = "mtdsim: MTDSIM_CUT is not N or N:half: %s\n";
// The exit status of a process whose power was cut: none that the programs use.
constexpr int cut_status = 121;
// The block of a fault that strikes every block.
constexpr uint64_t all_blocks = UINT64_MAX;
// The answer of a write fault that writes one page and says so; the others are errnos.
constexpr int short_write = -1;
constexpr char bad_geometry_msg[] =
    "mtdsim: size 0x%llx, erase size 0x%llx and write size 0x%llx do not make a partition\n";

// A fault that MTDSIM_ERASE_FAIL or MTDSIM_WRITE_FAIL attaches to one block.
struct fault {
    uint64_t block; // or all_blocks
    int answer;     // an errno, or short_write
};

// The simulated partition and its faults, read from the environment when no descriptor is open.
struct device {
    char image[PATH_MAX];
    char trace[PATH_MAX];
    uint64_t size; // 0 until known: taken from the image when MTDSIM_SIZE is unset
    uint64_t erasesize, writesize;
    uint64_t reported_erasesize; // what MEMGETINFO says the erase size is (a broken driver's 0)
    uint8_t type;
    bool nand, absent, setbad_fail, probe_error_all;
    unsigned long getinfo_fail_from; // 0: never
    unsigned long read_fail_at;      // 0: never
    int read_fail_answer;            // 0 or -EIO
    fault erase_faults[max_faults], write_faults[max_faults];
    int erase_fault_count, write_fault_count;
    fault signals[max_faults]; // the block is the device call to precede, the answer a signal
    int signal_count;
    unsigned long cut_at; // 0: never
    bool cut_half;
    unsigned char probe_error[max_blocks];
    unsigned char ecc_fail[max_blocks]; // reads touching these blocks meet uncorrectable errors
    uint32_t ecc_failed;                // the device's count of uncorrectable errors
    int readonly;                       // errno refusing write access, 0 when it is granted
    unsigned char bad[max_blocks];
};

// One open descriptor of the device; `fd` is the descriptor of the image behind it.
struct slot {
    bool used;
    int fd;
    int access; // O_RDONLY, O_WRONLY or O_RDWR, as asked
    int64_t pos;
};

static device dev;
static slot slots[max_slots];
static int open_slots;
// Calls counted over the whole process, for the faults that strike at the Nth call.
static unsigned long getinfo_calls, read_calls, device_calls;

int host_open(const char *path, int flags, mode_t mode)
{
    static auto real = next<int (*)(const char *, int, ...)>("open");
    return real(path, flags, mode);
}

void host_close(int fd)
{
    static auto real = next<int (*)(int)>("close");
    real(fd);
}

const char *errno_name(int e, char (&buf)[16])
{
    const char *name = strerrorname_np(e);
    if (name)
        return name;
    snprintf(buf, sizeof buf, "%d", e);
    return buf;
}

int errno_value(const char *text)
{
    uint64_t number = 0;
    if (parse_number(text, number) == 0)
        return number > 0 && number < 4096 ? int(number) : 0;
    for (int e = 1; e < 4096; e++) {
        const char *name = strerrorname_np(e);
        if (name && strcmp(name, text) == 0)
            return e;
    }
    return 0;
}

// A signed offset as the trace shows it: 0x20000 or -0x20000.
static const char *signed_hex(int64_t value, char (&buf)[24])
{
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    snprintf(buf, sizeof buf, "%s0x%llx", value < 0 ? "-" : "", (unsigned long long)magnitude);
    return buf;
}

void append_line(const char *path, const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    int fd = host_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // On a file opened for appending, pwrite appends; and it is none of the calls we stand in for.
    ssize_t ignored = pwrite(fd, line, strlen(line), 0);
    (void)ignored;
    host_close(fd);
}

// Record a device call and its answer `r` in the trace, then hand the answer to the program:
// r itself, or -1 with errno set when r is a negated errno. `hex` shows counts and positions
// in hex; `quiet_zero` leaves out a zero answer ("getinfo", "close").
static int64_t answer(const char *call, int64_t r, bool hex, bool quiet_zero = false)
{
    if (dev.trace[0]) {
        char name[16];
        if (r < 0)
            append_line(dev.trace, "%s -> -1 %s\n", call, errno_name(int(-r), name));
        else if (r == 0 && quiet_zero)
            append_line(dev.trace, "%s\n", call);
        else if (hex)
            append_line(dev.trace, "%s -> 0x%llx\n", call, (unsigned long long)r);
        else
            append_line(dev.trace, "%s -> %lld\n", call, (long long)r);
    }
    if (r < 0) {
        errno = int(-r);
        return -1;
    }
    return r;
}

// Read a number from the environment variable `var`, keeping `value` when it is unset.
// Returns 0, or -1 after saying why.
static int env_number(const char *var, uint64_t &value)
{
    const char *text = getenv(var);
    if (!text || !*text)
        return 0;
    if (parse_number(text, value) == 0)
        return 0;
    fprintf(stderr, bad_number_msg, var, text);
    return -1;
}

// Read a list of block:answer pairs from `var` into `faults`; `value_of` turns an answer's
// text into its value, 0 when it is no answer. The block may be `all`; where `calls`, it is a
// device call's number instead (MTDSIM_SIGNAL). Returns 0, or -1 after saying why.
static int env_faults(const char *var, fault *faults, int &count, int (*value_of)(const char *),
                      bool calls = false)
{
    count = 0;
    const char *list = getenv(var);
    if (!list)
        return 0;
    for (const char *item = list; *item;) {
        char text[64];
        size_t len = strcspn(item, ",");
        char *colon = nullptr;
        if (len < sizeof text) {
            memcpy(text, item, len);
            text[len] = '\0';
            colon = strchr(text, ':');
        }
        if (colon)
            *colon = '\0';
        uint64_t block = all_blocks;
        bool block_ok = colon && ((!calls && strcmp(text, "all") == 0) || parse_number(text, block) == 0);
        int value = block_ok && count < max_faults ? value_of(colon + 1) : 0;
        if (value == 0) {
            if (calls)
                fprintf(stderr, bad_signal_msg, list);
            else
                fprintf(stderr, bad_list_msg, var, list);
            return -1;
        }
        faults[count++] = {block, value};
        item += len;
        if (*item == ',')
            item++;
    }
    return 0;
}

// The write fault that `text` names: an errno (`eio` is EIO), short_write, or 0 for none.
static int write_kind(const char *text)
{
    return strcmp(text, "eio") == 0 ? EIO : strcmp(text, "short") == 0 ? short_write : errno_value(text);
}

// The signal that `text` names, as "TERM" or as a number; 0 when it names none.
static int signal_value(const char *text)
{
    uint64_t number = 0;
    if (parse_number(text, number) == 0)
        return number > 0 && number < uint64_t(NSIG) ? int(number) : 0;
    for (int sig = 1; sig < NSIG; sig++) {
        const char *name = sigabbrev_np(sig);
        if (name && strcmp(name, text) == 0)
            return sig;
    }
    return 0;
}

// Read MTDSIM_CUT. Returns 0, or -1 after saying why.
static int load_cut()
{
    dev.cut_at = 0;
    dev.cut_half = false;
    const char *cut = getenv("MTDSIM_CUT");
    if (!cut || !*cut)
        return 0;
    char text[32];
    snprintf(text, sizeof text, "%s", cut);
    char *colon = strchr(text, ':');
    if (colon)
        *colon = '\0';
    uint64_t at = 0;
    if (parse_number(text, at) != 0 || at == 0 || at > ULONG_MAX || (colon && strcmp(colon + 1, "half"))) {
        fprintf(stderr, bad_cut_msg, cut);
        return -1;
    }
    dev.cut_at = (unsigned long)at;
    dev.cut_half = colon != nullptr;
    return 0;
}

// Take the partition and its faults from the environment. Returns 0, or -1 after saying why.
static int load_config()
{
    const char *image = getenv("MTDSIM_IMAGE");
    const char *trace = getenv("MTDSIM_TRACE");
    snprintf(dev.image, sizeof dev.image, "%s", image ? image : "");
    snprintf(dev.trace, sizeof dev.trace, "%s", trace ? trace : "");
    uint64_t type = MTD_NANDFLASH, absent = 0, setbad_fail = 0, getinfo_fail = 0;
    dev.size = 0;
    dev.erasesize = default_erasesize;
    if (env_number("MTDSIM_TYPE", type) || env_number("MTDSIM_SIZE", dev.size) ||
        env_number("MTDSIM_ERASESIZE", dev.erasesize) || env_number("MTDSIM_ABSENT", absent) ||
        env_number("MTDSIM_SETBAD_FAIL", setbad_fail) || env_number("MTDSIM_GETINFO_FAIL", getinfo_fail))
        return -1;
    dev.type = uint8_t(type);
    // Multi-level-cell NAND answers as NAND does, under its own type.
    dev.nand = type == MTD_NANDFLASH || type == MTD_MLCNANDFLASH;
    dev.writesize = dev.nand ? default_nand_writesize : 1;
    if (env_number("MTDSIM_WRITESIZE", dev.writesize))
        return -1;
    dev.reported_erasesize = dev.erasesize;
    if (env_number("MTDSIM_REPORTED_ERASESIZE", dev.reported_erasesize))
        return -1;
    dev.absent = absent != 0;
    dev.setbad_fail = setbad_fail != 0;
    dev.getinfo_fail_from = (unsigned long)getinfo_fail;

    dev.read_fail_at = 0;
    dev.read_fail_answer = 0;
    if (const char *read_fail = getenv("MTDSIM_READ_FAIL")) {
        char text[32];
        snprintf(text, sizeof text, "%s", read_fail);
        char *colon = strchr(text, ':');
        uint64_t at = 0;
        if (colon)
            *colon = '\0';
        if (!colon || parse_number(text, at) != 0 || (strcmp(colon + 1, "0") && strcmp(colon + 1, "-1"))) {
            fprintf(stderr, bad_list_msg, "MTDSIM_READ_FAIL", read_fail);
            return -1;
        }
        dev.read_fail_at = (unsigned long)at;
        dev.read_fail_answer = strcmp(colon + 1, "0") ? -EIO : 0;
    }

    dev.ecc_failed = 0;
    memset(dev.ecc_fail, 0, sizeof dev.ecc_fail);
    const char *ecc = getenv("MTDSIM_ECC_FAIL");
    if (ecc && parse_block_list(ecc, dev.ecc_fail, max_blocks) != 0) {
        fprintf(stderr, bad_number_msg, "MTDSIM_ECC_FAIL", ecc);
        return -1;
    }
    const char *readonly = getenv("MTDSIM_READONLY");
    dev.readonly = readonly && *readonly ? errno_value(readonly) : 0;
    if (readonly && *readonly && dev.readonly == 0) {
        fprintf(stderr, bad_number_msg, "MTDSIM_READONLY", readonly);
        return -1;
    }

    memset(dev.probe_error, 0, sizeof dev.probe_error);
    const char *probe = getenv("MTDSIM_PROBE_ERROR");
    dev.probe_error_all = probe && strcmp(probe, "all") == 0;
    if (probe && !dev.probe_error_all && parse_block_list(probe, dev.probe_error, max_blocks) != 0) {
        fprintf(stderr, bad_number_msg, "MTDSIM_PROBE_ERROR", probe);
        return -1;
    }
    return journal_load_settings() ||
                   env_faults("MTDSIM_ERASE_FAIL", dev.erase_faults, dev.erase_fault_count, errno_value) ||
                   env_faults("MTDSIM_WRITE_FAIL", dev.write_faults, dev.write_fault_count, write_kind) ||
                   env_faults("MTDSIM_SIGNAL", dev.signals, dev.signal_count, signal_value, true) || load_cut()
               ? -1
               : 0;
}

// Whether the geometry makes a partition that MEMGETINFO can describe. Says why not.
static bool geometry_fits()
{
    bool fits = dev.size > 0 && dev.size <= UINT32_MAX && dev.erasesize > 0 && dev.writesize > 0 &&
                dev.erasesize % dev.writesize == 0 && dev.size % dev.erasesize == 0 &&
                dev.size / dev.erasesize <= max_blocks;
    if (!fits)
        fprintf(stderr, bad_geometry_msg, (unsigned long long)dev.size, (unsigned long long)dev.erasesize,
                (unsigned long long)dev.writesize);
    return fits;
}

// Set `len` bytes of `fd` from `pos` on to `value`. Returns 0, or -EIO.
static int fill(int fd, uint64_t pos, uint64_t len, unsigned char value)
{
    unsigned char buf[chunk];
    memset(buf, value, sizeof buf);
    for (uint64_t done = 0; done < len;) {
        size_t n = size_t(std::min<uint64_t>(len - done, sizeof buf));
        if (pwrite(fd, buf, n, off_t(pos + done)) != ssize_t(n))
            return -EIO;
        done += n;
    }
    return 0;
}

// Make the file `fd` at least `len` bytes long, the new bytes set to `value`. Returns 0, or -EIO.
static int extend(int fd, uint64_t len, unsigned char value)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -EIO;
    uint64_t have = uint64_t(st.st_size);
    return have < len ? fill(fd, have, len - have, value) : 0;
}

// Open the page-state file, one byte a page, padded to the partition with "programmed".
// Returns its descriptor, or -1 when it is missing and `create` is false: every page of a
// flash without one holds data.
static int open_prog(bool create)
{
    char path[PATH_MAX + 8];
    snprintf(path, sizeof path, "%s.prog", dev.image);
    int fd = host_open(path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd >= 0 && extend(fd, dev.size / dev.writesize, page_programmed) != 0) {
        host_close(fd);
        return -1;
    }
    return fd;
}

// The first of `count` pages from `first` on that was programmed since its erase, or -1.
static int64_t first_programmed(int prog, uint64_t first, uint64_t count)
{
    if (prog < 0)
        return int64_t(first);
    unsigned char state[chunk];
    for (uint64_t done = 0; done < count;) {
        size_t n = size_t(std::min<uint64_t>(count - done, sizeof state));
        if (pread(prog, state, n, off_t(first + done)) != ssize_t(n))
            return int64_t(first + done);
        for (size_t i = 0; i < n; i++)
            if (state[i] != page_erased)
                return int64_t(first + done + i);
        done += n;
    }
    return -1;
}

// Erase block `block` of the image behind `fd`: all ones, its pages free to program.
// Returns 0, or -EIO.
static int erase_block(int fd, uint64_t block)
{
    if (fill(fd, block * dev.erasesize, dev.erasesize, 0xFF) != 0)
        return -EIO;
    int prog = open_prog(true);
    if (prog < 0)
        return -EIO;
    uint64_t pages = dev.erasesize / dev.writesize;
    int r = fill(prog, block * pages, pages, page_erased);
    host_close(prog);
    return r;
}

// Program `len` bytes of `data` at `pos` of the image behind `fd`: bits only go from one to
// zero. A write into a page that holds data since its erase is recorded in .unerased.
// Returns 0, or -EIO.
static int program(int fd, uint64_t pos, const unsigned char *data, uint64_t len)
{
    uint64_t first = pos / dev.writesize, count = (pos + len - 1) / dev.writesize - first + 1;
    int prog = open_prog(false);
    int64_t hit = first_programmed(prog, first, count);
    if (hit >= 0) {
        char path[PATH_MAX + 16];
        snprintf(path, sizeof path, "%s.unerased", dev.image);
        append_line(path, "write 0x%llx len 0x%llx into programmed page 0x%llx\n", (unsigned long long)pos,
                    (unsigned long long)len, (unsigned long long)(uint64_t(hit) * dev.writesize));
    }
    unsigned char old[chunk];
    int r = 0;
    for (uint64_t done = 0; done < len && r == 0;) {
        size_t n = size_t(std::min<uint64_t>(len - done, sizeof old));
        off_t at = off_t(pos + done);
        if (pread(fd, old, n, at) != ssize_t(n)) {
            r = -EIO;
            break;
        }
        for (size_t i = 0; i < n; i++)
            old[i] &= data[done + i];
        if (pwrite(fd, old, n, at) != ssize_t(n))
            r = -EIO;
        done += n;
    }
    if (prog >= 0) {
        if (r == 0)
            r = fill(prog, first, count, page_programmed);
        host_close(prog);
    }
    return r;
}

// The slot of simulated descriptor `fd`, or null for every other descriptor.
static slot *find_slot(int fd)
{
    if (open_slots == 0 || fd < 0)
        return nullptr;
    for (slot &s : slots)
        if (s.used && s.fd == fd)
            return &s;
    return nullptr;
}

// Forget a simulated descriptor, or one of the journal directory, that the program closed
// behind our back, now that the kernel hands its number out again. Returns `fd`.
static int forget(int fd)
{
    if (slot *s = find_slot(fd)) {
        s->used = false;
        open_slots--;
    }
    journal_forget(fd, false);
    return fd;
}

// Whether `path` is the simulated device and a simulation is asked for.
static bool is_device(const char *path)
{
    const char *device = getenv("MTDSIM_DEVICE");
    return path && strcmp(path, device && *device ? device : default_device) == 0 && getenv("MTDSIM_IMAGE");
}

// Where an open of `path` goes: the same path under MTDSIM_SYSFS when it is one of the MTD
// name files, written into `moved`; else `path` itself.
static const char *sysfs_path(const char *path, char (&moved)[PATH_MAX])
{
    const char *root = getenv("MTDSIM_SYSFS");
    if (!path || !root || !*root)
        return path;
    const size_t n = strlen(sysfs_mtd);
    const bool names = (strncmp(path, sysfs_mtd, n) == 0 && (path[n] == '\0' || path[n] == '/')) ||
                       strcmp(path, procfs_mtd) == 0;
    if (!names || snprintf(moved, sizeof moved, "%s%s", root, path) >= int(sizeof moved))
        return path;
    return moved;
}

// The name of an access mode as open's flags spell it.
static const char *access_name(int access)
{
    return access == O_RDONLY ? "O_RDONLY" : access == O_WRONLY ? "O_WRONLY" : "O_RDWR";
}

// Open the simulated device. Returns a descriptor, or -1 with errno set.
static int sim_open(int flags)
{
    if (open_slots == 0 && load_config() != 0)
        return int(answer("open", -EINVAL, false));
    if (dev.absent)
        return int(answer("open", -ENOENT, false));
    if (dev.readonly && (flags & O_ACCMODE) != O_RDONLY) {
        char call[32];
        snprintf(call, sizeof call, "open %s", access_name(flags & O_ACCMODE));
        return int(answer(call, -dev.readonly, false));
    }
    slot *free_slot = std::find_if(slots, slots + max_slots, [](const slot &s) { return !s.used; });
    if (free_slot == slots + max_slots)
        return int(answer("open", -EMFILE, false));
    int fd = host_open(dev.image, O_RDWR | O_CREAT | (flags & O_CLOEXEC), 0644);
    if (fd < 0)
        return int(answer("open", -errno, false));
    struct stat st;
    if (dev.size == 0 && fstat(fd, &st) == 0)
        dev.size = uint64_t(st.st_size);
    int r = geometry_fits() ? extend(fd, dev.size, 0xFF) : -EINVAL;
    if (r == 0 && load_bad_blocks(dev.image, dev.bad, dev.size / dev.erasesize) != 0) {
        fprintf(stderr, bad_number_msg, "MTDSIM_BAD", getenv("MTDSIM_BAD"));
        r = -EINVAL;
    }
    if (r != 0) {
        host_close(fd);
        return int(answer("open", r, false));
    }
    *free_slot = {true, fd, flags & O_ACCMODE, 0};
    open_slots++;
    if (dev.trace[0])
        append_line(dev.trace, "open %s\n", access_name(free_slot->access));
    return fd;
}

// Each device call below answers as the MTD character device does, and traces the answer.

// Read from the position on, cut at the end of the partition; bad blocks read like any other.
static int64_t sim_read(slot &s, void *buf, size_t len)
{
    char call[64];
    snprintf(call, sizeof call, "read 0x%llx 0x%zx", (unsigned long long)s.pos, len);
    read_calls++;
    if (s.access == O_WRONLY)
        return answer(call, -EBADF, true);
    if (read_calls == dev.read_fail_at)
        return answer(call, dev.read_fail_answer, true);
    uint64_t pos = uint64_t(s.pos);
    uint64_t n = pos >= dev.size ? 0 : std::min<uint64_t>(len, dev.size - pos);
    for (uint64_t done = 0; done < n;) {
        ssize_t got = pread(s.fd, static_cast<char *>(buf) + done, size_t(n - done), off_t(pos + done));
        if (got <= 0)
            return answer(call, -EIO, true);
        done += uint64_t(got);
    }
    // Data that ECC could not correct comes back without an error; only the count grows.
    for (uint64_t block = pos / dev.erasesize; n > 0 && block <= (pos + n - 1) / dev.erasesize; block++)
        if (dev.ecc_fail[block])
            dev.ecc_failed++;
    s.pos += int64_t(n);
    return answer(call, int64_t(n), true);
}

// Whether fault `f` strikes a block of [first, last].
static bool strikes(const fault &f, uint64_t first, uint64_t last)
{
    return f.block == all_blocks || (f.block >= first && f.block <= last);
}

// How a write fault ranks when a write meets several: a refusal, then EIO, then short.
static int write_rank(int answer)
{
    return answer == short_write ? 1 : answer == EIO ? 2 : 3;
}

// The fault that MTDSIM_WRITE_FAIL sets on the blocks of [pos, pos + len), the first of the
// highest rank; 0 for none.
static int write_fault(uint64_t pos, uint64_t len)
{
    int kind = 0;
    uint64_t first = pos / dev.erasesize, last = (pos + len - 1) / dev.erasesize;
    for (int i = 0; i < dev.write_fault_count; i++) {
        const fault &f = dev.write_faults[i];
        if (strikes(f, first, last) && (kind == 0 || write_rank(f.answer) > write_rank(kind)))
            kind = f.answer;
    }
    return kind;
}

// The offset of the first page of [pos, pos + len) that lies in a block with an EIO write
// fault; the range must hold one.
static uint64_t first_faulty_page(uint64_t pos, uint64_t len)
{
    uint64_t first = UINT64_MAX;
    for (int i = 0; i < dev.write_fault_count; i++) {
        const fault &f = dev.write_faults[i];
        const uint64_t start = f.block == all_blocks ? pos : f.block * dev.erasesize;
        if (f.answer == EIO && start < pos + len && start + dev.erasesize > pos)
            first = std::min(first, std::max(pos, start));
    }
    return std::min(first, pos + len - dev.writesize);
}

// Program from the position on, cut at the end of the partition; a failed write leaves the
// position where it was.
static int64_t sim_write(slot &s, const void *buf, size_t len)
{
    char call[64];
    snprintf(call, sizeof call, "write 0x%llx 0x%zx", (unsigned long long)s.pos, len);
    uint64_t pos = uint64_t(s.pos);
    if (s.access == O_RDONLY)
        return answer(call, -EBADF, true);
    if (pos >= dev.size)
        return answer(call, -ENOSPC, true);
    uint64_t n = std::min<uint64_t>(len, dev.size - pos);
    if (n == 0)
        return answer(call, 0, true);
    // NAND programs whole pages only.
    if (dev.nand && (pos % dev.writesize || n % dev.writesize))
        return answer(call, -EINVAL, true);
    int kind = write_fault(pos, n);
    if (kind == EIO) {
        // The kernel has programmed the pages before the failing one, and nandsim the
        // failing page too, when it answers EIO; the position does not move.
        const uint64_t failing = first_faulty_page(pos, n);
        if (int r = program(s.fd, pos, static_cast<const unsigned char *>(buf), failing + dev.writesize - pos))
            return answer(call, r, true);
        return answer(call, -EIO, true);
    }
    // A chip that refuses (write protection, a controller timing out) programs nothing.
    if (kind > 0)
        return answer(call, -kind, true);
    if (kind == short_write)
        n = std::min(n, dev.writesize - pos % dev.writesize);
    int r = program(s.fd, pos, static_cast<const unsigned char *>(buf), n);
    if (r != 0)
        return answer(call, r, true);
    s.pos += int64_t(n);
    return answer(call, int64_t(n), true);
}

// The power goes: nothing more reaches the flash, nothing is flushed.
[[noreturn]] static void power_cut()
{
    if (dev.trace[0])
        append_line(dev.trace, "cut\n");
    journal_power_cut();
    _exit(cut_status);
}

// The power goes halfway through a write of `len` bytes at the position: the first half of
// the pages that the write would program are programmed, whole pages only.
[[noreturn]] static void cut_halfway(const slot &s, const void *buf, size_t len)
{
    const uint64_t pos = uint64_t(s.pos);
    uint64_t n = s.access == O_RDONLY || pos >= dev.size ? 0 : std::min<uint64_t>(len, dev.size - pos);
    if (dev.nand && (pos % dev.writesize || n % dev.writesize))
        n = 0;
    uint64_t done = 0;
    if (n > 0) {
        const uint64_t first = pos / dev.writesize, pages = (pos + n - 1) / dev.writesize - first + 1;
        done = pages < 2 ? 0 : std::min(pos + n, (first + pages / 2) * dev.writesize) - pos;
        // A write fault lets through no more than it would without the cut.
        const int kind = write_fault(pos, n);
        if (kind == EIO)
            done = std::min(done, first_faulty_page(pos, n) + dev.writesize - pos);
        else if (kind == short_write)
            done = std::min(done, dev.writesize - pos % dev.writesize);
        else if (kind > 0)
            done = 0;
    }
    if (done > 0 && program(s.fd, pos, static_cast<const unsigned char *>(buf), done) != 0)
        done = 0;
    if (dev.trace[0])
        append_line(dev.trace, "write 0x%llx 0x%zx -> cut after 0x%llx\n", (unsigned long long)pos, len,
                    (unsigned long long)done);
    power_cut();
}

// Count a device call and strike what MTDSIM_SIGNAL and MTDSIM_CUT ask for before it.
// Returns true when the power is to go halfway through this call, a write.
static bool before_device_call(bool is_write)
{
    device_calls++;
    for (int i = 0; i < dev.signal_count; i++) {
        if (dev.signals[i].block != device_calls)
            continue;
        const int sig = dev.signals[i].answer;
        char number[16];
        const char *name = sigabbrev_np(sig);
        if (!name) {
            snprintf(number, sizeof number, "%d", sig);
            name = number;
        }
        if (dev.trace[0])
            append_line(dev.trace, "signal %s\n", name);
        raise(sig);
    }
    if (device_calls != dev.cut_at)
        return false;
    if (dev.cut_half && is_write)
        return true;
    power_cut();
}

// Move the position anywhere from the start to the end of the partition.
static int64_t sim_lseek(slot &s, int64_t offset, int whence)
{
    char call[64], hex[24], number[16];
    snprintf(number, sizeof number, "%d", whence);
    const char *name = whence == SEEK_SET   ? "SEEK_SET"
                       : whence == SEEK_CUR ? "SEEK_CUR"
                       : whence == SEEK_END ? "SEEK_END"
                                            : number;
    snprintf(call, sizeof call, "lseek %s %s", signed_hex(offset, hex), name);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.pos : int64_t(dev.size);
    int64_t target = 0;
    if (name == number || __builtin_add_overflow(base, offset, &target) || target < 0 ||
        uint64_t(target) > dev.size)
        return answer(call, -EINVAL, true);
    s.pos = target;
    return answer(call, target, true);
}

// MEMGETINFO: the geometry.
static int sim_getinfo(mtd_info_user *info)
{
    getinfo_calls++;
    if (dev.getinfo_fail_from && getinfo_calls >= dev.getinfo_fail_from)
        return int(answer("getinfo", -ENOTTY, false));
    *info = {};
    info->type = dev.type;
    info->flags = dev.nand ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH;
    info->size = uint32_t(dev.size);
    info->erasesize = uint32_t(dev.reported_erasesize);
    info->writesize = uint32_t(dev.writesize);
    info->oobsize = dev.nand ? nand_oobsize : 0;
    return int(answer("getinfo", 0, false, true));
}

// MEMGETBADBLOCK: 1 for a bad block, 0 for a good one.
static int sim_getbad(const loff_t *offset)
{
    char call[48], hex[24];
    snprintf(call, sizeof call, "getbad %s", signed_hex(*offset, hex));
    if (*offset < 0 || uint64_t(*offset) >= dev.size)
        return int(answer(call, -EINVAL, false));
    uint64_t block = uint64_t(*offset) / dev.erasesize;
    if (dev.probe_error_all || dev.probe_error[block])
        return int(answer(call, -EIO, false));
    // NOR flash has no bad blocks.
    return int(answer(call, dev.nand && dev.bad[block], false));
}

// MEMSETBADBLOCK: mark the block holding `offset` bad, for this process and the later ones.
static int sim_setbad(slot &s, const loff_t *offset)
{
    char call[48], hex[24];
    snprintf(call, sizeof call, "setbad %s", signed_hex(*offset, hex));
    if (s.access == O_RDONLY)
        return int(answer(call, -EPERM, false));
    if (!dev.nand)
        return int(answer(call, -EOPNOTSUPP, false));
    if (*offset < 0 || uint64_t(*offset) >= dev.size)
        return int(answer(call, -EINVAL, false));
    uint64_t block = uint64_t(*offset) / dev.erasesize;
    if (dev.bad[block])
        return int(answer(call, 0, false));
    // The kernel erases the block before it writes the marker, and keeps the block bad even
    // when writing the marker fails.
    int r = erase_block(s.fd, block);
    dev.bad[block] = 1;
    char path[PATH_MAX + 8];
    snprintf(path, sizeof path, "%s.bad", dev.image);
    append_line(path, "%llu\n", (unsigned long long)block);
    return int(answer(call, r == 0 && dev.setbad_fail ? -EIO : r, false));
}

// MEMERASE: erase whole blocks.
static int sim_erase(slot &s, const erase_info_user *range)
{
    char call[64];
    snprintf(call, sizeof call, "erase 0x%x 0x%x", range->start, range->length);
    uint64_t start = range->start, len = range->length;
    if (s.access == O_RDONLY)
        return int(answer(call, -EPERM, false));
    if (start >= dev.size || len > dev.size - start)
        return int(answer(call, -EINVAL, false));
    if (len == 0)
        return int(answer(call, 0, false));
    if (start % dev.erasesize || len % dev.erasesize)
        return int(answer(call, -EINVAL, false));
    // Blocks are erased in order; the first that fails ends the erase.
    for (uint64_t block = start / dev.erasesize; block < (start + len) / dev.erasesize; block++) {
        if (dev.nand && dev.bad[block])
            return int(answer(call, -EIO, false));
        const fault *f = std::find_if(dev.erase_faults, dev.erase_faults + dev.erase_fault_count,
                                      [block](const fault &each) { return strikes(each, block, block); });
        const int refusal = f != dev.erase_faults + dev.erase_fault_count ? f->answer : 0;
        // A worn block fails as nandsim's does, erased before the EIO; a locked sector or a
        // protected chip refuses and keeps its data.
        if (refusal != 0 && refusal != EIO)
            return int(answer(call, -refusal, false));
        if (int r = erase_block(s.fd, block))
            return int(answer(call, r, false));
        if (refusal == EIO)
            return int(answer(call, -EIO, false));
    }
    return int(answer(call, 0, false));
}

// The ioctls a flash tool uses; any other is unknown to the device.
static int sim_ioctl(slot &s, unsigned long request, void *arg)
{
    switch (request) {
    case MEMGETINFO:
        return sim_getinfo(static_cast<mtd_info_user *>(arg));
    case MEMGETBADBLOCK:
        return sim_getbad(static_cast<const loff_t *>(arg));
    case MEMSETBADBLOCK:
        return sim_setbad(s, static_cast<const loff_t *>(arg));
    case MEMERASE:
        return sim_erase(s, static_cast<const erase_info_user *>(arg));
    case ECCGETSTATS: {
        auto *stats = static_cast<mtd_ecc_stats *>(arg);
        *stats = {};
        stats->failed = dev.ecc_failed;
        char call[48];
        snprintf(call, sizeof call, "eccstats failed %u", dev.ecc_failed);
        return int(answer(call, 0, false, true));
    }
    default:
        char call[48];
        snprintf(call, sizeof call, "ioctl 0x%lx", request);
        return int(answer(call, -ENOTTY, false));
    }
}

// Close the descriptor and the image behind it.
static int sim_close(slot &s)
{
    answer("close", 0, false, true);
    host_close(s.fd);
    s.used = false;
    open_slots--;
    return 0;
}

// The mode argument of an open, present only when the flags create a file.
static mode_t mode_of(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

// An open of `path` (relative to `dirfd`) that is not the device's; `call` makes it with the
// path it is given. The MTD name files are moved under MTDSIM_SYSFS, and the journal
// directory is followed.
template <typename Call> static int other_open(int dirfd, const char *path, int flags, Call call)
{
    char moved[PATH_MAX];
    path = sysfs_path(path, moved);
    journal_open_call followed;
    if (journal_open_begin(followed, dirfd, path, flags) != 0)
        return -1;
    return journal_open_end(followed, forget(call(path)));
}

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);

// The directory streams that opendir opened under MTDSIM_SYSFS.
static DIR *moved_dirs[8];

// Whether `dir` is one of them; `forget` it when it closes.
static bool moved_dir(DIR *dir, bool forget_it)
{
    for (DIR *&each : moved_dirs)
        if (dir && each == dir) {
            if (forget_it)
                each = nullptr;
            return true;
        }
    return false;
}

// Only the interposed calls leave the library; its helpers stay out of the program's way.
#pragma GCC visibility push(default)
extern "C" {

// The calls a program makes on files: those on the device are answered here, the others go on
// to the definition that comes after this library.

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<open_fn>("open");
    return other_open(AT_FDCWD, path, flags, [&](const char *p) { return real(p, flags, mode); });
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<open_fn>("open64");
    return other_open(AT_FDCWD, path, flags, [&](const char *p) { return real(p, flags, mode); });
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<openat_fn>("openat");
    return other_open(dirfd, path, flags, [&](const char *p) { return real(dirfd, p, flags, mode); });
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<openat_fn>("openat64");
    return other_open(dirfd, path, flags, [&](const char *p) { return real(dirfd, p, flags, mode); });
}

// The checked forms that a fortified build calls when the flags are not known at compile time.
int __open_2(const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(const char *, int)>("__open_2");
    return other_open(AT_FDCWD, path, flags, [&](const char *p) { return real(p, flags); });
}

int __open64_2(const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(const char *, int)>("__open64_2");
    return other_open(AT_FDCWD, path, flags, [&](const char *p) { return real(p, flags); });
}

int __openat_2(int dirfd, const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(int, const char *, int)>("__openat_2");
    return other_open(dirfd, path, flags, [&](const char *p) { return real(dirfd, p, flags); });
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(int, const char *, int)>("__openat64_2");
    return other_open(dirfd, path, flags, [&](const char *p) { return real(dirfd, p, flags); });
}

DIR *opendir(const char *path)
{
    static auto real = next<DIR *(*)(const char *)>("opendir");
    char moved[PATH_MAX];
    const char *opened = sysfs_path(path, moved);
    DIR *dir = real(opened);
    if (dir && opened == moved)
        for (DIR *&each : moved_dirs)
            if (!each) {
                each = dir;
                break;
            }
    return dir;
}

dirent *readdir(DIR *dir)
{
    static auto real = next<dirent *(*)(DIR *)>("readdir");
    if (!moved_dir(dir, false))
        return real(dir);
    // A test's directory under qemu-user on a 64-bit host can hand out offsets and inode
    // numbers that a 32-bit readdir refuses with EOVERFLOW; the kernel's sysfs does not.
    static dirent entry;
    const dirent64 *found = readdir64(dir);
    if (!found)
        return nullptr;
    entry = {};
    entry.d_ino = decltype(entry.d_ino)(found->d_ino);
    entry.d_reclen = sizeof entry;
    entry.d_type = found->d_type;
    snprintf(entry.d_name, sizeof entry.d_name, "%s", found->d_name);
    return &entry;
}

int closedir(DIR *dir)
{
    static auto real = next<int (*)(DIR *)>("closedir");
    moved_dir(dir, true);
    return real(dir);
}

ssize_t read(int fd, void *buf, size_t len)
{
    if (slot *s = find_slot(fd)) {
        before_device_call(false);
        return ssize_t(sim_read(*s, buf, len));
    }
    if (journal_fd(fd, false) == in_journal && journal_file_read(fd) < 0)
        return -1;
    static auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    return real(fd, buf, len);
}

[[noreturn]] void __chk_fail(void);

ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
    if (slot *s = find_slot(fd)) {
        if (len > buflen)
            __chk_fail();
        before_device_call(false);
        return ssize_t(sim_read(*s, buf, len));
    }
    if (journal_fd(fd, false) == in_journal && journal_file_read(fd) < 0)
        return -1;
    static auto real = next<ssize_t (*)(int, void *, size_t, size_t)>("__read_chk");
    return real(fd, buf, len, buflen);
}

ssize_t write(int fd, const void *buf, size_t len)
{
    if (slot *s = find_slot(fd)) {
        if (before_device_call(true))
            cut_halfway(*s, buf, len);
        return ssize_t(sim_write(*s, buf, len));
    }
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    if (journal_fd(fd, false) == in_journal)
        return journal_write(fd, buf, len, real);
    return real(fd, buf, len);
}

off_t lseek(int fd, off_t offset, int whence) noexcept
{
    // Where off_t has 32 bits, the partitions simulated must stay below 2 GiB.
    if (slot *s = find_slot(fd))
        return off_t(sim_lseek(*s, offset, whence));
    static auto real = next<off_t (*)(int, off_t, int)>("lseek");
    return real(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) noexcept
{
    if (slot *s = find_slot(fd))
        return sim_lseek(*s, offset, whence);
    static auto real = next<off64_t (*)(int, off64_t, int)>("lseek64");
    return real(fd, offset, whence);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (slot *s = find_slot(fd)) {
        before_device_call(false);
        return sim_ioctl(*s, request, arg);
    }
    static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, arg);
}

int fsync(int fd)
{
    if (find_slot(fd))
        // The MTD character device has no fsync.
        return int(answer("fsync", -EINVAL, false));
    static auto real = next<int (*)(int)>("fsync");
    if (journal_fd(fd, true) != outside_journal)
        return journal_sync(fd, real, "fsync");
    return real(fd);
}

int fdatasync(int fd)
{
    if (find_slot(fd))
        return int(answer("fdatasync", -EINVAL, false));
    static auto real = next<int (*)(int)>("fdatasync");
    if (journal_fd(fd, true) != outside_journal)
        return journal_sync(fd, real, "fdatasync");
    return real(fd);
}

int flock(int fd, int operation) noexcept
{
    static auto real = next<int (*)(int, int)>("flock");
    slot *s = find_slot(fd);
    if (!s)
        return real(fd, operation);
    const int kind = operation & ~LOCK_NB;
    char call[48];
    snprintf(call, sizeof call, "flock %s%s",
             kind == LOCK_EX ? "LOCK_EX" : kind == LOCK_SH ? "LOCK_SH" : kind == LOCK_UN ? "LOCK_UN" : "?",
             operation & LOCK_NB ? "|LOCK_NB" : "");
    // The lock is the image file's, so that runs on one simulated partition exclude each other.
    return int(answer(call, real(s->fd, operation) == 0 ? 0 : -errno, false, true));
}

int close(int fd)
{
    if (slot *s = find_slot(fd))
        return sim_close(*s);
    journal_forget(fd, true);
    static auto real = next<int (*)(int)>("close");
    return real(fd);
}

} // extern "C"
#pragma GCC visibility pop
