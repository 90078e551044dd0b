#include "app/convert.h"

#include <gtest/gtest.h>

#include <random>

#include "fake_platform.h"
#include "test_bytes.h"

namespace lstconvert {
namespace {

using testing::FakePlatform;
using testing::Utf16File;

const std::u16string kPath = u"/work/p.lst";

// Converts the project at `path` without reporting on it.
void Convert(FakePlatform& platform, const std::u16string& path) {
  ProjectReport report(platform, false);
  ConvertProjectFile(platform, path, report);
}
const std::u16string kUnsaved = testing::Unsaved(kPath);
const std::u16string kBound = testing::Bound(kPath);

TEST(LinesContainKey, UsesTheFirstOccurrenceOfEachLine) {
  EXPECT_TRUE(LinesContainKey({u"a", u" TableID="}, u"TableID="));
  EXPECT_FALSE(LinesContainKey({u"TableID=", u"TableID= TableID="}, u"TableID="));
  EXPECT_FALSE(LinesContainKey({u" x"}, u""));
  EXPECT_FALSE(LinesContainKey({}, u"x"));
}

TEST(ReplaceInFirstKeyLine, EditsOnlyTheFirstLineThatHoldsTheKey) {
  struct Case {
    Lines lines;
    std::u16string key, replacement;
    bool result;
    Lines expected;
  };
  const Case cases[] = {
      {{u"TableID=", u" TableID= TableID=", u" TableID="},
       u"TableID=",
       u"TableID=Partlist",
       true,
       {u"TableID=", u" TableID=Partlist TableID=Partlist", u" TableID="}},
      {{u" [Table:][Table:]"},
       u"[Table:]",
       u"[Table:Partlist]",
       true,
       {u" [Table:Partlist][Table:Partlist]"}},
      {{u"[Table:]"}, u"[Table:]", u"[Table:Partlist]", false, {u"[Table:]"}},
      {{u" a"}, u"a", u"", false, {u" a"}},
      {{u" a"}, u"", u"b", false, {u" a"}},
  };
  for (auto c : cases) {
    EXPECT_EQ(ReplaceInFirstKeyLine(c.lines, c.key, c.replacement), c.result);
    EXPECT_EQ(c.lines, c.expected);
  }
}

TEST(FormatWithPath, InsertsThePathLiterally) {
  EXPECT_EQ(FormatWithPath(u"The file %s must", u"/w/%s %d.lst"), u"The file /w/%s %d.lst must");
}

struct ConversionCase {
  const char* what;
  Bytes before;
  Bytes after;  // equal to `before` when the file is refused
  std::vector<std::u16string> messages;
};

void PrintTo(const ConversionCase& c, std::ostream* out) { *out << c.what; }

class Conversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, ConvertsOrRefuses) {
  const ConversionCase& c = GetParam();
  FakePlatform platform;
  platform.AddFile(u"p.lst", c.before);
  Convert(platform, kPath);
  EXPECT_EQ(platform.Content(u"p.lst"), c.after);
  EXPECT_EQ(platform.Content(u"p.lst.bak"), c.before);
  EXPECT_EQ(platform.messages, c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    ProjectFiles, Conversion,
    ::testing::Values(
        ConversionCase{"empty", "", "", {kUnsaved}},
        ConversionCase{
            "no table id", "[Objects]\r\nName=x\r\n", "[Objects]\r\nName=x\r\n", {kUnsaved}},
        ConversionCase{"table id only at line start", "TableID=\r\n", "TableID=\r\n", {kUnsaved}},
        ConversionCase{"already bound", " TableID=Partlist\r\n", " TableID=Partlist\r\n", {kBound}},
        ConversionCase{"bound but not saved",
                       "TableID= TableID=Partlist\r\n",
                       "TableID= TableID=Partlist\r\n",
                       {kUnsaved, kBound}},
        ConversionCase{"utf16 bound to a table named with %s and a lone CR",
                       Utf16File(u"x\r\n TableID=Or%sders\r\r\n TableID=\r\n"),
                       Utf16File(u"x\r\n TableID=Or%sders\r\r\n TableID=\r\n"),
                       {u"The file " + kPath +
                        u" has been set to work with the table Or%sders. It cannot be processed!"}},
        ConversionCase{"bound to a table whose name begins with Partlist",
                       " TableID=PartlistOrders\r\n",
                       " TableID=PartlistOrders\r\n",
                       {kBound}},
        ConversionCase{"only the first line that holds the key names a table",
                       "TableID=Orders\r\n TableID=\r\n TableID=Orders\r\n",
                       "TableID=Orders\r\n TableID=Partlist\r\n TableID=Orders\r\n",
                       {}},
        ConversionCase{"no table named after the key: the edits are textual",
                       " TableID=TableID=\r\n TableID= [Table:]\r\n TableID=\"\"\r\n",
                       " TableID=PartlistTableID=Partlist\r\n TableID= [Table:Partlist]\r\n "
                       "TableID=\"\"\r\n",
                       {}},
        ConversionCase{"8-bit accepted",
                       "[P]\r\n  TableID=\r\n  Src=[Table:]\r\n  TableID=\n",
                       "[P]\r\n  TableID=Partlist\r\n  Src=[Table:Partlist]\r\n  TableID=\r\n",
                       {}},
        ConversionCase{"accepted without table reference",
                       " TableID=\r\n[Table:]\r\n",
                       " TableID=Partlist\r\n[Table:]\r\n",
                       {}},
        ConversionCase{
            "accepted without edits to make", "x\r\n TableID=\n", "x\r\n TableID=Partlist\r\n", {}},
        ConversionCase{"utf16 accepted",
                       Utf16File(u"\r\n TableID=\r\n [Table:]\u00E9\u4E2D"),
                       Utf16File(u"\r\n TableID=Partlist\r\n [Table:Partlist]\u00E9\u4E2D\r\n"),
                       {}},
        ConversionCase{"8-bit qualified",
                       "[P]\r\n TableID=\r\n Fields=FirstName;Name;Count\r\n"
                       " Filter=FirstName<>Name\r\n Sum1=FirstName+NAME\r\n"
                       " Sum2=Count2*Orders.Count\r\n Sum9=count\r\n Sum9=Count\r\n",
                       "[P]\r\n TableID=Partlist\r\n Fields=FirstName;Name;Count\r\n"
                       " Filter=Partlist.FirstName<>Partlist.Name\r\n"
                       " Sum1=Partlist.FirstName+Partlist.NAME\r\n"
                       " Sum2=Count2*Orders.Count\r\n Sum9=Partlist.count\r\n Sum9=Count\r\n",
                       {}},
        ConversionCase{"utf16 field list fetched afresh for every key",
                       Utf16File(u" TableID=\r\n Fields=Name; Filter=Name\r\n Sum1=Name"),
                       Utf16File(u" TableID=Partlist\r\nPartlist. Fields=Partlist.Name;Partlist. "
                                 u"Filter=Partlist.Name\r\n Sum1=Name\r\n"),
                       {}},
        ConversionCase{"utf16 odd length",
                       Utf16File(u" TableID=") + "x",
                       Utf16File(u" TableID=") + "x",
                       {kUnsaved}}),
    testing::CaseName());

TEST(ConvertProjectFile, RefusesWhatIsNotAFile) {
  FakePlatform platform;
  platform.entries[u"d.lst"] = {testing::EntryKind::kDirectory, "", false};
  Convert(platform, u"/work/d.lst");
  EXPECT_EQ(platform.messages, std::vector<std::u16string>{testing::Unsaved(u"/work/d.lst")});
}

// The conversion decodes only the lines that contain a key and copies the
// others: on random texts made of keys, names, line ends and bytes of both
// encodings, its checks and edits give exactly what they give on the whole
// line list.
TEST(ConversionKeyLines, ConvertAsTheWholeLineListWould) {
  const std::u16string pieces[] = {u"TableID=", u"TableID=Partlist",
                                   u"[Table:]", u"Fields=",
                                   u"Filter=",  u"Sum1=",
                                   u"Sum9=",    u"Name",
                                   u"NAME",     u"Partlist.",
                                   u";",        u"=",
                                   u" ",        u"\r",
                                   u"\n",       u"\r\n",
                                   u"\u00FF",   u"\u0A0D",
                                   u"\u0D41",   u"\u4E2D",
                                   u"\0"};
  std::mt19937 random(5);
  for (int trial = 0; trial < 3000; ++trial) {
    std::u16string text;
    for (int piece = random() % 40; piece > 0; --piece)
      text += pieces[random() % std::size(pieces)];
    Bytes bytes;
    if (trial % 2 == 0) {
      bytes = Utf16File(text);
      if (trial % 10 == 0) bytes.push_back('x');
    } else {
      for (const char16_t unit : text) bytes.push_back(static_cast<char>(unit));
    }
    ProjectText whole = DecodeProjectFile(bytes);
    ProjectText keyLines = DecodeKeyLines(bytes, kConversionKeys);
    for (const std::u16string_view key : {u"TableID=", u"TableID=Partlist"}) {
      ASSERT_EQ(LinesContainKey(keyLines.lines, key), LinesContainKey(whole.lines, key)) << trial;
    }
    ApplyConversionEdits(whole.lines);
    ApplyConversionEdits(keyLines.lines);
    if (whole.lines.empty()) continue;
    const std::optional<EncodedText> encoded = EncodeKeyLines(keyLines);
    ASSERT_TRUE(encoded) << trial;
    Bytes joined;
    for (const std::string_view piece : encoded->pieces) joined += piece;
    ASSERT_EQ(joined, EncodeProjectFile(whole.lines, whole.mode)) << trial;
  }
}

// The backup is the only other copy of a project's bytes: where it cannot be
// made, an acceptable project keeps its bytes, and a refused one still gets
// its message.
TEST(ConvertProjectFile, ConvertsOnlyWhatIsBackedUp) {
  for (const Bytes before : {" TableID=\r\n", "unsaved\r\n"}) {
    FakePlatform platform;
    platform.AddFile(u"p.lst", before);
    platform.entries[u"p.lst.bak"] = {testing::EntryKind::kDirectory, "", false};
    Convert(platform, kPath);
    EXPECT_EQ(platform.Content(u"p.lst"), before);
    const std::vector<std::u16string> messages(before == "unsaved\r\n" ? 1 : 0, kUnsaved);
    EXPECT_EQ(platform.messages, messages);
  }
}

// Whichever file operation fails, the project keeps its old bytes or gets
// the complete converted ones.
TEST(ConvertProjectFile, AFailedOperationNeverLeavesPartOfAConversion) {
  const Bytes before = Utf16File(u" TableID=\r\n");
  const Bytes after = Utf16File(u" TableID=Partlist\r\n");
  for (int failing = 1; failing <= 4; ++failing) {
    FakePlatform platform;
    platform.AddFile(u"p.lst", before);
    platform.failingOperation = failing;
    Convert(platform, kPath);
    const auto content = platform.Content(u"p.lst");
    EXPECT_TRUE(content == before || content == after) << "failing operation " << failing;
    if (failing == 1) {
      EXPECT_EQ(platform.messages, std::vector<std::u16string>{kUnsaved});
    }
  }
}

}  // namespace
}  // namespace lstconvert
