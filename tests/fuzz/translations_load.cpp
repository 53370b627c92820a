// SPDX-License-Identifier: MIT
// Load a translations file made of arbitrary bytes, then check the table against the
// promises of table.h and the README: every entry comes from one line, trimmed, filed
// under its level.
#include <cstring>

#include "fuzz_input.h"
#include "table.h"
#include "table_walk.h"

// Whether `text` ends in the white space that loading trims.
static bool ends_in_space(const char *text)
{
    size_t n = strlen(text);
    return n > 0 && strchr(" \t\n\v\f\r", text[n - 1]) != nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A memory file always opens and reads.
    FUZZ_CHECK(load_table_bytes(data, size) == 0);
    for (const LevelEntry *level = translation_table; level; level = level->next) {
        // A level is cut at the first '-' of a label, else at its first ':', so a ':'
        // (s0:c0 of s0:c0-s1) or an empty raw level only comes from a category line, as
        // does an empty translation.
        FUZZ_CHECK(!strpbrk(level->raw_level, "-\n"));
        FUZZ_CHECK(!strchr(level->translation, '\n') && !ends_in_space(level->translation));
        if (!*level->raw_level || strchr(level->raw_level, ':') || !*level->translation)
            FUZZ_CHECK(!*level->translation && level->categories);
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next) {
            FUZZ_CHECK(strpbrk(cat->raw_label, "-:") && !strchr(cat->raw_label, '\n'));
            FUZZ_CHECK(*cat->translation && !strchr(cat->translation, '\n'));
            FUZZ_CHECK(!ends_in_space(cat->raw_label) && !ends_in_space(cat->translation));
            owned_text level_part(level_of_label(cat->raw_label), &free);
            FUZZ_CHECK(level_part && strcmp(level_part.get(), level->raw_level) == 0);
            FUZZ_CHECK(cat->level == level);
            // The indexes find what a walk finds: the newest entry of a label in its
            // level, and the first match of a translation.
            const CategoryEntry *newest = level->categories;
            while (strcmp(newest->raw_label, cat->raw_label) != 0)
                newest = newest->next;
            FUZZ_CHECK(find_category_entry(level, cat->raw_label) == newest);
            FUZZ_CHECK(raw_for_translation(level->raw_level, cat->translation) ==
                       walked_raw(level->raw_level, cat->translation));
        }
        // Lookups by raw level find the first level of that name, by translation the
        // first level of that translation.
        const LevelEntry *first = find_level_entry(level->raw_level);
        FUZZ_CHECK(first && strcmp(first->raw_level, level->raw_level) == 0);
        const LevelEntry *named = translation_table;
        while (strcmp(named->translation, level->translation) != 0)
            named = named->next;
        FUZZ_CHECK(raw_level_for_translation(level->translation) == named->raw_level);
        FUZZ_CHECK(raw_for_translation(level->raw_level, level->translation) ==
                   walked_raw(level->raw_level, level->translation));
    }
    release_translation_table();
    return 0;
}
