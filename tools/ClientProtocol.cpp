#include "tools/ClientProtocol.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/String.h>
#include <Poco/Timespan.h>
#include <Poco/UUIDGenerator.h>
#include <sys/socket.h>

#include <algorithm>

namespace voxmit::client {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

bool NeedsQuotes(std::string_view field) {
  return std::any_of(field.begin(), field.end(),
                     [](char c) { return IsBlank(c) || c == ',' || c == '"'; });
}

std::string Quoted(std::string_view field) {
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// Reads a quoted field starting at text[i] == '"'; leaves i after the closing quote.
std::string ReadQuoted(std::string_view text, std::size_t& i) {
  std::string field;
  ++i;
  while (i < text.size()) {
    if (text[i] == '"') {
      if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        i += 2;
        continue;
      }
      ++i;
      return field;
    }
    field += text[i++];
  }
  if (!field.empty()) field.pop_back();
  return field;
}

std::chrono::milliseconds Remaining(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
}

Poco::Timespan ToTimespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
}

} // namespace

std::vector<std::string> SplitFields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < text.size() && IsBlank(text[i])) ++i;
  };
  skipBlanks();
  while (i < text.size()) {
    if (text[i] == '"') {
      fields.push_back(ReadQuoted(text, i));
    } else {
      const std::size_t start = i;
      while (i < text.size() && text[i] != ',' && !IsBlank(text[i])) ++i;
      fields.emplace_back(text.substr(start, i - start));
    }
    skipBlanks();
    if (i < text.size() && text[i] == ',') {
      if (i + 1 == text.size()) fields.emplace_back();
      ++i;
      skipBlanks();
    }
  }
  return fields;
}

std::string JoinFields(const std::vector<std::string>& fields) {
  if (fields.size() == 1 && fields.front().empty()) return "\"\"";
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    out += NeedsQuotes(fields[i]) ? Quoted(fields[i]) : fields[i];
  }
  return out;
}

std::string MakeFrame(std::string_view body) {
  std::string frame{FrameStart};
  frame += body;
  frame += FrameEnd;
  return frame;
}

std::string LogonBody(std::string_view guid, std::string_view description) {
  return JoinFields({"LOGON", std::string(guid), std::string(description)});
}

std::string MessageBody(std::int32_t clientRecordId, std::int32_t carrierType,
                        std::string_view settings, std::string_view pagerId,
                        std::string_view text) {
  return JoinFields({"MESSAGE", std::to_string(clientRecordId), std::to_string(carrierType),
                     std::string(settings), std::string(pagerId), std::string(text)});
}

std::string NewClientGuid() {
  return "{" + Poco::toUpper(Poco::UUIDGenerator::defaultGenerator().createRandom().toString()) +
         "}";
}

void TFrameCutter::Append(std::string_view bytes) { buffer_.append(bytes); }

std::optional<std::string> TFrameCutter::Next() {
  const auto start = buffer_.find(FrameStart);
  if (start == std::string::npos) {
    // Keep only what may be the first bytes of a start marker cut by the read.
    std::size_t keep = std::min(buffer_.size(), FrameStart.size() - 1);
    while (keep > 0 && buffer_.compare(buffer_.size() - keep, keep, FrameStart, 0, keep) != 0)
      --keep;
    buffer_.erase(0, buffer_.size() - keep);
    return std::nullopt;
  }
  buffer_.erase(0, start);
  const auto end = buffer_.find(FrameEnd, FrameStart.size());
  if (end == std::string::npos) return std::nullopt;
  std::string body = buffer_.substr(FrameStart.size(), end - FrameStart.size());
  buffer_.erase(0, end + FrameEnd.size());
  return body;
}

TReply ParseReply(std::string body) {
  TReply reply;
  const auto comma = body.find(',');
  reply.Keyword = body.substr(0, comma);
  if (comma != std::string::npos) {
    std::string_view rest = std::string_view(body).substr(comma + 1);
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
      rest = rest.substr(1, rest.size() - 2);
    reply.Data = rest;
    reply.Fields = SplitFields(reply.Data);
  }
  reply.Body = std::move(body);
  return reply;
}

TClientConnection::TClientConnection(const std::string& host, std::uint16_t port,
                                     std::chrono::milliseconds connectTimeout) {
  socket_.connect(Poco::Net::SocketAddress(host, port), ToTimespan(connectTimeout));
  socket_.setNoDelay(true);
  socket_.setSendTimeout(Poco::Timespan(10, 0));
}

TClientConnection::~TClientConnection() {
  try {
    socket_.close();
  } catch (const Poco::Exception&) {
    // Closing a socket the peer has already reset: nothing left to release.
  }
}

void TClientConnection::SendRaw(std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = socket_.sendBytes(bytes.data() + sent, static_cast<int>(bytes.size() - sent),
                                    MSG_NOSIGNAL);
    if (n <= 0) throw Poco::IOException("connection closed while sending");
    sent += static_cast<std::size_t>(n);
  }
}

void TClientConnection::SendFrame(std::string_view body) { SendRaw(MakeFrame(body)); }

void TClientConnection::SendFields(const std::vector<std::string>& fields) {
  SendFrame(JoinFields(fields));
}

void TClientConnection::Logon(std::string_view guid, std::string_view description) {
  SendFrame(LogonBody(guid, description));
}

void TClientConnection::SendMessage(std::int32_t clientRecordId, std::int32_t carrierType,
                                    std::string_view settings, std::string_view pagerId,
                                    std::string_view text) {
  SendFrame(MessageBody(clientRecordId, carrierType, settings, pagerId, text));
}

std::optional<TReply> TClientConnection::ReadReply(std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  for (;;) {
    if (auto body = cutter_.Next()) return ParseReply(std::move(*body));
    if (peerClosed_) return std::nullopt;
    if (!ReceiveSome(deadline) && TClock::now() >= deadline) return std::nullopt;
  }
}

bool TClientConnection::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  while (!peerClosed_ && TClock::now() < deadline) ReceiveSome(deadline);
  return peerClosed_;
}

bool TClientConnection::ReceiveSome(TClock::time_point deadline) {
  const auto wait = std::max(Remaining(deadline), std::chrono::milliseconds(0));
  try {
    if (!socket_.poll(ToTimespan(wait), Poco::Net::Socket::SELECT_READ)) return false;
    char chunk[4096];
    const int n = socket_.receiveBytes(chunk, sizeof chunk);
    if (n <= 0) {
      peerClosed_ = true;
      return false;
    }
    cutter_.Append(std::string_view(chunk, static_cast<std::size_t>(n)));
    return true;
  } catch (const Poco::IOException&) {
    // A reset or a dead connection: the server is gone either way.
    peerClosed_ = true;
    return false;
  }
}

} // namespace voxmit::client
