#include "projectfile/projectfile.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "test_bytes.h"

namespace lstconvert {
namespace {

using testing::Raw;
using testing::Utf16File;

struct DecodeCase {
  const char* what;
  Bytes bytes;
  EncodingMode mode;
  Lines lines;
  Bytes written;  // the bytes the decoded lines encode to again
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.what; }

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, GivesLinesAndWritesThemBack) {
  const DecodeCase& c = GetParam();
  const ProjectText text = DecodeProjectFile(c.bytes);
  EXPECT_EQ(text.mode, c.mode);
  EXPECT_EQ(text.lines, c.lines);
  EXPECT_EQ(EncodeProjectFile(text.lines, text.mode), c.written);
}

const Bytes kAllBytes = [] {
  Bytes bytes;
  for (int b = 0; b < 256; ++b) {
    if (b != '\n' && b != '\r') bytes.push_back(static_cast<char>(b));
  }
  return bytes;
}();

const std::u16string kAllUnits = [] {
  std::u16string units;
  for (const char byte : kAllBytes) units.push_back(static_cast<unsigned char>(byte));
  return units;
}();

INSTANTIATE_TEST_SUITE_P(
    ProjectFile, Decode,
    ::testing::Values(
        DecodeCase{"empty file", "", EncodingMode::kEightBit, {}, ""},
        DecodeCase{"just the mark", "\xFF\xFE", EncodingMode::kUtf16Le, {}, "\xFF\xFE"},
        DecodeCase{"utf16 crlf at end",
                   Utf16File(u"a\r\nb\r\n"),
                   EncodingMode::kUtf16Le,
                   {u"a", u"b"},
                   Utf16File(u"a\r\nb\r\n")},
        DecodeCase{"utf16 last line unterminated",
                   Utf16File(u"a\r\nb"),
                   EncodingMode::kUtf16Le,
                   {u"a", u"b"},
                   Utf16File(u"a\r\nb\r\n")},
        DecodeCase{"utf16 empty first line",
                   Utf16File(u"\r\nx\r\n"),
                   EncodingMode::kUtf16Le,
                   {u"", u"x"},
                   Utf16File(u"\r\nx\r\n")},
        DecodeCase{"utf16 lone cr and lf are characters",
                   Utf16File(u"a\rb\nc\r\r\n"),
                   EncodingMode::kUtf16Le,
                   {u"a\rb\nc\r"},
                   Utf16File(u"a\rb\nc\r\r\n")},
        DecodeCase{"utf16 nul and unpaired surrogates",
                   Utf16File(std::u16string(u"\0\xD800x\xDFFF\r\n", 6)),
                   EncodingMode::kUtf16Le,
                   {std::u16string(u"\0\xD800x\xDFFF", 4)},
                   Utf16File(std::u16string(u"\0\xD800x\xDFFF\r\n", 6))},
        DecodeCase{"utf16 odd byte after the mark",
                   Raw("\xFF\xFE"
                       "a\0b",
                       5),
                   EncodingMode::kUtf16Le,
                   {},
                   "\xFF\xFE"},
        DecodeCase{"utf16 cr lf bytes straddling two units",
                   Utf16File(u"\u0D41\u0A00\u4200"),
                   EncodingMode::kUtf16Le,
                   {u"\u0D41\u0A00\u4200"},
                   Utf16File(u"\u0D41\u0A00\u4200\r\n")},
        DecodeCase{"ff without fe is 8-bit",
                   "\xFF\xFD\r\n",
                   EncodingMode::kEightBit,
                   {u"\xFF\xFD"},
                   "\xFF\xFD\r\n"},
        DecodeCase{"single byte", "\xFF", EncodingMode::kEightBit, {u"\xFF"}, "\xFF\r\n"},
        DecodeCase{
            "8-bit crlf at end", "a\r\nb\r\n", EncodingMode::kEightBit, {u"a", u"b"}, "a\r\nb\r\n"},
        DecodeCase{"8-bit bare lf", "a\nb\n", EncodingMode::kEightBit, {u"a", u"b"}, "a\r\nb\r\n"},
        DecodeCase{"8-bit empty lines",
                   "\n\r\n\n",
                   EncodingMode::kEightBit,
                   {u"", u"", u""},
                   "\r\n\r\n\r\n"},
        DecodeCase{"8-bit cr not before lf stays",
                   "a\rb\r\r\nc\r",
                   EncodingMode::kEightBit,
                   {u"a\rb\r", u"c\r"},
                   "a\rb\r\r\nc\r\r\n"},
        DecodeCase{"8-bit nul and 1a are characters",
                   Raw("a\0\x1A"
                       "b\r\nc",
                       7),
                   EncodingMode::kEightBit,
                   {std::u16string(u"a\0\x1A"
                                   u"b",
                                   4),
                    u"c"},
                   Raw("a\0\x1A"
                       "b\r\nc\r\n",
                       9)},
        DecodeCase{"every byte survives",
                   kAllBytes + "\r\n",
                   EncodingMode::kEightBit,
                   {kAllUnits},
                   kAllBytes + "\r\n"}),
    testing::CaseName());

TEST(Decode, ReadsALongEightBitLineWhole) {
  const Bytes line(100000, 'x');
  const ProjectText text = DecodeProjectFile(line + "\r\ny");
  ASSERT_EQ(text.lines.size(), 2u);
  EXPECT_EQ(text.lines[0].size(), line.size());
  EXPECT_EQ(text.lines[1], u"y");
}

TEST(Encode, RefusesAnEightBitCharacterAboveFf) {
  for (const Lines& lines : {Lines{u"a\u0100"}, Lines{u"\u0100a"}, Lines{u"a", u"b\u0100c"}}) {
    EXPECT_EQ(EncodeProjectFile(lines, EncodingMode::kEightBit), std::nullopt);
  }
  EXPECT_EQ(EncodeProjectFile({u"a\u0100"}, EncodingMode::kUtf16Le), Utf16File(u"a\u0100\r\n"));
}

TEST(SaveProjectFile, LeavesTheFileWhenTheTextCannotBeEncoded) {
  testing::FakePlatform platform;
  platform.AddFile(u"a.lst", "x\nold\n");
  const std::u16string_view keys[] = {u"ld"};
  ProjectText text = *LoadProjectFile(platform, u"/work/a.lst", keys);
  ASSERT_EQ(text.lines, Lines{u"old"});
  text.lines[0] = u"\u0100";
  Outcome outcome;
  const auto save = [&] {
    SaveProjectFile(platform, u"/work/a.lst", text, u"/work/a.lst.bak",
                    [&](const Outcome& known) { outcome = known; });
    return outcome.done();
  };
  EXPECT_FALSE(save());
  EXPECT_EQ(platform.Content(u"a.lst"), "x\nold\n");
  text.lines[0] = u"n";
  EXPECT_TRUE(save());
  EXPECT_EQ(platform.Content(u"a.lst"), "x\r\nn\r\n");
  EXPECT_EQ(platform.Content(u"a.lst.bak"), "x\nold\n");
}

TEST(LoadProjectFile, GivesNothingForWhatCannotBeRead) {
  testing::FakePlatform platform;
  platform.entries[u"d.lst"] = {testing::EntryKind::kDirectory, "", false};
  const std::u16string_view keys[] = {u"x"};
  EXPECT_EQ(LoadProjectFile(platform, u"/work/d.lst", keys), std::nullopt);
  EXPECT_EQ(LoadProjectFile(platform, u"/work/missing.lst", keys), std::nullopt);
}

}  // namespace
}  // namespace lstconvert
