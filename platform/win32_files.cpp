// Reading, copying and replacing files on Windows. A new file is always
// written beside its target under a unique temporary name, flushed, and moved
// over the target in one step. Every step that another program can block by
// holding a file is tried again after a short wait (RetryBudget), so a file
// that is busy for a moment is still backed up and converted.
#include "platform/win32_files.h"

#include <algorithm>
#include <cstdint>

namespace lstconvert {
namespace {

// The longest single wait between two tries.
constexpr DWORD kLongestWaitMilliseconds = 100;

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

// True if `target` still names the file version `read`. On a mismatch the
// last error is ERROR_FILE_INVALID, which is never retried.
bool IsStillVersion(const std::u16string& target, const FileVersion& read) {
  Handle file(CreateFileW(Wide(target), FILE_READ_ATTRIBUTES,
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

std::optional<FileContent> ReadOpenFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  FileContent content{Bytes(), VersionOf(info)};
  Bytes& bytes = content.bytes;
  bytes.resize(static_cast<std::size_t>(content.version.size) + 1);
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
    std::u16string path = directory + u"\\.lstconvert-";
    for (int shift = 60; shift >= 0; shift -= 4) {
      path.push_back(u"0123456789abcdef"[(seed >> shift) & 0xF]);
    }
    const DWORD error = budget.Retry(blame, [&] { return create(path); });
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

// Writes `content` to a new file beside `target` and moves it onto `target`
// in one step, provided `target` is then still `expected` (when given). The
// new file gets `attributes` (never read-only). On failure the new file is
// deleted and `target` is untouched.
bool WriteAndMove(const std::u16string& target, const Bytes& content, DWORD attributes,
                  const std::optional<FileVersion>& expected, RetryBudget& budget) {
  const std::u16string extendedTarget = ExtendedPath(target);
  Handle file;
  const std::u16string temporary =
      NewTemporaryBeside(extendedTarget, extendedTarget, budget, [&](const std::u16string& name) {
        return file.Reset(CreateFileW(Wide(name), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
      });
  if (temporary.empty()) return false;
  const DWORD kept = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  const bool moved = WriteAll(file.get(), content) && FlushFileBuffers(file.get()) &&
                     file.Close() && (kept == 0 || SetFileAttributesW(Wide(temporary), kept)) &&
                     budget.Retry(extendedTarget, [&] {
                       return (!expected || IsStillVersion(extendedTarget, *expected)) &&
                              MoveFileExW(Wide(temporary), Wide(extendedTarget),
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
                     }) == ERROR_SUCCESS;
  if (!moved) {
    if (file.valid()) file.Close();
    DeleteTemporary(temporary, budget);
  }
  return moved;
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

std::optional<FileContent> ReadRegularFile(const std::u16string& path, RetryBudget& budget) {
  Handle file;
  DWORD attributes = 0;
  if (!OpenRegularFile(ExtendedPath(path), FILE_SHARE_READ | FILE_SHARE_WRITE, budget, file,
                       attributes)) {
    return std::nullopt;
  }
  return ReadOpenFile(file.get());
}

std::optional<FileVersion> CopyRegularFile(const std::u16string& source,
                                           const std::u16string& target, RetryBudget& budget) {
  Handle file;
  DWORD attributes = 0;
  if (!OpenRegularFile(ExtendedPath(source), FILE_SHARE_READ | FILE_SHARE_WRITE, budget, file,
                       attributes)) {
    return std::nullopt;
  }
  const std::optional<FileContent> content = ReadOpenFile(file.get());
  if (!content || !WriteAndMove(target, content->bytes, attributes, std::nullopt, budget)) {
    return std::nullopt;
  }
  return content->version;
}

bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        RetryBudget& budget) {
  const DWORD attributes = GetFileAttributesW(Wide(ExtendedPath(path)));
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  return WriteAndMove(path, content, attributes, read, budget);
}

}  // namespace lstconvert
