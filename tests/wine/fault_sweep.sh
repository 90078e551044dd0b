#!/usr/bin/env bash
# Fails the Win32 calls of lstconvert_faults.exe (the program with
# fault_injector.cpp) under Wine, one call per run: each error at calls of
# each function, a kill before each call that writes, flushes, moves, replaces
# or deletes, and for --undo a save of a project by the user at each close.
# After each run every project and its backup must be as before the run, as
# after a run without faults, or (converting) the project as before with its
# original as backup; no other name may appear, the status is 0 or 3 (9 for a
# kill), nothing crashed, every left project's line names its step and the
# system's words, the injector saw no temporary put in place after its write
# or flush failed, and no save was lost but in the window between the last
# look at the project's version and its move. A rerun without faults must
# then end exactly as the run without faults, with no temporary left.
#
# Usage: fault_sweep.sh FAULTS_EXE [--full]
# Without --full, a sample: each error once per function at a spread of
# calls, WriteFile and FlushFileBuffers failing at every call, and the kills
# and saves at every call. --full takes every call with every error.
# LSTCONVERT_SWEEP_ONLY, a regular expression, keeps the faults it matches.
set -uo pipefail
exe=$(realpath "$1")
full=${2:-}
only=${LSTCONVERT_SWEEP_ONLY:-.}
wine=(setarch x86_64 -R /usr/lib/wine/wine64)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=${WINEPREFIX:-$work/prefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY  # the refusal's box returns at once without a display
[ -d "$WINEPREFIX" ] || timeout 300 "${wine[@]}" wineboot -i >/dev/null 2>&1

declare -A errors=(
  [CreateFileW]="ACCESS_DENIED SHARING_VIOLATION FILE_NOT_FOUND WRITE_PROTECT DISK_FULL NETNAME_DELETED UNEXP_NET_ERR NOT_ENOUGH_MEMORY IO_DEVICE"
  [ReadFile]="LOCK_VIOLATION NETNAME_DELETED UNEXP_NET_ERR IO_DEVICE NOT_ENOUGH_MEMORY ACCESS_DENIED"
  [WriteFile]="DISK_FULL HANDLE_DISK_FULL LOCK_VIOLATION NETNAME_DELETED UNEXP_NET_ERR IO_DEVICE WRITE_PROTECT ACCESS_DENIED"
  [FlushFileBuffers]="DISK_FULL NETNAME_DELETED UNEXP_NET_ERR IO_DEVICE WRITE_PROTECT ACCESS_DENIED"
  [CloseHandle]="NETNAME_DELETED DISK_FULL IO_DEVICE"
  [GetFileInformationByHandle]="NETNAME_DELETED IO_DEVICE ACCESS_DENIED"
  [GetFileAttributesW]="FILE_NOT_FOUND ACCESS_DENIED SHARING_VIOLATION NETNAME_DELETED"
  [SetFileAttributesW]="ACCESS_DENIED WRITE_PROTECT FILE_NOT_FOUND NETNAME_DELETED"
  [CopyFileExW]="ACCESS_DENIED SHARING_VIOLATION DISK_FULL FILE_NOT_FOUND IO_DEVICE NETNAME_DELETED WRITE_PROTECT"
  [MoveFileExW]="ACCESS_DENIED SHARING_VIOLATION FILE_NOT_FOUND WRITE_PROTECT DISK_FULL NETNAME_DELETED"
  [ReplaceFileW]="UNABLE_TO_REMOVE_REPLACED UNABLE_TO_MOVE_REPLACEMENT UNABLE_TO_MOVE_REPLACEMENT_2 ACCESS_DENIED SHARING_VIOLATION NETNAME_DELETED"
  [DeleteFileW]="ACCESS_DENIED SHARING_VIOLATION FILE_NOT_FOUND WRITE_PROTECT"
  [FindFirstFileExW]="ACCESS_DENIED FILE_NOT_FOUND NETNAME_DELETED NOT_ENOUGH_MEMORY"
  [FindNextFileW]="NETNAME_DELETED IO_DEVICE NOT_ENOUGH_MEMORY"
  [malloc]="NOT_ENOUGH_MEMORY")
killed="WriteFile FlushFileBuffers CloseHandle SetFileAttributesW CopyFileExW MoveFileExW ReplaceFileW DeleteFileW"

Utf16() { { printf '\xff\xfe'; printf '%b' "$1" | iconv -f UTF-8 -t UTF-16LE; } >"$2"; }
# Both encodings, an earlier backup, a refused and a read-only project. The
# Windows program takes its projects one at a time: there is no batch to fill.
MakeWork() {
  Utf16 '[Project]\r\n  TableID=\r\n  Filter=Name<>""\r\n  Sum1=Count*2\r\n  Text=Gr\xc3\xb6\xc3\x9fe' a.lst
  printf '[Project]\r\n  TableID=\r\n  Fields=Size\r\n  Filter=Size>1\r\n' >b.lst
  printf 'an earlier backup\r\n' >b.lst.bak
  printf '[Project]\n  TableID=\n  Sum2=Name\n\xe4' >c.lst
  printf '  TableID=Orders\r\n  Filter=Name\r\n' >o.lst
  printf '  TableID=\r\n' >r.lst && chmod 444 r.lst
}

Same() { { [ ! -e "$1" ] && [ ! -e "$2" ]; } || cmp -s "$1" "$2"; }
Violation() { echo "VIOLATION ($fault): $*"; violations=$((violations + 1)); }

# Runs the program in $1 with the fault $2 (none for no fault), the log at $1.log.
Run() {
  (cd "$1" && export LSTCONVERT_FAULT_LOG="$1.log" LSTCONVERT_FAULT="$2" \
    LSTCONVERT_FAULT_SAVE="$(printf 'Z:%s' "${1//\//\\}")\\a.lst" &&
    { [ -n "$2" ] || unset LSTCONVERT_FAULT; } &&
    timeout 60 "${wine[@]}" "$exe" -v $mode </dev/null >"$1.out" 2>"$1.err")
}

# Checks the run in $1 against the state before ($before) and after a run
# without faults ($expected).
Check() {
  local dir=$1 status=$2 action=${fault##*:} name
  case "$action:$status" in
    kill:9 | save:[03] | [A-Z]*:[03]) ;;
    *:124) Violation "hung"; hangs=$((hangs + 1)) ;;
    *) Violation "exit status $status"; crashes=$((crashes + 1)) ;;
  esac
  grep -i -q -E 'terminate|unhandled|exception' "$dir.err" && { Violation "crashed: $(head -c 300 "$dir.err")"; crashes=$((crashes + 1)); }
  grep -a '^violation' "$dir.log" | while read -r line; do echo "VIOLATION ($fault): $line"; done
  violations=$((violations + $(grep -a -c '^violation' "$dir.log")))
  if ! grep -q 'on the program.s output' "$dir.log" && tr -d '\r' <"$dir.out" | grep -a '^left ' |
    grep -q -v -E '^left .*\.lst: (read-only|changed by another program since it was read|(backup )?too large for the memory left|[^:]+: .+)$'; then
    Violation "a left line without step and reason: $(grep -a '^left ' "$dir.out" | head -n 3)"
  fi
  for name in $(cd "$before" && ls *.lst); do
    local now=$dir/$name
    { Same "$now" "$before/$name" && Same "$now.bak" "$before/$name.bak"; } ||
      { Same "$now" "$expected/$name" && Same "$now.bak" "$expected/$name.bak"; } ||
      { [ -z "$mode" ] && Same "$now" "$before/$name" && Same "$now.bak" "$before/$name"; } ||
      { [ "$action" = save ] && [ "$name" = a.lst ]; } ||
      Violation "$name and its backup are neither as before nor as converted"
  done
  if [ "$action" = save ] && grep -q '^saved' "$dir.log" && ! grep -q 'Saved=again' "$dir/a.lst"; then
    if grep -q '^saved, looked' "$dir.log"; then
      window=$((window + 1))
    else
      Violation "the save of a.lst was lost: $(tr '\n' ' ' <"$dir.log" | head -c 200)"
    fi
  fi
  local extra
  extra=$(comm -23 <(ls -A "$dir" | grep -v -E '^\.lstconvert' | sort) \
    <(ls -A "$before" "$expected" | grep -v -E ':$|^$' | sort -u))
  [ -z "$extra" ] || Violation "unexpected entries: $extra"
  if ls -A "$dir" | grep -q '^\.lstconvert'; then
    leftovers=$((leftovers + 1))
    [[ $action == kill || $fault == DeleteFileW:* ]] || Violation "left: $(ls -A "$dir" | grep '^\.lstconvert' | paste -sd ' ')"
  fi
  # The rerun without faults; a save is the user's, and stays.
  Run "$dir" "" || true
  [ "$action" = save ] && return
  diff -r "$expected" "$dir" >/dev/null || Violation "the rerun does not end as a run without faults: $(diff -r "$expected" "$dir" | head -n 3)"
}

# Runs the fault $1 (FUNCTION:N:ACTION) on a fresh copy of $before.
Sweep() {
  [[ $1 =~ $only ]] || return 0
  fault=$1
  local dir=$work/run
  rm -rf "$dir" "$dir.log" && cp -a "$before" "$dir"
  Run "$dir" "$fault"
  Check "$dir" $?
  runs=$((runs + 1))
  local key="${fault%%:*} ${fault##*:}"
  by[$key]=$((${by[$key]:-0} + 1))
}

runs=0 violations=0 crashes=0 hangs=0 leftovers=0 window=0
declare -A by
mkdir -p "$work/work" && (cd "$work/work" && MakeWork) || exit 1
for mode in "" --undo; do
  before=$work/before$mode expected=$work/expected$mode
  if [ -z "$mode" ]; then
    cp -a "$work/work" "$before"
  else
    # Converted, and one project saved by the user since: it is kept.
    cp -a "$work/expected" "$before" && printf '  Sum3=x\r\n' >>"$before/c.lst"
  fi
  cp -a "$before" "$expected" && rm -f "$expected.log" && Run "$expected" ""
  declare -A count=()
  while read -r _ function n; do count[$function]=$n; done < <(grep '^count' "$expected.log")
  for function in "${!errors[@]}"; do
    n=${count[$function]:-0}
    [ "$n" -gt 0 ] || continue
    i=0
    for error in ${errors[$function]}; do
      calls=$(seq 1 "$n")
      if [ -z "$full" ] && [[ $function != WriteFile && $function != FlushFileBuffers ]]; then
        calls=$(((i * 7 + ${#function}) % n + 1))
      elif [ -z "$full" ] && [ "$i" -gt 0 ]; then
        calls=$(((i * 3) % n + 1))
      fi
      for call in $calls; do Sweep "$function:$call:ERROR_$error"; done
      i=$((i + 1))
    done
  done
  for function in $killed; do
    for call in $(seq 1 "${count[$function]:-0}"); do Sweep "$function:$call:kill"; done
  done
  if [ -n "$mode" ]; then
    for call in $(seq 1 "${count[CloseHandle]}"); do Sweep "CloseHandle:$call:save"; done
  fi
done
echo "fault sweep: $runs runs, $violations violations, $crashes crashes, $hangs hangs, $leftovers with temporaries (before the rerun), $window saves lost between the last look and the move"
printf '%s\n' "${!by[@]}" | sort | while read -r key; do printf '  %s: %s\n' "$key" "${by[$key]}"; done
[ "$violations" -eq 0 ]
