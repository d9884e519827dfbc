#pragma once
// A fake GSM modem (phone or module) on the master side of a pty, served by a PtyLine: the SMS
// AT commands of 3GPP TS 27.005 and the SIM PIN of TS 27.007, as a module answers them.
//
// Command lines end with CR; LF is ignored, also one that follows the CR of a +CMGS. Anything
// before the first "AT" of a line is dropped, as modems hunt for the prefix, so "+++ATH" runs
// ATH. Echo is on by factory default and ATE / ATE0 turn it off (unless the options say the
// modem echoes regardless); results are framed CR LF text CR LF. Errors follow +CMEE: plain
// ERROR with 0, "+CME ERROR: <n>" with 1 or 2; SMS errors are always "+CMS ERROR: <n>".
//
// SIM: with a PIN in the options the SIM starts locked ("+CPIN: SIM PIN"); SMS commands and
// +CSCA then fail with +CMS ERROR: 311. A wrong PIN is +CME ERROR: 16, and after the allowed
// attempts the SIM wants its PUK (+CME ERROR: 12 to every further PIN). A PIN while no PIN is
// asked for is +CME ERROR: 3, as TS 27.007 says.
//
// Sending: +CMGS answers with the prompt CR LF "> " and takes the message up to Ctrl-Z (ESC
// cancels, answered OK). Text mode reads the destination and the text in the character set of
// +CSCS ("IRA", "GSM" or "UCS2" hex) and takes the coding from the last +CSMP. PDU mode decodes
// the hex by the field layout of TS 23.040: the service centre address, then the SMS-SUBMIT
// TPDU (first octet, message reference, destination address in semi-octets, protocol
// identifier, data coding scheme, the validity period when the first octet says one is there,
// the user data length and the user data, 7-bit septets unpacked from the octets or UCS2), and
// checks the length given to +CMGS against it; a PDU that does not parse is +CMS ERROR: 304.
// 7-bit texts are read through the GSM default alphabet of TS 23.038 and recorded in UTF-8, as
// a handset would show them. The answer to each message is scripted: "+CMGS: <ref>" OK, a
// "+CMS ERROR:", a plain ERROR or silence, each after a delay.
//
// Unsolicited result codes from the options go out in turn before every result and prompt.
//
// Threads: the line's thread runs the modem (the FakeLinePeer operations). Every other public
// operation may be called from any thread. Records are updated before the answer that follows
// them is sent.

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/PtyPair.h"

namespace voxmit::test {

// What the modem answers to one message, after delay.
struct FakeSmsAnswer {
  enum class Kind { Ok, CmsError, PlainError, Silent };
  Kind kind = Kind::Ok;
  int cmsError = 500;  // for CmsError
  std::chrono::milliseconds delay{0};
};

// One message as the modem took it.
struct FakeSms {
  enum class Mode { Text, Pdu };
  enum class Coding { SevenBit, EightBit, Ucs2 };
  Mode mode = Mode::Text;
  std::string destination;   // "+" in front when the address type is international
  int typeOfAddress = 0;     // 129 or 145 (0x81, 0x91)
  Coding coding = Coding::SevenBit;
  std::string text;          // UTF-8, as the handset shows it
  std::string serviceCentre; // PDU: from its own field ("" for 00); text: the +CSCA setting
  int firstOctet = -1, messageReference = -1, protocolId = -1, dataCoding = -1;
  int validityPeriod = -1;   // relative validity octet; -1 when none
  FakeSmsAnswer::Kind answer = FakeSmsAnswer::Kind::Ok;  // how the modem answered it
};

// The 7-bit codes through the GSM default alphabet and its extension table, in UTF-8.
std::string GsmAlphabetToUtf8(std::string_view codes);
// Big-endian UTF-16 units in UTF-8.
std::string Utf16ToUtf8(const std::u16string& units);

class FakeGsmModem : public FakeLinePeer {
public:
  struct Options {
    bool echo = true;            // factory default
    bool echoDespiteAte = false; // keeps echoing whatever ATE says
    std::string simPin;          // empty: the SIM is not locked
    int pinAttempts = 3;
    std::vector<std::string> unsolicited;  // e.g. "+CMTI: \"SM\",3", "RING", "+CREG: 1"
  };

  FakeGsmModem();
  explicit FakeGsmModem(Options options);
  FakeGsmModem(const FakeGsmModem&) = delete;
  FakeGsmModem& operator=(const FakeGsmModem&) = delete;

  // Script.
  void QueueSendAnswer(FakeSmsAnswer answer);  // for the next messages, in order
  void SetDefaultSendAnswer(FakeSmsAnswer answer);
  // Command lines containing this text (case-insensitive) are answered ERROR.
  void RefuseCommandsContaining(std::string text);
  // +CMGS is accepted but no prompt follows.
  void SetPromptWithheld(bool withheld);
  // A switched-off modem neither echoes nor answers.
  void SetSwitchedOff(bool off);

  // Records.
  std::vector<std::string> Commands() const;   // command lines from "AT" on, without CR
  std::vector<FakeSms> Submissions() const;    // every message taken, whatever the answer
  std::vector<FakeSms> Messages() const;       // those answered "+CMGS:" OK
  std::vector<std::string> Rejected() const;   // bodies that did not decode, with the reason
  std::vector<std::string> PinsEntered() const;
  int Cancels() const;                         // text entries ended by ESC
  bool SimReady() const;
  std::string ServiceCentre() const;           // as set by +CSCA

  // FakeLinePeer, on the line's thread.
  void OnConnect(FakeLine& line) override;
  void OnReceive(std::string_view bytes, FakeLine& line) override;
  void OnTick(FakeLine& line) override;

private:
  enum class State { Command, Body, Sending };
  enum class SimState { Ready, Pin, Puk };
  using Clock = std::chrono::steady_clock;

  void Bytes(std::string_view bytes);
  void CommandByte(char c);
  void BodyByte(char c);
  void ExecuteLine(const std::string& line);
  // One extended command ("+CMGS" and its text after the name); returns the error to answer,
  // or "" when it went well; info lines go to info.
  std::string Extended(const std::string& name, std::string_view rest,
                       std::vector<std::string>& info, bool& prompt);
  void FinishBody();
  bool DecodeText(const std::string& body, FakeSms& sms, std::string& why) const;
  bool DecodePdu(const std::string& body, FakeSms& sms, std::string& why) const;
  void SendFinalAnswer();
  void Unsolicited();
  void Line(const std::string& text);  // CR LF text CR LF
  void Raw(std::string_view bytes);
  std::string CmeError(int code) const;
  static std::string CmsError(int code);
  FakeSmsAnswer NextAnswer();

  const Options options_;
  FakeLine* line_ = nullptr;

  // Line thread only.
  State state_ = State::Command;
  std::string commandBuffer_;
  std::string body_;
  std::string held_;  // bytes that arrived while a message was being sent
  bool skipLineEndLf_ = false;
  bool echo_ = true;
  int cmee_ = 0;
  bool pduMode_ = false;
  std::string charset_ = "IRA";
  int csmpDcs_ = 0;
  int pduLength_ = 0;
  std::string textDestination_;
  int textToa_ = 129;
  FakeSmsAnswer pending_;
  Clock::time_point due_{};
  int reference_ = 0;
  size_t unsolicitedNext_ = 0;
  int pinAttemptsLeft_ = 3;

  mutable std::mutex mutex_;  // guards everything below
  SimState sim_ = SimState::Ready;
  std::string serviceCentre_;
  std::deque<FakeSmsAnswer> answers_;
  FakeSmsAnswer defaultAnswer_;
  std::vector<std::string> refused_;
  bool promptWithheld_ = false;
  bool switchedOff_ = false;
  std::vector<std::string> commands_;
  std::vector<FakeSms> submissions_;
  std::vector<std::string> rejected_;
  std::vector<std::string> pins_;
  int cancels_ = 0;
};

} // namespace voxmit::test
