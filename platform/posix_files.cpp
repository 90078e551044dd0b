// Reading, copying and replacing files on POSIX systems. A new file is always
// written beside its target under a unique temporary name, given the
// metadata of the file it stands for, flushed, and renamed over the target;
// the directory is flushed after the rename so that the rename survives a
// power cut as well.
#include "platform/posix_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
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
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  // Gives up the descriptor without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
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

// Flushes the whole file system that holds `directory` where that is known to
// reach the disk (ext2 to ext4, XFS, btrfs): one wait for every file of a
// group, and their data written out together. False where each file must be
// flushed alone: on FUSE, network and FAT file systems a flush of the file
// system may stop short of the disk, and elsewhere there is no such call.
bool FlushFileSystem(const std::string& directory) {
#if defined(__linux__)
  FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct statfs about {};
  if (fd.get() < 0 || fstatfs(fd.get(), &about) != 0) return false;
  constexpr unsigned long kExt = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E;
  const auto type = static_cast<unsigned long>(about.f_type);
  return (type == kExt || type == kXfs || type == kBtrfs) && syncfs(fd.get()) == 0;
#else
  (void)directory;
  return false;
#endif
}

// After a flush of its file system, whether a file's data reached the disk:
// a failed write is reported to whoever asks of the file next, and older
// kernels report it to no flush of a whole file system.
bool WrittenOut(int fd) {
#if defined(__linux__)
  return sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE) == 0;
#else
  (void)fd;
  return false;
#endif
}

// Starts writing a file's data to the disk, so that a flush later has less
// to wait for, and the flushes of a group little more than one.
void StartWriting(int fd) {
#if defined(__linux__)
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
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
  // Flushes the file to the disk, or checks that it reached it after a flush
  // of its file system, and closes it.
  bool FlushAndClose(bool fileSystemFlushed = false) {
    return (fileSystemFlushed ? WrittenOut(file_.get()) : Flush(file_.get())) && file_.Close();
  }
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

// A new name beside `path`, the prefix of the temporary files and twelve
// random hexadecimal digits, that is to name `path`'s file too; false if no
// link can be made there (a file system without links).
bool LinkBeside(const std::string& path, std::string& linked) {
  static std::mt19937_64 random(std::random_device{}());
  const std::string directory = DirectoryOf(path);
  for (;;) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    linked = directory + "/" + std::string(kTemporaryPrefix) + digits;
    if (link(path.c_str(), linked.c_str()) == 0) return true;
    if (errno != EEXIST) return false;
  }
}

// Makes the file at `path`, open as `original` with status `status`, the
// backup: the file itself, linked to a new name that is renamed onto
// `backup`, so nothing is copied and all its metadata stays. Where it
// cannot be linked (a file system without links, a symbolic link at `path`)
// or has other links that would share the backup, it is copied instead.
// `fileSystemFlushed` tells that the whole file system was just flushed.
bool MakeBackup(const std::string& path, int original, const struct stat& status,
                const std::string& backup, bool fileSystemFlushed) {
  struct stat own {};
  const bool linkable = lstat(path.c_str(), &own) == 0 && S_ISREG(own.st_mode) &&
                        own.st_ino == status.st_ino && own.st_nlink == 1;
  // The original's own data must be on the disk before it is the only copy
  // of it.
  if (linkable && (fileSystemFlushed ? WrittenOut(original) : FlushData(original))) {
    std::string linked;
    if (LinkBeside(path, linked)) {
      // Still the file that was opened, with no other name that the backup
      // could be: renaming a link of a file onto another link of the same
      // file would succeed and leave both.
      struct stat same {};
      const bool made = lstat(linked.c_str(), &same) == 0 && VersionOf(same) == VersionOf(status) &&
                        same.st_nlink == 2 && rename(linked.c_str(), backup.c_str()) == 0;
      if (!made) unlink(linked.c_str());
      return made;
    }
  }
  const std::unique_ptr<TemporaryFile> copy = CopyBeside(original, status, backup);
  return copy && copy->RenameOnto(backup);
}

}  // namespace

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

void HeldFile::Hold(const std::string& path, int fd) {
  Release();
  path_ = path;
  fd_ = fd;
}

int HeldFile::Take(const std::string& path) {
  if (fd_ < 0 || path != path_) return -1;
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void HeldFile::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::optional<FileContent> ReadRegularFile(const std::string& path, ReadBuffer& buffer,
                                           HeldFile& held) {
  held.Release();
  struct stat status {};
  FileDescriptor file(OpenRegularFile(path, status));
  if (file.get() < 0) return std::nullopt;
  // One more byte than the size, so that the end shows at once.
  char* bytes = buffer.Room(static_cast<std::size_t>(status.st_size) + 1, 0);
  std::size_t filled = 0;
  for (;;) {
    if (filled == buffer.capacity()) bytes = buffer.Room(filled * 2, filled);
    const ssize_t got = read(file.get(), bytes + filled, buffer.capacity() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  held.Hold(path, file.Release());
  return FileContent{std::string_view(bytes, filled), VersionOf(status)};
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

// A converted file written beside its project, to be put in its place with
// the others of its group.
struct Completions::Replacement {
  Replacement(const std::string& path, const std::string& backup, const FileVersion& read)
      : path(path), backup(backup), read(read), converted(DirectoryOf(path)) {}
  std::string path, backup;
  FileVersion read;
  struct stat status {};
  FileDescriptor original{-1};
  TemporaryFile converted;
  bool done = false;
};

namespace {

// Puts the converted files of a group in place. The waits for the disk are
// shared: the converted files and the originals reach the disk in one flush
// of the file system, or, where that cannot serve, one file after the
// other, their writing begun long before; every backup is made, and the
// directory flushed once, so that no project is replaced before its backup
// lasts; then each project, closed and checked to be the version read, is
// replaced, and the directory flushed once more. A project not replaced
// keeps an existing backup and otherwise gets a copy as its backup.
void CommitGroup(std::vector<std::unique_ptr<Completions::Replacement>>& group) {
  std::vector<std::string> directories;
  for (const auto& r : group) {
    const std::string directory = DirectoryOf(r->path);
    if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
      directories.push_back(directory);
    }
  }
  bool flushed = true;
  for (const std::string& directory : directories) flushed = FlushFileSystem(directory) && flushed;
  for (const auto& r : group) {
    r->done = r->converted.FlushAndClose(flushed) && IsVersion(r->path, r->read) &&
              MakeBackup(r->path, r->original.get(), r->status, r->backup, flushed);
  }
  for (const std::string& directory : directories) FlushDirectory(directory);
  for (const auto& r : group) {
    // File servers refuse to replace a file that is open.
    r->original.Close();
    r->done = r->done && IsVersion(r->path, r->read) && r->converted.RenameOnto(r->path);
  }
  for (const std::string& directory : directories) FlushDirectory(directory);
  for (const auto& r : group) {
    if (!r->done) CopyRegularFile(r->path, r->backup);
  }
}

}  // namespace

Completions::Completions() = default;

Completions::~Completions() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Completions::Add(std::unique_ptr<Replacement> replacement, std::size_t size) {
  open_.push_back(std::move(replacement));
  openBytes_ += size;
  if (open_.size() >= kGroupFiles || openBytes_ >= kGroupBytes) Submit();
}

void Completions::Submit() {
  if (open_.empty()) return;
  Group group = std::move(open_);
  open_.clear();
  openBytes_ = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) {
    // Signals are left to the main thread, which ends the run on them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { Work(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  changed_.wait(lock, [this] { return waiting_.empty(); });
  waiting_.push_back(std::move(group));
  changed_.notify_all();
}

void Completions::Finish() {
  Submit();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return waiting_.empty() && !busy_; });
}

void Completions::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
    if (waiting_.empty()) return;
    Group group = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    lock.unlock();
    CommitGroup(group);
    group.clear();
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

bool ReplaceRegularFile(const std::string& path, std::span<const std::string_view> pieces,
                        const FileVersion& read, const std::string& backup, HeldFile& held,
                        Completions& completions) {
  auto r = std::make_unique<Completions::Replacement>(path, backup, read);
  // The file as it was read, if it is held still; its status now tells
  // whether it was written to since.
  int fd = held.Take(path);
  if (fd >= 0 && fstat(fd, &r->status) != 0) {
    close(fd);
    fd = -1;
  }
  r->original.Reset(fd >= 0 ? fd : OpenRegularFile(path, r->status));
  if (r->original.get() < 0) return false;
  const bool writable = (r->status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.size();
  if (VersionOf(r->status) != read || !writable || !r->converted.created() ||
      !WriteAll(r->converted.get(), pieces)) {
    r->original.Close();
    CopyRegularFile(path, backup);
    return false;
  }
  CopyMetadata(r->original.get(), r->status, r->converted.get());
  StartWriting(r->converted.get());
  completions.Add(std::move(r), size);
  return true;
}

}  // namespace lstconvert
