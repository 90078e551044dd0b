// Putting converted files in place on POSIX systems, in groups that share
// their waits for the disk, each project's original kept as its backup.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <thread>
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

}  // namespace

// A converted file written beside its project, to be put in its place with
// the others of its group.
struct Completions::Replacement {
  Replacement(const std::string& path, const std::string& backup, const FileVersion& read,
              const std::function<void(const Outcome&)>& whenKnown)
      : path(path),
        backup(backup),
        read(read),
        whenKnown(whenKnown),
        converted(DirectoryOf(path)) {}
  // Notes the first step that failed, with errno's words where `error` is
  // asked for; false.
  bool Fail(std::u16string_view step, bool error = true) {
    if (outcome.done()) outcome = {std::u16string(step), error ? ReasonOf(errno) : u""};
    return false;
  }
  std::string path, backup;
  FileVersion read;
  std::function<void(const Outcome&)> whenKnown;
  struct stat status {};
  FileDescriptor original{-1};
  TemporaryFile converted;
  int convertedError = 0, originalError = 0;  // of the group's flushes all at once
  bool done = false;
  Outcome outcome;

  bool MakeBackup(const std::function<bool()>& onDisk);
};

// Makes the file at `path`, open as `original` with status `status`, the
// backup `backup`: the file itself, linked to a new name that is renamed onto
// `backup`, so nothing is copied and all its metadata stays. Where it
// cannot be linked (a file system without links, a symbolic link at `path`),
// has other links that would share the backup, or where the new name cannot
// be shown to be the same file (an SFTP share numbers its files by name and
// counts no links), it is copied instead. `onDisk` tells whether the
// original's data is on the disk, flushing it if need be. A step that fails
// is noted.
bool Completions::Replacement::MakeBackup(const std::function<bool()>& onDisk) {
  const int fd = original.get();
  struct stat own {};
  const bool linkable = lstat(path.c_str(), &own) == 0 && S_ISREG(own.st_mode) &&
                        own.st_ino == status.st_ino && own.st_nlink == 1;
  // The original's own data must be on the disk before it is the only copy
  // of it.
  if (linkable && onDisk()) {
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
        const int error = errno;
        unlink(linked.c_str());
        errno = error;
        return Fail(u"backup not made");
      }
      unlink(linked.c_str());
      // Changed since it was opened: the version read is gone, and so is the
      // backup it would have had.
      if (!seen || linkedVersion.size != opened.size || linkedVersion.modified != opened.modified) {
        return Fail(kChangedStep, false);
      }
    }
  }
  const std::unique_ptr<TemporaryFile> copy = CopyBeside(fd, status, backup);
  if (!copy) return Fail(u"backup not made");
  return (copy->FlushAndClose() && copy->RenameOnto(backup)) || Fail(u"backup not made");
}

namespace {

// Adds the directory of `path` to `directories` unless it is there.
void AddDirectory(std::vector<std::string>& directories, const std::string& path) {
  const std::string directory = DirectoryOf(path);
  if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
    directories.push_back(directory);
  }
}

}  // namespace

namespace {

// How many threads flush a group's files at once: enough for a journal to
// commit their flushes together, and to keep the disk's queue full.
constexpr std::size_t kFlushThreads = 8;

// Flushes `file`; errno's value if that failed, otherwise 0.
int FlushNow(const GroupFile& file) {
  return (file.dataOnly ? FlushData(file.fd) : Flush(file.fd)) ? 0 : errno;
}

}  // namespace

void FlushTogether(std::span<GroupFile> files) {
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < files.size(); i = next++) files[i].error = FlushNow(files[i]);
  };
  std::vector<std::thread> threads;
  try {
    while (threads.size() + 1 < std::min(kFlushThreads, files.size())) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // As many as could be started; this thread takes part too.
  }
  work();
  for (std::thread& thread : threads) thread.join();
}

// Flushes the files of a group, as the file systems and the unwritten data
// of other programs allow, and says how. One flush of the file system is the
// cheapest way to the disk for many files, but it waits for every program's
// data there: it is taken only where little besides the run's own files is
// unwritten. Otherwise the files of a local disk are flushed all at once,
// each waiting for its own data only; those of other file systems one after
// the other, later, where a flush of the file system may stop short of the
// disk.
Flushing Completions::FlushGroup(Group& group, const std::vector<std::string>& directories) {
  if (!std::all_of(directories.begin(), directories.end(), IsLocalDiskFileSystem)) {
    return Flushing::kEach;
  }
  if (LittleUnwrittenBesides(unwritten_) &&
      std::all_of(directories.begin(), directories.end(), FlushFileSystem)) {
    return Flushing::kFileSystem;
  }
  std::vector<GroupFile> files;
  for (const NewCopy& copy : group.copies) files.push_back({copy.file->get(), false});
  for (const auto& r : group.replacements) {
    files.push_back({r->converted.get(), false});
    files.push_back({r->original.get(), true});
  }
  FlushTogether(files);
  auto flushed = files.begin();
  for (NewCopy& copy : group.copies) copy.flushError = (flushed++)->error;
  for (const auto& r : group.replacements) {
    r->convertedError = (flushed++)->error;
    r->originalError = (flushed++)->error;
  }
  return Flushing::kTogether;
}

namespace {

// Whether the file `fd`, which the group's flushes took `way`, is on the
// disk: after one flush of the file system, whether its writing failed (a
// failure is reported to whoever asks of the file next, and older kernels
// report it to no flush of a file system); after the flushes all at once,
// whether its own failed (`error`, which errno is set to); otherwise it is
// flushed now (its data only where `dataOnly`).
bool OnDisk(int fd, Flushing way, int error, bool dataOnly) {
  if (way == Flushing::kFileSystem) return WrittenOut(fd);
  if (way == Flushing::kTogether) {
    errno = error;
    return error == 0;
  }
  return dataOnly ? FlushData(fd) : Flush(fd);
}

}  // namespace

// Puts the files of a group in place. The waits for the disk are shared (see
// FlushGroup), the files' writing begun long before; every copy is given its
// name and every backup made, and the directory flushed once, so that no
// project is replaced before its backup lasts; then each project, closed and
// checked to be the version read, is replaced, and the directory flushed
// once more. A project not replaced keeps an existing backup and otherwise
// gets a copy as its backup.
void Completions::Commit(Group& group) {
  std::vector<std::string> directories;
  for (const auto& r : group.replacements) AddDirectory(directories, r->path);
  for (const NewCopy& copy : group.copies) AddDirectory(directories, copy.target);
  const Flushing way = FlushGroup(group, directories);
  for (const NewCopy& copy : group.copies) {
    if (OnDisk(copy.file->get(), way, copy.flushError, false) && copy.file->Close()) {
      copy.file->RenameToNew(copy.target);
    }
  }
  for (const auto& r : group.replacements) {
    const auto originalOnDisk = [&] {
      return OnDisk(r->original.get(), way, r->originalError, true);
    };
    r->done =
        ((OnDisk(r->converted.get(), way, r->convertedError, false) && r->converted.Close()) ||
         r->Fail(u"not written to the disk")) &&
        (IsVersion(r->path, r->read) || r->Fail(kChangedStep, false)) &&
        r->MakeBackup(originalOnDisk);
  }
  for (const std::string& directory : directories) FlushDirectory(directory);
  for (const auto& r : group.replacements) {
    // File servers refuse to replace a file that is open.
    r->original.Close();
    r->done = r->done && (IsVersion(r->path, r->read) || r->Fail(kChangedStep, false)) &&
              (r->converted.RenameOnto(r->path) || r->Fail(u"not put in place"));
  }
  for (const auto& r : group.replacements) {
    if (r->done) continue;
    struct stat status {};
    const std::unique_ptr<TemporaryFile> copy = CopyForNewName(r->path, r->backup, status);
    if (copy && copy->FlushAndClose()) copy->RenameToNew(r->backup);
  }
  for (const std::string& directory : directories) FlushDirectory(directory);
  unwritten_ -= group.bytes;
  for (const auto& r : group.replacements) r->whenKnown(r->outcome);
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
  unwritten_ += size;
  Added();
}

std::optional<FileVersion> Completions::Copy(const std::string& source, const std::string& target) {
  struct stat status {};
  std::unique_ptr<TemporaryFile> copy = CopyForNewName(source, target, status);
  if (!copy) return std::nullopt;
  StartWriting(copy->get());
  open_.copies.push_back({std::move(copy), target});
  open_.bytes += static_cast<std::size_t>(status.st_size);
  unwritten_ += static_cast<std::uint64_t>(status.st_size);
  Added();
  return VersionOf(status);
}

void Completions::Added() {
  const std::size_t files = open_.replacements.size() + open_.copies.size();
  // The thread starts with the first group, before its files take the
  // descriptors a low limit leaves.
  if (files == 1 && !thread_.joinable()) StartThread();
  if (files >= groupFiles_ || open_.bytes >= kGroupBytes) Submit();
}

void Completions::StartThread() {
  // Signals are left to the main thread, which ends the run on them.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    thread_ = std::thread([this] { Work(); });
  } catch (const std::system_error&) {
    // No thread can be started (a limit on processes): groups are put in
    // place on the calling thread.
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Completions::Submit() {
  if (open_.replacements.empty() && open_.copies.empty()) return;
  Group group = std::exchange(open_, Group{});
  if (!thread_.joinable()) {
    Commit(group);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
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

std::optional<Outcome> ReplaceRegularFile(const std::string& path,
                                          std::span<const std::string_view> pieces,
                                          const FileVersion& read, const std::string& backup,
                                          const std::function<void(const Outcome&)>& whenKnown,
                                          HeldFile& held, Completions& completions) {
  auto r = std::make_unique<Completions::Replacement>(path, backup, read, whenKnown);
  // The file as it was read, if it is held still; its status now tells
  // whether it was written to since.
  int fd = held.Take(path);
  if (fd >= 0 && fstat(fd, &r->status) != 0) {
    close(fd);
    fd = -1;
  }
  r->original.Reset(fd >= 0 ? fd : OpenRegularFile(path, r->status));
  if (r->original.get() < 0) return Outcome{u"not opened again", ReasonOf(errno)};
  if (!r->converted.created()) return Outcome{u"not written", ReasonOf(r->converted.error())};
  const bool writable = (r->status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.size();
  const bool changed = VersionOf(r->status) != read;
  if (changed || !writable || !WriteAll(r->converted.get(), pieces)) {
    Outcome outcome = changed     ? Outcome{std::u16string(kChangedStep), u""}
                      : !writable ? Outcome{u"read-only", u""}
                                  : Outcome{u"not written", ReasonOf(errno)};
    r->original.Close();
    completions.Copy(path, backup);
    return outcome;
  }
  CopyMetadata(r->original.get(), r->status, r->converted.get());
  StartWriting(r->converted.get());
  completions.Add(std::move(r), size);
  return std::nullopt;
}

Outcome RestoreRegularFile(const std::string& path, const std::string& backup,
                           const FileVersion& read) {
  FileDescriptor data(open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  const bool link =
      data.get() < 0 && lstat(backup.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
  // A backup that is a link has its data where it points: that is flushed.
  if (link) data.Reset(open(backup.c_str(), O_RDONLY | O_CLOEXEC));
  if (data.get() < 0 || !FlushData(data.get())) return {u"backup not on the disk", ReasonOf(errno)};
  data.Close();
  if (!IsVersion(path, read)) return {std::u16string(kChangedStep), u""};
  if (rename(backup.c_str(), path.c_str()) != 0) return {u"not put back", ReasonOf(errno)};
  FlushDirectory(DirectoryOf(path));
  return {};
}

}  // namespace lstconvert
