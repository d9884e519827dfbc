// The WCTP codec: flags, pager ID, time stamp, request target, and the request document as a
// gateway's XML parser reads it.

#include <gtest/gtest.h>

#include <Poco/DateTime.h>

#include "carriers/ChannelWCTP.h"
#include "carriers/WctpReader.h"

namespace voxmit::test {
namespace {

struct FlagCase {
  const char* name;
  const char* item;
  bool flag;
};

class ReadFlagTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(ReadFlagTest, Reads) { EXPECT_EQ(wctp::ReadFlag(GetParam().item), GetParam().flag); }

INSTANTIATE_TEST_SUITE_P(
    Items, ReadFlagTest,
    ::testing::Values(FlagCase{"One", "1", true}, FlagCase{"Zero", "0", false},
                      FlagCase{"DoubleZero", "00", false}, FlagCase{"Two", "2", true},
                      FlagCase{"MinusOne", "-1", true}, FlagCase{"Fraction", "0.5", true},
                      FlagCase{"ZeroFraction", "0.0", false}, FlagCase{"WordTrue", "True", true},
                      FlagCase{"UpperTrue", "TRUE", true}, FlagCase{"LowerTrue", "true", true},
                      FlagCase{"WordFalse", "False", false}, FlagCase{"Yes", "yes", false},
                      FlagCase{"Empty", "", false}, FlagCase{"Blanks", " 1 ", true},
                      FlagCase{"NumberThenLetter", "1x", false},
                      FlagCase{"TrueWithMore", "Truely", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WctpPagerIdTest, SixItemsTrimmedLaterOnesIgnored) {
  wctp::TPagerIdWctp pager;
  ASSERT_TRUE(wctp::ParsePagerId("\" 5550100 \",desk,\"night shift\",1,yes,0,extra", pager));
  EXPECT_EQ(pager.RecipientID, "5550100");
  EXPECT_EQ(pager.SenderID, "desk");
  EXPECT_EQ(pager.MiscInfo, "night shift");
  EXPECT_TRUE(pager.NotifyWhenQueued);
  EXPECT_FALSE(pager.NotifyWhenDelivered);
  EXPECT_FALSE(pager.NotifyWhenRead);
}

TEST(WctpPagerIdTest, FewerThanSixItemsAreRefused) {
  wctp::TPagerIdWctp pager;
  EXPECT_FALSE(wctp::ParsePagerId("5550100,desk,,1,0", pager));
  EXPECT_FALSE(wctp::ParsePagerId("", pager));
  EXPECT_TRUE(wctp::ParsePagerId(",,,,,", pager));
}

TEST(WctpTimestampTest, UtcWithCommaAndMilliseconds) {
  const auto at = [](int y, int mo, int d, int h, int mi, int s, int ms) {
    const Poco::Timestamp t = Poco::DateTime(y, mo, d, h, mi, s, ms).timestamp();
    return std::chrono::system_clock::time_point(std::chrono::microseconds(t.epochMicroseconds()));
  };
  EXPECT_EQ(wctp::FormatTimestamp(at(2009, 3, 14, 9, 26, 53, 589)), "2009-03-14T09:26:53,589");
  EXPECT_EQ(wctp::FormatTimestamp(at(2024, 1, 2, 23, 4, 5, 6)), "2024-01-02T23:04:05,006");
}

struct TargetCase {
  const char* name;
  std::string path;
  std::string target;
};

class WctpTargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(WctpTargetTest, Builds) { EXPECT_EQ(wctp::RequestTarget(GetParam().path), GetParam().target); }

INSTANTIATE_TEST_SUITE_P(
    Paths, WctpTargetTest,
    ::testing::Values(
        TargetCase{"DefaultPath", "wctp", "/wctp"},
        TargetCase{"PathFromAUrlGivesTwoSlashes", "/wctp/", "//wctp/"},
        TargetCase{"Empty", "", "/"},
        TargetCase{"PunctuationStays", "/a%20b/*[x]?&=/", "//a%20b/*[x]?&=/"},
        // A blank or a line break could otherwise split the request line or add headers.
        TargetCase{"BlankAndLineBreakEncoded", "/x\r\nHost: y/", "//x%0D%0AHost:%20y/"},
        TargetCase{"HighBytesAndDelEncoded", "/\xE9\x7F/", "//%E9%7F/"}),
    [](const auto& info) { return std::string(info.param.name); });

wctp::TPagerIdWctp Pager(std::string miscInfo = "") {
  wctp::TPagerIdWctp pager;
  pager.RecipientID = "5550100";
  pager.SenderID = "desk";
  pager.MiscInfo = std::move(miscInfo);
  pager.NotifyWhenQueued = true;
  return pager;
}

TEST(WctpRequestTest, ThreeLinesEachEndingInCrLf) {
  const std::string request = wctp::BuildRequest("hello", Pager(), "2009-03-14T09:26:53,589");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = request.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(request.substr(start, end - start));
  EXPECT_EQ(start, request.size()) << "text after the last line end";
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "<?xml version=\"1.0\"?>");
  EXPECT_EQ(lines[1].rfind("<!DOCTYPE", 0), 0u);
  EXPECT_EQ(lines[2].rfind("<wctp-Operation", 0), 0u);
  EXPECT_EQ(lines[2].find('\n'), std::string::npos);

  const TWctpSubmit read = ReadWctpSubmit(request);
  EXPECT_TRUE(read.Problems.empty()) << read.Problems.front();
  EXPECT_EQ(read.DoctypeName, "wctp-Operation");
  EXPECT_EQ(read.DoctypeSystemId, "http://dtd.wctp.org/wctp-dtd-v1r1.dtd");
  EXPECT_EQ(read.WctpVersion, "wctp-dtd-v1r1");
  EXPECT_EQ(read.SubmitTimestamp, "2009-03-14T09:26:53,589");
  EXPECT_EQ(read.SenderID, "desk");
  EXPECT_FALSE(read.MiscInfo.has_value());
  EXPECT_EQ(read.NotifyWhenQueued, "True");
  EXPECT_EQ(read.NotifyWhenDelivered, "False");
  EXPECT_EQ(read.NotifyWhenRead, "False");
  EXPECT_EQ(read.RecipientID, "5550100");
  EXPECT_EQ(read.Alphanumeric, "hello");
}

// Texts (Windows-1252) and what a gateway's parser reads from the document (UTF-8).
struct TextCase {
  const char* name;
  std::string text;
  std::string read;
};

class WctpTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(WctpTextTest, ReachesTheParserIntact) {
  const TextCase& c = GetParam();
  const std::string request = wctp::BuildRequest(c.text, Pager(c.text), "2009-03-14T09:26:53,589");
  const TWctpSubmit read = ReadWctpSubmit(request);
  ASSERT_TRUE(read.Problems.empty()) << read.Problems.front() << "\n" << request;
  EXPECT_EQ(read.Alphanumeric, c.read);
  // The same text as an attribute value (miscinfo).
  ASSERT_TRUE(read.MiscInfo.has_value());
  EXPECT_EQ(*read.MiscInfo, c.read);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WctpTextTest,
    ::testing::Values(
        TextCase{"MarkupCharacters", "a & b < c > d \"e\" 'f'", "a & b < c > d \"e\" 'f'"},
        TextCase{"LooksLikeMarkup", "</wctp-Alphanumeric><x/>", "</wctp-Alphanumeric><x/>"},
        TextCase{"Windows1252Letters", "caf\xE9 \x80 5", "caf\xC3\xA9 \xE2\x82\xAC 5"},
        TextCase{"UndefinedCodeIsC1Control", "a\x81" "b", "a\xC2\x81" "b"},
        TextCase{"TabStays", "a\tb", "a\tb"},
        // XML 1.0 has no way to carry these: they become blanks rather than break the document.
        TextCase{"ControlsBecomeBlanks", "bell\x07 nul", std::string("bell  nul")},
        TextCase{"NulBecomesBlank", std::string("a\0b", 3), "a b"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WctpRequestTest, MarkupInTheTextIsEscapedByTheWriter) {
  const std::string request = wctp::BuildRequest("Fire & smoke < 3 m", Pager(), "t");
  EXPECT_NE(request.find("Fire &amp; smoke &lt; 3 m"), std::string::npos) << request;
}

} // namespace
} // namespace voxmit::test
