// SPDX-License-Identifier: MIT
/* mtdprobe [-r] DEVICE OP [ARG]...: make raw calls on an MTD character device, opened
 * read-write (read-only with -r), and print what the kernel answers, one line a call,
 * in the simulator's trace format:
 *
 *   info                  "info type T size S erasesize E writesize W"
 *   getbad OFFSET         "getbad OFFSET -> ANSWER [ERRNO]"
 *   setbad OFFSET         "setbad OFFSET -> ANSWER [ERRNO]"
 *   erase OFFSET LENGTH   "erase OFFSET LENGTH -> ANSWER [ERRNO]"
 *   seek OFFSET           "lseek OFFSET SEEK_SET -> POSITION"
 *   pos                   "lseek 0x0 SEEK_CUR -> POSITION"
 *   write LENGTH BYTE     "write POSITION LENGTH -> ANSWER [ERRNO]", LENGTH copies of BYTE
 *   read LENGTH           "read POSITION LENGTH -> ANSWER [ERRNO] = BYTE*COUNT ..."
 *   fsync                 "fsync -> ANSWER [ERRNO]"
 *   eccstats              "eccstats corrected C failed F badblocks B"
 *
 * The bytes a read returns are summed up by value, in increasing order. Numbers are
 * taken in any base strtoul reads. Runs in the guest, linked statically.
 */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static const char usage_msg[] = "usage: mtdprobe [-r] DEVICE OP [ARG]...\n";
static const char open_fail_msg[] = "mtdprobe: cannot open %s: %s\n";
static const char bad_op_msg[] = "mtdprobe: unknown call or missing argument at '%s'\n";
static const char no_memory_msg[] = "mtdprobe: out of memory\n";

static int fd;

/* The errno names the MTD calls are seen to answer; others print as numbers. */
static void print_answer(long long answer, int cause)
{
    static const struct { int code; const char *name; } names[] = {
        {EINVAL, "EINVAL"}, {EIO, "EIO"}, {EBADMSG, "EBADMSG"}, {EUCLEAN, "EUCLEAN"},
        {EOPNOTSUPP, "EOPNOTSUPP"}, {EROFS, "EROFS"}, {EPERM, "EPERM"}, {EFAULT, "EFAULT"},
        {ENOSPC, "ENOSPC"}, {ENOTTY, "ENOTTY"}, {EACCES, "EACCES"}, {EBADF, "EBADF"},
    };
    if (answer >= 0) {
        printf(" -> %lld", answer);
        return;
    }
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (names[i].code == cause) {
            printf(" -> %lld %s", answer, names[i].name);
            return;
        }
    printf(" -> %lld errno %d", answer, cause);
}

static unsigned long long number(const char *text)
{
    return strtoull(text, NULL, 0);
}

static long long position(void)
{
    return (long long)lseek(fd, 0, SEEK_CUR);
}

static int call_info(void)
{
    struct mtd_info_user info;
    if (ioctl(fd, MEMGETINFO, &info) != 0) {
        printf("info");
        print_answer(-1, errno);
        putchar('\n');
        return 0;
    }
    printf("info type %u size 0x%x erasesize 0x%x writesize 0x%x\n", (unsigned)info.type,
           info.size, info.erasesize, info.writesize);
    return 0;
}

static int call_bad(unsigned long request, const char *name, const char *offset_text)
{
    /* The ioctl takes a 64-bit offset whatever the C library calls it. */
    int64_t offset = (int64_t)number(offset_text);
    printf("%s 0x%llx", name, (unsigned long long)offset);
    const int answer = ioctl(fd, request, &offset);
    print_answer(answer, errno);
    putchar('\n');
    return 0;
}

static int call_erase(const char *start_text, const char *length_text)
{
    struct erase_info_user request = {(uint32_t)number(start_text), (uint32_t)number(length_text)};
    printf("erase 0x%x 0x%x", request.start, request.length);
    const int answer = ioctl(fd, MEMERASE, &request);
    print_answer(answer, errno);
    putchar('\n');
    return 0;
}

static int call_seek(const char *offset_text)
{
    const unsigned long long offset = number(offset_text);
    printf("lseek 0x%llx SEEK_SET", offset);
    const long long answer = (long long)lseek(fd, (off_t)offset, SEEK_SET);
    if (answer >= 0)
        printf(" -> 0x%llx\n", answer);
    else {
        print_answer(answer, errno);
        putchar('\n');
    }
    return 0;
}

static int call_write(const char *length_text, const char *byte_text)
{
    const size_t length = (size_t)number(length_text);
    unsigned char *data = malloc(length ? length : 1);
    if (!data) {
        fputs(no_memory_msg, stderr);
        return -1;
    }
    memset(data, (int)number(byte_text), length);
    printf("write 0x%llx 0x%zx", position(), length);
    const ssize_t answer = write(fd, data, length);
    const int cause = errno;
    free(data);
    if (answer >= 0)
        printf(" -> 0x%zx\n", (size_t)answer);
    else {
        print_answer(answer, cause);
        putchar('\n');
    }
    return 0;
}

static int call_read(const char *length_text)
{
    const size_t length = (size_t)number(length_text);
    unsigned char *data = malloc(length ? length : 1);
    if (!data) {
        fputs(no_memory_msg, stderr);
        return -1;
    }
    printf("read 0x%llx 0x%zx", position(), length);
    const ssize_t answer = read(fd, data, length);
    if (answer < 0) {
        print_answer(answer, errno);
        putchar('\n');
        free(data);
        return 0;
    }
    printf(" -> 0x%zx =", (size_t)answer);
    size_t count[256] = {0};
    for (ssize_t i = 0; i < answer; i++)
        count[data[i]]++;
    for (int value = 0; value < 256; value++)
        if (count[value])
            printf(" %02x*%zu", value, count[value]);
    putchar('\n');
    free(data);
    return 0;
}

static int call_fsync(void)
{
    printf("fsync");
    const int answer = fsync(fd);
    print_answer(answer, errno);
    putchar('\n');
    return 0;
}

static int call_eccstats(void)
{
    struct mtd_ecc_stats stats;
    printf("eccstats");
    if (ioctl(fd, ECCGETSTATS, &stats) != 0)
        print_answer(-1, errno);
    else
        printf(" corrected %u failed %u badblocks %u", stats.corrected, stats.failed, stats.badblocks);
    putchar('\n');
    return 0;
}

/* Run the call at argv[0]. Returns the arguments it used (the call included), or -1
 * after saying why. */
static int run_call(int argc, char **argv)
{
    const char *op = argv[0];
    int status = 0;
    int used = 1;
    if (strcmp(op, "info") == 0)
        status = call_info();
    else if (strcmp(op, "pos") == 0)
        printf("lseek 0x0 SEEK_CUR -> 0x%llx\n", position());
    else if (strcmp(op, "fsync") == 0)
        status = call_fsync();
    else if (strcmp(op, "eccstats") == 0)
        status = call_eccstats();
    else if (argc >= 2 && strcmp(op, "getbad") == 0)
        status = call_bad(MEMGETBADBLOCK, "getbad", argv[used++]);
    else if (argc >= 2 && strcmp(op, "setbad") == 0)
        status = call_bad(MEMSETBADBLOCK, "setbad", argv[used++]);
    else if (argc >= 2 && strcmp(op, "seek") == 0)
        status = call_seek(argv[used++]);
    else if (argc >= 2 && strcmp(op, "read") == 0)
        status = call_read(argv[used++]);
    else if (argc >= 3 && strcmp(op, "erase") == 0) {
        status = call_erase(argv[1], argv[2]);
        used = 3;
    } else if (argc >= 3 && strcmp(op, "write") == 0) {
        status = call_write(argv[1], argv[2]);
        used = 3;
    } else {
        fprintf(stderr, bad_op_msg, op);
        return -1;
    }
    fflush(stdout);
    return status == 0 ? used : -1;
}

int main(int argc, char **argv)
{
    int first = 1;
    int access = O_RDWR;
    if (argc > 1 && strcmp(argv[1], "-r") == 0) {
        access = O_RDONLY;
        first++;
    }
    if (argc < first + 2) {
        fputs(usage_msg, stderr);
        return 2;
    }
    fd = open(argv[first], access);
    if (fd < 0) {
        fprintf(stderr, open_fail_msg, argv[first], strerror(errno));
        return 2;
    }
    for (int i = first + 1; i < argc;) {
        const int used = run_call(argc - i, argv + i);
        if (used < 0) {
            close(fd);
            return 2;
        }
        i += used;
    }
    close(fd);
    return 0;
}
