#pragma once
// A client of the Simple Network Paging Protocol (RFC 1861): one connection to a paging
// terminal, one command line at a time, each answered by a three-digit code and a text. The
// carrier channel TChannelSNPP drives it; the dialogue of one page is
//     (connect) 220, [LOGI 250], PAGE 250, MESS 250 (or DATA 354 ... 250), SEND 250, QUIT 221.
//
// Failures the peer reports raise TSNPPException carrying the peer's code and text, as POCO's
// own protocol clients do; socket failures raise POCO's network exceptions. A command is
// always one line: a command holding a CR or an LF (a pager ID, a password or a MESS text
// with a line break) is refused before anything is sent, so no text can start a command of
// its own. DATA text is dot-stuffed, so a line holding a single "." cannot end it early.
//
// Threads: one thread at a time (the channel's worker). The stop event given to the
// constructor may be set from any thread; it ends any wait of the client at once.
// Ownership: the client owns its socket; Disconnect or the destructor closes it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <Poco/Net/DialogSocket.h>
#include <Poco/Net/NetException.h>

#include "platform/TNEvent.h"

namespace voxmit {

// A reply other than the one expected; code() is the peer's code (0 for a refusal of our own
// and for a reply without a code), message() holds the peer's text.
POCO_DECLARE_EXCEPTION(, TSNPPException, Poco::Net::NetException)

class TIdSNPP {
public:
  static constexpr uint16_t DefaultPort = 7777;
  // Reply codes the client acts on.
  static constexpr int ReplyReady = 220;
  static constexpr int ReplyGoodbye = 221;
  static constexpr int ReplyOK = 250;
  static constexpr int ReplyStartInput = 354;

  // stop may be null (nothing can interrupt the client then but its time-out).
  TIdSNPP(std::shared_ptr<const TNEvent> stop, int32_t timeoutMs);
  ~TIdSNPP();
  TIdSNPP(const TIdSNPP&) = delete;
  TIdSNPP& operator=(const TIdSNPP&) = delete;

  // Opens the connection and reads the greeting: anything but 220 raises TSNPPException with
  // the peer's code and text. The connection is closed again before any error is passed on.
  void Connect(const std::string& host, uint16_t port = DefaultPort);
  // QUIT (only while connected), expecting 221, then closes the connection whatever happened;
  // raises when the reply was another or the peer could not be reached.
  void Disconnect();
  bool Connected() const { return socket_.has_value(); }

  // "LOGI login password", or "LOGI password" when login is empty; true on 250.
  bool LoginCommand(std::string_view login, std::string_view password);
  // "PAGE pagerID"; true on 250.
  bool PageCommand(std::string_view pagerID);
  // "MESS text"; true on 250.
  bool MessCommand(std::string_view text);
  // "DATA", and once the peer answers 354 the text line by line (CR LF, a lone CR or a lone
  // LF each end a line), dot-stuffed, then "."; true when that is answered with 250.
  bool DataCommand(std::string_view text);
  // Pages text to pagerID: nothing when either is empty; PAGE, and when it is accepted MESS
  // (or DATA for a text with a line break); when that is accepted, SEND, whose refusal raises
  // TSNPPException. A refused PAGE, MESS or DATA returns without error.
  void SendPage(std::string_view pagerID, std::string_view text);

  // Sends one command line and returns the reply's code, its text in reply. The line must not
  // hold a CR or an LF (TSNPPException, nothing sent). A reply without a three-digit code
  // raises TSNPPException (code 0), a closed connection Poco's ConnectionResetException.
  int SendCmd(std::string_view line, std::string& reply);

private:
  int ReadReply(std::string& reply);
  void CloseSocket();

  const std::shared_ptr<const TNEvent> stop_;
  const int32_t timeoutMs_;
  std::optional<Poco::Net::DialogSocket> socket_;
};

// The text of a DATA block as sent after the 354 reply: each line of text, with a line that
// starts with "." given one more ".", ended by CR LF; then the closing "." line.
std::string SnppDataBlock(std::string_view text);

} // namespace voxmit
