// Putting converted files in place on POSIX systems, in groups that share
// their waits for the disk, each project's original kept as its backup.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/posix_files.h"

namespace lstconvert {
namespace {

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
// cannot be linked (a file system without links, a symbolic link at `path`),
// has other links that would share the backup, or where the new name cannot
// be shown to be the same file (an SFTP share numbers its files by name and
// counts no links), it is copied instead.
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
      const bool seen = lstat(linked.c_str(), &same) == 0;
      const FileVersion linkedVersion = VersionOf(same), opened = VersionOf(status);
      if (seen && linkedVersion == opened && same.st_nlink == 2) {
        if (rename(linked.c_str(), backup.c_str()) == 0) return true;
        unlink(linked.c_str());
        return false;
      }
      unlink(linked.c_str());
      // Changed since it was opened: the version read is gone, and so is the
      // backup it would have had.
      if (!seen || linkedVersion.size != opened.size || linkedVersion.modified != opened.modified) {
        return false;
      }
    }
  }
  const std::unique_ptr<TemporaryFile> copy = CopyBeside(original, status, backup);
  return copy && copy->FlushAndClose() && copy->RenameOnto(backup);
}

}  // namespace

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

// Adds the directory of `path` to `directories` unless it is there.
void AddDirectory(std::vector<std::string>& directories, const std::string& path) {
  const std::string directory = DirectoryOf(path);
  if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
    directories.push_back(directory);
  }
}

}  // namespace

// Puts the files of a group in place. The waits for the disk are shared:
// the converted files, the copies and the originals reach the disk in one
// flush of the file system, or, where that cannot serve, one file after the
// other, their writing begun long before; every copy is given its name and
// every backup made, and the directory flushed once, so that no project is
// replaced before its backup lasts; then each project, closed and checked to
// be the version read, is replaced, and the directory flushed once more. A
// project not replaced keeps an existing backup and otherwise gets a copy as
// its backup.
void Completions::Commit(Group& group) {
  std::vector<std::string> directories;
  for (const auto& r : group.replacements) AddDirectory(directories, r->path);
  for (const NewCopy& copy : group.copies) AddDirectory(directories, copy.target);
  bool flushed = true;
  for (const std::string& directory : directories) flushed = FlushFileSystem(directory) && flushed;
  for (const NewCopy& copy : group.copies) {
    if (copy.file->FlushAndClose(flushed)) copy.file->RenameToNew(copy.target);
  }
  for (const auto& r : group.replacements) {
    r->done = r->converted.FlushAndClose(flushed) && IsVersion(r->path, r->read) &&
              MakeBackup(r->path, r->original.get(), r->status, r->backup, flushed);
  }
  for (const std::string& directory : directories) FlushDirectory(directory);
  for (const auto& r : group.replacements) {
    // File servers refuse to replace a file that is open.
    r->original.Close();
    r->done = r->done && IsVersion(r->path, r->read) && r->converted.RenameOnto(r->path);
  }
  for (const auto& r : group.replacements) {
    if (r->done) continue;
    struct stat status {};
    const std::unique_ptr<TemporaryFile> copy = CopyForNewName(r->path, r->backup, status);
    if (copy && copy->FlushAndClose()) copy->RenameToNew(r->backup);
  }
  for (const std::string& directory : directories) FlushDirectory(directory);
}

namespace {

// How many files a group may hold within the limit on open files: three
// groups with two descriptors for each of their files, and room left for the
// run's others (the standard streams, the lock, the file at hand, a
// directory being flushed, a copy being made, a few inherited).
std::size_t GroupFilesWithinLimit(std::size_t most) {
  constexpr rlim_t kOthers = 16, kPerFile = 3 * 2;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return most;
  const rlim_t room = limit.rlim_cur > kOthers ? (limit.rlim_cur - kOthers) / kPerFile : 0;
  return std::clamp<std::size_t>(static_cast<std::size_t>(std::min<rlim_t>(room, most)), 1, most);
}

}  // namespace

Completions::Completions() : groupFiles_(GroupFilesWithinLimit(kGroupFiles)) {}

Completions::~Completions() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Completions::Add(std::unique_ptr<Replacement> replacement, std::size_t size) {
  open_.replacements.push_back(std::move(replacement));
  open_.bytes += size;
  Added();
}

std::optional<FileVersion> Completions::Copy(const std::string& source, const std::string& target) {
  struct stat status {};
  std::unique_ptr<TemporaryFile> copy = CopyForNewName(source, target, status);
  if (!copy) return std::nullopt;
  StartWriting(copy->get());
  open_.copies.push_back({std::move(copy), target});
  open_.bytes += static_cast<std::size_t>(status.st_size);
  Added();
  return VersionOf(status);
}

void Completions::Added() {
  if (open_.replacements.size() + open_.copies.size() >= groupFiles_ ||
      open_.bytes >= kGroupBytes) {
    Submit();
  }
}

void Completions::Submit() {
  if (open_.replacements.empty() && open_.copies.empty()) return;
  Group group = std::exchange(open_, Group{});
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) {
    // Signals are left to the main thread, which ends the run on them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      thread_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      // No thread can be started (a limit on processes): the group is put
      // in place here, and the batch waits for it.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!thread_.joinable()) {
      lock.unlock();
      Commit(group);
      return;
    }
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
    Commit(group);
    group = Group{};
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
  if (r->original.get() < 0 || !r->converted.created()) return false;
  const bool writable = (r->status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.size();
  if (VersionOf(r->status) != read || !writable || !WriteAll(r->converted.get(), pieces)) {
    r->original.Close();
    completions.Copy(path, backup);
    return false;
  }
  CopyMetadata(r->original.get(), r->status, r->converted.get());
  StartWriting(r->converted.get());
  completions.Add(std::move(r), size);
  return true;
}

}  // namespace lstconvert
