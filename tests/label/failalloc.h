// SPDX-License-Identifier: MIT
// A test allocator linked into a test executable: it replaces malloc, calloc,
// realloc and free, forwards them to the allocator behind it, and fails chosen
// requests. Allocations made while it is armed are tracked until freed.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Count allocation requests from now on, and fail request number `n` (1 for the
// first). With `persistent`, every later request fails too. 0 fails nothing.
void failalloc_arm(long n, int persistent);

// Stop counting and failing. Returns the number of requests seen while armed.
long failalloc_disarm(void);

// How many blocks allocated while armed are not yet freed.
long failalloc_live(void);

// The most bytes that the blocks allocated since the last arm held at once (a block
// that grew counts at its last size).
long failalloc_peak_bytes(void);

#ifdef __cplusplus
}
#endif
