#!/bin/sh
# Install what is missing, build, and show the programs at work: the flash programs on a
# simulated NAND partition with a bad block, rawlabel on a sample translations file.
set -e
cd "$(dirname "$0")"
sh tools/deps.sh
cmake -S . -B build/demo >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec sh tools/demo-run.sh build/demo
