// SPDX-License-Identifier: MIT
#include "table.h"

#include <cstdio>
#include <cstring>
#include <stdio_ext.h>

#include <selinux/selinux.h>

LevelEntry *translation_table = nullptr;

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

LevelEntry *find_level_entry(const char *raw_level)
{
    for (LevelEntry *level = translation_table; level; level = level->next)
        if (strcmp(level->raw_level, raw_level) == 0)
            return level;
    return nullptr;
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

LevelEntry *append_level_entry(const char *raw_level, const char *translation)
{
    auto level = static_cast<LevelEntry *>(calloc(1, sizeof(LevelEntry)));
    if (!level)
        return nullptr;
    level->raw_level = copy_text(raw_level);
    level->translation = level->raw_level ? copy_text(translation) : nullptr;
    if (!level->translation) {
        free(level->raw_level);
        free(level);
        return nullptr;
    }
    LevelEntry **tail = &translation_table;
    while (*tail)
        tail = &(*tail)->next;
    *tail = level;
    return level;
}

char *level_of_label(const char *label)
{
    const char *cut = strchr(label, '-');
    if (!cut)
        cut = strchr(label, ':');
    size_t n = cut ? size_t(cut - label) : strlen(label);
    auto level = static_cast<char *>(malloc(n + 1));
    if (level) {
        memcpy(level, label, n);
        level[n] = '\0';
    }
    return level;
}

// File a category entry under the first level with the label's level part,
// adding that level with an empty translation when there is none. Returns 0, or
// -1 when out of memory; a level added for the entry then stays.
static int add_category_entry(const char *raw_label, const char *translation)
{
    owned_text level_part(level_of_label(raw_label), &free);
    if (!level_part)
        return -1;
    LevelEntry *level = find_level_entry(level_part.get());
    if (!level)
        level = append_level_entry(level_part.get(), "");
    if (!level)
        return -1;
    auto cat = static_cast<CategoryEntry *>(calloc(1, sizeof(CategoryEntry)));
    if (!cat)
        return -1;
    cat->raw_label = copy_text(raw_label);
    cat->translation = cat->raw_label ? copy_text(translation) : nullptr;
    if (!cat->translation) {
        free(cat->raw_label);
        free(cat);
        return -1;
    }
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
    bool read_any = false;
    // A NUL inside a line ends its text there; the bytes after it are ignored.
    while (getdelim(&line, &size, '\n', file) != -1) {
        read_any = true;
        if (add_line(line) != 0)
            break;
    }
    // A first read that fails (a directory opens but cannot be read) means there
    // is no readable file; a later one ends the file early.
    int result = (!read_any && ferror(file)) ? 1 : 0;
    free(line);
    fclose(file);
    return result;
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
        free(level->raw_level);
        free(level->translation);
        CategoryEntry *cat = level->categories;
        while (cat) {
            CategoryEntry *next_cat = cat->next;
            free(cat->raw_label);
            free(cat->translation);
            free(cat);
            cat = next_cat;
        }
        free(level);
        level = next_level;
    }
    translation_table = nullptr;
}

void print_translation_table()
{
    for (const LevelEntry *level = translation_table; level; level = level->next) {
        printf("%s->%s\n", level->raw_level, level->translation);
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next)
            printf("\t%s->%s\n", cat->raw_label, cat->translation);
    }
}
