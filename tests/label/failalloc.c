// SPDX-License-Identifier: MIT
/* The allocator of failalloc.h. It works both alone and in front of the
 * sanitizer's allocator: the functions behind it come from dlsym(RTLD_NEXT), and
 * whatever dlsym allocates while they are being looked up comes from a small
 * static arena that is never handed to the real free. */
#define _GNU_SOURCE
#include "failalloc.h"

#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

typedef void *(*malloc_fn)(size_t);
typedef void *(*calloc_fn)(size_t, size_t);
typedef void *(*realloc_fn)(void *, size_t);
typedef void (*free_fn)(void *);

static malloc_fn next_malloc;
static calloc_fn next_calloc;
static realloc_fn next_realloc;
static free_fn next_free;
static int resolving;

static _Alignas(max_align_t) char arena[8192];
static size_t arena_used;

static int armed;
static int fail_persistent;
static long fail_at;
static long requests;

enum { max_tracked = 1 << 16 };
static void *tracked[max_tracked];
static size_t tracked_size[max_tracked];
static long tracked_count;
static size_t live_bytes, peak_bytes;

static void resolve(void)
{
    if (next_free || resolving)
        return;
    resolving = 1;
    next_malloc = (malloc_fn)dlsym(RTLD_NEXT, "malloc");
    next_calloc = (calloc_fn)dlsym(RTLD_NEXT, "calloc");
    next_realloc = (realloc_fn)dlsym(RTLD_NEXT, "realloc");
    next_free = (free_fn)dlsym(RTLD_NEXT, "free");
    resolving = 0;
}

static void *arena_alloc(size_t size)
{
    size_t start = (arena_used + _Alignof(max_align_t) - 1) & ~(_Alignof(max_align_t) - 1);
    if (start + size > sizeof arena)
        return NULL;
    arena_used = start + size;
    memset(arena + start, 0, size);
    return arena + start;
}

static int in_arena(const void *p)
{
    return (const char *)p >= arena && (const char *)p < arena + sizeof arena;
}

/* Decide whether this request fails, counting it when armed. */
static int should_fail(void)
{
    if (!armed)
        return 0;
    requests++;
    if (fail_at > 0 && (requests == fail_at || (fail_persistent && requests > fail_at))) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

static void track(void *p, size_t size)
{
    if (p && armed && tracked_count < max_tracked) {
        tracked_size[tracked_count] = size;
        tracked[tracked_count++] = p;
        live_bytes += size;
        if (live_bytes > peak_bytes)
            peak_bytes = live_bytes;
    }
}

/* Forget a tracked block; returns 1 when it was tracked. */
static int untrack(void *p)
{
    for (long i = tracked_count - 1; i >= 0; i--)
        if (tracked[i] == p) {
            live_bytes -= tracked_size[i];
            tracked_count--;
            tracked[i] = tracked[tracked_count];
            tracked_size[i] = tracked_size[tracked_count];
            return 1;
        }
    return 0;
}

void *malloc(size_t size)
{
    resolve();
    if (!next_malloc)
        return arena_alloc(size);
    if (should_fail())
        return NULL;
    void *p = next_malloc(size);
    track(p, size);
    return p;
}

void *calloc(size_t count, size_t size)
{
    resolve();
    if (!next_calloc)
        return count && size > sizeof arena / count ? NULL : arena_alloc(count * size);
    if (should_fail())
        return NULL;
    void *p = next_calloc(count, size);
    track(p, count * size);
    return p;
}

void *realloc(void *old, size_t size)
{
    resolve();
    if (in_arena(old) || !next_realloc)
        return NULL;
    if (should_fail())
        return NULL;
    void *p = next_realloc(old, size);
    if (!p && size == 0)
        untrack(old);
    if (p && (untrack(old) || armed)) {
        int was_armed = armed;
        armed = 1;
        track(p, size);
        armed = was_armed;
    }
    return p;
}

void free(void *p)
{
    if (!p || in_arena(p))
        return;
    resolve();
    untrack(p);
    if (next_free)
        next_free(p);
}

void failalloc_arm(long n, int persistent)
{
    requests = 0;
    peak_bytes = live_bytes;
    fail_at = n;
    fail_persistent = persistent;
    armed = 1;
}

long failalloc_disarm(void)
{
    armed = 0;
    fail_at = 0;
    return requests;
}

long failalloc_live(void)
{
    return tracked_count;
}

long failalloc_peak_bytes(void)
{
    return (long)peak_bytes;
}
