// End-to-end tests: the built program run in temporary directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "file_helpers.h"
#include "program_runner.h"
#include "test_bytes.h"

namespace lstconvert {
namespace {

namespace fs = std::filesystem;
using testing::Bound;
using testing::Eventually;
using testing::Names;
using testing::Outcome;
using testing::PermissionBits;
using testing::ReadFile;
using testing::RunProgram;
using testing::StartedProgram;
using testing::TemporaryDirectory;
using testing::Terminal;
using testing::Unsaved;
using testing::Utf16File;
using testing::VolumeHolds;
using testing::WriteFile;

TEST(Program, AProgramStillRunningEndsWithItsTest) {
  TemporaryDirectory directory;
  StartedProgram::Options options;
  options.program = "/bin/sleep";
  options.arguments = {"60"};
  pid_t pid = 0;
  {
    const StartedProgram program(directory.path(), options);
    pid = program.pid();
    ASSERT_TRUE(program.Running());
  }
  EXPECT_NE(kill(pid, 0), 0);  // neither running nor left unreaped
}

TEST(Program, AnEmptyDirectoryGivesNoOutput) {
  TemporaryDirectory directory;
  const Outcome run = RunProgram(directory.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(Names(directory.path()).empty());
}

TEST(Program, ConvertsAMixedDirectory) {
  TemporaryDirectory directory, elsewhere;
  const std::string utf16 = Utf16File(
      u"[Project]\r\n  TableID=\r\n  Source=[Table:]\u00E4\r\n  Fields=Name;Size\r\n  "
      u"Filter=SIZE>Name\r\n");
  const std::string eightBit = "[Project]\n  TableID=\n  Size=\xE4\xFF";
  WriteFile(directory / "a.lst", utf16);
  WriteFile(directory / "B.LST", eightBit);
  WriteFile(directory / "c.lst", "[Project]\r\n");
  WriteFile(directory / "d.lst", "  TableID=Partlist\r\n");
  WriteFile(directory / "e.lstx", "  TableID=\r\n");
  WriteFile(directory / "name %s %d.lst", "  TableID=Partlist\r\n");
  // The FIFO and the links only where the volume holds them.
  const bool fifo = VolumeHolds(testing::kSpecialFiles), links = VolumeHolds(testing::kLinks);
  if (fifo) {
    ASSERT_EQ(mkfifo((directory / "f.lst").c_str(), 0600), 0);
  }
  fs::create_directory(directory / "g.lst");
  if (links) {
    fs::create_symlink(directory / "nowhere", directory / "h.lst");
    WriteFile(elsewhere / "target", "  TableID=\r\n");
    fs::create_symlink(elsewhere / "target", directory / "i.lst");
  }
  WriteFile(directory / "j.lst", "");
  WriteFile(directory / "k.lst", "  TableID=\r\n");
  fs::create_directory(directory / "k.lst.bak");
  chmod((directory / "a.lst").c_str(), 0640);

  const Outcome run = RunProgram(directory.path());

  EXPECT_EQ(run.status, 3);  // k.lst left
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, Unsaved(directory / "c.lst") + Bound(directory / "d.lst") +
                         (fifo ? Unsaved(directory / "f.lst") : "") + Unsaved(directory / "g.lst") +
                         (links ? Unsaved(directory / "h.lst") : "") +
                         Unsaved(directory / "j.lst") + Bound(directory / "name %s %d.lst"));
  EXPECT_EQ(ReadFile(directory / "a.lst"),
            Utf16File(u"[Project]\r\n  TableID=Partlist\r\n  Source=[Table:Partlist]\u00E4\r\n"
                      u"  Fields=Name;Size\r\n  Filter=Partlist.SIZE>Partlist.Name\r\n"));
  if (VolumeHolds(testing::kPermissions)) {
    EXPECT_EQ(PermissionBits(directory / "a.lst"), 0640u);
  }
  EXPECT_EQ(ReadFile(directory / "a.lst.bak"), utf16);
  EXPECT_EQ(ReadFile(directory / "B.LST"),
            "[Project]\r\n  TableID=Partlist\r\n  Size=\xE4\xFF\r\n");
  EXPECT_EQ(ReadFile(directory / "B.LST.bak"), eightBit);
  EXPECT_EQ(ReadFile(directory / "c.lst"), "[Project]\r\n");
  EXPECT_EQ(ReadFile(directory / "e.lstx"), "  TableID=\r\n");
  if (links) {
    EXPECT_EQ(ReadFile(directory / "i.lst"), "  TableID=Partlist\r\n");
    EXPECT_FALSE(fs::is_symlink(directory / "i.lst"));
    EXPECT_EQ(ReadFile(elsewhere / "target"), "  TableID=\r\n");
  }
  EXPECT_TRUE(!fifo || fs::is_fifo(directory / "f.lst"));
  EXPECT_EQ(ReadFile(directory / "k.lst"), "  TableID=\r\n");  // no backup, no conversion
  // Nothing but the projects and their backups: no temporary file survives.
  std::set<std::string> expected = {"a.lst",  "a.lst.bak", "B.LST",          "B.LST.bak",
                                    "c.lst",  "c.lst.bak", "d.lst",          "d.lst.bak",
                                    "e.lstx", "f.lst",     "g.lst",          "h.lst",
                                    "i.lst",  "i.lst.bak", "j.lst",          "j.lst.bak",
                                    "k.lst",  "k.lst.bak", "name %s %d.lst", "name %s %d.lst.bak"};
  if (!fifo) expected.erase("f.lst");
  if (!links) {
    for (const char* name : {"h.lst", "i.lst", "i.lst.bak"}) expected.erase(name);
  }
  EXPECT_EQ(Names(directory.path()), expected);
}

TEST(Program, ASecondRunChangesNothingAndKeepsTheOriginals) {
  TemporaryDirectory directory;
  WriteFile(directory / "a.lst", "  TableID=\r\n");
  ASSERT_EQ(RunProgram(directory.path()).err, "");
  const Outcome second = RunProgram(directory.path());
  EXPECT_EQ(second.err, Bound(directory / "a.lst"));
  EXPECT_EQ(ReadFile(directory / "a.lst"), "  TableID=Partlist\r\n");
  EXPECT_EQ(ReadFile(directory / "a.lst.bak"), "  TableID=\r\n");
}

// The arguments name the folders and project files to convert, in the order
// given and each once, or ask for help or the version, which converts
// nothing; a path that names no folder or project file, or an unknown
// option (each named), converts nothing anywhere. With -v a line tells what
// became of each project and why, and a last one counts them; a project
// left as it was ends the run with status 3. The program runs in `here`,
// beside the folders `A`, `B` and `V` and the file `notes.txt`.
TEST(Program, ArgumentsNameWhatIsConverted) {
  const std::string version = "lstconvert " LSTCONVERT_VERSION "\n";
  const std::string usage = "Usage: lstconvert [-v] [-n] [--diff] [-r] [--undo] [--] [PATH]...\n";
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::set<std::string> converted;  // the projects converted, under the top folder
    std::string out, err;  // with "<top>" for the top folder's path; "usage" for the text
  };
  const std::string unsaved =
      " must be saved in the List&Label designer. It cannot be processed!\n";
  const std::string bound =
      " has been set to work with the table Partlist in the List&Label designer. It cannot be "
      "processed!\n";
  // ro.lst is made read-only, which a volume without permission bits (NTFS,
  // exFAT) ignores: it is converted there.
  const bool readOnly = [] {
    TemporaryDirectory probe;
    WriteFile(probe / "ro", "");
    chmod((probe / "ro").c_str(), 0444);
    return (PermissionBits(probe / "ro") & 0200) == 0;
  }();
  const Case cases[] = {
      {{}, 0, {"here/h.lst"}, "", ""},
      {{"--help"}, 0, {}, "usage", ""},
      {{"-h", "../A"}, 0, {}, "usage", ""},
      {{"-?"}, 0, {}, "usage", ""},
      {{"/?"}, 0, {}, "usage", ""},
      {{"../A", "--version"}, 0, {}, "version", ""},
      {{"-x", "../A", "--frobnicate"},
       2,
       {},
       "",
       "lstconvert: unknown option '-x'\nlstconvert: unknown option '--frobnicate'\n" + usage},
      {{"../B/w.lst", "../A", "../B/x.lst"},
       0,
       {"A/a1.lst", "B/x.lst"},
       "",
       "lstconvert: The file <top>/B/w.lst" + unsaved + "lstconvert: The file <top>/A/a0.lst" +
           unsaved},
      {{"../A/", "../B/x.lst", "../A", "../B/../B/x.lst", "."},
       0,
       {"A/a1.lst", "B/x.lst", "here/h.lst"},
       "",
       "lstconvert: The file <top>/A/a0.lst" + unsaved},
      {{"../A", "../missing", "../notes.txt", "../B/x.lst"},
       2,
       {},
       "",
       "lstconvert: ../missing: No such file or directory\nlstconvert: ../notes.txt: neither a "
       "folder nor a project file (*.lst)\n" +
           usage},
      {{"--", "-x"}, 0, {"here/-x/d.lst"}, "", ""},
      {{"--verbose", "../V"},
       3,
       readOnly ? std::set<std::string>{"V/c.lst"} : std::set<std::string>{"V/c.lst", "V/ro.lst"},
       "converted <top>/V/c.lst\nleft <top>/V/d.lst: backup not made: Is a directory\n"
       "refused <top>/V/g.lst: not a file\nrefused <top>/V/o.lst: bound to the table Orders\n"
       "refused <top>/V/p.lst: bound to Partlist already\n"
       "refused <top>/V/r.lst: not saved in the designer (no TableID= line)\n" +
           std::string(readOnly ? "left <top>/V/ro.lst: read-only\n1 converted, 4 refused, 2 left\n"
                                : "converted <top>/V/ro.lst\n2 converted, 4 refused, 1 left\n"),
       "lstconvert: The file <top>/V/g.lst" + unsaved +
           "lstconvert: The file <top>/V/o.lst has been set to work with the table Orders. It "
           "cannot be processed!\n" +
           "lstconvert: The file <top>/V/p.lst" + bound + "lstconvert: The file <top>/V/r.lst" +
           unsaved},
  };
  const std::string project = "  TableID=\r\n";
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& argument : c.arguments) what += " " + argument;
    TemporaryDirectory top;
    const std::set<std::string> projects = {"here/h.lst", "here/-x/d.lst", "A/a1.lst", "B/x.lst",
                                            "B/y.lst",    "V/c.lst",       "V/d.lst",  "V/ro.lst"};
    for (const char* folder : {"here/-x", "A", "B", "V/d.lst.bak", "V/g.lst"})
      fs::create_directories(top / folder);
    for (const std::string& name : projects) WriteFile(top / name, project);
    WriteFile(top / "A/a0.lst", "unsaved\r\n");
    WriteFile(top / "B/w.lst", "unsaved\r\n");
    WriteFile(top / "V/r.lst", "unsaved\r\n");
    WriteFile(top / "V/o.lst", "  TableID=Orders\r\n");
    WriteFile(top / "V/p.lst", "  TableID=Partlist\r\n");
    WriteFile(top / "notes.txt", project);
    WriteFile(top / "here/.lstconvert-0123456789ab", "left by a killed run");
    chmod((top / "V/ro.lst").c_str(), 0444);
    StartedProgram::Options options;
    options.arguments = c.arguments;
    const Outcome run = RunProgram(top / "here", options);

    const auto expand = [&](std::string text) {
      if (text == "usage") return text;
      for (std::size_t at; (at = text.find("<top>")) != std::string::npos;)
        text.replace(at, 5, top.path().string());
      return text;
    };
    EXPECT_EQ(run.status, c.status) << what;
    if (c.out == "usage") {
      EXPECT_TRUE(run.out.starts_with(usage) && run.out.ends_with(version)) << what << run.out;
    } else if (c.out == "version") {
      EXPECT_TRUE(run.out.starts_with(version)) << what << run.out;
    } else {
      EXPECT_EQ(run.out, expand(c.out)) << what;
    }
    if (c.err == "usage") {
      EXPECT_TRUE(run.err.starts_with(usage) && run.err.ends_with(version)) << what << run.err;
    } else {
      EXPECT_EQ(run.err, expand(c.err)) << what;
    }
    for (const std::string& name : projects) {
      const bool converted = c.converted.contains(name);
      EXPECT_EQ(ReadFile(top / name), converted ? "  TableID=Partlist\r\n" : project)
          << what << name;
      const bool left = c.converted.contains("V/c.lst") && name.starts_with("V/");
      EXPECT_EQ(fs::exists(top / (name + ".bak")), converted || left || name == "V/d.lst")
          << what << name;
    }
    EXPECT_EQ(fs::exists(top / "here/.lstconvert-0123456789ab"),
              !c.converted.contains("here/h.lst"))
        << what;
  }
}

// --undo puts each original back whose project is still as it was
// converted, and only those: a project edited since keeps its work and gets a
// message, a refused project and its copy, and a project without a backup,
// stay silently. A second --undo has nothing to do, and a conversion after
// it converts again.
TEST(Program, UndoPutsBackTheOriginalsOfProjectsStillAsConverted) {
  struct Case {
    std::string name, before;
    void (*afterConversion)(const fs::path& project);
    bool restored;
    std::string line;  // of -v, after "<top>/"
  };
  const std::string project = "[Project]\r\n  TableID=\r\n  Fields=Name\r\n  Filter=Name\n";
  const Case cases[] = {
      {"converted.lst", project, nullptr, true, "restored <top>/converted.lst"},
      {"edited.lst", project,
       [](const fs::path& p) { WriteFile(p, ReadFile(p) + "  Sum1=Name\r\n"); }, false,
       "kept <top>/edited.lst: changed since it was converted"},
      {"same-size.lst", project,
       [](const fs::path& p) {
         std::string text = ReadFile(p);
         WriteFile(p, text.replace(text.rfind("Name"), 4, "Nama"));
       },
       false, "kept <top>/same-size.lst: changed since it was converted"},
      {"refused.lst", "[Project]\r\n", nullptr, false, ""},
      {"no-backup.lst", project, [](const fs::path& p) { fs::remove(p.string() + ".bak"); }, false,
       ""},
      {"unbound.lst", project,
       [](const fs::path& p) { WriteFile(p, "  TableID=\r\n  Sum1=x\r\n"); }, false, ""},
  };
  TemporaryDirectory top;
  for (const Case& c : cases) {
    WriteFile(top / c.name, c.before);
    chmod((top / c.name).c_str(), 0640);
  }
  ASSERT_EQ(RunProgram(top.path()).status, 0);
  std::map<std::string, std::string> converted;
  for (const Case& c : cases) {
    if (c.afterConversion != nullptr) c.afterConversion(top / c.name);
    converted[c.name] = ReadFile(top / c.name);
  }
  StartedProgram::Options undo;
  undo.arguments = {"--undo", "-v"};
  const Outcome run = RunProgram(top.path(), undo);

  EXPECT_EQ(run.status, 0);
  std::string lines, messages;
  for (const Case& c : cases) {
    const std::string path = (top / c.name).string();
    if (!c.line.empty()) {
      lines += std::string(c.line).replace(c.line.find("<top>"), 5, top.path().string()) + "\n";
    }
    if (c.line.starts_with("kept")) {
      messages += "lstconvert: The file " + path +
                  " has been changed since it was converted. Its original stays in " + path +
                  ".bak.\n";
    }
    EXPECT_EQ(ReadFile(top / c.name), c.restored ? c.before : converted[c.name]) << c.name;
    EXPECT_EQ(fs::exists(top / (c.name + ".bak")), !c.restored && c.name != "no-backup.lst")
        << c.name;
    if (VolumeHolds(testing::kPermissions)) {
      EXPECT_EQ(PermissionBits(top / c.name), 0640u) << c.name;
    }
  }
  EXPECT_EQ(run.err, messages);
  EXPECT_EQ(run.out, lines + "1 restored, 2 kept, 0 left\n");

  const auto names = Names(top.path());
  const Outcome again = RunProgram(top.path(), undo);
  // Those kept are still kept.
  EXPECT_EQ(again.out, lines.substr(lines.find('\n') + 1) + "0 restored, 2 kept, 0 left\n");
  EXPECT_EQ(again.err, run.err);
  EXPECT_EQ(Names(top.path()), names);
  ASSERT_EQ(RunProgram(top.path()).status, 0);
  EXPECT_EQ(ReadFile(top / "converted.lst"), converted["converted.lst"]);
  EXPECT_EQ(ReadFile(top / "converted.lst.bak"), project);
}

// What a folder holds, entry by entry: every byte, and the mode, file
// number and times (but the last access) that any change would alter.
std::map<std::string, std::string> Entries(const fs::path& directory) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::directory_iterator(directory)) {
    struct stat s {};
    lstat(entry.path().c_str(), &s);
    for (const long number :
         {static_cast<long>(s.st_mode), static_cast<long>(s.st_ino), s.st_mtim.tv_sec,
          s.st_mtim.tv_nsec, s.st_ctim.tv_sec, s.st_ctim.tv_nsec}) {
      entries[entry.path().filename()] += std::to_string(number) + " ";
    }
    entries[entry.path().filename()] += ReadFile(entry.path());
  }
  return entries;
}

// The lines of a dry run that tell what would become of each project, and
// its count, in the words of a run.
std::string AsRun(const std::string& preview) {
  const std::map<std::string, std::string> words = {{"convert", "converted"},
                                                    {"refuse", "refused"},
                                                    {"leave", "left"},
                                                    {"restore", "restored"},
                                                    {"keep", "kept"}};
  std::string lines;
  std::istringstream in(preview);
  for (std::string line; std::getline(in, line);) {
    const std::size_t verb = line.find(' ', 6);
    if (line.starts_with("would ")) line = words.at(line.substr(6, verb - 6)) + line.substr(verb);
    if (!line.starts_with("-") && !line.starts_with("+") && !line.starts_with(" ") &&
        !line.starts_with("@")) {
      lines += line + "\n";
    }
  }
  return lines;
}

// A dry run, with --diff and with --undo, changes nothing at all, takes no
// lock and shows no message; it tells, project for project, what the run
// then does, and its diff shows exactly the lines that run changes, in both
// encodings and in hunks of three lines of context.
TEST(Program, ADryRunChangesNothingAndTellsWhatTheRunThenDoes) {
  TemporaryDirectory directory;
  const fs::path& d = directory.path();
  WriteFile(d / "a.lst", "[P]\n  TableID=\n  Fields=Name\n1\n2\n3\n4\n5\n6\n  Filter=Name\n");
  WriteFile(d / "b.lst",
            Utf16File(u"  TableID=\r\n  Text=Gr\u00F6\u00DFe \U0001F600\r\n  Source=[Table:]"));
  WriteFile(d / "c.lst", "unsaved\r\n");
  WriteFile(d / "e.lst", "  TableID=Orders\r\n");
  WriteFile(d / "f.lst", "  TableID=\r\n");
  WriteFile(d / "f.lst.bak", "an earlier backup");
  WriteFile(d / ".lstconvert-0123456789ab", "left by a killed run");
  const bool readOnly = VolumeHolds(testing::kPermissions);
  if (readOnly) {
    WriteFile(d / "r.lst", "  TableID=\r\n");
    chmod((d / "r.lst").c_str(), 0444);
  }
  const int lock = open(d.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const std::string path = d.string() + "/";
  const auto before = Entries(d);
  StartedProgram::Options diff, verbose, undo, undoDry;
  diff.arguments = {"--diff"};
  verbose.arguments = {"-v"};
  undo.arguments = {"--undo", "-v"};
  undoDry.arguments = {"--undo", "-n"};
  const Outcome preview = RunProgram(d, diff);
  close(lock);

  EXPECT_EQ(Entries(d), before);
  EXPECT_EQ(preview.err, "");
  EXPECT_EQ(preview.status, 0);
  EXPECT_EQ(
      preview.out,
      "would convert " + path + "a.lst\n--- " + path + "a.lst\n+++ " + path +
          "a.lst (converted)\n@@ -1,5 +1,5 @@\n [P]\n-  TableID=\n+  TableID=Partlist\n"
          "   Fields=Name\n 1\n 2\n@@ -7,4 +7,4 @@\n 4\n 5\n 6\n-  Filter=Name\n"
          "+  Filter=Partlist.Name\nwould convert " +
          path + "b.lst\n--- " + path + "b.lst\n+++ " + path +
          "b.lst (converted)\n@@ -1,3 +1,3 @@\n-  TableID=\n"
          "+  TableID=Partlist\n   Text=Gr\xC3\xB6\xC3\x9F"
          "e \xF0\x9F\x98\x80\n"
          "-  Source=[Table:]\n+  Source=[Table:Partlist]\nwould refuse " +
          path + "c.lst: not saved in the designer (no TableID= line)\nwould refuse " + path +
          "e.lst: bound to the table Orders\nwould convert " + path + "f.lst\n--- " + path +
          "f.lst\n+++ " + path +
          "f.lst (converted)\n@@ -1 +1 @@\n-  TableID=\n"
          "+  TableID=Partlist\n" +
          (readOnly ? "would leave " + path + "r.lst: read-only\n3 converted, 2 refused, 1 left\n"
                    : "3 converted, 2 refused, 0 left\n"));
  EXPECT_EQ(AsRun(preview.out), RunProgram(d, verbose).out);
  const auto converted = Entries(d);
  const Outcome undoPreview = RunProgram(d, undoDry);
  EXPECT_EQ(Entries(d), converted);
  EXPECT_EQ(undoPreview.err, "");
  EXPECT_EQ(AsRun(undoPreview.out), RunProgram(d, undo).out);
}

// With -r, each folder's own projects come first, then its subfolders in
// name order, letter case ignored, depth first; a link to a folder and the
// program's temporaries are not entered. -r --undo puts every original back.
TEST(Program, RecursiveRunsTakeEveryFolderBelow) {
  TemporaryDirectory top, outside;
  const std::string project = "  TableID=\r\n";
  const std::vector<std::string> below = {"r/a.lst", "r/B/b.lst", "r/B/c/c.lst", "r/d/d.lst"};
  for (const std::string& name : below) {
    fs::create_directories((top / name).parent_path());
    WriteFile(top / name, project);
  }
  fs::create_directories(top / "r/.lstconvert-0123456789ab");
  WriteFile(top / "r/.lstconvert-0123456789ab/t.lst", project);
  WriteFile(outside / "x.lst", project);
  if (VolumeHolds(testing::kLinks)) fs::create_directory_symlink(outside.path(), top / "r/link");
  StartedProgram::Options convert, undo;
  convert.arguments = {"-r", "-v", "r"};
  undo.arguments = {"-r", "--undo", "-v", "r"};

  std::string converted, restored;
  for (const std::string& name : below) {
    converted += "converted " + (top / name).string() + "\n";
    restored += "restored " + (top / name).string() + "\n";
  }
  EXPECT_EQ(RunProgram(top.path(), convert).out, converted + "4 converted, 0 refused, 0 left\n");
  for (const std::string& name : below) EXPECT_EQ(ReadFile(top / name), "  TableID=Partlist\r\n");
  EXPECT_EQ(ReadFile(top / "r/.lstconvert-0123456789ab/t.lst"), project);
  EXPECT_EQ(Names(outside.path()), std::set<std::string>{"x.lst"});
  EXPECT_EQ(RunProgram(top.path(), undo).out, restored + "4 restored, 0 kept, 0 left\n");
  for (const std::string& name : below) EXPECT_EQ(ReadFile(top / name), project);
}

TEST(Program, TheCaptionIsTheNameItWasStartedBy) {
  TemporaryDirectory directory;
  WriteFile(directory / "a.lst", "x\r\n");
  const Outcome run = RunProgram(directory.path(),
                                 {"/some/where/convert.exe", "/dev/null", LSTCONVERT_PROGRAM, {}});
  EXPECT_EQ(run.err.substr(0, 18), "convert: The file ");
}

TEST(Program, OnATerminalWaitsForEnterAfterEachMessage) {
  TemporaryDirectory directory;
  WriteFile(directory / "a.lst", "unsaved\r\n");
  WriteFile(directory / "b.lst", "  TableID=Partlist\r\n");
  const Terminal terminal;
  ASSERT_TRUE(terminal.opened());
  StartedProgram program(directory.path(), {"lstconvert", terminal.name(), LSTCONVERT_PROGRAM, {}});

  const std::string first = Unsaved(directory / "a.lst") + "Press Enter to go on.\n";
  ASSERT_TRUE(Eventually([&] { return program.Err() == first; })) << program.Err();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(program.Running());
  EXPECT_EQ(program.Err(), first);  // the second message waits for Enter
  // What was done before the wait is put in place while it lasts.
  EXPECT_TRUE(Eventually([&] { return ReadFile(directory / "a.lst.bak") == "unsaved\r\n"; }));

  ASSERT_TRUE(terminal.PressEnter());
  const std::string both = first + Bound(directory / "b.lst") + "Press Enter to go on.\n";
  ASSERT_TRUE(Eventually([&] { return program.Err() == both; })) << program.Err();
  ASSERT_TRUE(terminal.PressEnter());
  const Outcome outcome = program.Wait();
  EXPECT_EQ(outcome.status, 0);
}

// A stop signal while the run waits, at a message's prompt or for another
// run's lock, ends the wait and the run at once: no further project is
// begun, and the program dies of the signal, as a shell expects. A signal
// the caller ignores (nohup) stays ignored: the run goes on after Enter.
TEST(Program, AStopSignalEndsAWaitingRun) {
  struct Case {
    int signal;
    bool ignored, locked;
  };
  const Case cases[] = {{SIGINT, false, false},
                        {SIGTERM, false, false},
                        {SIGHUP, false, false},
                        {SIGHUP, true, false},
                        {SIGINT, false, true}};
  for (const Case& c : cases) {
    const std::string what = strsignal(c.signal) + std::string(c.ignored ? ", ignored" : "") +
                             (c.locked ? ", waiting for the lock" : "");
    TemporaryDirectory directory;
    WriteFile(directory / "a.lst", "unsaved\r\n");
    WriteFile(directory / "b.lst", "  TableID=\r\n");
    const int lock = open(directory.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(!c.locked || flock(lock, LOCK_EX) == 0);
    const Terminal terminal;
    ASSERT_TRUE(terminal.opened());
    StartedProgram::Options options{"lstconvert", terminal.name(), LSTCONVERT_PROGRAM, {}};
    options.ignoredSignal = c.ignored ? c.signal : 0;
    StartedProgram program(directory.path(), options);
    const std::string waiting =
        c.locked ? "lstconvert: waiting for another run in this directory to end\n"
                 : Unsaved(directory / "a.lst") + "Press Enter to go on.\n";
    ASSERT_TRUE(Eventually([&] { return program.Err() == waiting; })) << what << program.Err();

    kill(program.pid(), c.signal);
    if (c.ignored) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_TRUE(program.Running()) << what;
      ASSERT_TRUE(terminal.PressEnter());
    }
    EXPECT_TRUE(Eventually([&] { return !program.Running(); })) << what;
    const Outcome outcome = program.Wait();
    close(lock);
    EXPECT_EQ(outcome.signal, c.ignored ? 0 : c.signal) << what;
    EXPECT_EQ(outcome.status, c.ignored ? 0 : -1) << what;
    EXPECT_EQ(ReadFile(directory / "b.lst"),
              c.ignored ? "  TableID=Partlist\r\n" : "  TableID=\r\n")
        << what;
  }
}

}  // namespace
}  // namespace lstconvert
