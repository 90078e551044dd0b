#!/usr/bin/env bash
# Checks the manual page: groff (what man uses) formats it without a single
# warning, so does mandoc's linter where mandoc is installed, and its header
# names the project's version.
#
# Usage: manual_test.sh MANUAL_PAGE VERSION
set -uo pipefail
page=$1
version=$2
failed=0

warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1) || { echo "FAIL: groff failed" >&2; failed=1; }
[ -z "$warnings" ] || { echo "FAIL: groff: $warnings" >&2; failed=1; }
if command -v mandoc >/dev/null; then
  mandoc -T lint "$page" >&2 || { echo "FAIL: mandoc -T lint found the above" >&2; failed=1; }
fi
grep -q "^\.TH LSTCONVERT 1 [0-9-]* \"lstconvert $version\"" "$page" ||
  { echo "FAIL: the .TH line does not name lstconvert $version" >&2; failed=1; }
[ "$failed" -eq 0 ] && echo "ok: $page"
exit "$failed"
