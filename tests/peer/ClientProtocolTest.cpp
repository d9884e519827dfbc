#include "tools/ClientProtocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace voxmit::client {
namespace {

using testing::ElementsAreArray;

struct TSplitCase {
  std::string Name;
  std::string Text;
  std::vector<std::string> Fields;
  friend void PrintTo(const TSplitCase& c, std::ostream* os) { *os << c.Name; }
};

class SplitFieldsTest : public testing::TestWithParam<TSplitCase> {};

TEST_P(SplitFieldsTest, GivesTheFields) {
  EXPECT_THAT(SplitFields(GetParam().Text), ElementsAreArray(GetParam().Fields));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitFieldsTest,
    testing::Values(
        TSplitCase{"Empty", "", {}},
        TSplitCase{"OnlyBlanks", " \t\r\n", {}},
        TSplitCase{"TwoCommasGiveAnEmptyField", "a,,b", {"a", "", "b"}},
        TSplitCase{"BlankSeparatesFields", "two words", {"two", "words"}},
        TSplitCase{"CommaAtTheVeryEndGivesEmptyLastField", "a,", {"a", ""}},
        TSplitCase{"CommaFollowedByBlankGivesNoLastField", "a, ", {"a"}},
        TSplitCase{"LeadingCommaGivesEmptyFirstField", ",a", {"", "a"}},
        TSplitCase{"BlanksAroundCommasAreSkipped", " a ,\r\n b", {"a", "b"}},
        TSplitCase{"QuotedFieldKeepsCommasBlanksAndDoubledQuotes", "\"a, \"\"b\"\"\",c",
                   {"a, \"b\"", "c"}},
        TSplitCase{"QuotedEmptyField", "\"\",x", {"", "x"}},
        TSplitCase{"MissingClosingQuoteDropsTheLastCharacter", "x,\"abc", {"x", "ab"}},
        TSplitCase{"NulOutsideQuotesSeparates", std::string("a\0b", 3), {"a", "b"}},
        TSplitCase{"EightBitCharactersArePlain", "caf\xe9,\xff", {"caf\xe9", "\xff"}}),
    [](const testing::TestParamInfo<TSplitCase>& info) { return info.param.Name; });

TEST(JoinFields, SplitsBackToTheSameList) {
  const std::vector<std::vector<std::string>> lists = {
      {},
      {""},
      {"", ""},
      {"a", " b", "c "},
      {"x\"y", "", "last,"},
      {"\"", "\"\""},
      {"\r\v\r", "\t"},
      {"ends with an empty field", ""},
      {std::string("nul\0inside", 10)},
  };
  for (const auto& list : lists) {
    const std::string joined = JoinFields(list);
    EXPECT_THAT(SplitFields(joined), ElementsAreArray(list)) << "joined: " << joined;
  }
}

struct TReplyCase {
  std::string Name;
  std::string Body;
  std::string Keyword;
  std::string Data;
  std::vector<std::string> Fields;
  friend void PrintTo(const TReplyCase& c, std::ostream* os) { *os << c.Name; }
};

class ParseReplyTest : public testing::TestWithParam<TReplyCase> {};

TEST_P(ParseReplyTest, SplitsKeywordDataAndFields) {
  const TReply reply = ParseReply(GetParam().Body);
  EXPECT_EQ(reply.Keyword, GetParam().Keyword);
  EXPECT_EQ(reply.Data, GetParam().Data);
  EXPECT_THAT(reply.Fields, ElementsAreArray(GetParam().Fields));
  EXPECT_EQ(reply.Body, GetParam().Body);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ParseReplyTest,
    testing::Values(
        TReplyCase{"KeywordOnly", "LOGON_OK", "LOGON_OK", "", {}},
        TReplyCase{"QuotedData", "MESSAGE_ACCEPTED,\"17,4711\"", "MESSAGE_ACCEPTED", "17,4711",
                   {"17", "4711"}},
        TReplyCase{"SendErrorText",
                   "MESSAGE_SEND_ERROR,\"17,3, Error Sending this Message.\"",
                   "MESSAGE_SEND_ERROR",
                   "17,3, Error Sending this Message.",
                   {"17", "3", "Error", "Sending", "this", "Message."}},
        TReplyCase{"DeniedLogonIsNotOneQuotedData",
                   "LOGON_DENIED,4,\"Wrong LogOn Message Format\"",
                   "LOGON_DENIED",
                   "4,\"Wrong LogOn Message Format\"",
                   {"4", "Wrong LogOn Message Format"}},
        TReplyCase{"EmptyQuotedData", "BROADCAST_MESSAGE,\"\"", "BROADCAST_MESSAGE", "", {}}),
    [](const testing::TestParamInfo<TReplyCase>& info) { return info.param.Name; });

TEST(TFrameCutter, KeepsAStartMarkerCutByTheRead) {
  TFrameCutter cutter;
  cutter.Append("noise\r");
  EXPECT_FALSE(cutter.Next());
  cutter.Append("\n");
  EXPECT_FALSE(cutter.Next());
  cutter.Append("\rBODY\r\v\r\r\n\rSECOND");
  EXPECT_EQ(cutter.Next(), "BODY");
  EXPECT_FALSE(cutter.Next());
  cutter.Append("\r\v\r");
  EXPECT_EQ(cutter.Next(), "SECOND");
}

TEST(TFrameCutter, EmptyBodyIsAFrame) {
  TFrameCutter cutter;
  cutter.Append("\r\n\r\r\v\r");
  EXPECT_EQ(cutter.Next(), "");
  EXPECT_FALSE(cutter.Next());
}

TEST(NewClientGuid, IsThirtyEightUpperCaseCharactersInBraces) {
  const std::string guid = NewClientGuid();
  EXPECT_THAT(guid, testing::MatchesRegex(
                        "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}"));
  EXPECT_NE(guid, NewClientGuid());
}

} // namespace
} // namespace voxmit::client
