// SPDX-License-Identifier: MIT
// mtdsim_region IMAGE ERASESIZE LENGTH: print the first LENGTH bytes of the good blocks of a
// simulated partition, as a reader that steps over bad blocks sees them. The bad blocks are
// those of MTDSIM_BAD and IMAGE.bad, but for those whose probe MTDSIM_PROBE_ERROR makes fail:
// the reader counts a failed probe as a good block. Exits 1 when the good blocks end first,
// after printing what they hold.
#include "mtdsim.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

constexpr char usage_msg[] = "usage: mtdsim_region IMAGE ERASESIZE LENGTH\n";
constexpr char no_image_msg[] = "mtdsim_region: cannot read %s\n";
constexpr char bad_list_msg[] = "mtdsim_region: MTDSIM_BAD is not a list of block numbers\n";

// Copy `len` bytes from `pos` of `image` to standard output. Returns 0, or -1 after saying why.
static int copy_out(FILE *image, const char *path, uint64_t pos, uint64_t len)
{
    char buf[4096];
    if (fseeko(image, off_t(pos), SEEK_SET) != 0) {
        fprintf(stderr, no_image_msg, path);
        return -1;
    }
    while (len > 0) {
        size_t n = fread(buf, 1, size_t(std::min<uint64_t>(len, sizeof buf)), image);
        if (n == 0) {
            fprintf(stderr, no_image_msg, path);
            return -1;
        }
        fwrite(buf, 1, n, stdout);
        len -= n;
    }
    return 0;
}

int main(int argc, char **argv)
{
    uint64_t erasesize = 0, length = 0;
    if (argc != 4 || parse_number(argv[2], erasesize) != 0 || erasesize == 0 ||
        parse_number(argv[3], length) != 0) {
        fputs(usage_msg, stderr);
        return 2;
    }
    const char *path = argv[1];
    struct stat st;
    FILE *image = fopen(path, "rb");
    if (!image || fstat(fileno(image), &st) != 0) {
        fprintf(stderr, no_image_msg, path);
        if (image)
            fclose(image);
        return 2;
    }
    uint64_t size = uint64_t(st.st_size);
    uint64_t nblocks = (size + erasesize - 1) / erasesize;
    std::vector<unsigned char> bad(static_cast<size_t>(nblocks));
    if (load_bad_blocks(path, bad.data(), nblocks) != 0) {
        fputs(bad_list_msg, stderr);
        fclose(image);
        return 2;
    }
    // A block whose probe fails reads as good, whatever it is.
    const char *probe_error = getenv("MTDSIM_PROBE_ERROR");
    if (probe_error && strcmp(probe_error, "all") == 0) {
        std::fill(bad.begin(), bad.end(), 0);
    } else if (probe_error) {
        std::vector<unsigned char> failing(static_cast<size_t>(nblocks));
        if (parse_block_list(probe_error, failing.data(), nblocks) != 0) {
            fputs(bad_list_msg, stderr);
            fclose(image);
            return 2;
        }
        for (size_t b = 0; b < bad.size(); b++)
            bad[b] = bad[b] && !failing[b];
    }
    int status = 0;
    for (uint64_t block = 0; block < nblocks && length > 0 && status == 0; block++) {
        if (bad[size_t(block)])
            continue;
        uint64_t start = block * erasesize;
        uint64_t n = std::min({length, erasesize, size - start});
        if (copy_out(image, path, start, n) != 0)
            status = 2;
        length -= n;
    }
    fclose(image);
    return status ? status : length > 0 ? 1 : 0;
}
