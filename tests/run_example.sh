#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one example parent with the interpreter it needs; skips (77) when
# that interpreter is not installed.
command -v "$1" >/dev/null 2>&1 || { echo "skipped: $1 is not installed"; exit 77; }
exec "$1" "$2"
