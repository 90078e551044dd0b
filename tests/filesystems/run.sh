#!/usr/bin/env bash
# Runs the end-to-end program tests of BUILD_DIR on real file systems: btrfs
# and XFS (kernel), NTFS (ntfs-3g), exFAT (exfat-fuse) and FAT (fusefat), and
# an SFTP share (sshfs) mounted with its default options and with
# disable_hardlink; or on those named. Each volume is a fresh sparse image on
# a loop device; the share is a folder served by an sshd of its own, in a
# network namespace of its own, to a throwaway user. Each is mounted as the
# tests' TMPDIR; the tests skip by themselves what a volume cannot hold
# (FIFOs, links, permission bits). Prints one line per file system and exits
# non-zero if any suite failed; without root, loop devices or FUSE it says so
# and passes. First, two tmpfs volumes whose roots share a file number are
# both named to the program. What it mounts and starts is unmounted, detached
# and ended, also on failure or Ctrl-C.
#
# Usage: run.sh BUILD_DIR [btrfs|xfs|ntfs|exfat|fat|sftp|sftp-nolinks]...
set -uo pipefail
tests=$(realpath "$1")/tests/lstconvert_program_tests
shift
[ $# -gt 0 ] || set -- btrfs xfs ntfs exfat fat sftp sftp-nolinks
if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/loop-control ] || [ ! -e /dev/fuse ]; then
  echo "file systems: skipped $* (needs root, /dev/loop-control and /dev/fuse)"
  exit 0
fi

work=$(mktemp -d /tmp/lstconvert-fs-XXXXXX)
chmod 755 "$work"  # the tests run the program as nobody too
mnt=$work/mnt device="" status=0
mkdir "$mnt"
# The share's processes: what holds its network namespace, sshd and sshfs.
holder="" sshd="" sshfs="" share_user=lstconvert-sftp

# Unmounts (lazily if something still holds the volume) and detaches the loop
# device, waiting briefly for a FUSE driver to let go of it. The mount table
# is read rather than the mount point, which no longer answers once its
# driver has ended.
Release() {
  if findmnt -n "$mnt" >/dev/null; then
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
  local pid
  for pid in $sshfs $sshd $holder; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  sshfs="" sshd="" holder=""
}

# Serves $work/share over SFTP from an sshd in a network namespace of its own
# (loopback only), to a throwaway user whose password field is "*" (a "!"
# would make sshd refuse its key without PAM), and mounts it on $mnt with
# sshfs and the options $1.
MountShare() {
  if ! id "$share_user" >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
      "$share_user" || return 1
  fi
  usermod -p '*' "$share_user" || return 1
  local ssh=$work/ssh
  rm -rf "$work/share" "$ssh" && mkdir -p "$work/share" "$ssh" /run/sshd &&
    chown "$share_user:" "$work/share" || return 1
  ssh-keygen -q -t ed25519 -N '' -f "$ssh/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$ssh/client_key" &&
    cp "$ssh/client_key.pub" "$ssh/authorized_keys" || return 1
  cat >"$ssh/sshd_config" <<CONFIG
ListenAddress 127.0.0.1:22
HostKey $ssh/host_key
AuthorizedKeysFile $ssh/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
AllowUsers $share_user
Subsystem sftp internal-sftp
ForceCommand internal-sftp
PidFile none
CONFIG
  unshare -n sleep infinity </dev/null >/dev/null 2>&1 &
  holder=$!
  sleep 0.1
  local net=(nsenter "--net=/proc/$holder/ns/net")
  "${net[@]}" ip link set lo up || return 1
  "${net[@]}" /usr/sbin/sshd -D -f "$ssh/sshd_config" -E "$work/sshd.log" </dev/null >/dev/null 2>&1 &
  sshd=$!
  local i
  for i in $(seq 50); do
    "${net[@]}" bash -c 'exec 3<>/dev/tcp/127.0.0.1/22' 2>/dev/null && break
    sleep 0.1
  done
  "${net[@]}" sshfs "$share_user@127.0.0.1:$work/share" "$mnt" -f -o "reconnect,IdentityFile=$ssh/client_key,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes$1" \
    </dev/null >>"$work/mount.log" 2>&1 &
  sshfs=$!
  # A failed sshfs leaves the empty local folder: only a mount will do.
  for i in $(seq 100); do
    findmnt -n "$mnt" >/dev/null && return 0
    kill -0 "$sshfs" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
trap 'Release; umount "$work/one" "$work/two" 2>/dev/null; rm -rf --one-file-system "$work"; userdel "$share_user" 2>/dev/null' EXIT
trap 'exit 130' INT TERM

# Formats a 1 GiB sparse image as $1 and mounts it on $mnt, or mounts the
# share.
Mount() {
  rm -f "$work/image"
  if [[ $1 != sftp* ]]; then
    truncate -s 1G "$work/image" && device=$(losetup --find --show "$work/image") || return 1
  fi
  case $1 in
    btrfs) mkfs.btrfs -q "$device" && mount "$device" "$mnt" ;;
    xfs) mkfs.xfs -q "$device" && mount "$device" "$mnt" ;;
    ntfs) mkntfs -Q -q "$device" && ntfs-3g "$device" "$mnt" ;;
    exfat) mkfs.exfat "$device" && mount.exfat-fuse "$device" "$mnt" ;;
    fat) mkfs.vfat -F 32 "$device" && fusefat -o rw+ "$device" "$mnt" ;;
    sftp) MountShare "" ;;
    sftp-nolinks) MountShare ",disable_hardlink" ;;
    *) echo "unknown file system" ;;
  esac >"$work/mount.log" 2>&1 && mountpoint -q "$mnt"
}

# Ends the tests (process $1) on volume $2 if they are still running after
# $limit seconds. A FUSE driver that stops answering leaves them waiting in the
# kernel, where no signal reaches them: the driver is killed first, which
# fails every call waiting on it.
limit=900
Watch() {
  timeout "$limit" tail --pid="$1" -f /dev/null  # returns when the tests end
  kill -0 "$1" 2>/dev/null || exit 0
  echo "Stopped: the tests on $2 were still running after $limit s." >>"$work/log"
  [ -z "$device" ] || pkill -KILL -f -- "$device( |\$)"
  [ -z "$sshfs" ] || kill -KILL "$sshfs"
  kill -TERM "$1" 2>/dev/null
  sleep 5
  kill -KILL "$1" 2>/dev/null
}

# The tests of the last run that gtest reported as $1 (FAILED, SKIPPED).
Tests() {
  sed -n "s/^\[ *$1 *\] \([^ ]*\) (.*/\1/p" "$work/log" | paste -sd ' ' -
}

# Two volumes whose roots have the same file number (two tmpfs mounts), both
# named on one command line: both are converted, since a folder is the same
# as another only on the same volume.
TwoRoots() {
  mkdir -p "$work/one" "$work/two"
  if ! mount -t tmpfs -o size=1m none "$work/one" || ! mount -t tmpfs -o size=1m none "$work/two"; then
    echo "two roots: skipped, tmpfs could not be mounted"
    return 0
  fi
  printf '  TableID=\r\n' | tee "$work/one/a.lst" >"$work/two/a.lst"
  local numbers out
  numbers=$(stat -c %i "$work/one" "$work/two" | sort -u | wc -l)
  out=$("$(dirname "$tests")/../lstconvert" -v "$work/one" "$work/two" </dev/null 2>&1)
  if grep -q Partlist "$work/one/a.lst" && grep -q Partlist "$work/two/a.lst"; then
    echo "two roots: passed ($([ "$numbers" -eq 1 ] && echo "one file number" || echo "the numbers differ here"))"
  else
    echo "two roots: FAILED: $out"
    status=1
  fi
  umount "$work/one" "$work/two"
}
TwoRoots

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
  # minute on exfat-fuse, a minute and a half on the share and far longer on
  # fusefat. The share without links takes the same way as the share with
  # links that cannot be shown to be the same file: the kill test (a minute
  # there) runs on one of them.
  many=ProgramSafety.ConvertsEveryProjectWithinTheMachinesLimits
  # fusefat frees the clusters of a file truncated in place (opened with
  # O_TRUNC) but leaves them in its entry, so a rewrite in place corrupts the
  # volume, and unlinking that file later spins the driver forever. The undo
  # test edits a converted project that way, as a designer would.
  rewrites=Program.UndoPutsBackTheOriginalsOfProjectsStillAsConverted
  case $fs in
    ntfs) filter=-ProgramSafety.AKilledOrStoppedRunLosesNothing ;;
    exfat | sftp) filter=-$many ;;
    sftp-nolinks) filter=-ProgramSafety.AKilledOrStoppedRunLosesNothing:$many ;;
    fat) filter=-ProgramSafety.AKilledOrStoppedRunLosesNothing:ProgramSafety.TwoRunsAtOnceLoseNothing:$many:$rewrites ;;
    *) filter='*' ;;
  esac
  TMPDIR=$mnt "$tests" --gtest_filter="$filter" >"$work/log" 2>&1 &
  tests_pid=$!
  Watch "$tests_pid" "$fs" &
  watch_pid=$!
  wait "$tests_pid"
  result=$?
  wait "$watch_pid"
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
