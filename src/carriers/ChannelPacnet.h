#pragma once
// Paging through a packet network reached by modem (CT_PACNET): dial the network's access
// number, wait for its herald "PACNET", place a call to the paging service with an X.28-style
// selection "N<network user id>-<called address>", wait for the service's prompt, then send one
// line "<pager ID>@<text>" CR per message part and classify the three-character answer code.
//
// The codec (settings, texts, answer lists, answer classification, the echo filter) is a set of
// pure functions and one small value class, callable from any thread. TChannelPacnet is a
// carrier channel: the iterator constructs it, and from then on only its own worker thread
// calls its virtual operations.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelModem.h"
#include "common/ServerTypes.h"

namespace voxmit {

namespace pacnet {

inline constexpr char CR = '\r';
// What the network sends once the modem connection is up.
inline constexpr const char* Herald = "PACNET";
// What the modem reports once the network has cleared the call.
inline constexpr const char* ClearAnswer = "NO CARRIER";

// The answers to a call request, in the order they are tried.
const std::vector<std::string>& CallAnswers();
enum TCallAnswer : int32_t { caPrompt = 0, caCleared = 1 };

// The service's answer codes, in the order they are tried: an earlier code wins over a later
// one that arrived too.
const std::vector<std::string>& AnswerCodes();

// What the service's answer means: the routine's result and the matched entry of AnswerCodes.
TChannelSendResult ClassifyAnswer(TSendModemResult result, int32_t matchedIndex);

// "N" + network user id + "-" + called address + CR.
std::string CallRequestText(std::string_view networkUserId, std::string_view calledAddress);
// Pager ID + "@" + text + CR. Nothing is escaped: the line has no way to.
std::string BuildLine(std::string_view text, std::string_view pagerId);
// "CLR" + CR: clears the call.
std::string ClearText();

// Whether a part can travel as one line and mean what it says. The pager ID must not be empty
// and must hold neither "@" (the service would split the line there and page someone else)
// nor a control character (a CR would end the line early). The text must hold none of the
// characters a PAD acts on in data transfer: DLE, its recall character, which would turn the
// rest of the line into PAD commands, and DC1 and DC3, its flow control. Empty when the part
// can go, otherwise what is wrong with it.
std::string UnsendableReason(std::string_view pagerId, std::string_view text);

// Takes the far end's echo of one line out of what arrives, piece by piece: the first
// occurrence of the line is dropped, whatever comes before or after it passes. A tail that may
// still be the start of the echo is held back until it is either the whole echo or not the
// echo at all. Without a line it passes everything.
class TEchoFilter {
public:
  void Expect(std::string_view line);  // the line whose echo is to go
  void Clear();                        // pass everything again
  std::string Filter(std::string_view piece);

private:
  std::string line_;  // empty: nothing to take out
  std::string held_;  // a prefix of line_
};

// The six carrier settings fields: everything a PACNET channel knows of its carrier.
struct TCarrierSettingsPacnet {
  std::string PhoneNumber;       // the network's access number
  int32_t MaxMessageLength = 0;  // 120 when field 2 is not a number
  int32_t BaudRate = 0;          // 9600 when field 3 is not a number
  int32_t ByteSize = 0;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even
  uint8_t StopBits = 0;  // 0 one, 2 two
  std::string NetworkUserId;
  std::string CalledAddress;
};

inline constexpr int32_t DefaultMaxMessageLength = 120;
inline constexpr int32_t DefaultBaudRate = 9600;

// Reads the settings text into into. Fewer than six fields: false and nothing is read. A line
// format (field 4) whose data bits or stop bits are not numbers: false, with every field read.
// Otherwise true. Fields beyond the sixth are ignored.
bool ParseCarrierSettings(std::string_view text, TCarrierSettingsPacnet& into);

} // namespace pacnet

class TChannelPacnet : public TBaseChannelModem {
public:
  explicit TChannelPacnet(const TNChannelArgs& args);
  // FiFoIn: InputBufferLimitPACNET; FiFoOut: OutputBufferLimit.
  static TBufferLimits GetBufferLimits();

  // The carrier settings as ParseCarrierSettings read them.
  const pacnet::TCarrierSettingsPacnet& Settings() const { return settings_; }

protected:
  // Opens the port with the line settings of the carrier settings.
  bool InitPort() override;
  // Dial, herald, call request; up to LogonRetries + 1 attempts, each dialling anew. A failed
  // dial ends it at once. Hangs up when it fails. Invalid carrier settings dial nothing.
  TChannelConnectResult Connect() override;
  // "CLR" and the modem's NO CARRIER when connected; then HangUp in any case. Always true.
  bool Disconnect() override;
  // One line; the service's answer classified. A part that cannot travel as one line is
  // abandoned without being sent.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  // Reads the carrier settings; MaxMessageLength follows them.
  bool ParseCarrierSettings() override;
  // Takes out the echo of the line being sent, so that a code inside the sent text can never
  // be taken for the service's answer.
  void FilterReceived(std::string& text) override;

  std::vector<std::string> AnswerCodes;
  std::vector<std::string> CallAnswers;

private:
  // Written by ParseCarrierSettings before the worker starts.
  pacnet::TCarrierSettingsPacnet settings_;

  TChannelConnectResult CallOnce();
  // Writes text and waits for an entry of answers, with the echo of text taken out.
  TSendModemResult SendLine(const std::string& text, const std::vector<std::string>& answers,
                            int32_t timeoutMs, int32_t& matched);

  bool settingsValid_ = false;
  pacnet::TEchoFilter echo_;  // worker thread only
};

} // namespace voxmit
