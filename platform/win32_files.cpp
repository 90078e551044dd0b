// Reading, copying and replacing files on Windows. A new file is always
// made beside its target under a unique temporary name and flushed: a backup
// is copied there by CopyFileExW and moved to its name, a converted
// project is written there and put in the project's place by ReplaceFileW,
// which keeps the project's own metadata. Every step that another program
// can block by holding a file is tried again after a short wait
// (RetryBudget), so a file that is busy for a moment is still backed up and
// converted.
#include "platform/win32_files.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>

namespace lstconvert {
namespace {

// The longest single wait between two tries.
constexpr DWORD kLongestWaitMilliseconds = 100;

// How the names of the program's temporary files begin.
constexpr std::u16string_view kTemporaryPrefix = u".lstconvert-";

std::u16string DirectoryOf(const std::u16string& path) {
  const std::size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? u"." : path.substr(0, separator);
}

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

FileVersion VersionOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
          (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
          static_cast<std::int64_t>(
              (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
              info.ftLastWriteTime.dwLowDateTime)};
}

// True if `target` still names the file version `read` and can be replaced
// now: it is opened for deletion, as ReplaceFileW opens it, which fails while
// another program holds it without sharing deletion. (Wine's ReplaceFileW
// would leave a file of its own behind then.) On a mismatch the last error is
// ERROR_FILE_INVALID, which is never retried.
bool IsStillVersion(const std::u16string& target, const FileVersion& read) {
  Handle file(CreateFileW(Wide(target), FILE_READ_ATTRIBUTES | DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return false;
  if (VersionOf(info) == read) return true;
  SetLastError(ERROR_FILE_INVALID);
  return false;
}

// Opens the regular file at `extended` for reading, sharing it as `share`
// allows, while another program lets it; its attributes go to `attributes`.
// Directories and devices are never opened.
bool OpenRegularFile(const std::u16string& extended, DWORD share, RetryBudget& budget, Handle& file,
                     DWORD& attributes) {
  attributes = GetFileAttributesW(Wide(extended));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  return budget.Retry(
             extended,
             [&] {
               return file.Reset(CreateFileW(Wide(extended), GENERIC_READ, share, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
             }) == ERROR_SUCCESS &&
         GetFileType(file.get()) == FILE_TYPE_DISK;
}

// Files up to this size are read without asking how much memory is left.
constexpr std::uint64_t kAlwaysReadSize = 64 << 20;

// The physical memory not in use: what a file can be read into without
// making the system page other programs out.
std::uint64_t AvailableMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : UINT64_MAX;
}

// A file that, with its converted text, would not fit in the memory left, or
// that more than the process may take, is not read. ReadFile reads at most
// 4 GB a call: a larger file is read in pieces.
std::optional<OwnedContent> ReadOpenFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  OwnedContent content{Bytes(), VersionOf(info)};
  const std::uint64_t size = content.version.size;
  if (size > kAlwaysReadSize && size > AvailableMemory() / 2) return std::nullopt;
  Bytes& bytes = content.bytes;
  try {
    bytes.resize(static_cast<std::size_t>(size) + 1);
    std::size_t filled = 0;
    for (;;) {
      if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
      const std::size_t room = bytes.size() - filled;
      const DWORD chunk = room > (1u << 30) ? (1u << 30) : static_cast<DWORD>(room);
      DWORD got = 0;
      if (!::ReadFile(file, bytes.data() + filled, chunk, &got, nullptr)) return std::nullopt;
      if (got == 0) break;
      filled += got;
    }
    bytes.resize(filled);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return content;
}

bool WriteAll(HANDLE file, const Bytes& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const std::size_t left = content.size() - done;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// Creates a new file beside `target` under a unique temporary name, with
// `create`, which must fail with ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS
// if the name is taken. Transient failures are retried as failures of
// `blame`. The new file's name, or empty.
std::u16string NewTemporaryBeside(const std::u16string& target, const std::u16string& blame,
                                  RetryBudget& budget,
                                  const std::function<bool(const std::u16string&)>& create) {
  static unsigned counter = 0;
  const std::u16string directory = DirectoryOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned long long seed = (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                                    GetTickCount64() ^ (++counter * 0x9E3779B97F4A7C15ull);
    std::u16string path = directory + u"\\" + std::u16string(kTemporaryPrefix);
    for (int shift = 60; shift >= 0; shift -= 4) {
      path.push_back(u"0123456789abcdef"[(seed >> shift) & 0xF]);
    }
    const DWORD error = budget.Retry(blame, [&] {
      if (create(path)) return true;
      // A copy that failed halfway may have left a part behind.
      const DWORD failure = GetLastError();
      if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) DeleteFileW(Wide(path));
      SetLastError(failure);
      return false;
    });
    if (error == ERROR_SUCCESS) return path;
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return {};
}

// Deletes the temporary file at `path`, which a scanner may hold for a moment.
void DeleteTemporary(const std::u16string& path, RetryBudget& budget) {
  SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_NORMAL);
  budget.Retry(path, [&] { return DeleteFileW(Wide(path)) != 0; });
}

// Of `attributes`, those that SetFileAttributesW sets, read-only excepted.
DWORD SettableAttributes(DWORD attributes) {
  const DWORD kept = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY);
  return kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
}

// Flushes the file at `path` to the disk.
bool FlushFile(const std::u16string& path, RetryBudget& budget) {
  Handle file;
  return budget.Retry(
             path,
             [&] {
               return file.Reset(CreateFileW(Wide(path), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
             }) == ERROR_SUCCESS &&
         FlushFileBuffers(file.get()) && file.Close();
}

// Moves `temporary` to `target` in one durable step: with `replace` over the
// file there, provided it is then still `expected` (when given), otherwise
// only where no entry has the name `target`.
bool MoveOver(const std::u16string& temporary, const std::u16string& target, bool replace,
              const std::optional<FileVersion>& expected, RetryBudget& budget) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return budget.Retry(target, [&] {
    return (!expected || IsStillVersion(target, *expected)) &&
           MoveFileExW(Wide(temporary), Wide(target), flags);
  }) == ERROR_SUCCESS;
}

// After `replace` failed with ERROR_UNABLE_TO_MOVE_REPLACEMENT (the replaced
// file may no longer exist) or ..._2 (it may exist under another name), the
// temporary file holds the complete new content and has taken over the
// project's metadata. It is moved to `target`, on a budget of its own since
// the project's bytes are at stake, unless a file is there again; it is
// deleted only then, and otherwise left where it is.
bool PutInPlace(const std::u16string& temporary, const std::u16string& target, DWORD allowance) {
  RetryBudget restore(allowance);
  if (MoveOver(temporary, target, false, std::nullopt, restore)) return true;
  const DWORD attributes = GetFileAttributesW(Wide(target));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteTemporary(temporary, restore);
  }
  return false;
}

}  // namespace

std::u16string ExtendedPath(const std::u16string& path) {
  if (path.starts_with(u"\\\\?\\")) return path;
  std::u16string extended;
  if (path.size() >= 3 && path[1] == u':' && IsSeparator(path[2])) {
    extended = u"\\\\?\\" + path;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    extended = u"\\\\?\\UNC\\" + path.substr(2);
  } else {
    return path;
  }
  for (char16_t& unit : extended) {
    if (unit == u'/') unit = u'\\';
  }
  return extended;
}

bool IsTransientFailure(DWORD error, const std::u16string& target) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = GetFileAttributesW(Wide(target));
  // A file that is being deleted while another program still holds it
  // denies even this query.
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_ACCESS_DENIED;
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

RetryBudget::RetryBudget(DWORD milliseconds)
    : allowance_(milliseconds),
      left_(milliseconds),
      random_(static_cast<std::uint32_t>(GetTickCount64()) ^ (GetCurrentProcessId() << 16)) {}

DWORD RetryBudget::Retry(const std::u16string& target, const std::function<bool()>& attempt) {
  for (DWORD wait = 1;; wait = std::min(wait * 2, kLongestWaitMilliseconds)) {
    if (attempt()) return ERROR_SUCCESS;
    const DWORD error = GetLastError() == ERROR_SUCCESS ? ERROR_GEN_FAILURE : GetLastError();
    if (left_ == 0 || !IsTransientFailure(error, target)) return error;
    // Between half and one and a half times `wait`, so that two programs
    // that wait for the same file do not keep meeting.
    random_ = random_ * 1664525u + 1013904223u;
    const DWORD jittered =
        wait / 2 + static_cast<DWORD>((std::uint64_t{random_ >> 8} * (wait + 1)) >> 24);
    const DWORD sleep = std::clamp<DWORD>(jittered, 1, left_);
    const ULONGLONG start = GetTickCount64();
    Sleep(sleep);
    const ULONGLONG slept = std::max<ULONGLONG>(sleep, GetTickCount64() - start);
    left_ -= static_cast<DWORD>(std::min<ULONGLONG>(left_, slept));
  }
}

std::optional<OwnedContent> ReadRegularFile(const std::u16string& path, RetryBudget& budget) {
  Handle file;
  DWORD attributes = 0;
  if (!OpenRegularFile(ExtendedPath(path), FILE_SHARE_READ | FILE_SHARE_WRITE, budget, file,
                       attributes)) {
    return std::nullopt;
  }
  return ReadOpenFile(file.get());
}

std::optional<FileVersion> CopyRegularFile(const std::u16string& source,
                                           const std::u16string& target, RetryBudget& budget,
                                           const std::optional<FileVersion>& replacing) {
  const std::u16string from = ExtendedPath(source);
  const std::u16string to = ExtendedPath(target);
  // Shared for reading only while it is copied, the source cannot change or
  // move meanwhile: this handle's version is the version copied.
  Handle held;
  DWORD attributes = 0;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!OpenRegularFile(from, FILE_SHARE_READ, budget, held, attributes) ||
      !GetFileInformationByHandle(held.get(), &info)) {
    return std::nullopt;
  }
  const bool replace = replacing == VersionOf(info);
  // Nothing is copied onto an entry that stays; the move checks again.
  if (!replace && GetFileAttributesW(Wide(to)) != INVALID_FILE_ATTRIBUTES) return std::nullopt;
  // On a network share the server makes the copy.
  const std::u16string temporary =
      NewTemporaryBeside(to, from, budget, [&](const std::u16string& name) {
        return CopyFileExW(Wide(from), Wide(name), nullptr, nullptr, nullptr,
                           COPY_FILE_FAIL_IF_EXISTS) != 0;
      });
  if (temporary.empty()) return std::nullopt;
  const DWORD copied = GetFileAttributesW(Wide(temporary));
  const bool moved = copied != INVALID_FILE_ATTRIBUTES &&
                     ((copied & FILE_ATTRIBUTE_READONLY) == 0 ||
                      SetFileAttributesW(Wide(temporary), SettableAttributes(copied))) &&
                     FlushFile(temporary, budget) &&
                     MoveOver(temporary, to, replace, std::nullopt, budget);
  if (!moved) {
    DeleteTemporary(temporary, budget);
    return std::nullopt;
  }
  return VersionOf(info);
}

bool ReplaceKeepingMetadata(const std::u16string& replaced, const std::u16string& replacement) {
  return ReplaceFileW(Wide(replaced), Wide(replacement), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr) != 0;
}

bool IsReplaceableVersion(const std::u16string& path, const FileVersion& read) {
  const std::u16string target = ExtendedPath(path);
  const DWORD attributes = GetFileAttributesW(Wide(target));
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  Handle file(CreateFileW(Wide(target), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  return file.valid() && GetFileInformationByHandle(file.get(), &info) && VersionOf(info) == read;
}

bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        RetryBudget& budget, const ReplaceCall& replace) {
  const std::u16string target = ExtendedPath(path);
  const DWORD attributes = GetFileAttributesW(Wide(target));
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  Handle file;
  const std::u16string temporary =
      NewTemporaryBeside(target, target, budget, [&](const std::u16string& name) {
        return file.Reset(CreateFileW(Wide(name), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr));
      });
  if (temporary.empty()) return false;
  // Hidden until then, the file gets the project's attributes here:
  // ReplaceFileW gives it them as well, but Wine's does not.
  if (!WriteAll(file.get(), content) || !FlushFileBuffers(file.get()) || !file.Close() ||
      !SetFileAttributesW(Wide(temporary), SettableAttributes(attributes))) {
    if (file.valid()) file.Close();
    DeleteTemporary(temporary, budget);
    return false;
  }
  // A link becomes a regular file and its target is left alone; it has no
  // metadata of its own worth keeping.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (MoveOver(temporary, target, true, read, budget)) return true;
    DeleteTemporary(temporary, budget);
    return false;
  }
  const DWORD error = budget.Retry(
      target, [&] { return IsStillVersion(target, read) && replace(target, temporary); });
  if (error == ERROR_SUCCESS) {
    // ReplaceFileW cannot be asked to write through; the flush makes the
    // replacement durable. It never decides the outcome.
    RetryBudget once(0);
    FlushFile(target, once);
    return true;
  }
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    return PutInPlace(temporary, target, budget.allowance());
  }
  DeleteTemporary(temporary, budget);
  return false;
}

void RemoveTemporaryFiles(const std::u16string& directory) {
  if (directory.empty()) return;
  std::u16string prefix = directory;
  if (!IsSeparator(prefix.back())) prefix.push_back(u'\\');
  prefix = ExtendedPath(prefix);
  // Every entry is looked at: a search pattern would match short names too.
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(Wide(prefix + u"*"), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  RetryBudget budget;
  do {
    const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
    if (name.starts_with(kTemporaryPrefix) &&
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
      DeleteTemporary(prefix + name, budget);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace lstconvert
