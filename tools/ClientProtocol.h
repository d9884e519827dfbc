#pragma once
// The client's side of the server's TCP protocol: frames, comma text, the two requests and the
// replies. Written apart from the server's own protocol code on purpose, so that the tests,
// the command-line client and the load generator talk to the server as an outside program does.
//
// A frame is "\r\n\r", a comma-text body, "\r\v\r". A request body is LOGON or MESSAGE with
// its fields; a reply body is a keyword, optionally followed by a comma and the data text in
// double quotes (the server does not double the quotes inside it). The one reply of another
// shape is the denied logon: LOGON_DENIED,4,"Wrong LogOn Message Format".
//
// Everything here except TClientConnection is a pure function or a plain value.
// TClientConnection is used by one thread at a time.

#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxmit::client {

inline constexpr std::string_view FrameStart{"\r\n\r"};
inline constexpr std::string_view FrameEnd{"\r\v\r"};

// Comma text as the server reads it: blanks and control characters before a field are
// skipped; a field starting with a double quote runs to the next lone double quote (a doubled
// one stands for one; without a closing quote the field is what follows less its last
// character); an unquoted field ends at a comma or at a character with code 0 to 32; a comma
// that is the very last character gives an empty last field. NUL outside quotes is skipped
// like a blank, so it cannot stall the scan.
std::vector<std::string> SplitFields(std::string_view text);

// Quotes a field holding a character with code 0 to 32, a comma or a double quote (doubling
// the inner quotes), and a lone empty field (which would otherwise join to nothing).
// SplitFields(JoinFields(list)) == list.
std::string JoinFields(const std::vector<std::string>& fields);

std::string MakeFrame(std::string_view body);

std::string LogonBody(std::string_view guid, std::string_view description);
std::string MessageBody(std::int32_t clientRecordId, std::int32_t carrierType,
                        std::string_view settings, std::string_view pagerId,
                        std::string_view text);

// A fresh client GUID: 32 upper-case hexadecimal digits in braces, 38 characters.
std::string NewClientGuid();

// Cuts frame bodies out of the received byte stream, in order. Bytes outside frames are
// dropped, except a tail that may be the beginning of a start marker split across reads.
class TFrameCutter {
public:
  void Append(std::string_view bytes);
  // The next complete body, or nothing until more bytes arrive.
  std::optional<std::string> Next();

private:
  std::string buffer_;
};

struct TReply {
  std::string Keyword;             // "MESSAGE_ACCEPTED"
  std::string Data;                // the data text without its enclosing quotes: "17,4711"
  std::vector<std::string> Fields; // Data split as comma text: {"17", "4711"}
  std::string Body;                // the frame body as received
};

TReply ParseReply(std::string body);

// One TCP connection to the server. Replies that arrive while waiting for something else
// (for the close, for instance) are kept and handed out by ReadReply in order.
class TClientConnection {
public:
  // Throws Poco::Exception when the connection cannot be made in time.
  TClientConnection(const std::string& host, std::uint16_t port,
                    std::chrono::milliseconds connectTimeout = std::chrono::seconds(5));
  ~TClientConnection();
  TClientConnection(const TClientConnection&) = delete;
  TClientConnection& operator=(const TClientConnection&) = delete;

  // Writes every byte, or throws Poco::Exception.
  void SendRaw(std::string_view bytes);
  void SendFrame(std::string_view body);
  void SendFields(const std::vector<std::string>& fields);
  void Logon(std::string_view guid, std::string_view description);
  void SendMessage(std::int32_t clientRecordId, std::int32_t carrierType,
                   std::string_view settings, std::string_view pagerId, std::string_view text);

  // The next reply, waiting up to timeout; nothing on timeout or when the server has closed
  // the connection and no reply is left.
  std::optional<TReply> ReadReply(std::chrono::milliseconds timeout);
  // Reads until the server closes the connection; true when it did within timeout.
  bool WaitClosed(std::chrono::milliseconds timeout);
  bool PeerClosed() const { return peerClosed_; }

private:
  using TClock = std::chrono::steady_clock;
  // Receives what is there by the deadline into the cutter; false when nothing came.
  bool ReceiveSome(TClock::time_point deadline);

  Poco::Net::StreamSocket socket_;
  TFrameCutter cutter_;
  bool peerClosed_ = false;
};

} // namespace voxmit::client
