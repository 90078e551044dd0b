#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <thread>

#include "file_helpers.h"
#include "platform/platform.h"

// The fsync and rename calls of this process, each with the path it
// concerns, while `recordingFileEvents` is set: the platform's calls reach
// these definitions before the C library's.
namespace {
std::atomic<bool> recordingFileEvents = false;
std::vector<std::string> fileEvents;

template <typename Function>
Function* Next(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
  static const auto next = Next<int(int)>("fsync");
  if (recordingFileEvents) {
    char path[PATH_MAX] = {};
    const ssize_t size =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    fileEvents.push_back("fsync " + std::string(path, size > 0 ? size : 0));
  }
  return next(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  static const auto next = Next<int(const char*, const char*)>("rename");
  if (recordingFileEvents) fileEvents.push_back(std::string("rename ") + from);
  return next(from, to);
}

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

TEST_F(PosixPlatformTest, KeepsOwnerGroupAndSpecialModeBits) {
  const passwd* nobody = getpwnam("nobody");
  const bool root = getuid() == 0 && nobody != nullptr;
  const fs::path project = directory_ / "p.lst";
  WriteFile(project, "old");
  if (root) {
    ASSERT_EQ(chown(project.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(chmod(project.c_str(), 07640), 0);
  struct stat before {};
  ASSERT_EQ(stat(project.c_str(), &before), 0);

  EXPECT_TRUE(platform_->CopyWholeFile(Wide(project), Wide(directory_ / "p.lst.bak")));
  EXPECT_TRUE(platform_->ReplaceWholeFile(Wide(project), "new"));

  for (const fs::path& path : {project, directory_ / "p.lst.bak"}) {
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 07640u) << path;
    EXPECT_EQ(after.st_uid, before.st_uid) << path;
    EXPECT_EQ(after.st_gid, before.st_gid) << path;
  }
}

TEST_F(PosixPlatformTest, FlushesEachFileBeforeRenamingIt) {
  WriteFile(directory_ / "p.lst", "old");
  fileEvents.clear();
  recordingFileEvents = true;
  platform_->CopyWholeFile(Wide(directory_ / "p.lst"), Wide(directory_ / "p.lst.bak"));
  platform_->ReplaceWholeFile(Wide(directory_ / "p.lst"), "new");
  recordingFileEvents = false;
  int renames = 0;
  for (std::size_t i = 0; i < fileEvents.size(); ++i) {
    if (!fileEvents[i].starts_with("rename ")) continue;
    ++renames;
    const std::string flushed = "fsync " + fileEvents[i].substr(7);
    EXPECT_NE(std::find(fileEvents.begin(), fileEvents.begin() + i, flushed),
              fileEvents.begin() + i)
        << fileEvents[i] << " without an fsync of that file before it";
  }
  EXPECT_EQ(renames, 2);
}

TEST_F(PosixPlatformTest, NeverOpensAFifoAWriterWaitsOn) {
  const fs::path fifo = directory_ / "f.lst";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> writerOpened = false;
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY);
    writerOpened = true;
    if (fd >= 0) close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the writer waits in open
  EXPECT_EQ(platform_->ReadWholeFile(Wide(fifo)), std::nullopt);
  EXPECT_FALSE(platform_->CopyWholeFile(Wide(fifo), Wide(directory_ / "f.lst.bak")));
  EXPECT_FALSE(platform_->ReplaceWholeFile(Wide(fifo), "new"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(writerOpened);
  const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  close(release);
}

TEST(PosixStartup, FailsWithoutAProgramName) {
  char empty[1] = "";
  char* argv[2] = {empty, nullptr};
  EXPECT_FALSE(CreatePlatform(1, argv)->Startup());
  EXPECT_FALSE(CreatePlatform(0, argv)->Startup());
}

}  // namespace
}  // namespace lstconvert
