// SPDX-License-Identifier: MIT
#include "table.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdio_ext.h>
#include <sys/random.h>
#include <unistd.h>

#include <selinux/selinux.h>

LevelEntry *translation_table = nullptr;

unsigned long index_probes = 0;

// The last level of the list, where the next one is linked.
static LevelEntry *table_tail = nullptr;

// An open-addressed hash of the levels by raw level, holding for each raw level the
// first level of that name in the list, so that finding a category line's level costs
// the same whatever the number of levels. Its capacity is a power of two, at least
// twice the number of entries, and a null slot ends a probe.
static LevelEntry **level_index = nullptr;
static size_t index_capacity = 0, index_used = 0;

char *copy_text(const char *text)
{
    // Not strdup: the sanitizer's strdup bypasses malloc, and the tests fail
    // chosen allocations by interposing malloc.
    size_t size = strlen(text) + 1;
    auto copy = static_cast<char *>(malloc(size));
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

// The white space of the POSIX locale: blank, tab, newline, vertical tab, form
// feed, carriage return. Fixed here, so a caller's setlocale cannot change it.
static bool is_space(char c)
{
    return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr;
}

static void trim_trailing_space(char *text)
{
    size_t n = strlen(text);
    while (n > 0 && is_space(text[n - 1]))
        text[--n] = '\0';
}

// The key of the index's hash, drawn once a process: without it, names whose hashes
// share their low bits could be written on purpose (with FNV-1a, 65,536 lines took 10 s
// to load), and every level would then probe past all those before it.
static uint64_t hash_key[2];
static bool hash_key_drawn = false;

static void draw_hash_key()
{
    hash_key_drawn = true;
    if (getrandom(hash_key, sizeof hash_key, GRND_NONBLOCK) == ssize_t(sizeof hash_key))
        return;
    // No random bytes yet (early in boot, or an old kernel): the time, the process and
    // where its stack lies still differ from run to run.
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    int local = 0;
    hash_key[0] = uint64_t(now.tv_sec) * 1000000007u ^ uint64_t(now.tv_nsec);
    hash_key[1] = uint64_t(getpid()) << 32 ^ uint64_t(reinterpret_cast<uintptr_t>(&local));
}

static uint64_t rotate(uint64_t x, int bits)
{
    return x << bits | x >> (64 - bits);
}

static void sip_round(uint64_t v[4])
{
    v[0] += v[1], v[1] = rotate(v[1], 13), v[1] ^= v[0], v[0] = rotate(v[0], 32);
    v[2] += v[3], v[3] = rotate(v[3], 16), v[3] ^= v[2];
    v[0] += v[3], v[3] = rotate(v[3], 21), v[3] ^= v[0];
    v[2] += v[1], v[1] = rotate(v[1], 17), v[1] ^= v[2], v[2] = rotate(v[2], 32);
}

// SipHash-1-3 of the bytes of `text` under the process's key.
static size_t text_hash(const char *text)
{
    if (!hash_key_drawn)
        draw_hash_key();
    uint64_t v[4] = {hash_key[0] ^ 0x736f6d6570736575u, hash_key[1] ^ 0x646f72616e646f6du,
                     hash_key[0] ^ 0x6c7967656e657261u, hash_key[1] ^ 0x7465646279746573u};
    uint64_t word = 0, length = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        word |= uint64_t(*p) << (8 * (length % 8));
        if (++length % 8 == 0) {
            v[3] ^= word, sip_round(v), v[0] ^= word;
            word = 0;
        }
    }
    word |= length << 56;
    v[3] ^= word, sip_round(v), v[0] ^= word;
    v[2] ^= 0xff;
    for (int i = 0; i < 3; i++)
        sip_round(v);
    return size_t(v[0] ^ v[1] ^ v[2] ^ v[3]);
}

// The index slot that holds the level named `raw_level`, or the empty slot where it
// would go. The index must have a slot.
static LevelEntry **index_slot(LevelEntry **index, size_t capacity, const char *raw_level)
{
    size_t mask = capacity - 1;
    for (size_t at = text_hash(raw_level) & mask;; at = (at + 1) & mask) {
        index_probes++;
        if (!index[at] || strcmp(index[at]->raw_level, raw_level) == 0)
            return &index[at];
    }
}

// Make room in the index for one more level. Returns false when memory ran out, the
// index unchanged.
static bool reserve_index_slot()
{
    if (2 * (index_used + 1) <= index_capacity)
        return true;
    size_t capacity = index_capacity ? 2 * index_capacity : 64;
    auto bigger = static_cast<LevelEntry **>(calloc(capacity, sizeof(LevelEntry *)));
    if (!bigger)
        return false;
    for (size_t i = 0; i < index_capacity; i++)
        if (level_index[i])
            *index_slot(bigger, capacity, level_index[i]->raw_level) = level_index[i];
    free(level_index);
    level_index = bigger;
    index_capacity = capacity;
    return true;
}

LevelEntry *find_level_entry(const char *raw_level)
{
    if (!level_index)
        return nullptr;
    return *index_slot(level_index, index_capacity, raw_level);
}

const char *raw_level_for_translation(const char *translation)
{
    for (LevelEntry *level = translation_table; level; level = level->next)
        if (strcmp(level->translation, translation) == 0)
            return level->raw_level;
    return translation;
}

const char *raw_for_translation(const char *raw_level, const char *text)
{
    for (LevelEntry *level = translation_table; level; level = level->next) {
        if (strcmp(level->raw_level, raw_level) == 0 && strcmp(level->translation, text) == 0)
            return level->raw_level;
        for (CategoryEntry *cat = level->categories; cat; cat = cat->next)
            if (strcmp(cat->translation, text) == 0)
                return cat->raw_label;
    }
    return text;
}

// A zeroed record of `size` bytes with copies of `first` and `second` behind it, in
// one block that one free() releases: a million lines make a million blocks, not
// three million, and a walk of the table finds each record's texts beside it. Sets
// `*first_copy` and `*second_copy`; null when out of memory.
static void *record_with_texts(size_t size, const char *first, const char *second, char **first_copy,
                               char **second_copy)
{
    size_t first_size = strlen(first) + 1, second_size = strlen(second) + 1;
    auto block = static_cast<char *>(malloc(size + first_size + second_size));
    if (!block)
        return nullptr;
    memset(block, 0, size);
    *first_copy = static_cast<char *>(memcpy(block + size, first, first_size));
    *second_copy = static_cast<char *>(memcpy(block + size + first_size, second, second_size));
    return block;
}

LevelEntry *append_level_entry(const char *raw_level, const char *translation)
{
    if (!reserve_index_slot())
        return nullptr;
    char *raw_copy, *translation_copy;
    auto level = static_cast<LevelEntry *>(
        record_with_texts(sizeof(LevelEntry), raw_level, translation, &raw_copy, &translation_copy));
    if (!level)
        return nullptr;
    level->raw_level = raw_copy;
    level->translation = translation_copy;
    (table_tail ? table_tail->next : translation_table) = level;
    table_tail = level;
    // A later level of the same name stays out of the index: lookups find the first.
    LevelEntry **slot = index_slot(level_index, index_capacity, level->raw_level);
    if (!*slot) {
        *slot = level;
        index_used++;
    }
    return level;
}

// The length of the level part of `label` (see level_of_label).
static size_t level_length(const char *label)
{
    const char *cut = strchr(label, '-');
    if (!cut)
        cut = strchr(label, ':');
    return cut ? size_t(cut - label) : strlen(label);
}

char *level_of_label(const char *label)
{
    size_t n = level_length(label);
    auto level = static_cast<char *>(malloc(n + 1));
    if (level) {
        memcpy(level, label, n);
        level[n] = '\0';
    }
    return level;
}

// File a category entry under the first level with the label's level part,
// adding that level with an empty translation when there is none. The label is
// cut at its level part while that is looked up, and restored. Returns 0, or -1
// when out of memory.
static int add_category_entry(char *raw_label, const char *translation)
{
    size_t n = level_length(raw_label);
    char cut = raw_label[n];
    raw_label[n] = '\0';
    LevelEntry *level = find_level_entry(raw_label);
    if (!level)
        level = append_level_entry(raw_label, "");
    raw_label[n] = cut;
    if (!level)
        return -1;
    char *label_copy, *translation_copy;
    auto cat = static_cast<CategoryEntry *>(
        record_with_texts(sizeof(CategoryEntry), raw_label, translation, &label_copy, &translation_copy));
    if (!cat)
        return -1;
    cat->raw_label = label_copy;
    cat->translation = translation_copy;
    cat->next = level->categories;
    level->categories = cat;
    return 0;
}

// Add the entry that one line of the file describes; lines that describe none
// are skipped. Cuts the line in place. Returns 0, or -1 when out of memory.
static int add_line(char *line)
{
    char *left = line;
    while (is_space(*left))
        left++;
    if (*left == '#')
        return 0;
    while (*left == '=')
        left++;
    char *eq = strchr(left, '=');
    if (!eq)
        return 0;
    *eq = '\0';
    char *right = eq + 1;
    trim_trailing_space(left);
    trim_trailing_space(right);
    // A left side of white space alone (as in "= = ==") names no level.
    if (*left == '\0' || *right == '\0')
        return 0;
    if (!strpbrk(left, "-:"))
        return append_level_entry(left, right) ? 0 : -1;
    return add_category_entry(left, right);
}

int load_translation_file(const char *path)
{
    if (!path)
        return 1;
    FILE *file = fopen(path, "r");
    if (!file)
        return 1;
    __fsetlocking(file, FSETLOCKING_BYCALLER);
    char *line = nullptr;
    size_t size = 0;
    int added = 0;
    // A NUL inside a line ends its text there; the bytes after it are ignored.
    while (getdelim(&line, &size, '\n', file) != -1)
        if ((added = add_line(line)) != 0)
            break;
    // getdelim gives -1 at the end of the file, and also when a read fails (a
    // directory opens but cannot be read) or its buffer cannot grow: only the end
    // leaves the end-of-file mark alone.
    bool whole = added == 0 && feof(file) && !ferror(file);
    free(line);
    fclose(file);
    // Later lines shadow earlier ones and name the fallback level, so the lines
    // before a failure would answer differently from the whole file: none count.
    if (!whole) {
        release_translation_table();
        return 1;
    }
    return 0;
}

int load_translation_table()
{
    if (is_selinux_mls_enabled() <= 0)
        return 1;
    return load_translation_file(selinux_translations_path());
}

void release_translation_table()
{
    LevelEntry *level = translation_table;
    while (level) {
        LevelEntry *next_level = level->next;
        // Each record holds its texts (record_with_texts).
        CategoryEntry *cat = level->categories;
        while (cat) {
            CategoryEntry *next_cat = cat->next;
            free(cat);
            cat = next_cat;
        }
        free(level);
        level = next_level;
    }
    translation_table = nullptr;
    table_tail = nullptr;
    free(level_index);
    level_index = nullptr;
    index_capacity = index_used = 0;
}

void print_translation_table()
{
    for (const LevelEntry *level = translation_table; level; level = level->next) {
        printf("%s->%s\n", level->raw_level, level->translation);
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next)
            printf("\t%s->%s\n", cat->raw_label, cat->translation);
    }
}
