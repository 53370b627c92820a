// SPDX-License-Identifier: MIT
#include "convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// A text that grows at its end. Its buffer at least doubles when it grows, so that a
// text built from n pieces costs O(n) copying, not a new copy of the whole for each
// piece: built anew for each, a list of c0.c1023 written a few hundred times kept
// showlabel busy for hours, and 13,000 names rawlabel for 20 s.
struct growing_text {
    owned_text text{nullptr, &free};
    size_t length = 0, capacity = 0;
};

// Append the `n` bytes at `bytes`; the text stays NUL-terminated. Returns false when
// memory ran out, the text unchanged.
static bool append_text(growing_text &grown, const char *bytes, size_t n)
{
    size_t needed = grown.length + n + 1;
    if (needed > grown.capacity) {
        size_t capacity = std::max(needed, 2 * grown.capacity);
        auto bigger = static_cast<char *>(realloc(grown.text.get(), capacity));
        if (!bigger)
            return false;
        (void)grown.text.release();
        grown.text.reset(bigger);
        grown.capacity = capacity;
    }
    memcpy(grown.text.get() + grown.length, bytes, n);
    grown.length += n;
    grown.text.get()[grown.length] = '\0';
    return true;
}

// Append `n` bytes as an item of a comma-separated list: after a ',' unless the list
// is empty. Items are never empty. Returns false when memory ran out.
static bool append_item(growing_text &list, const char *item, size_t n)
{
    return (list.length == 0 || append_text(list, ",", 1)) && append_text(list, item, n);
}

// The most categories that a category list may stand for, its ranges written out, in
// either direction. A real label names at most 1,024 a level; past this a list is left
// as written, so that 128 KiB of c0.c1023,c0.c1023,... costs no more than reading it,
// where writing it out took hundreds of megabytes, and 130 KB of a name for 1,024
// categories does not turn into 327 MB of raw list.
static const size_t max_list_entries = 65536;

static const long max_category = 1023;

// The next token of a comma-separated list from `*at` on: runs of commas are one
// separator and no token is empty. Sets `*token` and `*length` and moves `*at` past
// the token; false at the list's end.
static bool next_token(const char **at, const char **token, size_t *length)
{
    const char *p = *at;
    while (*p == ',')
        p++;
    if (*p == '\0')
        return false;
    *token = p;
    while (*p != '\0' && *p != ',')
        p++;
    *length = size_t(p - *token);
    *at = p;
    return true;
}

// A category number of a range token, read in base 10; -1 for one that is out
// of range for a long. Digits never run past the token's ','.
static long category_number(const char *text)
{
    errno = 0;
    long n = strtol(text, nullptr, 10);
    return errno == ERANGE ? -1 : n;
}

// The bounds of the range token of `length` bytes at `token`, whose first '.' is at
// `dot`: the first character (normally the 'c') is skipped unread, and so is the one
// after the '.'. False when the range is invalid: nothing after the '.', or not
// 0 <= low <= high <= 1023.
static bool range_bounds(const char *token, size_t length, const char *dot, long *low, long *high)
{
    if (dot + 1 == token + length)
        return false;
    *low = category_number(token + 1);
    *high = category_number(dot + 2);
    return *low >= 0 && *low <= *high && *high <= max_category;
}

// How a category list is read: its ranges written out, each token as written (one of
// its ranges is invalid), or not at all (it is empty, or stands for more than
// max_list_entries categories).
enum list_reading { list_written_out, list_as_written, list_unread };

// The size of a category list, or of several joined by ',': its tokens, the categories
// that they stand for with their ranges written out, and whether every range is valid.
struct list_size {
    size_t tokens = 0, categories = 0;
    bool valid = true;
};

unsigned long list_bytes_counted = 0;

// Add the tokens of `cats` to `size`. Returns the bytes of `cats`.
static size_t count_list(const char *cats, list_size &size)
{
    const char *at = cats, *token;
    size_t length;
    while (next_token(&at, &token, &length)) {
        size.tokens++;
        auto dot = static_cast<const char *>(memchr(token, '.', length));
        long low, high;
        if (!dot)
            size.categories++;
        else if (range_bounds(token, length, dot, &low, &high))
            size.categories += size_t(high - low + 1);
        else
            size.valid = false;
        // Past the cap the number no longer matters: it stays there, and never wraps.
        if (size.categories > max_list_entries)
            size.categories = max_list_entries + 1;
    }
    // Commas after the last token were read as well.
    const size_t bytes = size_t(at - cats) + strlen(at);
    list_bytes_counted += static_cast<unsigned long>(bytes);
    return bytes;
}

// Add the size of one list to that of the lists joined before it.
static void add_list_size(list_size &size, const list_size &more)
{
    size.tokens += more.tokens;
    size.categories = std::min(size.categories + more.categories, max_list_entries + 1);
    size.valid = size.valid && more.valid;
}

// How many categories a list of `size` stands for: those of its ranges written out, or
// when one range is invalid, one a token. Never fewer than its tokens.
static size_t list_entries(const list_size &size)
{
    return size.valid ? size.categories : size.tokens;
}

// Check every token of `cats` before anything is written out or looked up.
static list_reading read_list(const char *cats)
{
    list_size size;
    count_list(cats, size);
    size_t entries = list_entries(size);
    if (entries == 0 || entries > max_list_entries)
        return list_unread;
    return size.valid ? list_written_out : list_as_written;
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

// The sizes of the raw lists that one conversion counted, by the table's text that holds
// them: an open-addressed map that grows (a map that cannot grow remembers no more; the
// counts come out the same).
struct counted_list {
    const char *raw;
    list_size size;
};
struct counted_lists {
    counted_list *slots = nullptr;
    size_t capacity = 0, used = 0;
};
// Lists of at most this many bytes are counted again each time a name stands for them.
static const size_t short_list_bytes = 64;

static size_t counted_slot(const counted_list *slots, size_t capacity, const char *raw)
{
    size_t i = size_t((uint64_t(reinterpret_cast<uintptr_t>(raw)) >> 4) * UINT64_C(0x9E3779B97F4A7C15) >> 32);
    while (slots[i & (capacity - 1)].raw && slots[i & (capacity - 1)].raw != raw)
        i++;
    return i & (capacity - 1);
}

static const counted_list *counted_before(const counted_lists &lists, const char *raw)
{
    if (lists.used == 0)
        return nullptr;
    const counted_list &slot = lists.slots[counted_slot(lists.slots, lists.capacity, raw)];
    return slot.raw ? &slot : nullptr;
}

static void remember_count(counted_lists &lists, const char *raw, const list_size &size)
{
    if (2 * (lists.used + 1) > lists.capacity) {
        const size_t capacity = lists.capacity ? 2 * lists.capacity : 16;
        auto slots = static_cast<counted_list *>(calloc(capacity, sizeof(counted_list)));
        if (!slots)
            return;
        for (size_t i = 0; i < lists.capacity; i++)
            if (lists.slots[i].raw)
                slots[counted_slot(slots, capacity, lists.slots[i].raw)] = lists.slots[i];
        free(lists.slots);
        lists.slots = slots;
        lists.capacity = capacity;
    }
    lists.slots[counted_slot(lists.slots, lists.capacity, raw)] = {raw, size};
    lists.used++;
}

// The category names of `cats`, under `level`, turned into their raw lists: counted
// into `size` when it is given, joined by ',' into `result` when that is. Returns 1; 0
// when a name has no raw list, or the names stand for more items than the cap (the list
// stays as written); -1 when memory runs out. The raw label's own level is dropped: the
// result keeps `level`. A raw label that ends at its ':' still adds an item, empty.
static int convert_names(const char *level, const char *cats, list_size *size, growing_text *result)
{
    owned_text tokens(copy_text(cats), &free);
    if (!tokens)
        return -1;
    // Each long raw list is counted once, however many names stand for it and in whatever
    // order they come; short ones cost no more than their names to count again.
    counted_lists counted;
    int answer = 1;
    bool first = true;
    char *save = nullptr;
    for (char *token = strtok_r(tokens.get(), ",", &save); token; token = strtok_r(nullptr, ",", &save)) {
        const char *raw = raw_for_translation(level, token);
        const char *raw_cats = strchr(raw, ':');
        if (strcmp(raw, token) == 0 || !raw_cats) {
            answer = 0;
            break;
        }
        if (size) {
            list_size each;
            if (const counted_list *before = counted_before(counted, raw))
                each = before->size;
            else if (count_list(raw_cats + 1, each) > short_list_bytes)
                remember_count(counted, raw, each);
            // A list past the cap, as showlabel would count it, stays as written; one of
            // more tokens than the cap stands for more categories too.
            add_list_size(*size, each);
            if (size->tokens > max_list_entries) {
                answer = 0;
                break;
            }
        }
        if (result && ((!first && !append_text(*result, ",", 1)) ||
                       !append_text(*result, raw_cats + 1, strlen(raw_cats + 1)))) {
            answer = -1;
            break;
        }
        first = false;
    }
    free(counted.slots);
    return answer;
}

// The result is counted before it is built, so that a list refused for its size costs
// no more than its names' lookups.
char *untranslate_level(const char *text)
{
    const char *level, *whole;
    if (whole_lookup(text, &level, &whole) != 0)
        return nullptr;
    if (whole)
        return copy_text(whole);
    if (strcmp(text, level) == 0)
        return copy_text(text);
    const char *colon = strchr(text, ':');
    const char *cats = colon ? colon + 1 : text;
    if (strcmp(raw_for_translation(level, cats), level) == 0)
        return copy_text(level);
    list_size size;
    int converted = convert_names(level, cats, &size, nullptr);
    if (converted < 0)
        return nullptr;
    if (converted == 0 || list_entries(size) > max_list_entries)
        return copy_text(text);
    growing_text result;
    if (!append_text(result, level, strlen(level)) || !append_text(result, ":", 1) ||
        convert_names(level, cats, nullptr, &result) != 1)
        return nullptr;
    return result.text.release();
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
    // One side converted and the other left as written for want of memory would be an
    // answer of its own: either failure leaves the whole range.
    owned_text low_raw(untranslate_level(low.get()), &free);
    if (!low_raw)
        return nullptr;
    owned_text high_raw(untranslate_level(high), &free);
    if (!high_raw)
        return nullptr;
    // An end is one level: a name that stands for a whole range stays as written there,
    // or the range would have three ends.
    return format_text("%s-%s", strchr(low_raw.get(), '-') ? low.get() : low_raw.get(),
                       strchr(high_raw.get(), '-') ? high : high_raw.get());
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

// The translation of `label` among the category entries of `entry`: that of the
// first whose raw label is `label` (null when it is empty), else `label` itself.
static const char *category_translation(const LevelEntry *entry, const char *label)
{
    const CategoryEntry *cat = find_category_entry(entry, label);
    if (!cat)
        return label;
    return *cat->translation ? cat->translation : nullptr;
}

const char *translation_for_raw(const char *level, const char *label)
{
    const LevelEntry *entry = find_level_entry(level);
    if (!entry)
        return nullptr;
    if (strcmp(label, level) == 0)
        return entry->translation;
    return category_translation(entry, label);
}

// Hand each category of a list that read_list accepted to `visit(category, length)`,
// in order, ranges written out as c<n> when `reading` says so; stop at the first
// visit that gives false. Returns false when one did.
template <typename Visit> static bool each_category(const char *cats, list_reading reading, Visit visit)
{
    const char *at = cats, *token;
    size_t length;
    while (next_token(&at, &token, &length)) {
        auto dot = static_cast<const char *>(memchr(token, '.', length));
        long low, high;
        if (reading != list_written_out || !dot || !range_bounds(token, length, dot, &low, &high)) {
            if (!visit(token, length))
                return false;
            continue;
        }
        for (long n = low; n <= high; n++) {
            char item[24];
            int item_length = snprintf(item, sizeof item, "c%ld", n);
            if (!visit(item, size_t(item_length)))
                return false;
        }
    }
    return true;
}

char *expand_category_list(const char *cats)
{
    list_reading reading = read_list(cats);
    if (reading == list_written_out) {
        growing_text list;
        if (each_category(cats, reading, [&](const char *item, size_t n) { return append_item(list, item, n); }))
            return list.text.release();
    }
    return copy_text(cats);
}

// The translations of the categories of `label` (whose level is `level`, found as
// `entry`), each looked up as level:category as the list gives it, joined by ',', in
// `*names`. Stops at the first category without a translation, so that a list that
// cannot be translated costs no more than reading it. Returns 0, with `*names` null
// when one has no translation or the list is unread (read_list), or -1 when memory ran
// out.
static int translated_categories(const LevelEntry *entry, const char *level, const char *label, char **names)
{
    *names = nullptr;
    const char *cats = strchr(label, ':') + 1;
    list_reading reading = read_list(cats);
    if (reading == list_unread)
        return 0;
    // One key, level:category, rewritten after the level for each category.
    growing_text key, list;
    size_t prefix = strlen(level) + 1;
    if (!append_text(key, level, prefix - 1) || !append_text(key, ":", 1))
        return -1;
    bool out_of_memory = false;
    bool all = each_category(cats, reading, [&](const char *category, size_t n) {
        key.length = prefix;
        if (!append_text(key, category, n)) {
            out_of_memory = true;
            return false;
        }
        const char *name = category_translation(entry, key.text.get());
        if (!name || strcmp(name, key.text.get()) == 0)
            return false;
        if (!append_item(list, name, strlen(name))) {
            out_of_memory = true;
            return false;
        }
        return true;
    });
    if (out_of_memory)
        return -1;
    if (all)
        *names = list.text.release();
    return 0;
}

// Hand `text` out in `*out`. Returns 0, or -1 when it is null: memory ran out.
static int handed_out(char *text, char **out)
{
    *out = text;
    return text ? 0 : -1;
}

// translate_level, telling a label whose level the table lacks (0, `*name` null) from
// memory running out (-1, `*name` null), at any step.
static int translated_label(const char *label, char **name)
{
    *name = nullptr;
    owned_text level(level_of_label(label), &free);
    if (!level)
        return -1;
    const char *whole = translation_for_raw(level.get(), label);
    if (!whole)
        return 0;
    if (strcmp(whole, "SystemHigh") == 0)
        return handed_out(copy_text(whole), name);
    const LevelEntry *entry = find_level_entry(level.get());
    const char *level_name = entry->translation;
    if (strcmp(whole, label) != 0) {
        if (*level_name == '\0' || strcmp(whole, level_name) == 0)
            return handed_out(copy_text(whole), name);
        return handed_out(format_text("%s:%s", level_name, whole), name);
    }
    if (!strchr(label, ':'))
        return handed_out(copy_text(label), name);
    // All or nothing: a category without translation keeps the label as it is.
    char *list;
    if (translated_categories(entry, level.get(), label, &list) != 0)
        return -1;
    owned_text names(list, &free);
    if (!names)
        return handed_out(copy_text(label), name);
    if (*level_name == '\0')
        return handed_out(names.release(), name);
    return handed_out(format_text("%s:%s", level_name, names.get()), name);
}

char *translate_level(const char *label)
{
    char *name;
    (void)translated_label(label, &name);
    return name;
}

// The translated form of a range, or null when it stays as it is: nothing translates
// it, or memory ran out on the way. A failed attempt at the whole taken for "no name"
// would translate the ends instead, another answer (SystemLow-SystemHigh where the
// table names s0-s15:c0.c1023 SystemLow:Everything), and so would one end left as
// written for want of memory.
static char *translated_range(const char *range)
{
    char *name;
    if (translated_label(range, &name) != 0)
        return nullptr;
    owned_text whole(name, &free);
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
    if (translated_label(low.get(), &name) != 0)
        return nullptr;
    owned_text low_name(name, &free);
    if (translated_label(high, &name) != 0)
        return nullptr;
    owned_text high_name(name, &free);
    // An end that translates to the empty text (a level that only category lines name)
    // stays as written: a range never shows an empty end.
    return format_text("%s-%s", low_name && *low_name ? low_name.get() : low.get(),
                       high_name && *high_name ? high_name.get() : high);
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
