// Reading, copying and replacing files on Windows. A new file is always
// written beside its target under a unique temporary name, flushed, and moved
// over the target in one step.
#include "platform/win32_files.h"

namespace lstconvert {
namespace {

std::u16string DirectoryOf(const std::u16string& path) {
  const std::size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? u"." : path.substr(0, separator);
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  void Reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
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

// The version of the file `path` names now, if it names one.
std::optional<FileVersion> CurrentVersion(const std::u16string& extendedPath) {
  Handle file(CreateFileW(Wide(extendedPath), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return VersionOf(info);
}

// Reads the regular file at `path`; its attributes go to `attributes`.
// Directories and devices are never read.
std::optional<FileContent> ReadWithAttributes(const std::u16string& path, DWORD& attributes) {
  const std::u16string extended = ExtendedPath(path);
  attributes = GetFileAttributesW(Wide(extended));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  Handle file(CreateFileW(Wide(extended), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  FileContent content{Bytes(), VersionOf(info)};
  Bytes& bytes = content.bytes;
  bytes.resize(static_cast<std::size_t>(content.version.size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    const std::size_t room = bytes.size() - filled;
    const DWORD chunk = room > (1u << 30) ? (1u << 30) : static_cast<DWORD>(room);
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data() + filled, chunk, &got, nullptr)) return std::nullopt;
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

// Creates a new, uniquely named file beside `target` that no other file had.
std::u16string CreateTemporaryBeside(const std::u16string& target, Handle& created) {
  static unsigned counter = 0;
  const std::u16string directory = DirectoryOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned long long seed = (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                                    GetTickCount64() ^ (++counter * 0x9E3779B97F4A7C15ull);
    std::u16string name = u"\\.lstconvert-";
    for (int shift = 60; shift >= 0; shift -= 4) {
      name.push_back(u"0123456789abcdef"[(seed >> shift) & 0xF]);
    }
    const std::u16string path = directory + name;
    HANDLE handle = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      created.Reset(handle);
      return path;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return {};
}

// Writes `content` to a new file beside `target` and moves it onto `target`
// in one step, provided `target` is then still `expected` (when given). The
// new file gets `attributes` (never read-only). On failure the new file is
// deleted and `target` is untouched.
bool WriteAndMove(const std::u16string& target, const Bytes& content, DWORD attributes,
                  const std::optional<FileVersion>& expected) {
  const std::u16string extendedTarget = ExtendedPath(target);
  Handle file(INVALID_HANDLE_VALUE);
  const std::u16string temporary = CreateTemporaryBeside(extendedTarget, file);
  if (temporary.empty()) return false;
  const DWORD kept = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  const bool moved = WriteAll(file.get(), content) && FlushFileBuffers(file.get()) &&
                     file.Close() && (kept == 0 || SetFileAttributesW(Wide(temporary), kept)) &&
                     (!expected || CurrentVersion(extendedTarget) == expected) &&
                     MoveFileExW(Wide(temporary), Wide(extendedTarget),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!moved) {
    if (file.valid()) file.Close();
    DeleteFileW(Wide(temporary));
  }
  return moved;
}

}  // namespace

// The "\\?\" form of an absolute path: "C:\x" becomes "\\?\C:\x" and
// "\\server\share\x" becomes "\\?\UNC\server\share\x". Other paths stay.
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

std::optional<FileContent> ReadRegularFile(const std::u16string& path) {
  DWORD attributes = 0;
  return ReadWithAttributes(path, attributes);
}

std::optional<FileVersion> CopyRegularFile(const std::u16string& source,
                                           const std::u16string& target) {
  DWORD attributes = 0;
  const std::optional<FileContent> content = ReadWithAttributes(source, attributes);
  if (!content || !WriteAndMove(target, content->bytes, attributes, std::nullopt)) {
    return std::nullopt;
  }
  return content->version;
}

bool ReplaceRegularFile(const std::u16string& path, const Bytes& content, const FileVersion& read) {
  const DWORD attributes = GetFileAttributesW(Wide(ExtendedPath(path)));
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  return WriteAndMove(path, content, attributes, read);
}

}  // namespace lstconvert
