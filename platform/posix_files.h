// The file operations of the POSIX platform, on native paths (byte strings).
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/platform.h"

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

// The bytes of the regular file at `path` and the version they were read
// from. A path that is not a regular file is never opened.
std::optional<FileContent> ReadRegularFile(const std::string& path);

// Puts a copy of the regular file `source`, with its metadata, at `target`
// in one durable step where no entry has the name `target`; the version of
// `source` that was copied.
std::optional<FileVersion> CopyRegularFile(const std::string& source, const std::string& target);

// Work that waits for the disk, done on a thread of its own in the order it
// was added, so that the batch goes on with the next file meanwhile. At
// most two pieces wait: Add blocks until there is room.
class Completions {
 public:
  Completions() = default;
  Completions(const Completions&) = delete;
  Completions& operator=(const Completions&) = delete;
  ~Completions();

  void Add(std::function<void()> work);
  // Returns once all work added has been done.
  void Finish();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> waiting_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// Writes `content` beside `path`, provided the file there is writable and
// still the version `read`, and leaves the rest to `completions`: flushing
// it, making the file at `path` its backup `backup` and flushing the
// directory, then, with `path` closed and still that version, renaming it
// into place and flushing the directory again. Where `path` is not
// replaced, `backup` becomes a copy of it where it names nothing. False if
// that is known at once.
bool ReplaceRegularFile(const std::string& path, std::string_view content, const FileVersion& read,
                        const std::string& backup, Completions& completions);

}  // namespace lstconvert
