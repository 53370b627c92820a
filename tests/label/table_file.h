// SPDX-License-Identifier: MIT
// Test helpers: translations files made from literal texts, and a table that is
// released when the test ends.
#pragma once

#include <string>

#include "table.h"

// Write `text` to a new temporary file and return its path; the file is removed
// when the process ends.
std::string temp_file(const std::string &text);

// Loads `text` as a translations file and releases the table when destroyed.
struct LoadedTable {
    explicit LoadedTable(const std::string &text);
    ~LoadedTable();
    LoadedTable(const LoadedTable &) = delete;
    LoadedTable &operator=(const LoadedTable &) = delete;
    int result;
};

// The table in the listing's format ("raw->translation", categories after a tab),
// read from the records themselves.
std::string table_dump();
