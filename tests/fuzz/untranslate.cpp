// SPDX-License-Identifier: MIT
// Translated-to-raw conversions of arbitrary texts over a table loaded from arbitrary
// bytes. Input: the translations file, a NUL, the text (see fuzz_input.h).
#include <cstring>
#include <string>

#include <selinux/selinux.h>

#include "convert.h"
#include "fuzz_input.h"
#include "table.h"

// Convert `context`; a result keeps the user, role and type of a context that parsed.
static void untranslate_checked(const std::string &context, const char *prefix)
{
    char *raw = nullptr;
    if (untranslate_context(context.c_str(), &raw) != 0)
        return;
    FUZZ_CHECK(raw);
    FUZZ_CHECK(strncmp(raw, prefix, strlen(prefix)) == 0);
    freecon(raw);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    TableAndText input(data, size);
    (void)load_table_bytes(input.table, input.table_size);
    const char *text = input.text.c_str();
    // Memory does not run out here, so every conversion has a result.
    owned_text range(untranslate_range(text), &free);
    FUZZ_CHECK(range);
    owned_text level(untranslate_level(text), &free);
    FUZZ_CHECK(level);
    (void)find_raw_level(text);
    untranslate_checked(input.text, "");
    untranslate_checked("u:r:t:" + input.text, "u:r:t");
    release_translation_table();
    return 0;
}
