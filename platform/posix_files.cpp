// Reading, copying and replacing files on POSIX systems. A new file is always
// written beside its target under a unique temporary name, given the
// metadata of the file it stands for, flushed, and renamed over the target;
// the directory is flushed after the rename so that the rename survives a
// power cut as well.
#include "platform/posix_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace lstconvert {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded; closing again does
  // nothing.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

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

// Opens the regular file at `path` for reading; its status goes to
// `status`. A path that is not a regular file is never opened, so a FIFO
// never blocks the run.
int OpenRegularFile(const std::string& path, struct stat& status) {
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

// Flushes a file's data and metadata to the disk itself: on macOS fsync
// stops at the drive's cache and F_FULLFSYNC is needed.
bool Flush(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return fsync(fd) == 0;
}

// Flushes a file's data, and only the metadata needed to read it back: for
// a file nobody has written lately there is nothing to do, where a full
// flush would still write out the time it was last read.
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

// Makes the entries of a directory, and so a rename in it, durable. Some
// file systems cannot flush a directory; the rename has happened anyway.
void FlushDirectory(const std::string& directory) {
  FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) Flush(fd.get());
}

// Renames `from` to `to` where no entry has the name `to`, in one step where
// the file system can: a rename that refuses to replace, or a second link
// that is then cut from `from`. File systems without either (FAT, exFAT)
// get a look before the rename; other runs are kept out by the directory
// lock.
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

// A new file beside a target, under a unique name, readable by its owner
// only; removed again unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& directory)
      : path_(directory + "/" + std::string(kTemporaryPrefix) + "XXXXXX"),
        file_(mkostemp(path_.data(), O_CLOEXEC)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!renamed_) unlink(path_.c_str());
  }
  bool created() const { return file_.get() >= 0; }
  int get() const { return file_.get(); }
  // Flushes the file to the disk and closes it.
  bool FlushAndClose() { return Flush(file_.get()) && file_.Close(); }
  bool RenameOnto(const std::string& target) {
    renamed_ = rename(path_.c_str(), target.c_str()) == 0;
    return renamed_;
  }
  // Renames the file to `target` where no entry has that name.
  bool RenameToNew(const std::string& target) {
    renamed_ = RenameToNewName(path_, target);
    return renamed_;
  }

 private:
  std::string path_;
  FileDescriptor file_;
  bool renamed_ = false;
};

bool IsVersion(const std::string& path, const FileVersion& expected) {
  struct stat now {};
  return stat(path.c_str(), &now) == 0 && VersionOf(now) == expected;
}

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

// A copy of the open file `from` (with status `status`) beside `target`:
// content and metadata, flushed and closed; nothing on failure.
std::unique_ptr<TemporaryFile> CopyBeside(int from, const struct stat& status,
                                          const std::string& target) {
  auto copy = std::make_unique<TemporaryFile>(DirectoryOf(target));
  if (!copy->created() || lseek(from, 0, SEEK_SET) != 0 || !CopyContent(from, copy->get())) {
    return nullptr;
  }
  CopyMetadata(from, status, copy->get());
  if (!copy->FlushAndClose()) return nullptr;
  return copy;
}

// A name beside `path` that no entry has: the prefix of the temporary files
// and twelve random hexadecimal digits.
std::string UnusedNameBeside(const std::string& path) {
  static std::mt19937_64 random(std::random_device{}());
  const std::string directory = DirectoryOf(path);
  for (;;) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    const std::string name = directory + "/" + std::string(kTemporaryPrefix) + digits;
    struct stat status {};
    if (lstat(name.c_str(), &status) != 0 && errno == ENOENT) return name;
  }
}

// Makes the file at `path`, open as `original` with status `status`, the
// backup: the file itself, linked to a new name that is renamed onto
// `backup`, so nothing is copied and all its metadata stays. Where it
// cannot be linked (a file system without links, a symbolic link at `path`)
// or has other links that would share the backup, it is copied instead.
bool MakeBackup(const std::string& path, int original, const struct stat& status,
                const std::string& backup) {
  struct stat own {};
  const bool linkable = lstat(path.c_str(), &own) == 0 && S_ISREG(own.st_mode) &&
                        own.st_ino == status.st_ino && own.st_nlink == 1;
  // The original's own data must be on the disk before it is the only copy
  // of it.
  if (linkable && FlushData(original)) {
    const std::string linked = UnusedNameBeside(path);
    if (link(path.c_str(), linked.c_str()) == 0) {
      struct stat same {};
      const bool made = lstat(linked.c_str(), &same) == 0 && VersionOf(same) == VersionOf(status) &&
                        rename(linked.c_str(), backup.c_str()) == 0;
      // Renaming a link of a file onto another link of the same file
      // succeeds and leaves both; the spare one goes, as after a failure.
      unlink(linked.c_str());
      return made;
    }
  }
  const std::unique_ptr<TemporaryFile> copy = CopyBeside(original, status, backup);
  return copy && copy->RenameOnto(backup);
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::optional<FileContent> ReadRegularFile(const std::string& path) {
  struct stat status {};
  FileDescriptor file(OpenRegularFile(path, status));
  if (file.get() < 0) return std::nullopt;
  FileContent content{Bytes(static_cast<std::size_t>(status.st_size) + 1, '\0'), VersionOf(status)};
  Bytes& bytes = content.bytes;
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t got = read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return content;
}

std::optional<FileVersion> CopyRegularFile(const std::string& source, const std::string& target) {
  struct stat status {};
  if (lstat(target.c_str(), &status) == 0 || errno != ENOENT) return std::nullopt;
  FileDescriptor from(OpenRegularFile(source, status));
  if (from.get() < 0) return std::nullopt;
  const std::unique_ptr<TemporaryFile> copy = CopyBeside(from.get(), status, target);
  if (!copy || !copy->RenameToNew(target)) return std::nullopt;
  FlushDirectory(DirectoryOf(target));
  return VersionOf(status);
}

Completions::~Completions() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Completions::Add(std::function<void()> work) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) {
    // Signals are left to the main thread, which ends the run on them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { Work(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  changed_.wait(lock, [this] { return waiting_.size() < 2; });
  waiting_.push_back(std::move(work));
  changed_.notify_all();
}

void Completions::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return waiting_.empty() && !busy_; });
}

void Completions::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
    if (waiting_.empty()) return;
    std::function<void()> work = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    lock.unlock();
    work();
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

bool ReplaceRegularFile(const std::string& path, std::string_view content, const FileVersion& read,
                        const std::string& backup, Completions& completions) {
  struct stat status {};
  auto original = std::make_shared<FileDescriptor>(OpenRegularFile(path, status));
  if (original->get() < 0) return false;
  const std::string directory = DirectoryOf(path);
  auto converted = std::make_shared<TemporaryFile>(directory);
  const bool writable = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  if (VersionOf(status) != read || !writable || !converted->created() ||
      !WriteAll(converted->get(), content)) {
    original->Close();
    CopyRegularFile(path, backup);
    return false;
  }
  CopyMetadata(original->get(), status, converted->get());
  completions.Add([=] {
    // Another program may have saved the project since it was read: that
    // save stays, and so does the backup an earlier run made.
    bool replaced = false;
    if (converted->FlushAndClose() && IsVersion(path, read) &&
        MakeBackup(path, original->get(), status, backup)) {
      // The backup must last before the project is replaced: a file system
      // may write the two renames out in either order. File servers refuse
      // to replace a file that is open.
      FlushDirectory(directory);
      original->Close();
      replaced = IsVersion(path, read) && converted->RenameOnto(path);
    }
    original->Close();
    if (replaced) {
      FlushDirectory(directory);
    } else {
      CopyRegularFile(path, backup);
    }
  });
  return true;
}

}  // namespace lstconvert
