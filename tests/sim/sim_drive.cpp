// SPDX-License-Identifier: MIT
// sim_drive OP...: drive the simulated device (MTDSIM_DEVICE, default /dev/mtd7) and the files
// beside it with the calls a flash tool makes, one line of output a call:
// the operation, its answer ("-> 0x800", "-> -1 EIO") and, for reads and MEMGETINFO, what came
// back. Built twice: plainly, and fortified with 64-bit offsets, so that both families of entry
// points meet the simulator.
//
//   open rw|ro|wo       open the device; later calls go to it
//   openat rw|ro|wo     the same through openat
//   use N               later calls go to the Nth descriptor opened, from 0
//   info                MEMGETINFO
//   getbad OFF / setbad OFF              MEMGETBADBLOCK / MEMSETBADBLOCK
//   erase START LEN                      MEMERASE
//   read LEN            prints the bytes as runs: "ff*0x7f0 00*0x10"
//   write LEN BYTE      writes LEN copies of BYTE
//   seek OFF set|cur|end / fsync / close
// Files, such as a journal beside the device:
//   file PATH FLAGS     open PATH; FLAGS are letters: r read-only, w write-only (neither: read-
//                       write), c O_CREAT (mode 0600), x O_EXCL, t O_TRUNC, n O_NOFOLLOW,
//                       d O_DIRECTORY; later calls (write, fsync, close, ...) go to it
//   fileat NAME FLAGS   the same through openat on the current descriptor, a directory
//   rename OLD NEW / unlink PATH / mkdir PATH (mode 0700) / fdatasync
//   renameat OLD NEW / unlinkat NAME     relative to the current descriptor
//   statfs PATH / fstatfs                the file system's type: "statfs -> type 0xef53"
//   cat PATH            open PATH, read it to the end and print what it holds
//   dir PATH            the names in directory PATH but . and .., sorted: "dir -> mtd0 mtd3"
//   block SIG           hold signal SIG (TERM, INT, ...) from now on
//   pending             the held signals that arrived: "pending -> TERM", or "-> none"
// Standard output is line-buffered, so that a process killed or cut short shows what it did.
#include <dirent.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr char default_device[] = "/dev/mtd7";
constexpr int max_fds = 8;
constexpr int max_names = 64;
constexpr size_t max_io = 1 << 20;

static unsigned char buf[max_io];

// Print an answer: a count in hex, or -1 with the errno's name.
static void show(const char *op, long long r, bool hex)
{
    if (r < 0)
        printf("%s -> -1 %s\n", op, strerrorname_np(errno));
    else
        printf(hex ? "%s -> 0x%llx\n" : "%s -> %lld\n", op, r);
}

// The signal that `name` names without its SIG prefix; 0 when none does.
static int signal_named(const char *name)
{
    for (int sig = 1; sig < NSIG; sig++)
        if (sigabbrev_np(sig) && !strcmp(sigabbrev_np(sig), name))
            return sig;
    return 0;
}

// Print what the file at `path` holds, read through open and read as the programs read.
static void cat(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        show("cat", -1, false);
        return;
    }
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        fwrite(buf, 1, size_t(n), stdout);
    if (n < 0)
        show("cat", -1, false);
    close(fd);
}

// Print the names in the directory at `path`, sorted, as "dir -> NAME NAME".
static void list_dir(const char *path)
{
    DIR *dir = opendir(path);
    if (!dir) {
        show("dir", -1, false);
        return;
    }
    static char names[max_names][NAME_MAX + 1];
    int count = 0;
    errno = 0;
    while (dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, "..") && count < max_names)
            snprintf(names[count++], sizeof names[0], "%s", entry->d_name);
    const int failed = errno;
    closedir(dir);
    if (failed) {
        errno = failed;
        show("dir", -1, false);
        return;
    }
    qsort(names, size_t(count), sizeof names[0], [](const void *a, const void *b) {
        return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
    });
    printf("dir ->");
    for (int i = 0; i < count; i++)
        printf(" %s", names[i]);
    putchar('\n');
}

static int access_flags(const char *mode)
{
    return strcmp(mode, "ro") == 0 ? O_RDONLY : strcmp(mode, "wo") == 0 ? O_WRONLY : O_RDWR;
}

// Open's flags that the letters of `text` name (see file above).
static int file_flags(const char *text)
{
    int flags = strchr(text, 'r') ? O_RDONLY : strchr(text, 'w') ? O_WRONLY : O_RDWR;
    const struct {
        char letter;
        int flag;
    } letters[] = {{'c', O_CREAT}, {'x', O_EXCL}, {'t', O_TRUNC}, {'n', O_NOFOLLOW}, {'d', O_DIRECTORY}};
    for (const auto &each : letters)
        if (strchr(text, each.letter))
            flags |= each.flag;
    return flags;
}

// Print a file system's type, or the failure to learn it.
static void show_fs(const char *op, int r, const struct statfs &st)
{
    if (r != 0)
        show(op, -1, false);
    else
        printf("%s -> type 0x%x\n", op, unsigned(uint32_t(st.f_type)));
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *device = getenv("MTDSIM_DEVICE");
    if (!device || !*device)
        device = default_device;
    int fds[max_fds], nfds = 0, fd = -1;
    for (int i = 1; i < argc; i++) {
        const char *op = argv[i];
        auto arg = [&](int n) { return i + n < argc ? strtoll(argv[i + n], nullptr, 0) : 0; };
        if (!strcmp(op, "open") || !strcmp(op, "openat")) {
            int flags = access_flags(argv[++i]);
            fd = op[4] ? openat(AT_FDCWD, device, flags) : open(device, flags);
            if (fd >= 0 && nfds < max_fds)
                fds[nfds++] = fd;
            fd < 0 ? show(op, -1, false) : (void)printf("%s -> ok\n", op);
        } else if (!strcmp(op, "use")) {
            fd = fds[arg(1) % max_fds];
            i++;
        } else if (!strcmp(op, "info")) {
            mtd_info_user info{};
            if (ioctl(fd, MEMGETINFO, &info) != 0) {
                show(op, -1, false);
                continue;
            }
            printf("info -> type %u flags 0x%x size 0x%x erasesize 0x%x writesize 0x%x oobsize %u\n",
                   info.type, info.flags, info.size, info.erasesize, info.writesize, info.oobsize);
        } else if (!strcmp(op, "getbad") || !strcmp(op, "setbad")) {
            loff_t offset = arg(1);
            i++;
            show(op, ioctl(fd, op[0] == 'g' ? MEMGETBADBLOCK : MEMSETBADBLOCK, &offset), false);
        } else if (!strcmp(op, "erase")) {
            erase_info_user range{uint32_t(arg(1)), uint32_t(arg(2))};
            i += 2;
            show(op, ioctl(fd, MEMERASE, &range), false);
        } else if (!strcmp(op, "read")) {
            // Unbounded here, so that a fortified build checks the length against the buffer.
            size_t len = size_t(arg(1));
            i++;
            ssize_t n = read(fd, buf, len);
            show(op, n, true);
            for (ssize_t at = 0, end = 0; at < n; at = end) {
                for (end = at; end < n && buf[end] == buf[at];)
                    end++;
                printf("%s%02x*0x%zx", at ? " " : "  ", buf[at], size_t(end - at));
            }
            if (n > 0)
                putchar('\n');
        } else if (!strcmp(op, "write")) {
            size_t len = size_t(arg(1)) % (max_io + 1);
            memset(buf, int(arg(2)), len);
            i += 2;
            show(op, write(fd, buf, len), true);
        } else if (!strcmp(op, "seek")) {
            const char *whence = i + 2 < argc ? argv[i + 2] : "";
            int w = !strcmp(whence, "cur") ? SEEK_CUR : !strcmp(whence, "end") ? SEEK_END : SEEK_SET;
            show(op, lseek(fd, off_t(arg(1)), w), true);
            i += 2;
        } else if (!strcmp(op, "fsync")) {
            show(op, fsync(fd), false);
        } else if (!strcmp(op, "close")) {
            show(op, close(fd), false);
        } else if (!strcmp(op, "file") || !strcmp(op, "fileat")) {
            const char *path = i + 1 < argc ? argv[++i] : "";
            const int flags = file_flags(i + 1 < argc ? argv[++i] : "");
            fd = op[4] ? openat(fd, path, flags, 0600) : open(path, flags, 0600);
            if (fd >= 0 && nfds < max_fds)
                fds[nfds++] = fd;
            fd < 0 ? show(op, -1, false) : (void)printf("%s -> ok\n", op);
        } else if (!strcmp(op, "rename") || !strcmp(op, "renameat")) {
            const char *from = i + 1 < argc ? argv[++i] : "", *to = i + 1 < argc ? argv[++i] : "";
            show(op, op[6] ? renameat(fd, from, fd, to) : rename(from, to), false);
        } else if (!strcmp(op, "unlink") || !strcmp(op, "unlinkat")) {
            const char *path = i + 1 < argc ? argv[++i] : "";
            show(op, op[6] ? unlinkat(fd, path, 0) : unlink(path), false);
        } else if (!strcmp(op, "mkdir")) {
            show(op, mkdir(i + 1 < argc ? argv[++i] : "", 0700), false);
        } else if (!strcmp(op, "fdatasync")) {
            show(op, fdatasync(fd), false);
        } else if (!strcmp(op, "statfs")) {
            struct statfs st {};
            const int r = statfs(i + 1 < argc ? argv[++i] : "", &st);
            show_fs(op, r, st);
        } else if (!strcmp(op, "fstatfs")) {
            struct statfs st {};
            show_fs(op, fstatfs(fd, &st), st);
        } else if (!strcmp(op, "cat")) {
            cat(i + 1 < argc ? argv[++i] : "");
        } else if (!strcmp(op, "dir")) {
            list_dir(i + 1 < argc ? argv[++i] : "");
        } else if (!strcmp(op, "block")) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, signal_named(i + 1 < argc ? argv[++i] : ""));
            sigprocmask(SIG_BLOCK, &set, nullptr);
        } else if (!strcmp(op, "pending")) {
            sigset_t set;
            sigpending(&set);
            printf("pending ->");
            const char *sep = " ";
            for (int sig = 1; sig < NSIG; sig++)
                if (sigismember(&set, sig) == 1) {
                    printf("%s%s", sep, sigabbrev_np(sig));
                    sep = ",";
                }
            puts(*sep == ' ' ? " none" : "");
        } else {
            fprintf(stderr, "sim_drive: unknown operation %s\n", op);
            return 2;
        }
    }
    return 0;
}
