// The PACNET codec: the meaning of the service's answer codes, the texts on the line, which
// parts can travel as one line, the echo filter, and the carrier settings.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carriers/ChannelPacnet.h"

namespace voxmit {
namespace {

using namespace std::string_literals;

// ---- Answer codes ---------------------------------------------------------------------------------

struct TCodeCase {
  const char* Code;
  TChannelSendResult Expected;
};

class PacnetCodeTest : public testing::TestWithParam<TCodeCase> {};

// Each code, found on its own in what arrived, means its result.
TEST_P(PacnetCodeTest, ClassifiesTheCodeFoundInTheAnswer) {
  const TCodeCase& c = GetParam();
  const int32_t index = MatchExpected("\r\n"s + c.Code + "\r\n", pacnet::AnswerCodes());
  ASSERT_GE(index, 0);
  EXPECT_EQ(pacnet::AnswerCodes()[index], c.Code);
  EXPECT_EQ(pacnet::ClassifyAnswer(seOK, index), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PacnetCodeTest,
    testing::Values(TCodeCase{"?00", srSent}, TCodeCase{"?90", srAbandon},
                    TCodeCase{"?92", srProviderHangUp}, TCodeCase{"?11", srAbandon},
                    TCodeCase{"?89", srAbandon}, TCodeCase{"?91", srAbandon},
                    TCodeCase{"?17", srProviderHangUp}, TCodeCase{"?86", srProviderHangUp},
                    TCodeCase{"?93", srProviderHangUp}, TCodeCase{"?94", srProviderHangUp},
                    TCodeCase{"?87", srProviderHangUp}, TCodeCase{"?95", srProviderHangUp},
                    TCodeCase{"?99", srRetry}, TCodeCase{"?96", srProviderHangUp},
                    TCodeCase{"?98", srProviderHangUp}),
    [](const testing::TestParamInfo<TCodeCase>& info) {
      return "Code" + std::string(info.param.Code + 1);
    });

TEST(PacnetAnswers, FifteenCodesInTheirOrder) {
  EXPECT_EQ(pacnet::AnswerCodes(),
            (std::vector<std::string>{"?00", "?90", "?92", "?11", "?89", "?91", "?17", "?86",
                                      "?93", "?94", "?87", "?95", "?99", "?96", "?98"}));
  EXPECT_EQ(pacnet::CallAnswers(), (std::vector<std::string>{"Please enter Pager ID", "CLR"}));
}

TEST(PacnetAnswers, EarlierCodeOfTheListWinsOverOneThatArrivedFirst) {
  struct {
    const char* received;
    TChannelSendResult expected;
  } cases[] = {
      {"?92\r\n?00\r\n", srSent},       // ?00 comes first in the list
      {"?00?92", srSent},
      {"?99 ?90", srAbandon},           // ?90 before ?99
      {"?98\r\n?11\r\n", srAbandon},    // ?11 before ?98
      {"?96?99", srRetry},              // ?99 before ?96
  };
  for (const auto& c : cases) {
    const int32_t index = MatchExpected(c.received, pacnet::AnswerCodes());
    EXPECT_EQ(pacnet::ClassifyAnswer(seOK, index), c.expected) << c.received;
  }
}

TEST(PacnetAnswers, NoCodeOrNoAnswerIsNoAnswer) {
  EXPECT_EQ(pacnet::ClassifyAnswer(seExpectTimeout, 0), srNoAnswer);
  EXPECT_EQ(pacnet::ClassifyAnswer(seReadPortTimeout, -1), srNoAnswer);
  EXPECT_EQ(pacnet::ClassifyAnswer(seWritePortTimeout, -1), srNoAnswer);
  EXPECT_EQ(pacnet::ClassifyAnswer(seOK, -1), srNoAnswer);
  EXPECT_EQ(pacnet::ClassifyAnswer(seOK, 15), srNoAnswer);
  // Half a code, or a code without its question mark, is no code.
  EXPECT_EQ(MatchExpected("?0", pacnet::AnswerCodes()), -1);
  EXPECT_EQ(MatchExpected("00 90 92", pacnet::AnswerCodes()), -1);
}

// ---- Texts on the line ----------------------------------------------------------------------------

TEST(PacnetTexts, LineCallRequestAndClear) {
  EXPECT_EQ(pacnet::BuildLine("HELLO", "1234"), "1234@HELLO\r");
  EXPECT_EQ(pacnet::BuildLine("", "1"), "1@\r");
  // Bytes from 0x80 and blanks go out as they are.
  EXPECT_EQ(pacnet::BuildLine("caf\xE9 at 5", "77"), "77@caf\xE9 at 5\r");
  EXPECT_EQ(pacnet::CallRequestText("VOXNET", "311020100"), "NVOXNET-311020100\r");
  EXPECT_EQ(pacnet::CallRequestText("", ""), "N-\r");
  EXPECT_EQ(pacnet::ClearText(), "CLR\r");
}

struct TSendableCase {
  const char* Name;
  std::string PagerId;
  std::string Text;
  bool Sendable;
};

class PacnetSendableTest : public testing::TestWithParam<TSendableCase> {};

TEST_P(PacnetSendableTest, Judges) {
  const TSendableCase& c = GetParam();
  EXPECT_EQ(pacnet::UnsendableReason(c.PagerId, c.Text).empty(), c.Sendable);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, PacnetSendableTest,
    testing::Values(
        TSendableCase{"Plain", "1234", "HELLO", true},
        TSendableCase{"EmptyText", "1234", "", true},
        TSendableCase{"AtSignInText", "1234", "mail me@home", true},
        TSendableCase{"TabAndHighBytesInText", "1234", "a\tb\xE9\x7F", true},
        TSendableCase{"LettersInPagerId", "AB-12", "x", true},
        TSendableCase{"EmptyPagerId", "", "x", false},
        // The service would split at the first "@" and page 12 with "34@x".
        TSendableCase{"AtSignInPagerId", "12@34", "x", false},
        TSendableCase{"CrInPagerId", "12\r34", "x", false},
        TSendableCase{"NulInPagerId", "12\0"s, "x", false},
        TSendableCase{"DelInPagerId", "12\x7F", "x", false},
        TSendableCase{"PadRecallInText", "1234", "a\x10" "CLR", false},
        TSendableCase{"XoffInText", "1234", "a\x13", false},
        TSendableCase{"XonInText", "1234", "\x11", false}),
    [](const testing::TestParamInfo<TSendableCase>& info) { return std::string(info.param.Name); });

// ---- Echo filter ----------------------------------------------------------------------------------

struct TEchoCase {
  const char* Name;
  std::string Line;
  std::vector<std::string> Pieces;  // as they arrive
  std::string Passed;               // everything the filter let through
};

class PacnetEchoTest : public testing::TestWithParam<TEchoCase> {};

TEST_P(PacnetEchoTest, TakesOutTheFirstEchoOnly) {
  const TEchoCase& c = GetParam();
  pacnet::TEchoFilter filter;
  filter.Expect(c.Line);
  std::string passed;
  for (const std::string& piece : c.Pieces) passed += filter.Filter(piece);
  EXPECT_EQ(passed, c.Passed);
}

INSTANTIATE_TEST_SUITE_P(
    Echoes, PacnetEchoTest,
    testing::Values(
        TEchoCase{"EchoThenAnswer", "1234@HI ?00", {"1234@HI ?00\r?90\r\n"}, "\r?90\r\n"},
        TEchoCase{"EchoSplitOverPieces", "1234@HI ?00", {"12", "34@HI ?", "00\r", "?90\r\n"},
                  "\r?90\r\n"},
        TEchoCase{"NoEcho", "1234@HI", {"?00\r\n"}, "?00\r\n"},
        // Text before the echo (the end of an earlier prompt) passes.
        TEchoCase{"StaleTextBeforeTheEcho", "1234@HI", {": 1234@HI\r", "?00\r\n"}, ": \r?00\r\n"},
        // A second copy of the line is the service's business, not the echo.
        TEchoCase{"OnlyTheFirstCopyGoes", "1@?00", {"1@?00\r1@?00"}, "\r1@?00"},
        // Something that starts like the echo and then differs is let go whole.
        TEchoCase{"FalseStart", "1234@HI", {"12", "3?00"}, "123?00"},
        TEchoCase{"RepeatedStart", "1212@X", {"1", "21212@X", "!"}, "12!"},
        // A tail that may still be the echo is held back.
        TEchoCase{"HeldWhileItMayBeTheEcho", "1234@HI", {"?00 12"}, "?00 "}),
    [](const testing::TestParamInfo<TEchoCase>& info) { return std::string(info.param.Name); });

TEST(PacnetEcho, WithoutALineEverythingPasses) {
  pacnet::TEchoFilter filter;
  EXPECT_EQ(filter.Filter("1234@HI"), "1234@HI");
  filter.Expect("1234@HI");
  EXPECT_EQ(filter.Filter("1234"), "");
  filter.Clear();
  EXPECT_EQ(filter.Filter("@HI"), "@HI");
}

// ---- Carrier settings -----------------------------------------------------------------------------

TEST(PacnetCarrierSettings, ReadsAllSixFields) {
  pacnet::TCarrierSettingsPacnet s;
  ASSERT_TRUE(pacnet::ParseCarrierSettings(" 0800123 ,100,2400,\"7,e,2\", VOXNET , 311020100 ", s));
  EXPECT_EQ(s.PhoneNumber, "0800123");
  EXPECT_EQ(s.MaxMessageLength, 100);
  EXPECT_EQ(s.BaudRate, 2400);
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.Parity, 2);
  EXPECT_EQ(s.StopBits, 2);
  EXPECT_EQ(s.NetworkUserId, "VOXNET");
  EXPECT_EQ(s.CalledAddress, "311020100");
}

struct TSettingsCase {
  const char* Name;
  std::string Text;
  bool Valid;
  int32_t MaxMessageLength;
  int32_t BaudRate;
  int32_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  std::string CalledAddress;
};

class PacnetSettingsTest : public testing::TestWithParam<TSettingsCase> {};

TEST_P(PacnetSettingsTest, Reads) {
  const TSettingsCase& c = GetParam();
  pacnet::TCarrierSettingsPacnet s;
  EXPECT_EQ(pacnet::ParseCarrierSettings(c.Text, s), c.Valid);
  EXPECT_EQ(s.MaxMessageLength, c.MaxMessageLength);
  EXPECT_EQ(s.BaudRate, c.BaudRate);
  EXPECT_EQ(s.ByteSize, c.ByteSize);
  EXPECT_EQ(s.Parity, c.Parity);
  EXPECT_EQ(s.StopBits, c.StopBits);
  EXPECT_EQ(s.CalledAddress, c.CalledAddress);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PacnetSettingsTest,
    testing::Values(
        // Defaults of the two numbers.
        TSettingsCase{"EmptyLengthAndSpeed", "555,,,\"8,N,1\",U,A", true, 120, 9600, 8, 0, 0, "A"},
        TSettingsCase{"LettersForLengthAndSpeed", "555,long,fast,\"8,N,1\",U,A", true, 120, 9600,
                      8, 0, 0, "A"},
        TSettingsCase{"ExtraFieldsIgnored", "555,80,1200,\"8,N,1\",U,A,more", true, 80, 1200, 8,
                      0, 0, "A"},
        // The line format rule: data and stop bits must be numbers; an unknown parity letter
        // or a stop bit count other than 1 or 2 leaves the default and is no error.
        TSettingsCase{"LowerCaseLineFormat", "555,80,1200,\"7,o,2\",U,A", true, 80, 1200, 7, 1,
                      2, "A"},
        TSettingsCase{"UnknownParityAndStopCount", "555,80,1200,\"8,M,3\",U,A", true, 80, 1200,
                      8, 0, 0, "A"},
        TSettingsCase{"DataBitsNotANumber", "555,80,1200,\"x,N,1\",U,A", false, 80, 1200, 0, 0,
                      0, "A"},
        TSettingsCase{"StopBitsNotANumber", "555,80,1200,\"8,N,one\",U,A", false, 80, 1200, 8, 0,
                      0, "A"},
        TSettingsCase{"StopBitsMissing", "555,80,1200,\"8,N\",U,A", false, 80, 1200, 8, 0, 0,
                      "A"},
        TSettingsCase{"EmptyLineFormat", "555,80,1200,,U,A", false, 80, 1200, 0, 0, 0, "A"},
        // Fewer than six fields: nothing is read.
        TSettingsCase{"FiveFields", "555,80,1200,\"8,N,1\",U", false, 0, 0, 0, 0, 0, ""},
        // Without quotes the line format's items are fields of their own: the line format is
        // "8" alone, without stop bits.
        TSettingsCase{"UnquotedLineFormat", "555,80,1200,8,N,1", false, 80, 1200, 8, 0, 0, "1"},
        TSettingsCase{"Empty", "", false, 0, 0, 0, 0, 0, ""}),
    [](const testing::TestParamInfo<TSettingsCase>& info) { return std::string(info.param.Name); });

} // namespace
} // namespace voxmit
