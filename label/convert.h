// SPDX-License-Identifier: MIT
// Conversions between translated and raw MLS text, through the translation table
// (table.h), which must be loaded first. They only read the table.
//
// Nothing is reported: a part that cannot be converted comes back unchanged, and
// a null result means that memory ran out. A conversion that runs out of memory
// midway gives nothing, never a text half converted. Arguments are never modified; every
// new text is malloc'ed and belongs to the caller.
#pragma once

// ---- Translated to raw ----

// The raw sensitivity for a translated label or range, borrowed from the table:
// the raw level of the level part (the text before the first '-', then before the
// first ':') when the table translates it, else the fallback level (the raw level
// of the first level that a category line created, if it is not empty). Null when
// there is neither, or when memory ran out.
[[nodiscard]] const char *find_raw_level(const char *text);

// One translated level with its categories in raw form, e.g. SystemLow:Blue,Green
// to s0:c0,c1. The sensitivity is the one find_raw_level gives, or "s0". A level
// with a category the table does not know comes back unchanged, and so does one
// whose raw list would stand for more than 65,536 categories, its ranges written
// out as expand_category_list does. Null when memory ran out.
[[nodiscard]] char *untranslate_level(const char *text);

// The bytes of raw category lists that the size checks of untranslate_level and
// translate_level have read since the process started: the tests read it to check
// that a list refused for its size costs no more than its names.
extern unsigned long list_bytes_counted;

// A translated range in raw form: a known translation of the whole text, else
// each side of the first '-' converted by untranslate_level (a side whose
// conversion is itself a range stays as written). Null when memory ran out, on
// either side.
[[nodiscard]] char *untranslate_range(const char *text);

// Parse `context` with libselinux and convert its range to raw form; a range whose
// two sides are the same text is collapsed to one first, and a context without a
// range gets the conversion of the empty text. With an empty table, or when memory
// runs out during the conversion, the range is left as parsed. Returns 0 with `*out` set to a new text (free it with freecon), or
// -1 with `*out` untouched when the context cannot be parsed or rendered.
[[nodiscard]] int untranslate_context(const char *context, char **out);

// ---- Raw to translated ----

// The translation the table holds for `label` under `level`: the level's own
// translation when the label is the level (empty for a level a category line
// created), else that of the first of the level's category entries whose raw
// label is exactly `label`. Returns `label` itself when the level has no such
// entry, and null when the level is not in the table. Borrowed.
[[nodiscard]] const char *translation_for_raw(const char *level, const char *label);

// A category list with every range cX.cY (0 <= X <= Y <= 1023) written out as
// cX,...,cY, single categories kept as written and empty items dropped. When a
// range is invalid (c3. included), the list stands for more than 65,536
// categories, memory runs out or nothing is left, a copy of `cats` as written
// instead. Null only when that copy fails too.
[[nodiscard]] char *expand_category_list(const char *cats);

// One raw label in translated form: the translation of the whole label (after
// the level's translation and ':', unless it is "SystemHigh", the level has none,
// or they are the same), else the level's translation and the translations of
// each category in order, ranges written out as expand_category_list does, or a
// copy of the label when one has none or the list stands for more than 65,536
// categories. Every range is checked before any category is looked up, and the
// lookups stop at the first category without a translation. Null when the
// label's level is not in the table or memory ran out, at any step.
[[nodiscard]] char *translate_level(const char *label);

// Parse `context` with libselinux and translate its range: as a whole first,
// else each side of the first '-' (a side without translation, or whose
// translation is the empty text, stays as written). A translation of the whole
// range to the empty text removes the range; anything that cannot be translated
// leaves it as it was, and so does memory running out at any step, whole or ends. Returns 0 with `*out` set to a new text
// (free it with free), or -1 with `*out` untouched when the context cannot be
// parsed or rendered.
[[nodiscard]] int translate_context(const char *context, char **out);
