// SPDX-License-Identifier: MIT
// The table's lookups as plain walks of the list, first match in list order (levels in
// order, within a level the newest category first): what the indexes must find, for the
// tests and the fuzz targets to compare them with.
#pragma once

#include "table.h"

const LevelEntry *walked_level(const char *raw_level);
const char *walked_raw_level(const char *translation);
const char *walked_raw(const char *raw_level, const char *text);
const CategoryEntry *walked_category(const LevelEntry *level, const char *raw_label);
