// SPDX-License-Identifier: MIT
/* Stands in for two libselinux calls so that a test chooses whether MLS is
 * enabled and which translations file is read; every other call stays the real
 * library's. Preloaded into the shipped programs (LD_PRELOAD) and linked into the
 * unit tests.
 *   LABEL_TEST_MLS           the answer of is_selinux_mls_enabled (default 1)
 *   LABEL_TEST_TRANSLATIONS  the translations file's path (unset: no path)
 *   LABEL_TEST_READ_FAIL     N: the read of that file's Nth line fails, as a disk
 *                            error would (N one past the last line: the read that
 *                            would find the end)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <selinux/selinux.h>

int is_selinux_mls_enabled(void)
{
    const char *mls = getenv("LABEL_TEST_MLS");
    return mls ? atoi(mls) : 1;
}

const char *selinux_translations_path(void)
{
    return getenv("LABEL_TEST_TRANSLATIONS");
}

/* Whether `stream` reads the file that LABEL_TEST_TRANSLATIONS names. */
static int reads_translations(FILE *stream)
{
    const char *path = getenv("LABEL_TEST_TRANSLATIONS");
    struct stat named, opened;
    return path && stat(path, &named) == 0 && fstat(fileno(stream), &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

typedef ssize_t (*getdelim_fn)(char **, size_t *, int, FILE *);

/* The library's getdelim, with LABEL_TEST_READ_FAIL's failure: at the chosen line the
 * stream drops what it has buffered and its descriptor becomes a directory's, so that
 * its next read really fails (EISDIR) and the stream's error mark is set. The setting
 * is read when a stream is new (it has no buffer yet), not at every line, so that the
 * benchmark's large files pay nothing for it. */
ssize_t getdelim(char **line, size_t *size, int delimiter, FILE *stream)
{
    static getdelim_fn next_getdelim;
    static FILE *watched;
    static long lines, fail_at;
    if (!next_getdelim)
        next_getdelim = (getdelim_fn)dlsym(RTLD_NEXT, "getdelim");
    if (__fbufsize(stream) == 0) {
        const char *fail = getenv("LABEL_TEST_READ_FAIL");
        watched = fail && reads_translations(stream) ? stream : NULL;
        fail_at = fail ? atol(fail) : 0;
        lines = 0;
    }
    if (stream == watched && ++lines == fail_at) {
        int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        __fpurge(stream);
        if (directory >= 0) {
            dup2(directory, fileno(stream));
            close(directory);
        }
        watched = NULL;
    }
    return next_getdelim(line, size, delimiter, stream);
}
