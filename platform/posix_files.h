// The file operations of the POSIX platform, on native paths (byte strings).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/read_buffer.h"

namespace lstconvert {

// The start of the names of the program's temporary files: hidden, and never
// a project's name.
inline constexpr std::string_view kTemporaryPrefix = ".lstconvert-";

// The steps that reading, copying and replacing files share.

// An open file descriptor, closed with it.
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

// The version of a file with status `status`.
FileVersion VersionOf(const struct stat& status);

// Opens `path` with `flags` without making its time of last access the
// present: reading a project or listing a folder changes nothing of it.
// Only the file's owner (or root) may ask that; others open it as usual.
int OpenWithoutAccessTime(const std::string& path, int flags);

// Opens the regular file at `path` for reading; its status goes to
// `status`. A path that is not a regular file is never opened, so a FIFO
// never blocks the run.
int OpenRegularFile(const std::string& path, struct stat& status);

// The directory part of `path`: "." for a bare name.
std::string DirectoryOf(const std::string& path);

// Flushes a file's data and metadata to the disk itself: on macOS fsync
// stops at the drive's cache and F_FULLFSYNC is needed.
bool Flush(int fd);

// Flushes a file's data, and only the metadata needed to read it back: for
// a file nobody has written lately there is nothing to do, where a full
// flush would still write out the time it was last read.
bool FlushData(int fd);

// Whether the file system that holds `directory` is one whose flush of the
// whole file system is known to reach the disk, and whose files may be
// flushed all at once (ext2 to ext4, XFS, btrfs). False where each file must
// be flushed alone: on FUSE, network and FAT file systems a flush of the file
// system may stop short of the disk, and elsewhere there is no such call.
bool IsLocalDiskFileSystem(const std::string& directory);

// Flushes the whole file system that holds `directory`: one wait for every
// file of a group, and their data written out together, but also every
// other program's data on it. False if it failed.
bool FlushFileSystem(const std::string& directory);

// Whether the system holds little unwritten data besides `own` bytes of the
// run's own files: then a flush of the file system waits for little else.
bool LittleUnwrittenBesides(std::uint64_t own);

// The memory the run can take without the system taking it from other
// programs or ending the process. (A limit on address space makes an
// allocation fail at once instead.)
std::uint64_t AvailableMemory();

// How the files of a group reach the disk.
enum class Flushing {
  kFileSystem,  // one flush of the file system, then each file asked whether its writing failed
  kTogether,    // all at once, each waiting for its own data only
  kEach,        // one after the other
};

// A file to be flushed with others, and how its flush ended.
struct GroupFile {
  int fd;
  bool dataOnly;  // the data, and only the metadata needed to read it back
  int error = 0;  // errno of a flush that failed
};

// Flushes `files` all at once, from a few threads, each waiting for its own
// data only, so that the file system commits their flushes together; one
// after the other where no thread can be started. Sets each file's `error`.
void FlushTogether(std::span<GroupFile> files);

// After a flush of its file system, whether a file's data reached the disk:
// a failed write is reported to whoever asks of the file next, and older
// kernels report it to no flush of a whole file system.
bool WrittenOut(int fd);

// Starts writing a file's data to the disk, so that a flush later has less
// to wait for, and the flushes of a group little more than one.
void StartWriting(int fd);

// Makes the entries of a directory, and so a rename in it, durable. Some
// file systems cannot flush a directory; the rename has happened anyway.
void FlushDirectory(const std::string& directory);

// Renames `from` to `to` where no entry has the name `to`, in one step where
// the file system can: a rename that refuses to replace, or a second link
// that is then cut from `from`. File systems without either (FAT, exFAT)
// get a look before the rename; other runs are kept out by the directory
// lock.
bool RenameToNewName(const std::string& from, const std::string& to);

// Whether the file at `path` (a link is followed) is the version `expected`.
bool IsVersion(const std::string& path, const FileVersion& expected);

// Notes it where `fd` is a failed open's for want of file descriptors
// (EMFILE, ENFILE), and returns it; errno stays.
int NoteShortage(int fd);

// Whether an open failed for want of file descriptors since the last call:
// the same open may succeed once the files in flight are put in place.
bool DescriptorsRanOut();

// A new file beside a target, under a unique name, readable by its owner
// only; removed again unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& directory)
      : path_(directory + "/" + std::string(kTemporaryPrefix) + "XXXXXX"),
        file_(NoteShortage(mkostemp(path_.data(), O_CLOEXEC))),
        error_(file_.get() < 0 ? errno : 0) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!renamed_) unlink(path_.c_str());
  }
  bool created() const { return file_.get() >= 0; }
  int error() const { return error_; }  // why it was not created
  int get() const { return file_.get(); }
  // Flushes the file to the disk and closes it.
  bool FlushAndClose() { return Flush(file_.get()) && file_.Close(); }
  bool Close() { return file_.Close(); }
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
  int error_;
  bool renamed_ = false;
};

// A copy of the open file `from` (with status `status`) beside `target`:
// content and metadata, still open and not yet flushed; nothing on failure.
std::unique_ptr<TemporaryFile> CopyBeside(int from, const struct stat& status,
                                          const std::string& target);

// Gives the new file `to` the owner, group, permission bits and extended
// attributes of `from`, as far as the file system and the process allow;
// none of it decides whether the file is written. The owner is given where
// the process may (as root), the group alone otherwise. Without the access
// ACL of `from`, its group bits (the ACL's mask) would open the file to the
// whole group, so the group gets no access then.
void CopyMetadata(int from, const struct stat& status, int to);

// Writes all of `bytes` to `fd`; false on an error.
bool WriteAll(int fd, std::string_view bytes);

// Writes all of `pieces`, one after the other, to `fd` (writev); false on
// an error.
bool WriteAll(int fd, std::span<const std::string_view> pieces);

// The regular file read last, held open until the next read, so that
// replacing it costs no second look-up of its name in what may be a large
// directory.
class HeldFile {
 public:
  void Hold(const std::string& path, int fd) {
    path_ = path;
    file_.Reset(fd);
  }
  // The descriptor of `path` if that is the file held, which is the
  // caller's then; -1 otherwise.
  int Take(const std::string& path) { return path == path_ ? file_.Release() : -1; }
  void Release() { file_.Close(); }

 private:
  std::string path_;
  FileDescriptor file_{-1};
};

// The bytes of the regular file at `path`, read into `buffer`, and the
// version they were read from; the file is left in `held`. A path that is
// not a regular file is never opened. Nothing, and why in `failure`, where
// it is not read.
std::optional<FileContent> ReadRegularFile(const std::string& path, ReadBuffer& buffer,
                                           HeldFile& held, ReadFailure& failure);

// A copy of the regular file `source`, with its metadata, beside `target`
// where no entry has that name, to be given it: still open and not yet
// flushed. `status` gets the status of `source`.
std::unique_ptr<TemporaryFile> CopyForNewName(const std::string& source, const std::string& target,
                                              struct stat& status);

// Puts converted files and copies in place in groups, on a thread of its
// own, so that the batch goes on with the next files meanwhile and the files
// of a group share their waits for the disk: per group, one flush of the
// file system (or, where that cannot serve, of each file and each original)
// and two of the directory. A group holds at most kGroupFiles files and is
// closed once it holds kGroupBytes. One group waits while another is put in
// place, so adding blocks until there is room: at most three groups are open
// at once, with two descriptors for each of their files, so a group holds
// fewer files where the limit on open files leaves no room for 32 (192
// descriptors). Where no thread can be started, groups are put in place on
// the calling thread.
class Completions {
 public:
  struct Replacement;
  static constexpr std::size_t kGroupFiles = 32;
  static constexpr std::size_t kGroupBytes = 32 << 20;

  Completions();
  Completions(const Completions&) = delete;
  Completions& operator=(const Completions&) = delete;
  ~Completions();

  // Adds a converted file of `size` bytes to the open group.
  void Add(std::unique_ptr<Replacement> replacement, std::size_t size);
  // Writes a copy of the regular file `source` beside `target`, where no
  // entry has that name, and adds it to the open group, which gives it that
  // name once it is on the disk: a copy stands for a file that stays as it
  // is, so nothing waits for it. The version of `source` copied; nothing if
  // it is known at once that no copy is made.
  std::optional<FileVersion> Copy(const std::string& source, const std::string& target);
  // Hands the open group on to be put in place without waiting for more
  // files, as before the run waits for the user.
  void Submit();
  // Returns once every file added has been put in place, or not.
  void Finish();

 private:
  // A copy written beside its target, to be given the target's name.
  struct NewCopy {
    std::unique_ptr<TemporaryFile> file;
    std::string target;
    int flushError = 0;  // of the group's flushes all at once
  };
  struct Group {
    std::vector<std::unique_ptr<Replacement>> replacements;
    std::vector<NewCopy> copies;
    std::size_t bytes = 0;
  };
  void Added();
  void StartThread();
  void Work();
  Flushing FlushGroup(Group& group, const std::vector<std::string>& directories);
  void Commit(Group& group);

  std::size_t groupFiles_;  // at most kGroupFiles, within the limit on open files
  Group open_;              // the main thread's
  // The bytes of the files added and not yet put in place, in every group.
  std::atomic<std::uint64_t> unwritten_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Group> waiting_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// Renames the file `backup` over the regular file at `path`, which must still
// be the version `read`: the backup's data flushed first, the directory
// after. What became of it.
Outcome RestoreRegularFile(const std::string& path, const std::string& backup,
                           const FileVersion& read);

// The system's words for the error `error`.
std::u16string ReasonOf(int error);

// The step of a replacement that finds the file saved by another program.
inline constexpr std::u16string_view kChangedStep = u"changed by another program since it was read";

// Writes `pieces` beside `path`, provided the file there is writable and
// still the version `read`, and leaves the rest to `completions`: flushing
// it, making the file at `path` its backup `backup` and flushing the
// directory, then, with `path` closed and still that version, renaming it
// into place and flushing the directory again, and then calling
// `whenKnown`. Where `path` is not replaced, `backup` becomes a copy of it
// where it names nothing. What became of it where that is known at once;
// nothing once the rest is left to `completions`.
std::optional<Outcome> ReplaceRegularFile(const std::string& path,
                                          std::span<const std::string_view> pieces,
                                          const FileVersion& read, const std::string& backup,
                                          const std::function<void(const Outcome&)>& whenKnown,
                                          HeldFile& held, Completions& completions);

}  // namespace lstconvert
