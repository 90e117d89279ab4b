#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one example parent with the interpreter it needs (skips with 77 when
# that is not installed): first as a user runs it, with SOCKRELAY naming the
# build, then once for each mistake a user can make: no sockrelay to be
# found, one that cannot be run, one that fails. Each of those must end
# with one line on standard error that names sockrelay, and leave no
# process behind. Each run has 60 s.
interpreter=$(command -v "$1") || { echo "skipped: $1 is not installed"; exit 77; }
example=$2
timeout 60 "$interpreter" "$example"
case $? in
  0) ;;
  124) echo "the example was still running after 60 s"; exit 1 ;;
  *) exit 1 ;;
esac
path=$(printf '%s\n' "$PATH" | tr ':' '\n' | while read -r dir; do
  [ -x "$dir/sockrelay" ] || printf '%s:' "$dir"; done)
err=$(mktemp)
trap 'rm -f "$err"' EXIT
status=0
for mistake in "missing:-u SOCKRELAY PATH=${path%:}" "unusable:SOCKRELAY=/dev/null" \
    "failing:SOCKRELAY=false"; do
  what=${mistake%%:*}
  # The mark in the environment finds whatever the example left running.
  mark="SOCKRELAY_EXAMPLE_RUN=$$-$what"
  # shellcheck disable=SC2086  # the environment settings are split on purpose
  if timeout 60 env ${mistake#*:} "$mark" "$interpreter" "$example" >/dev/null 2>"$err"; then
    echo "$what sockrelay: the example still succeeded"; status=1
  fi
  case $(wc -l < "$err"):$(cat "$err") in
    1:*sockrelay*) echo "$what sockrelay: $(cat "$err")" ;;
    *) printf '%s sockrelay: expected one line naming it; got:\n%s\n' "$what" "$(cat "$err")"; status=1 ;;
  esac
  left=$(grep -l -x -z -F "$mark" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3)
  if [ -n "$left" ]; then
    # shellcheck disable=SC2086  # one process number a word
    { echo "$what sockrelay: the example left processes running:" $left; kill -9 $left; } 2>/dev/null
    status=1
  fi
done
exit $status
