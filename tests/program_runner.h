// Runs the built program in a directory for the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "file_helpers.h"

namespace lstconvert::testing {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // exit status, or -1 if the program did not exit by itself
  int signal = 0;   // the signal that ended it, if one did
  std::string out, err;
};

// The program started in a directory, its standard output and error going to
// files of their own.
class StartedProgram {
 public:
  struct Options {
    const char* argv0 = "lstconvert";
    const char* input = "/dev/null";
    std::string program = LSTCONVERT_PROGRAM;
    // Run as this user and group instead (when started as root).
    std::optional<std::pair<uid_t, gid_t>> user;
    std::vector<std::string> arguments = {};
    int ignoredSignal = 0;  // started with this signal ignored, as by nohup
    // Limits (setrlimit) on open files, address space, ... as small machines,
    // containers and macOS set them.
    std::vector<std::pair<int, rlim_t>> limits = {};
    int inheritedDescriptors = 0;  // open files the program is given, as some callers do
    fs::path controlGroup = {};    // a control group's folder to run in
  };

  StartedProgram(const fs::path& directory, const Options& options) {
    pid_ = fork();
    if (pid_ != 0) return;
    setsid();
    const char* input = options.input;
    const int in = open(input, O_RDWR);
    const int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0 || e < 0) _exit(127);
    if (options.user && getuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(options.user->second) != 0 ||
          setuid(options.user->first) != 0) {
        _exit(126);
      }
    }
    if (chdir(directory.c_str()) != 0) _exit(127);
    if (!options.controlGroup.empty()) {
      const std::string pid = std::to_string(getpid());
      const int procs = open((options.controlGroup / "cgroup.procs").c_str(), O_WRONLY);
      if (procs < 0 || write(procs, pid.data(), pid.size()) < 0) _exit(127);
      close(procs);
    }
    // The stop signals start at their defaults whatever the tests were
    // started with: a shell starts a background job with SIGINT ignored.
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(stop, SIG_DFL);
    if (options.ignoredSignal != 0) signal(options.ignoredSignal, SIG_IGN);
    for (const auto& [resource, value] : options.limits) {
      const rlimit limit{value, value};
      if (setrlimit(resource, &limit) != 0) _exit(127);
    }
    for (int i = 0; i < options.inheritedDescriptors; ++i) open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv = {const_cast<char*>(options.argv0)};
    for (const std::string& argument : options.arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(options.program.c_str(), argv.data());
    _exit(127);
  }

  // A program still running when its test ends, on a failure too, is killed
  // and reaped: it must not go on waiting and holding the test's files.
  ~StartedProgram() {
    if (pid_ > 0 && !exited_ && waitpid(pid_, &status_, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }

  pid_t pid() const { return pid_; }
  bool Running() const { return pid_ > 0 && kill(pid_, 0) == 0 && !Exited(); }
  std::string Err() const { return ReadFile(err_); }

  // Waits for the program to end; after two minutes it is killed and reported
  // as not exited.
  Outcome Wait() {
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!Exited()) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (exited_ && WIFEXITED(status_)) outcome.status = WEXITSTATUS(status_);
    if (exited_ && WIFSIGNALED(status_)) outcome.signal = WTERMSIG(status_);
    outcome.out = ReadFile(out_);
    outcome.err = ReadFile(err_);
    return outcome;
  }

 private:
  bool Exited() const {
    if (!exited_) exited_ = waitpid(pid_, &status_, WNOHANG) == pid_;
    return exited_;
  }

  TemporaryDirectory outputs_;
  const fs::path out_ = outputs_ / "out", err_ = outputs_ / "err";
  pid_t pid_ = -1;
  mutable int status_ = 0;
  mutable bool exited_ = false;
};

// Runs the program in `directory` with standard input from /dev/null.
inline Outcome RunProgram(const fs::path& directory, const StartedProgram::Options& options = {}) {
  return StartedProgram(directory, options).Wait();
}

// A pseudo terminal to start the program with as its standard input: what
// the test types, the program reads as typed at a terminal.
class Terminal {
 public:
  Terminal() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master_ >= 0 && (grantpt(master_) != 0 || unlockpt(master_) != 0)) Close();
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  ~Terminal() { Close(); }
  bool opened() const { return master_ >= 0; }
  const char* name() const { return ptsname(master_); }
  bool PressEnter() const { return write(master_, "\n", 1) == 1; }

 private:
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  int master_;
};

// What a volume may lack (FAT, exFAT and NTFS through FUSE lack some): the
// end-to-end tests skip what the volume of their temporary directories
// cannot hold, so that they can run on any file system.
enum VolumeFeature : unsigned {
  kSpecialFiles = 1,        // FIFOs and sockets
  kLinks = 2,               // symbolic links, followed
  kPermissions = 4,         // permission bits, and owners when run as root
  kCaseSensitiveNames = 8,  // "A" and "a" are two names
};

// Whether that volume holds all of `features`, found out once by trying them.
inline bool VolumeHolds(unsigned features) {
  static const unsigned held = [] {
    TemporaryDirectory probe;
    const fs::path file = probe / "a";
    WriteFile(file, "");
    struct stat status {};
    unsigned found = 0;
    if (mknod((probe / "fifo").c_str(), S_IFIFO | 0600, 0) == 0 && fs::is_fifo(probe / "fifo") &&
        mknod((probe / "socket").c_str(), S_IFSOCK | 0600, 0) == 0 &&
        fs::is_socket(probe / "socket")) {
      found |= kSpecialFiles;
    }
    std::error_code unreadable;  // an SFTP share makes absolute links it cannot read back
    if (symlink(file.c_str(), (probe / "link").c_str()) == 0 && fs::is_symlink(probe / "link") &&
        fs::read_symlink(probe / "link", unreadable) == file) {
      found |= kLinks;
    }
    if (chmod(file.c_str(), 0640) == 0 && PermissionBits(file) == 0640 &&
        (getuid() != 0 || (lchown(file.c_str(), 1, 1) == 0 && lstat(file.c_str(), &status) == 0 &&
                           status.st_uid == 1))) {
      found |= kPermissions;
    }
    if (!fs::exists(probe / "A")) found |= kCaseSensitiveNames;
    return found;
  }();
  return (held & features) == features;
}

inline std::string Unsaved(const fs::path& path) {
  return "lstconvert: The file " + path.string() +
         " must be saved in the List&Label designer. It cannot be processed!\n";
}

inline std::string Bound(const fs::path& path) {
  return "lstconvert: The file " + path.string() +
         " has been set to work with the table Partlist in the List&Label designer. It cannot be "
         "processed!\n";
}

// Waits up to ten seconds for `condition`.
template <typename Condition>
inline bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace lstconvert::testing
