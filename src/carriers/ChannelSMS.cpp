#include "carriers/ChannelSMS.h"

#include <algorithm>

#include <Poco/Format.h>
#include <Poco/String.h>

#include "channels/LineFormat.h"
#include "common/CodePage.h"
#include "common/CommaText.h"
#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace sms {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// The longest address the TPDU's address field can hold.
constexpr size_t kMaxAddressDigits = 20;

void AppendHexOctet(std::string& out, unsigned value) {
  out += kHex[(value >> 4) & 0x0F];
  out += kHex[value & 0x0F];
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view WithoutPlus(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  return number;
}

bool IsInternational(std::string_view number) { return !number.empty() && number.front() == '+'; }

} // namespace

std::string Ucs2Form(std::string_view text) {
  std::string out;
  const std::u16string units = Cp1252ToUtf16(text);
  out.reserve(units.size() * 4);
  for (char16_t unit : units) {
    AppendHexOctet(out, static_cast<unsigned>(unit) >> 8);
    AppendHexOctet(out, static_cast<unsigned>(unit) & 0xFF);
  }
  return out;
}

std::string TextModeForm(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) c = '?';
  }
  return out;
}

std::string SevenBitCodes(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  return out;
}

std::string PackSeptets(std::string_view codes) {
  std::string out;
  out.reserve(codes.size() * 2);
  const size_t n = codes.size();
  unsigned shift = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned c = static_cast<unsigned char>(codes[i]) & 0x7F;
    unsigned octet = c >> shift;
    if (i + 1 < n) {
      const unsigned next = static_cast<unsigned char>(codes[i + 1]) & 0x7F;
      octet |= (next << (7 - shift)) & 0xFF;
    }
    AppendHexOctet(out, octet & 0xFF);
    shift = (shift + 1) % 7;
    // Every seventh octet completes the next character: its bits have all been sent.
    if (shift == 0) ++i;
  }
  return out;
}

bool IsTelephoneNumber(std::string_view number) {
  const std::string_view digits = WithoutPlus(number);
  return !digits.empty() && digits.size() <= kMaxAddressDigits &&
         std::all_of(digits.begin(), digits.end(), IsDigit);
}

std::string TypeOfAddress(std::string_view number) {
  return IsInternational(number) ? ",145" : ",129";
}

std::string SemiOctets(std::string_view digits) {
  std::string padded(digits);
  if (padded.size() % 2 != 0) padded += 'F';
  for (size_t i = 0; i + 1 < padded.size(); i += 2) std::swap(padded[i], padded[i + 1]);
  return padded;
}

std::string ServiceCentreField(std::string_view number) {
  if (number.empty()) return "00";
  const std::string semiOctets = SemiOctets(WithoutPlus(number));
  std::string field;
  AppendHexOctet(field, static_cast<unsigned>(semiOctets.size() / 2 + 1));
  field += IsInternational(number) ? "91" : "81";
  return field + semiOctets;
}

std::string DestinationField(std::string_view number) {
  const std::string_view digits = WithoutPlus(number);
  std::string field;
  AppendHexOctet(field, static_cast<unsigned>(digits.size()));
  field += IsInternational(number) ? "91" : "81";
  return field + SemiOctets(digits);
}

std::string BuildTpdu(std::string_view number, std::string_view text, bool ucs2) {
  std::string tpdu = "1100";
  tpdu += DestinationField(number);
  tpdu += "00";
  tpdu += ucs2 ? "08" : "00";
  tpdu += "A7";
  if (ucs2) {
    const std::string data = Ucs2Form(text);
    AppendHexOctet(tpdu, static_cast<unsigned>(data.size() / 2));
    tpdu += data;
  } else {
    const std::string codes = SevenBitCodes(text);
    AppendHexOctet(tpdu, static_cast<unsigned>(codes.size()));
    tpdu += PackSeptets(codes);
  }
  return tpdu;
}

std::string ServiceCentreCommand(std::string_view number) {
  return "AT+CSCA=\"" + std::string(number) + "\"" + TypeOfAddress(number) + "\r\n";
}

std::string PinQueryCommand() { return "AT+CPIN?\r\n"; }

std::string PinCommand(std::string_view pin) { return "AT+CPIN=\"" + std::string(pin) + "\"\r\n"; }

std::string TextSubmitCommand(std::string_view number, bool ucs2) {
  const std::string address = ucs2 ? Ucs2Form(number) : std::string(number);
  return "AT+CMGS= \"" + address + "\"" + TypeOfAddress(number) + "\r\n";
}

std::string PduSubmitCommand(size_t tpduOctets) {
  return "AT+CMGS= " + std::to_string(tpduOctets) + "\r\n";
}

// Errors are matched as whole result lines, or by the extended codes' prefixes: the echo of a
// command or of a message text can then never be taken for an answer.
const std::vector<std::string>& CommandAnswers() {
  static const std::vector<std::string> answers{"\r\nOK\r\n", "\r\nERROR\r\n", "+CME ERROR:",
                                                "+CMS ERROR:"};
  return answers;
}

const std::vector<std::string>& TextPromptAnswers() {
  static const std::vector<std::string> answers{">", "\r\nERROR\r\n", "+CME ERROR:",
                                                "+CMS ERROR:"};
  return answers;
}

const std::vector<std::string>& PduPromptAnswers() {
  static const std::vector<std::string> answers{"> ", "\r\nERROR\r\n", "+CME ERROR:",
                                                "+CMS ERROR:"};
  return answers;
}

const std::vector<std::string>& SendAnswers() {
  static const std::vector<std::string> answers{"\r\nOK\r\n", "+CMS ERROR:", "\r\nERROR\r\n"};
  return answers;
}

// The ready state is matched with its OK, so that no part of the answer is left behind for
// the next command to find.
const std::vector<std::string>& PinStatusAnswers() {
  static const std::vector<std::string> answers{"+CPIN: READY\r\n\r\nOK\r\n", "\r\nOK\r\n",
                                                "\r\nERROR\r\n", "+CME ERROR:"};
  return answers;
}

TChannelSendResult ClassifySendAnswer(TSendModemResult result, int32_t matchedIndex) {
  if (result != seOK) return srNoAnswer;
  switch (matchedIndex) {
    case saOk: return srSent;
    case saCmsError: return srRetry;
    default: return srNoAnswer;
  }
}

bool ParseBooleanText(std::string_view field, bool& value) {
  const std::string text = TrimControls(field);
  if (Poco::icompare(text, "true") == 0) {
    value = true;
    return true;
  }
  if (Poco::icompare(text, "false") == 0) {
    value = false;
    return true;
  }
  int32_t number = 0;
  if (!CommaFieldToInt(text, number)) return false;
  value = number != 0;
  return true;
}

bool ParseCarrierSettings(std::string_view text, TCarrierSettingsSMS& into) {
  const std::vector<std::string> fields = SplitCommaText(text);
  if (fields.size() != 6) return false;
  into.ServiceCentre = TrimControls(fields[0]);
  into.Pin = TrimControls(fields[1]);
  if (!CommaFieldToInt(fields[2], into.MaxMessageLength)) return false;
  if (!CommaFieldToInt(fields[3], into.BaudRate)) return false;
  TLineFormat line{into.ByteSize, into.Parity, into.StopBits};
  const TLineFormatItems found = ParseLineFormat(fields[4], line);
  into.ByteSize = line.ByteSize;
  into.Parity = line.Parity;
  into.StopBits = line.StopBits;
  if (found.Count != 3 || !found.DataBits || !found.Parity || !found.StopBits) return false;
  if (!ParseBooleanText(fields[5], into.UnicodeText)) return false;
  // Both go into AT commands: a quote or a line end there would end the command early.
  if (!into.ServiceCentre.empty() && !IsTelephoneNumber(into.ServiceCentre)) return false;
  return std::all_of(into.Pin.begin(), into.Pin.end(), IsDigit);
}

int32_t PartLength(int32_t requested, bool ucs2) {
  return std::min(requested, ucs2 ? MaxUcs2Characters : MaxSeptets);
}

bool ParseDeviceSettings(std::string_view text, TDeviceSettingsSMS& into) {
  const std::vector<std::string> fields = SplitCommaText(text);
  into.Port = fields.empty() ? std::string() : fields[0];
  int32_t mode = 0;
  const bool modeRead = fields.size() > 3 && CommaFieldToInt(fields[3], mode);
  into.PDUMode = modeRead && mode != 0;
  return modeRead && fields.size() == 4;
}

} // namespace sms

// ---- TChannelSMS --------------------------------------------------------------------------------

namespace {

constexpr const char* kIraCharset = "AT+CSCS=\"IRA\"\r\n";

} // namespace

TChannelSMS::TChannelSMS(const TNChannelArgs& args)
    : TBaseChannelModem(args), SendAnswers(sms::SendAnswers()) {
  MaxMessagesPerConnection = std::max(1, settings::MaxMessagesPerConnectionSMS.load());
}

TBufferLimits TChannelSMS::GetBufferLimits() {
  return {settings::InputBufferLimitSMS, settings::OutputBufferLimit};
}

bool TChannelSMS::ParseDeviceSettings() {
  sms::TDeviceSettingsSMS s;
  const bool ok = sms::ParseDeviceSettings(Device()->SettingsData, s);
  PortName = s.Port;
  PDUMode = s.PDUMode;
  if (!ok)
    LogMessage(Poco::format("ChannelSMS, device settings \"%s\" are not port, baud rate, module "
                            "and a numeric mode; text mode is used",
                            Device()->SettingsData));
  return ok;
}

bool TChannelSMS::ParseCarrierSettings() {
  carrierSettingsValid_ = sms::ParseCarrierSettings(CarrierSettings(), settings_);
  UnicodeText = settings_.UnicodeText;
  if (!carrierSettingsValid_) {
    // The text is not logged: it holds the SIM PIN.
    LogMessage(Poco::format("ChannelSMS, invalid carrier settings of carrier %d: every message "
                            "of this carrier is abandoned",
                            CarrierID()));
    return false;
  }
  MaxMessageLength = sms::PartLength(settings_.MaxMessageLength, UnicodeText);
  if (MaxMessageLength != settings_.MaxMessageLength)
    LogMessage(Poco::format("ChannelSMS, message length %d lowered to %d, the most one short "
                            "message holds",
                            settings_.MaxMessageLength, MaxMessageLength));
  return true;
}

bool TChannelSMS::InitPort() {
  return OpenPort({.BaudRate = settings_.BaudRate,
                   .ByteSize = settings_.ByteSize,
                   .Parity = settings_.Parity,
                   .StopBits = settings_.StopBits});
}

bool TChannelSMS::Command(std::string_view command) {
  int32_t matched = -1;
  return SendModemStringEx(command, sms::CommandAnswers(), settings::ModemResponseTimeout,
                           sms::CR, matched) == seOK &&
         matched == 0;
}

bool TChannelSMS::InitDevice() {
  if (!Command("AT\r\n")) return false;
  if (!Command("ATE\r\n") || !Command("AT+CMEE=1\r\n")) {
    ShowActivity("Error Initializing the Device");
    return false;
  }
  return true;
}

bool TChannelSMS::UnlockSim() {
  // A SIM that is already unlocked refuses a PIN (and a SIM that asks for the PUK must not be
  // given the PIN again); only a query that says the SIM is ready skips the entry, so a modem
  // without the query still gets its PIN.
  int32_t matched = -1;
  if (SendModemStringEx(sms::PinQueryCommand(), sms::PinStatusAnswers(),
                        settings::ModemResponseTimeout, sms::CR, matched) == seOK &&
      matched == sms::psReady) {
    LogMessage("ChannelSMS, the SIM is ready, no PIN needed");
    return true;
  }
  return Command(sms::PinCommand(settings_.Pin));
}

TChannelConnectResult TChannelSMS::Connect() {
  // Parts of a carrier with invalid settings are abandoned one by one in SendMessage; the
  // modem is not touched with half-read settings.
  if (!carrierSettingsValid_) return crConnected;
  TChannelConnectResult result = crConnected;
  if (settings_.Pin.empty() && settings_.ServiceCentre.empty()) return result;
  // Both are strings in the modem's character set, which a UCS2 message left at UCS2. A
  // modem that does not know the command has never been switched, so its answer is not
  // judged.
  Command(kIraCharset);
  // The PIN first: a locked SIM refuses the service centre.
  if (!settings_.Pin.empty() && !UnlockSim()) result = crLogonError;
  if (!settings_.ServiceCentre.empty() &&
      !Command(sms::ServiceCentreCommand(settings_.ServiceCentre)))
    result = crLogonError;
  return result;
}

bool TChannelSMS::Disconnect() {
  const bool answered =
      SendModemString("+++ATH\r\n", "\r\nOK\r\n", settings::ModemDisconnectTimeout, sms::CR) ==
      seOK;
  HangUp();
  return answered;
}

void TChannelSMS::BuildMessageBlock(const std::string& text, const std::string& /*pagerID*/,
                                    std::string& block) {
  block = text + sms::CtrlZ;
}

bool TChannelSMS::Submit(const std::string& command,
                         const std::vector<std::string>& promptAnswers) {
  int32_t matched = -1;
  if (SendModemStringEx(command, promptAnswers, settings::ModemResponseTimeout, sms::CR,
                        matched) == seOK &&
      matched == 0)
    return true;
  CancelTextEntry();
  return false;
}

void TChannelSMS::CancelTextEntry() {
  // A prompt that came late or got lost would leave the modem taking the next commands as
  // message text. Its answer to the ESC is awaited, so that the next command does not take
  // it for its own.
  int32_t matched = -1;
  SendModemStringEx(std::string(1, sms::ESC), sms::CommandAnswers(),
                    settings::ModemResponseTimeout, sms::CR, matched);
}

TChannelSendResult TChannelSMS::SendBody(const std::string& body) {
  // Time for the bytes at the line speed, on top of the modem's response time.
  const int64_t lineMs =
      static_cast<int64_t>(body.size()) * 10000 / std::max(300, settings_.BaudRate);
  const int32_t writeLimit = static_cast<int32_t>(
      std::min<int64_t>(settings::ModemResponseTimeout.load() + lineMs, INT32_MAX));
  if (!body.empty() && WriteToComPort(body, writeLimit) != rwOK) {
    CancelTextEntry();
    return srNoAnswer;
  }
  std::string block;
  BuildMessageBlock({}, {}, block);
  const int64_t answerMs =
      int64_t{sms::SendAnswerPeriods} * std::max(0, settings::ModemResponseTimeout.load());
  const auto answerLimit = static_cast<int32_t>(std::min<int64_t>(answerMs, INT32_MAX));
  int32_t matched = -1;
  const TSendModemResult result =
      SendModemStringEx(block, SendAnswers, answerLimit, sms::CR, matched);
  return sms::ClassifySendAnswer(result, matched);
}

TChannelSendResult TChannelSMS::SendInTextMode(const std::string& number,
                                               const std::string& text) {
  // The coding and the character set are set for every message, both ways: the modem keeps
  // them, and a UCS2 message of another carrier may have used it last.
  const char* const coding = UnicodeText ? "AT+CSMP=17,167,0,8\r\n" : "AT+CSMP=17,167,0,0\r\n";
  const char* const charset = UnicodeText ? "AT+CSCS=\"UCS2\"\r\n" : kIraCharset;
  if (!Command("AT+CMGF=1\r\n") || !Command(coding) || !Command(charset)) return srNoAnswer;
  if (!Submit(sms::TextSubmitCommand(number, UnicodeText), sms::TextPromptAnswers()))
    return srNoAnswer;
  return SendBody(UnicodeText ? sms::Ucs2Form(text) : sms::TextModeForm(text));
}

TChannelSendResult TChannelSMS::SendInPduMode(const std::string& number,
                                              const std::string& text) {
  if (!Command("AT+CMGF=0\r\n")) return srNoAnswer;
  const std::string tpdu = sms::BuildTpdu(number, text, UnicodeText);
  if (!Submit(sms::PduSubmitCommand(tpdu.size() / 2), sms::PduPromptAnswers())) return srNoAnswer;
  return SendBody(sms::ServiceCentreField(settings_.ServiceCentre) + tpdu);
}

TChannelSendResult TChannelSMS::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  if (!carrierSettingsValid_) {
    LogMessage(Poco::format("ChannelSMS, message abandoned: invalid carrier settings of "
                            "carrier %d",
                            CarrierID()));
    return srAbandon;
  }
  // The pager ID goes into an AT command or the PDU's address field; it is encoded from a
  // copy, so a retry encodes the same address.
  const std::string number = TrimControls(part.PagerID);
  if (!sms::IsTelephoneNumber(number)) {
    LogMessage(Poco::format("ChannelSMS, message abandoned: the pager ID \"%s\" is not a "
                            "telephone number",
                            MakeControlsVisible(part.PagerID)));
    return srAbandon;
  }
  const int32_t limit = sms::PartLength(INT32_MAX, UnicodeText);
  if (part.MessageText.size() > static_cast<size_t>(limit)) {
    LogMessage(Poco::format("ChannelSMS, message abandoned: %z characters, one short message "
                            "holds %d",
                            part.MessageText.size(), limit));
    return srAbandon;
  }
  return PDUMode ? SendInPduMode(number, part.MessageText)
                 : SendInTextMode(number, part.MessageText);
}

} // namespace voxmit
