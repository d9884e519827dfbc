#include "clients/TcpMessages.h"

#include <charconv>
#include <stdexcept>

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>

#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

namespace {

const std::string KeywordLogon = "LOGON";
const std::string KeywordMessage = "MESSAGE";
constexpr size_t LogonFieldCount = 3;
constexpr size_t MessageFieldCount = 6;

TRequestKind KindOf(const std::vector<std::string>& fields) {
  if (fields.empty()) return rkUnknown;
  if (fields[0] == KeywordLogon) return rkLogon;
  if (fields[0] == KeywordMessage) return rkMessage;
  return rkUnknown;
}

bool IsWellFormed(TRequestKind kind, const std::vector<std::string>& fields) {
  int32_t number = 0;
  switch (kind) {
  case rkLogon:
    return fields.size() == LogonFieldCount;
  case rkMessage:
    return fields.size() == MessageFieldCount && TryParseInt32(fields[1], number) &&
           TryParseInt32(fields[2], number);
  default:
    return false;
  }
}

// Keywords by reply kind; empty where the number is not a kind.
const std::string& KeywordOf(uint8_t kind) {
  static const std::string keywords[] = {"",
                                         "LOGON_OK",
                                         "LOGON_DENIED",
                                         "MESSAGE_ACCEPTED",
                                         "MESSAGE_ACCEPT_ERROR",
                                         "MESSAGE_SENT",
                                         "MESSAGE_SEND_ERROR",
                                         "",
                                         "BROADCAST_MESSAGE"};
  static const std::string none;
  return kind < std::size(keywords) ? keywords[kind] : none;
}

std::string Frame(std::string_view body) {
  std::string frame;
  frame.reserve(FrameStart.size() + body.size() + FrameEnd.size());
  frame.append(FrameStart).append(body).append(FrameEnd);
  return frame;
}

std::string PairText(int32_t first, int32_t second) {
  return std::to_string(first) + "," + std::to_string(second);
}

std::shared_ptr<TServerReplyMessage> MakeReply(TReplyMessageKind kind, std::string data,
                                               int32_t recordID) {
  auto reply = std::make_shared<TServerReplyMessage>(kind);
  reply->SetData(std::move(data));
  reply->SetRecordID(recordID);
  return reply;
}

std::string ResolveHostIP() {
  try {
    const Poco::Net::HostEntry entry = Poco::Net::DNS::hostByName(Poco::Net::DNS::hostName());
    for (const Poco::Net::IPAddress& address : entry.addresses()) {
      if (address.family() == Poco::Net::IPAddress::IPv4) return address.toString();
    }
  } catch (const Poco::Exception&) {
    // No name, or a name that does not resolve: the address stays unknown.
  }
  return {};
}

} // namespace

bool TryParseInt32(std::string_view text, int32_t& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return false;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && ptr == end;
}

TServerRawInMessage::TServerRawInMessage(std::string_view body)
    : fields_(SplitCommaText(body)), kind_(KindOf(fields_)),
      wrongFormat_(!IsWellFormed(kind_, fields_)) {}

void TServerRawInMessage::Require(TRequestKind kind, const char* accessor) const {
  if (kind_ != kind) throw std::logic_error(accessor);
}

const std::string& TServerRawInMessage::Field(size_t index, TRequestKind kind,
                                              const char* accessor) const {
  Require(kind, accessor);
  if (index >= fields_.size()) throw std::logic_error(accessor);
  return fields_[index];
}

int32_t TServerRawInMessage::IntegerField(size_t index, const char* accessor) const {
  int32_t value = 0;
  if (!TryParseInt32(Field(index, rkMessage, accessor), value)) throw std::logic_error(accessor);
  return value;
}

std::string TServerRawInMessage::GetClientGUID() const {
  return Field(1, rkLogon, "TServerRawInMessage.GetClientGUID()").substr(0, ClientGUIDLength);
}

bool TServerRawInMessage::HasClientRecordID() const {
  Require(rkMessage, "TServerRawInMessage.HasClientRecordID()");
  int32_t value = 0;
  return fields_.size() > 1 && TryParseInt32(fields_[1], value);
}

int32_t TServerRawInMessage::GetClientRecordID() const {
  return IntegerField(1, "TServerRawInMessage.GetClientRecordID()");
}

TCarrierType TServerRawInMessage::GetCarrierType() const {
  return static_cast<TCarrierType>(IntegerField(2, "TServerRawInMessage.GetCarrierType()"));
}

const std::string& TServerRawInMessage::GetCarrierData() const {
  return Field(3, rkMessage, "TServerRawInMessage.GetCarrierData()");
}

const std::string& TServerRawInMessage::GetPagerID() const {
  return Field(4, rkMessage, "TServerRawInMessage.GetPagerID()");
}

const std::string& TServerRawInMessage::GetMessageText() const {
  return Field(5, rkMessage, "TServerRawInMessage.GetMessageText()");
}

TExtractResult ExtractFrames(std::string& buffer, TRawInMessageList& requests) {
  TExtractResult result;
  size_t pos = 0;
  for (;;) {
    const size_t start = buffer.find(FrameStart, pos);
    if (start == std::string::npos) {
      buffer.clear();
      break;
    }
    const size_t bodyStart = start + FrameStart.size();
    const size_t end = buffer.find(FrameEnd, bodyStart);
    if (end == std::string::npos) {
      buffer.erase(0, start);
      break;
    }
    requests.emplace_back(std::string_view(buffer).substr(bodyStart, end - bodyStart));
    result.FoundFrames = true;
    pos = end + FrameEnd.size();
  }
  if (buffer.size() > MaxPendingInput) {
    LogMessage("TcpMessages, " + std::to_string(buffer.size()) +
               " bytes of input without a complete frame, connection closed");
    buffer.clear();
    buffer.shrink_to_fit();
    result.Overflow = true;
  }
  return result;
}

TServerReplyMessage::TServerReplyMessage(uint8_t messageKind)
    : kind_(static_cast<TReplyMessageKind>(messageKind)) {
  if (KeywordOf(messageKind).empty())
    throw std::invalid_argument("From : TServerReplyMessage.Create() - unknown MessageKind.");
}

const std::string& TServerReplyMessage::Keyword() const { return KeywordOf(kind_); }

void TServerReplyMessage::SetData(std::string data) {
  data_ = std::move(data);
  hasData_ = true;
}

std::string TServerReplyMessage::AsText() const {
  std::string body = Keyword();
  if (hasData_) body.append(",\"").append(data_).append("\"");
  return Frame(body);
}

std::shared_ptr<TServerReplyMessage> MakeLogonOkReply() {
  return std::make_shared<TServerReplyMessage>(MK_LOGON_OK);
}

std::shared_ptr<TServerReplyMessage> MakeMessageAcceptedReply(int32_t clientRecordID,
                                                              int32_t recordID) {
  auto reply = MakeReply(MK_MESSAGE_ACCEPTED, PairText(clientRecordID, recordID), recordID);
  reply->SetClientRecordID(clientRecordID);
  return reply;
}

std::shared_ptr<TServerReplyMessage> MakeMessageAcceptErrorReply(int32_t clientRecordID) {
  return MakeReply(MK_MESSAGE_ACCEPT_ERROR,
                   PairText(clientRecordID, MAE_WRONG_FORMAT) + ",Formatting Error", 0);
}

std::shared_ptr<TServerReplyMessage> MakeMessageSentReply(int32_t clientRecordID,
                                                          int32_t serverRecordID,
                                                          int32_t sentRowID) {
  return MakeReply(MK_MESSAGE_SENT, PairText(clientRecordID, serverRecordID), sentRowID);
}

std::shared_ptr<TServerReplyMessage> MakeMessageSendErrorReply(int32_t clientRecordID,
                                                               TMessageSendError error,
                                                               int32_t sentRowID) {
  return MakeReply(MK_MESSAGE_SEND_ERROR,
                   PairText(clientRecordID, error) + ", Error Sending this Message.", sentRowID);
}

std::shared_ptr<TServerReplyMessage> MakeBroadcastReply(std::string data) {
  return MakeReply(MK_BROADCAST_MESSAGE, std::move(data), 0);
}

std::string LogonDeniedFrame() {
  return Frame(KeywordOf(MK_LOGON_DENIED) + "," + std::to_string(LE_WRONG_MESSAGE_FORMAT) +
               ",\"Wrong LogOn Message Format\"");
}

const std::string& ServerHostIP() {
  static const std::string ip = ResolveHostIP();
  return ip;
}

std::string BroadcastDataText(const std::string& hostName, const std::string& hostIP,
                              int32_t port, const std::string& notice) {
  return "From VoxmitServer (Host: " + hostName + ", IP: " + hostIP +
         ", Port: " + std::to_string(port) + ") : " + notice;
}

std::string BroadcastDataText(const std::string& hostName, int32_t port,
                              const std::string& notice) {
  return BroadcastDataText(hostName, ServerHostIP(), port, notice);
}

TServerNormalInputMessage::TServerNormalInputMessage(TNormalInputFields fields)
    : TServerInputMessage(0), clientGUID_(std::move(fields.ClientGUID)),
      carrierID_(fields.CarrierID), pagerID_(std::move(fields.PagerID)),
      messageText_(std::move(fields.MessageText)), clientRecordID_(fields.ClientRecordID),
      carrierType_(fields.CarrierType) {
  if (clientGUID_.size() > ClientGUIDLength) clientGUID_.resize(ClientGUIDLength);
}

} // namespace voxmit
