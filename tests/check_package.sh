#!/bin/sh
# Builds the .deb from an existing build directory and checks what it holds.
set -eu
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
listing=$("$1/scripts/package" "$2" "$out")
echo "$listing"
for want in "Package: sockrelay" "Version: $3" "Depends: libc6" \
            "./usr/bin/sockrelay" "./usr/share/man/man1/sockrelay.1"; do
  echo "$listing" | grep -qF "$want" || { echo "missing from the package: $want"; exit 1; }
done
