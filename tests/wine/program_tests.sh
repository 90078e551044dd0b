#!/usr/bin/env bash
# End-to-end tests of lstconvert.exe on a real Win32 runtime: Wine with a
# virtual display. Each case builds a directory twice, runs the POSIX program
# on one copy and the Windows program under Wine on the other, dismisses every
# message box with Return and checks that the boxes come one at a time, in
# file order, with the POSIX program's messages, that the run waits for each,
# and that both copies end byte for byte alike. Some cases run the Windows
# program under HOLD_PROGRAM (hold_file.exe), which holds projects or a
# backup open meanwhile, as the report designer or a virus scanner does.
# Further cases: the arguments that are answered without converting, two
# runs started at once in one directory, and a backup copy failing halfway.
#
# Usage: program_tests.sh WINDOWS_PROGRAM POSIX_PROGRAM [HOLD_PROGRAM]
# Without HOLD_PROGRAM the cases of held files are left out.
set -uo pipefail
shopt -u patsub_replacement 2>/dev/null || true

windows_program=$(realpath "$1")
posix_program=$(realpath "$2")
hold_program=${3:+$(realpath "$3")}
examples=$(realpath "$(dirname "$0")/../../examples")
# Without address randomisation, as the unit tests run (see
# cmake/mingw-w64-x86_64.cmake): a randomly placed heap of Wine's loader now
# and then takes the page Wine needs, and the program never starts.
wine=(setarch x86_64 -R /usr/lib/wine/wine64)
wineserver=/usr/lib/wine/wineserver

work=$(mktemp -d)
# Non-ASCII arguments reach Wine as UTF-8, and its code page is Windows-1252.
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree=;mshtml=" WINEDEBUG=-all LC_ALL=C.UTF-8
xvfb_pid=
cleanup() {
  "$wineserver" -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; return 1; }

# Starts Xvfb on the first free display.
StartDisplay() {
  local n
  for n in $(seq 90 199); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on :$n" >&2
  exit 1
}

# Polls a condition (a command) for up to $1 seconds.
WaitFor() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

BoxCount() {
  local count
  count=$(grep -a -c 'MSGBOX_OnInit' "$1" 2>/dev/null)
  echo "${count:-0}"
}
BoxCountIs() { [ "$(BoxCount "$1")" -eq "$2" ]; }
BoxWindow() { xdotool search --name '^lstconvert$' 2>/dev/null | head -n 1; }
HasBoxWindow() { [ -n "$(BoxWindow)" ]; }

# The text of the k-th box, from Wine's trace of the box's creation.
BoxText() {
  grep -a 'MSGBOX_OnInit' "$1" | sed -n "$2p" | sed -e 's/^.*MSGBOX_OnInit L"//' -e 's/"$//' \
    -e 's/\\\\/\\/g'
}

# The Windows path of a directory under Wine's drive Z:.
WindowsPath() { printf 'Z:%s' "${1//\//\\}"; }

# Set by a case: the arguments of hold_file.exe before the program (the files
# to hold, their sharing, for how long), a function to run in the POSIX copy
# after the POSIX run, for what the Windows program must leave alone, the
# exit status the Windows program must give where it is not the POSIX one,
# the text of a box the Windows program shows after the POSIX messages (with
# <dir> for the folder's Windows path), whether it is started from cmd, and a
# file size limit for both programs (in KiB), which fails a copy halfway as a
# full disk does.
held=()
after_posix=
windows_status_expected=
last_box=
through_cmd=
limit=
Limit() { trap '' XFSZ; [ -z "$limit" ] || ulimit -f "$limit"; }

# Runs both programs on copies of the directory made by the function $2 and
# compares them.
RunCase() {
  local name=$1 make=$2
  local posix="$work/$name/posix" windows="$work/$name/windows"
  mkdir -p "$posix" "$windows"
  (cd "$posix" && "$make") && (cd "$windows" && "$make") || return 1
  CompareRuns "$name" "$posix" "$windows"
}

# Set by a case: the folder, under each copy, that the programs run in, and
# their arguments, in which <dir> stands for the copy's path (a POSIX path,
# and for the Windows program the same as a Windows path).
in_dir=. arguments=()

# The arguments for the copy at $1, as a Windows path where $2 is "windows".
ArgumentsFor() {
  local argument
  for argument in "${arguments[@]}"; do
    if [ "$2" = windows ] && [[ $argument == *"<dir>"* ]]; then
      argument=$(WindowsPath "${argument//<dir>/$1}")
    fi
    printf '%s\0' "${argument//<dir>/$1}"
  done
}

CompareRuns() {
  local name=$1 posix=$2 windows=$3
  local trace="$work/$name/trace.$RANDOM"
  local posix_arguments=() windows_arguments=()
  mapfile -d '' posix_arguments < <(ArgumentsFor "$posix" posix)
  mapfile -d '' windows_arguments < <(ArgumentsFor "$windows" windows)
  (cd "$posix/$in_dir" && Limit && "$posix_program" "${posix_arguments[@]}" </dev/null \
    >"$work/$name/posix.out" 2>"$work/$name/posix.err")
  local posix_status=$?
  [ -z "$after_posix" ] || (cd "$posix" && "$after_posix")
  [ -z "$windows_status_expected" ] || posix_status=$windows_status_expected

  # The POSIX messages, with the Windows directory's path in place of the POSIX one.
  local expected=() line
  local from="$posix/" to
  to="$(WindowsPath "$windows")\\"
  while IFS= read -r line; do
    expected+=("${line#lstconvert: }")
  done < <(PosixLines "$work/$name/posix.err" "$from" "$to")
  [ -z "$last_box" ] || expected+=("${last_box//<dir>/"$to"}")

  local run=("$windows_program" "${windows_arguments[@]}")
  [ -z "$through_cmd" ] || run=(cmd /c "$(WindowsPath "$windows_program")" "${windows_arguments[@]}")
  [ ${#held[@]} -eq 0 ] || run=("$hold_program" "${held[@]}" "$(WindowsPath "$windows_program")")
  (cd "$windows/$in_dir" && Limit && WINEDEBUG=trace+msgbox exec "${wine[@]}" "${run[@]}" </dev/null \
    >"$work/$name/windows.out" 2>"$trace") &
  local pid=$!
  local k
  for k in $(seq 1 ${#expected[@]}); do
    WaitFor 60 BoxCountIs "$trace" "$k" || { kill -9 $pid; fail "$name: box $k never appeared"; return 1; }
    WaitFor 30 HasBoxWindow || { kill -9 $pid; fail "$name: no window for box $k"; return 1; }
    sleep 0.3
    BoxCountIs "$trace" "$k" || { kill -9 $pid; fail "$name: box $((k + 1)) came before box $k was dismissed"; return 1; }
    kill -0 $pid 2>/dev/null || { fail "$name: the program did not wait for box $k"; return 1; }
    local text
    text=$(BoxText "$trace" "$k")
    [ "$text" = "${expected[$((k - 1))]}" ] ||
      { kill -9 $pid; fail "$name: box $k says '$text', expected '${expected[$((k - 1))]}'"; return 1; }
    # Return dismisses the box; pressed again if the first press was lost.
    local tries
    for tries in 1 2 3 4 5; do
      xdotool key --window "$(BoxWindow)" Return 2>/dev/null
      WaitFor 5 BoxGone "$trace" "$k" $pid && break
    done
  done
  # A Return that Wine lost leaves the last box up: it is pressed again until
  # the run ends (a box too many still shows in the count below).
  local end=$((SECONDS + 60)) window
  until Exited $pid; do
    [ $SECONDS -lt $end ] || { kill -9 $pid; fail "$name: the program did not end"; return 1; }
    for window in $(xdotool search --name '^lstconvert$' 2>/dev/null); do
      xdotool windowfocus "$window" key --window "$window" Return 2>/dev/null
    done
    sleep 0.5
  done
  wait $pid
  local windows_status=$?
  BoxCountIs "$trace" "${#expected[@]}" || { fail "$name: $(BoxCount "$trace") boxes, expected ${#expected[@]}"; return 1; }
  [ "$windows_status" -eq "$posix_status" ] ||
    { fail "$name: exit status $windows_status, POSIX $posix_status; $(grep -a -v 'msgbox' "$trace" | tail -n 5)"; return 1; }
  # Standard output (empty but with -v), the POSIX lines with the Windows
  # paths; the Windows program writes it redirected in the ANSI code page.
  local out
  out=$(iconv -f CP1252 -t UTF-8 <"$work/$name/windows.out" | tr -d '\r')
  [ "$out" = "$(PosixLines "$work/$name/posix.out" "$from" "$to")" ] ||
    { fail "$name: standard output '$out'"; return 1; }
  diff -r "$posix" "$windows" >&2 || { fail "$name: the directories differ"; return 1; }
  if find "$windows" -name '.lstconvert-*' | grep -q .; then fail "$name: a temporary file was left"; return 1; fi
  echo "ok: $name (${#expected[@]} boxes) $(grep -a -o 'hold_file: .*' "$trace" | paste -sd ' ')"
}

# The box k is gone: a further box appeared, the window went away or the run ended.
BoxGone() { ! BoxCountIs "$1" "$2" || ! HasBoxWindow || ! kill -0 "$3" 2>/dev/null; }
Exited() { ! kill -0 "$1" 2>/dev/null; }

# The lines of the file $1 with the POSIX path $2 made the Windows path $3,
# separators and all.
PosixLines() {
  local line
  while IFS= read -r line; do
    if [[ $line == *"$2"* ]]; then
      line=${line//"$2"/"$3"}
      line=${line//\//\\}
    fi
    printf '%s\n' "$line"
  done <"$1"
}

Utf16() { { printf '\xff\xfe'; printf '%b' "$1" | iconv -f UTF-8 -t UTF-16LE; } >"$2"; }

MakeEmpty() { :; }
MakeExamples() { cp "$examples"/*.lst .; }
MakeMixed() {
  Utf16 '[Project]\r\n  TableID=\r\n  Source=[Table:]\r\n  Fields=FirstName;Name;Count\r\n  Filter=FirstName<>Name\r\n  Sum1=FirstName+NAME\r\n  Sum2=Count2*Orders.Count\r\n  Text=Gr\xc3\xb6\xc3\x9fe' a.lst
  printf '[Project]\n  TableID=\n  Fields=Size\n  Filter=SIZE>1\n  Sum3=Partlist.Size\n  Sum3=size\n\xe4\xff' >B.LST
  printf '[Project]\r\n' >c.lst
  printf '  TableID=Partlist\r\n' >d.lst
  printf '  TableID=Orders\r\n  Filter=Name\r\n' >o.lst
  printf 'TableID= TableID=Partlist\r\n' >both.lst
  printf '  TableID=\r\n' >e.lstx
  printf '  TableID=\r\n' >X.LST
  printf '  TableID=\r\n' >X.LST.bak.old
  printf 'an old backup\r\n' >f.lst.bak
  printf '  TableID=\r\n' >f.lst
  : >j.lst
  mkdir g.lst
  printf '\xff\xfe \x00T\x00x' >odd.lst
  printf 'TableID=\r\n' >start.lst
  printf 'x' >.lstconvert-0123456789abcdef
  printf '  TableID=\r\n' >r.lst
  printf 'an old backup\r\n' >r.lst.bak
  chmod 444 r.lst
}

# A project, its old backup and another project.
MakeHeldProject() {
  printf '[Project]\r\n  TableID=\r\n  Fields=Name\r\n  Filter=Name<>""\r\n' >a.lst
  printf 'an old backup\r\n' >a.lst.bak
}
MakeHeld() {
  MakeHeldProject
  printf '  TableID=\r\n' >b.lst
}
MakeThreeHeld() { MakeHeld && printf '  TableID=\r\n' >c.lst; }
MakeOwnConsole() { printf '  TableID=\r\n' | tee a.lst >r.lst && chmod 444 r.lst; }
# A project larger than the file size limit.
MakeLarge() { printf '  TableID=\r\n' >a.lst && head -c 200000 /dev/zero | tr '\0' x >>a.lst; }

# Every argument is answered as the POSIX program answers it, on standard
# output and in the exit status, without a box and without touching a file.
RunArguments() {
  local dir="$work/arguments" argument
  mkdir -p "$dir/files" && (cd "$dir/files" && MakeHeld) && cp -a "$dir/files" "$dir/before" || return 1
  for argument in --help '/?' --version -x; do
    (cd "$dir/files" && "$posix_program" "$argument" </dev/null >"$dir/posix.out" 2>/dev/null)
    local posix_status=$?
    (cd "$dir/files" && WINEDEBUG=trace+msgbox timeout 60 "${wine[@]}" "$windows_program" "$argument" \
      </dev/null >"$dir/windows.out" 2>"$dir/trace")
    local windows_status=$?
    [ "$windows_status" -eq "$posix_status" ] ||
      { fail "arguments $argument: exit status $windows_status, POSIX $posix_status"; return 1; }
    tr -d '\r' <"$dir/windows.out" | cmp -s - "$dir/posix.out" ||
      { fail "arguments $argument: standard output differs"; return 1; }
    BoxCountIs "$dir/trace" 0 || { fail "arguments $argument: a box appeared"; return 1; }
    diff -r "$dir/before" "$dir/files" >&2 || { fail "arguments $argument: files changed"; return 1; }
  done
  echo "ok: arguments"
}

# A project that is refused with a box, then forty to convert.
MakeMany() {
  local i
  printf '[Project]\r\n' >a.lst
  for i in $(seq -w 1 40); do
    printf '[Project]\r\n  TableID=\r\n  Fields=Name\r\n  Filter=Name%s\r\n' "$i" >"p$i.lst"
  done
}
WaitLines() { tr -d '\r' <"$1" | grep -a -c -x 'lstconvert: waiting for another run in this directory to end'; }
HasWaited() { [ "$(WaitLines "$1")" -eq 1 ]; }

# Two runs in one directory, the second started while the first shows its
# first box: the second waits for the first to end, then refuses every
# project with a box, and the directory ends as after one POSIX run.
RunTwice() {
  local dir="$work/twice" k pids=() status=0
  mkdir -p "$dir/posix" "$dir/windows"
  (cd "$dir/posix" && MakeMany && "$posix_program" </dev/null >/dev/null 2>&1)
  (cd "$dir/windows" && MakeMany) || return 1
  for k in 1 2; do
    (cd "$dir/windows" && WINEDEBUG=trace+msgbox exec "${wine[@]}" "$windows_program" </dev/null \
      >/dev/null 2>"$dir/trace$k") &
    pids+=($!)
    WaitFor 60 BoxCountIs "$dir/trace1" 1 || { kill -9 "${pids[@]}"; fail "twice: no box"; return 1; }
  done
  WaitFor 60 HasWaited "$dir/trace2" ||
    { kill -9 "${pids[@]}"; fail "twice: the second run did not wait"; return 1; }
  local end=$((SECONDS + 300)) window
  while ! Exited "${pids[0]}" || ! Exited "${pids[1]}"; do
    [ $SECONDS -lt $end ] || { kill -9 "${pids[@]}"; fail "twice: the runs did not end"; return 1; }
    for window in $(xdotool search --name '^lstconvert$' 2>/dev/null); do
      xdotool key --window "$window" Return 2>/dev/null
    done
    sleep 0.2
  done
  for k in 0 1; do
    wait "${pids[$k]}" || { fail "twice: run $((k + 1)) exit status $?"; status=1; }
  done
  local boxes="$(BoxCount "$dir/trace1") $(BoxCount "$dir/trace2")"
  [ "$boxes" = "1 41" ] || { fail "twice: boxes $boxes, expected 1 41"; return 1; }
  HasWaited "$dir/trace2" && [ "$(WaitLines "$dir/trace1")" -eq 0 ] ||
    { fail "twice: the runs told of waiting otherwise than once"; return 1; }
  diff -r "$dir/posix" "$dir/windows" >&2 || { fail "twice: the directories differ"; return 1; }
  if find "$dir/windows" -name '.lstconvert*' | grep -q .; then fail "twice: a file was left"; return 1; fi
  [ "$status" -eq 0 ] && echo "ok: twice"
}

# Ctrl+C pressed in the console while the first box is shown: once it is
# dismissed, the run begins no further project and ends with the Ctrl+C
# status, as the POSIX program ends on SIGINT at its prompt.
RunCtrlC() {
  local dir="$work/ctrl-c" trace="$work/ctrl-c.trace"
  rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" && printf '[Project]\r\n' >a.lst && printf '  TableID=\r\n' >b.lst &&
    cd - >/dev/null || return 1
  (cd "$dir" && WINEDEBUG=trace+msgbox exec "${wine[@]}" "$hold_program" --ctrl-c-at-box \
    "$(WindowsPath "$windows_program")" </dev/null >/dev/null 2>"$trace") &
  local pid=$!
  WaitFor 60 grep -q 'pressed Ctrl+C' "$trace" && HasBoxWindow ||
    { kill -9 $pid; fail "ctrl-c: no box, or Ctrl+C not pressed"; return 1; }
  grep -q 'pressed Ctrl+C (sent)' "$trace" || { kill -9 $pid; fail "ctrl-c: $(grep -a hold_file "$trace")"; return 1; }
  # Return on every window of that name until the program ends: a key pressed
  # while the box is still being made is lost, and one sent to a box without
  # the focus too.
  local end=$((SECONDS + 20)) window
  while ! Exited $pid && [ $SECONDS -lt $end ]; do
    sleep 0.3
    for window in $(xdotool search --name '^lstconvert$' 2>/dev/null); do
      xdotool windowfocus "$window" key --window "$window" Return 2>/dev/null
    done
  done
  Exited $pid || { kill -9 $pid; fail "ctrl-c: the program did not end"; return 1; }
  wait $pid
  local status=$?
  # STATUS_CONTROL_C_EXIT (0xC000013A), as the low byte of the exit status.
  [ "$status" -eq $((0xC000013A & 0xFF)) ] || { fail "ctrl-c: exit status $status"; return 1; }
  BoxCountIs "$trace" 1 || { fail "ctrl-c: $(BoxCount "$trace") boxes, expected 1"; return 1; }
  [ "$(cat "$dir/b.lst")" = $'  TableID=\r' ] && [ ! -e "$dir/b.lst.bak" ] ||
    { fail "ctrl-c: a project was begun after Ctrl+C"; return 1; }
  echo "ok: ctrl-c"
}

# Folders and project files named on the command line by full paths, from
# another folder, one of them with a space and a non-ASCII letter and named
# twice: both programs convert the same projects and tell the same with -v;
# a subfolder stays as it is without -r, as for a folder dropped on the exe.
MakePaths() {
  mkdir -p "Re port ä/sub" other cwd && printf '  TableID=\r\n' >"Re port ä/sub/s.lst" &&
    printf '  TableID=\r\n' >"Re port ä/a.lst" && printf '  TableID=\r\n' >"Re port ä/b.lst" &&
    printf 'an old backup\r\n' >"Re port ä/b.lst.bak" && printf '  TableID=\r\n' >other/x.lst &&
    printf '[Project]\r\n' >other/y.lst && printf '[Project]\r\n' >other/z.lst
}

# A dry run's lines and diffs (in ASCII, which the exe writes unchanged in
# either encoding) over projects of both encodings, a refused, a read-only
# one and an earlier backup: nothing changes.
MakePreview() {
  MakeHeld && Utf16 '  TableID=\r\n  Source=[Table:]\r\n' u.lst && printf '  TableID=Orders\r\n' >o.lst &&
    printf '[Project]\n' >n.lst && cp b.lst r.lst && chmod 444 r.lst
}

# A tree of folders three levels deep, named $folder_name, with a link to a folder
# outside it, which the Windows program would follow if Wine showed it as
# anything but a link.
MakeTree() {
  local deep="tree/$folder_name/$folder_name/$folder_name"
  mkdir -p "$deep" outside &&
    printf '  TableID=\r\n' | tee tree/a.lst "tree/$folder_name/b.lst" "$deep/c.lst" >outside/x.lst &&
    ln -s ../outside tree/link
}

# Projects converted by the POSIX program, one of them edited since: --undo
# puts the other's original back, and keeps the edited one with a box.
MakeUndo() {
  printf '[Project]\r\n  TableID=\r\n  Fields=Name\r\n  Filter=Name\r\n' >a.lst &&
    printf '  TableID=\r\n' >e.lst && printf '[Project]\r\n' >r.lst || return 1
  "$posix_program" </dev/null >/dev/null 2>&1
  printf '  Sum1=x\r\n' >>e.lst
}

# A path that names nothing among good ones: exit 2, the same words as
# the POSIX program's but the system's reason, no box, nothing touched.
RunBadPath() {
  local dir="$work/bad-path"
  mkdir -p "$dir/files" && (cd "$dir/files" && MakePaths) && cp -a "$dir/files" "$dir/before" || return 1
  (cd "$dir/files/cwd" && WINEDEBUG=trace+msgbox timeout 60 "${wine[@]}" "$windows_program" \
    "$(WindowsPath "$dir/files/other")" 'Z:\nowhere\x.lst' </dev/null >"$dir/out" 2>"$dir/trace")
  local status=$?
  [ "$status" -eq 2 ] || { fail "bad path: exit status $status"; return 1; }
  grep -a -q '^lstconvert: Z:\\nowhere\\x.lst: .' "$dir/trace" && grep -a -q '^Usage: lstconvert' "$dir/trace" ||
    { fail "bad path: $(grep -a -v msgbox "$dir/trace" | head -n 3)"; return 1; }
  BoxCountIs "$dir/trace" 0 || { fail "bad path: a box appeared"; return 1; }
  diff -r "$dir/before" "$dir/files" >&2 || { fail "bad path: files changed"; return 1; }
  echo "ok: bad path"
}

# A folder named in quotes with a trailing backslash, from a batch file run
# by cmd: the command line then ends in \" as cmd passes it, which the program
# must take for the folder (Wine's own quoting from the tests never does this).
RunQuotedFolder() {
  local dir="$work/quoted" folder
  mkdir -p "$dir/Re ports" && printf '  TableID=\r\n' >"$dir/Re ports/a.lst" || return 1
  folder="$(WindowsPath "$dir/Re ports")\\"
  printf '@"%s" -v "%s"\r\n@exit /b %%errorlevel%%\r\n' "$(WindowsPath "$windows_program")" "$folder" >"$dir/run.bat"
  (cd "$dir" && timeout 60 "${wine[@]}" cmd /c "$(WindowsPath "$dir/run.bat")" </dev/null >"$dir/out" 2>"$dir/err")
  local status=$?
  [ "$status" -eq 0 ] && grep -a -q -F "converted ${folder}a.lst" "$dir/out" ||
    { fail "quoted folder: exit status $status, $(head -c 300 "$dir/out" "$dir/err")"; return 1; }
  echo "ok: quoted folder"
}

# Started with a console of its own, an error gets its box as well as its
# line: here a path that names nothing, exit 2.
RunOwnConsoleError() {
  local dir="$work/own-console-error"
  mkdir -p "$dir" || return 1
  (cd "$dir" && WINEDEBUG=trace+msgbox timeout 60 "${wine[@]}" "$hold_program" --own-console \
    "$(WindowsPath "$windows_program")" 'Z:\nowhere\x.lst' </dev/null >"$dir/out" 2>"$dir/trace")
  local status=$?
  [ "$status" -eq 2 ] && BoxCountIs "$dir/trace" 1 && [[ $(BoxText "$dir/trace" 1) == 'Z:\nowhere\x.lst: '?* ]] ||
    { fail "own console error: exit status $status, $(BoxCount "$dir/trace") boxes: $(BoxText "$dir/trace" 1)"; return 1; }
  echo "ok: own console error"
}

StartDisplay
# One server for the whole run, so that none starts with a case's file size limit.
"$wineserver" -p
timeout 300 "${wine[@]}" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }

passed=0
failed=0
for entry in "empty:MakeEmpty" "examples:MakeExamples"; do
  if RunCase "${entry%%:*}" "${entry#*:}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
# With -v, the lines and their reasons as the POSIX program's; the read-only
# project is left, which gives status 3 and, from a console, no further box.
arguments=(-v)
if RunCase mixed MakeMixed; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
# A second run over the converted directories: everything is refused now.
if CompareRuns mixed "$work/mixed/posix" "$work/mixed/windows"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi
# The package check runs only the cases above and those of the arguments
# against the release exe (LSTCONVERT_WINE_QUICK): the rest ran against the
# test build, which differs only in how it is built.
quick=${LSTCONVERT_WINE_QUICK:-}
if [ -z "$quick" ]; then
  in_dir=cwd
  arguments=(-v "<dir>/Re port ä" "<dir>/other/x.lst" "<dir>/other/z.lst" "<dir>/Re port ä/")
  if RunCase paths MakePaths; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  in_dir=. arguments=(--undo -v)
  if RunCase undo MakeUndo; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  arguments=(--undo -n)
  if RunCase undo-dry-run MakeUndo; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  arguments=(--diff)
  if RunCase dry-run MakePreview; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  # -r from cmd; then as a dry run from a folder whose path is over 260
  # characters (Wine's ReplaceFileW cuts a longer path at MAX_PATH).
  folder_name=sub arguments=(-r -v "<dir>/tree") through_cmd=1
  if RunCase recursive MakeTree; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  folder_name=$(printf 'long-folder-name-%.0s' 1 2 3 4 5 6 7)
  arguments=(-r --diff "<dir>/tree/$folder_name/$folder_name")
  if RunCase recursive-long-path MakeTree; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  arguments=() through_cmd=
fi
for run in RunArguments RunTwice RunBadPath RunQuotedFolder; do
  [ -z "$quick" ] || [ "$run" != RunTwice ] || continue
  if "$run"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
# The backup copy fails halfway: nothing is left of it and the project keeps its bytes.
limit=64
[ -n "$quick" ] || if RunCase half-copied MakeLarge; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
limit=
if [ -n "$hold_program" ]; then
  # A project or its old backup held for 0.8 s, with and without read
  # sharing: the program waits for it and ends as the POSIX program does.
  for hold in "a.lst none 800" "a.lst read 800" "a.lst.bak none 800" "a.lst.bak read 800"; do
    read -r -a held <<<"$hold"
    if RunCase "held-${held[0]}-${held[1]}" MakeHeld; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  done
  # The old backup held for the whole run: no backup can be made, so the
  # project keeps its bytes, and the batch goes on with the next one.
  held=(a.lst.bak read end)
  after_posix=MakeHeldProject windows_status_expected=3
  if RunCase held-past-retries MakeHeld; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  windows_status_expected=
  # Three projects held one after the other, for 1 to 1.5 s each: every
  # project gets its own time to wait, and all three are converted.
  held=(a.lst read 1000 b.lst read 2500 c.lst read 4000)
  after_posix=
  if RunCase held-one-after-another MakeThreeHeld; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  held=()
  # Wine now and then leaves the box up after its Return, or the program
  # never sees the Ctrl+C: up to three tries. A program that ignores Ctrl+C
  # fails all three.
  if RunCtrlC || RunCtrlC || RunCtrlC; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  # Started with a console of its own, as Explorer starts a double-clicked
  # program: one more box names the read-only project left as it was.
  held=(--own-console)
  last_box='Left as they were, for a failed file operation:\n<dir>r.lst: read-only\n'
  if RunCase own-console MakeOwnConsole; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  held=() last_box=
  if RunOwnConsoleError; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
else
  echo "held files and Ctrl+C: left out (no HOLD_PROGRAM given)"
fi
echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
