// The retries of the Windows file operations, the replacement that keeps a
// project's metadata and the lock of the current directory, on real files;
// the rare failures of ReplaceFileW come from a stand-in that leaves the
// files as ReplaceFileW documents them.
#include "platform/win32_files.h"

#include <gtest/gtest.h>

#include "file_helpers.h"

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::Names;
using testing::ReadFile;
using testing::TemporaryDirectory;
using testing::WriteFile;

TEST(Win32Retries, OnlyHeldLockedAndMomentarilyDeniedFilesAreRetried) {
  TemporaryDirectory directory;
  WriteFile(directory / "file", "x");
  WriteFile(directory / "read-only", "x");
  fs::permissions(directory / "read-only", fs::perms::all, fs::perm_options::remove);
  fs::permissions(directory / "read-only", fs::perms::owner_read, fs::perm_options::add);
  // Being deleted while another program holds it: Windows denies access to
  // it, even to its attributes, until it is gone (Wine denies nothing).
  const HANDLE deleting = CreateFileW((directory / "deleting").c_str(), DELETE, FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, 0, nullptr);
  FILE_DISPOSITION_INFO disposition{TRUE};
  ASSERT_TRUE(
      SetFileInformationByHandle(deleting, FileDispositionInfo, &disposition, sizeof disposition));
  const struct {
    DWORD error;
    const char* target;
    bool transient;
  } cases[] = {
      {ERROR_SHARING_VIOLATION, "file", true}, {ERROR_LOCK_VIOLATION, "read-only", true},
      {ERROR_ACCESS_DENIED, "file", true},     {ERROR_ACCESS_DENIED, "read-only", false},
      {ERROR_ACCESS_DENIED, ".", false},       {ERROR_ACCESS_DENIED, "missing", false},
      {ERROR_FILE_NOT_FOUND, "file", false},   {ERROR_DISK_FULL, "file", false},
      {ERROR_ACCESS_DENIED, "deleting", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsTransientFailure(c.error, (directory / c.target).u16string()), c.transient)
        << c.error << " " << c.target;
  }
  fs::permissions(directory / "read-only", fs::perms::owner_write, fs::perm_options::add);
  CloseHandle(deleting);
}

// What the stand-in for ReplaceFileW does before it fails: nothing, remove the
// project, move it aside, or put a directory in its place.
enum class Effect { kNone, kRemove, kAside, kDirectory };

TEST(Win32Replace, TheNewContentStaysOnDiskWhateverReplaceFileLeaves) {
  using enum Effect;
  constexpr DWORD kUnable = ERROR_UNABLE_TO_MOVE_REPLACEMENT;
  constexpr DWORD kUnable2 = ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
  const struct {
    int failures;  // calls that fail before ReplaceFileW is called
    DWORD error;
    Effect effect;
    bool replaced;
    const char* project;  // the content of p.lst afterwards, if a file
    std::set<std::string> names;
  } cases[] = {
      {2, ERROR_SHARING_VIOLATION, kNone, true, "new", {"p.lst"}},
      {9, ERROR_INVALID_PARAMETER, kNone, false, "old", {"p.lst"}},
      {9, kUnable, kNone, false, "old", {"p.lst"}},
      {9, kUnable, kRemove, true, "new", {"p.lst"}},
      {9, kUnable2, kAside, true, "new", {"aside", "p.lst"}},
      {9, kUnable, kDirectory, false, nullptr, {"p.lst", "temporary"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.error << " " << static_cast<int>(c.effect));
    TemporaryDirectory directory;
    WriteFile(directory / "p.lst", "old");
    const std::u16string path = (directory / "p.lst").u16string();
    RetryBudget budget(50);
    const FileVersion read = ReadRegularFile(path, budget)->version;
    int calls = 0;
    const auto replace = [&](const std::u16string& replaced, const std::u16string& replacement) {
      if (++calls > c.failures) return ReplaceKeepingMetadata(replaced, replacement);
      if (c.effect == kRemove || c.effect == kDirectory) DeleteFileW(Wide(replaced));
      if (c.effect == kAside) MoveFileExW(Wide(replaced), (directory / "aside").c_str(), 0);
      if (c.effect == kDirectory) CreateDirectoryW(Wide(replaced), nullptr);
      SetLastError(c.error);
      return false;
    };
    EXPECT_EQ(ReplaceRegularFile(path, "new", read, budget, replace), c.replaced);
    std::set<std::string> names;
    for (const std::string& name : Names(directory.path())) {
      const bool temporary = name.starts_with(".lstconvert-");
      names.insert(temporary ? "temporary" : name);
      if (temporary) {
        EXPECT_EQ(ReadFile(directory / name), "new");
      }
    }
    EXPECT_EQ(names, c.names);
    if (c.project) {
      EXPECT_EQ(ReadFile(directory / "p.lst"), c.project);
    }
  }
}

// A link at the project's path is replaced by a regular file only while its
// target is still the version read. Needs a Windows that lets the user make
// links: Wine makes none.
TEST(Win32Replace, ALinkIsReplacedOnlyWhileItsTargetIsTheVersionRead) {
  TemporaryDirectory directory;
  WriteFile(directory / "target", "old");
  const std::u16string path = (directory / "p.lst").u16string();
  CreateSymbolicLinkW(Wide(path), (directory / "target").c_str(),
                      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  const DWORD attributes = GetFileAttributesW(Wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "no symbolic links here";
  }
  RetryBudget budget(50);
  const FileVersion read = ReadRegularFile(path, budget)->version;
  WriteFile(directory / "target", "saved meanwhile");
  EXPECT_FALSE(ReplaceRegularFile(path, "new", read, budget));
  EXPECT_EQ(ReadFile(directory / "p.lst"), "saved meanwhile");
  EXPECT_NE(GetFileAttributesW(Wide(path)) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(Names(directory.path()), (std::set<std::string>{"p.lst", "target"}));
}

TEST(Win32Replace, BackupAndReplacementKeepTheAttributesButReadOnly) {
  TemporaryDirectory directory;
  WriteFile(directory / "p.lst", "old");
  const std::u16string path = (directory / "p.lst").u16string();
  const DWORD attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesW(Wide(path), attributes));
  RetryBudget budget;
  const std::optional<FileVersion> backedUp = CopyRegularFile(path, path + u".bak", budget);
  ASSERT_TRUE(backedUp);
  EXPECT_TRUE(ReplaceRegularFile(path, "new", *backedUp, budget));
  for (const std::u16string& file : {path, path + u".bak"}) {
    EXPECT_EQ(GetFileAttributesW(Wide(file)) & attributes, attributes);
  }
  EXPECT_EQ(ReadFile(directory / "p.lst.bak"), "old");
  // The backup of a read-only project is not read-only: the next run replaces it.
  ASSERT_TRUE(SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_READONLY));
  const FileVersion version = ReadRegularFile(path, budget)->version;
  EXPECT_TRUE(CopyRegularFile(path, path + u".bak", budget, version));
  EXPECT_EQ(GetFileAttributesW(Wide(path + u".bak")) & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_NORMAL);
}

TEST(Win32Platform, TheLockLastsAsLongAsThePlatformAndLeftoversGo) {
  TemporaryDirectory directory;
  WriteFile(directory / ".lstconvert-0123456789abcdef", "x");
  SetFileAttributesW((directory / ".lstconvert-0123456789abcdef").c_str(), FILE_ATTRIBUTE_READONLY);
  fs::create_directory(directory / ".lstconvert-directory");
  WriteFile(directory / "p.lst", "x");
  const fs::path previous = fs::current_path();
  fs::current_path(directory.path());
  {
    char program[] = "lstconvert";
    char* argv[] = {program, nullptr};
    const std::unique_ptr<Platform> platform = CreatePlatform(1, argv);
    EXPECT_TRUE(platform->Startup());
    const std::u16string here = platform->LookUpPath(u".").folder;
    EXPECT_TRUE(platform->LockDirectory(here));
    platform->RemoveLeftoverFiles(here);
    EXPECT_EQ(Names(directory.path()),
              (std::set<std::string>{".lstconvert-directory", ".lstconvert.lock", "p.lst"}));
    EXPECT_NE(GetFileAttributesW(L".lstconvert.lock") & FILE_ATTRIBUTE_HIDDEN, 0u);
  }
  fs::current_path(previous);
  EXPECT_EQ(Names(directory.path()), (std::set<std::string>{".lstconvert-directory", "p.lst"}));
}

}  // namespace
}  // namespace lstconvert
