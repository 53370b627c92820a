// SPDX-License-Identifier: MIT
// cellshow NAME POS: print the text cell at POS of the factory region, and a newline.
#include "flash.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static constexpr char usage_msg[] = "cellshow [xml] [pos]\n";
static constexpr char malloc_fail_msg[] = "Factory: %s malloc fail!!!\n";
static constexpr char open_fail_msg[] = "Factory: %s open fail!!!\n";

int main(int argc, char **argv)
{
    if (argc <= 2) {
        fputs(usage_msg, stderr);
        return -1;
    }
    const char *pos_text = argv[2];
    char *image = static_cast<char *>(malloc(FACTORY_REGION_SIZE));
    if (!image) {
        fprintf(stderr, malloc_fail_msg, FACTORY_DEVICE);
        return -1;
    }
    const int fd = mtd_open(FACTORY_DEVICE, false);
    if (fd < 0) {
        fprintf(stderr, open_fail_msg, FACTORY_DEVICE);
        free(image);
        return -1;
    }
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0) {
        close(fd);
        free(image);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    RegionState state;
    mtd_read_region(fd, info, image, FACTORY_REGION_SIZE, "main", state);
    int32_t pos = 0;
    int status = mtd_cell_offset("cellshow", pos_text, FACTORY_REGION_SIZE, &pos);
    if (status == 0)
        status = mtd_print_cell("cellshow", image, FACTORY_REGION_SIZE, state, pos, true);
    close(fd);
    free(image);
    return status;
}
