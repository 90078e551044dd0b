# Sourced by the scripts: installs the Debian packages they need, skipping
# what is present, as root or through sudo.

EnsurePackages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

BuildPackages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev groff-base
  strace)
WindowsPackages=(g++-mingw-w64-x86-64-posix wine64 xvfb xdotool googletest icoutils libxml2-utils)
PackagePackages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix mandoc zip git dpkg-dev)
# What the package check needs besides: lintian for the .deb, man to read its
# manual page once installed, debootstrap for an older Debian to run the
# Linux program in.
PackageCheckPackages=(lintian man-db debootstrap binutils)
# mkfs and mount helpers for the end-to-end tests on real file systems
# (fuse3 also stands in for the fuse that exfat-fuse and fusefat ask for),
# and an SFTP server and client for the share among them.
FileSystemPackages=(btrfs-progs xfsprogs ntfs-3g exfat-fuse exfatprogs fusefat dosfstools fuse3
  openssh-server sshfs iproute2)
