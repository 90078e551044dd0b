#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "file_helpers.h"
#include "platform/platform.h"

// The fsync, fdatasync, syncfs and rename calls of this process, each with the
// inode it concerns, while `recordingFileEvents` is set: the platform's calls reach
// these definitions before the C library's. A rename onto a file that this
// process holds open is recorded as such: file servers refuse it.
namespace {
std::atomic<bool> recordingFileEvents = false;
std::vector<std::string> fileEvents;
std::mutex fileEventsLock;  // a group's files are flushed from several threads

void RecordFileEvent(const std::string& event) {
  const std::lock_guard<std::mutex> lock(fileEventsLock);
  fileEvents.push_back(event);
}

template <typename Function>
Function* Next(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}
}  // namespace

// While set, every flush of a file the program writes (a temporary file)
// and every wait for its writing reports this error, as after a write to
// the disk failed.
int writebackError = 0;

int WritebackError(int fd) {
  char path[PATH_MAX] = "";
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  if (writebackError == 0 || readlink(link.c_str(), path, sizeof path - 1) < 0 ||
      std::string_view(path).find("/.lstconvert-") == std::string_view::npos) {
    return 0;
  }
  errno = writebackError;
  return -1;
}

int RecordFlush(int fd) {
  struct stat status {};
  if (recordingFileEvents && fstat(fd, &status) == 0) {
    RecordFileEvent("fsync " + std::to_string(status.st_ino));
  }
  return WritebackError(fd);
}

extern "C" int fsync(int fd) {
  static const auto next = Next<int(int)>("fsync");
  return RecordFlush(fd) == 0 ? next(fd) : -1;
}

extern "C" int fdatasync(int fd) {
  static const auto next = Next<int(int)>("fdatasync");
  return RecordFlush(fd) == 0 ? next(fd) : -1;
}

extern "C" int sync_file_range(int fd, off64_t offset, off64_t count, unsigned flags) {
  static const auto next = Next<int(int, off64_t, off64_t, unsigned)>("sync_file_range");
  if ((flags & SYNC_FILE_RANGE_WAIT_BEFORE) != 0 && WritebackError(fd) != 0) return -1;
  return next(fd, offset, count, flags);
}

// While set, syncfs fails, as where a file system's flush reports an error.
bool syncfsFails = false;

// While set, statfs tells of a FUSE file system, whose flush of the whole
// file system may stop short of the disk.
bool notLocalDisk = false;

extern "C" int statfs(const char* path, struct statfs* about) noexcept {
  static const auto next = Next<int(const char*, struct statfs*)>("statfs");
  const int result = next(path, about);
  if (result == 0 && notLocalDisk) about->f_type = 0x65735546;
  return result;
}

extern "C" int syncfs(int fd) {
  static const auto next = Next<int(int)>("syncfs");
  if (syncfsFails) {
    errno = EIO;
    return -1;
  }
  if (recordingFileEvents) RecordFileEvent("syncfs");
  return next(fd);
}

// While set, /proc/meminfo reads as this text, so that the tests, not the
// unwritten data of the machine's other programs, choose how a group's
// files are flushed.
const char* meminfo = nullptr;
constexpr char kLittleUnwritten[] =
    "MemTotal: 8388608 kB\nMemAvailable: 8388608 kB\nDirty: 0 kB\nWriteback: 0 kB\n";
constexpr char kMuchUnwritten[] =
    "MemTotal: 8388608 kB\nMemAvailable: 8388608 kB\nDirty: 4194304 kB\nWriteback: 0 kB\n";

extern "C" int open(const char* path, int flags, ...) {
  static const auto next = Next<int(const char*, int, ...)>("open");
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  if (meminfo == nullptr || std::strcmp(path, "/proc/meminfo") != 0) return next(path, flags, mode);
  const int fd = memfd_create("meminfo", MFD_CLOEXEC);
  if (fd < 0 || write(fd, meminfo, std::strlen(meminfo)) < 0 || lseek(fd, 0, SEEK_SET) != 0)
    return -1;
  return fd;
}

// A way of flushing a group's files, as the tests make the platform take it.
struct FlushWay {
  const char* meminfo;
  bool fileSystemFlushFails, fuse;
};
// One flush of the file system, that flush failing, all at once from threads
// for much unwritten data, one after the other on FUSE.
constexpr FlushWay kFlushWays[] = {{kLittleUnwritten, false, false},
                                   {kLittleUnwritten, true, false},
                                   {kMuchUnwritten, false, false},
                                   {kLittleUnwritten, false, true}};
constexpr FlushWay kMachinesWay = {nullptr, false, false};

void TakeWay(const FlushWay& way) {
  meminfo = way.meminfo;
  syncfsFails = way.fileSystemFlushFails;
  notLocalDisk = way.fuse;
}

bool IsOpenHere(const struct stat& file) {
  bool open = false;
  DIR* descriptors = opendir("/proc/self/fd");
  while (const dirent* entry = descriptors ? readdir(descriptors) : nullptr) {
    struct stat status {};
    if (fstat(atoi(entry->d_name), &status) == 0 && status.st_ino == file.st_ino &&
        status.st_dev == file.st_dev) {
      open = true;
    }
  }
  if (descriptors != nullptr) closedir(descriptors);
  return open;
}

// Called with the target of each rename once it is done, while set.
std::function<void(const std::string&)> afterRename;

void RecordRename(const char* from, const char* to) {
  struct stat status {
  }, target{};
  if (recordingFileEvents && lstat(from, &status) == 0) {
    RecordFileEvent("rename " + std::to_string(status.st_ino));
    if (stat(to, &target) == 0 && IsOpenHere(target)) RecordFileEvent("rename onto open file");
  }
}

// While set, rename fails with this error.
int renameError = 0;

extern "C" int rename(const char* from, const char* to) noexcept {
  static const auto next = Next<int(const char*, const char*)>("rename");
  RecordRename(from, to);
  if (renameError != 0) {
    errno = renameError;
    return -1;
  }
  const int renamed = next(from, to);
  if (afterRename) afterRename(to);
  return renamed;
}

// A rename to a new name, as a copy takes its name.
extern "C" int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
                         unsigned flags) noexcept {
  static const auto next = Next<int(int, const char*, int, const char*, unsigned)>("renameat2");
  RecordRename(from, to);
  return next(fromDirectory, from, toDirectory, to, flags);
}

// While set, link makes a copy of the same size and modification time
// under the new name, as an SFTP share shows a link: as another file, with
// one link.
bool linkCopies = false;

extern "C" int link(const char* from, const char* to) noexcept {
  static const auto next = Next<int(const char*, const char*)>("link");
  if (!linkCopies) return next(from, to);
  struct stat status {};
  std::error_code failed;
  if (stat(from, &status) != 0 || !std::filesystem::copy_file(from, to, failed)) {
    errno = failed ? failed.value() : errno;
    return -1;
  }
  const timespec times[] = {status.st_atim, status.st_mtim};
  return utimensat(AT_FDCWD, to, times, 0);
}

// While set, copy_file_range fails with this error, as on kernels or file
// systems without it or behind a system call filter.
int copyRangeError = 0;

extern "C" ssize_t copy_file_range(int from, off64_t* fromOffset, int to, off64_t* toOffset,
                                   size_t length, unsigned flags) {
  static const auto next =
      Next<ssize_t(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
  if (copyRangeError == 0) return next(from, fromOffset, to, toOffset, length, flags);
  errno = copyRangeError;
  return -1;
}

// The extended attribute that fsetxattr may not set, as a user may not set
// a trusted.* attribute or a security label.
std::string refusedAttribute;

extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size,
                         int flags) noexcept {
  static const auto next = Next<int(int, const char*, const void*, size_t, int)>("fsetxattr");
  if (name != refusedAttribute) return next(fd, name, value, size, flags);
  errno = EPERM;
  return -1;
}

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::Names;
using testing::PermissionBits;
using testing::ReadAndReplace;
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
  EXPECT_TRUE(ReadAndReplace(*platform_, Wide(project), "new content"));
  EXPECT_EQ(ReadFile(project), "new content");
  EXPECT_EQ(PermissionBits(project), 0640u);
  EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"p.lst", "p.lst.bak"}));
}

TEST_F(PosixPlatformTest, ReplaceTurnsALinkIntoAFileAndLeavesItsTarget) {
  TemporaryDirectory elsewhere;
  const fs::path target = elsewhere / "target.lst";
  WriteFile(target, "target");
  fs::create_symlink(target, directory_ / "l.lst");
  EXPECT_TRUE(ReadAndReplace(*platform_, Wide(directory_ / "l.lst"), "new"));
  EXPECT_FALSE(fs::is_symlink(directory_ / "l.lst"));
  EXPECT_EQ(ReadFile(directory_ / "l.lst"), "new");
  EXPECT_EQ(ReadFile(target), "target");
  EXPECT_FALSE(fs::is_symlink(directory_ / "l.lst.bak"));
  EXPECT_EQ(ReadFile(directory_ / "l.lst.bak"), "target");
}

ino_t Inode(const fs::path& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// The replaced file itself becomes the backup, unless other names would
// share it (a second hard link, or a backup left linked to the project by a
// killed run) or its new name cannot be shown to be the same file (an SFTP
// share). Then the backup is a copy of its own.
TEST_F(PosixPlatformTest, TheReplacedFileBecomesTheBackupUnlessItHasOtherLinks) {
  const fs::path project = directory_ / "p.lst", backup = directory_ / "p.lst.bak";
  const fs::path other = directory_ / "other";
  for (const std::string setUp : {"alone", "second link", "backup linked", "link not shown"}) {
    fs::remove(backup);
    WriteFile(project, "old");
    if (setUp == "second link") fs::create_hard_link(project, other);
    if (setUp == "backup linked") fs::create_hard_link(project, backup);
    const ino_t original = Inode(project);

    linkCopies = setUp == "link not shown";
    EXPECT_TRUE(ReadAndReplace(*platform_, Wide(project), "new")) << setUp;
    linkCopies = false;

    EXPECT_EQ(ReadFile(project), "new") << setUp;
    EXPECT_EQ(ReadFile(backup), "old") << setUp;
    EXPECT_EQ(Inode(backup) == original, setUp == "alone") << setUp;
    EXPECT_EQ(fs::hard_link_count(backup), 1u) << setUp;
    if (setUp == "second link") {
      EXPECT_EQ(ReadFile(other), "old");
    }
    fs::remove(other);
    EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"p.lst", "p.lst.bak"})) << setUp;
  }
}

TEST_F(PosixPlatformTest, CopyKeepsMetadataAndLeavesALinkInItsPlace) {
  TemporaryDirectory elsewhere;
  WriteFile(directory_ / "a.lst", "project");
  chmod((directory_ / "a.lst").c_str(), 0600);
  WriteFile(elsewhere / "outside", "outside");
  WriteFile(directory_ / "b.lst", "b");
  fs::create_symlink(elsewhere / "nowhere", directory_ / "b.lst.bak");

  EXPECT_TRUE(platform_->CopyToNewFile(Wide(directory_ / "a.lst"), Wide(directory_ / "a.lst.bak")));
  EXPECT_FALSE(
      platform_->CopyToNewFile(Wide(directory_ / "b.lst"), Wide(directory_ / "b.lst.bak")));
  platform_->Finish();

  EXPECT_EQ(ReadFile(directory_ / "a.lst.bak"), "project");
  EXPECT_EQ(PermissionBits(directory_ / "a.lst.bak"), 0600u);
  EXPECT_TRUE(fs::is_symlink(directory_ / "b.lst.bak"));
  EXPECT_FALSE(fs::exists(elsewhere / "nowhere"));
  EXPECT_EQ(Names(directory_.path()),
            (std::set<std::string>{"a.lst", "a.lst.bak", "b.lst", "b.lst.bak"}));
}

TEST_F(PosixPlatformTest, NeverOpensAFifoOrADanglingLink) {
  ASSERT_EQ(mkfifo((directory_ / "f.lst").c_str(), 0600), 0);
  fs::create_symlink(directory_ / "nowhere", directory_ / "dangling.lst");
  for (const char* name : {"f.lst", "dangling.lst"}) {
    EXPECT_FALSE(platform_->CopyToNewFile(Wide(directory_ / name), Wide(directory_ / "x.bak")));
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

  EXPECT_TRUE(platform_->CopyToNewFile(Wide(project), Wide(directory_ / "p.lst.bak")));
  EXPECT_TRUE(ReadAndReplace(*platform_, Wide(project), "new"));

  for (const fs::path& path : {project, directory_ / "p.lst.bak"}) {
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 07640u) << path;
    EXPECT_EQ(after.st_uid, before.st_uid) << path;
    EXPECT_EQ(after.st_gid, before.st_gid) << path;
  }
}

// Every file is on the disk before it is renamed into place: flushed with its
// whole file system where little else is unwritten; where that flush fails,
// or much else is unwritten, all at once from threads, each alone; on a file
// system where it cannot serve, one after the other. Each operation ends by
// flushing the directory, so that its renames last, an undo's too. The
// backup's rename is on the disk before the project's, which may otherwise
// reach it first, and the project is closed when it is replaced.
TEST_F(PosixPlatformTest, FlushesEachFileBeforeItsRenameAndTheDirectoryAfter) {
  struct stat status {};
  ASSERT_EQ(stat(directory_.path().c_str(), &status), 0);
  const std::string directoryFlushed = "fsync " + std::to_string(status.st_ino);
  for (const FlushWay& way : kFlushWays) {
    TakeWay(way);
    fs::remove(directory_ / "p.lst.bak");
    WriteFile(directory_ / "p.lst", "old");
    const std::string backupRenamed = "rename " + std::to_string(Inode(directory_ / "p.lst"));
    std::vector<std::string> replaced;
    const std::function<void()> operations[] = {
        [&] {
          platform_->CopyToNewFile(Wide(directory_ / "p.lst"), Wide(directory_ / "p.lst.bak"));
          platform_->Finish();
        },
        [&] {
          EXPECT_TRUE(ReadAndReplace(*platform_, Wide(directory_ / "p.lst"), "new"));
          replaced = fileEvents;
        },
        [&] {
          const FileVersion read = platform_->ReadWholeFile(Wide(directory_ / "p.lst"))->version;
          EXPECT_TRUE(
              platform_
                  ->RestoreBackup(Wide(directory_ / "p.lst"), Wide(directory_ / "p.lst.bak"), read)
                  .done());
        },
    };
    for (const auto& operation : operations) {
      fileEvents.clear();
      recordingFileEvents = true;
      operation();
      recordingFileEvents = false;
      for (auto event = fileEvents.begin(); event != fileEvents.end(); ++event) {
        if (event->starts_with("rename ") && *event != "rename onto open file") {
          EXPECT_TRUE(std::find(fileEvents.begin(), event, "fsync " + event->substr(7)) != event ||
                      std::find(fileEvents.begin(), event, "syncfs") != event);
        }
      }
      ASSERT_FALSE(fileEvents.empty());
      EXPECT_EQ(fileEvents.back(), directoryFlushed);
      EXPECT_EQ(std::count(fileEvents.begin(), fileEvents.end(), "rename onto open file"), 0);
    }
    const auto backup = std::find(replaced.begin(), replaced.end(), backupRenamed);
    const auto project = std::find_if(backup, replaced.end(), [&](const std::string& event) {
      return event.starts_with("rename ") && event != backupRenamed;
    });
    ASSERT_NE(project, replaced.end());
    EXPECT_NE(std::find(backup, project, directoryFlushed), project);
  }
  TakeWay(kMachinesWay);
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
  EXPECT_FALSE(platform_->CopyToNewFile(Wide(fifo), Wide(directory_ / "f.lst.bak")));
  EXPECT_FALSE(ReadAndReplace(*platform_, Wide(fifo), "new"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(writerOpened);
  const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  close(release);
}

// An access ACL as Linux keeps it in "system.posix_acl_access": the owner
// rw-, the user daemon (uid 1) rw-, the group r--, the mask rw-, others none.
std::string AccessAcl() {
  std::string acl("\x02\0\0\0", 4);
  const auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
    for (int shift = 0; shift < 16; shift += 8) acl.push_back(static_cast<char>(tag >> shift));
    for (int shift = 0; shift < 16; shift += 8)
      acl.push_back(static_cast<char>(permissions >> shift));
    for (int shift = 0; shift < 32; shift += 8) acl.push_back(static_cast<char>(id >> shift));
  };
  entry(0x01, 6, ~0u);
  entry(0x02, 6, 1);
  entry(0x04, 4, ~0u);
  entry(0x10, 6, ~0u);
  entry(0x20, 0, ~0u);
  return acl;
}

std::optional<std::string> Attribute(const fs::path& path, const char* name) {
  std::string value(256, '\0');
  const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
  if (size < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(size));
  return value;
}

TEST_F(PosixPlatformTest, KeepsAclsAndExtendedAttributesAndAddsNone) {
  const fs::path project = directory_ / "p.lst", plain = directory_ / "plain.lst";
  WriteFile(project, "old");
  WriteFile(plain, "old");
  chmod(plain.c_str(), 0600);
  const std::string acl = AccessAcl();
  if (setxattr(project.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      setxattr(project.c_str(), "user.origin", "designer", 8, 0) != 0 ||
      setxattr(directory_.path().c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) !=
          0) {
    GTEST_SKIP() << "this file system keeps no ACLs or user attributes";
  }

  EXPECT_TRUE(platform_->CopyToNewFile(Wide(project), Wide(directory_ / "p.lst.bak")));
  EXPECT_TRUE(ReadAndReplace(*platform_, Wide(project), "new"));
  EXPECT_TRUE(ReadAndReplace(*platform_, Wide(plain), "new"));

  for (const fs::path& path : {project, directory_ / "p.lst.bak"}) {
    EXPECT_EQ(Attribute(path, "system.posix_acl_access"), acl) << path;
    EXPECT_EQ(Attribute(path, "user.origin"), "designer") << path;
    EXPECT_EQ(PermissionBits(path), 0660u) << path;  // the group bits show the mask
  }
  // A file without an ACL gets none from the directory's default ACL.
  EXPECT_EQ(Attribute(plain, "system.posix_acl_access"), std::nullopt);
  EXPECT_EQ(PermissionBits(plain), 0600u);
}

// An access ACL that cannot be copied takes the group's access away (the
// group bits would otherwise widen the ACL's mask to the whole group); any
// other attribute that cannot be copied changes no permission.
TEST_F(PosixPlatformTest, OnlyALostAclTakesTheGroupsAccessAway) {
  const fs::path project = directory_ / "p.lst";
  const std::string acl = AccessAcl();
  for (const auto& [refused, mode] :
       {std::pair{"system.posix_acl_access", 0600u}, std::pair{"user.origin", 0660u}}) {
    WriteFile(project, "old");
    if (setxattr(project.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
        setxattr(project.c_str(), "user.origin", "designer", 8, 0) != 0) {
      GTEST_SKIP() << "this file system keeps no ACLs or user attributes";
    }
    refusedAttribute = refused;
    EXPECT_TRUE(ReadAndReplace(*platform_, Wide(project), "new"));
    refusedAttribute.clear();
    EXPECT_EQ(PermissionBits(project), mode) << refused;
  }
}

// A write that fails on its way to the disk, reported by the file's flush
// or, after a flush of the whole file system, by the check of each file,
// whichever way the files are flushed: the project keeps its bytes.
TEST_F(PosixPlatformTest, AFailedWriteLeavesTheProjectAsItWas) {
  for (const FlushWay& way : kFlushWays) {
    TakeWay(way);
    WriteFile(directory_ / "p.lst", "old");
    writebackError = EIO;
    const FileVersion read = platform_->ReadWholeFile(Wide(directory_ / "p.lst"))->version;
    const Outcome outcome = testing::Replace(*platform_, Wide(directory_ / "p.lst"), "new", read);
    EXPECT_EQ(outcome.failedStep + u": " + outcome.reason,
              u"not written to the disk: Input/output error");
    writebackError = 0;
    EXPECT_EQ(ReadFile(directory_ / "p.lst"), "old") << way.meminfo << way.fileSystemFlushFails;
    for (const std::string& name : Names(directory_.path())) {
      EXPECT_FALSE(name.starts_with(".lstconvert-")) << name;
    }
  }
  TakeWay(kMachinesWay);
}

// A file that holds more than its size said when it was opened, as one that
// grows while it is read, is read whole: the read buffer grows under the
// bytes already read. A /proc file, whose size shows 0, makes it grow at
// every read.
TEST_F(PosixPlatformTest, ReadsAFileThatGrowsWhileItIsRead) {
  const fs::path growing = "/proc/version";
  if (!fs::exists(growing)) GTEST_SKIP() << "no /proc";
  const std::optional<FileContent> read = platform_->ReadWholeFile(Wide(growing));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->bytes, ReadFile(growing));
}

// Undoing a conversion puts the backup back over the project, the version
// read just before; where the rename fails or the project changed meanwhile,
// the project and its backup stay as they were.
TEST_F(PosixPlatformTest, ABackupIsPutBackOnlyOverTheVersionRead) {
  const fs::path project = directory_ / "p.lst", backup = directory_ / "p.lst.bak";
  struct Case {
    int renameFails;
    bool savedMeanwhile;
    std::u16string outcome;
  };
  for (const Case& c :
       {Case{EIO, false, u"not put back: Input/output error"},
        Case{0, true, u"changed by another program since it was read: "}, Case{0, false, u": "}}) {
    WriteFile(project, "original");
    ASSERT_TRUE(ReadAndReplace(*platform_, Wide(project), "converted"));
    const FileVersion read = platform_->ReadWholeFile(Wide(project))->version;
    if (c.savedMeanwhile) {
      WriteFile(directory_ / "saved", "saved");
      fs::rename(directory_ / "saved", project);
    }
    renameError = c.renameFails;
    const Outcome outcome = platform_->RestoreBackup(Wide(project), Wide(backup), read);
    renameError = 0;
    EXPECT_EQ(outcome.failedStep + u": " + outcome.reason, c.outcome);
    const bool restored = outcome.done();
    EXPECT_EQ(ReadFile(project), restored ? "original" : c.savedMeanwhile ? "saved" : "converted");
    std::set<std::string> names = {"p.lst", "p.lst.bak"};
    if (restored) names.erase("p.lst.bak");
    EXPECT_EQ(Names(directory_.path()), names);
    fs::remove(backup);
  }
}

// Where the kernel cannot copy, the copy is read and written instead.
TEST_F(PosixPlatformTest, CopiesWhereTheKernelCannot) {
  WriteFile(directory_ / "p.lst", "project");
  for (const int error : {ENOSYS, EOPNOTSUPP, EXDEV, EINVAL, EPERM}) {
    fs::remove(directory_ / "p.lst.bak");
    copyRangeError = error;
    EXPECT_TRUE(
        platform_->CopyToNewFile(Wide(directory_ / "p.lst"), Wide(directory_ / "p.lst.bak")))
        << error;
    platform_->Finish();
    copyRangeError = 0;
    EXPECT_EQ(ReadFile(directory_ / "p.lst.bak"), "project") << error;
  }
}

// A save by another program is never overwritten: saved as a new file after
// the read and before the backup is made, when the backup an earlier run made
// stays too (it would otherwise be replaced by the old text); or right after
// the backup is made, in place, as long as the old content and within the
// same second, when only the nanoseconds of the modification time tell it.
TEST_F(PosixPlatformTest, ASaveAfterTheReadStays) {
  const fs::path project = directory_ / "p.lst", backup = directory_ / "p.lst.bak";
  for (const bool beforeTheBackup : {true, false}) {
    WriteFile(project, "old");
    WriteFile(backup, "earlier backup");
    const std::optional<FileContent> read = platform_->ReadWholeFile(Wide(project));
    ASSERT_TRUE(read);
    afterRename = [&](const std::string& to) {
      struct stat before {};
      if (to != backup.string() || stat(project.c_str(), &before) != 0) return;
      WriteFile(project, "new");
      const timespec times[] = {before.st_atim,
                                {before.st_mtim.tv_sec, (before.st_mtim.tv_nsec + 1) % 1000000000}};
      utimensat(AT_FDCWD, project.c_str(), times, 0);
    };
    platform_->ReplaceWholeFile(Wide(project), testing::OnePiece("converted"), read->version,
                                Wide(backup), [](const Outcome&) {});
    if (beforeTheBackup) {
      afterRename = nullptr;
      WriteFile(directory_ / "saved", "new");
      fs::rename(directory_ / "saved", project);
    }
    platform_->Finish();
    afterRename = nullptr;
    EXPECT_EQ(ReadFile(project), "new") << beforeTheBackup;
    if (beforeTheBackup) {
      EXPECT_EQ(ReadFile(backup), "earlier backup");
    }
    EXPECT_EQ(Names(directory_.path()), (std::set<std::string>{"p.lst", "p.lst.bak"}));
  }
}

// Run as root: a user who may not give a file to its owner still keeps its
// group, which that user belongs to.
TEST_F(PosixPlatformTest, KeepsTheGroupWhereTheOwnerCannotBeKept) {
  const passwd* nobody = getpwnam("nobody");
  if (getuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
  const gid_t group = nobody->pw_gid == 1 ? 2 : 1;
  const fs::path project = directory_ / "p.lst";
  WriteFile(project, "old");
  ASSERT_EQ(chown(project.c_str(), 0, group), 0);
  ASSERT_EQ(chmod(project.c_str(), 0664), 0);
  ASSERT_EQ(chmod(directory_.path().c_str(), 0777), 0);
  const pid_t child = fork();
  if (child == 0) {
    const bool dropped =
        setgroups(1, &group) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0;
    _exit(dropped && ReadAndReplace(*platform_, Wide(project), "new") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat after {};
  ASSERT_EQ(stat(project.c_str(), &after), 0);
  EXPECT_EQ(ReadFile(project), "new");
  EXPECT_EQ(after.st_uid, nobody->pw_uid);
  EXPECT_EQ(after.st_gid, group);
  EXPECT_EQ(after.st_mode & 07777, 0664u);
}

TEST(PosixStartup, FailsWithoutAProgramName) {
  char empty[1] = "";
  char* argv[2] = {empty, nullptr};
  EXPECT_FALSE(CreatePlatform(1, argv)->Startup());
  EXPECT_FALSE(CreatePlatform(0, argv)->Startup());
}

}  // namespace
}  // namespace lstconvert
