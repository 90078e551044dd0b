#include "app/batch.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/convert.h"
#include "fake_platform.h"

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
  EXPECT_EQ(RunBatch(platform), 1);
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

  EXPECT_EQ(RunBatch(platform), 0);

  EXPECT_EQ(platform.Content(u"A.LST"), " TableID=Partlist\r\n");
  EXPECT_EQ(platform.Content(u"A.LST.bak"), " TableID=\r\n");
  EXPECT_EQ(platform.Content(u"b.lst"), "never saved\r\n");
  EXPECT_EQ(platform.Content(u"b.lst.bak"), "never saved\r\n");
  EXPECT_EQ(platform.Content(u"c.lst.bak"), " TableID=Partlist\r\n");
  EXPECT_EQ(platform.Content(u"a.lstx"), " TableID=\r\n");
  EXPECT_EQ(platform.Content(u"e.lst.bak"), "old backup gets replaced\r\n TableID=\r\n");
  EXPECT_EQ(platform.Content(u"e.lst"), "old backup gets replaced\r\n TableID=Partlist\r\n");
  EXPECT_EQ(platform.entries.count(u"d.lst.bak"), 0u);
  const std::vector<std::u16string> messages = {
      FormatWithPath(kUnsavedProjectMessage, u"/work/b.lst"),
      FormatWithPath(kAlreadyBoundMessage, u"/work/c.lst"),
      FormatWithPath(kUnsavedProjectMessage, u"/work/d.lst"),
  };
  EXPECT_EQ(platform.messages, messages);
  EXPECT_TRUE(platform.console.empty());
}

TEST(RunBatch, ASecondRunChangesNoProjectAndRefreshesEachBackup) {
  FakePlatform platform;
  platform.AddFile(u"a.lst", " TableID=\r\n");
  RunBatch(platform);
  const auto entries = platform.entries;
  platform.messages.clear();
  RunBatch(platform);
  EXPECT_EQ(platform.Content(u"a.lst"), entries.at(u"a.lst").content);
  EXPECT_EQ(platform.Content(u"a.lst.bak"), " TableID=Partlist\r\n");
  EXPECT_EQ(platform.messages.size(), 1u);
}

// A batch with a failure injected at each file operation in turn: every
// project ends with its old bytes or its completely converted bytes, every
// backup is absent or a complete copy, and the other files are still done.
TEST(RunBatch, SurvivesAFailureAtAnyFileOperation) {
  const std::map<std::u16string, std::pair<Bytes, Bytes>> projects = {
      {u"a.lst", {" TableID=\r\n", " TableID=Partlist\r\n"}},
      {u"b.lst", {"unsaved\r\n", "unsaved\r\n"}},
      {u"c.lst", {"x\n TableID= [Table:]\n", "x\r\n TableID=Partlist [Table:Partlist]\r\n"}},
  };
  const auto setUp = [&](FakePlatform& platform) {
    for (const auto& [name, content] : projects) platform.AddFile(name, content.first);
  };
  FakePlatform counting;
  setUp(counting);
  RunBatch(counting);
  ASSERT_GT(counting.fileOperations, 0);

  for (int failing = 1; failing <= counting.fileOperations; ++failing) {
    FakePlatform platform;
    setUp(platform);
    platform.failingOperation = failing;
    RunBatch(platform);
    int converted = 0;
    for (const auto& [name, content] : projects) {
      const auto now = platform.Content(name);
      EXPECT_TRUE(now == content.first || now == content.second) << "operation " << failing;
      converted += now == content.second ? 1 : 0;
      const auto backup = platform.entries.find(name + u".bak");
      if (backup != platform.entries.end()) {
        EXPECT_EQ(backup->second.content, content.first);
      }
    }
    // One failure costs at most one file its conversion.
    EXPECT_GE(converted, 2) << "operation " << failing;
  }
}

}  // namespace
}  // namespace lstconvert
