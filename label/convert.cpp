#include "convert.h"

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

char *untranslate_level(const char *text)
{
    const char *level = sensitivity_of(text);
    if (!level)
        return nullptr;
    const char *whole = raw_for_translation(level, text);
    if (strcmp(whole, text) != 0)
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
    const char *level = sensitivity_of(text);
    if (!level)
        return nullptr;
    const char *whole = raw_for_translation(level, text);
    if (strcmp(whole, text) != 0)
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
