// The ACU codec as tables: hex escapes, the carrier settings and the datagram payload.

#include <gtest/gtest.h>

#include <limits>

#include "carriers/ChannelACU.h"
#include "common/CommaText.h"

namespace voxmit::test {
namespace {

using namespace std::string_literals;

struct UnescapeCase {
  const char* name;
  std::string text;
  std::optional<std::string> expected;
};

class UnescapeHexTest : public ::testing::TestWithParam<UnescapeCase> {};

TEST_P(UnescapeHexTest, Decodes) {
  EXPECT_EQ(acu::UnescapeHex(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnescapeHexTest,
    ::testing::Values(
        UnescapeCase{"Plain", "no escapes", "no escapes"s},
        UnescapeCase{"FramingBytes", "\\02Hi\\03", "\x02Hi\x03"s},
        UnescapeCase{"EitherCase", "\\4a\\4A\\ff", "JJ\xff"s},
        UnescapeCase{"ZeroByteInside", "a\\00b", "a\0b"s},
        // A decoded backslash starts an escape of its own with the two characters after it.
        UnescapeCase{"DecodedBackslashEscapesAgain", "\\5c41", "A"s},
        UnescapeCase{"NotHex", "\\zz", std::nullopt},
        UnescapeCase{"OneDigitOnly", "ab\\4", std::nullopt},
        UnescapeCase{"BackslashLast", "ab\\", std::nullopt},
        UnescapeCase{"DecodedBackslashThenNotHex", "\\5cxy", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// One destination entry as the settings editor writes it.
std::string Entry(const std::string& host, const std::string& remote, const std::string& local) {
  return JoinCommaText({"unit", "x", host, remote, local});
}

std::string Settings(const std::string& limit, const std::vector<std::string>& entries,
                     const std::string& prefix = "\\02", const std::string& suffix = "\\03",
                     const std::string& number = "7") {
  return JoinCommaText({number, prefix, suffix, limit, JoinCommaText(entries), "unused"});
}

TEST(AcuSettingsTest, ReadsEveryItemAndEachDestination) {
  acu::TCarrierSettingsACU s;
  std::string why;
  ASSERT_TRUE(acu::ParseCarrierSettings(
      Settings(" 160 ", {Entry("127.0.0.1", "5000", "0"), Entry(" host.b ", "5001", "6001")}), s,
      why))
      << why;
  EXPECT_EQ(s.Number, 7);
  EXPECT_EQ(s.Prefix, "\x02");
  EXPECT_EQ(s.Suffix, "\x03");
  EXPECT_EQ(s.MaxMessageLength, 156);
  ASSERT_EQ(s.Destinations.size(), 2u);
  EXPECT_EQ(s.Destinations[0].Host, "127.0.0.1");
  EXPECT_EQ(s.Destinations[0].RemotePort, 5000);
  EXPECT_EQ(s.Destinations[0].LocalPort, 0);
  EXPECT_EQ(s.Destinations[1].Host, "host.b");
  EXPECT_EQ(s.Destinations[1].LocalPort, 6001);
}

TEST(AcuSettingsTest, ALimitThatIsNotAnIntegerLeavesTheLargestLimit) {
  acu::TCarrierSettingsACU s;
  std::string why;
  ASSERT_TRUE(acu::ParseCarrierSettings(Settings("none", {}), s, why));
  EXPECT_EQ(s.MaxMessageLength, std::numeric_limits<int32_t>::max() - 4);
  EXPECT_TRUE(s.Destinations.empty());
}

struct BadSettingsCase {
  const char* name;
  std::string text;
};

class AcuBadSettingsTest : public ::testing::TestWithParam<BadSettingsCase> {};

TEST_P(AcuBadSettingsTest, AreRejectedWithAReasonAndChangeNothing) {
  acu::TCarrierSettingsACU s;
  s.Number = 99;
  std::string why;
  EXPECT_FALSE(acu::ParseCarrierSettings(GetParam().text, s, why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(s.Number, 99);
  EXPECT_TRUE(s.Destinations.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcuBadSettingsTest,
    ::testing::Values(
        BadSettingsCase{"FiveItems", "1,a,b,160,x"},
        BadSettingsCase{"SevenItems", "1,a,b,160,x,y,z"},
        BadSettingsCase{"NumberNotInteger", Settings("160", {}, "a", "b", "one")},
        BadSettingsCase{"BrokenEscapeInPrefix", Settings("160", {}, "\\0g")},
        BadSettingsCase{"BrokenEscapeInSuffix", Settings("160", {}, "a", "\\")},
        BadSettingsCase{"DestinationWithFourItems",
                        Settings("160", {JoinCommaText({"u", "x", "127.0.0.1", "5000"})})},
        BadSettingsCase{"RemotePortNotInteger", Settings("160", {Entry("h", "50x", "0")})},
        BadSettingsCase{"RemotePortZero", Settings("160", {Entry("h", "0", "0")})},
        BadSettingsCase{"LocalPortTooLarge", Settings("160", {Entry("h", "5000", "70000")})}),
    [](const auto& info) { return std::string(info.param.name); });

struct PayloadCase {
  const char* name;
  std::string pagerID;
  std::optional<std::string> payload;
};

class AcuPayloadTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(AcuPayloadTest, Builds) {
  acu::TCarrierSettingsACU s;
  s.Prefix = "\x02";
  s.Suffix = "\x03";
  std::string why;
  const auto payload = acu::BuildPayload(s, "Fire in hall 3", GetParam().pagerID, why);
  EXPECT_EQ(payload, GetParam().payload);
  EXPECT_EQ(why.empty(), payload.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcuPayloadTest,
    ::testing::Values(
        PayloadCase{"TtsForm", "1", "TTS \x02" "Fire in hall 3\x03"s},
        PayloadCase{"AnyModeButZeroIsTts", "-5,zone", "TTS \x02" "Fire in hall 3\x03"s},
        PayloadCase{"IppDataForm", "0,\" zone 4 \",9", "IPP DATA zone 4,\x02" "Fire in hall 3\x03"s},
        PayloadCase{"IppDataWithoutItem2", "0", std::nullopt},
        PayloadCase{"ModeNotInteger", "tts,zone", std::nullopt},
        PayloadCase{"EmptyPagerID", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit::test
