#include "app/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "app/convert.h"
#include "fake_platform.h"
#include "test_bytes.h"

namespace lstconvert {
namespace {

using testing::EntryKind;
using testing::FakePlatform;

TEST(IsProjectFileName, MatchesTheExtensionInAnyCaseAndNothingAfterIt) {
  for (const std::u16string name : {u"x.lst", u"X.LST", u"a.LsT", u".lst", u".hidden.lst"}) {
    EXPECT_TRUE(IsProjectFileName(name)) << ::testing::PrintToString(name);
  }
  for (const std::u16string name : {u"x.lstx", u"x.lst.bak", u"x.lst ", u"lst", u"x_lst", u""}) {
    EXPECT_FALSE(IsProjectFileName(name)) << ::testing::PrintToString(name);
  }
}

TEST(ProjectFileNameLess, FoldsCaseAndBreaksTiesByExactUnits) {
  std::vector<std::u16string> names = {u"b.lst",  u"a.lst", u"B.lst",      u"A.lst", u"ab.lst",
                                       u"a.lstx", u"_.lst", u"\u00E4.lst", u"Z.lst"};
  std::sort(names.begin(), names.end(),
            [](const auto& a, const auto& b) { return ProjectFileNameLess(a, b); });
  const std::vector<std::u16string> expected = {u"_.lst",  u"A.lst",  u"a.lst",
                                                u"a.lstx", u"ab.lst", u"B.lst",
                                                u"b.lst",  u"Z.lst",  u"\u00E4.lst"};
  EXPECT_EQ(names, expected);
}

TEST(RunBatch, AFailedStartupWritesTheMessageAndDoesNothingElse) {
  FakePlatform platform;
  platform.startupSucceeds = false;
  platform.AddFile(u"a.lst", " TableID=\r\n");
  EXPECT_EQ(RunBatch(platform, {}), 1);
  EXPECT_EQ(platform.console, kStartupFailureMessage);
  EXPECT_EQ(platform.fileOperations, 0);
  EXPECT_EQ(platform.entries.size(), 1u);
}

TEST(RunBatch, BacksUpAndConvertsEveryProjectFileInNameOrder) {
  FakePlatform platform;
  platform.AddFile(u"b.lst", "never saved\r\n");
  platform.AddFile(u"A.LST", " TableID=\r\n");
  platform.AddFile(u"a.lstx", " TableID=\r\n");
  platform.AddFile(u"c.lst.bak", " TableID=\r\n");
  platform.AddFile(u"c.lst", " TableID=Partlist\r\n");
  platform.entries[u"d.lst"] = {EntryKind::kDirectory, "", false};
  platform.AddFile(u"e.lst", "old backup gets replaced\r\n TableID=\r\n");
  platform.AddFile(u"e.lst.bak", "old");
  platform.AddFile(u"f.lst", " TableID=\r\n");
  platform.entries[u"f.lst.bak"] = {EntryKind::kDirectory, "", false};

  EXPECT_EQ(RunBatch(platform, {}), 3);  // f.lst left

  EXPECT_EQ(platform.Content(u"A.LST"), " TableID=Partlist\r\n");
  EXPECT_EQ(platform.Content(u"A.LST.bak"), " TableID=\r\n");
  EXPECT_EQ(platform.Content(u"b.lst"), "never saved\r\n");
  EXPECT_EQ(platform.Content(u"b.lst.bak"), "never saved\r\n");
  EXPECT_EQ(platform.Content(u"c.lst.bak"), " TableID=\r\n");  // refused: its backup stays
  EXPECT_EQ(platform.Content(u"a.lstx"), " TableID=\r\n");
  EXPECT_EQ(platform.Content(u"e.lst.bak"), "old backup gets replaced\r\n TableID=\r\n");
  EXPECT_EQ(platform.Content(u"e.lst"), "old backup gets replaced\r\n TableID=Partlist\r\n");
  EXPECT_EQ(platform.entries.count(u"d.lst.bak"), 0u);
  EXPECT_EQ(platform.Content(u"f.lst"), " TableID=\r\n");  // no backup, no conversion
  const std::vector<std::u16string> messages = {
      testing::Unsaved(u"/work/b.lst"),
      testing::Bound(u"/work/c.lst"),
      testing::Unsaved(u"/work/d.lst"),
  };
  EXPECT_EQ(platform.messages, messages);
  EXPECT_TRUE(platform.console.empty());
}

TEST(RunBatch, ASecondRunChangesNoProjectAndKeepsEachOriginal) {
  FakePlatform platform;
  platform.AddFile(u"a.lst", " TableID=\r\n");
  RunBatch(platform, {});
  const auto entries = platform.entries;
  platform.messages.clear();
  RunBatch(platform, {});
  EXPECT_EQ(platform.Content(u"a.lst"), entries.at(u"a.lst").content);
  EXPECT_EQ(platform.Content(u"a.lst.bak"), " TableID=\r\n");
  EXPECT_EQ(platform.messages.size(), 1u);
}

// --undo tells an original that it could not put back, or a backup that it
// could not read, as left, and the run ends with status 3.
TEST(RunBatch, UndoTellsWhereAnOriginalCouldNotBePutBack) {
  // The failing operation: 1 reads the backup, 2 the project, 3 puts the backup back.
  const std::pair<std::optional<int>, std::u16string> cases[] = {
      {std::nullopt, u"restored /work/a.lst\n1 restored, 0 kept, 0 left\n"},
      {3, u"left /work/a.lst: not put back: Input/output error\n0 restored, 0 kept, 1 left\n"},
      {1,
       u"left /work/a.lst: backup cannot be read: Input/output error\n0 restored, 0 kept, 1 "
       u"left\n"}};
  for (const auto& [failing, out] : cases) {
    FakePlatform platform;
    platform.AddFile(u"a.lst", " TableID=Partlist\r\n");
    platform.AddFile(u"a.lst.bak", " TableID=\r\n");
    platform.failingOperation = failing;
    Request undo;
    undo.undo = undo.verbose = true;
    EXPECT_EQ(RunBatch(platform, undo), failing ? 3 : 0);
    EXPECT_EQ(platform.console, out);
    EXPECT_EQ(platform.entries.count(u"a.lst.bak"), failing ? 1u : 0u);
  }
}

// Ctrl+C while the first message is shown: the next project is not begun,
// and what was begun is finished.
TEST(RunBatch, AnInterruptedRunBeginsNoFurtherProject) {
  FakePlatform platform;
  platform.AddFile(u"a.lst", "unsaved\r\n");
  platform.AddFile(u"b.lst", " TableID=\r\n");
  platform.interruptAtMessage = true;
  RunBatch(platform, {});
  EXPECT_EQ(platform.Content(u"b.lst"), " TableID=\r\n");
  EXPECT_EQ(platform.entries.count(u"b.lst.bak"), 0u);
  EXPECT_TRUE(platform.finished);
}

// Temporary files of another run are removed only while no other run can
// be working: under the lock.
TEST(RunBatch, RemovesLeftoverFilesOnlyUnderTheLock) {
  for (const bool lockable : {true, false}) {
    FakePlatform platform;
    platform.lockable = lockable;
    RunBatch(platform, {});
    EXPECT_EQ(platform.leftoversRemoved, lockable);
  }
}

// A batch with a fault injected at each file operation in turn, either a
// failure of that operation or the death of the process right after it:
// every project ends with its old bytes or its completely converted bytes,
// every backup is absent, the earlier backup or a complete copy, and after a
// failure the other files are still converted.
enum class Fault { kFailure, kDeath };

class FaultInjection : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultInjection, NoProjectIsEverLost) {
  struct Project {
    Bytes before, after;
    std::optional<Bytes> earlierBackup;
  };
  const std::map<std::u16string, Project> projects = {
      {u"a.lst", {" TableID=\r\n", " TableID=Partlist\r\n", "earlier backup"}},
      {u"b.lst", {"unsaved\r\n", "unsaved\r\n", std::nullopt}},
      {u"c.lst",
       {"x\n TableID= [Table:]\n Fields=Name\n Filter=Name\n",
        "x\r\n TableID=Partlist [Table:Partlist]\r\n Fields=Name\r\n Filter=Partlist.Name\r\n",
        std::nullopt}},
      {u"d.lst", {testing::Utf16File(u" TableID=\r\n") + "x", "", std::nullopt}},
      {u"e.lst", {" TableID=Partlist\r\n", " TableID=Partlist\r\n", "old"}},
  };
  const auto setUp = [&](FakePlatform& platform) {
    for (const auto& [name, project] : projects) {
      platform.AddFile(name, project.before);
      if (project.earlierBackup) platform.AddFile(name + u".bak", *project.earlierBackup);
    }
  };
  FakePlatform counting;
  setUp(counting);
  RunBatch(counting, {});
  ASSERT_GT(counting.fileOperations, 10);
  Request verbose;
  verbose.verbose = true;

  int injected = 0;
  for (int k = 1; k <= counting.fileOperations; ++k) {
    FakePlatform platform;
    setUp(platform);
    if (GetParam() == Fault::kFailure) {
      platform.failingOperation = k;
      const int status = RunBatch(platform, verbose);
      EXPECT_EQ(status == 3, platform.console.find(u"left /") != std::u16string::npos) << k;
    } else {
      platform.dyingAfterOperation = k;
      EXPECT_THROW(RunBatch(platform, {}), FakePlatform::ProcessDied);
    }
    ++injected;
    int converted = 0;
    for (const auto& [name, project] : projects) {
      // d.lst holds a UTF-16 text of odd length: refused, never rewritten.
      const Bytes& after = project.after.empty() ? project.before : project.after;
      const auto now = platform.Content(name);
      EXPECT_TRUE(now == project.before || now == after) << "fault at operation " << k;
      converted += now == after ? 1 : 0;
      const auto backup = platform.Content(name + u".bak");
      EXPECT_TRUE(backup == project.earlierBackup || backup == project.before)
          << "fault at operation " << k;
      // A project that is refused is never replaced, so its backup never is.
      if (project.after.empty() || project.after == project.before) {
        EXPECT_TRUE(backup == project.earlierBackup || !project.earlierBackup)
            << "backup of a refused project replaced; fault at " << k;
      }
      if (now != project.before) {
        EXPECT_EQ(backup, project.before) << "converted without a backup; fault at " << k;
      }
      // The report says what became of the project on disk.
      if (GetParam() == Fault::kFailure) {
        const std::u16string path = std::u16string(FakePlatform::kDirectory) + name;
        const bool refused = std::any_of(platform.messages.begin(), platform.messages.end(),
                                         [&](const std::u16string& message) {
                                           return message.find(path + u" ") != std::u16string::npos;
                                         });
        const std::u16string word = refused ? u"refused " : now == after ? u"converted " : u"left ";
        EXPECT_NE(platform.console.find(word + path + (word == u"converted " ? u"\n" : u": ")),
                  std::u16string::npos)
            << "fault at operation " << k;
      }
    }
    if (GetParam() == Fault::kFailure) {
      EXPECT_GE(converted, static_cast<int>(projects.size()) - 1) << "fault at operation " << k;
    }
  }
  std::cout << "injected " << injected << " faults\n";
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FaultInjection,
                         ::testing::Values(Fault::kFailure, Fault::kDeath), [](const auto& info) {
                           return info.param == Fault::kFailure ? "Failure" : "Death";
                         });

}  // namespace
}  // namespace lstconvert
