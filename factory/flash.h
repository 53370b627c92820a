// SPDX-License-Identifier: MIT
// The factory-data region on the raw MTD partition: the record that holds it in
// memory, and the routines that load it, erase the partition and write it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mtd/mtd-user.h>

// The partition, the number of bytes of good flash that hold the factory data, and where
// a commit keeps its journal: this build's settings (FACTORY_DEVICE, FACTORY_REGION_SIZE,
// FACTORY_JOURNAL_DIR, FIELDTOOLS_JOURNAL_REQUIRED), generated into the build tree.
#include "flash_settings.h"

// The longest cell text the value field holds, its NUL not counted.
constexpr int FACTORY_VALUE_MAX = 255;

// Most separate ranges of the image that a load records as damaged; past that, the last
// range reaches to the region's end.
constexpr int FACTORY_DAMAGE_MAX = 32;

// What a load brought in: how much of the image came from flash, and which parts of it
// came from blocks whose uncorrectable-error count grew while they were read.
struct RegionState {
    int32_t loaded;                              // image bytes read; the rest is zero
    int32_t damaged;                             // ranges in use below
    int32_t damage_start[FACTORY_DAMAGE_MAX];    // image offset of each damaged range
    int32_t damage_end[FACTORY_DAMAGE_MAX];      // and the offset just past it
};

// The one record of the read/write command: the open partition and the region's image.
struct FactoryImage {
    int32_t fd;            // descriptor of the partition; 0 until opened
    int32_t region_size;   // bytes of the region, FACTORY_REGION_SIZE
    int32_t cell_offset;   // image offset of the cell to read or write
    char value[256];       // the text to store, NUL-terminated
    char device[64];       // partition path, NUL-terminated
    char *image;           // heap buffer of commit_size bytes; null until loaded
    int32_t writing;       // nonzero for a run that will commit: write access, exclusive lock
    int32_t commit_size;   // bytes loaded: the region, and for a commit the rest of its last
                           // erase block, which belongs to others and is written back as it was
    int32_t recovery_failed; // nonzero when an interrupted commit was found and not completed
    mtd_info_user geometry;  // the partition's, as the load read it
    RegionState read;      // what the load brought in
};

// What mtd_recover found and did.
enum : int {
    recover_none = 0,          // nothing to do, or an interrupted commit completed: go on
    recover_answer = 1,        // a reader answers from the journal: the partition cannot be written
    recover_answer_failed = 2, // the same after completing failed: the run fails in the end
    recover_flash_failed = 3,  // a journal that cannot be used: a reader goes on, and fails in the end
    recover_stop = -1,         // stop now, with a failure already reported
};

// Zero the record, then set the device path and the region size.
void mtd_init_data(FactoryImage &img);

// Make the process safe to run: descriptors 0 to 2 open (on /dev/null when they were
// closed, so that the partition never becomes one of them) and SIGPIPE ignored, so that a
// reader of our messages that went away cannot end a commit halfway. Returns 0, or -1 when
// a closed descriptor cannot be filled (saying so when standard error is open).
[[nodiscard]] int mtd_prepare_process(const char *prog);

// Hold the signals that end a process by default (INT, TERM, HUP, QUIT, the user, timer,
// power and real-time ones) from here until mtd_release_signals.
void mtd_hold_signals();

// Let the held signals through again. When one arrived while they were held, says so
// ("<prog>: signal N arrived during the commit, ...") and returns -1, leaving them held so
// that the caller can finish and exit with a failure; else restores the signal mask the
// caller had and returns 0. A signal the caller itself held is left to it.
[[nodiscard]] int mtd_release_signals(const char *prog);

// Ask the partition for its geometry. Returns 0, or -1 after printing "Can't get mtd-info!"
// (also for an erase size of 0, which no block loop could step by).
[[nodiscard]] int mtd_read_geometry(int fd, mtd_info_user &info);

// The device of the partition setting `setting` into `path` (`size` bytes): the setting
// itself when it is a path; for name:NAME, /dev/mtdN of the one MTD partition named NAME,
// as /sys/class/mtd (or, without it, /proc/mtd) lists them. Returns 0, or -1 after saying
// "<prog>: no MTD partition is named NAME" or "<prog>: N MTD partitions are named NAME".
[[nodiscard]] int mtd_resolve_device(const char *prog, const char *setting, char *path, size_t size);

// Open the partition for a run that writes (O_RDWR) or only reads (O_RDONLY), and lock it
// against runs that write: exclusively for a writer, shared for readers, waiting for the
// lock. Returns the descriptor, or -1 with errno set.
[[nodiscard]] int mtd_open(const char *path, bool writing);

// The block loop: from the current position (the start of the partition), read `size`
// bytes of good flash into `buf`, stepping over bad NAND blocks. Stops early at a failed
// read (printing the "[who] read error!!" and perror lines) or when the bad-block probes
// reach the partition's end (silently). Zeroes the part of `buf` it did not fill. Where the
// device counts uncorrectable ECC errors, records the image ranges whose read raised the
// count. Fills `state`.
void mtd_read_region(int fd, const mtd_info_user &info, char *buf, int32_t size, const char *who,
                     RegionState &state);

// Whether any byte of the image range [from, to) came from flash with uncorrectable errors.
[[nodiscard]] bool mtd_damaged(const RegionState &state, int64_t from, int64_t to);

// Look, holding the partition's lock on `fd`, for the journal of an interrupted commit, and
// complete it: say "<prog>: completing an interrupted commit from PATH", commit its image as
// a commit does (signals held), remove it. A reader first trades its shared lock for the
// exclusive one on a new read-write descriptor of `device` (so `fd` may change, and is -1
// when that open fails). When a reader cannot complete it, *answer is the journal's image
// (malloc'ed; the caller frees) to answer from. A journal that does not verify or is not to
// be trusted is reported and left alone; a writer then must not commit. Returns one of the
// recover_ values.
[[nodiscard]] int mtd_recover(int &fd, const char *device, bool writing, const char *prog, char **answer);

// Mark all of a region of `size` bytes as read and sound.
void mtd_region_whole(RegionState &state, int32_t size);

// Open the device (mtd_open, with img.writing), read its geometry, complete an interrupted
// commit (mtd_recover; a reader that cannot gets the journal's image instead of a load, and
// img.recovery_failed tells that the run must fail in the end), and load the region into
// a new image buffer; a run that writes also loads the rest of the region's last erase
// block (img.commit_size). Returns -1 when the load could not start (open, geometry or
// allocation failure, or a journal that stops the run; the descriptor is closed again), else 0 with img.fd open and
// img.image and img.read set, also after a load that ended early. The caller closes and frees.
[[nodiscard]] int mtd_get_data(FactoryImage &img);

// Read a cell offset the way atoi does (leading white space, an optional sign, decimal
// digits up to the first other character; no digits give 0), saturating instead of
// overflowing. Sets *offset and returns 0 when it lies inside an image of `size` bytes;
// otherwise prints "<prog>: offset <text> is outside the factory region" and returns -1.
[[nodiscard]] int mtd_cell_offset(const char *prog, const char *text, int32_t size, int32_t *offset);

// Print the text at `pos` of the image up to its NUL, or up to the image's end when it
// has none, and a newline when asked; the text is printed byte for byte. A text that runs
// into the part of the image that could not be read, or that lies in flash with
// uncorrectable errors, is refused with a message. Returns 0, or -1 after a refusal or a
// failed write to standard output.
[[nodiscard]] int mtd_print_cell(const char *prog, const char *image, int32_t size,
                                 const RegionState &state, int32_t pos, bool newline);

// Commit: store img.value at img.cell_offset, make the image durable in the journal (or warn
// that it cannot be), put it back on the partition with mtd_commit and remove the journal,
// the termination signals held from the journal's creation to its removal. A failed commit
// that may have changed the flash keeps the journal and says where it is.
// Refuses, before anything is erased, a cell that does not fit the image and an image
// that was not read whole or holds data with uncorrectable errors. Returns 0 when the
// flash holds the image, -1 after a failure that it has reported on standard error.
[[nodiscard]] int mtd_set_data(FactoryImage &img);

// Put `length` bytes of `image` on the partition from its start, in the layout the loader
// reads: erase good blocks until `count` bytes are erased, rewind, write, sync, then read
// back and compare. A block is marked bad only once a later block has shown that the chip
// still works. A commit that has to stop after something reached the flash still writes the
// image into every block it left blank, and checks. Returns 0 when the flash holds the
// image, -1 after a failure it has reported.
[[nodiscard]] int mtd_commit(int fd, const char *image, int32_t length, int32_t count);

// Erase good blocks from the start of the partition until `count` bytes are erased
// (at least one block, even for 0), starting the commit's record of what it did to each
// block. A NAND block whose erase fails with EIO does not count; it is marked bad once the
// next erase works, and when that fails too the chip refuses and nothing is marked.
// Returns 1 when done (also when the partition ends first), 0 after a failure it has reported.
[[nodiscard]] int mtd_erase_region(int fd, uint32_t count);

// Write `length` bytes from the start of the partition in erase-block chunks, each
// followed by fsync, only into blocks that this commit erased (erasing first a block that
// mtd_erase_region did not reach). On NAND step over bad blocks; when a write fails with
// EIO or comes up short, write the data again into the next good block and mark the failed
// one bad once that works; any other failure stops. Returns the data bytes written; less
// than the length (clamped to the partition's size) after a failure it has reported.
[[nodiscard]] int32_t cgi_max_write(int fd, const unsigned char *data, int64_t length);

// Read the region back from the start of the partition the way the loader does and
// compare it with `image`. Returns 0 when equal and read without uncorrectable errors,
// else -1 after naming the first image offset that differs or is damaged.
[[nodiscard]] int mtd_check_region(int fd, const char *image, int32_t size);
