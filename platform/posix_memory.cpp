// What the system's memory allows the run on POSIX systems: the memory a
// file may be read into, and whether the unwritten data of other programs
// is little enough for one flush of a whole file system.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix_files.h"

namespace lstconvert {
namespace {

// The content of a small file such as those of /proc; empty if it cannot be
// read.
std::string ReadSmallFile(const std::string& path) {
  std::string content(4096, '\0');
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const ssize_t got = fd.get() < 0 ? -1 : read(fd.get(), content.data(), content.size());
  content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return content;
}

// The number at the start of `text`, spaces skipped, or nothing ("max" in a
// control group).
std::optional<std::uint64_t> NumberIn(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return number;
}

// What may be unwritten besides the run's own files for one flush of the
// file system to be worth it: logs and the like.
constexpr std::uint64_t kOthersUnwritten = 16 << 20;

#if defined(__linux__)
// What the memory limits of the process's control group and those above it
// leave it: cgroup v2 ("0::/path" in /proc/self/cgroup) or the memory
// controller of cgroup v1 ("N:memory:/path").
std::uint64_t ControlGroupRoom() {
  struct Hierarchy {
    std::string_view mark, root, limit, used;
  };
  constexpr Hierarchy kHierarchies[] = {
      {"\n0::/", "/sys/fs/cgroup", "/memory.max", "/memory.current"},
      {":memory:/", "/sys/fs/cgroup/memory", "/memory.limit_in_bytes", "/memory.usage_in_bytes"},
  };
  std::string groups = "\n";  // so that the first line's mark is found as the others'
  groups += ReadSmallFile("/proc/self/cgroup");
  std::uint64_t room = UINT64_MAX;
  for (const Hierarchy& h : kHierarchies) {
    const std::size_t at = groups.find(h.mark);
    if (at == std::string::npos) continue;
    const std::size_t start = at + h.mark.size() - 1, end = groups.find('\n', start);
    for (std::string group = std::string(h.root) + groups.substr(start, end - start);;
         group = DirectoryOf(group)) {
      const auto limit = NumberIn(ReadSmallFile(group + std::string(h.limit)));
      const auto used = NumberIn(ReadSmallFile(group + std::string(h.used)));
      if (limit && used) room = std::min(room, *limit > *used ? *limit - *used : 0);
      if (group.size() <= h.root.size()) break;
    }
  }
  return room;
}
#endif

// The bytes that /proc/meminfo gives for `key` (such as "MemAvailable:", in
// kilobytes there), or nothing.
std::optional<std::uint64_t> MeminfoBytes(std::string_view meminfo, std::string_view key) {
  const std::size_t at = meminfo.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const std::optional<std::uint64_t> kilobytes = NumberIn(meminfo.substr(at + key.size()));
  if (!kilobytes) return std::nullopt;
  return *kilobytes * 1024;
}

}  // namespace

// On Linux what the system counts as available, within what the control
// groups leave; elsewhere the physical memory.
std::uint64_t AvailableMemory() {
#if defined(__linux__)
  const std::optional<std::uint64_t> available =
      MeminfoBytes(ReadSmallFile("/proc/meminfo"), "\nMemAvailable:");
  return std::min(available.value_or(UINT64_MAX), ControlGroupRoom());
#else
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
#endif
}

bool LittleUnwrittenBesides(std::uint64_t own) {
  const std::string meminfo = ReadSmallFile("/proc/meminfo");
  const auto dirty = MeminfoBytes(meminfo, "\nDirty:");
  const auto writeback = MeminfoBytes(meminfo, "\nWriteback:");
  if (!dirty || !writeback) return true;  // no /proc/meminfo: nothing to go by
  return *dirty + *writeback <= own + kOthersUnwritten;
}

}  // namespace lstconvert
