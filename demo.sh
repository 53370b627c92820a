#!/bin/sh
# SPDX-License-Identifier: MIT
# Install what is missing, build, and show the programs at work: the flash programs on a
# simulated NAND partition with a bad block, rawlabel on a sample translations file.
set -e
cd "$(dirname "$0")"
sh tools/deps.sh
# The simulator and libmlsfake.so, which the demo preloads, are test targets.
cmake -S . -B build/demo -DBUILD_TESTING=ON -DFIELDTOOLS_WERROR=ON >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec sh tools/demo-run.sh build/demo
