// SPDX-License-Identifier: MIT
#include "mtdsim.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int parse_number(const char *text, uint64_t &value)
{
    if (!text || !*text || *text == '-')
        return -1;
    char *end = nullptr;
    value = strtoull(text, &end, 0);
    return *end ? -1 : 0;
}

int parse_block_list(const char *list, unsigned char *set, uint64_t nblocks)
{
    char item[32];
    while (*list) {
        size_t len = strcspn(list, ",");
        if (len == 0 || len >= sizeof item)
            return -1;
        memcpy(item, list, len);
        item[len] = '\0';
        uint64_t block = 0;
        if (parse_number(item, block) != 0)
            return -1;
        if (block < nblocks)
            set[block] = 1;
        list += len;
        if (*list == ',')
            list++;
    }
    return 0;
}

int load_bad_blocks(const char *image, unsigned char *bad, uint64_t nblocks)
{
    memset(bad, 0, size_t(nblocks));
    const char *factory = getenv("MTDSIM_BAD");
    if (factory && parse_block_list(factory, bad, nblocks) != 0)
        return -1;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s.bad", image) >= int(sizeof path))
        return 0;
    FILE *marked = fopen(path, "r");
    if (!marked)
        return 0;
    unsigned long long block = 0;
    while (fscanf(marked, "%llu", &block) == 1)
        if (block < nblocks)
            bad[block] = 1;
    fclose(marked);
    return 0;
}
