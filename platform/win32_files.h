// The file operations of the Windows platform, on the plain Win32 API with
// wide characters throughout. File operations use the "\\?\" form of a full
// path, so long paths work and names such as "CON.lst" name files, not
// devices.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs: CommandLineToArgvW.
#include <shellapi.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace lstconvert {

inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// An open handle, closed with it.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  // Takes `handle`, closing the one held before; true if `handle` is valid.
  bool Reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
    return valid();
  }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// The "\\?\" form of an absolute path: "C:\x" becomes "\\?\C:\x" and
// "\\server\share\x" becomes "\\?\UNC\server\share\x". Other paths stay.
std::u16string ExtendedPath(const std::u16string& path);

// How long the operations on one file may wait in all for other programs to
// let go of it: the report designer, virus scanners, the search indexer and
// sync clients hold files for moments all the time.
inline constexpr DWORD kRetryMilliseconds = 2000;

// True if the operation on `target` that failed with `error` may succeed
// when tried again: another program holds or locks the file, or access to it
// is denied while it is neither read-only nor a directory (a file that is
// being deleted, or that a scanner has just opened, denies access for a
// moment; a read-only file or a directory denies it for good).
bool IsTransientFailure(DWORD error, const std::u16string& target);

// The waiting that the operations on one file may still do. Each operation
// waits about 1 ms after its first transient failure and about twice as long
// after each further one, up to 100 ms, every wait jittered; the waits of all
// operations sharing a budget add up to at most its allowance.
class RetryBudget {
 public:
  explicit RetryBudget(DWORD milliseconds = kRetryMilliseconds);

  // Calls `attempt` until it succeeds, fails in a way that is not transient
  // for `target`, or the budget is spent; it is always called once. Returns
  // ERROR_SUCCESS, or the error of the last attempt (GetLastError after it).
  DWORD Retry(const std::u16string& target, const std::function<bool()>& attempt);

  DWORD allowance() const { return allowance_; }

 private:
  DWORD allowance_;
  DWORD left_;
  std::uint32_t random_;
};

// A file's bytes, held, and the version they were read from.
struct OwnedContent {
  Bytes bytes;
  FileVersion version;
};

// The steps that reading, copying and replacing files share.

// The version of the file that `info` describes.
FileVersion VersionOf(const BY_HANDLE_FILE_INFORMATION& info);

// True if `target` still names the file version `read` and can be replaced
// now: it is opened for deletion, as ReplaceFileW opens it, which fails while
// another program holds it without sharing deletion. (Wine's ReplaceFileW
// would leave a file of its own behind then.) On a mismatch the last error is
// ERROR_FILE_INVALID, which is never retried.
bool IsStillVersion(const std::u16string& target, const FileVersion& read);

// Creates a new file beside `target` under a unique temporary name, with
// `create`, which must fail with ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS
// if the name is taken. Transient failures are retried as failures of
// `blame`. The new file's name, or empty.
std::u16string NewTemporaryBeside(const std::u16string& target, const std::u16string& blame,
                                  RetryBudget& budget,
                                  const std::function<bool(const std::u16string&)>& create);

// Deletes the temporary file at `path`, which a scanner may hold for a moment.
void DeleteTemporary(const std::u16string& path, RetryBudget& budget);

// Of `attributes`, those that SetFileAttributesW sets, read-only excepted.
DWORD SettableAttributes(DWORD attributes);

// Flushes the file at `path` to the disk.
bool FlushFile(const std::u16string& path, RetryBudget& budget);

// Moves `temporary` to `target` in one durable step: with `replace` over the
// file there, provided it is then still `expected` (when given), otherwise
// only where no entry has the name `target`.
bool MoveOver(const std::u16string& temporary, const std::u16string& target, bool replace,
              const std::optional<FileVersion>& expected, RetryBudget& budget);

// The bytes of the regular file at `path` and the version they were read
// from. Directories and devices are never read. Nothing, and with `whyNot`
// why, where it is not read.
std::optional<OwnedContent> ReadRegularFile(const std::u16string& path, RetryBudget& budget,
                                            ReadFailure* whyNot = nullptr);

// The step of a replacement that finds the file saved by another program.
inline constexpr std::u16string_view kChangedStep = u"changed by another program since it was read";

// The system's words for the error `error` (FormatMessageW).
std::u16string ReasonOf(DWORD error);

// Done if `path` names a regular file that is not read-only and is still the
// version `read`; otherwise why it is not replaced. It looks only, so a file
// that another program holds passes.
Outcome ReplaceableVersion(const std::u16string& path, const FileVersion& read);

// Puts a copy of the regular file `source` at `target` in one durable step
// and returns the version of `source` that was copied. The copy replaces an
// entry at `target` only if that version is `replacing`; otherwise it is put
// only where no entry has the name `target`, and an entry there is left as
// it is. The copy is made by CopyFileExW, so it keeps the named streams and
// attributes (never read-only, so that the next run can replace it).
std::optional<FileVersion> CopyRegularFile(
    const std::u16string& source, const std::u16string& target, RetryBudget& budget,
    const std::optional<FileVersion>& replacing = std::nullopt);

// Puts the file `replacement` in the place of the file `replaced`, which
// keeps its own metadata; false with GetLastError set on failure. In the
// program this is ReplaceFileW; tests pass stand-ins to reach its rarer
// failures.
using ReplaceCall =
    std::function<bool(const std::u16string& replaced, const std::u16string& replacement)>;

// ReplaceFileW, ignoring what cannot be merged: the replacement takes over the
// replaced file's creation time, short name, object ID, DACL, encryption,
// compression, attributes and named streams, as far as the file system keeps
// them.
bool ReplaceKeepingMetadata(const std::u16string& replaced, const std::u16string& replacement);

// Puts `content` at `path` with `replace`, provided the file there is
// writable and still the version `read` just before (otherwise the last
// error is ERROR_FILE_INVALID); a link at `path` is
// replaced by a regular file with MoveFileExW. When `replace` fails after it
// may have taken the project away (ERROR_UNABLE_TO_MOVE_REPLACEMENT and
// ..._2), the temporary file, which holds the new content, is moved to `path`
// unless a file is there again, and is deleted only once one is.
bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        RetryBudget& budget, const ReplaceCall& replace = ReplaceKeepingMetadata);

// Whether `name` marks a file as one of this program's temporary files.
bool IsTemporaryName(std::u16string_view name);

// Deletes the regular files in `directory` whose names mark them as this
// program's temporary files, read-only or not; directories and links stay.
void RemoveTemporaryFiles(const std::u16string& directory);

}  // namespace lstconvert
