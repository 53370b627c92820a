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
                            "s0:c2=Red\n"
                            "s1=Secret\n"
                            "s1:c0=Alpha\n"
                            "s2:c5=Gold\n"
                            "s15=Top\n"
                            "s15:c0.c1023=SystemHigh\n";

// A converted text, or "(none)".
std::string text_or_none(char *text)
{
    std::string result = text ? text : "(none)";
    free(text);
    return result;
}

// "c0,c1,...,cN" for the categories from..to.
std::string category_run(int from, int to)
{
    std::string list;
    for (int n = from; n <= to; n++)
        list += (list.empty() ? "c" : ",c") + std::to_string(n);
    return list;
}

std::string translated(const char *context)
{
    char *out = nullptr;
    if (translate_context(context, &out) != 0)
        return "(failed)";
    return text_or_none(out);
}

TEST(TranslationForRaw, LevelThenItsOwnCategories)
{
    LoadedTable table(example_file);
    struct { const char *level, *label, *name; } cases[] = {
        {"s0", "s0", "SystemLow"},
        {"s2", "s2", ""},
        {"s0", "s0:c1", "Green"},
        {"s0", "s0:c7", "s0:c7"},
        {"s1", "s1:c0", "Alpha"},
        {"s0", "s1:c0", "s1:c0"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(translation_for_raw(c.level, c.label), c.name) << c.label;
    EXPECT_EQ(translation_for_raw("s9", "s9"), nullptr);
    const char label[] = "s0:c7";
    EXPECT_EQ(translation_for_raw("s0", label), label);
}

TEST(ExpandCategoryList, WritesOutValidRangesOnly)
{
    struct { const char *cats; std::string list; } cases[] = {
        {"c0.c2", "c0,c1,c2"},
        {",c2,,c0,", "c2,c0"},
        {"c1,c4.c6,c2", "c1,c4,c5,c6,c2"},
        {"10.c12", category_run(0, 12)},
        {"c0.x5", category_run(0, 5)},
        {"c5.c5", "c5"},
        {"c00.c02", "c0,c1,c2"},
        {"c007", "c007"},
        {"c0.c", "c0"},
        {"c1020.c1023", "c1020,c1021,c1022,c1023"},
        {"c0.c1024", "c0.c1024"},
        {"c-1.c3", "c-1.c3"},
        {"c3.c2", "c3.c2"},
        {"c0.c99999999999999999999", "c0.c99999999999999999999"},
        {"c3.", "c3."},
        {"c1,c3.,c4", "c1,c3.,c4"},
        {"", ""},
        {",,", ",,"},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_or_none(expand_category_list(c.cats)), c.list) << c.cats;
}

TEST(ExpandCategoryList, WritesOutAtMost65536Categories)
{
    EXPECT_EQ(text_or_none(expand_category_list("c0.c1023")), category_run(0, 1023));
    EXPECT_EQ(text_or_none(expand_category_list("c0.c1023,c0.c1023")),
              category_run(0, 1023) + "," + category_run(0, 1023));
    std::string at_cap = "c0.c1023", written = category_run(0, 1023);
    for (int i = 1; i < 64; i++) {
        at_cap += ",c0.c1023";
        written += "," + category_run(0, 1023);
    }
    EXPECT_EQ(text_or_none(expand_category_list(at_cap.c_str())), written);
    for (const std::string &past : {at_cap + ",c5", at_cap + ",c0.c0", "c1," + at_cap})
        EXPECT_EQ(text_or_none(expand_category_list(past.c_str())), past);
}

TEST(TranslateLevel, WorkedExamples)
{
    LoadedTable table(example_file);
    struct { const char *label, *name; } cases[] = {
        {"s0", "SystemLow"},
        {"s2", ""},
        {"s9", "(none)"},
        {"s9:c0", "(none)"},
        {"s1:c0", "Secret:Alpha"},
        {"s2:c5", "Gold"},
        {"s15:c0.c1023", "SystemHigh"},
        {"s0:c0.c2", "SystemLow:Blue,Green,Red"},
        {"s0:,c2,,c0,", "SystemLow:Red,Blue"},
        {"s0:c2,c2", "SystemLow:Red,Red"},
        {"s0:c0,c3", "s0:c0,c3"},
        {"s0:c0.c1024", "s0:c0.c1024"},
        {"s0:c2.c1", "s0:c2.c1"},
        {"s0:c0.c3", "s0:c0.c3"},
        {"s0:", "s0:"},
        {"s0:,", "s0:,"},
        {"s0-s1", "s0-s1"},
        {"s0-s1:c0", "SystemLow:Blue"},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_or_none(translate_level(c.label)), c.name) << c.label;
}

TEST(TranslateLevel, JoinsTheLevelsNameUnlessSpecialEmptyOrEqual)
{
    LoadedTable table(std::string(example_file) +
                      "s0-s15:c0.c1023=Everything\ns0:c9=SystemLow\ns1:c1=SystemHigh\ns2:c6,c7=Plate\n"
                      "s0:c3.=Odd\n");
    struct { const char *label, *name; } cases[] = {
        {"s0-s15:c0.c1023", "SystemLow:Everything"},
        {"s0:c9", "SystemLow"},
        {"s1:c1", "SystemHigh"},
        {"s2:c6,c7", "Plate"},
        {"s2:c5", "Gold"},
        // A range ending in '.' is looked up as written.
        {"s0:c0,c3.", "SystemLow:Blue,Odd"},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_or_none(translate_level(c.label)), c.name) << c.label;
}

TEST(TranslateContext, WorkedExamples)
{
    LoadedTable table(example_file);
    struct { const char *context, *out; } cases[] = {
        {"u:r:t:s0", "u:r:t:SystemLow"},
        {"u:r:t:s0-s15:c0.c1023", "u:r:t:SystemLow-SystemHigh"},
        {"u:r:t:s0-s9", "u:r:t:SystemLow-s9"},
        {"u:r:t:s0:c0-s1:c0", "u:r:t:SystemLow:Blue-Secret:Alpha"},
        {"u:r:t:s9", "u:r:t:s9"},
        {"u:r:t:s2", "u:r:t"},
        {"u:r:t:s0-s1:c0", "u:r:t:SystemLow:Blue"},
        {"u:r:t", "u:r:t"},
        {"u:r:t:s1-s0-s1", "u:r:t:Secret-s0-s1"},
        {"u:r:t:s1-s0:c0.c2", "u:r:t:Secret-SystemLow:Blue,Green,Red"},
        // An end that translates to the empty text stays as written.
        {"u:r:t:s2-s0", "u:r:t:s2-SystemLow"},
        {"u:r:t:s0-s2", "u:r:t:SystemLow-s2"},
        {"u:r:t:s2-s2", "u:r:t:s2-s2"},
        {"u:r:t:s2-s0:c0", "u:r:t:s2-SystemLow:Blue"},
        {"nonsense", "(failed)"},
    };
    for (auto &c : cases)
        EXPECT_EQ(translated(c.context), c.out) << c.context;
}

TEST(TranslateContext, EmptyTableKeepsTheContext)
{
    LoadedTable table("# nothing yet\n");
    EXPECT_EQ(translated("u:r:t:s0"), "u:r:t:s0");
    EXPECT_EQ(translated("u:r:t"), "u:r:t");
}

} // namespace
