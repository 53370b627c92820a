// SPDX-License-Identifier: MIT
// What the two halves of the preload library share: the device (mtdsim.cpp) and the journal
// directory (journal_dir.cpp). The helpers are defined in mtdsim.cpp.
#pragma once

#include <dlfcn.h>
#include <sys/types.h>

// The definition of `name` that comes after this library: the sanitizer runtime's or the C
// library's. Calls that the library itself stands in for must reach it this way when the
// simulator makes them for its own files.
template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library's open and close, for the simulator's own files.
int host_open(const char *path, int flags, mode_t mode);
void host_close(int fd);

// The name of errno value `e` ("EIO"), or its number when it has none.
const char *errno_name(int e, char (&buf)[16]);

// The errno that `text` names, as "EIO" or as a number; 0 when it names none.
int errno_value(const char *text);

// Append one formatted line to `path`, creating it. The program may exit at any moment, so
// nothing waits in a buffer.
__attribute__((format(printf, 2, 3))) void append_line(const char *path, const char *format, ...);
