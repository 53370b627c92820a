// SPDX-License-Identifier: MIT
// The standard descriptors of the label programs.
#pragma once

// Make sure that descriptors 0, 1 and 2 are open, opening /dev/null on each one that
// is closed, so that no file opened later takes the place of standard input, output
// or error. Call it before anything is opened. Returns 0, or -1 when one was closed
// and /dev/null could not take its place.
[[nodiscard]] int open_standard_descriptors();
