// SPDX-License-Identifier: MIT
// The OFFSET of cellrw and the POS of cellshow from arbitrary text. mtd_cell_offset reads
// the way atoi does, without its overflow: it must accept exactly the texts whose value,
// as strtol reads it (saturating), lies in the region, and give that value.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "flash.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    int32_t offset = -1;
    const int result = mtd_cell_offset("cellrw", text.c_str(), FACTORY_REGION_SIZE, &offset);
    const long expected = strtol(text.c_str(), nullptr, 10);
    if (expected >= 0 && expected < FACTORY_REGION_SIZE) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(offset == expected);
    } else {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(offset == -1);
    }
    return 0;
}
