// SPDX-License-Identifier: MIT
// Allocation-failure sweeps: fail the Nth allocation of a load or a conversion,
// for every N the run makes, and check that each ends in an outcome the module
// promises, without a crash and without a block left over.
#include <gtest/gtest.h>

#include <algorithm>

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

// A load that stops early has no table: the lines before the stop would answer
// differently from the whole file (a later category line shadows an earlier one, and
// the fallback level may come further down), and a wrong answer must not pass for a
// right one. So a failure, of an allocation or of a read at any line, gives 1 and an
// empty table, or (an allocation that the C library can do without) the whole file's.
TEST(LoadSweep, GivesTheWholeTableOrNoneAndLeaksNothing)
{
    std::vector<std::string> lines = lines_of(EXAMPLE_TRANSLATIONS);
    ASSERT_GT(lines.size(), 5u);
    std::string full;
    {
        LoadedTable table(joined(lines, lines.size()));
        full = table_dump();
    }

    failalloc_arm(0, 0);
    ASSERT_EQ(load_translation_file(EXAMPLE_TRANSLATIONS), 0);
    long total = failalloc_disarm();
    release_translation_table();
    ASSERT_GT(total, 8);

    // Allocation n fails (alone, then with every later one), or the read of line n
    // (the one past the last: the read that would find the end).
    const long reads = long(lines.size()) + 2;
    long failed = 0;
    setenv("LABEL_TEST_TRANSLATIONS", EXAMPLE_TRANSLATIONS, 1);
    for (int failing = 0; failing <= 2; failing++)
        for (long n = 1; n <= (failing == 2 ? reads : total + 1); n++) {
            if (failing == 2)
                setenv("LABEL_TEST_READ_FAIL", std::to_string(n).c_str(), 1);
            failalloc_arm(failing == 2 ? 0 : n, failing == 1);
            int result = load_translation_file(EXAMPLE_TRANSLATIONS);
            failalloc_disarm();
            unsetenv("LABEL_TEST_READ_FAIL");
            std::string table = table_dump();
            SCOPED_TRACE(std::string(failing == 2 ? "read of line " : "allocation ") + std::to_string(n) +
                         (failing == 1 ? " and later" : ""));
            EXPECT_EQ(table, result == 0 ? full : "");
            if (failing == 2) {
                EXPECT_EQ(result, n == reads ? 0 : 1);
            } else if (n > total) {
                EXPECT_EQ(result, 0);
            } else {
                EXPECT_TRUE(result == 0 || result == 1) << result;
                failed += result;
            }
            release_translation_table();
            EXPECT_EQ(failalloc_live(), 0);
        }
    unsetenv("LABEL_TEST_TRANSLATIONS");
    // Only the stream's buffer, which the C library can do without, may fail unnoticed.
    EXPECT_GE(failed, 2 * (total - 1));
}

using context_conversion = int (*)(const char *, char **);

// Run a conversion of `context` with every one of its allocations failing in
// turn (alone, then with all later ones), and check each result against the
// outcomes allowed, and that nothing is left allocated.
void sweep(context_conversion convert, const char *context, const std::set<std::string> &allowed)
{
    char *full = nullptr;
    // The indexes the table builds for its lookups are the table's: built before the
    // sweep, the allocations swept are the conversion's own.
    for (unsigned warm = 0; warm <= TABLE_WALKS_BEFORE_INDEX; warm++) {
        char *out = nullptr;
        if (convert(context, &out) == 0)
            free(out);
    }
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

// A converted text, or the text itself when the conversion gives none.
std::string converted(char *(*convert)(const char *), const std::string &text)
{
    char *out = convert(text.c_str());
    std::string result = out ? out : text;
    free(out);
    return result;
}

// When memory runs out, a conversion leaves the range as written: nothing else but the
// full answer. A range with one end converted and the other not, or whose whole was
// given up and its ends converted instead, is an answer of its own, reported as success.
std::set<std::string> full_or_unconverted(context_conversion convert, const char *context)
{
    std::set<std::string> outcomes = {context};
    char *full = nullptr;
    if (convert(context, &full) == 0)
        outcomes.insert(full);
    free(full);
    return outcomes;
}

TEST(UntranslateSweep, EndsConvertedOrAsWrittenAndLeaksNothing)
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
        sweep(untranslate_context, context, full_or_unconverted(untranslate_context, context));
}

const char translate_table[] = "s0=SystemLow\ns0:c0=Blue\ns0:c1=Green\ns0:c2=Red\ns1=Secret\ns1:c0=Alpha\n"
                               "s2:c5=Gold\ns15=Top\ns15:c0.c1023=SystemHigh\ns0-s15:c0.c1023=Everything\n";

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

TEST(TranslateSweep, ContextEndsTranslatedOrAsItWasAndLeaksNothing)
{
    LoadedTable table(translate_table);
    const char *contexts[] = {
        "u:r:t:s0:c0.c2-s1:c0", "u:r:t:s0-s1:c0", "u:r:t:s0:c0-s1:c0", "u:r:t:s0-s15:c0.c3",
        "u:r:t:s2", "u:r:t:s0-s9", "u:r:t:s2-s0:c0", "u:r:t", "u:r:t:s0-s15:c0.c1023", "u:r:t:s0:c0.c1-s15:c0",
    };
    for (const char *context : contexts)
        sweep(translate_context, context, full_or_unconverted(translate_context, context));
}

// Long lists grow in place. Built anew for each item, a list cost copying quadratic
// in its length: a range such as c0.c1023 written a few hundred times kept showlabel
// busy for hours, and 13,000 names rawlabel for 20 s. Each showlabel lookup key was a
// text of its own, too.
TEST(LongLists, GrowInPlaceWithoutANewListPerItem)
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
    std::string label = "s0:", name = "SystemLow:", translated = "SystemLow:", raw = "s0:";
    for (int i = 0; i < 1000; i++) {
        label += "c0.c2,";
        name += i ? ",Blue,Green,Red" : "Blue,Green,Red";
        translated += "Blue,Green,Red,";
        raw += i ? ",c0,c1,c2" : "c0,c1,c2";
    }
    struct { const char *what; char *(*convert)(const char *); std::string in, out; } cases[] = {
        {"showlabel, 3000 categories", translate_level, label, name},
        {"rawlabel, 3000 names", untranslate_level, translated, raw},
    };
    for (auto &c : cases) {
        failalloc_arm(0, 0);
        char *out = c.convert(c.in.c_str());
        requests = failalloc_disarm();
        ASSERT_NE(out, nullptr) << c.what;
        EXPECT_EQ(out, c.out) << c.what;
        free(out);
        EXPECT_LT(requests, 64) << c.what;
    }
}

// Each lookup of a conversion finds its entry through an index, in a few probes whatever
// the table, once the lookups have walked the list a few times: walking it for every
// lookup, s0:c0.c1023 took 4 s against a table of a million lines, 1,000 names 3.6 s, and
// 120 KB of names 0.15 s against 1,024 named categories. Here the named categories come
// first and 100,000 other names of the same level after them, so that a walk of the
// level's entries, newest first, would pass them all.
TEST(LongLists, LookupsCostTheSameWhateverTheTable)
{
    std::string named = "s0=SystemLow\n", filler, names, raws, shown, raw_list;
    for (int n = 0; n <= 1023; n++) {
        named += "s0:c" + std::to_string(n) + "=C" + std::to_string(n) + "\n";
        names += (n ? ",C" : "C") + std::to_string(n);
        raws += (n ? ",c" : "c") + std::to_string(n);
    }
    for (int k = 0; k < 100000; k++)
        filler += "s0:c" + std::to_string(k % 1024) + ",c" + std::to_string((k / 1024 + k + 1) % 1024) + "=P" +
                  std::to_string(k) + "\n";
    std::string ranges = "c0.c1023";
    for (int i = 0; i < 64; i++) {
        shown += (i ? "," : "") + names;
        raw_list += (i ? "," : "") + raws;
        ranges += i ? ",c0.c1023" : "";
    }
    // A showlabel category is one lookup, a rawlabel name two (as a level's own
    // translation, and as a category's).
    struct { const char *what; char *(*convert)(const char *); std::string in, out; long lookups; } cases[] = {
        {"showlabel, 1,024 categories", translate_level, "s0:c0.c1023", "SystemLow:" + names, 1024},
        {"showlabel, 65,536 categories", translate_level, "s0:" + ranges, "SystemLow:" + shown, 65536},
        {"rawlabel, 1,024 names", untranslate_level, "SystemLow:" + names, "s0:" + raws, 2 * 1024},
        {"rawlabel, 65,536 names", untranslate_level, "SystemLow:" + shown, "s0:" + raw_list, 2 * 65536},
    };
    for (const std::string &table_file : {named, named + filler}) {
        LoadedTable table(table_file);
        // The walks before the indexes, and their building, cost each kind of lookup a
        // few times the table's entries, once: far less than a walk a lookup.
        const long entries = long(std::count(table_file.begin(), table_file.end(), '\n'));
        const long walked = (TABLE_WALKS_BEFORE_INDEX + 2) * entries * 2;
        for (auto &c : cases) {
            unsigned long before = index_probes;
            owned_text out(c.convert(c.in.c_str()), &free);
            long probes = long(index_probes - before);
            ASSERT_NE(out, nullptr) << c.what;
            EXPECT_EQ(out.get(), c.out) << c.what;
            EXPECT_LT(probes, 4 * c.lookups + 64 + walked) << c.what << ", " << table_file.size() << " bytes of table";
        }
    }
}

// "c<from>,...,c<to>".
std::string category_list(int from, int to)
{
    std::string list;
    for (int n = from; n <= to; n++)
        list += (n > from ? ",c" : "c") + std::to_string(n);
    return list;
}

// Every range of a list is checked, and the list's size counted, before anything is
// written out, and the lookups stop at the first category without a name: a list that
// cannot be translated costs no more than reading it. Written out whole first, 128 KiB
// of c0.c1023,... took 73 MB with the sample file, 924 MB with every category named.
// Indexes that cannot be built leave the lookups walking: the answers stay the same, and
// nothing of the failed build is left.
TEST(LongLists, LookupsWalkWhenTheirIndexesCannotBeBuilt)
{
    LoadedTable table("s0=SystemLow\ns0:c0=Blue\ns0:c1=Green\ns1=Secret\ns1:c2=Red\n");
    const std::string label = "SystemLow:Blue,Green", raw = "s0:c0,c1";
    for (unsigned n = 0; n < TABLE_WALKS_BEFORE_INDEX; n++) {
        owned_text out(untranslate_level(label.c_str()), &free);
        ASSERT_STREQ(out.get(), raw.c_str());
    }
    // The next conversion builds the indexes; every allocation of that build fails.
    failalloc_arm(1, 1);
    unsigned long before = index_probes;
    char *out = untranslate_level(label.c_str());
    failalloc_disarm();
    if (out) {
        EXPECT_STREQ(out, raw.c_str());
    }
    free(out);
    EXPECT_EQ(failalloc_live(), 0);
    owned_text again(untranslate_level(label.c_str()), &free);
    EXPECT_STREQ(again.get(), raw.c_str());
    EXPECT_GT(index_probes - before, 5u) << "the lookups walk the list";
}

TEST(LongLists, CostAtMostAFewTimesTheLabelPlusTheResult)
{
    std::string every = "s0=SystemLow\n", names;
    for (int n = 0; n <= 1023; n++) {
        every += "s0:c" + std::to_string(n) + "=N" + std::to_string(n) + "\n";
        names += (n ? ",N" : "N") + std::to_string(n);
    }
    auto repeated = [](const std::string &text, int times) {
        std::string out;
        for (int i = 0; i < times; i++)
            out += text;
        return out;
    };
    std::string at_cap = "s0:" + repeated("c0.c1023,", 63) + "c0.c1023";
    std::string shown_at_cap = "SystemLow:" + repeated(names + ",", 63) + names;
    std::string past_cap = "s0:" + repeated("c0.c1023,", 14400);
    // rawlabel: one name for all 1,024 categories, written 65,000 times (130 KB), made
    // 327 MB of raw list and took 960 MB; 64 times it is within the cap.
    std::string wide = "s0=SystemLow\ns0:" + category_list(0, 1023) + "=X\n";
    std::string many_x = "SystemLow:" + repeated("X,", 64999) + "X";
    std::string x64 = "SystemLow:" + repeated("X,", 63) + "X", raw64 = "s0:" + repeated(category_list(0, 1023) + ",", 63);
    raw64 += category_list(0, 1023);
    // One range token for 1,024 categories, its first number written with 20,000 digits:
    // 4,000 names of it were built into 80 MB of raw list before the list was refused.
    std::string padded = "s0=SystemLow\ns0:c" + std::string(20000, '0') + ".c1023=P\n";
    std::string many_p = "SystemLow:" + repeated("P,", 3999) + "P";
    // An invalid range anywhere makes a list count by its tokens, as showlabel reads it.
    std::string ranged = "s0=SystemLow\ns0:c0.c1023=R\ns0:c5.c2=Bad\n";
    std::string r65 = "SystemLow:" + repeated("R,", 65) + "Bad", raw_r65 = "s0:" + repeated("c0.c1023,", 65) + "c5.c2";
    struct { const char *what, *table; std::string label, name; char *(*convert)(const char *); } cases[] = {
        {"the longest argument, every category named", every.c_str(), past_cap, past_cap, translate_level},
        {"the longest argument, three categories named", translate_table, past_cap, past_cap, translate_level},
        {"65,537 categories", every.c_str(), at_cap + ",c0", at_cap + ",c0", translate_level},
        {"65,536 categories, every one named", every.c_str(), at_cap, shown_at_cap, translate_level},
        {"65,536 categories, the fourth unnamed", translate_table, at_cap, at_cap, translate_level},
        {"an invalid range last", every.c_str(), at_cap + ",c0.c1024", at_cap + ",c0.c1024", translate_level},
        {"rawlabel, 65,000 names of 1,024 categories", wide.c_str(), many_x, many_x, untranslate_level},
        {"rawlabel, 64 names of 1,024 categories", wide.c_str(), x64, raw64, untranslate_level},
        {"rawlabel, 4,000 names of a long range", padded.c_str(), many_p, many_p, untranslate_level},
        {"rawlabel, 65 names of c0.c1023, then an invalid range", ranged.c_str(), r65, raw_r65, untranslate_level},
    };
    for (auto &c : cases) {
        LoadedTable table(c.table);
        failalloc_arm(0, 0);
        char *out = c.convert(c.label.c_str());
        failalloc_disarm();
        long peak = failalloc_peak_bytes();
        ASSERT_NE(out, nullptr) << c.what;
        EXPECT_EQ(out, c.name) << c.what;
        free(out);
        EXPECT_LT(size_t(peak), 4 * (c.label.size() + c.name.size())) << c.what;
    }

    // Each name's raw list is counted once, also when names take turns: 4,000 names of
    // 200 long ranges read their 20 KB lists once each, not 4,000 times.
    std::string many = "s0=SystemLow\n", turns = "SystemLow:";
    for (int n = 0; n < 200; n++)
        many += "s0:c" + std::string(20000, '0') + ".c" + std::to_string(n) + "=N" + std::to_string(n) + "\n";
    for (int i = 0; i < 4000; i++)
        turns += (i ? ",N" : "N") + std::to_string(i % 200);
    unsigned long before, counted;
    {
        LoadedTable table(many);
        failalloc_arm(0, 0);
        before = list_bytes_counted;
        char *out = untranslate_level(turns.c_str());
        counted = list_bytes_counted - before;
        failalloc_disarm();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out, turns);
        free(out);
        EXPECT_LT(counted, 2 * 200 * 20020ul) << "names taking turns";
        EXPECT_LT(size_t(failalloc_peak_bytes()), 4 * turns.size() + 200 * 128) << "names taking turns";
    }

    // A list that ends in 20,000 commas is as long to read, and read once too.
    LoadedTable commas("s0=SystemLow\ns0:c0" + std::string(20000, ',') + "=A\n");
    std::string many_a = "SystemLow:" + repeated("A,", 2000) + "Missing";
    before = list_bytes_counted;
    owned_text as_written(untranslate_level(many_a.c_str()), &free);
    counted = list_bytes_counted - before;
    EXPECT_STREQ(as_written.get(), many_a.c_str());
    EXPECT_GE(counted, 20000ul) << "a list ending in commas";
    EXPECT_LT(counted, 2 * 20010ul) << "a list ending in commas";
}

} // namespace
