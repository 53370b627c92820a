// SPDX-License-Identifier: MIT
// sim_drive OP...: drive /dev/mtd7 with the calls a flash tool makes, one line of output a call:
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
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr char device[] = "/dev/mtd7";
constexpr int max_fds = 8;
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

static int access_flags(const char *mode)
{
    return strcmp(mode, "ro") == 0 ? O_RDONLY : strcmp(mode, "wo") == 0 ? O_WRONLY : O_RDWR;
}

int main(int argc, char **argv)
{
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
        } else {
            fprintf(stderr, "sim_drive: unknown operation %s\n", op);
            return 2;
        }
    }
    return 0;
}
