// SPDX-License-Identifier: MIT
// The arguments of cellrw and cellshow, checked the way the programs check them, over a
// loaded region and without a device: cellrw's run_command (its OFFSET and VALUE checks,
// then mtd_print_cell or mtd_set_data) and cellshow's POS check and print.
//
// Input: the words after the program name, separated by NULs (cellrw's argv[1..]).
// Each input runs over three loads: the region read whole, read only in part, and read
// whole with a range of uncorrectable errors. The descriptor is -1, so a commit that
// passes every check fails at its first device call without touching anything.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash.h"
#include "fuzz_input.h"

// cellrw.cpp itself, its main renamed, for its run_command and its record.
#define main cellrw_main
#include "cellrw.cpp"
#undef main

namespace {

// The region as loaded: short cells, and a last cell without its NUL.
struct Region {
    std::vector<char> pristine;
    Region() : pristine(size_t(FACTORY_REGION_SIZE), '\0')
    {
        for (int32_t at = 0; at + 16 <= FACTORY_REGION_SIZE; at += 16)
            snprintf(&pristine[size_t(at)], 16, "cell%d", at);
        memset(&pristine[size_t(FACTORY_REGION_SIZE - 300)], 'z', 300);
    }
};

// The three loads each input runs over.
void set_load(RegionState &state, int which)
{
    memset(&state, 0, sizeof state);
    state.loaded = FACTORY_REGION_SIZE;
    if (which == 1)
        state.loaded = 0x40000 + 100;
    if (which == 2) {
        state.damaged = 1;
        state.damage_start[0] = 0x20000;
        state.damage_end[0] = 0x40000;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Region region;
    static char *image = static_cast<char *>(malloc(size_t(FACTORY_REGION_SIZE)));

    // argv as the shell hands it over: the program name, the words, a null.
    std::vector<std::string> words{"cellrw"};
    std::string word;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    words.push_back(word);
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const int argc = int(words.size());
    // Both programs print their usage and stop below three words.
    if (argc <= 2)
        return 0;

    for (int load = 0; load < 3; load++) {
        memcpy(image, region.pristine.data(), region.pristine.size());
        mtd_init_data(factory);
        factory.fd = -1;
        factory.image = image;
        factory.writing = strcmp(argv[1], "w") == 0;
        set_load(factory.read, load);
        const int status = run_command(argc, argv.data());
        FUZZ_CHECK(status == 0 || status == -1);
        // A commit never got past the checks to a device that is not there.
        FUZZ_CHECK(!factory.writing || status == -1);

        int32_t pos = -1;
        if (mtd_cell_offset("cellshow", argv[2], FACTORY_REGION_SIZE, &pos) == 0) {
            FUZZ_CHECK(pos >= 0 && pos < FACTORY_REGION_SIZE);
            (void)mtd_print_cell("cellshow", image, FACTORY_REGION_SIZE, factory.read, pos, true);
        }
    }
    return 0;
}
