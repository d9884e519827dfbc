#include "carriers/IdSNPP.h"

#include "carriers/StoppableSocket.h"

namespace voxmit {

POCO_IMPLEMENT_EXCEPTION(TSNPPException, Poco::Net::NetException, "SNPP Exception")

namespace {

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

std::string SnppDataBlock(std::string_view text) {
  std::string block;
  block.reserve(text.size() + 8);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.front() == '.') block += '.';
    block += line;
    block += "\r\n";
    if (end == text.size()) break;
    // CR LF is one line end; a lone CR or a lone LF is one too.
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    if (start == text.size()) break;  // a final line break ends the last line
  }
  block += ".\r\n";
  return block;
}

TIdSNPP::TIdSNPP(std::shared_ptr<const TNEvent> stop, int32_t timeoutMs)
    : stop_(std::move(stop)), timeoutMs_(timeoutMs) {}

TIdSNPP::~TIdSNPP() { CloseSocket(); }

void TIdSNPP::CloseSocket() {
  if (!socket_) return;
  try {
    socket_->close();
  } catch (const Poco::Exception&) {
    // closing a socket the peer has already dropped: nothing left to do
  }
  socket_.reset();
}

void TIdSNPP::Connect(const std::string& host, uint16_t port) {
  CloseSocket();
  try {
    socket_.emplace(ConnectStoppable(host, port, timeoutMs_, stop_));
    std::string greeting;
    const int code = ReadReply(greeting);
    if (code != ReplyReady) throw TSNPPException("Connection refused", greeting, code);
  } catch (...) {
    CloseSocket();
    throw;
  }
}

void TIdSNPP::Disconnect() {
  if (!socket_) return;
  std::string reply;
  int code = 0;
  try {
    code = SendCmd("QUIT", reply);
  } catch (...) {
    CloseSocket();
    throw;
  }
  CloseSocket();
  if (code != ReplyGoodbye) throw TSNPPException("QUIT not acknowledged", reply, code);
}

int TIdSNPP::ReadReply(std::string& reply) {
  const int code = socket_->receiveStatusMessage(reply);
  // No code at all is no answer: the peer closed the connection or is not speaking SNPP. Taken
  // as a refusal it would let a lost connection count as a page quietly refused.
  if (code <= 0) {
    if (reply.empty()) throw Poco::Net::ConnectionResetException("the peer closed the connection");
    throw TSNPPException("Reply without a code", reply, 0);
  }
  return code;
}

int TIdSNPP::SendCmd(std::string_view line, std::string& reply) {
  if (HasLineBreak(line)) throw TSNPPException("A command may not hold a line break");
  if (!socket_) throw Poco::Net::NetException("Not connected");
  socket_->sendMessage(std::string(line));
  return ReadReply(reply);
}

bool TIdSNPP::LoginCommand(std::string_view login, std::string_view password) {
  std::string line = "LOGI ";
  if (!login.empty()) {
    line += login;
    line += ' ';
  }
  line += password;
  std::string reply;
  return SendCmd(line, reply) == ReplyOK;
}

bool TIdSNPP::PageCommand(std::string_view pagerID) {
  std::string reply;
  return SendCmd("PAGE " + std::string(pagerID), reply) == ReplyOK;
}

bool TIdSNPP::MessCommand(std::string_view text) {
  std::string reply;
  return SendCmd("MESS " + std::string(text), reply) == ReplyOK;
}

bool TIdSNPP::DataCommand(std::string_view text) {
  std::string reply;
  if (SendCmd("DATA", reply) != ReplyStartInput) return false;
  socket_->sendString(SnppDataBlock(text));
  return ReadReply(reply) == ReplyOK;
}

void TIdSNPP::SendPage(std::string_view pagerID, std::string_view text) {
  if (pagerID.empty() || text.empty()) return;
  if (!PageCommand(pagerID)) return;
  const bool accepted = HasLineBreak(text) ? DataCommand(text) : MessCommand(text);
  if (!accepted) return;
  std::string reply;
  const int code = SendCmd("SEND", reply);
  if (code != ReplyOK) throw TSNPPException("Page not sent", reply, code);
}

} // namespace voxmit
