// SPDX-License-Identifier: MIT
#include "descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Those below are open, so the lowest free descriptor is this one.
        int opened = open("/dev/null", O_RDWR);
        if (opened != fd) {
            if (opened >= 0)
                close(opened);
            return -1;
        }
    }
    return 0;
}
