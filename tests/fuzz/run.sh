#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for LSTCONVERT_FUZZ_SECONDS (20 by
# default) each, seeded with the sample projects and the kept regression
# inputs, after replaying those inputs. Fails on any finding; the input that
# found it is left in the artifacts folder that is printed.
#
# Usage: run.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
seconds=${LSTCONVERT_FUZZ_SECONDS:-20}
artifacts=$(mktemp -d /tmp/lstconvert-fuzz-XXXXXX)
status=0

for target in decode convert strings; do
  program="$build/tests/fuzz/${target}_fuzzer"
  corpus="$artifacts/$target-corpus"
  mkdir -p "$corpus"
  cp "$here/../../examples/"*.lst "$corpus/"
  regressions="$here/regressions/$target"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    "$program" "$regressions"/* >/dev/null 2>&1 || { echo "FAIL: $target regression" >&2; status=1; }
    cp "$regressions"/* "$corpus/"
  fi
  if "$program" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    "$corpus" >"$artifacts/$target.log" 2>&1; then
    runs=$(grep -a 'stat::number_of_executed_units' "$artifacts/$target.log" | awk '{print $2}')
    echo "fuzz $target: ${runs:-?} executions, no finding"
  else
    echo "FAIL: fuzz $target found a fault; see $artifacts/$target.log" >&2
    tail -n 30 "$artifacts/$target.log" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && rm -rf "$artifacts"
exit "$status"
