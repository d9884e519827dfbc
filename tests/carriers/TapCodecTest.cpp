// The TAP codec: blocks, checksums, settings and the meaning of the terminal's answers.

#include <gtest/gtest.h>

#include <string>

#include "carriers/ChannelTap.h"

namespace voxmit {
namespace {

using namespace std::string_literals;

struct TBlockCase {
  const char* Name;
  std::string PagerId;
  std::string Text;
  std::string Expected;
};

class TapBlockTest : public testing::TestWithParam<TBlockCase> {};

TEST_P(TapBlockTest, BuildsTheWholeBlock) {
  const TBlockCase& c = GetParam();
  EXPECT_EQ(tap::BuildBlock(c.Text, c.PagerId), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, TapBlockTest,
    testing::Values(
        TBlockCase{"PlainText", "123", "HI", "\x02" "123\rHI\r\x03" "146\r"s},
        TBlockCase{"BellIsMadeTransparent", "123", "A\x07"s, "\x02" "123\rA\x1AG\r\x03" "157\r"s},
        TBlockCase{"TabBecomesSubI", "1", "\t", "\x02" "1\r\x1AI\r\x03" "0;3\r"s},
        // NUL inside the text is a control character like any other.
        TBlockCase{"NulBecomesSubAt", "1", "\0"s, "\x02" "1\r\x1A@\r\x03" "0::\r"s},
        // Bytes from 0x80 go out unchanged and count with their full value.
        TBlockCase{"HighByteCountsWhole", "1", "\xE9", "\x02" "1\r\xE9\r\x03" "139\r"s},
        // A control character in the pager ID is escaped like one in the text, so a client
        // cannot break the block's framing through it.
        TBlockCase{"PagerIdControlEscaped", "1\x07", "", "\x02" "1\x1aG\r\r\x03" "0;1\r"s},
        TBlockCase{"PagerIdCrCannotEndTheField", "1\r", "", "\x02" "1\x1aM\r\r\x03" "0;7\r"s},
        TBlockCase{"EmptyText", "", "", "\x02\r\r\x03" "01?\r"s}),
    [](const testing::TestParamInfo<TBlockCase>& info) { return std::string(info.param.Name); });

TEST(TapChecksum, UsesOnlyTheLowTwelveBits) {
  // 0x1234 keeps 2, 3, 4; the thousands digit is dropped.
  const std::string bytes(0x1234 / 0xFF, '\xFF');
  const uint32_t rest = 0x1234 - (0x1234 / 0xFF) * 0xFF;
  const std::string block = bytes + std::string(1, static_cast<char>(rest));
  EXPECT_EQ(tap::Checksum(block), "234");
}

TEST(TapChecksum, DigitsAboveNineUseTheCharactersAfterNine) {
  // 0xABC: 0x30 + 10, 0x30 + 11, 0x30 + 12.
  std::string block(0xABC / 0xFF, '\xFF');
  block += static_cast<char>(0xABC - (0xABC / 0xFF) * 0xFF);
  EXPECT_EQ(tap::Checksum(block), ":;<");
}

struct TAnswerCase {
  const char* Name;
  TSendModemResult Result;
  int32_t Index;
  TChannelSendResult Expected;
};

class TapAnswerTest : public testing::TestWithParam<TAnswerCase> {};

TEST_P(TapAnswerTest, Classifies) {
  const TAnswerCase& c = GetParam();
  EXPECT_EQ(tap::ClassifyBlockAnswer(c.Result, c.Index), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TapAnswerTest,
    testing::Values(TAnswerCase{"Ack", seOK, 0, srSent}, TAnswerCase{"Nak", seOK, 1, srRetry},
                    TAnswerCase{"Rs", seOK, 2, srAbandon},
                    TAnswerCase{"EscEot", seOK, 3, srProviderHangUp},
                    TAnswerCase{"Deadline", seExpectTimeout, 0, srNoAnswer},
                    TAnswerCase{"ReadFailed", seReadPortTimeout, -1, srNoAnswer},
                    TAnswerCase{"WriteFailed", seWritePortTimeout, -1, srNoAnswer},
                    TAnswerCase{"NothingMatched", seOK, -1, srNoAnswer}),
    [](const testing::TestParamInfo<TAnswerCase>& info) { return std::string(info.param.Name); });

TEST(TapAnswers, ListsInTheirOrder) {
  EXPECT_EQ(tap::PromptAnswers(), (std::vector<std::string>{"ID=", "NO CARRIER\r\n"}));
  EXPECT_EQ(tap::LogonAnswers(), (std::vector<std::string>{"\x1B[p\r", "NO CARRIER\r\n"}));
  EXPECT_EQ(tap::BlockAnswers(), (std::vector<std::string>{"\x06", "\x15", "\x1E", "\x1B\x04"}));
  EXPECT_EQ(tap::DirectPromptAnswers(), (std::vector<std::string>{"ID=", "\x1B\x04"}));
}

TEST(TapAnswers, EarlierEntryWinsWhenSeveralArrived) {
  // A NAK that came before a late ACK still counts as the ACK: the list order decides.
  EXPECT_EQ(MatchExpected("\x15\x06", tap::BlockAnswers()), tap::baAck);
  EXPECT_EQ(MatchExpected("\x1B\x04\x1E", tap::BlockAnswers()), tap::baRs);
}

TEST(TapLogon, TextsCarryThePassword) {
  EXPECT_EQ(tap::LogonText("SECRET"), "\x1BPG1SECRET\r");
  EXPECT_EQ(tap::LogonText(""), "\x1BPG1\r");
  EXPECT_EQ(tap::LogoffText(), "\x04\r");
}

TEST(TapCarrierSettings, ReadsAllFiveFields) {
  tap::TCarrierSettingsTap s;
  ASSERT_TRUE(tap::ParseCarrierSettings(" 5551234 , pw ,80,1200,\"7,e,1\"", s));
  EXPECT_EQ(s.PhoneNumber, "5551234");
  EXPECT_EQ(s.Password, "pw");
  EXPECT_EQ(s.MaxMessageLength, 80);
  EXPECT_EQ(s.BaudRate, 1200);
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.Parity, 2);
  EXPECT_EQ(s.StopBits, 0);
}

struct TLineFormatCase {
  const char* Name;
  const char* Format;
  int32_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
};

class TapLineFormatTest : public testing::TestWithParam<TLineFormatCase> {};

TEST_P(TapLineFormatTest, Reads) {
  const TLineFormatCase& c = GetParam();
  tap::TCarrierSettingsTap s;
  ASSERT_TRUE(tap::ParseCarrierSettings("1,2,80,9600,\""s + c.Format + "\"", s));
  EXPECT_EQ(s.ByteSize, c.ByteSize);
  EXPECT_EQ(s.Parity, c.Parity);
  EXPECT_EQ(s.StopBits, c.StopBits);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TapLineFormatTest,
    testing::Values(TLineFormatCase{"EightNoneOne", "8,N,1", 8, 0, 0},
                    TLineFormatCase{"SevenEvenOneLowerCase", "7,e,1", 7, 2, 0},
                    TLineFormatCase{"SevenOddTwo", "7,O,2", 7, 1, 2},
                    TLineFormatCase{"ParityByFirstLetter", "8,ODD,1", 8, 1, 0},
                    TLineFormatCase{"UnknownParityAndStopKeepDefaults", "8,M,3", 8, 0, 0}),
    [](const testing::TestParamInfo<TLineFormatCase>& info) {
      return std::string(info.param.Name);
    });

TEST(TapCarrierSettings, WrongFieldCountReadsNothing) {
  for (const char* text : {"1,2,80,9600", "1,2,80,9600,\"8,N,1\",extra", ""}) {
    tap::TCarrierSettingsTap s;
    EXPECT_FALSE(tap::ParseCarrierSettings(text, s)) << text;
    EXPECT_EQ(s.PhoneNumber, "") << text;
    EXPECT_EQ(s.MaxMessageLength, 0) << text;
    EXPECT_EQ(s.ByteSize, 0) << text;
  }
}

TEST(TapCarrierSettings, BadNumberKeepsWhatWasReadBefore) {
  tap::TCarrierSettingsTap s;
  EXPECT_FALSE(tap::ParseCarrierSettings("555,pw,80,fast,\"8,N,1\"", s));
  EXPECT_EQ(s.PhoneNumber, "555");
  EXPECT_EQ(s.MaxMessageLength, 80);
  EXPECT_EQ(s.BaudRate, 0);
  EXPECT_EQ(s.ByteSize, 0);

  tap::TCarrierSettingsTap t;
  EXPECT_FALSE(tap::ParseCarrierSettings("555,pw,80,1200,\"x,N,1\"", t));
  EXPECT_EQ(t.BaudRate, 1200);
  EXPECT_EQ(t.ByteSize, 0);
}

TEST(TapCarrierSettings, UnquotedLineFormatIsAWrongFieldCount) {
  // Without the quotes the three items are three more fields.
  tap::TCarrierSettingsTap s;
  EXPECT_FALSE(tap::ParseCarrierSettings("555,pw,80,1200,8,N,1", s));
}

} // namespace
} // namespace voxmit
