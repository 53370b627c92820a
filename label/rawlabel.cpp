// SPDX-License-Identifier: MIT
// rawlabel CONTEXT: print the security context with its MLS range in raw form.
#include <cstdio>

#include <selinux/selinux.h>

#include "convert.h"
#include "descriptors.h"
#include "table.h"

static const char usage_msg[] = "usage:  %s context\n";

int main(int argc, char **argv)
{
    // A closed standard descriptor would be taken by the translations file, and the
    // result written there (or refused).
    if (open_standard_descriptors() != 0)
        return -1;
    if (argc != 2) {
        fprintf(stderr, usage_msg, argc > 0 ? argv[0] : "rawlabel");
        return 1;
    }
    if (load_translation_table() != 0)
        return -1;
    char *raw = nullptr;
    if (untranslate_context(argv[1], &raw) != 0)
        return -1;
    // A line that cannot be written (a full disk) is no result.
    int status = (puts(raw) == EOF || fflush(stdout) == EOF) ? -1 : 0;
    freecon(raw);
    return status;
}
