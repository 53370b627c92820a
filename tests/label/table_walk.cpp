// SPDX-License-Identifier: MIT
#include "table_walk.h"

#include <cstring>

const LevelEntry *walked_level(const char *raw_level)
{
    const LevelEntry *level = translation_table;
    while (level && strcmp(level->raw_level, raw_level) != 0)
        level = level->next;
    return level;
}

const char *walked_raw_level(const char *translation)
{
    for (const LevelEntry *level = translation_table; level; level = level->next)
        if (strcmp(level->translation, translation) == 0)
            return level->raw_level;
    return translation;
}

const char *walked_raw(const char *raw_level, const char *text)
{
    for (const LevelEntry *level = translation_table; level; level = level->next) {
        if (strcmp(level->raw_level, raw_level) == 0 && strcmp(level->translation, text) == 0)
            return level->raw_level;
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next)
            if (strcmp(cat->translation, text) == 0)
                return cat->raw_label;
    }
    return text;
}

const CategoryEntry *walked_category(const LevelEntry *level, const char *raw_label)
{
    const CategoryEntry *cat = level->categories;
    while (cat && strcmp(cat->raw_label, raw_label) != 0)
        cat = cat->next;
    return cat;
}
