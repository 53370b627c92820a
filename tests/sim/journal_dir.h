// SPDX-License-Identifier: MIT
// The journal directory (FACTORY_JOURNAL_DIR) as a file system that can lose unsynced work.
// The preload library follows the calls that a program makes on the directory and on the files
// directly in it, passes each through to the real file system, and keeps a model of what is
// durable: a file's data once it is fsync'ed, the directory's entries once the directory is.
// At a power cut the directory is put back to that durable state.
#pragma once

#include <climits>
#include <sys/types.h>

// Where a path or a descriptor lies.
constexpr int outside_journal = 0, journal_itself = 1, in_journal = 2;

// What an open in the journal directory carries from before the call to after it.
struct journal_open_call {
    int where;
    int flags;
    char name[NAME_MAX + 1];
};

// Read the settings that the journal directory follows (FACTORY_JOURNAL_DIR, MTDSIM_JOURNAL_FS,
// MTDSIM_FILE_FAIL, MTDSIM_FILE_TRACE) afresh. Returns 0 (also when no directory is followed),
// or -1 after saying why; the directory is then not followed.
[[nodiscard]] int journal_load_settings();

// Where the file open on `fd` lies: by the descriptors opened through the library, and when
// `by_path` also by the path that the kernel knows for it.
[[nodiscard]] int journal_fd(int fd, bool by_path);

// Before an open of `path` relative to `dirfd`: fill `call`. Returns 0 to go on, or -1 with
// errno set when MTDSIM_FILE_FAIL fails the open.
[[nodiscard]] int journal_open_begin(journal_open_call &call, int dirfd, const char *path, int flags);

// After the open of `call`, which answered `fd`. Returns `fd`, errno kept.
int journal_open_end(const journal_open_call &call, int fd);

// A write on `fd`, a file in the journal directory, made through `real`.
ssize_t journal_write(int fd, const void *buf, size_t len, ssize_t (*real)(int, const void *, size_t));

// A read on `fd`, a file in the journal directory: -1 with errno set when MTDSIM_FILE_FAIL
// fails it (and a trace line), else 1 to make it through the real call, untraced.
[[nodiscard]] int journal_file_read(int fd);

// An fsync or fdatasync (`call` names which) on `fd`, the journal directory or a file in it,
// made through `real`.
int journal_sync(int fd, int (*real)(int), const char *call);

// Before `fd` is closed, or after its number was handed out again: forget it.
void journal_forget(int fd, bool closing);

// The power goes: put the directory back to its durable state.
void journal_power_cut();
