#!/usr/bin/env bash
# Checks the release downloads of the current commit. Clones it twice, into
# folders of different names and depths, runs scripts/package in each and
# requires the same bytes from both; then unpacks the archives and checks
# what a user gets: the entries and SHA256SUMS, the Linux program converting
# the samples (also in a Debian 11 chroot, as it is linked statically) with
# its hardening and its manual page, the Debian package (lintian, install,
# man, remove), lstconvert.exe's manifest, version resource, imports,
# hardening and lack of debug sections, and the exe converting under Wine
# exactly as the Linux program does (tests/wine/program_tests.sh).
#
# Usage: tests/package/check.sh   (packages the last commit, not the working tree)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel) || exit 1
commit=$(git -C "$repo" rev-parse HEAD) || exit 1
. "$repo/scripts/setup.sh"
EnsurePackages "${PackagePackages[@]}" "${PackageCheckPackages[@]}" "${WindowsPackages[@]}" || exit 1

work=$(mktemp -d /tmp/lstconvert-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# Two clones of the commit; the second one's path is longer and has a space.
first="$work/a"
second="$work/second clone/of lstconvert"
start=$SECONDS
for clone in "$first" "$second"; do
  { git clone -q --no-checkout "$repo" "$clone" && git -C "$clone" checkout -q --detach "$commit"; } ||
    { echo "cannot clone $repo" >&2; exit 1; }
  if ! (cd "$clone" && scripts/package) >"$work/package.log" 2>&1; then
    cat "$work/package.log" >&2
    echo "FAIL: scripts/package failed in $clone" >&2
    exit 1
  fi
done
echo "packaged twice in $((SECONDS - start)) s"

# The same bytes from both clones.
diff <(ls -A "$first/dist") <(ls -A "$second/dist") >&2 || fail "the clones wrote different files"
for file in "$first"/dist/*; do
  cmp "$file" "$second/dist/${file##*/}" >&2 || fail "${file##*/} differs between the clones"
done

version=$(sed -n 's/^project(lstconvert VERSION \([0-9.]*\).*/\1/p' "$first/CMakeLists.txt")
linux=lstconvert-$version-linux-x86_64
windows=lstconvert-$version-windows-x86_64
dist="$first/dist"
deb=lstconvert_${version}_amd64.deb
[ "$(LC_ALL=C ls "$dist")" = "$(printf '%s\n' SHA256SUMS "$linux.tar.gz" "$windows.zip" "$deb")" ] ||
  fail "dist/ holds $(ls "$dist" | tr '\n' ' '), expected $linux.tar.gz, $windows.zip, $deb and SHA256SUMS"
(cd "$dist" && sha256sum --quiet --strict -c SHA256SUMS) || fail "SHA256SUMS does not match"

# The entries of each archive.
expected=$(printf "$linux/%s\n" "" bin/ bin/lstconvert share/ share/doc/ share/doc/lstconvert/ \
  share/doc/lstconvert/CHANGELOG.md share/doc/lstconvert/LICENSE share/doc/lstconvert/README.md \
  share/man/ share/man/man1/ share/man/man1/lstconvert.1)
[ "$(tar -tzf "$dist/$linux.tar.gz")" = "$expected" ] ||
  fail "$linux.tar.gz holds: $(tar -tzf "$dist/$linux.tar.gz" | tr '\n' ' ')"
expected=$(printf "$windows/%s\n" CHANGELOG.md LICENSE README.md lstconvert.exe lstconvert.html)
[ "$(unzip -Z1 "$dist/$windows.zip")" = "$expected" ] ||
  fail "$windows.zip holds: $(unzip -Z1 "$dist/$windows.zip" | tr '\n' ' ')"

unpacked="$work/unpacked"
mkdir "$unpacked"
tar -xzf "$dist/$linux.tar.gz" -C "$unpacked" && unzip -q "$dist/$windows.zip" -d "$unpacked" ||
  { echo "FAIL: cannot unpack the archives" >&2; exit 1; }
program="$unpacked/$linux/bin/lstconvert"
exe="$unpacked/$windows/lstconvert.exe"
for document in README.md LICENSE CHANGELOG.md; do
  for copy in "$unpacked/$linux/share/doc/lstconvert/$document" "$unpacked/$windows/$document"; do
    cmp -s "$copy" "$first/$document" || fail "${copy#"$unpacked/"} is not $document"
  done
done

# The Linux program on the samples: every one backed up, then either
# converted or refused with a message and left as it was.
Decode() {
  if [ "$(head -c 2 "$1" | od -An -tx1 | tr -d ' ')" = fffe ]; then iconv -f UTF-16LE -t UTF-8 "$1"; else cat "$1"; fi
}
samples="$work/samples"
mkdir "$samples"
cp "$first"/examples/*.lst "$samples/"
(cd "$samples" && "$program" </dev/null >"$work/out" 2>"$work/err")
status=$?
[ "$status" -eq 0 ] || fail "the Linux program exited with $status: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "the Linux program wrote to standard output"
converted=0
for original in "$first"/examples/*.lst; do
  name=${original##*/}
  cmp -s "$samples/$name.bak" "$original" || fail "$name: no backup"
  if cmp -s "$samples/$name" "$original"; then
    grep -qF "$samples/$name " "$work/err" || fail "$name: unchanged, but no message"
  elif Decode "$samples/$name" | grep -q 'TableID=Partlist'; then
    converted=$((converted + 1))
  else
    fail "$name: changed, but not bound to Partlist"
  fi
done
[ "$converted" -gt 0 ] || fail "the Linux program converted none of the samples"
echo "ok: the Linux program converted $converted samples"
"$program" --version | head -n 1 | grep -qx "lstconvert $version" || fail "--version does not say $version"

# Linked statically, so it needs no C library of the system's; hardened:
# PIE, full RELRO, the stack protector's canary, the fortified functions'
# checks and control-flow protection's landing pads are all in the code.
headers=$(readelf -l -d "$program")
! grep -qE 'INTERP|NEEDED' <<<"$headers" || fail "the Linux program is linked dynamically"
grep -q 'GNU_RELRO' <<<"$headers" && grep -q 'BIND_NOW' <<<"$headers" || fail "no full RELRO"
grep -q 'Flags: NOW PIE' <<<"$headers" || fail "the Linux program is no PIE"
code=$(objdump -d "$program")
grep -q '%fs:0x28' <<<"$code" || fail "no stack protector"
grep -q endbr64 <<<"$code" || fail "no control-flow protection"
grep -qa 'buffer overflow detected' "$program" || fail "no fortified functions"

# The same samples, the same result, on Debian 11 (glibc 2.31): its chroot is
# made once and kept in /var/cache, as a fresh clone cannot keep it.
old=/var/cache/lstconvert-test/bullseye
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the Debian 11 chroot (needs root)"
else
  if [ ! -x "$old/bin/sh" ]; then
    rm -rf "$old.new" && mkdir -p "$old.new" &&
      timeout 900 debootstrap --variant=minbase bullseye "$old.new" >"$work/debootstrap.log" 2>&1 &&
      mv "$old.new" "$old"
  fi
  if [ -x "$old/bin/sh" ]; then
    inside=$(mktemp -d "$old/tmp/lstconvert-XXXXXX")
    cp "$program" "$inside/lstconvert" && cp "$first"/examples/*.lst "$inside/"
    chroot "$old" /bin/sh -c "cd '${inside#"$old"}' && ./lstconvert </dev/null" >/dev/null 2>"$work/old.err"
    rm "$inside/lstconvert"
    diff -r "$samples" "$inside" >&2 || fail "on Debian 11 the Linux program ends otherwise"
    rm -rf "$inside"
    echo "ok: the Linux program on Debian 11 as here"
  else
    echo "skipped: the Debian 11 chroot, which cannot be made (no package mirror?): $(tail -n 1 "$work/debootstrap.log")"
  fi
fi

# The Debian package: lintian finds nothing, not even at the pedantic and
# informational levels; it installs with apt-get, man shows its manual page,
# and it removes.
lintian --info --pedantic --tag-display-limit 0 "$dist/$deb" 2>/dev/null | grep . >&2 &&
  fail "lintian has something to say about $deb"
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing $deb (needs root)"
elif ! dpkg-query -W lstconvert >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$dist/$deb" >/dev/null 2>&1 ||
    fail "apt-get cannot install $deb"
  lstconvert --version | head -n 1 | grep -qx "lstconvert $version" || fail "the installed program is not $version"
  MANPAGER=cat MANWIDTH=80 man lstconvert 2>/dev/null | grep -q "lstconvert $version" ||
    fail "man lstconvert does not show the manual"
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq lstconvert >/dev/null 2>&1 ||
    fail "apt-get cannot remove lstconvert"
  [ ! -e /usr/bin/lstconvert ] || fail "/usr/bin/lstconvert is still there after the removal"
  echo "ok: $deb installs, shows its manual and removes"
else
  echo "skipped: installing $deb, as a package lstconvert is installed here already"
fi

# Its manual page: no warnings, and man renders it.
page="$unpacked/$linux/share/man/man1/lstconvert.1"
bash "$repo/tests/manual_test.sh" "$page" "$version" || failed=1
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "lstconvert $version" || fail "man -l does not render $page"
grep -q 'LSTCONVERT(1)' "$unpacked/$windows/lstconvert.html" || fail "lstconvert.html is not the manual"

# The exe: resources, imports, no debug sections; then under Wine beside the
# Linux program.
bash "$repo/tests/windows/exe_test.sh" "$exe" "$version" --release || failed=1
LSTCONVERT_WINE_QUICK=1 bash "$repo/tests/wine/program_tests.sh" "$exe" "$program" || failed=1

echo "package check: $((SECONDS - start)) s"
[ "$failed" -eq 0 ] && echo "package check passed"
exit "$failed"
