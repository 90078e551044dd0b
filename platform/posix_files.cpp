// Reading and copying files on POSIX systems, and the steps that replacing
// them (posix_replace.cpp) shares. A new file is always written beside its
// target under a unique temporary name, given the metadata of the file it
// stands for, flushed, and renamed over the target; the directory is flushed
// after the rename so that the rename survives a power cut as well.
#include "platform/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace lstconvert {

FileVersion VersionOf(const struct stat& status) {
#if defined(__APPLE__)
  const struct timespec& modified = status.st_mtimespec;
#else
  const struct timespec& modified = status.st_mtim;
#endif
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec};
}

namespace {
std::atomic<bool> descriptorsRanOut{false};
}  // namespace

int NoteShortage(int fd) {
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) descriptorsRanOut = true;
  return fd;
}

bool DescriptorsRanOut() { return descriptorsRanOut.exchange(false); }

namespace {

// The text of either strerror_r: the GNU one returns it, the XSI one (macOS)
// fills the buffer.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* text, const char*) { return text; }

}  // namespace

std::u16string ReasonOf(int error) {
  char buffer[256] = "";
  const std::string_view text = ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
  return std::u16string(text.begin(), text.end());
}

int OpenWithoutAccessTime(const std::string& path, int flags) {
#if defined(O_NOATIME)
  const int fd = open(path.c_str(), flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
#endif
  return open(path.c_str(), flags);
}

int OpenRegularFile(const std::string& path, struct stat& status) {
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  const int fd =
      NoteShortage(OpenWithoutAccessTime(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Flush(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return fsync(fd) == 0;
}

bool FlushData(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
  return fdatasync(fd) == 0;
#else
  return fsync(fd) == 0;
#endif
}

bool IsLocalDiskFileSystem(const std::string& directory) {
#if defined(__linux__)
  struct statfs about {};
  if (statfs(directory.c_str(), &about) != 0) return false;
  constexpr unsigned long kExt = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E;
  const auto type = static_cast<unsigned long>(about.f_type);
  return type == kExt || type == kXfs || type == kBtrfs;
#else
  (void)directory;
  return false;
#endif
}

bool FlushFileSystem(const std::string& directory) {
#if defined(__linux__)
  FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && syncfs(fd.get()) == 0;
#else
  (void)directory;
  return false;
#endif
}

bool WrittenOut(int fd) {
#if defined(__linux__)
  return sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE) == 0;
#else
  (void)fd;
  return false;
#endif
}

void StartWriting(int fd) {
#if defined(__linux__)
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}

void FlushDirectory(const std::string& directory) {
  FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) Flush(fd.get());
}

bool RenameToNewName(const std::string& from, const std::string& to) {
#if defined(__linux__)
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EPERM) return false;
#endif
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat status {};
  return lstat(to.c_str(), &status) != 0 && errno == ENOENT &&
         rename(from.c_str(), to.c_str()) == 0;
}

bool IsVersion(const std::string& path, const FileVersion& expected) {
  struct stat now {};
  return stat(path.c_str(), &now) == 0 && VersionOf(now) == expected;
}

namespace {

// Copies the rest of `from` to `to`: in the kernel where the system can,
// through a buffer elsewhere.
bool CopyContent(int from, int to) {
#if defined(__linux__)
  for (;;) {
    const ssize_t copied = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    // No copy call here, or not between these files (EPERM: a container's
    // system call filter): the copy goes on through a buffer.
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EPERM) {
      return false;
    }
    break;
  }
#endif
  std::string buffer(1 << 20, '\0');
  for (;;) {
    const ssize_t got = read(from, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) return false;
  }
}

}  // namespace

std::unique_ptr<TemporaryFile> CopyBeside(int from, const struct stat& status,
                                          const std::string& target) {
  auto copy = std::make_unique<TemporaryFile>(DirectoryOf(target));
  if (!copy->created() || lseek(from, 0, SEEK_SET) != 0 || !CopyContent(from, copy->get())) {
    return nullptr;
  }
  CopyMetadata(from, status, copy->get());
  return copy;
}

bool WriteAll(int fd, std::string_view bytes) {
  const std::string_view pieces[] = {bytes};
  return WriteAll(fd, pieces);
}

bool WriteAll(int fd, std::span<const std::string_view> pieces) {
  // At most IOV_MAX pieces a call; a call may write less than it was given.
  std::vector<iovec> vectors;
  std::size_t next = 0;
  std::size_t done = 0;  // bytes of pieces[next] already written
  while (next < pieces.size()) {
    vectors.clear();
    for (std::size_t i = next; i < pieces.size() && vectors.size() < IOV_MAX; ++i) {
      const std::string_view piece = i == next ? pieces[i].substr(done) : pieces[i];
      vectors.push_back({const_cast<char*>(piece.data()), piece.size()});
    }
    ssize_t written = writev(fd, vectors.data(), static_cast<int>(vectors.size()));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    while (next < pieces.size() &&
           done + static_cast<std::size_t>(written) >= pieces[next].size()) {
      written -= static_cast<ssize_t>(pieces[next].size() - done);
      done = 0;
      ++next;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

namespace {

// Files up to this size are read without asking how much memory is left.
constexpr std::uint64_t kAlwaysReadSize = 64 << 20;

}  // namespace

std::optional<FileContent> ReadRegularFile(const std::string& path, ReadBuffer& buffer,
                                           HeldFile& held, ReadFailure& failure) {
  held.Release();
  struct stat status {};
  FileDescriptor file(OpenRegularFile(path, status));
  if (file.get() < 0) {
    // A status was had (st_mode is set) for an entry that is no regular file.
    const bool other = status.st_mode != 0 && !S_ISREG(status.st_mode);
    failure = other             ? ReadFailure{ReadFailure::Kind::kNotAFile, {}}
              : errno == ENOENT ? ReadFailure{ReadFailure::Kind::kMissing, ReasonOf(errno)}
                                : ReadFailure{ReadFailure::Kind::kUnreadable, ReasonOf(errno)};
    return std::nullopt;
  }
  // A file that, with its converted text, would not fit in the memory left is
  // not read: reading it would end the process, or slow every program down.
  const auto size = static_cast<std::uint64_t>(status.st_size);
  failure = {ReadFailure::Kind::kTooLarge, {}};
  if (size > kAlwaysReadSize && size > AvailableMemory() / 2) return std::nullopt;
  char* bytes = nullptr;
  std::size_t filled = 0;
  try {
    // One more byte than the size, so that the end shows at once.
    bytes = buffer.Room(static_cast<std::size_t>(size) + 1, 0);
    for (;;) {
      if (filled == buffer.capacity()) bytes = buffer.Room(filled * 2, filled);
      const ssize_t got = read(file.get(), bytes + filled, buffer.capacity() - filled);
      if (got < 0) {
        if (errno == EINTR) continue;
        failure = {errno == ENOMEM ? ReadFailure::Kind::kTooLarge : ReadFailure::Kind::kUnreadable,
                   ReasonOf(errno)};
        return std::nullopt;
      }
      if (got == 0) break;
      filled += static_cast<std::size_t>(got);
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // more than the process may take
  }
  held.Hold(path, file.Release());
  return FileContent{std::string_view(bytes, filled), VersionOf(status)};
}

std::unique_ptr<TemporaryFile> CopyForNewName(const std::string& source, const std::string& target,
                                              struct stat& status) {
  if (lstat(target.c_str(), &status) == 0 || errno != ENOENT) return nullptr;
  FileDescriptor from(OpenRegularFile(source, status));
  if (from.get() < 0) return nullptr;
  return CopyBeside(from.get(), status, target);
}

}  // namespace lstconvert
