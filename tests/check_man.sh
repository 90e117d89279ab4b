#!/bin/sh
# SPDX-License-Identifier: MIT
# The man page must format without a single groff warning.
command -v groff >/dev/null 2>&1 || { echo "skipped: groff is not installed"; exit 77; }
out=$(groff -man -ww -z "$1" 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
