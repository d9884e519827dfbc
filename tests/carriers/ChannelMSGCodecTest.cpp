// The MSG codec: the text as a query value, the query, the request target; and the gateway
// settings both HTTP carriers read.

#include <gtest/gtest.h>

#include "carriers/ChannelMSG.h"
#include "carriers/HttpGateway.h"

namespace voxmit::test {
namespace {

struct ValueCase {
  const char* name;
  std::string text;
  std::string wire;
};

class EncodeQueryValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(EncodeQueryValueTest, Encodes) {
  EXPECT_EQ(msg::EncodeQueryValue(GetParam().text), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EncodeQueryValueTest,
    ::testing::Values(
        ValueCase{"Blank", "Hello world", "Hello%20world"},
        ValueCase{"QueryDelimiters", "a&b=c+d;e#f", "a%26b%3Dc%2Bd%3Be%23f"},
        ValueCase{"PercentAndEncodedText", "100% 5%25", "100%25%205%2525"},
        ValueCase{"TheEightOfEncodeUrl", "*#%<> []", "%2A%23%25%3C%3E%20%5B%5D"},
        ValueCase{"HighByte", "caf\xE9", "caf%E9"},
        ValueCase{"ControlsAndNul", std::string("a\tb\0c", 5), "a%09b%00c"},
        ValueCase{"Bytes127And128StayAsEncodeUrlLeavesThem", "\x7F\x80", "\x7F\x80"},
        ValueCase{"OtherPunctuationStays", "?/:@!$',()~-_.", "?/:@!$',()~-_."}),
    [](const auto& info) { return std::string(info.param.name); });

struct QueryCase {
  const char* name;
  std::string text;
  std::string pagerID;
  std::optional<std::string> query;
};

class BuildQueryTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(BuildQueryTest, Builds) {
  EXPECT_EQ(msg::BuildQuery(GetParam().text, GetParam().pagerID), GetParam().query);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, BuildQueryTest,
    ::testing::Values(
        QueryCase{"TheExample", "Hello world", "A,B,C,D,E",
                  "?id=B&to=A&from=C&text=Hello%20world&user=D&pass=E"},
        QueryCase{"TextCannotAddParameters", "a&b=c", "A,B,C,D,E",
                  "?id=B&to=A&from=C&text=a%26b%3Dc&user=D&pass=E"},
        QueryCase{"TextCannotOverrideTheRecipient", "hi&to=5559999", "A,B,C,D,E",
                  "?id=B&to=A&from=C&text=hi%26to%3D5559999&user=D&pass=E"},
        // The caller owns the pager ID and may use it to pass further gateway parameters.
        QueryCase{"PagerIdItemsStayAsGiven", "x", "A&priority=high,B,C,D,E",
                  "?id=B&to=A&priority=high&from=C&text=x&user=D&pass=E"},
        QueryCase{"ItemsTrimmedThenEncodedByEncodeUrl", "x", "\" A b \",B,C,D,\"p%w\"",
                  "?id=B&to=A%20b&from=C&text=x&user=D&pass=p%25w"},
        QueryCase{"EmptyItems", "", ",,,,", "?id=&to=&from=&text=&user=&pass="},
        QueryCase{"ASixthItemIsIgnored", "x", "A,B,C,D,E,F",
                  "?id=B&to=A&from=C&text=x&user=D&pass=E"},
        QueryCase{"FourItemsGiveNoQuery", "x", "A,B,C,D", std::nullopt},
        QueryCase{"EmptyPagerIdGivesNoQuery", "x", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MsgTargetTest, PathThroughEncodeUrlQueryAsBuilt) {
  EXPECT_EQ(msg::RequestTarget("send", "?id=1&text=a%26b"), "/send?id=1&text=a%26b");
  EXPECT_EQ(msg::RequestTarget("/cgi bin/", "?id=1"), "//cgi%20bin/?id=1");
}

// ---- Gateway settings -----------------------------------------------------------------------------

struct SettingsCase {
  const char* name;
  const char* text;
  bool ok;
  TGatewaySettings expected;
};

class GatewaySettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(GatewaySettingsTest, Reads) {
  const SettingsCase& c = GetParam();
  TGatewaySettings settings{"device-host", "25", "", 0};
  EXPECT_EQ(ParseGatewaySettings(c.text, "send", settings), c.ok);
  EXPECT_EQ(settings.Host, c.expected.Host);
  EXPECT_EQ(settings.Port, c.expected.Port);
  EXPECT_EQ(settings.Path, c.expected.Path);
  EXPECT_EQ(settings.MaxMessageLength, c.expected.MaxMessageLength);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GatewaySettingsTest,
    ::testing::Values(
        SettingsCase{"PathWithFinalSlash", "http://gw/wctp/,8080,160", true, {"gw", "8080", "/wctp/", 160}},
        SettingsCase{"DocumentDropped", "http://gw/wctp,8080,160", true, {"gw", "8080", "/", 160}},
        SettingsCase{"EmptyPortIs80", "http://gw/a/,,160", true, {"gw", "80", "/a/", 160}},
        SettingsCase{"PortInTheUrlIgnored", "http://gw:9999/a/,81,160", true, {"gw", "81", "/a/", 160}},
        SettingsCase{"LengthNoIntegerMeansNoSplitting", "http://gw/a/,81,many", true,
                     {"gw", "81", "/a/", kNoSplitLength}},
        SettingsCase{"ItemsTrimmed", "\" http://gw/a/ \",\" 81 \",\" 90 \"", true, {"gw", "81", "/a/", 90}},
        SettingsCase{"UrlWithoutHostKeepsTheDevicesHost", "send,81,160", true,
                     {"device-host", "81", "send", 160}},
        SettingsCase{"EmptyUrl", ",81,160", true, {"device-host", "81", "send", 160}},
        SettingsCase{"TwoItemsChangeNothing", "http://gw/a/,81", false, {"device-host", "25", "", 0}},
        SettingsCase{"FourItemsChangeNothing", "http://gw/a/,81,160,x", false,
                     {"device-host", "25", "", 0}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit::test
