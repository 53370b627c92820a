// SPDX-License-Identifier: MIT
// cellshow NAME POS: print the text cell at POS of the factory region, and a newline.
#include "flash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static constexpr char usage_msg[] = "cellshow [xml] [pos]\n";
static constexpr char malloc_fail_msg[] = "Factory: %s malloc fail!!!\n";
static constexpr char open_fail_msg[] = "Factory: %s open fail!!!\n";

int main(int argc, char **argv)
{
    if (mtd_prepare_process("cellshow") != 0)
        return -1;
    if (argc <= 2) {
        fputs(usage_msg, stderr);
        return -1;
    }
    const char *pos_text = argv[2];
    char device[64];
    if (mtd_resolve_device("cellshow", FACTORY_DEVICE, device, sizeof device) != 0)
        return -1;
    char *image = static_cast<char *>(malloc(FACTORY_REGION_SIZE));
    if (!image) {
        fprintf(stderr, malloc_fail_msg, device);
        return -1;
    }
    int fd = mtd_open(device, false);
    if (fd < 0) {
        fprintf(stderr, open_fail_msg, device);
        free(image);
        return -1;
    }
    mtd_info_user info;
    if (mtd_read_geometry(fd, info) != 0) {
        close(fd);
        free(image);
        return -1;
    }
    char *answer = nullptr;
    const int recovered = mtd_recover(fd, device, false, "cellshow", &answer);
    if (recovered == recover_stop) {
        if (fd >= 0)
            close(fd);
        free(image);
        return -1;
    }
    RegionState state;
    if (answer) {
        memcpy(image, answer, FACTORY_REGION_SIZE);
        free(answer);
        mtd_region_whole(state, FACTORY_REGION_SIZE);
    } else {
        lseek(fd, 0, SEEK_SET);
        mtd_read_region(fd, info, image, FACTORY_REGION_SIZE, "main", state);
    }
    // The region is in memory: let writers in before printing, which may wait on our reader.
    if (fd >= 0)
        close(fd);
    int32_t pos = 0;
    int status = mtd_cell_offset("cellshow", pos_text, FACTORY_REGION_SIZE, &pos);
    if (status == 0)
        status = mtd_print_cell("cellshow", image, FACTORY_REGION_SIZE, state, pos, true);
    if (recovered == recover_answer_failed || recovered == recover_flash_failed)
        status = -1;
    free(image);
    return status;
}
