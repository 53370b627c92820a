// Allocation-failure sweeps: fail the Nth allocation of a load or a conversion,
// for every N the run makes, and check that each ends in an outcome the module
// promises, without a crash and without a block left over.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "failalloc.h"
#include "table.h"
#include "table_file.h"

namespace {

std::vector<std::string> lines_of(const char *path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\n");
    return lines;
}

std::string joined(const std::vector<std::string> &lines, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; i++)
        text += lines[i];
    return text;
}

// The tables a load may leave when it stops at some line: the entries of the
// lines before it, or those plus the level that a category line adds first.
std::set<std::string> partial_tables(const std::vector<std::string> &lines)
{
    std::set<std::string> tables;
    for (size_t k = 0; k <= lines.size(); k++) {
        std::string before;
        {
            LoadedTable table(joined(lines, k));
            before = table_dump();
        }
        tables.insert(before);
        if (k == lines.size())
            break;
        std::string left = lines[k].substr(0, lines[k].find('='));
        if (left.find_first_of("-:") != std::string::npos)
            tables.insert(before + owned_text(level_of_label(left.c_str()), &free).get() + "->\n");
    }
    return tables;
}

TEST(LoadSweep, StopsAtTheFailingLineAndLeaksNothing)
{
    std::vector<std::string> lines = lines_of(EXAMPLE_TRANSLATIONS);
    ASSERT_GT(lines.size(), 5u);
    std::set<std::string> allowed = partial_tables(lines);
    std::string full;
    {
        LoadedTable table(joined(lines, lines.size()));
        full = table_dump();
    }

    failalloc_arm(0, 0);
    ASSERT_EQ(load_translation_file(EXAMPLE_TRANSLATIONS), 0);
    long total = failalloc_disarm();
    release_translation_table();
    ASSERT_GT(total, 20);

    for (int persistent = 0; persistent <= 1; persistent++)
        for (long n = 1; n <= total + 1; n++) {
            failalloc_arm(n, persistent);
            int result = load_translation_file(EXAMPLE_TRANSLATIONS);
            failalloc_disarm();
            std::string table = table_dump();
            SCOPED_TRACE("allocation " + std::to_string(n) + (persistent ? " and later" : ""));
            // Opening the file allocates too; when that fails there is no file.
            if (result == 1) {
                EXPECT_EQ(table, "");
            } else {
                EXPECT_EQ(result, 0);
            }
            EXPECT_EQ(allowed.count(table), 1u) << table;
            if (n > total) {
                EXPECT_EQ(table, full);
            }
            release_translation_table();
            EXPECT_EQ(failalloc_live(), 0);
        }
}

} // namespace
