// SPDX-License-Identifier: MIT
// The journal of a commit: a file holding the image that a commit is about to write, made
// durable before the first erase, so that a run after a power cut can finish the commit.
// This part is only the file: its format, a durable write, a verified read and a durable
// removal. It knows nothing of flash; the numbers in the header are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>

// The first bytes of every journal, and the format this build writes and reads.
constexpr char JOURNAL_MAGIC[8] = {'C', 'E', 'L', 'L', 'J', 'N', 'L', '\n'};
// The magic that journal_remove writes over a journal before it unlinks it: should the unlink
// not last, the journal that a power cut brings back says it was removed.
constexpr char JOURNAL_REMOVED[8] = {'C', 'E', 'L', 'L', 'G', 'O', 'N', 'E'};
constexpr uint32_t JOURNAL_VERSION = 1;

// The header, followed in the file by exactly payload_size bytes of payload. Fields are in
// the byte order of the machine that wrote them: a journal never leaves its device.
struct JournalHeader {
    char magic[8];           // JOURNAL_MAGIC
    uint32_t version;        // JOURNAL_VERSION
    uint32_t header_size;    // sizeof(JournalHeader)
    char device[64];         // the partition setting the journal belongs to, NUL-padded
    uint32_t partition_size; // the partition's size and erase size when it was written
    uint32_t erasesize;
    uint32_t region_size;    // bytes of the region at the payload's start
    uint32_t payload_size;   // the region and what follows it up to its last erase block's end
    uint32_t payload_crc;    // CRC-32 of the payload
    uint32_t header_crc;     // CRC-32 of every byte of the header before this field
};

// What journal_read found.
enum : int {
    journal_valid = 0,      // a whole, verified journal; the payload is the caller's
    journal_missing = 1,    // no journal of that name
    journal_invalid = -1,   // something of that name that does not verify
    journal_untrusted = -2, // a file that someone else could have written, or no plain file
    journal_unreadable = -3 // it could not be looked at (errno says why)
};

// The directory journals live in: $FACTORY_JOURNAL_DIR when set and not empty, else `builtin`.
[[nodiscard]] const char *journal_dir(const char *builtin);

// Write into `name` (at most `size` bytes) the file name of the journal of partition setting
// `device`: the setting without a leading "/dev/", each byte other than a letter, a digit,
// '.', '_' or '-' replaced by '_', and ".journal" ("/dev/mtd7" gives "mtd7.journal").
void journal_name(const char *device, char *name, size_t size);

// CRC-32 (the polynomial of zlib and Ethernet) of `size` bytes.
[[nodiscard]] uint32_t journal_crc(const void *data, size_t size);

// Make sure `dir` can hold journals: create it with mode 0700 when it is missing and its
// parent exists, then check that it is a plain directory owned by root or by us and not
// writable by group or others. Returns 0; or -1 with errno set (ENOTDIR, EPERM for a
// directory that is not to be trusted, or what the system said) and *why naming the cause.
[[nodiscard]] int journal_use_dir(const char *dir, bool create, const char **why);

// Whether files in `dir` survive a power cut: 0 when it is on a tmpfs or ramfs, 1 otherwise
// (also when the file system cannot be asked).
[[nodiscard]] int journal_dir_durable(const char *dir);

// Write header and payload durably as `dir`/`name`: into a new temporary file `name`.tmp
// (created exclusively, never through a symbolic link, mode 0600; a leftover of that name is
// removed first), synced, renamed into place, and the directory synced. Fills in the
// header's magic, version, sizes and checksums. Returns 0, or -1 with errno set and *why
// naming the step that failed; then nothing of the new journal is left.
[[nodiscard]] int journal_write(const char *dir, const char *name, JournalHeader &header, const void *payload,
                                const char **why);

// Read and verify the journal `dir`/`name`. On journal_valid, fills `header` and sets
// *payload to a new buffer of header.payload_size bytes that the caller frees; otherwise
// *payload is null and, for journal_invalid and journal_untrusted, *why says what is wrong.
// A leftover temporary file of a write that never finished is removed, and so is a journal
// marked removed whose unlink did not last (both then count as journal_missing).
[[nodiscard]] int journal_read(const char *dir, const char *name, JournalHeader &header, char **payload,
                               const char **why);

// Remove the journal `dir`/`name` durably: mark it removed (JOURNAL_REMOVED, synced), unlink
// it, then sync the directory. Returns 0 (also when it was already gone), or -1 with errno
// set when the removal may not last (the mark, when it was synced, still keeps a journal
// that comes back from being replayed).
[[nodiscard]] int journal_remove(const char *dir, const char *name);
