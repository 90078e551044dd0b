// The platform on Windows, on the plain Win32 API with wide characters
// throughout; the file operations are in win32_files.cpp.
#include <string>

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

std::u16string CurrentDirectory() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return {};
  std::wstring buffer(needed, L'\0');
  const DWORD size = GetCurrentDirectoryW(needed, buffer.data());
  if (size == 0 || size >= needed) return {};
  return FromWide(buffer.data(), size);
}

class Win32Platform final : public Platform {
 public:
  bool Startup() override {
    const HMODULE module = GetModuleHandleW(nullptr);
    const wchar_t* commandLine = GetCommandLineW();
    if (module == nullptr || commandLine == nullptr) return false;
    caption_ = CaptionOf(ModuleFileName(module));
    return !caption_.empty();
  }

  std::vector<DirectoryEntry> ListCurrentDirectory() override {
    std::vector<DirectoryEntry> entries;
    std::u16string directory = CurrentDirectory();
    if (directory.empty()) return entries;
    if (!IsSeparator(directory.back())) directory.push_back(u'\\');
    // Every entry is listed and the program picks its project files by
    // name: a search for "*.lst" would also return "x.lstx" through its
    // short name.
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(Wide(ExtendedPath(directory + u"*")), FindExInfoBasic,
                                           &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
      const std::u16string name = FromWide(found.cFileName, wcslen(found.cFileName));
      if (name == u"." || name == u"..") continue;
      entries.push_back({name, directory + name});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
  }

  std::optional<FileContent> ReadWholeFile(const std::u16string& path) override {
    return ReadRegularFile(path, BudgetFor(path));
  }

  std::optional<FileVersion> CopyWholeFile(const std::u16string& source,
                                           const std::u16string& target) override {
    return CopyRegularFile(source, target, BudgetFor(source));
  }

  // The backup is a copy of the project made first, by the file system
  // where it can (CopyFileExW), whether the project is then replaced or not;
  // it is replaced only if that copy is of the version read.
  bool ReplaceWholeFile(const std::u16string& path, const Bytes& content, const FileVersion& read,
                        const std::u16string& backup) override {
    RetryBudget& budget = BudgetFor(path);
    const bool replaceable = IsReplaceableVersion(path, read);
    return CopyRegularFile(path, backup, budget) == read && replaceable &&
           ReplaceRegularFile(path, content, read, budget);
  }

  // Every replacement has ended when ReplaceWholeFile returns.
  void Finish() override {}

  void ShowMessage(const std::u16string& text) override {
    MessageBoxW(nullptr, Wide(text), Wide(caption_), MB_OK | MB_ICONEXCLAMATION);
  }

  // On a console the text goes out as wide characters; redirected, as text
  // in the ANSI code page with CR LF line ends.
  void WriteConsoleText(const std::u16string& text) override {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
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
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int, char**) { return std::make_unique<Win32Platform>(); }

}  // namespace lstconvert
