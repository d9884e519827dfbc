// Message texts read as Windows-1252 for the carriers that need Unicode.

#include <gtest/gtest.h>

#include "common/CodePage.h"

namespace voxmit {
namespace {

struct CodePageCase {
  const char* name;
  std::string bytes;
  std::u16string utf16;
  std::string utf8;
};

class CodePageTest : public ::testing::TestWithParam<CodePageCase> {};

TEST_P(CodePageTest, ConvertsEveryByte) {
  const auto& c = GetParam();
  EXPECT_EQ(Cp1252ToUtf16(c.bytes), c.utf16);
  EXPECT_EQ(Cp1252ToUtf8(c.bytes), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CodePageTest,
    ::testing::Values(
        CodePageCase{"Ascii", "Hi 5", u"Hi 5", "Hi 5"},
        CodePageCase{"Latin1Range", "\xE9\xFC\xA0", u"\u00E9\u00FC\u00A0", "\xC3\xA9\xC3\xBC\xC2\xA0"},
        CodePageCase{"EuroAndQuotes", "\x80\x93\x94", u"\u20AC\u201C\u201D",
                     "\xE2\x82\xAC\xE2\x80\x9C\xE2\x80\x9D"},
        CodePageCase{"UndefinedCodesStayAsC1Controls", "\x81\x9D", u"\u0081\u009D", "\xC2\x81\xC2\x9D"},
        CodePageCase{"NulAndControlsKept", std::string("a\0\r", 3), std::u16string(u"a\0\r", 3),
                     std::string("a\0\r", 3)},
        CodePageCase{"Empty", "", u"", ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit
