// SPDX-License-Identifier: MIT
// showlabel CONTEXT: print the security context with its MLS range translated,
// the inverse of rawlabel.
#include <cstdio>
#include <cstdlib>

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
        fprintf(stderr, usage_msg, argc > 0 ? argv[0] : "showlabel");
        return 1;
    }
    if (load_translation_table() != 0)
        return -1;
    char *translated = nullptr;
    if (translate_context(argv[1], &translated) != 0)
        return -1;
    // A line that cannot be written (a full disk) is no result.
    int status = (puts(translated) == EOF || fflush(stdout) == EOF) ? -1 : 0;
    free(translated);
    return status;
}
