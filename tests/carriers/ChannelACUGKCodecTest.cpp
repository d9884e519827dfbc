// The gatekeeper carrier's codec as tables: the eleven settings items and the payload forms.

#include <gtest/gtest.h>

#include <limits>

#include "carriers/ChannelACUGK.h"
#include "common/CommaText.h"

namespace voxmit::test {
namespace {

using namespace std::string_literals;

std::string Terminals(const std::vector<std::string>& ids) {
  std::vector<std::string> entries;
  for (const auto& id : ids) entries.push_back(JoinCommaText({"name", id, "x"}));
  return JoinCommaText(entries);
}

std::string Settings(const std::string& terminals, const std::string& limit = "160",
                     const std::string& port = "1720", const std::string& numberC = "3",
                     const std::string& suffix = "\\03") {
  return JoinCommaText({"5", "\\02", suffix, " gk.local ", port, " alpha ", "beta", numberC,
                        limit, terminals, ""});
}

TEST(AcugkSettingsTest, ReadsEveryItemAndTheTerminalsInOrder) {
  acugk::TCarrierSettingsACUGK s;
  std::string why;
  ASSERT_TRUE(acugk::ParseCarrierSettings(Settings(Terminals({"101", "7"})), s, why)) << why;
  EXPECT_EQ(s.Number, 5);
  EXPECT_EQ(s.Prefix, "\x02");
  EXPECT_EQ(s.Suffix, "\x03");
  EXPECT_EQ(s.Host, "gk.local");
  EXPECT_EQ(s.Port, "1720");
  EXPECT_EQ(s.TextA, "alpha");
  EXPECT_EQ(s.TextB, "beta");
  EXPECT_EQ(s.NumberC, "3");
  EXPECT_EQ(s.MaxMessageLength, 159);
  EXPECT_EQ(s.Terminals, (std::vector<std::string>{"101", "7"}));
  EXPECT_EQ(SplitCommaText(acugk::ConnectRequest(s)),
            (std::vector<std::string>{"alpha", "beta", "gk.local", "1720", "3"}));

  ASSERT_TRUE(acugk::ParseCarrierSettings(Settings(Terminals({}), "big"), s, why));
  EXPECT_EQ(s.MaxMessageLength, std::numeric_limits<int32_t>::max() - 1);
  EXPECT_TRUE(s.Terminals.empty());
}

struct BadCase {
  const char* name;
  std::string text;
};

class AcugkBadSettingsTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(AcugkBadSettingsTest, AreRejectedWithAReason) {
  acugk::TCarrierSettingsACUGK s;
  std::string why;
  EXPECT_FALSE(acugk::ParseCarrierSettings(GetParam().text, s, why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(s.Host.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcugkBadSettingsTest,
    ::testing::Values(
        BadCase{"TenItems", "1,a,b,h,1,A,B,3,160,x"},
        BadCase{"PortNotInteger", Settings(Terminals({"1"}), "160", "http")},
        BadCase{"NumberCNotInteger", Settings(Terminals({"1"}), "160", "1720", "c")},
        BadCase{"BrokenEscape", Settings(Terminals({"1"}), "160", "1720", "3", "\\g0")},
        BadCase{"TerminalEntryWithoutItem2", Settings(JoinCommaText({"lonely"}))},
        BadCase{"TerminalIDNotInteger", Settings(Terminals({"T1"}))}),
    [](const auto& info) { return std::string(info.param.name); });

struct PayloadCase {
  const char* name;
  std::string suffix;
  std::string pagerID;
  std::optional<std::string> payload;
};

class AcugkPayloadTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(AcugkPayloadTest, Builds) {
  acugk::TCarrierSettingsACUGK s;
  s.Prefix = "<";
  s.Suffix = GetParam().suffix;
  std::string why;
  const auto payload = acugk::BuildPayload(s, "Hello", GetParam().pagerID, why);
  EXPECT_EQ(payload, GetParam().payload);
  EXPECT_EQ(why.empty(), payload.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcugkPayloadTest,
    ::testing::Values(
        PayloadCase{"TForm", ">", "1", "T<Hello>"s},
        PayloadCase{"IForm", ">", "0,255,ab,cd", "I000000FFabcd<Hello>"s},
        PayloadCase{"IFormItemsTrimmed", ">", "0,\" 16 \",\" a \",\"b \"", "I00000010ab<Hello>"s},
        PayloadCase{"IFormNegativeAsTwosComplement", "", "0,-1,,", "IFFFFFFFF<Hello"s},
        PayloadCase{"IFormLacksItem4", ">", "0,255,ab", std::nullopt},
        PayloadCase{"IFormItem2NotInteger", ">", "0,ff,ab,cd", std::nullopt},
        PayloadCase{"ModeNotInteger", ">", "T", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit::test
