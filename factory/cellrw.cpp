// SPDX-License-Identifier: MIT
// cellrw r OFFSET | w OFFSET VALUE: read or write one text cell of the factory region.
#include "flash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static constexpr char usage_read_msg[] = "cellrw r[read] [offset]\n";
static constexpr char usage_write_msg[] = "cellrw w[write] [offset] [value]\n";
static constexpr char no_data_msg[] = "cellrw could not get factory data\n";
static constexpr char value_too_long_msg[] = "cellrw: a value of %zu characters is longer than %d\n";

static FactoryImage factory;

// Run the command word on the loaded region. Returns the exit status.
static int run_command(int argc, char **argv)
{
    const bool read = strcmp(argv[1], "r") == 0;
    const bool write = strcmp(argv[1], "w") == 0;
    if (!read && !write)
        return 0;
    if (write && argc <= 3)
        return -1;
    if (mtd_cell_offset("cellrw", argv[2], factory.region_size, &factory.cell_offset) != 0)
        return -1;
    if (read)
        return mtd_print_cell("cellrw", factory.image, factory.region_size, factory.read,
                              factory.cell_offset, false);
    const size_t length = strlen(argv[3]);
    if (length > FACTORY_VALUE_MAX) {
        fprintf(stderr, value_too_long_msg, length, FACTORY_VALUE_MAX);
        return -1;
    }
    memcpy(factory.value, argv[3], length + 1);
    return mtd_set_data(factory);
}

int main(int argc, char **argv)
{
    if (mtd_prepare_process("cellrw") != 0)
        return -1;
    mtd_init_data(factory);
    if (argc <= 2) {
        fputs(usage_read_msg, stderr);
        fputs(usage_write_msg, stderr);
        return -1;
    }
    if (mtd_resolve_device("cellrw", FACTORY_DEVICE, factory.device, sizeof factory.device) != 0)
        return -1;
    factory.writing = strcmp(argv[1], "w") == 0;
    if (mtd_get_data(factory) < 0) {
        fputs(no_data_msg, stderr);
        return -1;
    }
    // A reader has the region in memory: it lets writers in before it prints, which may
    // wait on whoever reads its output.
    if (!factory.writing && factory.fd >= 0) {
        close(factory.fd);
        factory.fd = -1;
    }
    int status = run_command(argc, argv);
    if (factory.recovery_failed)
        status = -1;
    if (factory.fd >= 0)
        close(factory.fd);
    free(factory.image);
    return status;
}
