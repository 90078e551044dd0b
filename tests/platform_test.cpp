// The file operations of the platform of this build, on real files.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include "file_helpers.h"

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::Names;
using testing::ReadAndReplace;
using testing::ReadFile;
using testing::TemporaryDirectory;
using testing::WriteFile;

class PlatformFiles : public ::testing::Test {
 protected:
  std::u16string Path(const std::string& name) { return (directory_ / name).u16string(); }

  char program_[32] = "lstconvert";
  char* argv_[2] = {program_, nullptr};
  std::unique_ptr<Platform> platform_ = CreatePlatform(1, argv_);
  TemporaryDirectory directory_;
};

TEST_F(PlatformFiles, ReplaceWritesTheContentAndLeavesNoOtherFile) {
  WriteFile(directory_ / "p.lst", "old content that is longer");
  EXPECT_TRUE(ReadAndReplace(*platform_, Path("p.lst"), "new"));
  EXPECT_EQ(ReadFile(directory_ / "p.lst"), "new");
  EXPECT_EQ(ReadFile(directory_ / "p.lst.bak"), "old content that is longer");
  EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"p.lst", "p.lst.bak"}));
}

// A file saved by another program since it was read stays, and so does the
// backup an earlier run made; a file without one gets a copy as its backup.
TEST_F(PlatformFiles, ReplaceLeavesAFileChangedSinceItWasReadAndItsBackup) {
  for (const bool earlierBackup : {false, true}) {
    fs::remove(directory_ / "p.lst.bak");
    if (earlierBackup) WriteFile(directory_ / "p.lst.bak", "original");
    WriteFile(directory_ / "p.lst", "old");
    const FileVersion read = platform_->ReadWholeFile(Path("p.lst"))->version;
    WriteFile(directory_ / "p.lst", "saved meanwhile");
    const std::u16string changed = u"changed by another program since it was read";
    EXPECT_EQ(testing::Replace(*platform_, Path("p.lst"), "new", read).failedStep, changed);
    WriteFile(directory_ / "q.lst", "saved as a new file");
    fs::rename(directory_ / "q.lst", directory_ / "p.lst");
    EXPECT_EQ(testing::Replace(*platform_, Path("p.lst"), "new", read).failedStep, changed);
    EXPECT_EQ(ReadFile(directory_ / "p.lst"), "saved as a new file");
    EXPECT_EQ(ReadFile(directory_ / "p.lst.bak"), earlierBackup ? "original" : "saved meanwhile");
    EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"p.lst", "p.lst.bak"}));
  }
}

TEST_F(PlatformFiles, ReplaceLeavesReadOnlyMissingAndDirectoryEntriesAlone) {
  WriteFile(directory_ / "r.lst", "old");
  fs::permissions(directory_ / "r.lst",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  fs::create_directory(directory_ / "d.lst");
  const FileVersion read = platform_->ReadWholeFile(Path("r.lst"))->version;
  EXPECT_EQ(testing::Replace(*platform_, Path("r.lst"), "new", read).failedStep, u"read-only");
  EXPECT_FALSE(ReadAndReplace(*platform_, Path("missing.lst"), "new"));
  EXPECT_FALSE(ReadAndReplace(*platform_, Path("d.lst"), "new"));
  EXPECT_EQ(ReadFile(directory_ / "r.lst"), "old");
  EXPECT_EQ(ReadFile(directory_ / "r.lst.bak"), "old");
  EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"d.lst", "r.lst", "r.lst.bak"}));
  fs::permissions(directory_ / "r.lst", fs::perms::owner_write, fs::perm_options::add);
}

// A copy holds the file as it was when the copy was asked for, even if it
// takes its name later, and never replaces a backup that another program
// made meanwhile.
TEST_F(PlatformFiles, CopyMakesABackupOnlyWhereThereIsNone) {
  WriteFile(directory_ / "a.lst", "project");
  WriteFile(directory_ / "a.lst.bak", "an earlier backup");
  WriteFile(directory_ / "b.lst", "project b");
  WriteFile(directory_ / "c.lst", "project c");
  EXPECT_FALSE(platform_->CopyToNewFile(Path("a.lst"), Path("a.lst.bak")));
  EXPECT_TRUE(platform_->CopyToNewFile(Path("b.lst"), Path("b.lst.bak")));
  EXPECT_TRUE(platform_->CopyToNewFile(Path("c.lst"), Path("c.lst.bak")));
  WriteFile(directory_ / "b.lst", "saved after the copy");
  WriteFile(directory_ / "c.lst.bak", "made meanwhile");
  platform_->Finish();
  EXPECT_EQ(ReadFile(directory_ / "a.lst.bak"), "an earlier backup");
  EXPECT_EQ(ReadFile(directory_ / "b.lst.bak"), "project b");
  EXPECT_EQ(ReadFile(directory_ / "c.lst.bak"), "made meanwhile");
  EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"a.lst", "a.lst.bak", "b.lst",
                                                             "b.lst.bak", "c.lst", "c.lst.bak"}));
}

TEST_F(PlatformFiles, CopyFailsOntoADirectoryAndFromWhatIsNotAFile) {
  WriteFile(directory_ / "a.lst", "project");
  fs::create_directory(directory_ / "a.lst.bak");
  fs::create_directory(directory_ / "d.lst");
  EXPECT_FALSE(platform_->CopyToNewFile(Path("a.lst"), Path("a.lst.bak")));
  EXPECT_FALSE(platform_->CopyToNewFile(Path("d.lst"), Path("d.lst.bak")));
  EXPECT_FALSE(platform_->CopyToNewFile(Path("missing.lst"), Path("missing.lst.bak")));
  EXPECT_EQ(platform_->ReadWholeFile(Path("d.lst")), std::nullopt);
  EXPECT_EQ(platform_->ReadWholeFile(Path("missing.lst")), std::nullopt);
  EXPECT_TRUE(fs::is_directory(directory_ / "a.lst.bak"));
  EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"a.lst", "a.lst.bak", "d.lst"}));
}

TEST_F(PlatformFiles, ReadGivesEveryByte) {
  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteFile(directory_ / "big.lst", bytes);
  WriteFile(directory_ / "empty.lst", "");
  EXPECT_EQ(platform_->ReadWholeFile(Path("big.lst"))->bytes, bytes);
  EXPECT_EQ(platform_->ReadWholeFile(Path("empty.lst"))->bytes, "");
}

TEST_F(PlatformFiles, ListsEveryEntryWithItsFullPath) {
  WriteFile(directory_ / "a.lst", "");
  fs::create_directory(directory_ / "sub");
  const fs::path previous = fs::current_path();
  fs::current_path(directory_.path());
  DirectoryListing listing = platform_->ListDirectory(platform_->LookUpPath(u".").folder);
  fs::current_path(previous);
  std::sort(listing.names.begin(), listing.names.end());
  EXPECT_EQ(listing.names, (std::vector<std::u16string>{u"a.lst", u"sub"}));
  EXPECT_EQ(fs::path(listing.directory + listing.names[0]), directory_ / "a.lst");
}

}  // namespace
}  // namespace lstconvert
