// The file operations of the POSIX platform, on native paths (byte strings).
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <deque>
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
  HeldFile() = default;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile() { Release(); }
  void Hold(const std::string& path, int fd);
  // The descriptor of `path` if that is the file held, which is the
  // caller's then; -1 otherwise.
  int Take(const std::string& path);
  void Release();

 private:
  std::string path_;
  int fd_ = -1;
};

// The bytes of the regular file at `path`, read into `buffer`, and the
// version they were read from; the file is left in `held`. A path that is
// not a regular file is never opened.
std::optional<FileContent> ReadRegularFile(const std::string& path, ReadBuffer& buffer,
                                           HeldFile& held);

// Puts a copy of the regular file `source`, with its metadata, at `target`
// in one durable step where no entry has the name `target`; the version of
// `source` that was copied.
std::optional<FileVersion> CopyRegularFile(const std::string& source, const std::string& target);

// Puts converted files in place in groups, on a thread of its own, so that
// the batch goes on with the next files meanwhile and the files of a group
// share their waits for the disk: per group, one flush of each file's data,
// and two of the directory. A group holds at most kGroupFiles files and is
// closed once it holds kGroupBytes. One group waits while another is put in
// place, so Add blocks until there is room: at most three groups, and two
// descriptors for each of their files (192), are open at once, within even
// the smallest usual limit of 256.
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
  // Returns once every file added has been put in place, or not.
  void Finish();

 private:
  using Group = std::vector<std::unique_ptr<Replacement>>;
  void Submit();
  void Work();

  Group open_;  // the main thread's
  std::size_t openBytes_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Group> waiting_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// Writes `pieces` beside `path`, provided the file there is writable and
// still the version `read`, and leaves the rest to `completions`: flushing
// it, making the file at `path` its backup `backup` and flushing the
// directory, then, with `path` closed and still that version, renaming it
// into place and flushing the directory again. Where `path` is not
// replaced, `backup` becomes a copy of it where it names nothing. False if
// that is known at once.
bool ReplaceRegularFile(const std::string& path, std::span<const std::string_view> pieces,
                        const FileVersion& read, const std::string& backup, HeldFile& held,
                        Completions& completions);

}  // namespace lstconvert
