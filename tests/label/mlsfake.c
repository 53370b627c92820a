// SPDX-License-Identifier: MIT
/* Stands in for two libselinux calls so that a test chooses whether MLS is
 * enabled and which translations file is read; every other call stays the real
 * library's. Preloaded into the shipped programs (LD_PRELOAD) and linked into the
 * unit tests.
 *   LABEL_TEST_MLS           the answer of is_selinux_mls_enabled (default 1)
 *   LABEL_TEST_TRANSLATIONS  the translations file's path (unset: no path)
 */
#include <stdlib.h>

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
