// SPDX-License-Identifier: MIT
// Allocation-failure sweeps: fail the Nth allocation of a load or a conversion,
// for every N the run makes, and check that each ends in an outcome the module
// promises, without a crash and without a block left over.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "convert.h"
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

using context_conversion = int (*)(const char *, char **);

// Run a conversion of `context` with every one of its allocations failing in
// turn (alone, then with all later ones), and check each result against the
// outcomes allowed, and that nothing is left allocated.
void sweep(context_conversion convert, const char *context, const std::set<std::string> &allowed)
{
    char *full = nullptr;
    failalloc_arm(0, 0);
    int result = convert(context, &full);
    long total = failalloc_disarm();
    ASSERT_EQ(result, 0) << context;
    std::string expected = full;
    free(full);
    ASSERT_EQ(allowed.count(expected), 1u) << context;

    char sentinel[] = "untouched";
    for (int persistent = 0; persistent <= 1; persistent++)
        for (long n = 1; n <= total + 1; n++) {
            char *out = sentinel;
            failalloc_arm(n, persistent);
            result = convert(context, &out);
            failalloc_disarm();
            SCOPED_TRACE(std::string(context) + ", allocation " + std::to_string(n) + (persistent ? " and later" : ""));
            if (result != 0) {
                EXPECT_EQ(result, -1);
                EXPECT_EQ(out, sentinel);
            } else {
                EXPECT_EQ(allowed.count(out), 1u) << out;
                if (n > total) {
                    EXPECT_EQ(out, expected);
                }
                free(out);
            }
            EXPECT_EQ(failalloc_live(), 0);
        }
}

// A context cut into the text before its range and the range, if it has one.
struct ContextParts {
    std::string head, range;
    bool has_range;
};

ContextParts parts_of(const std::string &context)
{
    size_t at = 0;
    for (int colons = 0; colons < 3; colons++) {
        at = context.find(':', at);
        if (at == std::string::npos)
            return {context, "", false};
        at++;
    }
    return {context.substr(0, at - 1), context.substr(at), true};
}

// A converted text, or the text itself when the conversion gives none.
std::string converted(char *(*convert)(const char *), const std::string &text)
{
    char *out = convert(text.c_str());
    std::string result = out ? out : text;
    free(out);
    return result;
}

// Range texts made of each side of the first '-', converted or as written.
void add_half_mixes(std::set<std::string> &ranges, const std::string &range, char *(*convert)(const char *))
{
    size_t dash = range.find('-');
    if (dash == std::string::npos)
        return;
    std::string low = range.substr(0, dash), high = range.substr(dash + 1);
    for (auto &l : {low, converted(convert, low)})
        for (auto &h : {high, converted(convert, high)})
            ranges.insert(l + "-" + h);
}

// When memory runs out, rawlabel's conversion may leave the range as parsed,
// collapsed but unconverted, or with one side of the '-' unconverted.
std::set<std::string> untranslate_outcomes(const char *context)
{
    std::set<std::string> outcomes = {context};
    char *full = nullptr;
    if (untranslate_context(context, &full) == 0)
        outcomes.insert(full);
    free(full);
    ContextParts parts = parts_of(context);
    if (!parts.has_range)
        return outcomes;
    std::string range = parts.range;
    size_t dash = range.find('-');
    if (dash != std::string::npos && range.substr(0, dash) == range.substr(dash + 1))
        range = range.substr(dash + 1);
    std::set<std::string> ranges = {range};
    add_half_mixes(ranges, range, untranslate_level);
    for (auto &r : ranges)
        outcomes.insert(parts.head + ":" + r);
    return outcomes;
}

TEST(UntranslateSweep, EndsConvertedOrUnconvertedAndLeaksNothing)
{
    LoadedTable table(joined(lines_of(EXAMPLE_TRANSLATIONS), lines_of(EXAMPLE_TRANSLATIONS).size()));
    const char *contexts[] = {
        "user_u:object_r:file_t:SystemLow-SystemHigh",
        "u:r:t:Secret:Red,Blue-SystemLow:Cyan",
        "u:r:t:SystemLow:Blue,Green",
        "u:r:t:SystemLow-SystemLow",
        "u:r:t:Mauve:Blue-s0",
        "u:r:t:SystemLow:Blue,Purple",
        "u:r:t",
    };
    for (const char *context : contexts)
        sweep(untranslate_context, context, untranslate_outcomes(context));
}

const char translate_table[] = "s0=SystemLow\ns0:c0=Blue\ns0:c1=Green\ns0:c2=Red\ns1=Secret\ns1:c0=Alpha\n"
                               "s2:c5=Gold\ns15=Top\ns15:c0.c1023=SystemHigh\n";

// translate_level in the shape of a context conversion: -1 stands for none.
int translate_level_into(const char *label, char **out)
{
    char *name = translate_level(label);
    if (!name)
        return -1;
    *out = name;
    return 0;
}

TEST(TranslateSweep, LevelEndsTranslatedOrUnchangedAndLeaksNothing)
{
    LoadedTable table(translate_table);
    for (const char *label : {"s0:c0.c2", "s0:,c2,,c0,", "s1:c0", "s0:c0,c3", "s2:c5", "s15:c0.c1023", "s0"})
        sweep(translate_level_into, label, {label, converted(translate_level, label)});
}

// When memory runs out, showlabel's conversion may leave the range as it was,
// or translate each side of the first '-' or not.
std::set<std::string> translate_outcomes(const char *context)
{
    std::set<std::string> outcomes = {context};
    char *full = nullptr;
    if (translate_context(context, &full) == 0)
        outcomes.insert(full);
    free(full);
    ContextParts parts = parts_of(context);
    std::set<std::string> ranges;
    add_half_mixes(ranges, parts.range, translate_level);
    for (auto &r : ranges)
        outcomes.insert(parts.head + ":" + r);
    return outcomes;
}

TEST(TranslateSweep, ContextEndsTranslatedOrAsItWasAndLeaksNothing)
{
    LoadedTable table(translate_table);
    const char *contexts[] = {
        "u:r:t:s0:c0.c2-s1:c0", "u:r:t:s0-s1:c0", "u:r:t:s0:c0-s1:c0", "u:r:t:s0-s15:c0.c3",
        "u:r:t:s2", "u:r:t:s0-s9", "u:r:t",
    };
    for (const char *context : contexts)
        sweep(translate_context, context, translate_outcomes(context));
}

// Long category lists grow in place. Built anew for each category, a list cost
// copying quadratic in its length: a range such as c0.c1023 written a few hundred
// times kept showlabel busy for hours.
TEST(LongLists, GrowInPlaceWithoutANewListPerCategory)
{
    std::string ranges, written;
    for (int i = 0; i < 8; i++) {
        ranges += "c0.c1023,";
        for (int n = 0; n <= 1023; n++)
            written += (written.empty() ? "c" : ",c") + std::to_string(n);
    }
    failalloc_arm(0, 0);
    char *list = expand_category_list(ranges.c_str());
    long requests = failalloc_disarm();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list, written);
    free(list);
    EXPECT_LT(requests, 64) << "for 8192 categories";

    LoadedTable table(translate_table);
    std::string label = "s0:", name = "SystemLow:";
    for (int i = 0; i < 1000; i++) {
        label += "c0.c2,";
        name += i ? ",Blue,Green,Red" : "Blue,Green,Red";
    }
    failalloc_arm(0, 0);
    char *translated = translate_level(label.c_str());
    requests = failalloc_disarm();
    ASSERT_NE(translated, nullptr);
    EXPECT_EQ(translated, name);
    free(translated);
    // Each category's lookup key is a text of its own (vasprintf's requests), but the
    // list is not copied anew for each.
    EXPECT_LT(requests, 4 * 3000) << "for 3000 categories";
}

} // namespace
