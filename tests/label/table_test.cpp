// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "table.h"
#include "table_file.h"
#include "table_walk.h"

namespace {

const char example_file[] = "s0:c9=Red\n"
                            "s0=SystemLow\n"
                            "s0:c0=Blue\n"
                            "s0:c1=Green\n"
                            "s15:c0.c1023=SystemHigh\n"
                            "s1=Secret\n";

TEST(LevelOfLabel, CutsAtFirstDashThenColon)
{
    struct { const char *label, *level; } cases[] = {
        {"s0:c0", "s0"}, {"s0-s15:c0", "s0"}, {"s0:c0-s1", "s0:c0"}, {"s2", "s2"}, {":c0", ""}, {"", ""},
    };
    for (auto &c : cases)
        EXPECT_STREQ(owned_text(level_of_label(c.label), &free).get(), c.level) << c.label;
}

TEST(LoadTranslationFile, ClassifiesEachLine)
{
    struct { std::string file, table; } cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {"  # s0=SystemLow\n", ""},
        {"===\n", ""},
        {"= = ==\n", ""},
        {"=\t=X\n", ""},
        {"s0\n", ""},
        {"s0=\n", ""},
        {"s0= \t\r\n", ""},
        {"==s0=SystemLow\n", "s0->SystemLow\n"},
        {"s0=SystemLow\n", "s0->SystemLow\n"},
        {"s0 = SystemLow \n", "s0-> SystemLow\n"},
        {"\t s0=SystemLow", "s0->SystemLow\n"},
        {"s0=A=B\n", "s0->A=B\n"},
        {"s0=SystemLow # note\n", "s0->SystemLow # note\n"},
        {"s0=SystemLow\r\n", "s0->SystemLow\n"},
        {"= s0=X\n", " s0->X\n"},
        {"s0:c0=Blue\n", "s0->\n\ts0:c0->Blue\n"},
        {"s0:c0.c1023=SystemHigh\n", "s0->\n\ts0:c0.c1023->SystemHigh\n"},
        {"s0-s15:c0.c1023=Everything\n", "s0->\n\ts0-s15:c0.c1023->Everything\n"},
        {"s0:c0-s15:c5=X\n", "s0:c0->\n\ts0:c0-s15:c5->X\n"},
        {":c0=X\n", "->\n\t:c0->X\n"},
        {"-s1=X\n", "->\n\t-s1->X\n"},
        {std::string("s0=Sys\0tem\ns1=Secret\n", 21), "s0->Sys\ns1->Secret\n"},
        {std::string("s0\0=X\n", 6), ""},
        // A category line goes to the first level of its name, also after a later one.
        {"s0:c0=A\ns0=X\ns0:c1=B\ns1:c0=C\ns0:c2=D\n",
         "s0->\n\ts0:c2->D\n\ts0:c1->B\n\ts0:c0->A\ns0->X\ns1->\n\ts1:c0->C\n"},
    };
    for (auto &c : cases) {
        LoadedTable table(c.file);
        EXPECT_EQ(table.result, 0) << c.file;
        EXPECT_EQ(table_dump(), c.table) << c.file;
    }
}

TEST(LoadTranslationFile, BuildsWorkedExample)
{
    LoadedTable table(example_file);
    EXPECT_EQ(table.result, 0);
    EXPECT_EQ(table_dump(), "s0->\n\ts0:c1->Green\n\ts0:c0->Blue\n\ts0:c9->Red\n"
                            "s0->SystemLow\n"
                            "s15->\n\ts15:c0.c1023->SystemHigh\n"
                            "s1->Secret\n");
}

TEST(PrintTranslationTable, ListsWorkedExample)
{
    LoadedTable table(example_file);
    testing::internal::CaptureStdout();
    print_translation_table();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "s0->\n\ts0:c1->Green\n\ts0:c0->Blue\n\ts0:c9->Red\ns0->SystemLow\n"
              "s15->\n\ts15:c0.c1023->SystemHigh\ns1->Secret\n");
}

TEST(RawForTranslation, NarrowsOnlyTheLevelsOwnTranslation)
{
    LoadedTable table(example_file);
    struct { const char *level, *text, *raw; } cases[] = {
        {"s1", "Secret", "s1"},
        {"s0", "Secret", "Secret"},
        {"s15", "Blue", "s0:c0"},
        {"s0", "SystemLow", "s0"},
        {"s0", "Mauve", "Mauve"},
        {"s0", "", "s0"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(raw_for_translation(c.level, c.text), c.raw) << c.level << " " << c.text;
    const char mauve[] = "Mauve";
    EXPECT_EQ(raw_for_translation("s0", mauve), mauve) << "no match returns the argument itself";
}

TEST(Lookups, TakeFirstMatchAndKeepDuplicates)
{
    LoadedTable table("s0=SystemLow\ns0=Other\ns1=SystemLow\ns0:c0=Blue\n");
    LevelEntry *first = find_level_entry("s0");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->translation, "SystemLow");
    ASSERT_NE(first->categories, nullptr);
    EXPECT_STREQ(first->categories->raw_label, "s0:c0");
    EXPECT_STREQ(first->next->translation, "Other");
    EXPECT_EQ(first->next->categories, nullptr);
    EXPECT_EQ(find_level_entry("s9"), nullptr);

    EXPECT_EQ(raw_level_for_translation("Other"), first->next->raw_level);
    EXPECT_EQ(raw_level_for_translation("SystemLow"), first->raw_level);
    EXPECT_STREQ(raw_for_translation("s1", "SystemLow"), "s1");
    const char blank[] = " SystemLow";
    EXPECT_EQ(raw_level_for_translation(blank), blank);
}

// A translations file of `lines` lines drawn from `names` raw levels and as many names,
// so that levels, names and labels repeat, names serve levels and categories alike, and
// category lines come before their level's line or with no level line at all; with
// labels such as s3-s15:c0.c7 and s3:c0,c2.
std::string generated_file(unsigned seed, int lines, int names)
{
    std::mt19937 random(seed);
    auto any = [&](int n) { return std::to_string(random() % unsigned(n)); };
    std::string file;
    for (int i = 0; i < lines; i++) {
        std::string level = "s" + any(names), name = "N" + any(names), category = "c" + any(8);
        switch (random() % 5) {
        case 0:
            file += level + "=" + name + "\n";
            break;
        case 1:
        case 2:
            file += level + ":" + category + "=" + name + "\n";
            break;
        case 3:
            file += level + "-s15:c0." + category + "=" + name + "\n";
            break;
        default:
            file += level + ":c0," + category + "=" + name + "\n";
        }
    }
    return file;
}

// Every lookup goes through an index that grows while the file loads; each must find
// what a walk of the list finds, entry for entry: the first level of a raw level or of a
// translation, the newest category of a label within its level, and for a translation
// under a raw level the first level of both or category of the translation, whichever the
// walk meets first.
TEST(Lookups, IndexFindsWhatTheWalkFinds)
{
    std::string many_levels;
    for (int i = 0; i < 3000; i++) {
        many_levels += "s" + std::to_string(i % 1200) + "=L" + std::to_string(i) + "\n";
        if (i % 3 == 0)
            many_levels += "t" + std::to_string(i) + ":c0=C" + std::to_string(i) + "\n";
    }
    struct { const char *what; std::string file; size_t levels; } cases[] = {
        {"3000 level lines, 1200 names", many_levels + ":c1=X\n", 3000 + 1000 + 1},
        {"few names", generated_file(1, 300, 4), 0},
        {"some names", generated_file(2, 600, 25), 0},
        {"many names", generated_file(3, 2000, 200), 0},
        {"category lines first", "s0:c0=B\ns1=B\ns0=B\ns1:c0=B\ns0:c1=A\ns1=A\ns0-s15:c0=A\n", 4},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        LoadedTable table(c.file);
        ASSERT_EQ(table.result, 0);
        // A translation under a raw level can only match that level's own line when some
        // level holds both; under any other raw level, the answer is the same.
        std::set<std::string> raw_levels = {"", "s", "s9999", "s0:c0"}, texts = {"", "absent", "s0"}, labels;
        std::map<std::string, std::set<std::string>> raw_levels_of = {{"", {"s1"}}};
        size_t levels = 0;
        for (const LevelEntry *level = translation_table; level; level = level->next) {
            levels++;
            raw_levels.insert(level->raw_level);
            texts.insert(level->translation);
            raw_levels_of[level->translation].insert(level->raw_level);
            for (const CategoryEntry *cat = level->categories; cat; cat = cat->next) {
                texts.insert(cat->translation);
                labels.insert(cat->raw_label);
            }
        }
        if (c.levels) {
            EXPECT_EQ(levels, c.levels);
        }
        for (auto &raw : raw_levels)
            ASSERT_EQ(find_level_entry(raw.c_str()), walked_level(raw.c_str())) << raw;
        texts.insert(labels.begin(), labels.end());
        for (auto &text : texts) {
            ASSERT_EQ(raw_level_for_translation(text.c_str()), walked_raw_level(text.c_str())) << text;
            std::set<std::string> under = raw_levels_of[text];
            under.insert({"", "s9999"});
            for (auto &raw : under)
                ASSERT_EQ(raw_for_translation(raw.c_str(), text.c_str()), walked_raw(raw.c_str(), text.c_str()))
                    << raw << " " << text;
        }
        // Later levels of a name hold no categories, but are asked all the same.
        labels.insert({"", "s0", "s0:c99", "absent"});
        for (const LevelEntry *level = translation_table; level; level = level->next)
            for (auto &label : labels)
                ASSERT_EQ(find_category_entry(level, label.c_str()), walked_category(level, label.c_str()))
                    << level->raw_level << " " << label;
    }
    LoadedTable table(many_levels);
    for (const char *absent : {"s1200", "t1", "s", "L0", "s0:c0"})
        EXPECT_EQ(find_level_entry(absent), nullptr) << absent;
}

// 2^pairs raw levels, "s" and then one of two 4-byte blocks for each pair, whose FNV-1a
// hashes (the index's hash once) agree in their low `bits` bits: the low bits of that
// hash after a byte depend only on its low bits before it, so blocks that meet from a
// common state can be chained.
std::vector<std::string> fnv_colliding_levels(int bits, int pairs)
{
    const uint64_t mask = (uint64_t(1) << bits) - 1, prime = 1099511628211u;
    auto step = [&](uint64_t hash, const std::string &text) {
        for (unsigned char c : text)
            hash = ((hash ^ c) * prime) & mask;
        return hash;
    };
    std::mt19937 random(1);
    uint64_t hash = step(14695981039346656037u & mask, "s");
    std::vector<std::pair<std::string, std::string>> blocks;
    while (int(blocks.size()) < pairs) {
        std::map<uint64_t, std::string> seen;
        for (;;) {
            std::string block;
            for (int i = 0; i < 4; i++)
                block += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
            uint64_t next = step(hash, block);
            auto [at, added] = seen.emplace(next, block);
            if (!added && at->second != block) {
                blocks.emplace_back(at->second, block);
                hash = next;
                break;
            }
        }
    }
    std::vector<std::string> levels;
    for (unsigned choice = 0; choice < 1u << pairs; choice++) {
        std::string level = "s";
        for (int i = 0; i < pairs; i++)
            level += choice >> i & 1 ? blocks[size_t(i)].second : blocks[size_t(i)].first;
        levels.push_back(level);
    }
    return levels;
}

// The index's hash has a key of its own to each process, so names cannot be written to
// share a slot: with FNV-1a, 65,536 such levels took 10 s to load, each probing past all
// those before it.
TEST(Lookups, CraftedNamesCostNoMoreThanOthers)
{
    std::vector<std::string> levels = fnv_colliding_levels(16, 12);
    std::string file;
    for (auto &level : levels)
        file += level + "=L\n" + level + ":c0=C\n";
    unsigned long before = index_probes;
    LoadedTable table(file);
    ASSERT_EQ(table.result, 0);
    EXPECT_LT(index_probes - before, 8 * 2 * levels.size()) << "probes for " << 2 * levels.size() << " lines";
    for (auto &level : levels) {
        LevelEntry *found = find_level_entry(level.c_str());
        ASSERT_NE(found, nullptr) << level;
        EXPECT_EQ(found->raw_level, level);
    }
}

TEST(Lookups, TranslationWithLeadingBlankMatchesOnlyWithIt)
{
    LoadedTable table("s0 = SystemLow\n");
    const char plain[] = "SystemLow";
    EXPECT_EQ(raw_level_for_translation(plain), plain);
    EXPECT_STREQ(raw_level_for_translation(" SystemLow"), "s0");
}

TEST(Lookups, LaterLevelLineForACategorysLevelAddsSecondEntry)
{
    LoadedTable table("s2:c5=Gold\ns2=Top\ns2:c6=Silver\n");
    EXPECT_EQ(table_dump(), "s2->\n\ts2:c6->Silver\n\ts2:c5->Gold\ns2->Top\n");
    EXPECT_STREQ(raw_level_for_translation(""), "s2");
}

TEST(LoadTranslationFile, CommentsOnlyLeaveTheTableEmpty)
{
    LoadedTable table("# levels\n\n   # none yet\n\t\n");
    EXPECT_EQ(table.result, 0);
    EXPECT_EQ(translation_table, nullptr);
}

TEST(LoadTranslationFile, NoReadableFileGivesOne)
{
    const char *dir = getenv("TMPDIR");
    struct { const char *what, *path; } cases[] = {
        {"no path", nullptr},
        {"missing file", "/nonexistent/translations.conf"},
        {"a directory", dir ? dir : "/tmp"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(load_translation_file(c.path), 1) << c.what;
        EXPECT_EQ(translation_table, nullptr) << c.what;
    }
}

// The unit tests link the stand-ins of tests/label/mlsfake.c for the two
// libselinux calls; the environment chooses their answers.
TEST(LoadTranslationTable, AsksLibselinuxForMlsAndPath)
{
    std::string path = temp_file("s0=SystemLow\n");
    struct { const char *what, *mls, *path; int result; const char *table; } cases[] = {
        {"MLS on", "1", path.c_str(), 0, "s0->SystemLow\n"},
        {"MLS off", "0", path.c_str(), 1, ""},
        {"MLS query failed", "-1", path.c_str(), 1, ""},
        {"no path", "1", nullptr, 1, ""},
        {"missing file", "1", "/nonexistent/translations.conf", 1, ""},
    };
    for (auto &c : cases) {
        setenv("LABEL_TEST_MLS", c.mls, 1);
        if (c.path)
            setenv("LABEL_TEST_TRANSLATIONS", c.path, 1);
        else
            unsetenv("LABEL_TEST_TRANSLATIONS");
        EXPECT_EQ(load_translation_table(), c.result) << c.what;
        EXPECT_EQ(table_dump(), c.table) << c.what;
        release_translation_table();
    }
    unsetenv("LABEL_TEST_MLS");
    unsetenv("LABEL_TEST_TRANSLATIONS");
}

} // namespace
