#include "rewrite/strings.h"

#include <gtest/gtest.h>

namespace lstconvert {
namespace {

TEST(Holds, CountsOnlyAFirstOccurrenceAfterTheStart) {
  struct Case {
    std::u16string line, key;
    bool held;
  };
  const Case cases[] = {
      {u"  TableID=", u"TableID=", true},
      {u"TableID=", u"TableID=", false},           // index 0 does not count
      {u"TableID= TableID=", u"TableID=", false},  // the first occurrence alone decides
      {u"xtableid=", u"TableID=", false},          // case-sensitive
      {u"abc", u"", false},
      {u"", u"a", false},
      {u"ab", u"b", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Holds(c.line, c.key), c.held) << ::testing::PrintToString(c.line);
}

TEST(Find, IsExactAndFindsNoEmptyString) {
  EXPECT_EQ(Find(u"aXbX", u"X"), 1u);
  EXPECT_EQ(Find(u"abc", u"C"), kNotFound);
  EXPECT_EQ(Find(u"abc", u""), kNotFound);
}

TEST(ReplaceAll, ReplacesLeftToRightWithoutRescanning) {
  struct Case {
    std::u16string text, from, to, expected;
    std::size_t count;
  };
  const Case cases[] = {
      {u"a TableID= b TableID=", u"TableID=", u"TableID=Partlist",
       u"a TableID=Partlist b TableID=Partlist", 2},
      {u"aaa", u"aa", u"b", u"ba", 1},  // non-overlapping, left first
      {u"x", u"x", u"xx", u"xx", 1},    // inserted text is not searched again
      {u"abc", u"", u"z", u"abc", 0},
      {u"abc", u"d", u"z", u"abc", 0},
      {u"abab", u"ab", u"", u"", 2},
  };
  for (auto c : cases) {
    EXPECT_EQ(ReplaceAll(c.text, c.from, c.to), c.count);
    EXPECT_EQ(c.text, c.expected);
  }
}

TEST(Tokenise, SkipsRunsOfDelimiters) {
  using Tokens = std::vector<std::u16string_view>;
  EXPECT_EQ(Tokenise(u"  Fields=Count;;Size", u";="), (Tokens{u"  Fields", u"Count", u"Size"}));
  EXPECT_EQ(Tokenise(u";=a=;b;", u";="), (Tokens{u"a", u"b"}));
  EXPECT_EQ(Tokenise(u";;", u";="), Tokens{});
  EXPECT_EQ(Tokenise(u"", u";="), Tokens{});
}

TEST(CaseChange, TouchesOnlyAsciiLetters) {
  EXPECT_EQ(ToLowerCase(u"AbZ\u00C4\u00E4 1_"), u"abz\u00C4\u00E4 1_");
  EXPECT_EQ(ToUpperCase(u"aBz\u00C4\u00E4 1_"), u"ABZ\u00C4\u00E4 1_");
  EXPECT_EQ(ToUpperCase(u"@[`{"), u"@[`{");  // neighbours of the letter ranges
  EXPECT_EQ(ToLowerCase(u"@[`{"), u"@[`{");
}

}  // namespace
}  // namespace lstconvert
