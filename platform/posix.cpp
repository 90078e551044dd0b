// The platform on POSIX systems. Names and paths are byte strings here; each
// byte is carried as one code unit of the same value, so every name survives
// the round trip unchanged and is never reinterpreted by a locale.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/platform.h"
#include "platform/posix_files.h"

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

std::string CurrentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
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

  std::optional<FileContent> ReadWholeFile(const std::u16string& path) override {
    return ReadRegularFile(ToNative(path));
  }

  std::optional<FileVersion> CopyWholeFile(const std::u16string& source,
                                           const std::u16string& target) override {
    return CopyRegularFile(ToNative(source), ToNative(target));
  }

  bool ReplaceWholeFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        const std::u16string& backup) override {
    return ReplaceRegularFile(ToNative(path), content, read, ToNative(backup), completions_);
  }

  void Finish() override { completions_.Finish(); }

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
  Completions completions_;
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace lstconvert
