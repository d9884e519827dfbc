#pragma once
// Short messages through a GSM modem (phone or module) on a serial port (CT_GSM_SMS), with
// the SMS AT commands in text mode or in PDU mode, 7-bit or UCS2.
//
// The codec (settings, command texts, answer lists, the PDU fields, septet packing, the UCS2
// form) is a set of pure functions callable from any thread. TChannelSMS is a carrier channel:
// the iterator constructs it, and from then on only its own worker thread calls its virtual
// operations. It never dials: Connect only unlocks the SIM and sets the service centre.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelModem.h"
#include "common/ServerTypes.h"

namespace voxmit {

namespace sms {

inline constexpr char CR = '\r';
inline constexpr char CtrlZ = 0x1A;
inline constexpr char ESC = 0x1B;

// What one short message holds: 160 septets, or 70 UCS2 characters.
inline constexpr int32_t MaxSeptets = 160;
inline constexpr int32_t MaxUcs2Characters = 70;
// The final answer to a message is awaited for this many ModemResponseTimeout periods: the
// network takes seconds to confirm.
inline constexpr int32_t SendAnswerPeriods = 22;

// ---- Texts ---------------------------------------------------------------------------------

// The UCS2 form: four upper-case hex digits per UTF-16 unit of the text read as Windows-1252
// ("Hi" gives 00480069).
std::string Ucs2Form(std::string_view text);
// The text handed to the modem in 7-bit text mode (character set IRA): every byte outside
// printable ASCII (below 0x20, 0x7F, from 0x80 on) becomes '?'. Ctrl-Z would end the message
// early and ESC cancel it, leaving the rest of the text to be read as commands.
std::string TextModeForm(std::string_view text);
// The 7-bit codes of a PDU: bytes below 0x80 are taken as GSM codes as they are; bytes from
// 0x80 on, which have no 7-bit code, become '?'.
std::string SevenBitCodes(std::string_view text);
// The septets packed into octets, as upper-case hex ("Test" gives D4F29C0E). Only the low
// seven bits of each byte are packed.
std::string PackSeptets(std::string_view codes);

// ---- Addresses -----------------------------------------------------------------------------

// A telephone number the modem can be given: an optional leading '+' and 1 to 20 digits.
bool IsTelephoneNumber(std::string_view number);
// ",145" for an international number (leading '+'), ",129" otherwise.
std::string TypeOfAddress(std::string_view number);
// The digits in semi-octets: 'F' appended to an odd count, then each pair swapped ("4412"
// gives 4421, "123" gives 21F3).
std::string SemiOctets(std::string_view digits);
// The service centre field of a PDU: "00" for none (the modem's own centre); otherwise its
// length in octets, the address type (91 with '+', 81 without) and the semi-octets
// ("+4412" gives 03914421).
std::string ServiceCentreField(std::string_view number);
// The destination address of the TPDU: the digit count, the address type and the semi-octets
// ("+123" gives 039121F3).
std::string DestinationField(std::string_view number);
// The SMS-SUBMIT TPDU as upper-case hex: first octet 11 (relative validity period), message
// reference 00, the destination, protocol 00, coding 00 (7-bit, of SevenBitCodes(text)) or 08
// (UCS2), validity A7 (24 hours), the user data length and the user data.
std::string BuildTpdu(std::string_view number, std::string_view text, bool ucs2);

// ---- Commands and answers ------------------------------------------------------------------

std::string ServiceCentreCommand(std::string_view number);  // AT+CSCA="n",145 CR LF
std::string PinQueryCommand();                              // AT+CPIN? CR LF
std::string PinCommand(std::string_view pin);               // AT+CPIN="pin" CR LF
// AT+CMGS= "number",145 CR LF; with ucs2 the number in its UCS2 form.
std::string TextSubmitCommand(std::string_view number, bool ucs2);
// AT+CMGS= <octets> CR LF.
std::string PduSubmitCommand(size_t tpduOctets);

// A command's final answers: OK first, then the error answers.
const std::vector<std::string>& CommandAnswers();
// The answers to a +CMGS command: the prompt first, then the error answers.
const std::vector<std::string>& TextPromptAnswers();  // ">"
const std::vector<std::string>& PduPromptAnswers();   // "> "
// The answers to a message: OK, "+CMS ERROR:" (the network refused), a plain ERROR.
const std::vector<std::string>& SendAnswers();
// The answers to the PIN query: a ready SIM (with its OK), any other state's OK, the errors.
const std::vector<std::string>& PinStatusAnswers();

enum TSendAnswer : int32_t { saOk = 0, saCmsError = 1, saError = 2 };
enum TPinStatusAnswer : int32_t { psReady = 0, psOther = 1 };

// What the answer to a message means: OK sent, "+CMS ERROR:" retry, anything else no answer.
TChannelSendResult ClassifySendAnswer(TSendModemResult result, int32_t matchedIndex);

// ---- Settings ------------------------------------------------------------------------------

// The six carrier settings fields: everything an SMS channel knows of its carrier, the line
// settings of its port included.
struct TCarrierSettingsSMS {
  std::string ServiceCentre;  // may be empty: the modem's own
  std::string Pin;            // may be empty: no PIN
  int32_t MaxMessageLength = 0;
  int32_t BaudRate = 0;
  int32_t ByteSize = 0;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even
  uint8_t StopBits = 0;  // 0 one, 2 two
  bool UnicodeText = false;
};

// "true" or "false" in any letter case, or an integer (0 false, any other true).
bool ParseBooleanText(std::string_view field, bool& value);
// Reads the settings text into into, field by field. False when the text does not have
// exactly six fields, a number or the boolean does not convert, the line format is not data
// bits, a parity letter E, N or O and stop bits 1 or 2, the service centre is neither empty
// nor a telephone number, or the PIN holds anything but digits; what was read before the
// failure stays in into.
bool ParseCarrierSettings(std::string_view text, TCarrierSettingsSMS& into);
// The part length to split at: the settings' length, lowered to what one message holds.
int32_t PartLength(int32_t requested, bool ucs2);

// The device settings fields the channel uses (port, baud-rate choice, module choice, mode).
struct TDeviceSettingsSMS {
  std::string Port;
  bool PDUMode = false;
};
// False when the text does not have four fields or the mode is not an integer (text mode
// then); any mode other than 0 is PDU mode.
bool ParseDeviceSettings(std::string_view text, TDeviceSettingsSMS& into);

} // namespace sms

// Sends each message part as one short message through the GSM modem.
class TChannelSMS : public TBaseChannelModem {
public:
  explicit TChannelSMS(const TNChannelArgs& args);
  // FiFoIn: InputBufferLimitSMS; FiFoOut: OutputBufferLimit.
  static TBufferLimits GetBufferLimits();

  // The carrier settings as ParseCarrierSettings read them.
  const sms::TCarrierSettingsSMS& Settings() const { return settings_; }

protected:
  // Opens the port with the line settings of the carrier settings.
  bool InitPort() override;
  // AT, echo off, numeric error reports; each answered OK within ModemResponseTimeout.
  bool InitDevice() override;
  // The character set back to IRA, the SIM PIN (entered only when the SIM asks for it), then
  // the service centre; nothing when there is neither a PIN nor a centre; no dialling.
  // crLogonError when the PIN or the centre is refused.
  TChannelConnectResult Connect() override;
  // "+++ATH", then HangUp; true when the modem answered OK.
  bool Disconnect() override;
  // One short message in the device's mode; the modem's answer classified. A part the
  // settings or its pager ID make impossible to send is abandoned without any I/O.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  // The text followed by Ctrl-Z; the pager ID is not used.
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  bool ParseDeviceSettings() override;
  // Reads the carrier settings; MaxMessageLength and UnicodeText follow them.
  bool ParseCarrierSettings() override;

  std::vector<std::string> SendAnswers;
  bool PDUMode = false;
  bool UnicodeText = false;

private:
  sms::TCarrierSettingsSMS settings_;  // written by ParseCarrierSettings before the worker starts

  // One command answered OK within ModemResponseTimeout.
  bool Command(std::string_view command);
  // Asks the SIM's state and enters the PIN unless the SIM is ready.
  bool UnlockSim();
  TChannelSendResult SendInTextMode(const std::string& number, const std::string& text);
  TChannelSendResult SendInPduMode(const std::string& number, const std::string& text);
  // The +CMGS command and its prompt; on failure ESC ends any text entry the modem began.
  bool Submit(const std::string& command, const std::vector<std::string>& promptAnswers);
  // ESC, and the modem's answer to it.
  void CancelTextEntry();
  // The message body, then Ctrl-Z, then the final answer.
  TChannelSendResult SendBody(const std::string& body);

  bool carrierSettingsValid_ = true;
};

} // namespace voxmit
