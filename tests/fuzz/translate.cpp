// SPDX-License-Identifier: MIT
// Raw-to-translated conversions of arbitrary texts over a table loaded from arbitrary
// bytes. Input: the translations file, a NUL, the text (see fuzz_input.h).
#include <cstring>
#include <string>

#include "convert.h"
#include "fuzz_input.h"
#include "table.h"

// Translate `context`; a result keeps the user, role and type of a context that parsed.
static void translate_checked(const std::string &context, const char *prefix)
{
    char *name = nullptr;
    if (translate_context(context.c_str(), &name) != 0)
        return;
    FUZZ_CHECK(name);
    FUZZ_CHECK(strncmp(name, prefix, strlen(prefix)) == 0);
    free(name);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    TableAndText input(data, size);
    (void)load_table_bytes(input.table, input.table_size);
    const char *text = input.text.c_str();
    // Null only for a label whose level the table lacks (memory does not run out here).
    owned_text level(translate_level(text), &free);
    owned_text whole_level(level_of_label(text), &free);
    FUZZ_CHECK(level || !find_level_entry(whole_level.get()));
    owned_text list(expand_category_list(text), &free);
    FUZZ_CHECK(list);
    translate_checked(input.text, "");
    translate_checked("u:r:t:" + input.text, "u:r:t");
    release_translation_table();
    return 0;
}
