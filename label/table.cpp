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
// The level the last category line was filed under: a file keeps a level's lines
// together, so most category lines find theirs without a probe of the index, whose slots
// a large file spreads far beyond the processor's caches.
static LevelEntry *last_category_level = nullptr;

// The text, or the two texts, that an index files an entry by.
struct IndexKey {
    const char *first, *second; // second is null for a key of one text
};

// An open-addressed hash of entries by a key that `key_of` takes from each entry, with
// linear probing. Its capacity is a power of two, at least twice the number of entries,
// and a null slot ends a probe. It holds one entry a key, the first that a walk of the
// list in lookup order meets, so that a lookup costs the same whatever the number of
// lines.
template <typename Entry> struct TextIndex {
    IndexKey (*key_of)(const Entry *);
    Entry **slots;
    size_t capacity, used;
};

static IndexKey raw_level_key(const LevelEntry *level)
{
    return {level->raw_level, nullptr};
}

static IndexKey level_translation_key(const LevelEntry *level)
{
    return {level->translation, nullptr};
}

static IndexKey level_pair_key(const LevelEntry *level)
{
    return {level->raw_level, level->translation};
}

static IndexKey category_translation_key(const CategoryEntry *cat)
{
    return {cat->translation, nullptr};
}

static IndexKey raw_label_key(const CategoryEntry *cat)
{
    return {cat->raw_label, nullptr};
}

// The first level of each raw level (find_level_entry), filled as levels are added:
// loading finds a category line's level there.
static TextIndex<LevelEntry> levels_by_raw{raw_level_key, nullptr, 0, 0};
// Built by the lookups that need them, once they have walked the whole table a few
// times (see walks_before_index): the first level of each translation
// (raw_level_for_translation) and of each pair of both (raw_for_translation), and the
// first category entry of each translation (raw_for_translation); apart, the first
// category entry of each raw label (find_category_entry).
static TextIndex<LevelEntry> levels_by_translation{level_translation_key, nullptr, 0, 0};
static TextIndex<LevelEntry> levels_by_pair{level_pair_key, nullptr, 0, 0};
static TextIndex<CategoryEntry> categories_by_translation{category_translation_key, nullptr, 0, 0};
static TextIndex<CategoryEntry> categories_by_label{raw_label_key, nullptr, 0, 0};
static size_t category_count = 0;

// The lookups walk the list in order until they have walked it this many times, and only
// then build their indexes: a conversion of a few names costs a few walks, and loading a
// million lines pays for no index it does not use; one of many names costs a walk to build
// them and a probe or two a name. Either way the cost grows with the table plus the names.
constexpr unsigned walks_before_index = TABLE_WALKS_BEFORE_INDEX;

// How the lookups of one kind find their entries: the walks made so far, and whether the
// indexes are built, or could not be (memory ran out: the lookups go on walking).
struct LookupState {
    unsigned walks;
    bool built, failed;
};
static LookupState translation_lookups{0, false, false}, label_lookups{0, false, false};

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

// SipHash-1-3, under the process's key, of the bytes of the key's first text, and when
// it has a second, of a NUL and the second's bytes.
static size_t key_hash(IndexKey key)
{
    if (!hash_key_drawn)
        draw_hash_key();
    uint64_t v[4] = {hash_key[0] ^ 0x736f6d6570736575u, hash_key[1] ^ 0x646f72616e646f6du,
                     hash_key[0] ^ 0x6c7967656e657261u, hash_key[1] ^ 0x7465646279746573u};
    uint64_t word = 0, length = 0;
    auto absorb = [&](unsigned char byte) {
        word |= uint64_t(byte) << (8 * (length % 8));
        if (++length % 8 == 0) {
            v[3] ^= word, sip_round(v), v[0] ^= word;
            word = 0;
        }
    };
    for (const char *p = key.first; *p; p++)
        absorb(static_cast<unsigned char>(*p));
    if (key.second) {
        absorb(0);
        for (const char *p = key.second; *p; p++)
            absorb(static_cast<unsigned char>(*p));
    }
    word |= length << 56;
    v[3] ^= word, sip_round(v), v[0] ^= word;
    v[2] ^= 0xff;
    for (int i = 0; i < 3; i++)
        sip_round(v);
    return size_t(v[0] ^ v[1] ^ v[2] ^ v[3]);
}

static bool same_key(IndexKey a, IndexKey b)
{
    return strcmp(a.first, b.first) == 0 && (!a.second || strcmp(a.second, b.second) == 0);
}

// The slot of `slots` that holds the entry filed by `key`, whose hash is `hash`, or the
// empty slot where it would go. There must be an empty slot.
template <typename Entry>
static Entry **index_slot(Entry **slots, size_t capacity, IndexKey (*key_of)(const Entry *), IndexKey key,
                          size_t hash)
{
    size_t mask = capacity - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        index_probes++;
        if (!slots[at] || same_key(key_of(slots[at]), key))
            return &slots[at];
    }
}

template <typename Entry> static Entry *find_in_index(const TextIndex<Entry> &index, IndexKey key)
{
    return index.slots ? *index_slot(index.slots, index.capacity, index.key_of, key, key_hash(key)) : nullptr;
}

// Give the empty `index` room for `count` entries (none, no slots). Returns false when
// memory ran out.
template <typename Entry> static bool size_index(TextIndex<Entry> &index, size_t count)
{
    if (count == 0)
        return true;
    size_t capacity = 64;
    while (capacity < 2 * count)
        capacity *= 2;
    index.slots = static_cast<Entry **>(calloc(capacity, sizeof(Entry *)));
    if (!index.slots)
        return false;
    index.capacity = capacity;
    return true;
}

// Make room in `index` for one more entry. Returns false when memory ran out, the index
// unchanged.
template <typename Entry> static bool reserve_index_slot(TextIndex<Entry> &index)
{
    if (2 * (index.used + 1) <= index.capacity)
        return true;
    TextIndex<Entry> bigger{index.key_of, nullptr, 0, index.used};
    if (!size_index(bigger, index.used + 1))
        return false;
    for (size_t i = 0; i < index.capacity; i++) {
        if (!index.slots[i])
            continue;
        IndexKey key = index.key_of(index.slots[i]);
        *index_slot(bigger.slots, bigger.capacity, index.key_of, key, key_hash(key)) = index.slots[i];
    }
    free(index.slots);
    index = bigger;
    return true;
}

// File `entry`, for which the index has room, under its key unless an entry filed
// earlier holds the key: the first entry of a key stays.
template <typename Entry> static void file_first(TextIndex<Entry> &index, Entry *entry, size_t hash)
{
    Entry **slot = index_slot(index.slots, index.capacity, index.key_of, index.key_of(entry), hash);
    if (!*slot) {
        *slot = entry;
        index.used++;
    }
}

template <typename Entry> static void release_index(TextIndex<Entry> &index)
{
    free(index.slots);
    index.slots = nullptr;
    index.capacity = index.used = 0;
}

LevelEntry *find_level_entry(const char *raw_level)
{
    return find_in_index(levels_by_raw, {raw_level, nullptr});
}

// Whether the lookups of `state`'s kind go through their indexes: after walks_before_index
// walks, `build` makes them (once; when it fails the lookups keep walking).
static bool use_indexes(LookupState &state, bool (*build)())
{
    if (state.built || state.failed)
        return state.built;
    if (++state.walks <= walks_before_index)
        return false;
    state.built = build();
    state.failed = !state.built;
    return state.built;
}

static bool index_translations();
static bool index_labels();

const char *raw_level_for_translation(const char *translation)
{
    if (use_indexes(translation_lookups, index_translations)) {
        const LevelEntry *level = find_in_index(levels_by_translation, {translation, nullptr});
        return level ? level->raw_level : translation;
    }
    for (const LevelEntry *level = translation_table; level; level = level->next, index_probes++)
        if (strcmp(level->translation, translation) == 0)
            return level->raw_level;
    return translation;
}

const char *raw_for_translation(const char *raw_level, const char *text)
{
    if (!use_indexes(translation_lookups, index_translations)) {
        for (const LevelEntry *level = translation_table; level; level = level->next) {
            index_probes++;
            if (strcmp(level->raw_level, raw_level) == 0 && strcmp(level->translation, text) == 0)
                return level->raw_level;
            for (const CategoryEntry *cat = level->categories; cat; cat = cat->next, index_probes++)
                if (strcmp(cat->translation, text) == 0)
                    return cat->raw_label;
        }
        return text;
    }
    // The walk of the levels in order would meet the level first when its place is not
    // after that of the category's level: a level's own translation comes before its
    // categories.
    const LevelEntry *level = find_in_index(levels_by_pair, {raw_level, text});
    const CategoryEntry *cat = find_in_index(categories_by_translation, {text, nullptr});
    if (level && (!cat || level->position <= cat->level->position))
        return level->raw_level;
    return cat ? cat->raw_label : text;
}

const CategoryEntry *find_category_entry(const LevelEntry *level, const char *raw_label)
{
    if (!use_indexes(label_lookups, index_labels)) {
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next, index_probes++)
            if (strcmp(cat->raw_label, raw_label) == 0)
                return cat;
        return nullptr;
    }
    // Every entry of a raw label is filed under the same level: the first of the label's
    // level part.
    const CategoryEntry *cat = find_in_index(categories_by_label, {raw_label, nullptr});
    return cat && cat->level == level ? cat : nullptr;
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

// Add a level holding copies of both texts at the tail, and to the index of raw levels.
// Returns the new record, or null after an allocation failure, with the table unchanged.
static LevelEntry *append_level_entry(const char *raw_level, const char *translation)
{
    if (!reserve_index_slot(levels_by_raw))
        return nullptr;
    char *raw_copy, *translation_copy;
    auto level = static_cast<LevelEntry *>(
        record_with_texts(sizeof(LevelEntry), raw_level, translation, &raw_copy, &translation_copy));
    if (!level)
        return nullptr;
    level->raw_level = raw_copy;
    level->translation = translation_copy;
    level->position = table_tail ? table_tail->position + 1 : 0;
    (table_tail ? table_tail->next : translation_table) = level;
    table_tail = level;
    // A later level of the same name stays out of the index: lookups find the first.
    file_first(levels_by_raw, level, key_hash(raw_level_key(level)));
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
    // The first level of the name, found or added: a later level line of the same name
    // never takes its place, so it may be kept for the lines that follow.
    LevelEntry *level = last_category_level;
    if (!level || strcmp(level->raw_level, raw_label) != 0)
        level = find_level_entry(raw_label);
    if (!level)
        level = append_level_entry(raw_label, "");
    raw_label[n] = cut;
    if (!level)
        return -1;
    last_category_level = level;
    char *label_copy, *translation_copy;
    auto cat = static_cast<CategoryEntry *>(
        record_with_texts(sizeof(CategoryEntry), raw_label, translation, &label_copy, &translation_copy));
    if (!cat)
        return -1;
    cat->raw_label = label_copy;
    cat->translation = translation_copy;
    cat->level = level;
    cat->next = level->categories;
    level->categories = cat;
    category_count++;
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

// The hash of `entry`'s key in `index`, whose home slot is asked of the cache ahead of
// its use. The index has slots.
template <typename Entry> static size_t prefetched_hash(const TextIndex<Entry> &index, const Entry *entry)
{
    size_t hash = key_hash(index.key_of(entry));
    __builtin_prefetch(&index.slots[hash & (index.capacity - 1)]);
    return hash;
}

// Fill `index`, sized for `count` entries, with one walk of the categories in the order in
// which the lookups take their first match: levels in order, within a level the newest
// category first. In batches: the slots of a batch are asked of the cache before the first
// of them is filed, so that the misses of an index larger than the cache overlap (a
// million lines took 570 ms to index one entry at a time, 350 ms so). Returns false when
// memory ran out.
static bool index_categories(TextIndex<CategoryEntry> &index)
{
    if (!size_index(index, category_count))
        return false;
    for (LevelEntry *level = translation_table; level; level = level->next) {
        for (CategoryEntry *cat = level->categories; cat;) {
            CategoryEntry *batch[16];
            size_t hashes[16];
            int n = 0;
            for (; cat && n < 16; cat = cat->next, n++) {
                batch[n] = cat;
                hashes[n] = prefetched_hash(index, cat);
            }
            for (int i = 0; i < n; i++)
                file_first(index, batch[i], hashes[i]);
        }
    }
    return true;
}

// Build the indexes of the lookups by translation, each the size it needs at once.
// Returns false, with none built, when memory ran out.
static bool index_translations()
{
    size_t levels = table_tail ? table_tail->position + 1 : 0;
    if (!size_index(levels_by_translation, levels) || !size_index(levels_by_pair, levels) ||
        !index_categories(categories_by_translation)) {
        release_index(levels_by_translation);
        release_index(levels_by_pair);
        release_index(categories_by_translation);
        return false;
    }
    for (LevelEntry *level = translation_table; level; level = level->next) {
        file_first(levels_by_translation, level, key_hash(level_translation_key(level)));
        file_first(levels_by_pair, level, key_hash(level_pair_key(level)));
    }
    return true;
}

// Build the index of the lookups by raw label. Returns false when memory ran out.
static bool index_labels()
{
    if (index_categories(categories_by_label))
        return true;
    release_index(categories_by_label);
    return false;
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
    last_category_level = nullptr;
    release_index(levels_by_raw);
    release_index(levels_by_translation);
    release_index(levels_by_pair);
    release_index(categories_by_translation);
    release_index(categories_by_label);
    category_count = 0;
    translation_lookups = label_lookups = {0, false, false};
}

void print_translation_table()
{
    for (const LevelEntry *level = translation_table; level; level = level->next) {
        printf("%s->%s\n", level->raw_level, level->translation);
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next)
            printf("\t%s->%s\n", cat->raw_label, cat->translation);
    }
}
