#include "carriers/ChannelTap.h"

#include <algorithm>

#include "channels/LineFormat.h"
#include "common/CommaText.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace tap {

std::string Checksum(std::string_view blockSoFar) {
  uint32_t sum = 0;
  for (char c : blockSoFar) sum += static_cast<unsigned char>(c);
  std::string digits(3, '0');
  digits[0] = static_cast<char>(0x30 + ((sum >> 8) & 0x0F));
  digits[1] = static_cast<char>(0x30 + ((sum >> 4) & 0x0F));
  digits[2] = static_cast<char>(0x30 + (sum & 0x0F));
  return digits;
}

// Control characters travel as SUB followed by the character plus 0x40, so that no byte of a
// field can be taken for the block's own CR, STX or ETX. The pager ID gets the same treatment:
// it comes from the client and must not be able to break the framing.
void AppendTransparent(std::string& block, std::string_view field) {
  for (char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      block += SUB;
      block += static_cast<char>(byte + 0x40);
    } else {
      block += c;
    }
  }
}

std::string BuildBlock(std::string_view text, std::string_view pagerId) {
  std::string block;
  block.reserve(text.size() * 2 + pagerId.size() * 2 + 10);
  block += STX;
  AppendTransparent(block, pagerId);
  block += CR;
  AppendTransparent(block, text);
  block += CR;
  block += ETX;
  block += Checksum(block);
  block += CR;
  return block;
}

const std::vector<std::string>& PromptAnswers() {
  static const std::vector<std::string> answers{"ID=", "NO CARRIER\r\n"};
  return answers;
}

const std::vector<std::string>& LogonAnswers() {
  static const std::vector<std::string> answers{std::string{ESC} + "[p" + CR, "NO CARRIER\r\n"};
  return answers;
}

const std::vector<std::string>& BlockAnswers() {
  static const std::vector<std::string> answers{std::string(1, ACK), std::string(1, NAK),
                                                std::string(1, RS), std::string{ESC, EOT}};
  return answers;
}

const std::vector<std::string>& DirectPromptAnswers() {
  static const std::vector<std::string> answers{"ID=", std::string{ESC, EOT}};
  return answers;
}

TChannelSendResult ClassifyBlockAnswer(TSendModemResult result, int32_t matchedIndex) {
  if (result != seOK) return srNoAnswer;
  switch (matchedIndex) {
    case baAck: return srSent;
    case baNak: return srRetry;
    case baRs: return srAbandon;
    case baEscEot: return srProviderHangUp;
    default: return srNoAnswer;
  }
}

std::string LogonText(std::string_view password) {
  std::string text{ESC};
  text += "PG1";
  text += password;
  text += CR;
  return text;
}

std::string LogoffText() { return std::string{EOT, CR}; }

bool ParseCarrierSettings(std::string_view text, TCarrierSettingsTap& into) {
  const std::vector<std::string> fields = SplitCommaText(text);
  if (fields.size() != 5) return false;
  into.PhoneNumber = TrimControls(fields[0]);
  into.Password = TrimControls(fields[1]);
  if (!CommaFieldToInt(fields[2], into.MaxMessageLength)) return false;
  if (!CommaFieldToInt(fields[3], into.BaudRate)) return false;
  TLineFormat line{into.ByteSize, into.Parity, into.StopBits};
  const TLineFormatItems found = ParseLineFormat(fields[4], line);
  into.ByteSize = line.ByteSize;
  into.Parity = line.Parity;
  into.StopBits = line.StopBits;
  return found.DataBits && found.Count == 3;
}

} // namespace tap

} // namespace voxmit

// ---- TChannelTap --------------------------------------------------------------------------------

namespace voxmit {

TChannelTap::TChannelTap(const TNChannelArgs& args)
    : TBaseChannelModem(args),
      PromptAnswers(tap::PromptAnswers()),
      LogonAnswers(tap::LogonAnswers()),
      BlockAnswers(tap::BlockAnswers()) {
  MaxMessagesPerConnection = std::max(1, settings::MaxMessagesPerConnectionTAP.load());
}

TBufferLimits TChannelTap::GetBufferLimits() {
  return {settings::InputBufferLimitTAP, settings::OutputBufferLimit};
}

bool TChannelTap::ParseCarrierSettings() {
  const bool ok = tap::ParseCarrierSettings(CarrierSettings(), settings_);
  MaxMessageLength = settings_.MaxMessageLength;
  return ok;
}

bool TChannelTap::InitPort() {
  return OpenPort({.BaudRate = settings_.BaudRate,
                   .ByteSize = settings_.ByteSize,
                   .Parity = settings_.Parity,
                   .StopBits = settings_.StopBits});
}

TSendModemResult TChannelTap::WakeTerminal(int32_t& matched) {
  TSendModemResult result = seExpectTimeout;
  for (int32_t i = 0; i < tap::PromptTries; ++i) {
    result = SendModemStringEx("\r", PromptAnswers, tap::PromptTimeoutMs, tap::CR, matched);
    if (result == seOK) break;
  }
  return result;
}

TChannelConnectResult TChannelTap::LogOnOnce() {
  if (Dial(settings_.PhoneNumber) != dsConnected) return crNoConnection;
  int32_t matched = -1;
  const TSendModemResult prompt = WakeTerminal(matched);
  if (prompt == seOK && matched == tap::paIdPrompt)
    LogMessage("ChannelTap, receiving ID= succeeded");
  if (prompt != seOK || matched == tap::paNoCarrier) {
    LogMessage("ChannelTap, receiving ID= failed");
    return crNoLogonRequest;
  }
  // "[P" in capitals although the terminal answers "[p", and the trailing blank: the original
  // line, kept as log readers know it.
  LogMessage("ChannelTap, sending <ESC>PG1, waiting for <ESC>[P<CR> ");
  const TSendModemResult logon =
      SendModemStringEx(tap::LogonText(settings_.Password), LogonAnswers, tap::LogonTimeoutMs,
                        tap::CR, matched);
  if (logon == seOK && matched == 0) {
    LogMessage("ChannelTap, receiving <ESC>[P<CR> succeeded");
    return crConnected;
  }
  LogMessage("ChannelTap, receiving <ESC>[P<CR> failed");
  return crLogonError;
}

TChannelConnectResult TChannelTap::Connect() {
  LogMessage("ChannelTap, connecting ");  // trailing blank: the original's
  const int32_t attempts = std::max(0, settings::LogonRetries.load()) + 1;
  TChannelConnectResult result = crConnected;
  for (int32_t i = 0; i < attempts; ++i) {
    result = LogOnOnce();
    // A failed dial already made its own redial attempts.
    if (result == crConnected || result == crNoConnection) break;
  }
  // The worker never disconnects after a failed connect: a call that is still up (or a dial
  // the modem is still making) would hold the line until the port closes.
  if (result != crConnected) HangUp();
  return result;
}

bool TChannelTap::Disconnect() {
  const bool answered = SendModemString(tap::LogoffText(), LogoffAnswer(),
                                        settings::ModemDisconnectTimeout, tap::CR) == seOK;
  HangUp();
  return answered;
}

std::string TChannelTap::LogoffAnswer() const { return "NO CARRIER"; }

void TChannelTap::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                    std::string& block) {
  block = tap::BuildBlock(text, pagerID);
}

TChannelSendResult TChannelTap::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  std::string block;
  BuildMessageBlock(part.MessageText, part.PagerID, block);
  int32_t matched = -1;
  const TSendModemResult result =
      SendModemStringEx(block, BlockAnswers, tap::BlockTimeoutMs, tap::CR, matched);
  return tap::ClassifyBlockAnswer(result, matched);
}

} // namespace voxmit
