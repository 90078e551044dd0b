// Copying a file's metadata to a new file on POSIX systems: owner and group,
// permission bits, and the extended attributes, which carry ACLs and
// security labels.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix_files.h"

namespace lstconvert {
namespace {

// Extended attributes, through the calls of Linux and of macOS.
ssize_t ListAttributes(int fd, char* names, std::size_t size) {
#if defined(__APPLE__)
  return flistxattr(fd, names, size, 0);
#else
  return flistxattr(fd, names, size);
#endif
}
ssize_t GetAttribute(int fd, const char* name, void* value, std::size_t size) {
#if defined(__APPLE__)
  return fgetxattr(fd, name, value, size, 0, 0);
#else
  return fgetxattr(fd, name, value, size);
#endif
}
int SetAttribute(int fd, const char* name, const std::string& value) {
#if defined(__APPLE__)
  return fsetxattr(fd, name, value.data(), value.size(), 0, 0);
#else
  return fsetxattr(fd, name, value.data(), value.size(), 0);
#endif
}
int RemoveAttribute(int fd, const char* name) {
#if defined(__APPLE__)
  return fremovexattr(fd, name, 0);
#else
  return fremovexattr(fd, name);
#endif
}

// Reads a variable-sized answer: `call(buffer, size)` as the xattr calls
// take it, retried while the answer grows between asking its size and
// fetching it.
template <typename Call>
std::optional<std::string> ReadSized(Call call) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) return std::nullopt;
    if (size == 0) return std::string();
    std::string buffer(static_cast<std::size_t>(size), '\0');
    const ssize_t got = call(buffer.data(), buffer.size());
    if (got >= 0) {
      buffer.resize(static_cast<std::size_t>(got));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

std::vector<std::string> AttributeNames(int fd) {
  std::vector<std::string> names;
  const std::optional<std::string> list =
      ReadSized([&](char* buffer, std::size_t size) { return ListAttributes(fd, buffer, size); });
  if (!list) return names;
  for (std::size_t at = 0; at < list->size();) {
    const std::size_t end = std::min(list->find('\0', at), list->size());
    if (end > at) names.push_back(list->substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// The access ACL of Linux, kept as an extended attribute.
constexpr char kAccessAcl[] = "system.posix_acl_access";

// Gives `to` every extended attribute of `from` that the file system and the
// process allow, the access ACL included, and takes away those `from` lacks
// (such as an ACL inherited from the directory). False only if `from` has an
// access ACL that `to` could not be given.
bool CopyExtendedAttributes(int from, int to) {
  bool aclKept = true;
  const std::vector<std::string> names = AttributeNames(from);
  for (const std::string& name : names) {
    const std::optional<std::string> value = ReadSized([&](char* buffer, std::size_t size) {
      return GetAttribute(from, name.c_str(), buffer, size);
    });
    const bool set = value && SetAttribute(to, name.c_str(), *value) == 0;
    if (!set && name == kAccessAcl) aclKept = false;
  }
  for (const std::string& name : AttributeNames(to)) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      RemoveAttribute(to, name.c_str());
    }
  }
  return aclKept;
}

}  // namespace

void CopyMetadata(int from, const struct stat& status, int to) {
  if (fchown(to, status.st_uid, status.st_gid) != 0) {
    [[maybe_unused]] const int groupOnly = fchown(to, static_cast<uid_t>(-1), status.st_gid);
  }
  mode_t mode = status.st_mode & 07777;
  if (!CopyExtendedAttributes(from, to)) mode &= ~static_cast<mode_t>(S_IRWXG);
  fchmod(to, mode);
}

}  // namespace lstconvert
