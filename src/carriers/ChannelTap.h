#pragma once
// Alphanumeric paging over a dial-up modem (CT_TAP).
//
// The codec (block, checksum, settings, answer lists, answer classification) is a set of pure
// functions callable from any thread. TChannelTap is a carrier channel: the iterator constructs
// it, and from then on only its own worker thread calls its virtual operations.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelModem.h"
#include "common/ServerTypes.h"

namespace voxmit {

namespace tap {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char EOT = 0x04;
inline constexpr char ACK = 0x06;
inline constexpr char CR = 0x0D;
inline constexpr char NAK = 0x15;
inline constexpr char SUB = 0x1A;
inline constexpr char ESC = 0x1B;
inline constexpr char RS = 0x1E;

// The three checksum characters of a block: the sum S of every byte value (as unsigned bytes)
// of the block so far, written as 0x30 plus each of its bits 11-8, 7-4 and 3-0.
std::string Checksum(std::string_view blockSoFar);

// STX, pager ID, CR, text, CR, ETX, checksum, CR; in the pager ID and the text every control
// character below 0x20 is sent as SUB followed by the character plus 0x40.
std::string BuildBlock(std::string_view text, std::string_view pagerId);

// How long one wait for the terminal's prompt lasts and how often it is tried, and how long
// the answers to the logon and to a block may take.
inline constexpr int32_t PromptTimeoutMs = 2000;
inline constexpr int32_t PromptTries = 3;
inline constexpr int32_t LogonTimeoutMs = 10000;
inline constexpr int32_t BlockTimeoutMs = 10000;

// Answers awaited after a carriage return on a dialled line, after the logon, and after a block.
const std::vector<std::string>& PromptAnswers();
const std::vector<std::string>& LogonAnswers();
const std::vector<std::string>& BlockAnswers();
// Answers awaited after a carriage return on a direct line.
const std::vector<std::string>& DirectPromptAnswers();

// Positions in the lists above.
enum TPromptAnswer : int32_t { paIdPrompt = 0, paNoCarrier = 1 };
enum TBlockAnswer : int32_t { baAck = 0, baNak = 1, baRs = 2, baEscEot = 3 };

// What the terminal's answer to a block means: the routine's result and the matched entry of
// BlockAnswers.
TChannelSendResult ClassifyBlockAnswer(TSendModemResult result, int32_t matchedIndex);

// The logon text of a dial-up logon: ESC "PG1" password CR.
std::string LogonText(std::string_view password);
// The logoff text: EOT CR.
std::string LogoffText();

// The five carrier settings fields: everything a TAP channel knows of its carrier.
struct TCarrierSettingsTap {
  std::string PhoneNumber;
  std::string Password;
  int32_t MaxMessageLength = 0;
  int32_t BaudRate = 0;
  int32_t ByteSize = 0;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even
  uint8_t StopBits = 0;  // 0 one, 2 two
};

// Reads the settings text into into, field by field. False when the text does not have exactly
// five fields or a number does not convert; what was read before the failure stays in into.
bool ParseCarrierSettings(std::string_view text, TCarrierSettingsTap& into);

} // namespace tap

// Dials the paging terminal through the modem, logs on with the carrier's password and sends
// one block per message part.
class TChannelTap : public TBaseChannelModem {
public:
  explicit TChannelTap(const TNChannelArgs& args);
  // FiFoIn: InputBufferLimitTAP; FiFoOut: OutputBufferLimit.
  static TBufferLimits GetBufferLimits();

  // The carrier settings as ParseCarrierSettings read them.
  const tap::TCarrierSettingsTap& Settings() const { return settings_; }

protected:
  // Opens the port with the line settings of the carrier settings.
  bool InitPort() override;
  // Dial, wake the terminal for its ID= prompt, log on; up to LogonRetries + 1 attempts.
  TChannelConnectResult Connect() override;
  // EOT CR, then LogoffAnswer() for ModemDisconnectTimeout ms, then HangUp in any case; true
  // when the answer came.
  bool Disconnect() override;
  // One block; the terminal's answer classified.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  // Reads the carrier settings; MaxMessageLength follows them.
  bool ParseCarrierSettings() override;

  // What a logoff waits for: the modem's "NO CARRIER" here.
  virtual std::string LogoffAnswer() const;

  std::vector<std::string> PromptAnswers;
  std::vector<std::string> LogonAnswers;
  std::vector<std::string> BlockAnswers;

private:
  tap::TCarrierSettingsTap settings_;  // written by ParseCarrierSettings before the worker starts

  // Up to three carriage returns until one gets an answer from the list; the last result.
  TSendModemResult WakeTerminal(int32_t& matched);
  TChannelConnectResult LogOnOnce();
};

} // namespace voxmit
