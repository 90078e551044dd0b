// The platform on Windows, on the plain Win32 API with wide characters
// throughout; the file operations are in win32_files.cpp.

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_files.h"

namespace lstconvert {
namespace {

std::u16string FromWide(const wchar_t* text, std::size_t size) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), size);
}

// The program's name: the base name of its executable without extension.
std::u16string CaptionOf(const std::u16string& modulePath) {
  const std::size_t separator = modulePath.find_last_of(u"\\/");
  std::u16string name =
      separator == std::u16string::npos ? modulePath : modulePath.substr(separator + 1);
  const std::size_t dot = name.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0) name.resize(dot);
  return name;
}

std::u16string ModuleFileName(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (size == 0) return {};
    if (size < buffer.size()) return FromWide(buffer.data(), size);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// The absolute form of `path`, as the system gives it; empty on failure.
std::u16string FullPath(const std::u16string& path) {
  const std::wstring wide(path.begin(), path.end());
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring buffer(needed, L'\0');
  const DWORD size = GetFullPathNameW(wide.c_str(), needed, buffer.data(), nullptr);
  if (size == 0 || size >= needed) return {};
  return FromWide(buffer.data(), size);
}

// The arguments after the program's name, as CommandLineToArgvW splits the
// command line. It takes a backslash before a closing quote for an escaped
// quote, so a quoted folder with a trailing backslash ("C:\Reports\" or
// "C:\") arrives with a quote at its end: that is the backslash.
std::vector<std::u16string> CommandLineArguments() {
  std::vector<std::u16string> arguments;
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  if (split == nullptr) return arguments;
  for (int i = 1; i < count; ++i) {
    std::u16string argument = FromWide(split[i], wcslen(split[i]));
    if (argument.size() > 1 && argument.back() == u'"') argument.back() = u'\\';
    arguments.push_back(std::move(argument));
  }
  LocalFree(split);
  return arguments;
}

// Whether the console window is the program's own, and closes when it ends:
// no other process, such as a command prompt, is attached to it.
bool IsOwnConsole() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

// How long the lock may deny access before the directory counts as one the
// user may not write to: a lock file that its run is deleting denies access
// for a moment.
constexpr ULONGLONG kLockDeniedMilliseconds = 2000;
constexpr DWORD kLockPollMilliseconds = 50;

// How long a closed console window waits for the process to end itself; the
// system ends it after 5 s.
constexpr DWORD kClosingMilliseconds = 4500;

// Set once the user has asked the run to stop; read by the main thread.
std::atomic<bool> interrupted{false};

// Ctrl+C and Ctrl+Break only stop the run from taking new projects. A closed
// console window, a log-off or a shutdown ends the process once this handler
// returns: it gives the main thread the time to end the replacement at hand
// and then the process itself.
BOOL WINAPI OnConsoleControl(DWORD event) {
  interrupted = true;
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(kClosingMilliseconds);
  return TRUE;
}

// On a console the text goes out as wide characters; redirected, as text in
// the ANSI code page with CR LF line ends.
void WriteStandardText(DWORD which, const std::u16string& text) {
  const HANDLE output = GetStdHandle(which);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(output, &mode)) {
    WriteConsoleW(output, Wide(text), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  std::u16string lines;
  for (const char16_t unit : text) {
    if (unit == u'\n') lines.push_back(u'\r');
    lines.push_back(unit);
  }
  const int size = WideCharToMultiByte(CP_ACP, 0, Wide(lines), static_cast<int>(lines.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, Wide(lines), static_cast<int>(lines.size()), bytes.data(), size,
                      nullptr, nullptr);
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

class Win32Platform final : public Platform {
 public:
  Win32Platform() : caption_(CaptionOf(ModuleFileName(GetModuleHandleW(nullptr)))) {}
  ~Win32Platform() override {
    if (lock_ != INVALID_HANDLE_VALUE) CloseHandle(lock_);
  }

  bool Startup() override {
    const HMODULE module = GetModuleHandleW(nullptr);
    const wchar_t* commandLine = GetCommandLineW();
    if (module == nullptr || commandLine == nullptr) return false;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return !caption_.empty();
  }

  std::vector<std::u16string> Arguments() override { return CommandLineArguments(); }

  // A folder, as GetFullPathNameW gives it (for "." the current directory);
  // a file, named in its folder as given. Its identity is its volume and
  // file index, which FILE_FLAG_BACKUP_SEMANTICS reads for folders too.
  PathEntry LookUpPath(const std::u16string& path) override {
    PathEntry entry;
    const std::u16string full = FullPath(path);
    const DWORD attributes =
        full.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(Wide(ExtendedPath(full)));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      entry.reason = ReasonOf(GetLastError());
      return entry;
    }
    const Handle file(CreateFileW(Wide(ExtendedPath(full)), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) {
      entry.reason = ReasonOf(GetLastError());
      return entry;
    }
    entry.identity = VersionOf(info);
    const std::size_t separator = full.find_last_of(u"\\/");
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      entry.kind = PathEntry::Kind::kFolder;
      entry.folder = IsSeparator(full.back()) ? full : full + u"\\";
    } else if (GetFileType(file.get()) == FILE_TYPE_DISK && separator != std::u16string::npos) {
      entry.kind = PathEntry::Kind::kRegularFile;
      entry.folder = full.substr(0, separator + 1);
      entry.name = full.substr(separator + 1);
    } else {
      entry.kind = PathEntry::Kind::kOther;
    }
    return entry;
  }

  DirectoryListing ListDirectory(const std::u16string& directory) override {
    DirectoryListing listing{directory, {}, {}, {}};
    // Every entry is listed and the program picks its project files by
    // name: a search for "*.lst" would also return "x.lstx" through its
    // short name.
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(Wide(ExtendedPath(directory + u"*")), FindExInfoBasic,
                                           &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
      // The root of an empty drive has not even "." and "..".
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND) listing.failure = ReasonOf(error);
      return listing;
    }
    do {
      std::u16string name = FromWide(found.cFileName, wcslen(found.cFileName));
      if (name == u"." || name == u"..") continue;
      // A junction or a link to a folder is a reparse point.
      const DWORD attributes = found.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && !IsTemporaryName(name)) {
        listing.folders.push_back(name);
      }
      listing.names.push_back(std::move(name));
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) listing.failure = ReasonOf(error);
    FindClose(search);
    return listing;
  }

  std::optional<FileContent> ReadWholeFile(const std::u16string& path,
                                           ReadFailure* whyNot) override {
    std::optional<OwnedContent> content = ReadRegularFile(path, BudgetFor(path), whyNot);
    if (!content) return std::nullopt;
    read_ = std::move(*content);
    return FileContent{read_.bytes, read_.version};
  }

  std::optional<FileVersion> CopyToNewFile(const std::u16string& source,
                                           const std::u16string& target) override {
    return CopyRegularFile(source, target, BudgetFor(source));
  }

  // The backup is a copy of the project made first, by the file system
  // where it can (CopyFileExW). It replaces an old backup only if it is of
  // the version read and that version can be replaced; otherwise it is made
  // only where there is no backup, and the project stays.
  // The pieces are joined and written in one piece.
  void ReplaceWholeFile(const std::u16string& path, std::span<const std::string_view> pieces,
                        const FileVersion& read, const std::u16string& backup,
                        const std::function<void(const Outcome&)>& whenKnown) override {
    Bytes content;
    for (const std::string_view piece : pieces) content += piece;
    RetryBudget& budget = BudgetFor(path);
    if (const Outcome left = ReplaceableVersion(path, read); !left.done()) {
      CopyRegularFile(path, backup, budget);
      return whenKnown(left);
    }
    const std::optional<FileVersion> copied = CopyRegularFile(path, backup, budget, read);
    if (copied != read) {
      return whenKnown(copied ? Outcome{std::u16string(kChangedStep), {}}
                              : Outcome{u"backup not made", ReasonOf(GetLastError())});
    }
    if (!ReplaceRegularFile(path, content, read, budget)) {
      const DWORD error = GetLastError();
      return whenKnown(error == ERROR_FILE_INVALID ? Outcome{std::u16string(kChangedStep), {}}
                                                   : Outcome{u"not put in place", ReasonOf(error)});
    }
    whenKnown({});
  }

  bool IsReadOnly(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(Wide(ExtendedPath(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  }

  // MoveFileExW with MOVEFILE_WRITE_THROUGH over the project, once it is
  // still the version read and can be deleted, as for a replacement; the
  // backup's data reached the disk when it was made.
  Outcome RestoreBackup(const std::u16string& path, const std::u16string& backup,
                        const FileVersion& read) override {
    if (MoveOver(ExtendedPath(backup), ExtendedPath(path), true, read, BudgetFor(path))) return {};
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_INVALID) return {std::u16string(kChangedStep), {}};
    return {u"not put back", ReasonOf(error)};
  }

  // Every replacement has ended when ReplaceWholeFile returns; after an
  // interrupt the process ends with the status that Ctrl+C gives.
  void Finish() override {
    if (interrupted) ExitProcess(STATUS_CONTROL_C_EXIT);
  }

  // The lock is a hidden file that no other program may open and that the
  // system deletes when its handle is closed, however the process ends.
  bool LockDirectory(const std::u16string& directory) override {
    if (lock_ != INVALID_HANDLE_VALUE) CloseHandle(lock_);
    lock_ = INVALID_HANDLE_VALUE;
    const std::u16string path = ExtendedPath(directory + u".lstconvert.lock");
    bool told = false;
    ULONGLONG deniedSince = 0;
    for (;;) {
      lock_ = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (lock_ != INVALID_HANDLE_VALUE) return true;
      const DWORD error = GetLastError();
      const ULONGLONG now = GetTickCount64();
      if (error == ERROR_SHARING_VIOLATION) {
        deniedSince = 0;
        if (!told) {
          WriteErrorText(caption_ + u": waiting for another run in this directory to end\n");
          told = true;
        }
      } else if (error == ERROR_ACCESS_DENIED && IsTransientFailure(error, path)) {
        if (deniedSince == 0) deniedSince = now;
        if (now - deniedSince >= kLockDeniedMilliseconds) return false;
      } else {
        return false;
      }
      if (interrupted) return false;
      Sleep(kLockPollMilliseconds);
      if (interrupted) return false;
    }
  }

  void RemoveLeftoverFiles(const std::u16string& directory) override {
    RemoveTemporaryFiles(directory);
  }

  bool Interrupted() override { return interrupted; }

  void ShowMessage(const std::u16string& text) override {
    MessageBoxW(nullptr, Wide(text), Wide(caption_), MB_OK | MB_ICONEXCLAMATION);
  }

  void WriteConsoleText(const std::u16string& text) override {
    WriteStandardText(STD_OUTPUT_HANDLE, text);
  }

  // On a console the text goes out as wide characters; elsewhere as the
  // UTF-8 it is.
  void WriteConsoleUtf8(std::string_view text) override {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == INVALID_HANDLE_VALUE || output == nullptr || text.empty()) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (!GetConsoleMode(output, &mode)) {
      WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      return;
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  }

  void WriteErrorText(const std::u16string& text) override {
    WriteStandardText(STD_ERROR_HANDLE, text);
  }

  void WriteError(const std::u16string& text) override {
    std::u16string lines;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = std::min(text.find(u'\n', at), text.size());
      lines += caption_ + u": " + text.substr(at, end - at) + u"\n";
      at = end + 1;
    }
    WriteErrorText(lines);
  }

  void ShowOnOwnConsole(const std::u16string& text) override {
    if (IsOwnConsole())
      MessageBoxW(nullptr, Wide(text), Wide(caption_), MB_OK | MB_ICONEXCLAMATION);
  }

  // The console is the program's own when no other process, such as a
  // command prompt, is attached to it. Only a console can be answered with
  // Enter: redirected input is not waited for.
  void HoldOwnConsole() override {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!IsOwnConsole() || input == INVALID_HANDLE_VALUE || input == nullptr ||
        !GetConsoleMode(input, &mode)) {
      return;
    }
    WriteErrorText(u"Press Enter to close this window.\n");
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      const std::string_view line(buffer, got);
      if (line.find_first_of("\r\n") != std::string_view::npos) return;
    }
  }

 private:
  // The backup, the reading and the replacement of one project share one
  // budget of waiting, so a project that another program holds delays the
  // batch by about kRetryMilliseconds at most. The batch deals with one
  // project after the other: another path starts a new budget.
  RetryBudget& BudgetFor(const std::u16string& path) {
    if (path != budgetPath_) {
      budgetPath_ = path;
      budget_ = RetryBudget();
    }
    return budget_;
  }

  std::u16string caption_;
  std::u16string budgetPath_;
  RetryBudget budget_;
  OwnedContent read_;                   // what ReadWholeFile read last
  HANDLE lock_ = INVALID_HANDLE_VALUE;  // the lock file, open as long as the platform
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int, char**) { return std::make_unique<Win32Platform>(); }

}  // namespace lstconvert
