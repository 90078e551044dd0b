#!/usr/bin/env bash
# Checks what lstconvert.exe carries besides its code: the application
# manifest (resource 1 of type 24, RT_MANIFEST) with the settings Windows
# reads from it, the version resource (type 16, RT_VERSION) with the project's
# version, and imports from Windows' own DLLs only, so that the exe runs from
# the zip on a bare Windows. With --release, also that it has no debug
# sections and has ASLR (high entropy) and DEP.
#
# Usage: exe_test.sh EXE VERSION [--release]
# Needs wrestool (icoutils), xmllint (libxml2-utils) and a PE objdump
# ($OBJDUMP, x86_64-w64-mingw32-objdump by default).
set -uo pipefail
exe=$1
version=$2
release=${3:-}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

for tool in wrestool xmllint "$objdump"; do
  command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The resource table.
resources=$(wrestool -l "$exe") || { echo "wrestool cannot read $exe" >&2; exit 1; }
grep -q -- '--type=24 --name=1 ' <<<"$resources" || fail "no manifest (type 24, name 1)"
grep -q -- '--type=16 --name=1 ' <<<"$resources" || fail "no version resource (type 16, name 1)"

# The manifest: well-formed (Windows refuses to start a program whose
# manifest is not), and every setting in the namespace Windows looks in;
# an element in another namespace is silently ignored.
manifest="$work/manifest.xml"
wrestool -x --raw --type=24 --name=1 "$exe" >"$manifest" 2>/dev/null
if xmllint --noout "$manifest"; then
  Value() { xmllint --xpath "string($1)" "$manifest"; }
  El() { printf "*[local-name()='%s' and namespace-uri()='%s']" "$1" "$2"; }
  asm1=urn:schemas-microsoft-com:asm.v1
  asm3=urn:schemas-microsoft-com:asm.v3
  ws2016=http://schemas.microsoft.com/SMI/2016/WindowsSettings
  compat=urn:schemas-microsoft-com:compatibility.v1
  Expect() {
    local got
    got=$(Value "$2")
    [ "$got" = "$3" ] || fail "manifest: $1 is '$got', expected '$3'"
  }
  Expect "the program's version" "/$(El assembly $asm1)/$(El assemblyIdentity $asm1)/@version" "$version.0"
  Expect "the execution level" "//$(El requestedExecutionLevel $asm3)/@level" asInvoker
  Expect "the Common Controls version" \
    "//$(El dependentAssembly $asm1)/$(El assemblyIdentity $asm1)[@name='Microsoft.Windows.Common-Controls']/@version" \
    6.0.0.0
  Expect "the DPI awareness" "normalize-space(//$(El dpiAwareness $ws2016))" "PerMonitorV2, PerMonitor"
  Expect "long path awareness" "normalize-space(//$(El longPathAware $ws2016))" true
  # Windows 7, 8, 8.1, and 10 and 11.
  for id in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    Expect "supportedOS {$id}" "count(//$(El supportedOS $compat)[@Id='{$id}'])" 1
  done
else
  fail "the manifest is not well-formed XML"
fi

# The version resource, as hex: the fixed part (signature FEEF04BD, then
# the file and product versions as two little-endian words each) and the
# strings Explorer shows, in UTF-16LE.
Hex() { od -An -tx1 -v | tr -d ' \n'; }
Utf16Hex() { printf '%s' "$1" | iconv -t UTF-16LE | Hex; }
LeWord() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8)) $(($2 & 255)) $(($2 >> 8)); }
IFS=. read -r major minor patch <<<"$version"
versionHex=$(wrestool -x --raw --type=16 --name=1 "$exe" 2>/dev/null | Hex)
fixed="bd04effe00000100$(LeWord "$minor" "$major")$(LeWord 0 "$patch")"
fixed="$fixed$(LeWord "$minor" "$major")$(LeWord 0 "$patch")"
[[ $versionHex == *"$fixed"* ]] || fail "version resource: the fixed file and product versions are not $version.0"
for entry in "FileVersion=$version" "ProductVersion=$version" "ProductName=lstconvert" \
  "OriginalFilename=lstconvert.exe"; do
  key=${entry%%=*} value=${entry#*=}
  # Key, its terminating NUL, padding to 32 bits, value, its terminating NUL.
  grep -Eq "$(Utf16Hex "$key")0000(0000)?$(Utf16Hex "$value")0000" <<<"$versionHex" ||
    fail "version resource: no $key \"$value\""
done
grep -q "$(Utf16Hex FileDescription)" <<<"$versionHex" || fail "version resource: no FileDescription"

# Imports: Windows' own DLLs only; the C++ runtime, libgcc and winpthread
# are linked in statically.
headers=$("$objdump" -p "$exe") || { echo "$objdump cannot read $exe" >&2; exit 1; }
while read -r dll; do
  case "${dll,,}" in
  kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | ole32.dll | \
    comctl32.dll | ntdll.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
  *) fail "imports $dll, which Windows does not have" ;;
  esac
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
grep -q 'DLL Name: KERNEL32.dll' <<<"$headers" || fail "no import table found"

if [ "$release" = --release ]; then
  sections=$("$objdump" -h "$exe" | awk '$2 ~ /^\.debug/ { print $2 }' | tr '\n' ' ')
  [ -z "$sections" ] || fail "debug sections: $sections"
  # ASLR with 64-bit entropy and DEP, in the PE header's DLL characteristics.
  for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
    grep -qw "$flag" <<<"$headers" || fail "not linked with $flag"
  done
fi

[ "$failed" -eq 0 ] && echo "ok: $exe carries its manifest and version $version, imports only Windows DLLs"
exit "$failed"
