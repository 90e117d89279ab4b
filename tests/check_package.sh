#!/bin/sh
# SPDX-License-Identifier: MIT
# Packages from an existing build directory and checks the result: what the
# .deb holds, lintian, the hardening of the binary inside, that the source
# tarball holds exactly the committed files, and that a copy of the tree in
# another directory, built afresh, gives a byte-identical .deb.
set -eu
src=$1 build=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
listing=$("$src/scripts/package" "$build" "$tmp/out")
echo "$listing"
for want in "Package: sockrelay" "Version: $version" "Depends: libc6" \
            "./usr/bin/sockrelay" "./usr/share/man/man1/sockrelay.1.gz" \
            "./usr/share/doc/sockrelay/copyright" "./usr/share/doc/sockrelay/changelog.gz"; do
  echo "$listing" | grep -qF "$want" || { echo "missing from the package: $want"; exit 1; }
done
deb=$(ls "$tmp"/out/sockrelay_*.deb)

lintian --fail-on error,warning --display-info "$deb"
dpkg-deb -x "$deb" "$tmp/root"
"$src/tests/check_hardening.sh" "$tmp/root/usr/bin/sockrelay"

tar -tzf "$tmp/out/sockrelay-$version.tar.gz" | sed -n "s|^sockrelay-$version/||; /[^/]$/p" \
  | sort > "$tmp/tarball"
git -C "$src" ls-tree -r --name-only HEAD | sort > "$tmp/committed"
diff "$tmp/committed" "$tmp/tarball" || { echo "the source tarball is not the committed tree"; exit 1; }

SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
mkdir "$tmp/copy"
(cd "$src" && git ls-files -z | xargs -0 cp --parents -t "$tmp/copy")
"$tmp/copy/scripts/package" "$tmp/copy/build" "$tmp/again" >/dev/null
cmp "$deb" "$tmp/again/$(basename "$deb")" || { echo "a second build differs: not reproducible"; exit 1; }
echo "reproducible: $(sha256sum < "$deb" | cut -c1-64)"
