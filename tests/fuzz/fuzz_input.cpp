// SPDX-License-Identifier: MIT
#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include "table.h"

TableAndText::TableAndText(const uint8_t *data, size_t size) : table(data), table_size(0)
{
    const void *nul = size ? memrchr(data, 0, size) : nullptr;
    const uint8_t *text_start = data;
    if (nul) {
        table_size = size_t(static_cast<const uint8_t *>(nul) - data);
        text_start = static_cast<const uint8_t *>(nul) + 1;
    }
    text.assign(reinterpret_cast<const char *>(text_start), size_t(data + size - text_start));
}

int load_table_bytes(const uint8_t *data, size_t size)
{
    // One memory file for the whole process, rewritten for each input.
    static int fd = -1;
    static char path[32];
    if (fd < 0) {
        fd = memfd_create("translations", 0);
        FUZZ_CHECK(fd >= 0);
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    release_translation_table();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == ssize_t(size));
    return load_translation_file(path);
}

void fuzz_failed(const char *file, int line, const char *what)
{
    char message[512];
    snprintf(message, sizeof message, "%s:%d: promise broken: %s", file, line, what);
    // The summary reaches the fuzzer's log also when the target's standard error is closed.
    __sanitizer_report_error_summary(message);
    abort();
}
