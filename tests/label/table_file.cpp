// SPDX-License-Identifier: MIT
#include "table_file.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {
struct TempFiles {
    std::vector<std::string> paths;
    ~TempFiles()
    {
        for (auto &p : paths)
            unlink(p.c_str());
    }
} temp_files;
} // namespace

std::string temp_file(const std::string &text)
{
    const char *dir = getenv("TMPDIR");
    std::string path = std::string(dir ? dir : "/tmp") + "/translations.XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    if (write(fd, text.data(), text.size()) != ssize_t(text.size()))
        abort();
    close(fd);
    temp_files.paths.push_back(path);
    return path;
}

LoadedTable::LoadedTable(const std::string &text) : result(load_translation_file(temp_file(text).c_str())) {}

LoadedTable::~LoadedTable()
{
    release_translation_table();
}

std::string table_dump()
{
    std::string out;
    for (const LevelEntry *level = translation_table; level; level = level->next) {
        out += std::string(level->raw_level) + "->" + level->translation + "\n";
        for (const CategoryEntry *cat = level->categories; cat; cat = cat->next)
            out += std::string("\t") + cat->raw_label + "->" + cat->translation + "\n";
    }
    return out;
}
