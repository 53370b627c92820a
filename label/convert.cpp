// SPDX-License-Identifier: MIT
#include "convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include <selinux/context.h>

#include "table.h"

// The sensitivity that stands in when a translated text names none.
static const char default_level[] = "s0";

// A new text made with a printf format, or null when out of memory.
[[gnu::format(printf, 1, 2)]] static char *format_text(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    int length = vasprintf(&text, format, args);
    va_end(args);
    return length < 0 ? nullptr : text;
}

// find_raw_level, telling a text that names no level (0, `*level` null) from one
// that could not be copied (-1).
static int raw_level_of(const char *text, const char **level)
{
    *level = nullptr;
    owned_text part(copy_text(text), &free);
    if (!part)
        return -1;
    if (char *dash = strchr(part.get(), '-'))
        *dash = '\0';
    if (char *colon = strchr(part.get(), ':'))
        *colon = '\0';
    const char *raw = raw_level_for_translation(part.get());
    if (strcmp(raw, part.get()) != 0) {
        *level = raw;
        return 0;
    }
    const char *fallback = raw_level_for_translation("");
    if (*fallback)
        *level = fallback;
    return 0;
}

const char *find_raw_level(const char *text)
{
    const char *level;
    (void)raw_level_of(text, &level);
    return level;
}

// The sensitivity that a translated text converts with: find_raw_level's answer,
// or the default level. Null only when memory ran out; guessing "s0" then would
// turn, say, Secret:Red into s0:c2 instead of s1:c2.
static const char *sensitivity_of(const char *text)
{
    const char *level;
    if (raw_level_of(text, &level) != 0)
        return nullptr;
    return level ? level : default_level;
}

// The first step of both conversions: the sensitivity that `text` converts with, in
// `*level`, and in `*whole` the raw text the table holds for `text` as a whole, or null
// when it holds none. Returns -1 when memory ran out.
static int whole_lookup(const char *text, const char **level, const char **whole)
{
    *level = sensitivity_of(text);
    if (!*level)
        return -1;
    const char *raw = raw_for_translation(*level, text);
    *whole = strcmp(raw, text) != 0 ? raw : nullptr;
    return 0;
}

char *untranslate_level(const char *text)
{
    const char *level, *whole;
    if (whole_lookup(text, &level, &whole) != 0)
        return nullptr;
    if (whole)
        return copy_text(whole);
    if (strcmp(text, level) == 0)
        return copy_text(text);
    // Every later failure gives back the text as it came.
    owned_text unchanged(copy_text(text), &free);
    if (!unchanged)
        return nullptr;
    const char *colon = strchr(text, ':');
    const char *cats = colon ? colon + 1 : text;
    if (strcmp(raw_for_translation(level, cats), level) == 0)
        return copy_text(level);
    owned_text result(format_text("%s:", level), &free);
    owned_text tokens(result ? copy_text(cats) : nullptr, &free);
    if (!tokens)
        return unchanged.release();
    const char *separator = "";
    char *save = nullptr;
    for (char *token = strtok_r(tokens.get(), ",", &save); token; token = strtok_r(nullptr, ",", &save)) {
        const char *raw = raw_for_translation(level, token);
        const char *raw_cats = strchr(raw, ':');
        if (strcmp(raw, token) == 0 || !raw_cats)
            return unchanged.release();
        // The raw label's own level is dropped: the result keeps `level`.
        owned_text longer(format_text("%s%s%s", result.get(), separator, raw_cats + 1), &free);
        if (!longer)
            return unchanged.release();
        result = std::move(longer);
        separator = ",";
    }
    return result.release();
}

char *untranslate_range(const char *text)
{
    const char *level, *whole;
    if (whole_lookup(text, &level, &whole) != 0)
        return nullptr;
    if (whole)
        return copy_text(whole);
    const char *dash = strchr(text, '-');
    if (!dash)
        return untranslate_level(text);
    owned_text low(copy_text(text), &free);
    if (!low)
        return nullptr;
    char *high = low.get() + (dash - text);
    *high++ = '\0';
    owned_text low_raw(untranslate_level(low.get()), &free);
    owned_text high_raw(untranslate_level(high), &free);
    return format_text("%s-%s", low_raw ? low_raw.get() : low.get(), high_raw ? high_raw.get() : high);
}

// The part of a range to convert: one side of a range whose two sides are the
// same bytes (SystemLow-SystemLow), else the whole range.
static const char *collapsed_range(const char *range)
{
    const char *dash = strchr(range, '-');
    if (!dash)
        return range;
    size_t low_length = size_t(dash - range);
    const char *high = dash + 1;
    if (strlen(high) == low_length && memcmp(range, high, low_length) == 0)
        return high;
    return range;
}

int untranslate_context(const char *context, char **out)
{
    context_t parsed = context_new(context);
    if (!parsed)
        return -1;
    if (translation_table) {
        const char *range = context_range_get(parsed);
        owned_text raw(untranslate_range(range ? collapsed_range(range) : ""), &free);
        // The library copies the range; when it refuses, the range stays as parsed.
        if (raw)
            (void)context_range_set(parsed, raw.get());
    }
    const char *rendered = context_str(parsed);
    char *copy = rendered ? copy_text(rendered) : nullptr;
    context_free(parsed);
    if (!copy)
        return -1;
    *out = copy;
    return 0;
}

const char *translation_for_raw(const char *level, const char *label)
{
    const LevelEntry *entry = find_level_entry(level);
    if (!entry)
        return nullptr;
    if (strcmp(label, level) == 0)
        return entry->translation;
    for (const CategoryEntry *cat = entry->categories; cat; cat = cat->next)
        if (strcmp(cat->raw_label, label) == 0)
            return *cat->translation ? cat->translation : nullptr;
    return label;
}

// A category number of a range token, read in base 10; -1 for one that is out
// of range for a long.
static long category_number(const char *text)
{
    errno = 0;
    long n = strtol(text, nullptr, 10);
    return errno == ERANGE ? -1 : n;
}

static const long max_category = 1023;

// A comma-separated list that grows at its end. Its buffer at least doubles when it
// grows, so that a list of n items costs O(n) copying, not a new copy of the whole list
// for each item: with that, a range such as c0.c1023 written a few hundred times kept
// showlabel busy for hours.
struct growing_list {
    owned_text text{nullptr, &free};
    size_t length = 0, capacity = 0;
};

// Append `item` and a ','. Returns false when memory ran out, the list unchanged.
static bool append_item(growing_list &list, const char *item)
{
    size_t n = strlen(item);
    size_t needed = list.length + n + 2;
    if (needed > list.capacity) {
        size_t capacity = std::max(needed, 2 * list.capacity);
        auto bigger = static_cast<char *>(realloc(list.text.get(), capacity));
        if (!bigger)
            return false;
        (void)list.text.release();
        list.text.reset(bigger);
        list.capacity = capacity;
    }
    memcpy(list.text.get() + list.length, item, n);
    list.length += n;
    list.text.get()[list.length++] = ',';
    list.text.get()[list.length] = '\0';
    return true;
}

// The list without its last ',', a text the caller frees; null when it is empty.
static char *finished_list(growing_list &list)
{
    if (list.length == 0)
        return nullptr;
    list.text.get()[list.length - 1] = '\0';
    return list.text.release();
}

// The written-out list, or null when a range is invalid, memory runs out or the
// list is empty.
static char *expanded_list(const char *cats)
{
    owned_text tokens(copy_text(cats), &free);
    if (!tokens)
        return nullptr;
    growing_list list;
    char *save = nullptr;
    for (char *token = strtok_r(tokens.get(), ",", &save); token; token = strtok_r(nullptr, ",", &save)) {
        const char *dot = strchr(token, '.');
        if (!dot) {
            if (!append_item(list, token))
                return nullptr;
            continue;
        }
        // The first character (normally the 'c') is skipped unread, and so is the
        // one after the '.'; a '.' at the end leaves no number to read.
        if (dot[1] == '\0')
            return nullptr;
        long low = category_number(token + 1);
        long high = category_number(dot + 2);
        if (low < 0 || high < low || high > max_category)
            return nullptr;
        for (long n = low; n <= high; n++) {
            char item[24];
            snprintf(item, sizeof item, "c%ld", n);
            if (!append_item(list, item))
                return nullptr;
        }
    }
    return finished_list(list);
}

char *expand_category_list(const char *cats)
{
    char *list = expanded_list(cats);
    return list ? list : copy_text(cats);
}

// The translations of the categories of `label`, each looked up as level:category,
// joined by ','; null when one has no translation, there are none, or memory ran
// out.
static char *translated_categories(const char *level, const char *label)
{
    owned_text list(expand_category_list(strchr(label, ':') + 1), &free);
    if (!list)
        return nullptr;
    growing_list joined;
    char *save = nullptr;
    for (char *token = strtok_r(list.get(), ",", &save); token; token = strtok_r(nullptr, ",", &save)) {
        owned_text key(format_text("%s:%s", level, token), &free);
        if (!key)
            return nullptr;
        const char *name = translation_for_raw(level, key.get());
        if (!name || strcmp(name, key.get()) == 0)
            return nullptr;
        if (!append_item(joined, name))
            return nullptr;
    }
    return finished_list(joined);
}

char *translate_level(const char *label)
{
    owned_text level(level_of_label(label), &free);
    if (!level)
        return nullptr;
    const char *whole = translation_for_raw(level.get(), label);
    if (!whole)
        return nullptr;
    if (strcmp(whole, "SystemHigh") == 0)
        return copy_text(whole);
    const char *level_name = find_level_entry(level.get())->translation;
    if (strcmp(whole, label) != 0) {
        if (*level_name == '\0' || strcmp(whole, level_name) == 0)
            return copy_text(whole);
        return format_text("%s:%s", level_name, whole);
    }
    if (!strchr(label, ':'))
        return copy_text(label);
    // All or nothing: a category without translation keeps the label as it is.
    owned_text names(translated_categories(level.get(), label), &free);
    if (!names)
        return copy_text(label);
    if (*level_name == '\0')
        return names.release();
    return format_text("%s:%s", level_name, names.get());
}

// The translated form of a range, or null when it stays as it is.
static char *translated_range(const char *range)
{
    owned_text whole(translate_level(range), &free);
    if (whole && strcmp(whole.get(), range) != 0)
        return whole.release();
    const char *dash = strchr(range, '-');
    if (!dash)
        return nullptr;
    owned_text low(copy_text(range), &free);
    if (!low)
        return nullptr;
    char *high = low.get() + (dash - range);
    *high++ = '\0';
    owned_text low_name(translate_level(low.get()), &free);
    owned_text high_name(translate_level(high), &free);
    return format_text("%s-%s", low_name ? low_name.get() : low.get(), high_name ? high_name.get() : high);
}

int translate_context(const char *context, char **out)
{
    context_t parsed = context_new(context);
    if (!parsed)
        return -1;
    const char *range = translation_table ? context_range_get(parsed) : nullptr;
    owned_text name(range ? translated_range(range) : nullptr, &free);
    // The library copies the range; when it refuses, the range stays as it was.
    if (name)
        (void)context_range_set(parsed, *name ? name.get() : nullptr);
    const char *rendered = context_str(parsed);
    char *copy = rendered ? copy_text(rendered) : nullptr;
    context_free(parsed);
    if (!copy)
        return -1;
    *out = copy;
    return 0;
}
