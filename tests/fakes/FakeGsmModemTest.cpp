// The fake GSM modem, driven from the host side of a pty by literal bytes: PDUs are the
// published SMS-SUBMIT examples or worked out by hand from the field layout, never produced
// by the server's encoder.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "platform/SerialPort.h"
#include "support/FakeGsmModem.h"
#include "support/PtyPair.h"
#include "support/WaitUntil.h"

namespace voxmit::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr auto kLong = 5s;
const std::string kOk = "\r\nOK\r\n";
const std::string kPrompt = "\r\n> ";

class Host {
public:
  explicit Host(const PtyPair& pty) {
    EXPECT_TRUE(port_.Open(pty.SlavePath(), {9600, 8, spNone, ssOne})) << port_.LastErrorText();
  }
  void Send(std::string_view bytes) { ASSERT_EQ(port_.Write(bytes, kLong), sioOK); }
  std::string ReadUntil(std::string_view expected) {
    std::string all, part;
    const auto deadline = SerialDeadlineIn(kLong);
    while (all.find(expected) == std::string::npos && port_.Read(part, deadline) == sioOK)
      all += part;
    return all;
  }
  std::string Exchange(std::string_view send, std::string_view expected) {
    Send(send);
    return ReadUntil(expected);
  }

private:
  TNSerialPort port_;
};

class GsmModem : public ::testing::Test {
protected:
  explicit GsmModem(FakeGsmModem::Options options = NoEcho()) : modem(std::move(options)) {
    line.Start();
  }
  static FakeGsmModem::Options NoEcho() {
    FakeGsmModem::Options o;
    o.echo = false;
    return o;
  }
  // Sends a PDU in PDU mode and returns everything up to the final answer.
  std::string SendPdu(int length, const std::string& hex, const std::string& until = kOk) {
    EXPECT_EQ(host.Exchange("AT+CMGF=0\r", kOk), kOk);
    EXPECT_EQ(host.Exchange("AT+CMGS=" + std::to_string(length) + "\r", kPrompt), kPrompt);
    return host.Exchange(hex + "\x1a", until);
  }

  PtyPair pty;
  FakeGsmModem modem;
  PtyLine line{pty, modem};
  Host host{pty};
};

TEST_F(GsmModem, DecodesThePublishedHelloHelloSubmit) {
  // No service centre, SMS-SUBMIT with relative validity, reference 0, +46708251358, 7-bit,
  // validity AA (4 days), 10 septets.
  const std::string answer = SendPdu(23, "0011000B916407281553F80000AA0AE8329BFD4697D9EC37");
  EXPECT_EQ(answer, "\r\n+CMGS: 1\r\n" + kOk);
  const auto messages = modem.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const FakeSms& sms = messages[0];
  EXPECT_EQ(sms.mode, FakeSms::Mode::Pdu);
  EXPECT_EQ(sms.serviceCentre, "");
  EXPECT_EQ(sms.firstOctet, 0x11);
  EXPECT_EQ(sms.messageReference, 0);
  EXPECT_EQ(sms.destination, "+46708251358");
  EXPECT_EQ(sms.typeOfAddress, 0x91);
  EXPECT_EQ(sms.protocolId, 0);
  EXPECT_EQ(sms.dataCoding, 0);
  EXPECT_EQ(sms.coding, FakeSms::Coding::SevenBit);
  EXPECT_EQ(sms.validityPeriod, 0xAA);
  EXPECT_EQ(sms.text, "hellohello");
}

TEST_F(GsmModem, DecodesServiceCentreOddNationalNumberAndUcs2) {
  // Centre +31624000000 (07 91 1326040000F0), national 5551234 (07 81 551532F4), UCS2 "Hi".
  const std::string answer =
      SendPdu(16, "07911326040000F0" "1100" "0781551532F4" "0008A7" "04" "00480069");
  EXPECT_EQ(answer, "\r\n+CMGS: 1\r\n" + kOk) << modem.Rejected().size();
  const auto messages = modem.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].serviceCentre, "+31624000000");
  EXPECT_EQ(messages[0].destination, "5551234");
  EXPECT_EQ(messages[0].typeOfAddress, 0x81);
  EXPECT_EQ(messages[0].coding, FakeSms::Coding::Ucs2);
  EXPECT_EQ(messages[0].validityPeriod, 0xA7);
  EXPECT_EQ(messages[0].text, "Hi");
}

TEST_F(GsmModem, DecodesSevenCharactersInSevenOctets) {
  // "ABCDEFG": the seventh octet holds only G's highest bit.
  SendPdu(17, "00" "1100" "04812143" "0000A7" "07" "41E19058341E01");
  ASSERT_EQ(modem.Messages().size(), 1u);
  EXPECT_EQ(modem.Messages()[0].text, "ABCDEFG");
  EXPECT_EQ(modem.Messages()[0].destination, "1234");
}

struct TBadPdu {
  const char* Name;
  int Length;
  std::string Hex;
};

class GsmModemBadPdu : public GsmModem, public ::testing::WithParamInterface<TBadPdu> {};

TEST_P(GsmModemBadPdu, IsRefusedWithAReason) {
  const std::string refusal = "\r\n+CMS ERROR: 304\r\n";
  EXPECT_EQ(SendPdu(GetParam().Length, GetParam().Hex, refusal), refusal);
  EXPECT_TRUE(modem.Submissions().empty());
  EXPECT_EQ(modem.Rejected().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Pdus, GsmModemBadPdu,
    testing::Values(TBadPdu{"LengthGivenWrong", 13, "001100039121F30000A704D4F29C0E"},
                    TBadPdu{"OddHex", 14, "001100039121F30000A704D4F29C0"},
                    TBadPdu{"NotHex", 14, "001100039121F30000A704D4F29CZZ"},
                    TBadPdu{"NoFillerOnOddNumber", 14, "00110003912133" "0000A704D4F29C0E"},
                    TBadPdu{"TooFewSeptetOctets", 13, "001100039121F30000A704D4F29C"},
                    TBadPdu{"DeliverNotSubmit", 14, "001000039121F30000A704D4F29C0E"}),
    [](const testing::TestParamInfo<TBadPdu>& info) { return std::string(info.param.Name); });

TEST_F(GsmModem, TextModeInIraAndInUcs2) {
  EXPECT_EQ(host.Exchange("AT+CMGF=1\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CSCS=\"IRA\"\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CMGS= \"+123\",145\r", kPrompt), kPrompt);
  EXPECT_EQ(host.Exchange("Meet @ 5\x1a", kOk), "\r\n+CMGS: 1\r\n" + kOk);

  EXPECT_EQ(host.Exchange("AT+CSMP=17,167,0,8\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CSCS=\"UCS2\"\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CMGS=\"0035\",129\r", kPrompt), kPrompt);
  EXPECT_EQ(host.Exchange("004820AC\x1a", kOk), "\r\n+CMGS: 2\r\n" + kOk);

  const auto messages = modem.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].mode, FakeSms::Mode::Text);
  EXPECT_EQ(messages[0].destination, "+123");
  EXPECT_EQ(messages[0].typeOfAddress, 145);
  EXPECT_EQ(messages[0].coding, FakeSms::Coding::SevenBit);
  EXPECT_EQ(messages[0].text, "Meet @ 5");
  EXPECT_EQ(messages[1].destination, "5");
  EXPECT_EQ(messages[1].typeOfAddress, 129);
  EXPECT_EQ(messages[1].coding, FakeSms::Coding::Ucs2);
  EXPECT_EQ(messages[1].text, "H\u20AC");
}

TEST_F(GsmModem, EscapeCancelsTheMessage) {
  EXPECT_EQ(host.Exchange("AT+CMGF=1\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CMGS=\"123\"\r", kPrompt), kPrompt);
  EXPECT_EQ(host.Exchange("never mind\x1b", kOk), kOk);
  EXPECT_EQ(modem.Cancels(), 1);
  EXPECT_TRUE(modem.Submissions().empty());
}

TEST_F(GsmModem, ScriptedAnswersDelaysAndUnsolicitedCodes) {
  modem.QueueSendAnswer({FakeSmsAnswer::Kind::CmsError, 38, 0ms});
  modem.QueueSendAnswer({FakeSmsAnswer::Kind::Ok, 0, 300ms});
  const std::string pdu = "001100039121F30000A704D4F29C0E";
  EXPECT_EQ(SendPdu(14, pdu, "\r\n+CMS ERROR: 38\r\n"), "\r\n+CMS ERROR: 38\r\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendPdu(14, pdu), "\r\n+CMGS: 1\r\n" + kOk);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_EQ(modem.Submissions().size(), 2u);
  EXPECT_EQ(modem.Messages().size(), 1u);
}

class GsmModemWithUnsolicited : public GsmModem {
protected:
  GsmModemWithUnsolicited() : GsmModem(Options()) {}
  static FakeGsmModem::Options Options() {
    FakeGsmModem::Options o = NoEcho();
    o.unsolicited = {"RING", "+CMTI: \"SM\",3"};
    return o;
  }
};

TEST_F(GsmModemWithUnsolicited, PutsTheCodesBeforeEachAnswer) {
  EXPECT_EQ(host.Exchange("AT\r", kOk), "\r\nRING\r\n" + kOk);
  EXPECT_EQ(host.Exchange("AT+CMGF=1\r", kOk), "\r\n+CMTI: \"SM\",3\r\n" + kOk);
  EXPECT_EQ(host.Exchange("AT+CMGS=\"1\"\r", kPrompt), "\r\nRING\r\n" + kPrompt);
}

class GsmModemWithPin : public GsmModem {
protected:
  GsmModemWithPin() : GsmModem(Options()) {}
  static FakeGsmModem::Options Options() {
    FakeGsmModem::Options o = NoEcho();
    o.simPin = "1234";
    o.pinAttempts = 2;
    return o;
  }
};

TEST_F(GsmModemWithPin, LockedSimRefusesSmsUntilThePinAndThenRefusesAPin) {
  EXPECT_EQ(host.Exchange("AT+CMEE=1\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CPIN?\r", kOk), "\r\n+CPIN: SIM PIN\r\n" + kOk);
  EXPECT_EQ(host.Exchange("AT+CSCA=\"+4412\",145\r", "\r\n"s + "+CMS ERROR: 311\r\n"),
            "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(host.Exchange("AT+CPIN=\"1234\"\r", kOk), kOk);
  EXPECT_TRUE(modem.SimReady());
  EXPECT_EQ(host.Exchange("AT+CPIN?\r", kOk), "\r\n+CPIN: READY\r\n" + kOk);
  EXPECT_EQ(host.Exchange("AT+CPIN=\"1234\"\r", "\r\n+CME ERROR: 3\r\n"), "\r\n+CME ERROR: 3\r\n");
  EXPECT_EQ(host.Exchange("AT+CSCA=\"+4412\",145\r", kOk), kOk);
  EXPECT_EQ(modem.ServiceCentre(), "+4412");
}

TEST_F(GsmModemWithPin, WrongPinsLeadToThePuk) {
  EXPECT_EQ(host.Exchange("AT+CMEE=1\r", kOk), kOk);
  EXPECT_EQ(host.Exchange("AT+CPIN=\"0000\"\r", "16\r\n"), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(host.Exchange("AT+CPIN=\"0000\"\r", "16\r\n"), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(host.Exchange("AT+CPIN?\r", kOk), "\r\n+CPIN: SIM PUK\r\n" + kOk);
  EXPECT_EQ(host.Exchange("AT+CPIN=\"1234\"\r", "12\r\n"), "\r\n+CME ERROR: 12\r\n");
  EXPECT_EQ(modem.PinsEntered(), (std::vector<std::string>{"0000", "0000", "1234"}));
}

class GsmModemEchoing : public GsmModem {
protected:
  GsmModemEchoing() : GsmModem(Options()) {}
  static FakeGsmModem::Options Options() {
    FakeGsmModem::Options o;
    o.echoDespiteAte = true;
    return o;
  }
};

TEST_F(GsmModemEchoing, KeepsEchoingAfterAteAndRunsAthAfterTheEscape) {
  EXPECT_EQ(host.Exchange("ATE\r", kOk), "ATE\r" + kOk);
  EXPECT_EQ(host.Exchange("AT\r", kOk), "AT\r" + kOk);
  EXPECT_EQ(host.Exchange("+++ATH\r", kOk), "+++ATH\r" + kOk);
  EXPECT_EQ(modem.Commands().back(), "ATH");
}

TEST(GsmAlphabetTest, ShowsCodesAsAHandsetDoes) {
  EXPECT_EQ(GsmAlphabetToUtf8("Test"), "Test");
  EXPECT_EQ(GsmAlphabetToUtf8("\x00"s), "@");
  EXPECT_EQ(GsmAlphabetToUtf8("\x40\x24\x5F\x60"), "\u00A1\u00A4\u00A7\u00BF");
  EXPECT_EQ(GsmAlphabetToUtf8("\x1B\x65\x1B\x3C"), "\u20AC[");
  EXPECT_EQ(GsmAlphabetToUtf8("\x7B\x7E"), "\u00E4\u00FC");
}

} // namespace
} // namespace voxmit::test
