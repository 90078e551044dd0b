// The platform on POSIX systems. Names and paths are byte strings here; each
// byte is carried as one code unit of the same value, so every name survives
// the round trip unchanged and is never reinterpreted by a locale.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/platform.h"

namespace lstconvert {
namespace {

std::string ToNative(std::u16string_view text) {
  std::string bytes(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[i] = static_cast<char>(text[i] <= 0xFF ? text[i] : u'?');
  }
  return bytes;
}

std::u16string FromNative(std::string_view bytes) {
  std::u16string text(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
  }
  return text;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string CurrentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The program's name: the base name of the path it was started by, without
// its extension.
std::string CaptionOf(std::string_view startedBy) {
  const std::size_t slash = startedBy.rfind('/');
  std::string_view name = slash == std::string_view::npos ? startedBy : startedBy.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// Opens the regular file at `path` for reading; its status goes to
// `status`. A path that is not a regular file is never opened.
int OpenRegularFile(const std::string& path, struct stat& status) {
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads the regular file at `path`; its status goes to `status`.
std::optional<Bytes> ReadRegularFile(const std::string& path, struct stat& status) {
  FileDescriptor file(OpenRegularFile(path, status));
  if (file.get() < 0) return std::nullopt;
  Bytes content(static_cast<std::size_t>(status.st_size) + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2);
    const ssize_t got = read(file.get(), content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return content;
}

// Copies the rest of `from` to `to`: in the kernel where the system can,
// through a buffer elsewhere.
bool CopyContent(int from, int to) {
#if defined(__linux__)
  for (;;) {
    const ssize_t copied = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
#endif
  std::string buffer(1 << 20, '\0');
  for (;;) {
    const ssize_t got = read(from, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) return false;
  }
}

// Creates a new, uniquely named file beside `target`, lets `fill` write it,
// and renames it onto `target` in one step. The new file gets the permission
// bits and, where allowed, the owner of `like`. On failure the new file is
// removed and `target` is untouched.
template <typename Fill>
bool ReplaceWithNewFile(const std::string& target, const struct stat& like, Fill fill) {
  std::string temporary = DirectoryOf(target) + "/.lstconvert-XXXXXX";
  FileDescriptor file(mkostemp(temporary.data(), O_CLOEXEC));
  if (file.get() < 0) return false;
  // The owner is kept where the process may give it; elsewhere the file
  // belongs to whoever runs the conversion, as any new file would.
  [[maybe_unused]] const int chowned = fchown(file.get(), like.st_uid, like.st_gid);
  const bool written = fill(file.get()) && fchmod(file.get(), like.st_mode & 07777) == 0 &&
                       fsync(file.get()) == 0 && file.Close() &&
                       rename(temporary.c_str(), target.c_str()) == 0;
  if (!written) unlink(temporary.c_str());
  return written;
}

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(int argc, char** argv)
      : startedBy_(argc > 0 && argv[0] != nullptr ? argv[0] : "") {}

  bool Startup() override {
    caption_ = CaptionOf(startedBy_);
    return !caption_.empty();
  }

  std::vector<DirectoryEntry> ListCurrentDirectory() override {
    std::vector<DirectoryEntry> entries;
    std::string directory = CurrentDirectory();
    if (directory.empty()) return entries;
    if (directory.back() != '/') directory.push_back('/');
    DIR* stream = opendir(".");
    if (stream == nullptr) return entries;
    while (const dirent* entry = readdir(stream)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      entries.push_back({FromNative(name), FromNative(directory) + FromNative(name)});
    }
    closedir(stream);
    return entries;
  }

  std::optional<Bytes> ReadWholeFile(const std::u16string& path) override {
    struct stat status {};
    return ReadRegularFile(ToNative(path), status);
  }

  bool CopyWholeFile(const std::u16string& source, const std::u16string& target) override {
    struct stat status {};
    FileDescriptor from(OpenRegularFile(ToNative(source), status));
    return from.get() >= 0 && ReplaceWithNewFile(ToNative(target), status, [&](int to) {
             return CopyContent(from.get(), to);
           });
  }

  bool ReplaceWholeFile(const std::u16string& path, const Bytes& content) override {
    const std::string target = ToNative(path);
    struct stat status {};
    if (stat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return ReplaceWithNewFile(target, status, [&](int to) { return WriteAll(to, content); });
  }

  void ShowMessage(const std::u16string& text) override {
    WriteAll(STDERR_FILENO, caption_ + ": " + ToNative(text) + "\n");
    if (isatty(STDIN_FILENO)) WaitForEnter();
  }

  void WriteConsoleText(const std::u16string& text) override {
    WriteAll(STDOUT_FILENO, ToNative(text));
  }

 private:
  // Reads standard input up to the end of a line or of the input.
  static void WaitForEnter() {
    char unit = 0;
    for (;;) {
      const ssize_t got = read(STDIN_FILENO, &unit, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || unit == '\n') return;
    }
  }

  std::string startedBy_;
  std::string caption_;
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace lstconvert
