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

// Reads the regular file at `path`; its status goes to `status`. A path that
// is not a regular file is never opened.
std::optional<Bytes> ReadRegularFile(const std::string& path, struct stat& status) {
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
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

// Writes `content` to a new, uniquely named file beside `target` and renames
// it onto `target` in one step. The new file gets the permission bits `mode`
// and, where allowed, the given owner. On failure the new file is removed and
// `target` is untouched.
bool WriteAndRename(const std::string& target, const Bytes& content, mode_t mode, uid_t owner,
                    gid_t group) {
  std::string temporary = DirectoryOf(target) + "/.lstconvert-XXXXXX";
  FileDescriptor file(mkostemp(temporary.data(), O_CLOEXEC));
  if (file.get() < 0) return false;
  // The owner is kept where the process may give it; elsewhere the file
  // belongs to whoever runs the conversion, as any new file would.
  [[maybe_unused]] const int chowned = fchown(file.get(), owner, group);
  const bool written = WriteAll(file.get(), content) && fchmod(file.get(), mode) == 0 &&
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
    const std::optional<Bytes> content = ReadRegularFile(ToNative(source), status);
    return content && WriteAndRename(ToNative(target), *content, status.st_mode & 07777,
                                     status.st_uid, status.st_gid);
  }

  bool ReplaceWholeFile(const std::u16string& path, const Bytes& content) override {
    const std::string target = ToNative(path);
    struct stat status {};
    if (stat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return WriteAndRename(target, content, status.st_mode & 07777, status.st_uid, status.st_gid);
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
