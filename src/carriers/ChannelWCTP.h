#pragma once
// Pager messages to a WCTP gateway (CT_WCTP): one wctp-SubmitClientMessage document per
// message, posted over HTTP.
//
// The codec (pager ID, flags, time stamp, the request document) is a set of pure functions
// callable from any thread. TChannelWCTP is a carrier channel: the iterator constructs it,
// and from then on only its own worker thread calls its virtual operations; OnClose (any
// thread) aborts the HTTP exchange in progress. The channel owns its HTTP client.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "carriers/HttpGateway.h"
#include "channels/ChannelINet.h"

namespace voxmit {

namespace wctp {

// The two lines in front of the element tree.
inline constexpr const char* kXmlDeclaration = "<?xml version=\"1.0\"?>";
inline constexpr const char* kDtdLocation = "http://dtd.wctp.org/wctp-dtd-v1r1.dtd";
inline constexpr const char* kWctpVersion = "wctp-dtd-v1r1";
inline constexpr const char* kContentType = "text/xml";
// The path of a gateway whose URL gives none.
inline constexpr const char* kDefaultPath = "wctp";
// The diagnostic copy of the last request, in the home folder.
inline constexpr const char* kDiagnosticFile = "Test.xml";

// A pager ID item read as a flag: true for a number other than 0 or the word True (any case);
// false for 0, False and anything else.
bool ReadFlag(std::string_view item);

// The six items of a WCTP pager ID, each trimmed.
struct TPagerIdWctp {
  std::string RecipientID;
  std::string SenderID;
  std::string MiscInfo;  // omitted from the document when empty
  bool NotifyWhenQueued = false;
  bool NotifyWhenDelivered = false;
  bool NotifyWhenRead = false;
};

// False when the pager ID has fewer than six items (later items are ignored).
bool ParsePagerId(std::string_view pagerID, TPagerIdWctp& into);

// UTC as "yyyy-mm-ddThh:nn:ss,zzz" (2009-03-14T09:26:53,589).
std::string FormatTimestamp(std::chrono::system_clock::time_point time);

// The request text: the XML declaration, the document type line and the element tree on one
// line, each followed by CR LF, in UTF-8. The text and the pager ID items are Windows-1252 and
// reach the document only through the DOM, so the XML writer escapes them; characters XML 1.0
// cannot carry at all (the control characters other than tab) become blanks.
std::string BuildRequest(std::string_view text, const TPagerIdWctp& pager,
                         std::string_view timestamp);

// The request target "/" + path, with the bytes that cannot stand in an HTTP request line
// (controls, blank, DEL and bytes above it) sent as %XX; every other byte as it is.
std::string RequestTarget(std::string_view path);

} // namespace wctp

class TChannelWCTP : public TBaseChannelINet {
public:
  explicit TChannelWCTP(const TNChannelArgs& args);

protected:
  // "ChannelWCTP, connecting ", then a GET of the gateway's root; a status outside 200-299, a
  // redirect or any failure is crNoConnection.
  TChannelConnectResult Connect() override;
  bool Disconnect() override;
  // Builds the document, writes the diagnostic copy and posts the document to "/" + path.
  // srAbandon for a failed POST, a status outside 200-299 or a pager ID with fewer than six
  // items; a POST cut short by a stop is srRetry, so that the part is handed back untried.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  // Not used by this carrier: SendMessage builds the document itself.
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  bool ParseCarrierSettings() override;
  void OnClose() override { client_.Abort(); }

  // Connect, read and write time-out of the HTTP exchanges; tests may shorten it.
  int32_t NetTimeout = NetTimeoutMs;
  std::string Path;

private:
  // Replaces the diagnostic copy; a failure is logged and changes nothing else.
  static void WriteDiagnosticCopy(const std::string& request);

  THttpGatewayClient client_;
};

} // namespace voxmit
