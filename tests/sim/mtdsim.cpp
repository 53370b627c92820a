// SPDX-License-Identifier: MIT
// The flash simulator: preloaded into a program, it answers for the MTD character device
// /dev/mtd7 from an image file, the way the kernel's MTD layer answers for a NAND or NOR
// partition, and passes every other file through untouched. It keeps its state in files
// beside the image so that a test sees it after the program is gone.
//
// The programs under test are single-threaded; so is this bookkeeping.
//
// Settings, read from the environment at an open of the device while none is open:
//   MTDSIM_IMAGE        backing file of the partition's bytes (unset: no device at all)
//   MTDSIM_SIZE         partition size (default: the file's), MTDSIM_ERASESIZE (0x20000),
//   MTDSIM_WRITESIZE    page size (0x800 on NAND, 1 on NOR), MTDSIM_TYPE (4 NAND, else NOR)
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
//   MTDSIM_ERASE_FAIL=B:ERRNO,.. every erase of block B erases it, then fails with that errno
//   MTDSIM_WRITE_FAIL=B:eio,..   every write into block B programs up to its first page
//                                there, then answers EIO without moving the position
//   MTDSIM_WRITE_FAIL=B:short,.. every write into block B writes one page and says so (a
//                                hostile device: the kernel cuts writes only at the end)
//   MTDSIM_SETBAD_FAIL=1         MEMSETBADBLOCK answers EIO (the block still turns bad)

#if defined _FILE_OFFSET_BITS && _FILE_OFFSET_BITS == 64
#error "built with 64-bit file offsets, open and lseek would define open64 and lseek64"
#endif

#include "mtdsim.h"

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
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The one path the simulator answers for.
constexpr char device_path[] = "/dev/mtd7";
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
constexpr char bad_geometry_msg[] =
    "mtdsim: size 0x%llx, erase size 0x%llx and write size 0x%llx do not make a partition\n";

// A fault that MTDSIM_ERASE_FAIL or MTDSIM_WRITE_FAIL attaches to one block.
struct fault {
    uint64_t block;
    int answer; // an errno for erases; 'e' (eio) or 's' (short) for writes
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
static unsigned long getinfo_calls, read_calls;

// The definition of `name` that comes after this library: the sanitizer runtime's or the C library's.
template <typename F> static F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library's open and close, for the simulator's own files.
static int host_open(const char *path, int flags, mode_t mode)
{
    static auto real = next<int (*)(const char *, int, ...)>("open");
    return real(path, flags, mode);
}

static void host_close(int fd)
{
    static auto real = next<int (*)(int)>("close");
    real(fd);
}

// The name of errno value `e` ("EIO"), or its number when it has none.
static const char *errno_name(int e, char (&buf)[16])
{
    const char *name = strerrorname_np(e);
    if (name)
        return name;
    snprintf(buf, sizeof buf, "%d", e);
    return buf;
}

// The errno that `text` names, as "EIO" or as a number; 0 when it names none.
static int errno_value(const char *text)
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

// Append one formatted line to `path`, creating it. The program may exit at any moment, so
// nothing waits in a buffer.
__attribute__((format(printf, 2, 3))) static void append_line(const char *path, const char *format, ...)
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
// text into its value, 0 when it is no answer. Returns 0, or -1 after saying why.
static int env_faults(const char *var, fault *faults, int &count, int (*value_of)(const char *))
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
        uint64_t block = 0;
        int value = colon && count < max_faults && parse_number(text, block) == 0 ? value_of(colon + 1) : 0;
        if (value == 0) {
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

// The write fault that `text` names: 'e' for eio, 's' for short, 0 for none.
static int write_kind(const char *text)
{
    return strcmp(text, "eio") == 0 ? 'e' : strcmp(text, "short") == 0 ? 's' : 0;
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
    dev.nand = type == MTD_NANDFLASH;
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
    return env_faults("MTDSIM_ERASE_FAIL", dev.erase_faults, dev.erase_fault_count, errno_value) ||
                   env_faults("MTDSIM_WRITE_FAIL", dev.write_faults, dev.write_fault_count, write_kind)
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

// Forget a simulated descriptor that the program closed behind our back, now that the kernel
// hands its number out again. Returns `fd`.
static int forget(int fd)
{
    if (slot *s = find_slot(fd)) {
        s->used = false;
        open_slots--;
    }
    return fd;
}

// Whether `path` is the simulated device and a simulation is asked for.
static bool is_device(const char *path)
{
    return path && strcmp(path, device_path) == 0 && getenv("MTDSIM_IMAGE");
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

// The fault that MTDSIM_WRITE_FAIL sets on any block of [pos, pos + len): 'e', 's' or 0.
static int write_fault(uint64_t pos, uint64_t len)
{
    int kind = 0;
    uint64_t first = pos / dev.erasesize, last = (pos + len - 1) / dev.erasesize;
    for (int i = 0; i < dev.write_fault_count; i++) {
        const fault &f = dev.write_faults[i];
        if (f.block >= first && f.block <= last && kind != 'e')
            kind = f.answer;
    }
    return kind;
}

// The offset of the first page of [pos, pos + len) that lies in a block with an `eio`
// write fault; the range must hold one.
static uint64_t first_faulty_page(uint64_t pos, uint64_t len)
{
    uint64_t first = UINT64_MAX;
    for (int i = 0; i < dev.write_fault_count; i++) {
        const fault &f = dev.write_faults[i];
        const uint64_t start = f.block * dev.erasesize;
        if (f.answer == 'e' && start < pos + len && start + dev.erasesize > pos)
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
    if (kind == 'e') {
        // The kernel has programmed the pages before the failing one, and nandsim the
        // failing page too, when it answers EIO; the position does not move.
        const uint64_t failing = first_faulty_page(pos, n);
        if (int r = program(s.fd, pos, static_cast<const unsigned char *>(buf), failing + dev.writesize - pos))
            return answer(call, r, true);
        return answer(call, -EIO, true);
    }
    if (kind == 's')
        n = std::min(n, dev.writesize - pos % dev.writesize);
    int r = program(s.fd, pos, static_cast<const unsigned char *>(buf), n);
    if (r != 0)
        return answer(call, r, true);
    s.pos += int64_t(n);
    return answer(call, int64_t(n), true);
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
        // A failing erase, as nandsim's, has erased the block before it fails.
        if (int r = erase_block(s.fd, block))
            return int(answer(call, r, false));
        for (int i = 0; i < dev.erase_fault_count; i++)
            if (dev.erase_faults[i].block == block)
                return int(answer(call, -dev.erase_faults[i].answer, false));
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

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);

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
    return forget(real(path, flags, mode));
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
    return forget(real(path, flags, mode));
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
    return forget(real(dirfd, path, flags, mode));
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
    return forget(real(dirfd, path, flags, mode));
}

// The checked forms that a fortified build calls when the flags are not known at compile time.
int __open_2(const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(const char *, int)>("__open_2");
    return forget(real(path, flags));
}

int __open64_2(const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(const char *, int)>("__open64_2");
    return forget(real(path, flags));
}

int __openat_2(int dirfd, const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(int, const char *, int)>("__openat_2");
    return forget(real(dirfd, path, flags));
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    if (is_device(path))
        return sim_open(flags);
    static auto real = next<int (*)(int, const char *, int)>("__openat64_2");
    return forget(real(dirfd, path, flags));
}

ssize_t read(int fd, void *buf, size_t len)
{
    if (slot *s = find_slot(fd))
        return ssize_t(sim_read(*s, buf, len));
    static auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    return real(fd, buf, len);
}

[[noreturn]] void __chk_fail(void);

ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
    if (slot *s = find_slot(fd)) {
        if (len > buflen)
            __chk_fail();
        return ssize_t(sim_read(*s, buf, len));
    }
    static auto real = next<ssize_t (*)(int, void *, size_t, size_t)>("__read_chk");
    return real(fd, buf, len, buflen);
}

ssize_t write(int fd, const void *buf, size_t len)
{
    if (slot *s = find_slot(fd))
        return ssize_t(sim_write(*s, buf, len));
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
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
    if (slot *s = find_slot(fd))
        return sim_ioctl(*s, request, arg);
    static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, arg);
}

int fsync(int fd)
{
    if (find_slot(fd))
        // The MTD character device has no fsync.
        return int(answer("fsync", -EINVAL, false));
    static auto real = next<int (*)(int)>("fsync");
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
    static auto real = next<int (*)(int)>("close");
    return real(fd);
}

} // extern "C"
#pragma GCC visibility pop
