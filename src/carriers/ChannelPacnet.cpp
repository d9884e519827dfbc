#include "carriers/ChannelPacnet.h"

#include <algorithm>

#include <Poco/Format.h>

#include "channels/LineFormat.h"
#include "common/CommaText.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace pacnet {

namespace {

// What a PAD acts on in data transfer: DLE, its recall character, and DC1 and DC3, its flow
// control.
constexpr char kPadControls[] = {0x10, 0x11, 0x13};

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

} // namespace

const std::vector<std::string>& CallAnswers() {
  static const std::vector<std::string> answers{"Please enter Pager ID", "CLR"};
  return answers;
}

const std::vector<std::string>& AnswerCodes() {
  static const std::vector<std::string> codes{"?00", "?90", "?92", "?11", "?89",
                                              "?91", "?17", "?86", "?93", "?94",
                                              "?87", "?95", "?99", "?96", "?98"};
  return codes;
}

TChannelSendResult ClassifyAnswer(TSendModemResult result, int32_t matchedIndex) {
  // By position in AnswerCodes.
  static const TChannelSendResult results[] = {
      srSent,           srAbandon,        srProviderHangUp, srAbandon,        srAbandon,
      srAbandon,        srProviderHangUp, srProviderHangUp, srProviderHangUp, srProviderHangUp,
      srProviderHangUp, srProviderHangUp, srRetry,          srProviderHangUp, srProviderHangUp};
  static_assert(std::size(results) == 15);
  if (result != seOK || matchedIndex < 0 || matchedIndex >= static_cast<int32_t>(std::size(results)))
    return srNoAnswer;
  return results[matchedIndex];
}

std::string CallRequestText(std::string_view networkUserId, std::string_view calledAddress) {
  std::string text = "N";
  text += networkUserId;
  text += '-';
  text += calledAddress;
  text += CR;
  return text;
}

std::string BuildLine(std::string_view text, std::string_view pagerId) {
  std::string line(pagerId);
  line += '@';
  line += text;
  line += CR;
  return line;
}

std::string ClearText() { return std::string("CLR") + CR; }

std::string UnsendableReason(std::string_view pagerId, std::string_view text) {
  if (pagerId.empty()) return "the pager ID is empty";
  if (pagerId.find('@') != std::string_view::npos) return "the pager ID holds \"@\"";
  if (std::any_of(pagerId.begin(), pagerId.end(), IsControl))
    return "the pager ID holds a control character";
  if (text.find_first_of(std::string_view(kPadControls, std::size(kPadControls))) !=
      std::string_view::npos)
    return "the text holds DLE, DC1 or DC3";
  return {};
}

void TEchoFilter::Expect(std::string_view line) {
  line_ = line;
  held_.clear();
}

void TEchoFilter::Clear() {
  line_.clear();
  held_.clear();
}

std::string TEchoFilter::Filter(std::string_view piece) {
  if (line_.empty()) return std::string(piece);
  std::string out;
  for (size_t i = 0; i < piece.size(); ++i) {
    held_ += piece[i];
    // Let go of what can no longer start the echo.
    size_t drop = 0;
    while (drop < held_.size() &&
           line_.compare(0, held_.size() - drop, held_, drop, std::string::npos) != 0)
      ++drop;
    out.append(held_, 0, drop);
    held_.erase(0, drop);
    if (held_.size() == line_.size()) {
      // The whole echo: gone, and everything after it passes.
      held_.clear();
      line_.clear();
      out.append(piece.substr(i + 1));
      break;
    }
  }
  return out;
}

bool ParseCarrierSettings(std::string_view text, TCarrierSettingsPacnet& into) {
  const std::vector<std::string> fields = SplitCommaText(text);
  if (fields.size() < 6) return false;
  into.PhoneNumber = TrimControls(fields[0]);
  into.MaxMessageLength = DefaultMaxMessageLength;
  CommaFieldToInt(fields[1], into.MaxMessageLength);
  into.BaudRate = DefaultBaudRate;
  CommaFieldToInt(fields[2], into.BaudRate);
  TLineFormat line{into.ByteSize, into.Parity, into.StopBits};
  const TLineFormatItems found = ParseLineFormat(fields[3], line);
  into.ByteSize = line.ByteSize;
  into.Parity = line.Parity;
  into.StopBits = line.StopBits;
  into.NetworkUserId = TrimControls(fields[4]);
  into.CalledAddress = TrimControls(fields[5]);
  return found.DataBits && found.StopBitsNumber;
}

} // namespace pacnet

// ---- TChannelPacnet -----------------------------------------------------------------------------

TChannelPacnet::TChannelPacnet(const TNChannelArgs& args)
    : TBaseChannelModem(args),
      AnswerCodes(pacnet::AnswerCodes()),
      CallAnswers(pacnet::CallAnswers()) {
  MaxMessagesPerConnection = std::max(1, settings::MaxMessagesPerConnectionPACNET.load());
}

TBufferLimits TChannelPacnet::GetBufferLimits() {
  return {settings::InputBufferLimitPACNET, settings::OutputBufferLimit};
}

bool TChannelPacnet::ParseCarrierSettings() {
  settingsValid_ = pacnet::ParseCarrierSettings(CarrierSettings(), settings_);
  MaxMessageLength = settings_.MaxMessageLength;
  if (!settingsValid_)
    LogMessage(Poco::format("ChannelPacnet, invalid carrier settings: \"%s\"", CarrierSettings()));
  return settingsValid_;
}

bool TChannelPacnet::InitPort() {
  return OpenPort({.BaudRate = settings_.BaudRate,
                   .ByteSize = settings_.ByteSize,
                   .Parity = settings_.Parity,
                   .StopBits = settings_.StopBits});
}

TSendModemResult TChannelPacnet::SendLine(const std::string& text,
                                          const std::vector<std::string>& answers,
                                          int32_t timeoutMs, int32_t& matched) {
  echo_.Expect(std::string_view(text).substr(0, text.size() - 1));  // the echo, CR aside
  const TSendModemResult result = SendModemStringEx(text, answers, timeoutMs, pacnet::CR, matched);
  echo_.Clear();
  return result;
}

void TChannelPacnet::FilterReceived(std::string& text) { text = echo_.Filter(text); }

TChannelConnectResult TChannelPacnet::CallOnce() {
  if (Dial(settings_.PhoneNumber) != dsConnected) return crNoConnection;
  if (WaitForModemString(pacnet::Herald, pacnet::CR, settings::HeraldTimeoutPACNET) != seOK)
    return crNoLogonRequest;
  int32_t matched = -1;
  const TSendModemResult result =
      SendLine(pacnet::CallRequestText(settings_.NetworkUserId, settings_.CalledAddress),
               CallAnswers, settings::LogonTimeoutPACNET, matched);
  return result == seOK && matched == pacnet::caPrompt ? crConnected : crLogonError;
}

TChannelConnectResult TChannelPacnet::Connect() {
  if (!settingsValid_) {
    LogMessage(Poco::format("ChannelPacnet, not dialling: invalid carrier settings \"%s\"",
                            CarrierSettings()));
    return crNoConnection;
  }
  const int32_t attempts = std::max(0, settings::LogonRetries.load()) + 1;
  TChannelConnectResult result = crNoConnection;
  for (int32_t i = 0; i < attempts && !StopRequested(); ++i) {
    result = CallOnce();
    // A failed dial already made its own redial attempts.
    if (result == crConnected || result == crNoConnection) break;
  }
  // The worker never disconnects after a failed connect: a call still up (or a dial the modem
  // is still making) would otherwise hold the line until the port closes.
  if (result != crConnected) HangUp();
  return result;
}

bool TChannelPacnet::Disconnect() {
  // After a provider hang-up the line is already down: nothing to clear.
  if (Connected())
    SendModemString(pacnet::ClearText(), pacnet::ClearAnswer, settings::ModemDisconnectTimeout,
                    pacnet::CR);
  HangUp();
  return true;
}

void TChannelPacnet::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                       std::string& block) {
  block = pacnet::BuildLine(text, pagerID);
}

TChannelSendResult TChannelPacnet::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  const std::string reason = pacnet::UnsendableReason(part.PagerID, part.MessageText);
  if (!reason.empty()) {
    LogMessage(Poco::format("ChannelPacnet, message given up: %s (pager ID \"%s\")", reason,
                            MakeControlsVisible(part.PagerID)));
    return srAbandon;
  }
  std::string line;
  BuildMessageBlock(part.MessageText, part.PagerID, line);
  int32_t matched = -1;
  const TSendModemResult result =
      SendLine(line, AnswerCodes, settings::SendMessageTimeoutPACNET, matched);
  return pacnet::ClassifyAnswer(result, matched);
}

} // namespace voxmit
