// End-to-end tests of what the program must survive: being killed at any
// moment, strange entries, missing permissions, huge and random files, and
// unusual names. Nothing may be lost, nothing may hang.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "file_helpers.h"
#include "program_runner.h"
#include "test_bytes.h"

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::Bound;
using testing::Names;
using testing::Outcome;
using testing::ReadFile;
using testing::RunProgram;
using testing::StartedProgram;
using testing::TemporaryDirectory;
using testing::Unsaved;
using testing::Utf16File;
using testing::VolumeHolds;
using testing::WriteFile;

using Corpus = std::map<std::string, std::string>;

// A seeded corpus of projects: most accepted, some refused, some large, both
// encodings.
Corpus MakeCorpus(int count, unsigned seed) {
  std::mt19937 random(seed);
  Corpus corpus;
  for (int i = 0; i < count; ++i) {
    std::string text = "[Project]\r\n  Version=21\r\n";
    const int kind = static_cast<int>(random() % 10);
    if (kind != 0) text += "  TableID=\r\n  Source=[Table:]\r\n";
    if (kind == 1) text += "  TableID=Partlist\r\n";
    text += "  Fields=PartNo;Name;FirstName;Count\r\n  Filter=Name<>FirstName\r\n";
    for (int sum = 1; sum <= 9; ++sum) {
      text += "  Sum" + std::to_string(sum) + "=Count*PartNo\r\n";
    }
    const std::size_t filler = random() % 20 == 0 ? 20000 : random() % 200;
    for (std::size_t line = 0; line < filler; ++line) {
      text += "  Object" + std::to_string(line) + "=Text field with Name and Count in it\r\n";
    }
    std::string bytes = text;
    if (random() % 3 == 0) {
      bytes = Utf16File(std::u16string(text.begin(), text.end()));
    }
    corpus["p" + std::to_string(i) + ".lst"] = bytes;
  }
  return corpus;
}

void WriteCorpus(const Corpus& corpus, const fs::path& directory) {
  for (const auto& [name, bytes] : corpus) WriteFile(directory / name, bytes);
}

// The program killed with SIGKILL, or stopped with SIGINT, SIGTERM or
// SIGHUP, at random moments of its run: every project is either as it was
// or completely converted, every backup absent or a complete copy; a
// stopped run ends as the signal ends it and leaves no temporary file. A
// later run converts the rest, removes what a killed run left and keeps
// every original as its backup.
TEST(ProgramSafety, AKilledOrStoppedRunLosesNothing) {
  const Corpus corpus = MakeCorpus(200, 20261208);
  TemporaryDirectory reference;
  WriteCorpus(corpus, reference.path());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunProgram(reference.path()).status, 0);
  const auto fullRun = std::chrono::steady_clock::now() - start;
  Corpus converted;
  for (const auto& [name, bytes] : corpus) converted[name] = ReadFile(reference / name);
  ASSERT_NE(converted, corpus) << "the uninterrupted run converted nothing";

  std::mt19937 random(7);
  int leftovers = 0;
  const int signals[] = {SIGKILL, SIGINT, SIGTERM, SIGHUP};
  for (int trial = 0; trial < 24; ++trial) {
    const int signal = signals[trial % 4];
    TemporaryDirectory directory;
    WriteCorpus(corpus, directory.path());
    StartedProgram program(directory.path(), {});
    std::uniform_int_distribution<long long> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(fullRun).count());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(program.pid(), signal);
    const Outcome stopped = program.Wait();
    EXPECT_TRUE(stopped.signal == signal || stopped.status == 0) << "trial " << trial;

    int temporaries = 0;
    for (const std::string& name : Names(directory.path())) {
      temporaries += name.starts_with(".lstconvert-") ? 1 : 0;
    }
    EXPECT_TRUE(signal == SIGKILL || temporaries == 0) << "trial " << trial;
    leftovers += temporaries;
    for (const auto& [name, bytes] : corpus) {
      const std::string now = ReadFile(directory / name);
      EXPECT_TRUE(now == bytes || now == converted[name]) << name << " in trial " << trial;
      if (fs::exists(directory / (name + ".bak")) || now != bytes) {
        EXPECT_EQ(ReadFile(directory / (name + ".bak")), bytes) << name << " in trial " << trial;
      }
    }

    ASSERT_EQ(RunProgram(directory.path()).status, 0);
    for (const auto& [name, bytes] : corpus) {
      EXPECT_EQ(ReadFile(directory / name), converted[name]) << name << " in trial " << trial;
      EXPECT_EQ(ReadFile(directory / (name + ".bak")), bytes) << name << " in trial " << trial;
    }
    for (const std::string& name : Names(directory.path())) {
      EXPECT_FALSE(name.starts_with(".lstconvert-")) << name << " in trial " << trial;
    }
  }
  std::cout << leftovers << " temporary files left by 6 killed runs\n";
}

// Two runs started together in one directory take turns: the second finds
// every project converted, and every original stays in its backup.
TEST(ProgramSafety, TwoRunsAtOnceLoseNothing) {
  const Corpus corpus = MakeCorpus(300, 16);
  TemporaryDirectory reference;
  WriteCorpus(corpus, reference.path());
  ASSERT_EQ(RunProgram(reference.path()).status, 0);
  for (int trial = 0; trial < 3; ++trial) {
    TemporaryDirectory directory;
    WriteCorpus(corpus, directory.path());
    StartedProgram first(directory.path(), {}), second(directory.path(), {});
    EXPECT_EQ(first.Wait().status, 0);
    EXPECT_EQ(second.Wait().status, 0);
    for (const auto& [name, bytes] : corpus) {
      EXPECT_EQ(ReadFile(directory / name), ReadFile(reference / name)) << name;
      EXPECT_EQ(ReadFile(directory / (name + ".bak")), bytes) << name;
    }
    EXPECT_EQ(Names(directory.path()).size(), 2 * corpus.size());
  }
}

// A memory control group of its own below the process's (cgroup v1's memory
// controller or cgroup v2), limited to `limit` bytes; none where it cannot be
// made, as without root.
class MemoryGroup {
 public:
  explicit MemoryGroup(std::uintmax_t limit) {
    if (limit == 0) return;
    const std::string groups = "\n" + ReadFile("/proc/self/cgroup");
    for (const auto& [mark, root, file] :
         {std::tuple{":memory:/", "/sys/fs/cgroup/memory", "memory.limit_in_bytes"},
          {"\n0::/", "/sys/fs/cgroup", "memory.max"}}) {
      const std::size_t at = groups.find(mark);
      if (at == std::string::npos) continue;
      const std::size_t start = at + std::string_view(mark).size();
      fs::path path = fs::path(root) / groups.substr(start, groups.find('\n', start) - start) /
                      ("lstconvert-test-" + std::to_string(getpid()));
      std::error_code error;
      if (!fs::create_directory(path, error)) continue;
      std::ofstream(path / file) << limit;
      if (ReadFile(path / file) == std::to_string(limit) + "\n") {
        path_ = path;
        return;
      }
      fs::remove(path, error);
    }
  }
  ~MemoryGroup() {
    std::error_code error;
    if (!path_.empty()) fs::remove(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Within the limits of a small machine or a container every project is
// still converted: under a low limit on open files, some of them taken by
// the caller (so many that a group's files cannot all be open at once,
// however soon the groups before it end: with one number a project's read
// runs out of them, with the next its replacement); where no thread can be started (strace fails
// the program's clone3 as a limit on processes does); beside a file too large for the memory left,
// for a limit on address space (read, or only converted), or for a memory control group (over half
// its limit), which is refused as one that cannot be read and left as it is, with no backup and
// nothing else left; a project of a quarter to half of that limit is converted.
TEST(ProgramSafety, ConvertsEveryProjectWithinTheMachinesLimits) {
  struct Case {
    int projects;
    rlim_t descriptors, addressSpace;
    int inherited;
    bool threadless;
    // The size of a sparse huge.lst among the projects; its line ends are
    // LF, which the conversion makes CR LF in copies of its text.
    std::uintmax_t huge;
    // A memory control group's limit, and the size of a sparse mid.lst that
    // must be converted within it.
    std::uintmax_t groupLimit = 0, middle = 0;
  };
  const auto memory = static_cast<std::uintmax_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  const Case cases[] = {{6000, 256, 0, 0, false, 0},
                        {3000, 64, 0, 0, false, 0},
                        {3000, 32, 0, 0, false, 0},
                        {300, 64, 0, 47, false, 0},
                        {300, 64, 0, 48, false, 0},
                        {100, 0, 0, 0, true, 0},
                        {3, 0, 0, 0, false, memory + 1},
                        {3, 0, 150 << 20, 0, false, 200 << 20},
                        {3, 0, 160 << 20, 0, false, 60 << 20},
                        {3, 0, 0, 0, false, 150 << 20, 256 << 20, 70 << 20}};
  for (const Case& c : cases) {
    const std::string what =
        std::to_string(c.projects) + " projects, " + std::to_string(c.descriptors) +
        " descriptors (" + std::to_string(c.inherited) + " taken), address space " +
        std::to_string(c.addressSpace) + (c.threadless ? ", no thread" : "") + ", huge.lst of " +
        std::to_string(c.huge) + ", control group of " + std::to_string(c.groupLimit);
    StartedProgram::Options options;
    if (c.descriptors != 0) options.limits.push_back({RLIMIT_NOFILE, c.descriptors});
    if (c.addressSpace != 0) options.limits.push_back({RLIMIT_AS, c.addressSpace});
    options.inheritedDescriptors = c.inherited;
    TemporaryDirectory directory;
    // AddressSanitizer's runtime takes several times the memory the program does.
    if (c.groupLimit != 0 && dlsym(RTLD_DEFAULT, "__asan_init") != nullptr) {
      std::cout << "left out: " << what << " (under AddressSanitizer)\n";
      continue;
    }
    const MemoryGroup group(c.groupLimit);
    if (c.groupLimit != 0 && group.path().empty()) {
      std::cout << "left out: " << what << " (no memory control group can be made here)\n";
      continue;
    }
    options.controlGroup = group.path();
    if (c.threadless) {
      if (access("/usr/bin/strace", X_OK) != 0) continue;
      options.program = "/usr/bin/strace";
      options.arguments = {"-f",
                           "-qq",
                           "-o",
                           "/dev/null",
                           "-e",
                           "trace=clone3",
                           "-e",
                           "inject=clone3:error=EAGAIN",
                           LSTCONVERT_PROGRAM};
    }
    if (c.addressSpace != 0 || c.threadless) {
      // A sanitizer's runtime needs more address space, and no tracer.
      StartedProgram::Options probe = options;
      probe.arguments.push_back("--version");
      if (RunProgram(directory.path(), probe).status != 0) {
        std::cout << "left out: " << what << " (the program does not start so: a sanitizer?)\n";
        continue;
      }
    }
    for (int i = 0; i < c.projects; ++i) {
      WriteFile(directory / ("p" + std::to_string(i) + ".lst"), "  TableID=\r\n");
    }
    std::error_code sparse;
    if (c.middle != 0) {
      WriteFile(directory / "mid.lst", "  TableID=\r\n");
      fs::resize_file(directory / "mid.lst", c.middle, sparse);
    }
    if (c.huge != 0) {
      WriteFile(directory / "huge.lst", "  TableID=\n");
      fs::resize_file(directory / "huge.lst", c.huge, sparse);
      if (sparse) {
        std::cout << "left out: " << what << " (" << sparse.message() << ")\n";
        continue;
      }
    }
    const Outcome run = RunProgram(directory.path(), options);
    EXPECT_EQ(run.status, 0) << what;
    EXPECT_EQ(run.err, c.huge != 0 ? Unsaved(directory / "huge.lst") : "") << what;
    int converted = 0;
    for (int i = 0; i < c.projects; ++i) {
      converted +=
          ReadFile(directory / ("p" + std::to_string(i) + ".lst")) == "  TableID=Partlist\r\n";
    }
    EXPECT_EQ(converted, c.projects) << what;
    EXPECT_EQ(Names(directory.path()).size(),
              2u * c.projects + (c.huge != 0 ? 1 : 0) + (c.middle != 0 ? 2 : 0))
        << what;
    if (c.middle != 0) {
      EXPECT_EQ(ReadFile(directory / "mid.lst").substr(0, 20), "  TableID=Partlist\r\n") << what;
    }
    if (c.huge != 0) {
      EXPECT_EQ(fs::file_size(directory / "huge.lst"), c.huge) << what;
    }
  }
}

TEST(ProgramSafety, StrangeEntriesAreRefusedWithoutHanging) {
  if (!VolumeHolds(testing::kSpecialFiles | testing::kLinks)) {
    GTEST_SKIP() << "the volume holds no FIFOs, sockets or symbolic links";
  }
  TemporaryDirectory directory, elsewhere;
  ASSERT_EQ(mkfifo((directory / "fifo.lst").c_str(), 0600), 0);
  const int server = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (directory / "socket.lst").string();
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  fs::create_directory(directory / "dir.lst");
  fs::create_symlink(directory / "nowhere", directory / "dangling.lst");
  WriteFile(directory / "linked.lst", "  TableID=\r\n");
  WriteFile(elsewhere / "outside", "outside");
  fs::create_symlink(elsewhere / "outside", directory / "linked.lst.bak");

  const Outcome run = RunProgram(directory.path());
  close(server);

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, Unsaved(directory / "dangling.lst") + Unsaved(directory / "dir.lst") +
                         Unsaved(directory / "fifo.lst") + Unsaved(directory / "socket.lst"));
  EXPECT_EQ(ReadFile(directory / "linked.lst"), "  TableID=Partlist\r\n");
  EXPECT_FALSE(fs::is_symlink(directory / "linked.lst.bak"));
  EXPECT_EQ(ReadFile(directory / "linked.lst.bak"), "  TableID=\r\n");
  EXPECT_EQ(ReadFile(elsewhere / "outside"), "outside");
  EXPECT_TRUE(fs::is_fifo(directory / "fifo.lst"));
  EXPECT_TRUE(fs::is_socket(directory / "socket.lst"));
}

// Run as an unprivileged user (when the tests run as root): a read-only
// project and the projects of a read-only directory stay as they are, and
// the run ends with status 3; an unreadable project is refused, and an
// unreadable folder is told, also with status 3, while the rest is
// converted.
TEST(ProgramSafety, ReadOnlyFilesAndDirectoriesStayUntouched) {
  const passwd* nobody = getpwnam("nobody");
  if (getuid() == 0 && nobody == nullptr) GTEST_SKIP() << "no user nobody to drop privileges to";
  if (!VolumeHolds(testing::kPermissions))
    GTEST_SKIP() << "the volume keeps no permission bits or owners";
  TemporaryDirectory top;
  const fs::path writable = top / "writable", readOnly = top / "read-only";
  const fs::path unlisted = top / "unlisted", other = top / "other";
  const fs::path program = top / "lstconvert";
  fs::copy_file(LSTCONVERT_PROGRAM, program);
  for (const fs::path& folder : {writable, readOnly, unlisted, other}) fs::create_directory(folder);
  WriteFile(writable / "locked.lst", "  TableID=\r\n");
  WriteFile(writable / "open.lst", "  TableID=\r\n");
  WriteFile(readOnly / "a.lst", "  TableID=\r\n");
  WriteFile(other / "secret.lst", "  TableID=\r\n");
  WriteFile(other / "x.lst", "  TableID=\r\n");
  StartedProgram::Options options{"lstconvert", "/dev/null", program.string(), {}};
  if (getuid() == 0) {
    options.user = {{nobody->pw_uid, nobody->pw_gid}};
    for (const auto& entry : fs::recursive_directory_iterator(top.path())) {
      ASSERT_EQ(lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    ASSERT_EQ(lchown(top.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  chmod((writable / "locked.lst").c_str(), 0444);
  chmod(readOnly.c_str(), 0555);
  chmod(unlisted.c_str(), 0);
  chmod((other / "secret.lst").c_str(), 0);

  const Outcome inWritable = RunProgram(writable, options);
  const Outcome inReadOnly = RunProgram(readOnly, options);
  options.arguments = {"-v", "unlisted", "other"};
  const Outcome named = RunProgram(top.path(), options);

  EXPECT_EQ(inWritable.status, 3);
  EXPECT_EQ(inWritable.err, "");
  EXPECT_EQ(ReadFile(writable / "locked.lst"), "  TableID=\r\n");
  EXPECT_EQ(ReadFile(writable / "locked.lst.bak"), "  TableID=\r\n");
  EXPECT_EQ(ReadFile(writable / "open.lst"), "  TableID=Partlist\r\n");
  EXPECT_EQ(inReadOnly.status, 3);
  EXPECT_EQ(inReadOnly.err, "");
  EXPECT_EQ(ReadFile(readOnly / "a.lst"), "  TableID=\r\n");
  EXPECT_EQ(Names(readOnly), std::set<std::string>{"a.lst"});
  EXPECT_EQ(named.status, 3);
  EXPECT_EQ(named.err, "lstconvert: " + unlisted.string() + ": Permission denied\n" +
                           testing::Unsaved(other / "secret.lst"));
  EXPECT_EQ(named.out, "refused " + (other / "secret.lst").string() +
                           ": cannot be read: Permission denied\nconverted " +
                           (other / "x.lst").string() + "\n1 converted, 1 refused, 0 left\n");
  EXPECT_EQ(ReadFile(other / "x.lst"), "  TableID=Partlist\r\n");
  EXPECT_EQ(Names(other), (std::set<std::string>{"secret.lst", "x.lst", "x.lst.bak"}));
  chmod(readOnly.c_str(), 0755);
  chmod(unlisted.c_str(), 0755);
}

// Projects of every size and shape are converted byte for byte: a huge one,
// and ones written from more pieces than one writev call takes (each LF line
// is two, its text and the new CR LF; each key line of a UTF-16LE file too).
TEST(ProgramSafety, ConvertsLargeProjectsWhole) {
  struct Case {
    std::string name, before, after;
  };
  const std::string head = "[Project]\r\n  TableID=\r\n  Fields=Name;Count\r\n  Filter=Name\r\n";
  const std::string headAfter =
      "[Project]\r\n  TableID=Partlist\r\n  Fields=Name;Count\r\n  Filter=Partlist.Name\r\n";
  Case huge{"huge.lst", head, headAfter}, lf{"lf.lst", head, headAfter};
  Case utf16{"utf16.lst", head + "  Sum1=Count\r\n", headAfter + "  Sum1=Partlist.Count\r\n"};
  const std::size_t utf16Head = utf16.before.size();
  const std::string line = "  Object=" + std::string(90, 'x') + "\r\n";
  while (huge.before.size() < (200u << 20)) huge.before += line;
  huge.after += huge.before.substr(head.size());
  for (int i = 0; i < 2000; ++i) {
    lf.before += "  Object" + std::to_string(i) + "=Name\n";
    lf.after += "  Object" + std::to_string(i) + "=Name\r\n";
    utf16.before += "  Sum1=Count" + std::to_string(i) + "\r\n";
  }
  utf16.after += utf16.before.substr(utf16Head);
  for (std::string* text : {&utf16.before, &utf16.after}) {
    *text = testing::Utf16File(std::u16string(text->begin(), text->end()));
  }
  TemporaryDirectory directory;
  for (const Case* c : {&huge, &lf, &utf16}) WriteFile(directory / c->name, c->before);

  const Outcome run = RunProgram(directory.path());

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  for (const Case* c : {&huge, &lf, &utf16}) {
    const std::string after = ReadFile(directory / c->name);
    EXPECT_TRUE(after == c->after)
        << c->name << ": sizes " << after.size() << " and " << c->after.size();
    EXPECT_TRUE(ReadFile(directory / (c->name + ".bak")) == c->before) << c->name;
  }
}

TEST(ProgramSafety, RandomBytesAreConvertedOrRefusedButNeverLost) {
  std::mt19937 random(42);
  for (int trial = 0; trial < 20; ++trial) {
    TemporaryDirectory directory;
    std::string bytes(1 + random() % 65536, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    if (trial % 2 == 0) bytes.insert(random() % bytes.size(), "\n  TableID=\n");
    WriteFile(directory / "random.lst", bytes);
    const Outcome run = RunProgram(directory.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(directory / "random.lst.bak"), bytes);
    if (!run.err.empty()) {
      EXPECT_EQ(ReadFile(directory / "random.lst"), bytes);
    }
    EXPECT_EQ(Names(directory.path()), (std::set<std::string>{"random.lst", "random.lst.bak"}));
  }
}

TEST(ProgramSafety, UnusualNamesAreConvertedAndPrintedAsTheyAre) {
  TemporaryDirectory directory;
  std::vector<std::string> names;  // those the volume holds (fusefat takes no umlaut)
  for (const std::string name : {"with spaces.lst",
                                 "Gr\xC3\xB6\xC3\x9F"
                                 "e.lst",
                                 "latin1 \xE4.lst", "-leading dash.lst", "--help.lst"}) {
    WriteFile(directory / name, "  TableID=\r\n");
    std::error_code refused;
    if (fs::exists(directory / name, refused)) names.push_back(name);
  }
  WriteFile(directory / "-refused.lst", "nothing\r\n");

  const Outcome run = RunProgram(directory.path());

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, Unsaved(directory / "-refused.lst"));
  for (const std::string& name : names) {
    EXPECT_EQ(ReadFile(directory / name), "  TableID=Partlist\r\n") << name;
    EXPECT_EQ(ReadFile(directory / (name + ".bak")), "  TableID=\r\n") << name;
  }
}

}  // namespace
}  // namespace lstconvert
