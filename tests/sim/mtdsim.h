// SPDX-License-Identifier: MIT
// What the flash simulator's preload library and its region tool share: the limits of a
// simulated partition and the reading of bad-block lists.
#pragma once

#include <cstdint>

// Most erase blocks a simulated partition may have; the library keeps its sets of blocks,
// one byte a block, in arrays of this size.
constexpr uint64_t max_blocks = 1 << 16;

// Read `text` as a whole number in C notation (decimal, 0x hex, 0 octal).
// Returns 0 with `value` set, or -1 when anything else is in the text.
[[nodiscard]] int parse_number(const char *text, uint64_t &value);

// Mark in `set` (one byte for each of `nblocks` blocks) the blocks that the comma-separated
// `list` names; numbers at or past `nblocks` name nothing. Returns 0, or -1 when an item is
// not a number.
[[nodiscard]] int parse_block_list(const char *list, unsigned char *set, uint64_t nblocks);

// Fill `bad` (one byte for each of `nblocks` blocks) with the factory bad blocks of the
// MTDSIM_BAD environment list and the blocks marked bad since, listed one a line in
// `image`.bad. Returns 0, or -1 when MTDSIM_BAD is not a list of numbers.
[[nodiscard]] int load_bad_blocks(const char *image, unsigned char *bad, uint64_t nblocks);
