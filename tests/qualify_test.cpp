#include "rewrite/qualify.h"

#include <gtest/gtest.h>

namespace lstconvert {
namespace {

using Lines = std::vector<std::u16string>;

struct QualifyCase {
  const char* what;
  std::u16string fields, line, expected;
};

void PrintTo(const QualifyCase& c, std::ostream* out) { *out << c.what; }

class QualifyLine : public ::testing::TestWithParam<QualifyCase> {};

TEST_P(QualifyLine, QualifiesTheWholeNamesOfTheFieldList) {
  const QualifyCase& c = GetParam();
  Lines lines = {c.fields, c.line};
  EXPECT_TRUE(QualifyFieldReferences(lines, u"Filter="));
  EXPECT_EQ(lines[1], c.expected);
  EXPECT_EQ(lines[0], c.fields);
}

const std::u16string kFields = u"  Fields=FirstName;Name;Count";

INSTANTIATE_TEST_SUITE_P(
    FieldReferences, QualifyLine,
    ::testing::Values(
        QualifyCase{"name inside a longer name", kFields, u"  Filter=FirstName<>Name",
                    u"  Filter=Partlist.FirstName<>Partlist.Name"},
        QualifyCase{"upper case variant", kFields, u"  Filter=FirstName+NAME",
                    u"  Filter=Partlist.FirstName+Partlist.NAME"},
        QualifyCase{"no whole name", kFields, u"  Filter=Count2*Orders.Count",
                    u"  Filter=Count2*Orders.Count"},
        QualifyCase{"only upper case present", u" Fields=Count", u" Filter=COUNT>1",
                    u" Filter=Partlist.COUNT>1"},
        QualifyCase{"first matching variant only", u" Fields=Name", u" Filter=Name+NAME+name",
                    u" Filter=Partlist.Name+NAME+name"},
        QualifyCase{"lower case variant", u" Fields=PartNo", u" Filter=partno>0 AND PARTNO",
                    u" Filter=Partlist.partno>0 AND PARTNO"},
        QualifyCase{"capitalised variant", u" Fields=PARTNO", u" Filter=Partno>0 AND PartNo",
                    u" Filter=Partlist.Partno>0 AND PartNo"},
        QualifyCase{"one character token", u" Fields=a", u" Filter=A+b", u" Filter=Partlist.A+b"},
        QualifyCase{"no folding outside a-z", u" Fields=\u00E4rger", u" Filter=\u00C4rger>0",
                    u" Filter=\u00C4rger>0"},
        QualifyCase{"name characters from 0x80", u" Fields=Gr", u" Filter=Gr\u00F6\u00DFe+Gr",
                    u" Filter=Gr\u00F6\u00DFe+Partlist.Gr"},
        QualifyCase{"underscore digit dollar", u" Fields=A", u" Filter=A_+_A+A1+$A+A$+(A)",
                    u" Filter=A_+_A+A1+$A+A$+(Partlist.A)"},
        QualifyCase{"inside inserted text", u" Fields=Name;list;Part;Partlist", u" Filter=Name",
                    u" Filter=Partlist.Name"},
        QualifyCase{"listed twice", u" Fields=Name;Name;NAME", u" Filter=Name=NAME",
                    u" Filter=Partlist.Name=Partlist.NAME"},
        QualifyCase{"token holding the prefix skipped", u" Fields=Partlist.Name;Size",
                    u" Filter=Name+Size", u" Filter=Name+Partlist.Size"},
        QualifyCase{"every whole occurrence", u" Fields=Qty", u" Filter=Qty*Qty+Qty",
                    u" Filter=Partlist.Qty*Partlist.Qty+Partlist.Qty"},
        QualifyCase{"at both ends of the line", u" Fields=Qty;Filter", u"Qty Filter=Qty",
                    u"Partlist.Qty Partlist.Filter=Partlist.Qty"},
        QualifyCase{"first token with its spaces", u"  Fields=Count;;Size",
                    u" Filter=  Fields;Count+Size",
                    u" Filter=Partlist.  Fields;Partlist.Count+Partlist.Size"},
        QualifyCase{"capitalised variant holding the prefix", u" Fields=x;PARTLIST.x", u" Filter=x",
                    u" Filter=Partlist.Partlist.x"},
        QualifyCase{"long list against a long line", u" Fields=A;B;a;Name", u" Filter=a+A+b+B+NAME",
                    u" Filter=Partlist.a+Partlist.A+b+Partlist.B+Partlist.NAME"},
        QualifyCase{"no token matches", u" Fields=Size", u" Filter=Weight", u" Filter=Weight"},
        QualifyCase{"capitalised before upper case", u" Fields=name", u" Filter=Name+NAME",
                    u" Filter=Partlist.Name+NAME"},
        QualifyCase{"capitalising raises the first letter", u" Fields=partNo", u" Filter=Partno>0",
                    u" Filter=Partlist.Partno>0"},
        QualifyCase{"repeated token not tried again", u" Fields=Name;Name", u" Filter=Name+NAME",
                    u" Filter=Partlist.Name+NAME"},
        QualifyCase{"qualified occurrence no match for a later token", u" Fields=Name;name",
                    u" Filter=Name+NAME", u" Filter=Partlist.Name+Partlist.NAME"},
        QualifyCase{"token holding the prefix skipped in every variant", u" Fields=Partlist.Name",
                    u" Filter=PARTLIST.NAME", u" Filter=PARTLIST.NAME"},
        QualifyCase{"scanned token after an indexed one", u" Fields=Name;Part No",
                    u" Filter=Name>0", u" Filter=Partlist.Name>0"},
        QualifyCase{"0x80 is a name character", u" Fields=A", u" Filter=A\u0080+\u0080A+A",
                    u" Filter=A\u0080+\u0080A+Partlist.A"}));

TEST(ReplaceWholeNames, ContinuesOneUnitAfterAPartialOccurrence) {
  std::u16string line = u"aa aa";
  EXPECT_EQ(ReplaceWholeNames(line, u"a", u"x"), 0u);
  line = u"aaa aa";
  EXPECT_EQ(ReplaceWholeNames(line, u"aa", u"<aa>"), 1u);
  EXPECT_EQ(line, u"aaa <aa>");
  line = u"x";
  EXPECT_EQ(ReplaceWholeNames(line, u"", u"y"), 0u);
}

TEST(FindFieldListLine, TakesTheFirstLineHoldingTheKeyAfterItsStart) {
  EXPECT_EQ(FindFieldListLine({u"Fields=A", u"x", u" Fields=B", u" Fields=C"}), u" Fields=B");
  EXPECT_EQ(FindFieldListLine({u"Fields=A"}), std::nullopt);
}

TEST(QualifyFieldReferences, ChangesNothingWithoutFieldListKeyOrTarget) {
  const Lines original = {u" Filter=Name", u" Sum1=Name"};
  Lines lines = original;
  EXPECT_FALSE(QualifyFieldReferences(lines, u"Filter="));  // no field list line
  lines = {u"Fields=Name", u" Filter=Name"};
  EXPECT_FALSE(QualifyFieldReferences(lines, u"Filter="));  // the field list starts the line
  lines = {u" Fields=Name", u" Filter=Name"};
  EXPECT_FALSE(QualifyFieldReferences(lines, u""));
  EXPECT_FALSE(QualifyFieldReferences(lines, u"Sum1="));
  lines = {u" Fields=Name", u" Filter=Partlist.X Name"};
  EXPECT_FALSE(QualifyFieldReferences(lines, u"Filter="));
  EXPECT_EQ(lines[1], u" Filter=Partlist.X Name");
}

TEST(QualifyFieldReferences, RewritesTheFirstUnqualifiedLineAndStoresItBackUnmatched) {
  Lines lines = {u" Fields=Size", u"Sum3=Size",  u" Sum3=Partlist.Size",
                 u" Sum3=Size",   u" Sum3=Size", u" Sum30=Weight"};
  EXPECT_TRUE(QualifyFieldReferences(lines, u"Sum3="));
  const Lines expected = {u" Fields=Size",        u"Sum3=Size",  u" Sum3=Partlist.Size",
                          u" Sum3=Partlist.Size", u" Sum3=Size", u" Sum30=Weight"};
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(QualifyFieldReferences(lines, u"Sum3="));  // the next line, then none is left
  EXPECT_FALSE(QualifyFieldReferences(lines, u"Sum3="));
  EXPECT_TRUE(QualifyFieldReferences(lines, u"Sum30="));  // found, nothing to qualify
  EXPECT_EQ(lines[5], u" Sum30=Weight");
}

TEST(QualifyFieldReferences, RewritesTheFieldListLineWhenItIsTheTarget) {
  Lines lines = {u" Fields=Name; Filter=Name"};
  EXPECT_TRUE(QualifyFieldReferences(lines, u"Filter="));
  EXPECT_EQ(lines[0], u"Partlist. Fields=Partlist.Name;Partlist. Filter=Partlist.Name");
}

}  // namespace
}  // namespace lstconvert
