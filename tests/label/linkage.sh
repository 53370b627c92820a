#!/bin/bash
# SPDX-License-Identifier: MIT
# The label programs load libselinux and the C library, and nothing of the C++ runtime
# or the math library: tests/linkage.sh's check, with libselinux required too.
#   linkage.sh PROGRAM...
exec bash "$(dirname "$0")/../linkage.sh" --needs libselinux.so.1 "$@"
