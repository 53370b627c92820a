// SPDX-License-Identifier: MIT
#include "journal.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

static constexpr char journal_suffix[] = ".journal";
static constexpr char temporary_suffix[] = ".tmp";

// The CRC-32 table of the reflected polynomial 0xEDB88320.
static constexpr std::array<uint32_t, 256> crc_table = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();

const char *journal_dir(const char *builtin)
{
    const char *dir = getenv("FACTORY_JOURNAL_DIR");
    return dir && *dir ? dir : builtin;
}

void journal_name(const char *device, char *name, size_t size)
{
    static constexpr char dev_prefix[] = "/dev/";
    if (strncmp(device, dev_prefix, sizeof dev_prefix - 1) == 0)
        device += sizeof dev_prefix - 1;
    size_t n = 0;
    for (; *device && n + sizeof journal_suffix < size; device++) {
        const char c = *device;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_' || c == '-';
        name[n++] = plain ? c : '_';
    }
    snprintf(name + n, size - n, "%s", journal_suffix);
}

uint32_t journal_crc(const void *data, size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++)
        c = crc_table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Join `dir`, `name` and `suffix` into `path`. Returns 0, or -1 with errno ENAMETOOLONG.
static int join_path(char (&path)[PATH_MAX], const char *dir, const char *name, const char *suffix)
{
    const int n = snprintf(path, sizeof path, "%s/%s%s", dir, name, suffix);
    if (n < 0 || size_t(n) >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// Sync the directory `dir`, so that the entries made or removed in it survive a power cut.
// Returns 0, or -1 with errno set.
static int sync_dir(const char *dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int result = fsync(fd);
    const int cause = errno;
    close(fd);
    errno = cause;
    return result;
}

// Why a file or directory owned by `uid` with `mode` is not to be trusted, or null when it is:
// whoever else could write it could make the next run write anything into the region.
static const char *distrust(uid_t uid, mode_t mode)
{
    if (uid != 0 && uid != geteuid())
        return "owned by another user";
    if (mode & (S_IWGRP | S_IWOTH))
        return "writable by group or others";
    return nullptr;
}

int journal_use_dir(const char *dir, bool create, const char **why)
{
    struct stat st;
    if (lstat(dir, &st) != 0) {
        if (errno != ENOENT || !create || (mkdir(dir, 0700) != 0 && errno != EEXIST)) {
            *why = strerror(errno);
            return -1;
        }
        // The new directory is an entry of its parent: make it last too.
        char parent[PATH_MAX];
        snprintf(parent, sizeof parent, "%s", dir);
        char *slash = strrchr(parent, '/');
        if (slash && slash != parent) {
            *slash = '\0';
            if (sync_dir(parent) != 0) {
                *why = strerror(errno);
                return -1;
            }
        }
        if (lstat(dir, &st) != 0) {
            *why = strerror(errno);
            return -1;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        *why = S_ISLNK(st.st_mode) ? "a symbolic link" : "not a directory";
        return -1;
    }
    if ((*why = distrust(st.st_uid, st.st_mode)) != nullptr) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int journal_dir_durable(const char *dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    struct statfs fs;
    const int asked = fstatfs(fd, &fs);
    close(fd);
    if (asked != 0)
        return 1;
    // The magic is 32 bits, which a 32-bit f_type holds as a signed number.
    const uint32_t type = uint32_t(fs.f_type);
    return type == uint32_t(TMPFS_MAGIC) || type == uint32_t(RAMFS_MAGIC) ? 0 : 1;
}

// Write all `size` bytes of `data` to `fd`. Returns 0, or -1 with errno set (ENOSPC for a
// write that made no progress).
static int write_all(int fd, const void *data, size_t size)
{
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        p += n;
        size -= size_t(n);
    }
    return 0;
}

int journal_write(const char *dir, const char *name, JournalHeader &header, const void *payload,
                  const char **why)
{
    char temporary[PATH_MAX], path[PATH_MAX];
    if (join_path(temporary, dir, name, temporary_suffix) != 0 || join_path(path, dir, name, "") != 0) {
        *why = "name too long";
        return -1;
    }
    memcpy(header.magic, JOURNAL_MAGIC, sizeof header.magic);
    header.version = JOURNAL_VERSION;
    header.header_size = sizeof header;
    header.payload_crc = journal_crc(payload, header.payload_size);
    header.header_crc = journal_crc(&header, offsetof(JournalHeader, header_crc));

    unlink(temporary);
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "create";
        return -1;
    }
    int failed = 0;
    if (write_all(fd, &header, sizeof header) != 0 || write_all(fd, payload, header.payload_size) != 0) {
        *why = "write";
        failed = -1;
    } else if (fsync(fd) != 0) {
        *why = "sync";
        failed = -1;
    }
    int cause = errno;
    if (close(fd) != 0 && failed == 0) {
        *why = "close";
        failed = -1;
        cause = errno;
    }
    if (failed == 0 && rename(temporary, path) != 0) {
        *why = "rename";
        failed = -1;
        cause = errno;
    }
    if (failed == 0 && sync_dir(dir) != 0) {
        // In place but not durable: a journal that a power cut may take is worth nothing,
        // and one that a power cut may bring back after a later commit is worse.
        *why = "sync of the directory";
        failed = -1;
        cause = errno;
        if (journal_remove(dir, name) != 0)
            unlink(path);
    }
    if (failed != 0) {
        unlink(temporary);
        errno = cause;
    }
    return failed;
}

// Read exactly `size` bytes. Returns 0; 1 when the file ends first; -1 when a read fails
// (errno says why).
static int read_all(int fd, void *data, size_t size)
{
    auto *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 1;
        p += n;
        size -= size_t(n);
    }
    return 0;
}

int journal_read(const char *dir, const char *name, JournalHeader &header, char **payload, const char **why)
{
    *payload = nullptr;
    char temporary[PATH_MAX], path[PATH_MAX];
    if (join_path(temporary, dir, name, temporary_suffix) != 0 || join_path(path, dir, name, "") != 0)
        return journal_unreadable;
    // A write that never finished left only its temporary file: the flash was not touched.
    unlink(temporary);
    // Never through a link, and never waiting on a FIFO put in its place.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return journal_missing;
        if (errno == ELOOP) {
            *why = "a symbolic link";
            return journal_untrusted;
        }
        return journal_unreadable;
    }
    struct stat st;
    int result = journal_valid;
    if (fstat(fd, &st) != 0) {
        result = journal_unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a plain file";
        result = journal_untrusted;
    } else if ((*why = distrust(st.st_uid, st.st_mode)) != nullptr) {
        result = journal_untrusted;
    } else if ((result = read_all(fd, &header, sizeof header)) != 0) {
        // A file cut short is no journal; one that could not be read may still be one.
        *why = "too short for a header";
        result = result > 0 ? journal_invalid : journal_unreadable;
    } else if (memcmp(header.magic, JOURNAL_REMOVED, sizeof header.magic) == 0) {
        // Removed, but its unlink did not last: nothing to complete.
        unlink(path);
        result = journal_missing;
    } else if (memcmp(header.magic, JOURNAL_MAGIC, sizeof header.magic) != 0) {
        *why = "not a journal";
        result = journal_invalid;
    } else if (header.version != JOURNAL_VERSION) {
        *why = "a format version this build does not read";
        result = journal_invalid;
    } else if (header.header_size != sizeof header ||
               header.header_crc != journal_crc(&header, offsetof(JournalHeader, header_crc))) {
        *why = "a damaged header";
        result = journal_invalid;
    } else if (uint64_t(st.st_size) != uint64_t(sizeof header) + header.payload_size) {
        *why = "a size that does not match its header";
        result = journal_invalid;
    } else if (!(*payload = static_cast<char *>(malloc(header.payload_size ? header.payload_size : 1)))) {
        errno = ENOMEM;
        result = journal_unreadable;
    } else if ((result = read_all(fd, *payload, header.payload_size)) != 0) {
        *why = "too short for its payload";
        result = result > 0 ? journal_invalid : journal_unreadable;
    } else if (journal_crc(*payload, header.payload_size) != header.payload_crc) {
        *why = "a payload that does not match its checksum";
        result = journal_invalid;
    }
    const int cause = errno;
    close(fd);
    if (result != journal_valid) {
        free(*payload);
        *payload = nullptr;
    }
    errno = cause;
    return result;
}

int journal_remove(const char *dir, const char *name)
{
    char path[PATH_MAX];
    if (join_path(path, dir, name, "") != 0)
        return -1;
    const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        return -1;
    if (fd >= 0) {
        const int marked = write_all(fd, JOURNAL_REMOVED, sizeof JOURNAL_REMOVED) == 0 && fsync(fd) == 0 ? 0 : -1;
        const int cause = errno;
        close(fd);
        if (marked != 0) {
            errno = cause;
            return -1;
        }
        if (unlink(path) != 0)
            return -1;
    }
    return sync_dir(dir);
}
