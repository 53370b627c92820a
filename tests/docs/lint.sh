#!/bin/bash
# SPDX-License-Identifier: MIT
# The manual pages render without a warning: mandoc's lint and groff with every
# warning on, each where it is installed (tools/deps.sh installs both).
#   lint.sh PAGE...
. "$CLAIM"

if ! command -v mandoc >/dev/null && ! command -v groff >/dev/null; then
    echo "neither mandoc nor groff is installed: nothing to lint with"
    exit 77
fi
for page in "$@"; do
    name=$(basename "$page")
    if command -v mandoc >/dev/null; then
        same "mandoc -Tlint $name: no message, status 0" "0" "$(mandoc -Tlint "$page" 2>&1; echo $?)"
    fi
    if command -v groff >/dev/null; then
        same "groff -ww -man $name: no warning" "" "$(groff -ww -man -Tutf8 -z "$page" 2>&1)"
    fi
done
finish
