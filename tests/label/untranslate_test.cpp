// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "convert.h"
#include "table.h"
#include "table_file.h"

namespace {

const char example_file[] = "s0=SystemLow\n"
                            "s0:c0=Blue\n"
                            "s0:c1=Green\n"
                            "s0:c0,c1=Cyan\n"
                            "s15:c0.c1023=SystemHigh\n"
                            "s1=Secret\n"
                            "s1:c2=Red\n";

// The example without its SystemHigh line: no fallback level.
const char no_fallback_file[] = "s0=SystemLow\ns0:c0=Blue\ns0:c1=Green\ns0:c0,c1=Cyan\ns1=Secret\ns1:c2=Red\n";

struct Case {
    const char *in, *out;
};

void expect_ranges(const Case *cases, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        owned_text raw(untranslate_range(cases[i].in), &free);
        ASSERT_NE(raw, nullptr) << cases[i].in;
        EXPECT_STREQ(raw.get(), cases[i].out) << cases[i].in;
    }
}

std::string untranslated(const char *context)
{
    char *out = nullptr;
    if (untranslate_context(context, &out) != 0)
        return "(failed)";
    std::string text = out;
    free(out);
    return text;
}

TEST(UntranslateRange, WorkedExamples)
{
    LoadedTable table(example_file);
    const Case cases[] = {
        {"SystemLow", "s0"},
        {"SystemLow:Blue,Green", "s0:c0,c1"},
        {"SystemLow:Cyan", "s0:c0,c1"},
        {"SystemLow:,Blue,,Green,", "s0:c0,c1"},
        {"Secret:Red", "s1:c2"},
        {"Secret:Blue", "s1:c0"},
        {"SystemLow-SystemHigh", "s0-s15:c0.c1023"},
        {"Cyan", "s0:c0,c1"},
        {"SystemLow:Blue,Purple", "SystemLow:Blue,Purple"},
        {"SystemLow:Blue-Secret:Mauve", "s0:c0-Secret:Mauve"},
        {"s0:c0", "s0:c0"},
        {"s0", "s0"},
        {"Mauve:Blue", "s15:c0"},
        {"SystemLow:SystemLow", "s0"},
        {"SystemLow:", "s0:"},
        {"", "s15"},
        {"SystemLow-SystemLow", "s0-s0"},
        {"SystemLow:Blue,SystemLow", "SystemLow:Blue,SystemLow"},
        {"Secret:Red-SystemLow-SystemLow", "s1:c2-SystemLow-SystemLow"},
    };
    expect_ranges(cases, std::size(cases));
}

TEST(UntranslateRange, WithoutFallbackLevelUsesS0)
{
    LoadedTable table(no_fallback_file);
    const Case cases[] = {
        {"Mauve:Blue", "s0:c0"}, {"", "s0:"}, {"SystemLow:Red", "s0:c2"}, {"s1:c2", "s1:c2"},
    };
    expect_ranges(cases, std::size(cases));
}

TEST(UntranslateRange, TranslationsHoldingDashesColonsOrNoCategories)
{
    // A level named with a '-' is cut at it and never matched whole; a category
    // name with a '-' is; a category label without ':' gives back the level as is.
    LoadedTable table(std::string(example_file) + "s2=Top-Secret\ns2:c3=Dark-Blue\ns0-s15=Span\n");
    const Case cases[] = {
        {"Top-Secret", "Top-s1"},
        {"Dark-Blue", "s2:c3"},
        {"SystemLow:Span", "SystemLow:Span"},
        {"Span", "s0-s15"},
        {"Span-Secret", "Span-s1"},
        {"SystemLow-Span", "s0-Span"},
    };
    expect_ranges(cases, std::size(cases));
}

TEST(UntranslateRange, FirstEntryInTheWalkWins)
{
    struct { const char *file; Case c; } cases[] = {
        {"s0=Shared\ns1=Shared\ns0:c0=Blue\n", {"Shared", "s0"}},
        {"s0=Shared\ns1=Shared\ns0:c0=Blue\n", {"Shared:Blue", "s0:c0"}},
        {"s0:c3=Secret\ns1=Secret\n", {"Secret", "s0:c3"}},
        {"s1=Secret\ns0:c3=Secret\n", {"Secret", "s1"}},
    };
    for (auto &c : cases) {
        LoadedTable table(c.file);
        expect_ranges(&c.c, 1);
    }
}

// A converted list that would stand for more than 65,536 categories, counted as
// showlabel counts a list (its ranges written out, unless one is invalid: then one a
// token), comes back as written, so that rawlabel's result stays as bounded as
// showlabel's expansion.
TEST(UntranslateRange, ListsPastTheCapStayAsWritten)
{
    std::string all_categories;
    for (int n = 0; n <= 1023; n++)
        all_categories += (n ? ",c" : "c") + std::to_string(n);
    LoadedTable table("s0=SystemLow\ns0:" + all_categories + "=Wide\ns0:c0.c1023=All\ns0:c5=Five\ns0:c3.=Odd\n");
    // `name` written `times` times, joined by ','.
    auto names = [](const std::string &name, int times) {
        std::string list;
        for (int i = 0; i < times; i++)
            list += (i ? "," : "") + name;
        return list;
    };
    struct { const char *what; std::string in, out; } cases[] = {
        {"64 names of 1,024 categories", "SystemLow:" + names("Wide", 64), "s0:" + names(all_categories, 64)},
        {"65 of them", "SystemLow:" + names("Wide", 65), "SystemLow:" + names("Wide", 65)},
        {"64 ranges of 1,024", "SystemLow:" + names("All", 64), "s0:" + names("c0.c1023", 64)},
        {"and one more category", "SystemLow:Five," + names("All", 64), "SystemLow:Five," + names("All", 64)},
        {"65,536 names of one", "SystemLow:" + names("Five", 65536), "s0:" + names("c5", 65536)},
        {"65,537 of them", "SystemLow:" + names("Five", 65537), "SystemLow:" + names("Five", 65537)},
        {"an invalid range: one a token", "SystemLow:Odd," + names("All", 65), "s0:c3.," + names("c0.c1023", 65)},
        {"a whole name is no list", "Wide", "s0:" + all_categories},
    };
    for (auto &c : cases) {
        owned_text raw(untranslate_range(c.in.c_str()), &free);
        ASSERT_NE(raw, nullptr) << c.what;
        EXPECT_EQ(raw.get(), c.out) << c.what;
    }
}

TEST(FindRawLevel, LevelPartThenFallback)
{
    LoadedTable table(example_file);
    struct { const char *text, *level; } cases[] = {
        {"SystemLow:Blue", "s0"}, {"Secret-SystemLow", "s1"}, {"Mauve:Blue", "s15"}, {"s0", "s15"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(find_raw_level(c.text), c.level) << c.text;
}

TEST(FindRawLevel, NoneWithoutUsableFallback)
{
    for (const char *file : {no_fallback_file, ":c0=X\ns1:c0=Y\ns0=SystemLow\n"}) {
        LoadedTable table(file);
        EXPECT_EQ(find_raw_level("Mauve"), nullptr) << file;
        EXPECT_STREQ(find_raw_level("SystemLow:Blue"), "s0") << file;
    }
}

TEST(UntranslateContext, WorkedExamplesAndCollapse)
{
    LoadedTable table(example_file);
    const Case cases[] = {
        {"user_u:object_r:file_t:SystemLow", "user_u:object_r:file_t:s0"},
        {"user_u:object_r:file_t:SystemLow-SystemLow", "user_u:object_r:file_t:s0"},
        {"user_u:object_r:file_t:SystemLow-SystemHigh", "user_u:object_r:file_t:s0-s15:c0.c1023"},
        {"user_u:object_r:file_t:Secret:Red", "user_u:object_r:file_t:s1:c2"},
        {"user_u:object_r:file_t:SystemLow:Blue,Purple", "user_u:object_r:file_t:SystemLow:Blue,Purple"},
        {"user_u:object_r:file_t:s0:c0", "user_u:object_r:file_t:s0:c0"},
        {"u:r:t:SystemLow-s0", "u:r:t:s0-s0"},
        {"u:r:t:SystemLow-SystemLow:Blue", "u:r:t:s0-s0:c0"},
        {"u:r:t:s0-s0", "u:r:t:s0"},
        {"u:r:t:s0:c0-s0:c0", "u:r:t:s0:c0"},
        {"u:r:t:s0-s1", "u:r:t:s0-s1"},
        {"u:r:t", "u:r:t:s15"},
        {"u:r:t:-", "u:r:t:s15"},
        {"not a context", "(failed)"},
    };
    for (auto &c : cases)
        EXPECT_EQ(untranslated(c.in), c.out) << c.in;
}

TEST(UntranslateContext, TableDecidesWhatARangelessContextGains)
{
    struct { const char *file, *rangeless, *low; } cases[] = {
        {no_fallback_file, "u:r:t:s0:", "u:r:t:s0"},
        {"", "u:r:t", "u:r:t:SystemLow"},
        {"# nothing\n", "u:r:t", "u:r:t:SystemLow"},
    };
    for (auto &c : cases) {
        LoadedTable table(c.file);
        EXPECT_EQ(untranslated("u:r:t"), c.rangeless) << c.file;
        EXPECT_EQ(untranslated("u:r:t:SystemLow"), c.low) << c.file;
    }
}

} // namespace
