// The line format item shared by the serial carriers' settings.

#include <gtest/gtest.h>

#include "channels/LineFormat.h"

namespace voxmit {
namespace {

struct LineFormatCase {
  const char* name;
  const char* field;
  TLineFormat expected;  // starting from {0, 0, 0}
  TLineFormatItems found;
};

class LineFormatTest : public ::testing::TestWithParam<LineFormatCase> {};

TEST_P(LineFormatTest, ReadsWhatConvertsAndReportsIt) {
  const auto& c = GetParam();
  TLineFormat line;
  const TLineFormatItems found = ParseLineFormat(c.field, line);
  EXPECT_EQ(line.ByteSize, c.expected.ByteSize);
  EXPECT_EQ(line.Parity, c.expected.Parity);
  EXPECT_EQ(line.StopBits, c.expected.StopBits);
  EXPECT_EQ(found.Count, c.found.Count);
  EXPECT_EQ(found.DataBits, c.found.DataBits);
  EXPECT_EQ(found.Parity, c.found.Parity);
  EXPECT_EQ(found.StopBits, c.found.StopBits);
  EXPECT_EQ(found.StopBitsNumber, c.found.StopBitsNumber);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, LineFormatTest,
    ::testing::Values(
        LineFormatCase{"EightNoneOne", "8,N,1", {8, 0, 0}, {3, true, true, true, true}},
        LineFormatCase{"LowerCaseIsUpperCasedFirst", " 7,e,2 ", {7, 2, 2}, {3, true, true, true, true}},
        LineFormatCase{"OddParityByFirstLetter", "7,Odd,1", {7, 1, 0}, {3, true, true, true, true}},
        LineFormatCase{"UnknownParityKeepsNone", "8,X,1", {8, 0, 0}, {3, true, false, true, true}},
        LineFormatCase{"StopBitsThreeKeepOne", "8,N,3", {8, 0, 0}, {3, true, true, false, true}},
        LineFormatCase{"StopBitsNotANumber", "8,N,x", {8, 0, 0}, {3, true, true, false, false}},
        LineFormatCase{"DataBitsNotANumber", "A,E,2", {0, 2, 2}, {3, false, true, true, true}},
        LineFormatCase{"TwoItems", "8,E", {8, 2, 0}, {2, true, true, false, false}},
        LineFormatCase{"Empty", "", {0, 0, 0}, {0, false, false, false, false}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit
