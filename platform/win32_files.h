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

#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace lstconvert {

inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

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

// The bytes of the regular file at `path` and the version they were read
// from. Directories and devices are never read.
std::optional<OwnedContent> ReadRegularFile(const std::u16string& path, RetryBudget& budget);

// True if `path` names a regular file that is not read-only and is still the
// version `read`; it looks only, so a file that another program holds passes.
bool IsReplaceableVersion(const std::u16string& path, const FileVersion& read);

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
// writable and still the version `read` just before; a link at `path` is
// replaced by a regular file with MoveFileExW. When `replace` fails after it
// may have taken the project away (ERROR_UNABLE_TO_MOVE_REPLACEMENT and
// ..._2), the temporary file, which holds the new content, is moved to `path`
// unless a file is there again, and is deleted only once one is.
bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        RetryBudget& budget, const ReplaceCall& replace = ReplaceKeepingMetadata);

// Deletes the regular files in `directory` whose names mark them as this
// program's temporary files, read-only or not; directories and links stay.
void RemoveTemporaryFiles(const std::u16string& directory);

}  // namespace lstconvert
