// The SNPP carrier's pure pieces: carrier settings, the pager ID and the DATA block.

#include <gtest/gtest.h>

#include "carriers/ChannelSNPP.h"

namespace voxmit::test {
namespace {

TEST(SnppSettings, FiveItemsEachTrimmed) {
  snpp::TCarrierSettingsSNPP s;
  ASSERT_TRUE(snpp::ParseCarrierSettings(" paging.x.org , 444 , 80 ,\" ops \",\" pw \"", s));
  EXPECT_EQ(s.Host, "paging.x.org");
  EXPECT_EQ(s.Port, "444");
  EXPECT_EQ(s.MaxMessageLength, 80);
  EXPECT_EQ(s.LoginID, "ops");
  EXPECT_EQ(s.Password, "pw");
}

TEST(SnppSettings, ALongestPartThatIsNotANumberMeansNoSplitting) {
  for (const char* text : {"h,444,,ops,pw", "h,444,eighty,ops,pw", "h,444,8.5,ops,pw"}) {
    snpp::TCarrierSettingsSNPP s;
    ASSERT_TRUE(snpp::ParseCarrierSettings(text, s)) << text;
    EXPECT_EQ(s.MaxMessageLength, 2147483647) << text;
  }
}

TEST(SnppSettings, WrongItemCountChangesNothing) {
  for (const char* text : {"h,444,80,ops", "h,444,80,ops,pw,x", ""}) {
    snpp::TCarrierSettingsSNPP s;
    s.Host = "device";
    EXPECT_FALSE(snpp::ParseCarrierSettings(text, s)) << text;
    EXPECT_EQ(s.Host, "device");
    EXPECT_EQ(s.MaxMessageLength, 0);
  }
}

TEST(SnppPagerID, FirstOfAtLeastTwoItems) {
  std::string id;
  EXPECT_TRUE(snpp::ParsePagerID("5551234,unused", id));
  EXPECT_EQ(id, "5551234");
  EXPECT_TRUE(snpp::ParsePagerID("\"55 51\",", id));
  EXPECT_EQ(id, "55 51");
  EXPECT_FALSE(snpp::ParsePagerID("5551234", id));
  EXPECT_FALSE(snpp::ParsePagerID("", id));
}

struct DataCase {
  const char* name;
  std::string text;
  std::string block;
};

class SnppDataBlockTest : public ::testing::TestWithParam<DataCase> {};

TEST_P(SnppDataBlockTest, Block) { EXPECT_EQ(SnppDataBlock(GetParam().text), GetParam().block); }

INSTANTIATE_TEST_SUITE_P(
    Texts, SnppDataBlockTest,
    ::testing::Values(
        DataCase{"OneLine", "hello", "hello\r\n.\r\n"},
        DataCase{"CrLfLines", "a\r\nb", "a\r\nb\r\n.\r\n"},
        DataCase{"LoneLfAndLoneCr", "a\nb\rc", "a\r\nb\r\nc\r\n.\r\n"},
        DataCase{"FinalLineEndEndsTheLastLine", "a\r\n", "a\r\n.\r\n"},
        DataCase{"EmptyLineKept", "a\r\n\r\nb", "a\r\n\r\nb\r\n.\r\n"},
        DataCase{"LoneDotIsStuffed", "a\r\n.\r\nb", "a\r\n..\r\nb\r\n.\r\n"},
        DataCase{"LeadingDotsStuffed", ".a\n..b", "..a\r\n...b\r\n.\r\n"},
        DataCase{"DotInsideALineStays", "a.b\r\nc .", "a.b\r\nc .\r\n.\r\n"}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace voxmit::test
