#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one example parent with the interpreter it needs (skips with 77 when
# that is not installed): first as a user runs it, with SOCKRELAY naming the
# build, then with no sockrelay to be found, where it must stop with one
# line on standard error that names sockrelay. Each run has 60 s.
interpreter=$(command -v "$1") || { echo "skipped: $1 is not installed"; exit 77; }
timeout 60 "$interpreter" "$2"
case $? in
  0) ;;
  124) echo "the example was still running after 60 s"; exit 1 ;;
  *) exit 1 ;;
esac
path=$(printf '%s\n' "$PATH" | tr ':' '\n' | while read -r dir; do
  [ -x "$dir/sockrelay" ] || printf '%s:' "$dir"; done)
if err=$(timeout 60 env -u SOCKRELAY PATH="${path%:}" "$interpreter" "$2" 2>&1 >/dev/null); then
  echo "without sockrelay the example still succeeded"; exit 1
fi
case $(printf '%s\n' "$err" | wc -l):$err in
  1:*sockrelay*) echo "without sockrelay: $err" ;;
  *) printf 'without sockrelay, expected one line naming it; got:\n%s\n' "$err"; exit 1 ;;
esac
