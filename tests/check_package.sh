#!/bin/sh
# SPDX-License-Identifier: MIT
# Packages from an existing build directory and checks the result: what the
# .deb holds, lintian, the hardening of the binary inside, that the source
# tarball holds exactly the committed files, and that the tarball, unpacked
# and built elsewhere, gives a byte-identical .deb.
set -eu
src=$1 build=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
listing=$("$src/scripts/package" "$build" "$tmp/out")
echo "$listing"
for want in "Package: sockrelay" "Version: $version" "Depends: libc6" \
            "./usr/bin/sockrelay" "./usr/share/man/man1/sockrelay.1.gz" \
            "./usr/share/doc/sockrelay/copyright" "./usr/share/doc/sockrelay/changelog.gz" \
            "./usr/share/doc/sockrelay/examples/sockrelay.socket" \
            "./usr/share/doc/sockrelay/examples/sockrelay@.service"; do
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

# The tarball, unpacked inside another git work tree as a packaging
# repository would, finds its own release time and gives the same .deb.
mkdir "$tmp/outer"
git -C "$tmp/outer" init -q
tar -xzf "$tmp/out/sockrelay-$version.tar.gz" -C "$tmp/outer"
env -u SOURCE_DATE_EPOCH "$tmp/outer/sockrelay-$version/scripts/package" \
  "$tmp/outer/build" "$tmp/again" >/dev/null
for f in "$tmp/again"/* "$tmp/again"/.[!.]*; do
  if [ -e "$f" ] && [ "$f" != "$tmp/again/$(basename "$deb")" ]; then
    echo "a stray file in out/: $f"; exit 1
  fi
done
cmp "$deb" "$tmp/again/$(basename "$deb")" ||
  { echo "the .deb built from the tarball differs from the checkout's"; exit 1; }
echo "reproducible from the tarball: $(sha256sum < "$deb" | cut -c1-64)"
