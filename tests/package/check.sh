#!/usr/bin/env bash
# Checks the release archives of the current commit. Clones it twice, into
# folders of different names and depths, runs scripts/package in each and
# requires the same bytes from both; then unpacks the archives and checks
# what a user gets: the entries and SHA256SUMS, the Linux program converting
# the samples and its manual page, lstconvert.exe's manifest, version
# resource, imports and lack of debug sections, and the exe converting under
# Wine exactly as the Linux program does (tests/wine/program_tests.sh).
#
# Usage: tests/package/check.sh   (packages the last commit, not the working tree)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel) || exit 1
commit=$(git -C "$repo" rev-parse HEAD) || exit 1
. "$repo/scripts/setup.sh"
EnsurePackages "${PackagePackages[@]}" "${WindowsPackages[@]}" || exit 1

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
[ "$(ls "$dist")" = "$(printf '%s\n' SHA256SUMS "$linux.tar.gz" "$windows.zip")" ] ||
  fail "dist/ holds $(ls "$dist" | tr '\n' ' '), expected $linux.tar.gz, $windows.zip and SHA256SUMS"
(cd "$dist" && sha256sum --quiet --strict -c SHA256SUMS) || fail "SHA256SUMS does not match"

# The entries of each archive.
expected=$(printf "$linux/%s\n" "" bin/ bin/lstconvert share/ share/doc/ share/doc/lstconvert/ \
  share/doc/lstconvert/README.md share/man/ share/man/man1/ share/man/man1/lstconvert.1)
[ "$(tar -tzf "$dist/$linux.tar.gz")" = "$expected" ] ||
  fail "$linux.tar.gz holds: $(tar -tzf "$dist/$linux.tar.gz" | tr '\n' ' ')"
expected=$(printf "$windows/%s\n" README.md lstconvert.exe lstconvert.html)
[ "$(unzip -Z1 "$dist/$windows.zip")" = "$expected" ] ||
  fail "$windows.zip holds: $(unzip -Z1 "$dist/$windows.zip" | tr '\n' ' ')"

unpacked="$work/unpacked"
mkdir "$unpacked"
tar -xzf "$dist/$linux.tar.gz" -C "$unpacked" && unzip -q "$dist/$windows.zip" -d "$unpacked" ||
  { echo "FAIL: cannot unpack the archives" >&2; exit 1; }
program="$unpacked/$linux/bin/lstconvert"
exe="$unpacked/$windows/lstconvert.exe"
for readme in "$unpacked/$linux/share/doc/lstconvert/README.md" "$unpacked/$windows/README.md"; do
  cmp -s "$readme" "$first/README.md" || fail "${readme#"$unpacked/"} is not the README"
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

# Its manual page: no warnings, and man renders it.
page="$unpacked/$linux/share/man/man1/lstconvert.1"
bash "$repo/tests/manual_test.sh" "$page" "$version" || failed=1
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "lstconvert $version" || fail "man -l does not render $page"
grep -q 'LSTCONVERT(1)' "$unpacked/$windows/lstconvert.html" || fail "lstconvert.html is not the manual"

# The exe: resources, imports, no debug sections; then under Wine beside the
# Linux program.
bash "$repo/tests/windows/exe_test.sh" "$exe" "$version" --release || failed=1
bash "$repo/tests/wine/program_tests.sh" "$exe" "$program" || failed=1

echo "package check: $((SECONDS - start)) s"
[ "$failed" -eq 0 ] && echo "package check passed"
exit "$failed"
