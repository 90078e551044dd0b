#include <gtest/gtest.h>
#include <sys/stat.h>

#include "file_helpers.h"
#include "platform/platform.h"

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::Names;
using testing::PermissionBits;
using testing::ReadFile;
using testing::TemporaryDirectory;
using testing::WriteFile;

std::u16string Wide(const fs::path& path) {
  const std::string bytes = path.string();
  return std::u16string(bytes.begin(), bytes.end());
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  char program_[32] = "/usr/bin/lstconvert";
  char* argv_[2] = {program_, nullptr};
  std::unique_ptr<Platform> platform_ = CreatePlatform(1, argv_);
  TemporaryDirectory directory_;
};

TEST_F(PosixPlatformTest, ReplaceKeepsPermissionBitsAndLeavesNoOtherFile) {
  const fs::path project = directory_ / "p.lst";
  WriteFile(project, "old");
  chmod(project.c_str(), 0640);
  EXPECT_TRUE(platform_->ReplaceWholeFile(Wide(project), "new content"));
  EXPECT_EQ(ReadFile(project), "new content");
  EXPECT_EQ(PermissionBits(project), 0640u);
  EXPECT_EQ(Names(directory_.path()), std::set<std::string>{"p.lst"});
}

TEST_F(PosixPlatformTest, ReplaceTurnsALinkIntoAFileAndLeavesItsTarget) {
  TemporaryDirectory elsewhere;
  const fs::path target = elsewhere / "target.lst";
  WriteFile(target, "target");
  fs::create_symlink(target, directory_ / "l.lst");
  EXPECT_TRUE(platform_->ReplaceWholeFile(Wide(directory_ / "l.lst"), "new"));
  EXPECT_FALSE(fs::is_symlink(directory_ / "l.lst"));
  EXPECT_EQ(ReadFile(directory_ / "l.lst"), "new");
  EXPECT_EQ(ReadFile(target), "target");
}

TEST_F(PosixPlatformTest, CopyReplacesABackupAndALinkInItsPlace) {
  TemporaryDirectory elsewhere;
  WriteFile(directory_ / "a.lst", "project");
  chmod((directory_ / "a.lst").c_str(), 0600);
  WriteFile(directory_ / "a.lst.bak", "old backup");
  WriteFile(elsewhere / "outside", "outside");
  WriteFile(directory_ / "b.lst", "b");
  fs::create_symlink(elsewhere / "outside", directory_ / "b.lst.bak");

  EXPECT_TRUE(platform_->CopyWholeFile(Wide(directory_ / "a.lst"), Wide(directory_ / "a.lst.bak")));
  EXPECT_TRUE(platform_->CopyWholeFile(Wide(directory_ / "b.lst"), Wide(directory_ / "b.lst.bak")));

  EXPECT_EQ(ReadFile(directory_ / "a.lst.bak"), "project");
  EXPECT_EQ(PermissionBits(directory_ / "a.lst.bak"), 0600u);
  EXPECT_FALSE(fs::is_symlink(directory_ / "b.lst.bak"));
  EXPECT_EQ(ReadFile(directory_ / "b.lst.bak"), "b");
  EXPECT_EQ(ReadFile(elsewhere / "outside"), "outside");
  EXPECT_EQ(Names(directory_.path()),
            (std::set<std::string>{"a.lst", "a.lst.bak", "b.lst", "b.lst.bak"}));
}

TEST_F(PosixPlatformTest, NeverOpensAFifoOrADanglingLink) {
  ASSERT_EQ(mkfifo((directory_ / "f.lst").c_str(), 0600), 0);
  fs::create_symlink(directory_ / "nowhere", directory_ / "dangling.lst");
  for (const char* name : {"f.lst", "dangling.lst"}) {
    EXPECT_FALSE(platform_->CopyWholeFile(Wide(directory_ / name), Wide(directory_ / "x.bak")));
    EXPECT_EQ(platform_->ReadWholeFile(Wide(directory_ / name)), std::nullopt) << name;
  }
  EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"dangling.lst", "f.lst"}));
}

TEST(PosixStartup, FailsWithoutAProgramName) {
  char empty[1] = "";
  char* argv[2] = {empty, nullptr};
  EXPECT_FALSE(CreatePlatform(1, argv)->Startup());
  EXPECT_FALSE(CreatePlatform(0, argv)->Startup());
}

}  // namespace
}  // namespace lstconvert
