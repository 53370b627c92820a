// SPDX-License-Identifier: MIT
// The MLS translation table: the pairs of raw and translated texts that the
// system's translations file lists, held in one process-wide list.
//
// Every text is a NUL-terminated byte string, compared exactly (strcmp). Nothing
// is unique: each lookup takes the first match in list order, levels in the
// order they were added, and within a level the newest category entry first.
// Lookups find that entry by walking the list a few times, then through indexes
// built once for all the lookups of their kind, so that a conversion costs time in
// proportion to the table plus its names, whatever their numbers.
// The table owns its records and texts (a record and its texts are one block);
// lookups hand out borrowed pointers that stay valid until
// release_translation_table.
#pragma once

#include <cstdlib>
#include <memory>

// A text that its holder frees with free().
using owned_text = std::unique_ptr<char, decltype(&free)>;

struct LevelEntry;

// One raw label that is more than a bare level, e.g. s0:c0 or s0-s15:c0.c1023.
struct CategoryEntry {
    char *raw_label;         // the whole left side of its line, level included
    char *translation;       // never empty
    CategoryEntry *next;     // the following entry of the same level
    const LevelEntry *level; // the level whose list holds it
};

// One sensitivity level, e.g. s0.
struct LevelEntry {
    char *raw_level;           // empty only for a level made for a line such as :c0=X
    char *translation;         // empty exactly when a category line created the level
    CategoryEntry *categories; // newest first
    LevelEntry *next;          // levels stay in the order they were added
    size_t position;           // its place in the list, from 0
};

// Head of the table; null while the table is empty.
extern LevelEntry *translation_table;

// How many times the lookups of one kind walk the list before they build their
// indexes (a failure to build them leaves them walking, with the same answers).
constexpr unsigned TABLE_WALKS_BEFORE_INDEX = 8;

// The number of index slots and list entries that loads and lookups have examined
// since the process started: the tests read it to check what lookups cost.
extern unsigned long index_probes;

// Fill the empty table from the translations file that libselinux names, if MLS
// is enabled. Returns 0 when the file was read to its end, and 1, the table left
// empty, when MLS is off or the file could not be read whole (see
// load_translation_file). Writes nothing.
[[nodiscard]] int load_translation_table();

// Fill the empty table from the file at `path` (null counts as a file that cannot
// be opened); malformed lines are skipped. Returns 0 when every line was read and
// filed, and 1, the table left empty, when the file cannot be opened, is no
// readable file (a directory), or could not be read to its end: a read failed
// or memory ran out.
[[nodiscard]] int load_translation_file(const char *path);

// The first level whose raw level equals `raw_level`, or null.
[[nodiscard]] LevelEntry *find_level_entry(const char *raw_level);

// The first of `level`'s category entries whose raw label is `raw_label`, or null.
[[nodiscard]] const CategoryEntry *find_category_entry(const LevelEntry *level, const char *raw_label);

// The raw level of the first level whose translation equals `translation`, or
// `translation` itself when none does. Callers detect "no match" by comparing
// texts, so a level that maps a text to itself also counts as no match.
[[nodiscard]] const char *raw_level_for_translation(const char *translation);

// The raw text for `text` as a translation, as a walk of the levels in order meets
// it first: a level whose raw level is `raw_level` and whose translation is `text`
// gives its raw level; otherwise the first of its category entries translated as
// `text` gives its raw label, whatever the level. Returns `text` itself when
// nothing matches.
[[nodiscard]] const char *raw_for_translation(const char *raw_level, const char *text);

// The level part of a label, a new text the caller frees: the text before the
// first '-', else before the first ':', else all of it. Null when out of memory.
[[nodiscard]] char *level_of_label(const char *label);

// Free every record and text, and the indexes; the table is empty afterwards.
void release_translation_table();

// Write "raw->translation" for each level in order, each followed by its
// category entries as "\traw->translation", front to back, to standard output.
void print_translation_table();

// A new malloc'ed copy of `text`, or null when out of memory. Used for every copy
// the module makes, so that all its allocations go through malloc.
[[nodiscard]] char *copy_text(const char *text);
