// SPDX-License-Identifier: MIT
// The journal directory as a file system that can lose unsynced work: see journal_dir.h.
//
// The model. Each file's durable data is kept under a key: i<inode> for the data last
// fsync'ed through a descriptor of that inode, d<N> for the data of a durable entry whose
// inode has left the directory. The durable entries are the directory's regular files as
// they were at its last fsync, each with the key of its data. A power cut removes every file
// that is not a durable entry and writes every durable entry back from its data (empty when
// it has none). Files that appear or change in the directory outside the simulation (a test
// writes a journal by hand) are durable as they are. Only regular files are followed;
// subdirectories, symbolic links and the like are left alone.
//
// The state outlasts the process, beside the image, so that a test can remove it with the
// image: IMAGE.durable lists the durable entries and the files as last seen, IMAGE.durable.KEY
// holds the data of one key. It is read before, and written after, every call that may
// change the directory, so that processes taking turns (under the partition's lock) share it.

#if defined _FILE_OFFSET_BITS && _FILE_OFFSET_BITS == 64
#error "built with 64-bit file offsets, statfs and fstatfs would define statfs64 and fstatfs64"
#endif

#include "journal_dir.h"
#include "preload.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// The calls that MTDSIM_FILE_FAIL fails, by the names it gives them.
enum file_call {
    fail_open, fail_write, fail_fsync, fail_rename, fail_unlink, fail_mkdir, fail_dirsync, fail_read, fail_calls
};
constexpr const char *file_call_names[fail_calls] = {"open",  "write", "fsync",   "rename",
                                                     "unlink", "mkdir", "dirsync", "read"};
// MTDSIM_FILE_FAIL's answer for a write that writes half and says so; the others are errnos.
constexpr int half_write = -1;
// Most regular files in the directory that the model follows.
constexpr int max_entries = 64;
// Most descriptors of the directory and its files open at once.
constexpr int max_open = 32;
// The key of a durable entry whose file was never synced: its data is empty.
constexpr char no_data[] = "-";

constexpr char bad_fs_msg[] = "mtdsim: MTDSIM_JOURNAL_FS is not ext4, tmpfs or ramfs: %s\n";
constexpr char bad_fail_msg[] = "mtdsim: MTDSIM_FILE_FAIL is not a list of call:answer pairs: %s\n";
constexpr char bad_dir_msg[] = "mtdsim: FACTORY_JOURNAL_DIR is too long: %s\n";
constexpr char shared_dir_msg[] = "mtdsim: FACTORY_JOURNAL_DIR holds the image; the journal needs a directory of its own: %s\n";

// The settings, read afresh when the device opens and at first use otherwise.
struct settings {
    bool loaded, active;
    char dir[PATH_MAX];      // absolute, without ".", ".." or empty components
    char real_dir[PATH_MAX]; // resolved, once it exists: the kernel's name for it
    char state[PATH_MAX];    // IMAGE.durable
    char trace[PATH_MAX];
    uint32_t fs_type;
    int fail[fail_calls];
    int fail_at[fail_calls]; // 0: every call of the kind fails; N: the Nth alone
};

// A file that will be in the directory after a power cut.
struct durable_entry {
    char name[NAME_MAX + 1];
    char key[24];
    mode_t mode;
};

// A file of the directory as last seen, to tell what changed outside the simulation since.
struct seen_entry {
    char name[NAME_MAX + 1];
    uint64_t ino, size;
    int64_t mtime, ctime; // in nanoseconds
    mode_t mode;
};

static settings cfg;
static durable_entry durable[max_entries];
static int durable_count;
static seen_entry seen[max_entries];
static int seen_count;
static unsigned long next_key; // the N of the next d<N>
// This process's last save of the state: a process that finds its own save knows that every
// change since is its own.
static char my_save[64];
static unsigned long saves;
// The descriptors opened on the directory (journal_itself) or on its files (in_journal).
struct open_file {
    int fd, where;
};
static open_file open_files[max_open];
static int open_count;

// Copy the text `from` into `to`, cut to fit.
template <size_t N> static void copy_text(char (&to)[N], const char *from)
{
    const size_t n = strnlen(from, N - 1);
    memcpy(to, from, n);
    to[n] = '\0';
}

// The path of the file `name` in the directory.
static void entry_path(char (&path)[2 * PATH_MAX], const char *name)
{
    snprintf(path, sizeof path, "%s/%.*s", cfg.dir, NAME_MAX, name);
}

// The C library's calls that the library also stands in for.
static int host_rename(const char *from, const char *to)
{
    static auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

static int host_unlink(const char *path)
{
    static auto real = next<int (*)(const char *)>("unlink");
    return real(path);
}

static DIR *host_opendir(const char *path)
{
    static auto real = next<DIR *(*)(const char *)>("opendir");
    return real(path);
}

// Write into `out` the absolute form of `path` (taken from `base` when relative) without ".",
// ".." or empty components; ".." is taken lexically. Returns 0, or -1 when it does not fit.
static int normal_path(const char *base, const char *path, char (&out)[PATH_MAX])
{
    char joined[2 * PATH_MAX + 2];
    snprintf(joined, sizeof joined, "%s/%s", path[0] == '/' ? "" : base, path);
    size_t len = 0;
    out[0] = '\0';
    char *save = nullptr;
    for (char *part = strtok_r(joined, "/", &save); part; part = strtok_r(nullptr, "/", &save)) {
        if (strcmp(part, ".") == 0)
            continue;
        if (strcmp(part, "..") == 0) {
            char *slash = strrchr(out, '/');
            len = slash ? size_t(slash - out) : 0;
            out[len] = '\0';
            continue;
        }
        const size_t room = sizeof out - len;
        if (size_t(snprintf(out + len, room, "/%s", part)) >= room)
            return -1;
        len += strlen(out + len);
    }
    if (len == 0)
        snprintf(out, sizeof out, "/");
    return 0;
}

// Learn the directory's resolved path, once it exists.
static void resolve_dir()
{
    char resolved[PATH_MAX];
    if (realpath(cfg.dir, resolved))
        copy_text(cfg.real_dir, resolved);
}

// Where the absolute, normal path `full` lies; the name of a file in the directory goes to `name`.
static int where_is(const char *full, char (&name)[NAME_MAX + 1])
{
    const char *const dirs[] = {cfg.dir, cfg.real_dir};
    for (const char *dir : dirs) {
        const size_t n = strlen(dir);
        if (n == 0 || strncmp(full, dir, n) != 0)
            continue;
        const char *rest = full + n;
        if (rest[0] == '\0') {
            snprintf(name, sizeof name, ".");
            return journal_itself;
        }
        if (rest[0] == '/' && rest[1] && !strchr(rest + 1, '/') && strlen(rest + 1) < sizeof name) {
            copy_text(name, rest + 1);
            return in_journal;
        }
    }
    return outside_journal;
}

// Read MTDSIM_FILE_FAIL's `list` into the settings. Returns 0, or -1 when it is no list.
static int parse_fail(const char *list)
{
    for (const char *item = list; *item;) {
        char text[64];
        const size_t len = strcspn(item, ",");
        if (len == 0 || len >= sizeof text)
            return -1;
        memcpy(text, item, len);
        text[len] = '\0';
        char *colon = strchr(text, ':');
        if (!colon)
            return -1;
        *colon = '\0';
        int at = 0;
        if (char *number = strchr(text, '@')) {
            char *end;
            at = int(strtol(number + 1, &end, 10));
            if (at <= 0 || *end)
                return -1;
            *number = '\0';
        }
        int call = 0;
        while (call < fail_calls && strcmp(file_call_names[call], text) != 0)
            call++;
        if (call == fail_calls)
            return -1;
        const int answer =
            call == fail_write && strcmp(colon + 1, "short") == 0 ? half_write : errno_value(colon + 1);
        if (answer == 0)
            return -1;
        cfg.fail[call] = answer;
        cfg.fail_at[call] = at;
        item += len;
        if (*item == ',')
            item++;
    }
    return 0;
}

// Calls of each kind that the model has followed in this process, device opens or not.
static int calls_seen[fail_calls];

// The answer MTDSIM_FILE_FAIL gives this call of kind `call`: an errno, half_write, or 0.
static int fault_of(int call)
{
    ++calls_seen[call];
    return cfg.fail_at[call] == 0 || cfg.fail_at[call] == calls_seen[call] ? cfg.fail[call] : 0;
}

int journal_load_settings()
{
    memset(&cfg, 0, sizeof cfg);
    cfg.loaded = true;
    cfg.fs_type = EXT4_SUPER_MAGIC;
    // Without an image there is no simulation, and nothing to keep the durable state beside.
    const char *image = getenv("MTDSIM_IMAGE");
    if (!image || !*image)
        return 0;
    const char *fs = getenv("MTDSIM_JOURNAL_FS");
    if (fs && *fs) {
        if (strcmp(fs, "tmpfs") == 0)
            cfg.fs_type = TMPFS_MAGIC;
        else if (strcmp(fs, "ramfs") == 0)
            cfg.fs_type = RAMFS_MAGIC;
        else if (strcmp(fs, "ext4") != 0) {
            fprintf(stderr, bad_fs_msg, fs);
            return -1;
        }
    }
    const char *fail = getenv("MTDSIM_FILE_FAIL");
    if (fail && parse_fail(fail) != 0) {
        memset(cfg.fail, 0, sizeof cfg.fail);
        fprintf(stderr, bad_fail_msg, fail);
        return -1;
    }
    const char *trace = getenv("MTDSIM_FILE_TRACE");
    copy_text(cfg.trace, trace ? trace : "");
    const char *dir = getenv("FACTORY_JOURNAL_DIR");
    if (!dir || !*dir)
        return 0;
    char cwd[PATH_MAX] = "/", image_path[PATH_MAX], name[NAME_MAX + 1];
    if (!getcwd(cwd, sizeof cwd))
        return 0;
    if (normal_path(cwd, dir, cfg.dir) != 0 || normal_path(cwd, image, image_path) != 0 ||
        size_t(snprintf(cfg.state, sizeof cfg.state, "%s.durable", image)) >= sizeof cfg.state - 32) {
        fprintf(stderr, bad_dir_msg, dir);
        return -1;
    }
    resolve_dir();
    // Every regular file in the directory is taken for the journal's, and a cut puts each back:
    // the image, its state and the tests' files beside it must live elsewhere.
    if (where_is(image_path, name) == in_journal) {
        fprintf(stderr, shared_dir_msg, dir);
        return -1;
    }
    cfg.active = true;
    return 0;
}

// Whether a journal directory is followed.
static bool follows()
{
    if (!cfg.loaded)
        (void)journal_load_settings();
    return cfg.active;
}

// The path that the kernel knows for descriptor `fd`, into `out`. Returns 0, or -1.
static int fd_path(int fd, char (&out)[PATH_MAX])
{
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, out, sizeof out - 1);
    if (n <= 0)
        return -1;
    out[n] = '\0';
    // The path of a file that was unlinked ends so.
    constexpr char deleted[] = " (deleted)";
    const size_t len = size_t(n), tail = sizeof deleted - 1;
    if (len > tail && strcmp(out + len - tail, deleted) == 0)
        out[len - tail] = '\0';
    return out[0] == '/' ? 0 : -1;
}

// Where the descriptor `fd` that the library saw opened lies.
static int tracked_where(int fd)
{
    for (int i = 0; i < open_count; i++)
        if (open_files[i].fd == fd)
            return open_files[i].where;
    return outside_journal;
}

// Where `path`, relative to `dirfd`, lies; the name of a file in the directory goes to `name`.
static int where_of(int dirfd, const char *path, char (&name)[NAME_MAX + 1])
{
    if (!path || !*path || !follows())
        return outside_journal;
    char base[PATH_MAX] = "/";
    if (path[0] != '/') {
        if (dirfd == AT_FDCWD) {
            if (!getcwd(base, sizeof base))
                return outside_journal;
        } else if (tracked_where(dirfd) == journal_itself) {
            copy_text(base, cfg.dir);
        } else if (fd_path(dirfd, base) != 0) {
            return outside_journal;
        }
    }
    char full[PATH_MAX];
    return normal_path(base, path, full) == 0 ? where_is(full, name) : outside_journal;
}

int journal_fd(int fd, bool by_path)
{
    if (const int where = tracked_where(fd))
        return where;
    char path[PATH_MAX], name[NAME_MAX + 1];
    if (!by_path || fd < 0 || !follows() || fd_path(fd, path) != 0)
        return outside_journal;
    if (!cfg.real_dir[0])
        resolve_dir();
    return where_is(path, name);
}

// The name that the trace gives the file open on `fd`: "." for the directory, a file's name,
// or the whole path of a file elsewhere.
static void fd_name(int fd, char (&name)[NAME_MAX + 1])
{
    char path[PATH_MAX];
    if (fd_path(fd, path) != 0)
        snprintf(name, sizeof name, "?");
    else if (where_is(path, name) == outside_journal)
        copy_text(name, path);
}

// Trace a call on the directory or its files with its answer: `r`, or -1 with errno `e`.
static void trace_answer(const char *call, long long r, int e, bool hex = false)
{
    if (!cfg.trace[0])
        return;
    char name[16];
    if (r < 0)
        append_line(cfg.trace, "%s -> -1 %s\n", call, errno_name(e, name));
    else
        append_line(cfg.trace, hex ? "%s -> 0x%llx\n" : "%s -> %lld\n", call, r);
}

// Open's flags as the trace shows them: the access mode and the flags that matter here.
static const char *flags_text(int flags, char (&text)[96])
{
    const int access = flags & O_ACCMODE;
    copy_text(text, access == O_RDONLY ? "O_RDONLY" : access == O_WRONLY ? "O_WRONLY" : "O_RDWR");
    static const struct {
        int flag;
        const char *name;
    } shown[] = {{O_CREAT, "|O_CREAT"},       {O_EXCL, "|O_EXCL"},          {O_TRUNC, "|O_TRUNC"},
                 {O_APPEND, "|O_APPEND"},     {O_NOFOLLOW, "|O_NOFOLLOW"}, {O_DIRECTORY, "|O_DIRECTORY"}};
    for (const auto &each : shown)
        if (flags & each.flag)
            strncat(text, each.name, sizeof text - strlen(text) - 1);
    return text;
}

// --- The durable state

// The file that holds the data of `key`.
static void key_path(const char *key, char (&path)[PATH_MAX + 32])
{
    snprintf(path, sizeof path, "%s.%s", cfg.state, key);
}

// The key of the data last synced through inode `ino`.
static void inode_key(uint64_t ino, char (&key)[24])
{
    snprintf(key, sizeof key, "i%llu", (unsigned long long)ino);
}

// Copy what `from` holds, from its start, to `to`. Returns 0, or -1.
static int copy_data(int from, int to)
{
    char buf[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(from, buf, sizeof buf, at);
        if (n <= 0)
            return n == 0 ? 0 : -1;
        if (pwrite(to, buf, size_t(n), at) != n)
            return -1;
        at += off_t(n);
    }
}

// Keep what `from` holds as the data of `key`.
static void keep_data(int from, const char *key)
{
    char path[PATH_MAX + 32];
    key_path(key, path);
    const int to = host_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (to < 0)
        return;
    (void)copy_data(from, to);
    host_close(to);
}

// Keep what the file open on `fd` holds as the data of `key`. A descriptor opened write-only
// cannot be read, so the file is opened afresh through the kernel's link to it.
static void keep_open_file(int fd, const char *key)
{
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const int again = host_open(link, O_RDONLY | O_CLOEXEC, 0);
    keep_data(again >= 0 ? again : fd, key);
    if (again >= 0)
        host_close(again);
}

static durable_entry *find_durable(const char *name)
{
    for (int i = 0; i < durable_count; i++)
        if (strcmp(durable[i].name, name) == 0)
            return &durable[i];
    return nullptr;
}

static const seen_entry *find_seen(const seen_entry *entries, int count, const char *name)
{
    for (int i = 0; i < count; i++)
        if (strcmp(entries[i].name, name) == 0)
            return &entries[i];
    return nullptr;
}

static bool inode_seen(uint64_t ino)
{
    for (int i = 0; i < seen_count; i++)
        if (seen[i].ino == ino)
            return true;
    return false;
}

// Whether the state still needs the data of `key`: a durable entry's, or a file's that is there.
static bool key_needed(const char *key)
{
    for (int i = 0; i < durable_count; i++)
        if (strcmp(durable[i].key, key) == 0)
            return true;
    char live[24];
    for (int i = 0; i < seen_count; i++) {
        inode_key(seen[i].ino, live);
        if (strcmp(live, key) == 0)
            return true;
    }
    return false;
}

// Whether `text` is a key: i or d and digits.
static bool is_key(const char *text)
{
    return (text[0] == 'i' || text[0] == 'd') && text[1] && strspn(text + 1, "0123456789") == strlen(text + 1);
}

// Remove the data that the state no longer needs.
static void collect_garbage()
{
    char dir[PATH_MAX];
    const char *slash = strrchr(cfg.state, '/');
    const char *base = slash ? slash + 1 : cfg.state;
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else
        snprintf(dir, sizeof dir, "%.*s", int(slash == cfg.state ? 1 : slash - cfg.state), cfg.state);
    const size_t base_len = strlen(base);
    DIR *d = host_opendir(dir);
    if (!d)
        return;
    while (const dirent64 *entry = readdir64(d)) {
        const char *key = entry->d_name + base_len + 1;
        if (strncmp(entry->d_name, base, base_len) != 0 || entry->d_name[base_len] != '.' || !is_key(key) ||
            key_needed(key))
            continue;
        char path[PATH_MAX + 32];
        key_path(key, path);
        host_unlink(path);
    }
    closedir(d);
}

// Read the state. Returns true when this process saved it last.
static bool load_state()
{
    durable_count = seen_count = 0;
    next_key = 1;
    FILE *file = fopen(cfg.state, "re");
    if (!file)
        return false;
    char line[NAME_MAX + 160], writer[64] = "";
    while (fgets(line, sizeof line, file)) {
        line[strcspn(line, "\n")] = '\0';
        char key[24];
        unsigned mode = 0;
        unsigned long long ino = 0, size = 0;
        long long mtime = 0, ctime = 0;
        int at = 0;
        if (sscanf(line, "writer %63s", writer) == 1)
            continue;
        if (sscanf(line, "next %lu", &next_key) == 1)
            continue;
        if (sscanf(line, "durable %23s %o%n", key, &mode, &at) == 2 && line[at] == ' ' && durable_count < max_entries) {
            durable_entry &d = durable[durable_count++];
            copy_text(d.name, line + at + 1);
            copy_text(d.key, key);
            d.mode = mode_t(mode);
        } else if (sscanf(line, "seen %llu %llu %lld %lld %o%n", &ino, &size, &mtime, &ctime, &mode, &at) == 5 &&
                   line[at] == ' ' && seen_count < max_entries) {
            seen_entry &s = seen[seen_count++];
            copy_text(s.name, line + at + 1);
            s.ino = ino;
            s.size = size;
            s.mtime = mtime;
            s.ctime = ctime;
            s.mode = mode_t(mode);
        }
    }
    fclose(file);
    return my_save[0] && strcmp(writer, my_save) == 0;
}

// Write the state, and drop the data it no longer needs.
static void save_state()
{
    char fresh[PATH_MAX + 8];
    snprintf(fresh, sizeof fresh, "%s.new", cfg.state);
    FILE *file = fopen(fresh, "we");
    if (!file)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    snprintf(my_save, sizeof my_save, "%ld.%lu.%lld.%ld", long(getpid()), ++saves, (long long)now.tv_sec, now.tv_nsec);
    fprintf(file, "writer %s\nnext %lu\n", my_save, next_key);
    for (int i = 0; i < durable_count; i++)
        fprintf(file, "durable %s %o %s\n", durable[i].key, unsigned(durable[i].mode), durable[i].name);
    for (int i = 0; i < seen_count; i++) {
        const seen_entry &s = seen[i];
        fprintf(file, "seen %llu %llu %lld %lld %o %s\n", (unsigned long long)s.ino, (unsigned long long)s.size,
                (long long)s.mtime, (long long)s.ctime, unsigned(s.mode), s.name);
    }
    if (fclose(file) == 0)
        host_rename(fresh, cfg.state);
    collect_garbage();
}

// Read the directory's regular files into `out`. Returns how many there are.
static int scan(seen_entry (&out)[max_entries])
{
    int count = 0;
    DIR *d = host_opendir(cfg.dir);
    if (!d)
        return 0;
    while (const dirent64 *entry = readdir64(d)) {
        struct stat64 st;
        if (count == max_entries || strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0 ||
            strchr(entry->d_name, '\n') || fstatat64(dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        seen_entry &s = out[count++];
        copy_text(s.name, entry->d_name);
        s.ino = uint64_t(st.st_ino);
        s.size = uint64_t(st.st_size);
        s.mtime = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        s.ctime = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
        s.mode = st.st_mode & 07777;
    }
    closedir(d);
    return count;
}

// Inode `ino` is new in the directory: any data kept under its number was a file's that is
// gone. A durable entry that still needs it keeps it under a key of its own.
static void detach(uint64_t ino)
{
    char key[24], moved[24], from[PATH_MAX + 32], to[PATH_MAX + 32];
    inode_key(ino, key);
    key_path(key, from);
    const bool has_data = access(from, F_OK) == 0;
    snprintf(moved, sizeof moved, "d%lu", next_key);
    bool needed = false;
    for (int i = 0; i < durable_count; i++)
        if (strcmp(durable[i].key, key) == 0) {
            needed = true;
            copy_text(durable[i].key, has_data ? moved : no_data);
        }
    if (!has_data)
        return;
    if (!needed) {
        host_unlink(from);
        return;
    }
    next_key++;
    key_path(moved, to);
    host_rename(from, to);
}

// The file `file` of the directory is durable as it is: its entry, and its data.
static void make_durable(const seen_entry &file)
{
    char key[24], path[2 * PATH_MAX];
    inode_key(file.ino, key);
    entry_path(path, file.name);
    const int fd = host_open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd >= 0) {
        keep_data(fd, key);
        host_close(fd);
    }
    durable_entry *d = find_durable(file.name);
    if (!d && durable_count < max_entries)
        d = &durable[durable_count++];
    if (!d)
        return;
    copy_text(d->name, file.name);
    copy_text(d->key, key);
    d->mode = file.mode;
}

// Forget the durable entry `name`.
static void drop_durable(const char *name)
{
    if (durable_entry *d = find_durable(name))
        *d = durable[--durable_count];
}

// Look at the directory. A new inode is a new file. When `outside` (the state was saved by
// another process), a file that is new or changed since the last look was made outside the
// simulation and is durable as it is, and one that went was removed durably.
static void look(bool outside)
{
    static seen_entry now[max_entries];
    const int count = scan(now);
    if (outside)
        for (int i = 0; i < seen_count; i++)
            if (!find_seen(now, count, seen[i].name))
                drop_durable(seen[i].name);
    for (int i = 0; i < count; i++) {
        const seen_entry *before = find_seen(seen, seen_count, now[i].name);
        if (!inode_seen(now[i].ino))
            detach(now[i].ino);
        if (outside && (!before || before->ino != now[i].ino || before->size != now[i].size ||
                        before->mtime != now[i].mtime || before->ctime != now[i].ctime))
            make_durable(now[i]);
    }
    memcpy(seen, now, sizeof now[0] * size_t(count));
    seen_count = count;
}

// Before a call that may change the directory.
static void begin()
{
    look(!load_state());
}

// After it.
static void finish()
{
    look(false);
    save_state();
}

// --- The calls

// Whether an open with `flags` may change the directory.
static bool open_changes(int flags)
{
    return flags & (O_CREAT | O_TRUNC);
}

static void trace_open(const journal_open_call &call, int fd, int e)
{
    if (!cfg.trace[0])
        return;
    char flags[96], name[16];
    if (fd >= 0)
        append_line(cfg.trace, "open %s %s\n", call.name, flags_text(call.flags, flags));
    else
        append_line(cfg.trace, "open %s %s -> -1 %s\n", call.name, flags_text(call.flags, flags), errno_name(e, name));
}

int journal_open_begin(journal_open_call &call, int dirfd, const char *path, int flags)
{
    call.flags = flags;
    call.where = where_of(dirfd, path, call.name);
    if (call.where == outside_journal)
        return 0;
    if (const int fault = fault_of(fail_open)) {
        trace_open(call, -1, fault);
        errno = fault;
        return -1;
    }
    if (open_changes(flags))
        begin();
    return 0;
}

int journal_open_end(const journal_open_call &call, int fd)
{
    if (call.where == outside_journal)
        return fd;
    const int e = errno;
    trace_open(call, fd, e);
    if (fd >= 0 && open_count < max_open)
        open_files[open_count++] = {fd, call.where};
    if (open_changes(call.flags))
        finish();
    errno = e;
    return fd;
}

int journal_file_read(int fd)
{
    const int fault = fault_of(fail_read);
    if (fault <= 0)
        return 1;
    char name[NAME_MAX + 1], call[NAME_MAX + 16];
    fd_name(fd, name);
    snprintf(call, sizeof call, "read %s", name);
    trace_answer(call, -1, fault);
    errno = fault;
    return -1;
}

ssize_t journal_write(int fd, const void *buf, size_t len, ssize_t (*real)(int, const void *, size_t))
{
    char name[NAME_MAX + 1], call[NAME_MAX + 32];
    fd_name(fd, name);
    snprintf(call, sizeof call, "write %s 0x%zx", name, len);
    const int fault = fault_of(fail_write);
    if (fault > 0) {
        trace_answer(call, -1, fault);
        errno = fault;
        return -1;
    }
    begin();
    const ssize_t r = real(fd, buf, fault == half_write && len > 1 ? len / 2 : len);
    const int e = errno;
    trace_answer(call, r, e, true);
    finish();
    errno = e;
    return r;
}

int journal_sync(int fd, int (*real)(int), const char *call)
{
    const int where = journal_fd(fd, true);
    char name[NAME_MAX + 1], text[NAME_MAX + 32];
    fd_name(fd, name);
    snprintf(text, sizeof text, "%s %s", call, name);
    if (const int fault = fault_of(where == journal_itself ? fail_dirsync : fail_fsync)) {
        trace_answer(text, -1, fault);
        errno = fault;
        return -1;
    }
    begin();
    const int r = real(fd);
    const int e = errno;
    trace_answer(text, r, e);
    look(false);
    if (r == 0 && where == journal_itself) {
        // The directory's entries as they are now are durable, each with its inode's data.
        durable_count = 0;
        for (int i = 0; i < seen_count; i++) {
            durable_entry &d = durable[durable_count++];
            copy_text(d.name, seen[i].name);
            inode_key(seen[i].ino, d.key);
            d.mode = seen[i].mode;
        }
    } else if (r == 0) {
        struct stat64 st;
        char key[24];
        if (fstat64(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            inode_key(uint64_t(st.st_ino), key);
            keep_open_file(fd, key);
        }
    }
    save_state();
    errno = e;
    return r;
}

void journal_forget(int fd, bool closing)
{
    for (int i = 0; i < open_count; i++) {
        if (open_files[i].fd != fd)
            continue;
        if (closing && cfg.trace[0]) {
            char name[NAME_MAX + 1];
            fd_name(fd, name);
            append_line(cfg.trace, "close %s\n", name);
        }
        open_files[i] = open_files[--open_count];
        return;
    }
}

void journal_power_cut()
{
    if (!follows())
        return;
    begin();
    char path[2 * PATH_MAX];
    // What was made since the directory's last sync goes.
    for (int i = 0; i < seen_count; i++)
        if (!find_durable(seen[i].name)) {
            entry_path(path, seen[i].name);
            host_unlink(path);
        }
    // What was removed, renamed away or rewritten comes back, with its durable data only.
    for (int i = 0; i < durable_count; i++) {
        const durable_entry &d = durable[i];
        entry_path(path, d.name);
        struct stat64 st;
        if (lstat64(path, &st) == 0 && !S_ISREG(st.st_mode))
            continue;
        host_unlink(path);
        const int to = host_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, d.mode);
        if (to < 0)
            continue;
        fchmod(to, d.mode);
        char data[PATH_MAX + 32];
        key_path(d.key, data);
        const int from = strcmp(d.key, no_data) != 0 ? host_open(data, O_RDONLY | O_CLOEXEC, 0) : -1;
        if (from >= 0) {
            (void)copy_data(from, to);
            host_close(from);
        }
        host_close(to);
    }
    // The directory is its durable state now, and a later process finds it as it is.
    durable_count = seen_count = 0;
    collect_garbage();
    host_unlink(cfg.state);
}

// A rename, an unlink: a call that changes the directory's entries when either path lies in it.
template <typename Call>
static int follow_entries(int call_index, const char *text, int where_a, int where_b, Call call)
{
    if (where_a == outside_journal && where_b == outside_journal)
        return call();
    if (const int fault = fault_of(call_index)) {
        trace_answer(text, -1, fault);
        errno = fault;
        return -1;
    }
    begin();
    const int r = call();
    const int e = errno;
    trace_answer(text, r, e);
    finish();
    errno = e;
    return r;
}

template <typename Call> static int follow_rename(int fromfd, const char *from, int tofd, const char *to, Call call)
{
    char a[NAME_MAX + 1], b[NAME_MAX + 1], text[3 * PATH_MAX] = "";
    const int where_a = where_of(fromfd, from, a), where_b = where_of(tofd, to, b);
    if (where_a != outside_journal || where_b != outside_journal)
        snprintf(text, sizeof text, "rename %s %s", where_a ? a : from, where_b ? b : to);
    return follow_entries(fail_rename, text, where_a, where_b, call);
}

template <typename Call> static int follow_unlink(int dirfd, const char *path, Call call)
{
    char name[NAME_MAX + 1], text[NAME_MAX + 16] = "";
    const int where = where_of(dirfd, path, name);
    if (where != outside_journal)
        snprintf(text, sizeof text, "unlink %s", name);
    return follow_entries(fail_unlink, text, where, outside_journal, call);
}

// The answer of statfs or fstatfs for the directory and its files: the settings' file system.
template <typename Statfs> static void answer_fs(Statfs *buf)
{
    buf->f_type = decltype(buf->f_type)(cfg.fs_type);
}

// Only the interposed calls leave the library.
#pragma GCC visibility push(default)
extern "C" {

int rename(const char *from, const char *to) noexcept
{
    static auto real = next<int (*)(const char *, const char *)>("rename");
    return follow_rename(AT_FDCWD, from, AT_FDCWD, to, [&] { return real(from, to); });
}

int renameat(int fromfd, const char *from, int tofd, const char *to) noexcept
{
    static auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return follow_rename(fromfd, from, tofd, to, [&] { return real(fromfd, from, tofd, to); });
}

int unlink(const char *path) noexcept
{
    static auto real = next<int (*)(const char *)>("unlink");
    return follow_unlink(AT_FDCWD, path, [&] { return real(path); });
}

int unlinkat(int dirfd, const char *path, int flags) noexcept
{
    static auto real = next<int (*)(int, const char *, int)>("unlinkat");
    return follow_unlink(dirfd, path, [&] { return real(dirfd, path, flags); });
}

int mkdir(const char *path, mode_t mode) noexcept
{
    static auto real = next<int (*)(const char *, mode_t)>("mkdir");
    char name[NAME_MAX + 1], text[NAME_MAX + 16];
    const int where = where_of(AT_FDCWD, path, name);
    if (where == outside_journal)
        return real(path, mode);
    snprintf(text, sizeof text, "mkdir %s", name);
    if (const int fault = fault_of(fail_mkdir)) {
        trace_answer(text, -1, fault);
        errno = fault;
        return -1;
    }
    const int r = real(path, mode);
    const int e = errno;
    trace_answer(text, r, e);
    // The directory's creation is durable; now it has a resolved path.
    if (r == 0 && where == journal_itself)
        resolve_dir();
    errno = e;
    return r;
}

int statfs(const char *path, struct statfs *buf) noexcept
{
    static auto real = next<int (*)(const char *, struct statfs *)>("statfs");
    char name[NAME_MAX + 1];
    const int r = real(path, buf);
    if (r == 0 && where_of(AT_FDCWD, path, name) != outside_journal)
        answer_fs(buf);
    return r;
}

int statfs64(const char *path, struct statfs64 *buf) noexcept
{
    static auto real = next<int (*)(const char *, struct statfs64 *)>("statfs64");
    char name[NAME_MAX + 1];
    const int r = real(path, buf);
    if (r == 0 && where_of(AT_FDCWD, path, name) != outside_journal)
        answer_fs(buf);
    return r;
}

int fstatfs(int fd, struct statfs *buf) noexcept
{
    static auto real = next<int (*)(int, struct statfs *)>("fstatfs");
    const int r = real(fd, buf);
    if (r == 0 && journal_fd(fd, true) != outside_journal)
        answer_fs(buf);
    return r;
}

int fstatfs64(int fd, struct statfs64 *buf) noexcept
{
    static auto real = next<int (*)(int, struct statfs64 *)>("fstatfs64");
    const int r = real(fd, buf);
    if (r == 0 && journal_fd(fd, true) != outside_journal)
        answer_fs(buf);
    return r;
}

} // extern "C"
#pragma GCC visibility pop
