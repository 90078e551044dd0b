#!/usr/bin/env bash
# Makes the Debian package lstconvert_<version>_amd64.deb in OUTPUT_DIR from
# the build of the release-deb preset in BUILD_DIR: /usr/bin/lstconvert,
# the manual page gzipped, README.md, the machine-readable copyright file and
# the Debian changelog, with the Depends that dpkg-shlibdeps finds. Every
# time stamp is SOURCE_DATE_EPOCH, owners are root, permissions fixed and
# compression single-threaded, so the same commit gives the same bytes.
#
# Usage: package.sh BUILD_DIR OUTPUT_DIR   (needs dpkg-dev)
set -euo pipefail
build=$(realpath "$1")
out=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
: "${SOURCE_DATE_EPOCH:?set SOURCE_DATE_EPOCH to the sources time}"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root="$stage/debian/lstconvert"

DESTDIR="$root" cmake --install "$build" --strip >/dev/null
[ -x "$root/usr/bin/lstconvert" ] || { echo "the build does not install into /usr" >&2; exit 1; }
# As Debian's own packages are stripped: no compiler identification either.
strip --remove-section=.comment --remove-section=.note "$root/usr/bin/lstconvert"
doc="$root/usr/share/doc/lstconvert"
# The copyright file and the Debian changelog stand for these two here.
rm "$doc/LICENSE" "$doc/CHANGELOG.md"
cp "$here/copyright" "$doc/copyright"
gzip -9 -n -c "$here/changelog" >"$doc/changelog.gz"
gzip -9 -n "$root/usr/share/man/man1/lstconvert.1"

mkdir -p "$stage/debian" "$root/DEBIAN"
printf 'Source: lstconvert\n\nPackage: lstconvert\nArchitecture: amd64\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O debian/lstconvert/usr/bin/lstconvert |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod 644 {} +
chmod 755 "$root/usr/bin/lstconvert"
cat >"$root/DEBIAN/control" <<CONTROL
Package: lstconvert
Version: $version
Architecture: amd64
Maintainer: The lstconvert authors <lstconvert@example.org>
Installed-Size: $(du -s -k --apparent-size "$root/usr" | cut -f1)
Depends: $depends
Section: utils
Priority: optional
Description: bind report projects to the data table Partlist
 lstconvert converts, in one batch, the report project files (*.lst) of the
 current directory so that they are bound to the data table Partlist, and
 qualifies the field names of their filter and sums with "Partlist.".
 .
 Each converted project keeps its original as <name>.lst.bak. Projects that
 were never saved by the report designer, or are bound already, are refused
 with a message and left as they are. Files are replaced atomically and
 durably, in their own encoding (UTF-16LE or 8-bit text).
CONTROL
(cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

mkdir -p "$out"
deb="$out/lstconvert_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" "$deb" >/dev/null
echo "$deb"
