// The GSM SMS codec as tables: septet packing, the UCS2 form, the address fields, the whole
// TPDU, the command texts, the answer classification and both settings texts. The expected
// PDU octets are worked out from the SMS-SUBMIT layout (and the septet ones checked by
// unpacking them bit by bit), never taken from the encoder.

#include <gtest/gtest.h>

#include <string>

#include "carriers/ChannelSMS.h"

namespace voxmit {
namespace {

using namespace std::string_literals;

template <class T>
std::string RowName(const testing::TestParamInfo<T>& info) {
  return info.param.Name;
}

// ---- Septets and UCS2 --------------------------------------------------------------------------

struct TTextCase {
  const char* Name;
  std::string Text;
  std::string Expected;
};

class PackSeptetsTest : public testing::TestWithParam<TTextCase> {};

TEST_P(PackSeptetsTest, Packs) {
  EXPECT_EQ(sms::PackSeptets(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PackSeptetsTest,
    testing::Values(TTextCase{"HelloHello", "hellohello", "E8329BFD4697D9EC37"},
                    TTextCase{"Test", "Test", "D4F29C0E"},
                    // Seven characters fill seven octets; the last holds only the seventh
                    // character's highest bit, in its lowest bit.
                    TTextCase{"SevenCharacters", "ABCDEFG", "41E19058341E01"},
                    // The eighth character fills the top seven bits of the seventh octet.
                    TTextCase{"EightCharacters", "ABCDEFGH", "41E19058341E91"},
                    TTextCase{"OneCharacter", "A", "41"},
                    TTextCase{"Empty", "", ""}),
    RowName<TTextCase>);

class Ucs2FormTest : public testing::TestWithParam<TTextCase> {};

TEST_P(Ucs2FormTest, FourHexDigitsPerCharacter) {
  EXPECT_EQ(sms::Ucs2Form(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Ucs2FormTest,
    testing::Values(TTextCase{"Hi", "Hi", "00480069"},
                    TTextCase{"PlusAndDigits", "+123", "002B003100320033"},
                    // Windows-1252: 0x80 is the euro sign, 0xFC u with diaeresis.
                    TTextCase{"Euro", "\x80", "20AC"},
                    TTextCase{"Umlaut", "Gr\xFC\xDF" "e", "0047007200FC00DF0065"},
                    TTextCase{"ControlCharacter", "\x1A", "001A"},
                    TTextCase{"Empty", "", ""}),
    RowName<TTextCase>);

class TextModeFormTest : public testing::TestWithParam<TTextCase> {};

TEST_P(TextModeFormTest, KeepsPrintableAscii) {
  EXPECT_EQ(sms::TextModeForm(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextModeFormTest,
    testing::Values(TTextCase{"Ascii", "Meet @ 5, $10 [x] ~_", "Meet @ 5, $10 [x] ~_"},
                    TTextCase{"CtrlZWouldEndTheMessage", "a\x1A" "ATH", "a?ATH"},
                    TTextCase{"EscWouldCancelIt", "a\x1B" "b", "a?b"},
                    TTextCase{"TabAndDelete", "a\tb\x7F", "a?b?"},
                    TTextCase{"EightBit", "caf\xE9 \x80", "caf? ?"}),
    RowName<TTextCase>);

class SevenBitCodesTest : public testing::TestWithParam<TTextCase> {};

TEST_P(SevenBitCodesTest, KeepsSevenBitBytes) {
  EXPECT_EQ(sms::SevenBitCodes(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SevenBitCodesTest,
    testing::Values(TTextCase{"Ascii", "Meet @ 5", "Meet @ 5"},
                    TTextCase{"ControlsStay", "a\x1A\x1B" "b", "a\x1A\x1B" "b"},
                    TTextCase{"EightBit", "caf\xE9 \x80", "caf? ?"}),
    RowName<TTextCase>);

// ---- Addresses ---------------------------------------------------------------------------------

class ServiceCentreFieldTest : public testing::TestWithParam<TTextCase> {};

TEST_P(ServiceCentreFieldTest, Encodes) {
  EXPECT_EQ(sms::ServiceCentreField(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ServiceCentreFieldTest,
    testing::Values(TTextCase{"None", "", "00"},
                    TTextCase{"InternationalEven", "+4412", "03914421"},
                    TTextCase{"NationalEven", "4412", "03814421"},
                    TTextCase{"InternationalOdd", "+441", "039144F1"},
                    TTextCase{"TwelveDigits", "+447700900123", "0791447700091032"}),
    RowName<TTextCase>);

class DestinationFieldTest : public testing::TestWithParam<TTextCase> {};

TEST_P(DestinationFieldTest, Encodes) {
  EXPECT_EQ(sms::DestinationField(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DestinationFieldTest,
    testing::Values(TTextCase{"InternationalOdd", "+123", "039121F3"},
                    TTextCase{"NationalEven", "1234", "04812143"},
                    TTextCase{"NationalOdd", "5551234", "0781551532F4"},
                    TTextCase{"ElevenDigits", "+46708251358", "0B916407281553F8"}),
    RowName<TTextCase>);

TEST(SmsAddressTest, TypeOfAddressFollowsThePlus) {
  EXPECT_EQ(sms::TypeOfAddress("+123"), ",145");
  EXPECT_EQ(sms::TypeOfAddress("123"), ",129");
}

struct TNumberCase {
  const char* Name;
  std::string Number;
  bool Valid;
};

class TelephoneNumberTest : public testing::TestWithParam<TNumberCase> {};

TEST_P(TelephoneNumberTest, Judges) {
  EXPECT_EQ(sms::IsTelephoneNumber(GetParam().Number), GetParam().Valid);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, TelephoneNumberTest,
    testing::Values(TNumberCase{"International", "+447700900123", true},
                    TNumberCase{"National", "07700900123", true},
                    TNumberCase{"TwentyDigits", "12345678901234567890", true},
                    TNumberCase{"TwentyOneDigits", "123456789012345678901", false},
                    TNumberCase{"Empty", "", false},
                    TNumberCase{"PlusAlone", "+", false},
                    TNumberCase{"Blank", "0770 0900", false},
                    TNumberCase{"Letters", "12a", false},
                    TNumberCase{"QuoteWouldEndTheCommand", "123\",129\r\nAT+CPWD", false},
                    TNumberCase{"SecondPlus", "++123", false}),
    RowName<TNumberCase>);

// ---- The TPDU ----------------------------------------------------------------------------------

struct TTpduCase {
  const char* Name;
  std::string Number;
  std::string Text;
  bool Ucs2;
  std::string Expected;
};

class TpduTest : public testing::TestWithParam<TTpduCase> {};

TEST_P(TpduTest, Builds) {
  const TTpduCase& c = GetParam();
  EXPECT_EQ(sms::BuildTpdu(c.Number, c.Text, c.Ucs2), c.Expected);
}

// First octet 11, reference 00, destination, protocol 00, coding 00 or 08, validity A7, length,
// data.
INSTANTIATE_TEST_SUITE_P(
    Messages, TpduTest,
    testing::Values(
        TTpduCase{"SevenBitTest", "+123", "Test", false, "1100039121F30000A704D4F29C0E"},
        TTpduCase{"SevenBitHelloHello", "+46708251358", "hellohello", false,
                  "11000B916407281553F80000A70AE8329BFD4697D9EC37"},
        TTpduCase{"Ucs2Hi", "+123", "Hi", true, "1100039121F30008A70400480069"},
        TTpduCase{"NationalEvenUcs2Euro", "1234", "\x80", true, "1100048121430008A70220AC"},
        TTpduCase{"EmptySevenBit", "1234", "", false, "1100048121430000A700"},
        // A byte without a 7-bit code goes as '?' (3F), leaving its neighbours intact.
        TTpduCase{"EightBitByteAsQuestionMark", "1234", "\xE9" "A", false,
                  "1100048121430000A702BF20"}),
    RowName<TTpduCase>);

// ---- Commands and answers ----------------------------------------------------------------------

TEST(SmsCommandTest, Texts) {
  EXPECT_EQ(sms::ServiceCentreCommand("+4412"), "AT+CSCA=\"+4412\",145\r\n");
  EXPECT_EQ(sms::ServiceCentreCommand("4412"), "AT+CSCA=\"4412\",129\r\n");
  EXPECT_EQ(sms::PinCommand("1234"), "AT+CPIN=\"1234\"\r\n");
  EXPECT_EQ(sms::PinQueryCommand(), "AT+CPIN?\r\n");
  EXPECT_EQ(sms::TextSubmitCommand("+123", false), "AT+CMGS= \"+123\",145\r\n");
  EXPECT_EQ(sms::TextSubmitCommand("5551234", false), "AT+CMGS= \"5551234\",129\r\n");
  EXPECT_EQ(sms::TextSubmitCommand("+123", true), "AT+CMGS= \"002B003100320033\",145\r\n");
  EXPECT_EQ(sms::PduSubmitCommand(14), "AT+CMGS= 14\r\n");
}

struct TClassifyCase {
  const char* Name;
  TSendModemResult Result;
  int32_t Index;
  TChannelSendResult Expected;
};

class ClassifySendAnswerTest : public testing::TestWithParam<TClassifyCase> {};

TEST_P(ClassifySendAnswerTest, Maps) {
  const TClassifyCase& c = GetParam();
  EXPECT_EQ(sms::ClassifySendAnswer(c.Result, c.Index), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ClassifySendAnswerTest,
    testing::Values(TClassifyCase{"Ok", seOK, sms::saOk, srSent},
                    TClassifyCase{"CmsError", seOK, sms::saCmsError, srRetry},
                    TClassifyCase{"PlainError", seOK, sms::saError, srNoAnswer},
                    TClassifyCase{"Silence", seExpectTimeout, -1, srNoAnswer},
                    TClassifyCase{"DeadPort", seReadPortTimeout, -1, srNoAnswer},
                    TClassifyCase{"WriteFailed", seWritePortTimeout, -1, srNoAnswer}),
    RowName<TClassifyCase>);

TEST(SmsAnswerListTest, AnOkLaterThanAnErrorStillComesFirstInTheList) {
  // List order decides; the +CMS code also holds "ERROR", and must win over the plain one.
  EXPECT_EQ(MatchExpected("\r\n+CMS ERROR: 500\r\n", sms::SendAnswers()), sms::saCmsError);
  EXPECT_EQ(MatchExpected("\r\n+CMGS: 7\r\n\r\nOK\r\n", sms::SendAnswers()), sms::saOk);
  EXPECT_EQ(MatchExpected("\r\nERROR\r\n", sms::SendAnswers()), sms::saError);
  // An echoed text that mentions an error is no answer.
  EXPECT_EQ(MatchExpected("Pump ERROR at site 4\x1A", sms::SendAnswers()), -1);
  EXPECT_EQ(MatchExpected("\r\n+CPIN: READY\r\n\r\nOK\r\n", sms::PinStatusAnswers()),
            sms::psReady);
  EXPECT_EQ(MatchExpected("\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", sms::PinStatusAnswers()),
            sms::psOther);
}

// ---- Settings ----------------------------------------------------------------------------------

struct TCarrierSettingsCase {
  const char* Name;
  std::string Text;
  bool Valid;
  sms::TCarrierSettingsSMS Expected;  // compared when Valid
};

class SmsCarrierSettingsTest : public testing::TestWithParam<TCarrierSettingsCase> {};

TEST_P(SmsCarrierSettingsTest, Reads) {
  const TCarrierSettingsCase& c = GetParam();
  sms::TCarrierSettingsSMS s;
  EXPECT_EQ(sms::ParseCarrierSettings(c.Text, s), c.Valid);
  if (!c.Valid) return;
  EXPECT_EQ(s.ServiceCentre, c.Expected.ServiceCentre);
  EXPECT_EQ(s.Pin, c.Expected.Pin);
  EXPECT_EQ(s.MaxMessageLength, c.Expected.MaxMessageLength);
  EXPECT_EQ(s.BaudRate, c.Expected.BaudRate);
  EXPECT_EQ(s.ByteSize, c.Expected.ByteSize);
  EXPECT_EQ(s.Parity, c.Expected.Parity);
  EXPECT_EQ(s.StopBits, c.Expected.StopBits);
  EXPECT_EQ(s.UnicodeText, c.Expected.UnicodeText);
}

sms::TCarrierSettingsSMS Expect(std::string sc, std::string pin, int32_t length, bool unicode,
                                int32_t byteSize = 8, uint8_t parity = 0, uint8_t stop = 0) {
  return {std::move(sc), std::move(pin), length, 9600, byteSize, parity, stop, unicode};
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SmsCarrierSettingsTest,
    testing::Values(
        TCarrierSettingsCase{"Full", "+4412,1234,160,9600,\"8,N,1\",false", true,
                             Expect("+4412", "1234", 160, false)},
        TCarrierSettingsCase{"EmptyCentreAndPin", ",,70,9600,\"8,N,1\",true", true,
                             Expect("", "", 70, true)},
        TCarrierSettingsCase{"TrimmedFields", "\" +4412 \",\" 1234 \",160,9600,\"8,N,1\",0", true,
                             Expect("+4412", "1234", 160, false)},
        TCarrierSettingsCase{"UnicodeOne", ",,70,9600,\"8,N,1\",1", true, Expect("", "", 70, true)},
        TCarrierSettingsCase{"UnicodeUpperCase", ",,70,9600,\"8,N,1\",TRUE", true,
                             Expect("", "", 70, true)},
        TCarrierSettingsCase{"UnicodeMixedCaseFalse", ",,70,9600,\"8,N,1\",FaLsE", true,
                             Expect("", "", 70, false)},
        TCarrierSettingsCase{"LowerCaseLineFormat", ",,160,9600,\"7,e,2\",0", true,
                             Expect("", "", 160, false, 7, 2, 2)},
        TCarrierSettingsCase{"OddParity", ",,160,9600,\"7,O,1\",0", true,
                             Expect("", "", 160, false, 7, 1, 0)},
        TCarrierSettingsCase{"UnicodeWord", ",,70,9600,\"8,N,1\",yes", false, {}},
        TCarrierSettingsCase{"FiveFields", ",,160,9600,\"8,N,1\"", false, {}},
        TCarrierSettingsCase{"SevenFields", ",,160,9600,\"8,N,1\",0,", false, {}},
        TCarrierSettingsCase{"LengthNotANumber", ",,long,9600,\"8,N,1\",0", false, {}},
        TCarrierSettingsCase{"BaudNotANumber", ",,160,fast,\"8,N,1\",0", false, {}},
        TCarrierSettingsCase{"UnknownParity", ",,160,9600,\"8,M,1\",0", false, {}},
        TCarrierSettingsCase{"ThreeStopBits", ",,160,9600,\"8,N,3\",0", false, {}},
        TCarrierSettingsCase{"TwoItemLineFormat", ",,160,9600,\"8,N\",0", false, {}},
        TCarrierSettingsCase{"CentreWithLetters", "+44ab,,160,9600,\"8,N,1\",0", false, {}},
        TCarrierSettingsCase{"PinWithQuote", ",\"12\"\"34\",160,9600,\"8,N,1\",0", false, {}},
        TCarrierSettingsCase{"PinWithLetters", ",abcd,160,9600,\"8,N,1\",0", false, {}}),
    RowName<TCarrierSettingsCase>);

TEST(SmsCarrierSettingsTest, PartLengthIsWhatOneMessageHolds) {
  EXPECT_EQ(sms::PartLength(100, false), 100);
  EXPECT_EQ(sms::PartLength(200, false), 160);
  EXPECT_EQ(sms::PartLength(160, true), 70);
  EXPECT_EQ(sms::PartLength(70, true), 70);
}

struct TDeviceSettingsCase {
  const char* Name;
  std::string Text;
  bool Valid;
  std::string Port;
  bool PduMode;
};

class SmsDeviceSettingsTest : public testing::TestWithParam<TDeviceSettingsCase> {};

TEST_P(SmsDeviceSettingsTest, Reads) {
  const TDeviceSettingsCase& c = GetParam();
  sms::TDeviceSettingsSMS s;
  EXPECT_EQ(sms::ParseDeviceSettings(c.Text, s), c.Valid);
  EXPECT_EQ(s.Port, c.Port);
  EXPECT_EQ(s.PDUMode, c.PduMode);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SmsDeviceSettingsTest,
    testing::Values(TDeviceSettingsCase{"Text", "COM1,3,2,0", true, "COM1", false},
                    TDeviceSettingsCase{"Pdu", "COM1,3,2,1", true, "COM1", true},
                    // Any mode other than 0 is PDU, also "none chosen".
                    TDeviceSettingsCase{"NoneChosen", "COM1,-1,-1,-1", true, "COM1", true},
                    TDeviceSettingsCase{"ModeMissing", "COM1,3,2", false, "COM1", false},
                    TDeviceSettingsCase{"ModeNotANumber", "COM1,3,2,PDU", false, "COM1", false},
                    TDeviceSettingsCase{"Empty", "", false, "", false}),
    RowName<TDeviceSettingsCase>);

} // namespace
} // namespace voxmit
