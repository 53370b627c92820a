// SPDX-License-Identifier: MIT
// Helpers of the fuzz targets: a translations file made from the fuzzer's bytes, and the
// split of one input into a table and a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One input of the label targets: the translations file, a NUL, then the text. The split
// is at the last NUL, so the file may hold NULs of its own; an input without one is all
// text, over an empty table.
struct TableAndText {
    TableAndText(const uint8_t *data, size_t size);
    const uint8_t *table;
    size_t table_size;
    std::string text;
};

// Release the table, then load it from `size` bytes at `data` through a memory file,
// as load_translation_file reads a file on disk. Returns load_translation_file's result.
int load_table_bytes(const uint8_t *data, size_t size);

// Stop the run with a message when a promise does not hold; libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond))                                                                       \
            fuzz_failed(__FILE__, __LINE__, #cond);                                        \
    } while (0)
[[noreturn]] void fuzz_failed(const char *file, int line, const char *what);
