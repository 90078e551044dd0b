#!/usr/bin/env bash
# Runs the end-to-end program tests of BUILD_DIR on real file systems: btrfs
# and XFS (kernel), NTFS (ntfs-3g), exFAT (exfat-fuse) and FAT (fusefat), or
# on those named. Each gets a fresh sparse image on a loop device, mounted as
# the tests' TMPDIR; the tests skip by themselves what a volume cannot hold
# (FIFOs, links, permission bits). Prints one line per file system and exits
# non-zero if any suite failed; without root, loop devices or FUSE it says so
# and passes. What it mounts is unmounted and detached, also on failure or
# Ctrl-C.
#
# Usage: run.sh BUILD_DIR [btrfs|xfs|ntfs|exfat|fat]...
set -uo pipefail
tests=$(realpath "$1")/tests/lstconvert_program_tests
shift
[ $# -gt 0 ] || set -- btrfs xfs ntfs exfat fat
if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/loop-control ] || [ ! -e /dev/fuse ]; then
  echo "file systems: skipped $* (needs root, /dev/loop-control and /dev/fuse)"
  exit 0
fi

work=$(mktemp -d /tmp/lstconvert-fs-XXXXXX)
chmod 755 "$work"  # the tests run the program as nobody too
mnt=$work/mnt device="" status=0
mkdir "$mnt"

# Unmounts (lazily if something still holds the volume) and detaches the loop
# device, waiting briefly for a FUSE driver to let go of it.
Release() {
  if mountpoint -q "$mnt"; then
    umount "$mnt" 2>/dev/null || { sleep 1; umount "$mnt" 2>/dev/null; } || umount -l "$mnt"
  fi
  if [ -n "$device" ]; then
    losetup -d "$device"
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      [ -e "/sys/block/${device#/dev/}/loop" ] || break
      sleep 0.5
    done
  fi
  device=""
}
trap 'Release; rm -rf --one-file-system "$work"' EXIT
trap 'exit 130' INT TERM

# Formats a 1 GiB sparse image as $1 and mounts it on $mnt.
Mount() {
  rm -f "$work/image"
  truncate -s 1G "$work/image" && device=$(losetup --find --show "$work/image") || return 1
  case $1 in
    btrfs) mkfs.btrfs -q "$device" && mount "$device" "$mnt" ;;
    xfs) mkfs.xfs -q "$device" && mount "$device" "$mnt" ;;
    ntfs) mkntfs -Q -q "$device" && ntfs-3g "$device" "$mnt" ;;
    exfat) mkfs.exfat "$device" && mount.exfat-fuse "$device" "$mnt" ;;
    fat) mkfs.vfat -F 32 "$device" && fusefat -o rw+ "$device" "$mnt" ;;
    *) echo "unknown file system" ;;
  esac >"$work/mount.log" 2>&1 && mountpoint -q "$mnt"
}

# The tests of the last run that gtest reported as $1 (FAILED, SKIPPED).
Tests() {
  sed -n "s/^\[ *$1 *\] \([^ ]*\) (.*/\1/p" "$work/log" | paste -sd ' ' -
}

for fs in "$@"; do
  start=$SECONDS
  if ! Mount "$fs"; then
    echo "$fs: skipped, could not mount it: $(tail -n 1 "$work/mount.log")"
    Release
    continue
  fi
  # The kill test's 24 trials take over a minute on ntfs-3g and, at half a
  # minute to two for each run over its 200 projects, a quarter of an hour
  # or more on fusefat, where two runs over 300 projects take minutes too.
  # Thousands of projects under a low limit on open files take half a
  # minute on exfat-fuse and far longer on fusefat.
  many=ProgramSafety.ConvertsEveryProjectWithinTheMachinesLimits
  case $fs in
    ntfs) filter=-ProgramSafety.AKilledOrStoppedRunLosesNothing ;;
    exfat) filter=-$many ;;
    fat) filter=-ProgramSafety.AKilledOrStoppedRunLosesNothing:ProgramSafety.TwoRunsAtOnceLoseNothing:$many ;;
    *) filter='*' ;;
  esac
  TMPDIR=$mnt "$tests" --gtest_filter="$filter" >"$work/log" 2>&1
  result=$?
  failed=$(Tests FAILED) skipped=$(Tests SKIPPED)
  if [ "$result" -eq 0 ]; then
    echo "$fs: passed in $((SECONDS - start)) s${skipped:+; skipped $skipped}"
  else
    echo "$fs: FAILED in $((SECONDS - start)) s: ${failed:-see below}${skipped:+; skipped $skipped}"
    grep -av '^\[' "$work/log" | cut -c 1-200 | head -n 60 | sed 's/^/  /'
    status=1
  fi
  Release
done
exit "$status"
