// SPDX-License-Identifier: MIT
// Unit tests of the block loops and the argument checks. The device calls go to the
// simulated partition: this binary runs with the simulator preloaded.
#include "flash.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The tests call the functions with a region size and a device of their own, so that they
// hold whatever partition and region the build was configured for.
constexpr int32_t region_size = 0x60000;
constexpr char device[] = "/dev/mtd7";

std::string scratch_dir()
{
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp ? tmp : "/tmp") + "/flash_test.XXXXXX";
    return mkdtemp(dir.data()) ? dir : std::string();
}

// A simulated partition: each block filled with its own number, nothing bad.
struct Partition {
    std::string dir = scratch_dir();
    std::string image = dir + "/part";
    std::string trace = dir + "/trace";
    int fd = -1;

    Partition(uint32_t size, uint32_t erasesize, int type = 4, const char *bad = "")
    {
        std::vector<unsigned char> bytes(size);
        for (uint32_t i = 0; i < size; i++)
            bytes[i] = static_cast<unsigned char>(i / erasesize + 1);
        FILE *f = fopen(image.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        setenv("MTDSIM_IMAGE", image.c_str(), 1);
        setenv("MTDSIM_TRACE", trace.c_str(), 1);
        setenv("MTDSIM_SIZE", std::to_string(size).c_str(), 1);
        setenv("MTDSIM_ERASESIZE", std::to_string(erasesize).c_str(), 1);
        setenv("MTDSIM_TYPE", std::to_string(type).c_str(), 1);
        setenv("MTDSIM_BAD", bad, 1);
        setenv("MTDSIM_DEVICE", device, 1);
        fd = open(device, O_RDWR);
    }
    ~Partition()
    {
        if (fd >= 0)
            close(fd);
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << cmd;
    }
    // The device calls of one kind ("getbad", "erase", "write", ...), in order.
    std::string calls(const char *kind) const
    {
        std::string out, line;
        FILE *f = fopen(trace.c_str(), "r");
        if (!f)
            return out;
        char buf[256];
        while (fgets(buf, sizeof buf, f))
            if (strncmp(buf, kind, strlen(kind)) == 0)
                out += buf;
        fclose(f);
        return out;
    }
};

TEST(ReadRegion, StopsAtThePartitionsEndAndZeroesTheRest)
{
    Partition p(0x40000, 0x20000);
    ASSERT_GE(p.fd, 0);
    std::vector<char> buf(region_size, 'x');
    mtd_info_user info;
    ASSERT_EQ(mtd_read_geometry(p.fd, info), 0);
    RegionState state;
    mtd_read_region(p.fd, info, buf.data(), region_size, "t", state);
    EXPECT_EQ(state.loaded, 0x40000);
    EXPECT_EQ(buf[0x3ffff], 2);
    EXPECT_EQ(buf[0x40000], 0);
    EXPECT_EQ(buf[region_size - 1], 0);
}

TEST(EraseRegion, ACountOfZeroStillErasesOneGoodBlock)
{
    Partition p(0x80000, 0x20000, 4, "0");
    EXPECT_EQ(mtd_erase_region(p.fd, 0), 1);
    EXPECT_EQ(p.calls("erase"), "erase 0x20000 0x20000 -> 0\n");
}

TEST(EraseRegion, APartitionSmallerThanTheCountIsErasedWholeAndDone)
{
    Partition p(0x40000, 0x20000, 3);
    EXPECT_EQ(mtd_erase_region(p.fd, region_size), 1);
    EXPECT_EQ(p.calls("erase"), "erase 0x0 0x20000 -> 0\nerase 0x20000 0x20000 -> 0\n");
    EXPECT_EQ(p.calls("getbad"), "");
}

TEST(MaxWrite, ANegativeLengthWritesNothing)
{
    Partition p(0x80000, 0x20000);
    const std::vector<unsigned char> data(0x20000, 0);
    EXPECT_EQ(cgi_max_write(p.fd, data.data(), -1), 0);
    EXPECT_EQ(p.calls("write"), "");
}

TEST(MaxWrite, TheLastBlockBadEndsWithTheExcessLine)
{
    Partition p(0x60000, 0x20000, 4, "2");
    ASSERT_EQ(mtd_erase_region(p.fd, region_size), 1);
    const std::vector<unsigned char> data(region_size, 0x5a);
    CaptureStderr();
    EXPECT_EQ(cgi_max_write(p.fd, data.data(), region_size), 0x40000);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("[cgi_max_write] check badblock @ 0x40000\nbad block at 00040000 bad\n"
                       "[cgi_max_write] check badblock @ 0x60000\nbad block excess range 0x60000 \n"),
              std::string::npos)
        << err;
}

TEST(MaxWrite, NorLargerThanThePartitionWritesThePartitionInBlocks)
{
    Partition p(0x40000, 0x20000, 3);
    ASSERT_EQ(mtd_erase_region(p.fd, region_size), 1);
    const std::vector<unsigned char> data(region_size, 0x5a);
    CaptureStderr();
    EXPECT_EQ(cgi_max_write(p.fd, data.data(), region_size), 0x40000);
    GetCapturedStderr();
    EXPECT_EQ(p.calls("write"), "write 0x0 0x20000 -> 0x20000\nwrite 0x20000 0x20000 -> 0x20000\n");
}

TEST(MaxWrite, NorWritesARemainderLast)
{
    Partition p(0x80000, 0x20000, 3);
    ASSERT_EQ(mtd_erase_region(p.fd, 0x30000), 1);
    const std::vector<unsigned char> data(0x30000, 0x5a);
    CaptureStderr();
    EXPECT_EQ(cgi_max_write(p.fd, data.data(), 0x30000), 0x30000);
    EXPECT_EQ(GetCapturedStderr(), "[cgi_max_write] write flash @ 00000000, length = 131072, MEMTYPE=NOR FLASH\n"
                                   "[cgi_max_write] write flash @ 00020000, length = 65536, MEMTYPE=NOR FLASH\n");
}

TEST(CheckRegion, NamesTheFirstDifferingOffset)
{
    Partition p(0x80000, 0x20000, 4, "0");
    std::vector<char> image(region_size, 2);
    for (int i = 0x20000; i < 0x40000; i++)
        image[i] = 3;
    for (int i = 0x40000; i < region_size; i++)
        image[i] = 4;
    EXPECT_EQ(mtd_check_region(p.fd, image.data(), region_size), 0);
    image[0x41234] = 9;
    CaptureStderr();
    EXPECT_EQ(mtd_check_region(p.fd, image.data(), region_size), -1);
    EXPECT_EQ(GetCapturedStderr(), "[mtd_check_region] flash differs from the image at offset 0x41234\n");

    // What could not be read back is no match, even where the image holds the zeros that
    // stand in for unread data.
    Partition small(0x40000, 0x20000);
    std::vector<char> short_image(region_size, 0);
    std::fill(short_image.begin(), short_image.begin() + 0x20000, 1);
    std::fill(short_image.begin() + 0x20000, short_image.begin() + 0x40000, 2);
    CaptureStderr();
    EXPECT_EQ(mtd_check_region(small.fd, short_image.data(), region_size), -1);
    EXPECT_EQ(GetCapturedStderr(), "[mtd_check_region] flash differs from the image at offset 0x40000\n");
}

TEST(CellOffset, ReadsLikeAtoiAndRefusesWhatLiesOutside)
{
    struct { const char *text; int32_t offset; } inside[] = {
        {"0", 0}, {"abc", 0}, {"", 0}, {"  \t12x", 12}, {"+7", 7}, {"-0", 0}, {"393215", 393215}, {"0012", 12},
    };
    for (auto &c : inside) {
        int32_t offset = -5;
        EXPECT_EQ(mtd_cell_offset("t", c.text, region_size, &offset), 0) << c.text;
        EXPECT_EQ(offset, c.offset) << c.text;
    }
    const char *outside[] = {"-1", "393216", "2147483648", "4294967296", "-4294967296", "18446744073709551616",
                             "99999999999999999999999"};
    for (const char *text : outside) {
        int32_t offset = -5;
        CaptureStderr();
        EXPECT_EQ(mtd_cell_offset("t", text, region_size, &offset), -1) << text;
        EXPECT_EQ(GetCapturedStderr(), std::string("t: offset ") + text + " is outside the factory region\n");
        EXPECT_EQ(offset, -5) << text;
    }
}

TEST(PrintCell, StopsAtTheImagesEndAndRefusesUnreadCells)
{
    std::vector<char> image(16, 'a');
    image[3] = 0;
    RegionState half{}, whole{};
    half.loaded = 8;
    whole.loaded = 16;
    CaptureStderr();
    EXPECT_EQ(mtd_print_cell("t", image.data(), 16, half, 4, false), -1);
    EXPECT_EQ(GetCapturedStderr(), "t: the cell at offset 4 lies beyond the data that could be read\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(mtd_print_cell("t", image.data(), 16, whole, 12, true), 0);
    EXPECT_EQ(mtd_print_cell("t", image.data(), 16, half, 0, false), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "aaaa\naaa");
}

TEST(Damage, ACellIsDamagedWhenAnyOfItsBytesOrItsNulIs)
{
    RegionState state{};
    state.loaded = 0x60000;
    state.damaged = 2;
    state.damage_start[0] = 0x20000;
    state.damage_end[0] = 0x40000;
    state.damage_start[1] = 0x50000;
    state.damage_end[1] = 0x50001;
    struct { int64_t from, to; bool damaged; } cases[] = {
        {0, 0x20000, false}, {0x1fff0, 0x20001, true}, {0x3ffff, 0x40005, true}, {0x40000, 0x50000, false},
        {0x50000, 0x50001, true}, {0x50001, 0x50010, false},
    };
    for (auto &c : cases)
        EXPECT_EQ(mtd_damaged(state, c.from, c.to), c.damaged) << std::hex << c.from << "-" << c.to;
}

} // namespace
