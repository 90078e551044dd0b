// Reading and copying files on Windows, and the steps that replacing them
// (win32_replace.cpp) shares. A new file is always made beside its target
// under a unique temporary name and flushed: a backup is copied there by
// CopyFileExW and moved to its name. Every step that another program can
// block by holding a file is tried again after a short wait (RetryBudget), so
// a file that is busy for a moment is still backed up and converted.
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

// Opens the regular file at `extended` for reading, sharing it as `share`
// allows, while another program lets it; its attributes go to `attributes`.
// Directories and devices are never opened.
bool OpenRegularFile(const std::u16string& extended, DWORD share, RetryBudget& budget, Handle& file,
                     DWORD& attributes) {
  attributes = GetFileAttributesW(Wide(extended));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  const DWORD error = budget.Retry(extended, [&] {
    return file.Reset(CreateFileW(Wide(extended), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  });
  SetLastError(error);
  return error == ERROR_SUCCESS && GetFileType(file.get()) == FILE_TYPE_DISK;
}

// What the failure of a read, with the last error `error`, comes to.
ReadFailure ReadFailureOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return {ReadFailure::Kind::kMissing, ReasonOf(error)};
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return {ReadFailure::Kind::kTooLarge, ReasonOf(error)};
    default:
      return {ReadFailure::Kind::kUnreadable, ReasonOf(error)};
  }
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
std::optional<OwnedContent> ReadOpenFile(HANDLE file, ReadFailure& failure) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    failure = ReadFailureOf(GetLastError());
    return std::nullopt;
  }
  OwnedContent content{Bytes(), VersionOf(info)};
  const std::uint64_t size = content.version.size;
  failure = {ReadFailure::Kind::kTooLarge, {}};
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
      if (!::ReadFile(file, bytes.data() + filled, chunk, &got, nullptr)) {
        failure = ReadFailureOf(GetLastError());
        return std::nullopt;
      }
      if (got == 0) break;
      filled += got;
    }
    bytes.resize(filled);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return content;
}

}  // namespace

FileVersion VersionOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
          (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
          static_cast<std::int64_t>(
              (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
              info.ftLastWriteTime.dwLowDateTime)};
}

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

void DeleteTemporary(const std::u16string& path, RetryBudget& budget) {
  SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_NORMAL);
  budget.Retry(path, [&] { return DeleteFileW(Wide(path)) != 0; });
}

DWORD SettableAttributes(DWORD attributes) {
  const DWORD kept = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY);
  return kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
}

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

bool MoveOver(const std::u16string& temporary, const std::u16string& target, bool replace,
              const std::optional<FileVersion>& expected, RetryBudget& budget) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return budget.Retry(target, [&] {
    return (!expected || IsStillVersion(target, *expected)) &&
           MoveFileExW(Wide(temporary), Wide(target), flags);
  }) == ERROR_SUCCESS;
}

std::u16string ReasonOf(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string reason(reinterpret_cast<const char16_t*>(text), text == nullptr ? 0 : size);
  LocalFree(text);
  while (!reason.empty() && (reason.back() == u'\n' || reason.back() == u'\r')) reason.pop_back();
  if (reason.empty()) {
    const std::string number = std::to_string(error);
    reason = u"error " + std::u16string(number.begin(), number.end());
  }
  return reason;
}

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

std::optional<OwnedContent> ReadRegularFile(const std::u16string& path, RetryBudget& budget,
                                            ReadFailure* whyNot) {
  ReadFailure ignored;
  ReadFailure& failure = whyNot != nullptr ? *whyNot : ignored;
  Handle file;
  DWORD attributes = 0;
  if (!OpenRegularFile(ExtendedPath(path), FILE_SHARE_READ | FILE_SHARE_WRITE, budget, file,
                       attributes)) {
    // A folder is not opened; a device is opened, then found out.
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    failure = folder || file.valid() ? ReadFailure{ReadFailure::Kind::kNotAFile, {}}
                                     : ReadFailureOf(GetLastError());
    return std::nullopt;
  }
  return ReadOpenFile(file.get(), failure);
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
  bool moved = false;
  try {
    const DWORD copied = GetFileAttributesW(Wide(temporary));
    moved = copied != INVALID_FILE_ATTRIBUTES &&
            ((copied & FILE_ATTRIBUTE_READONLY) == 0 ||
             SetFileAttributesW(Wide(temporary), SettableAttributes(copied))) &&
            FlushFile(temporary, budget) && MoveOver(temporary, to, replace, std::nullopt, budget);
  } catch (...) {
    // A want of memory on the way: nothing of the copy stays.
    RetryBudget once(0);
    DeleteTemporary(temporary, once);
    throw;
  }
  if (!moved) {
    const DWORD error = GetLastError();
    DeleteTemporary(temporary, budget);
    SetLastError(error);
    return std::nullopt;
  }
  return VersionOf(info);
}

bool IsTemporaryName(std::u16string_view name) { return name.starts_with(kTemporaryPrefix); }

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
    if (IsTemporaryName(name) &&
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
      DeleteTemporary(prefix + name, budget);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace lstconvert
