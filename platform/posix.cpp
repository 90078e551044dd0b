// The platform on POSIX systems. Names and paths are byte strings here; each
// byte is carried as one code unit of the same value, so every name survives
// the round trip unchanged and is never reinterpreted by a locale.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <memory>

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

// The signal by which the user asked the run to stop, or 0.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int signal) { stopSignal = signal; }

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Notes the signals that end a run instead of dying of them, so that the
// replacements in flight can end and their temporary files go. Signals the
// caller ignores (nohup) stay ignored. Without SA_RESTART, a wait for Enter
// or for the directory lock ends on them.
void CatchStopSignals() {
  for (const int signal : kStopSignals) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    if (action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

// Reads standard input up to the end of a line or of the input, or until a
// stop signal comes; one that comes before the wait begins ends it too.
void WaitForEnter() {
  sigset_t stop, previous;
  sigemptyset(&stop);
  for (const int signal : kStopSignals) sigaddset(&stop, signal);
  pthread_sigmask(SIG_BLOCK, &stop, &previous);
  while (stopSignal == 0) {
    fd_set input;
    FD_ZERO(&input);
    FD_SET(STDIN_FILENO, &input);
    if (pselect(STDIN_FILENO + 1, &input, nullptr, nullptr, nullptr, &previous) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char unit = 0;
    const ssize_t got = read(STDIN_FILENO, &unit, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0 || unit == '\n') break;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// The absolute path of `path` with every link resolved, ending in a
// separator; empty if that cannot be found.
std::string RealFolder(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) return {};
  std::string folder = real.get();
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(int argc, char** argv)
      : caption_(CaptionOf(argc > 0 && argv[0] != nullptr ? argv[0] : "")) {
    for (int i = 1; i < argc; ++i) arguments_.push_back(FromNative(argv[i]));
  }

  bool Startup() override {
    if (caption_.empty()) return false;
    CatchStopSignals();
    return true;
  }

  std::vector<std::u16string> Arguments() override { return arguments_; }

  // The current directory is as getcwd gives it, as it always was; a folder
  // named is as realpath gives it, and a file is named in it as given.
  PathEntry LookUpPath(const std::u16string& path) override {
    PathEntry entry;
    const std::string native = ToNative(path);
    struct stat status {};
    if (stat(native.c_str(), &status) != 0) {
      entry.reason = ReasonOf(errno);
      return entry;
    }
    entry.identity = VersionOf(status);
    if (S_ISDIR(status.st_mode)) {
      entry.kind = PathEntry::Kind::kFolder;
      std::string folder = native == "." ? CurrentDirectory() : RealFolder(native);
      if (!folder.empty() && folder.back() != '/') folder.push_back('/');
      entry.folder = FromNative(folder);
    } else if (S_ISREG(status.st_mode)) {
      entry.kind = PathEntry::Kind::kRegularFile;
      const std::size_t slash = native.rfind('/');
      entry.name = FromNative(slash == std::string::npos ? native : native.substr(slash + 1));
      entry.folder = FromNative(RealFolder(DirectoryOf(native)));
    } else {
      entry.kind = PathEntry::Kind::kOther;
    }
    if (entry.kind != PathEntry::Kind::kOther && entry.folder.empty()) {
      entry = {PathEntry::Kind::kNothing, {}, {}, {}, ReasonOf(errno)};
    }
    return entry;
  }

  DirectoryListing ListDirectory(const std::u16string& directory) override {
    DirectoryListing listing{directory, {}, {}, {}};
    const int fd = OpenWithoutAccessTime(ToNative(directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* stream = fd < 0 ? nullptr : fdopendir(fd);
    if (stream == nullptr) {
      listing.failure = ReasonOf(errno);
      if (fd >= 0) close(fd);
      return listing;
    }
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(stream);
      if (entry == nullptr) break;
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      listing.names.push_back(FromNative(name));
      struct stat status {};
      const bool folder = entry->d_type == DT_DIR ||
                          (entry->d_type == DT_UNKNOWN &&
                           fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISDIR(status.st_mode));
      if (folder && !name.starts_with(kTemporaryPrefix))
        listing.folders.push_back(listing.names.back());
    }
    if (errno != 0) listing.failure = ReasonOf(errno);
    closedir(stream);
    return listing;
  }

  std::optional<FileContent> ReadWholeFile(const std::u16string& path,
                                           ReadFailure* whyNot) override {
    ReadFailure failure;
    std::optional<FileContent> content =
        WithDescriptors([&] { return ReadRegularFile(ToNative(path), buffer_, held_, failure); });
    if (!content && whyNot != nullptr) *whyNot = std::move(failure);
    return content;
  }

  std::optional<FileVersion> CopyToNewFile(const std::u16string& source,
                                           const std::u16string& target) override {
    return WithDescriptors([&] { return completions_.Copy(ToNative(source), ToNative(target)); });
  }

  void ReplaceWholeFile(const std::u16string& path, std::span<const std::string_view> pieces,
                        const FileVersion& read, const std::u16string& backup,
                        const std::function<void(const Outcome&)>& whenKnown) override {
    const auto replace = [&] {
      return ReplaceRegularFile(ToNative(path), pieces, read, ToNative(backup), whenKnown, held_,
                                completions_);
    };
    DescriptorsRanOut();
    std::optional<Outcome> failed = replace();
    if (failed && DescriptorsRanOut()) {
      completions_.Finish();
      failed = replace();
    }
    if (failed) whenKnown(*failed);
  }

  // Read-only as a replacement sees it: no write permission bit at all.
  bool IsReadOnly(const std::u16string& path) override {
    struct stat status {};
    return stat(ToNative(path).c_str(), &status) == 0 &&
           (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  }

  // The project read just before is held: file servers refuse to replace
  // an open file.
  Outcome RestoreBackup(const std::u16string& path, const std::u16string& backup,
                        const FileVersion& read) override {
    held_.Release();
    return RestoreRegularFile(ToNative(path), ToNative(backup), read);
  }

  void Finish() override {
    held_.Release();
    completions_.Finish();
    if (stopSignal != 0) {
      const int signal = stopSignal;
      std::signal(signal, SIG_DFL);
      raise(signal);
    }
  }

  // A lock on the directory itself (flock), which the system releases when
  // the process ends, whatever ends it: no lock file can outlive a run.
  bool LockDirectory(const std::u16string& directory) override {
    lock_.Reset(open(ToNative(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock_.get() < 0) return false;
    if (flock(lock_.get(), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    WriteAll(STDERR_FILENO, caption_ + ": waiting for another run in this directory to end\n");
    while (flock(lock_.get(), LOCK_EX) != 0) {
      if (errno != EINTR || stopSignal != 0) return false;
    }
    return true;
  }

  void RemoveLeftoverFiles(const std::u16string& directory) override {
    const std::string folder = ToNative(directory);
    std::vector<std::string> leftovers;
    if (DIR* stream = opendir(folder.c_str())) {
      while (const dirent* entry = readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(kTemporaryPrefix)) leftovers.push_back(folder + std::string(name));
      }
      closedir(stream);
    }
    for (const std::string& path : leftovers) {
      struct stat status {};
      if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) unlink(path.c_str());
    }
  }

  bool Interrupted() override { return stopSignal != 0; }

  // At a terminal a message waits for Enter, as a box waits for its OK
  // button, and says so: a silent wait looks like a hang. What is done by
  // then is put in place before the wait, not after it.
  void ShowMessage(const std::u16string& text) override {
    WriteAll(STDERR_FILENO, caption_ + ": " + ToNative(text) + "\n");
    if (!isatty(STDIN_FILENO)) return;
    completions_.Submit();
    WriteAll(STDERR_FILENO,
             isatty(STDERR_FILENO) ? "Press Enter to go on." : "Press Enter to go on.\n");
    WaitForEnter();
  }

  void WriteConsoleText(const std::u16string& text) override {
    WriteAll(STDOUT_FILENO, ToNative(text));
  }

  void WriteConsoleUtf8(std::string_view text) override { WriteAll(STDOUT_FILENO, text); }

  void WriteErrorText(const std::u16string& text) override {
    WriteAll(STDERR_FILENO, ToNative(text));
  }

  void WriteError(const std::u16string& text) override {
    std::string lines;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = std::min(text.find(u'\n', at), text.size());
      lines += caption_ + ": " + ToNative(text.substr(at, end - at)) + "\n";
      at = end + 1;
    }
    WriteAll(STDERR_FILENO, lines);
  }

  // A terminal window outlives the program.
  void HoldOwnConsole() override {}
  void ShowOnOwnConsole(const std::u16string&) override {}

 private:
  // Runs `operation` once more where it failed for want of file descriptors,
  // once the files in flight are put in place and theirs closed: a limit
  // that other descriptors leave too low for the groups costs time, never a
  // conversion.
  template <typename Operation>
  auto WithDescriptors(const Operation& operation) -> decltype(operation()) {
    DescriptorsRanOut();
    auto result = operation();
    if (!result && DescriptorsRanOut()) {
      completions_.Finish();
      result = operation();
    }
    return result;
  }

  std::string caption_;
  ReadBuffer buffer_;
  HeldFile held_;
  Completions completions_;
  std::vector<std::u16string> arguments_;
  FileDescriptor lock_{-1};  // the folder locked last, held until the next or the process's end
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace lstconvert
