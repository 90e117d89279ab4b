#!/bin/sh
# SPDX-License-Identifier: MIT
# The man page must format without a single warning from groff or from
# mandoc's lint (style notes included).
for tool in groff mandoc; do
  command -v $tool >/dev/null 2>&1 || { echo "skipped: $tool is not installed"; exit 77; }
done
out=$(groff -man -ww -z "$1" 2>&1; mandoc -Tlint -W all "$1" 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
