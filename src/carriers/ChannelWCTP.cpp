#include "carriers/ChannelWCTP.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMWriter.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/Text.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>
#include <Poco/XML/XMLWriter.h>

#include "common/CodePage.h"
#include "common/CommaText.h"
#include "host/LogFile.h"
#include "platform/HomeFolder.h"

namespace voxmit {

namespace wctp {

namespace {

// A number in the plain decimal form [+|-]digits[.digits].
bool ReadNumber(std::string_view text, bool& nonZero) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool digits = false;
  nonZero = false;
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digits = true;
      if (c != '0') nonZero = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits;
}

// The Windows-1252 bytes of a value as UTF-8, with the controls XML 1.0 cannot carry (every
// one below 0x20 but tab) as blanks.
std::string XmlValue(std::string_view text) {
  std::string bytes(text);
  for (char& c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t') c = ' ';
  }
  return Cp1252ToUtf8(bytes);
}

using Poco::AutoPtr;
using Poco::XML::Document;
using Poco::XML::Element;

AutoPtr<Element> AddElement(Document& doc, Element& parent, const std::string& name) {
  AutoPtr<Element> element = doc.createElement(name);
  parent.appendChild(element);
  return element;
}

const char* FlagText(bool flag) { return flag ? "True" : "False"; }

} // namespace

bool ReadFlag(std::string_view item) {
  const std::string text = TrimControls(item);
  bool nonZero = false;
  if (ReadNumber(text, nonZero)) return nonZero;
  return Poco::icompare(text, "True") == 0;
}

bool ParsePagerId(std::string_view pagerID, TPagerIdWctp& into) {
  const std::vector<std::string> items = SplitCommaText(pagerID);
  if (items.size() < 6) return false;
  into.RecipientID = TrimControls(items[0]);
  into.SenderID = TrimControls(items[1]);
  into.MiscInfo = TrimControls(items[2]);
  into.NotifyWhenQueued = ReadFlag(items[3]);
  into.NotifyWhenDelivered = ReadFlag(items[4]);
  into.NotifyWhenRead = ReadFlag(items[5]);
  return true;
}

std::string FormatTimestamp(std::chrono::system_clock::time_point time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  return Poco::DateTimeFormatter::format(Poco::Timestamp(micros), "%Y-%m-%dT%H:%M:%S,%i");
}

std::string BuildRequest(std::string_view text, const TPagerIdWctp& pager,
                         std::string_view timestamp) {
  AutoPtr<Document> doc = Poco::makeAuto<Document>();
  AutoPtr<Element> root = doc->createElement("wctp-Operation");
  root->setAttribute("wctpVersion", kWctpVersion);
  doc->appendChild(root);
  AutoPtr<Element> submit = AddElement(*doc, *root, "wctp-SubmitClientMessage");

  AutoPtr<Element> header = AddElement(*doc, *submit, "wctp-SubmitClientHeader");
  header->setAttribute("submitTimestamp", std::string(timestamp));
  AutoPtr<Element> originator = AddElement(*doc, *header, "wctp-ClientOriginator");
  originator->setAttribute("senderID", XmlValue(pager.SenderID));
  if (!pager.MiscInfo.empty()) originator->setAttribute("miscinfo", XmlValue(pager.MiscInfo));
  AutoPtr<Element> control = AddElement(*doc, *header, "wctp-ClientMessageControl");
  control->setAttribute("notifyWhenQueued", FlagText(pager.NotifyWhenQueued));
  control->setAttribute("notifyWhenDelivered", FlagText(pager.NotifyWhenDelivered));
  control->setAttribute("notifyWhenRead", FlagText(pager.NotifyWhenRead));
  AutoPtr<Element> recipient = AddElement(*doc, *header, "wctp-Recipient");
  recipient->setAttribute("recipientID", XmlValue(pager.RecipientID));

  AutoPtr<Element> payload = AddElement(*doc, *submit, "wctp-Payload");
  AutoPtr<Element> alphanumeric = AddElement(*doc, *payload, "wctp-Alphanumeric");
  AutoPtr<Poco::XML::Text> content = doc->createTextNode(XmlValue(text));
  alphanumeric->appendChild(content);

  std::ostringstream out;
  out << kXmlDeclaration << "\r\n"
      << "<!DOCTYPE wctp-Operation SYSTEM \"" << kDtdLocation << "\">\r\n";
  Poco::XML::DOMWriter writer;
  writer.setOptions(Poco::XML::XMLWriter::CANONICAL);  // no declaration, no indentation
  writer.writeNode(out, root);
  out << "\r\n";
  return out.str();
}

std::string RequestTarget(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string target = "/";
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
      target += '%';
      target += kHex[byte >> 4];
      target += kHex[byte & 0x0F];
    } else {
      target += c;
    }
  }
  return target;
}

} // namespace wctp

// ---- TChannelWCTP -------------------------------------------------------------------------------

TChannelWCTP::TChannelWCTP(const TNChannelArgs& args) : TBaseChannelINet(args) {}

bool TChannelWCTP::ParseCarrierSettings() {
  TGatewaySettings settings{Host, Port, Path, MaxMessageLength};
  if (!ParseGatewaySettings(CarrierSettings(), wctp::kDefaultPath, settings)) return false;
  Host = settings.Host;
  Port = settings.Port;
  Path = settings.Path;
  MaxMessageLength = settings.MaxMessageLength;
  return true;
}

TChannelConnectResult TChannelWCTP::Connect() {
  LogMessage("ChannelWCTP, connecting ");
  uint16_t port = 0;
  if (!PortNumber(port)) {
    LogMessage(Poco::format("ChannelWCTP, the port \"%s\" is not a TCP port number", Port));
    LogMessage("ChannelWCTP, connect failed");
    return crNoConnection;
  }
  try {
    const int status = client_.Get(Host, port, "/", NetTimeout);
    if (status < 200 || status > 299) {
      LogMessage(Poco::format("ChannelWCTP, the gateway answered HTTP status %d", status));
      LogMessage("ChannelWCTP, connect failed");
      return crNoConnection;
    }
  } catch (const Poco::Exception& e) {
    LogMessage("ChannelWCTP, " + ErrorText(e));
    LogMessage("ChannelWCTP, connect failed");
    return crNoConnection;
  }
  LogMessage("ChannelWCTP, connect succeeded");
  return crConnected;
}

bool TChannelWCTP::Disconnect() { return client_.Close(); }

void TChannelWCTP::BuildMessageBlock(const std::string&, const std::string&, std::string& block) {
  block.clear();
}

TChannelSendResult TChannelWCTP::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  wctp::TPagerIdWctp pager;
  if (!wctp::ParsePagerId(part.PagerID, pager)) {
    LogMessage("ChannelWCTP, the pager ID has fewer than six items: the message is abandoned");
    return srAbandon;
  }
  const std::string request = wctp::BuildRequest(
      part.MessageText, pager, wctp::FormatTimestamp(std::chrono::system_clock::now()));
  WriteDiagnosticCopy(request);
  uint16_t port = 0;
  if (!PortNumber(port)) return srAbandon;
  try {
    const int status =
        client_.Post(Host, port, wctp::RequestTarget(Path), request, wctp::kContentType, NetTimeout);
    if (status >= 200 && status <= 299) return srSent;
    LogMessage(Poco::format("ChannelWCTP, sending failed: the gateway answered HTTP status %d",
                            status));
  } catch (const Poco::Exception& e) {
    // A stop cut the exchange short: the part goes back untried rather than failed.
    if (StopRequested()) return srRetry;
    LogMessage("ChannelWCTP, sending failed: " + ErrorText(e));
  }
  return srAbandon;
}

void TChannelWCTP::WriteDiagnosticCopy(const std::string& request) {
  // Written beside and renamed over the copy, so that it is always one whole request, also
  // with several channels writing.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  const std::filesystem::path file = HomeFolder() / wctp::kDiagnosticFile;
  std::filesystem::path temporary = file;
  temporary += ".tmp";
  std::error_code ec;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(request.data(), static_cast<std::streamsize>(request.size()));
    out.close();
    if (!out) ec = std::make_error_code(std::errc::io_error);
  }
  if (!ec) std::filesystem::rename(temporary, file, ec);
  if (ec) {
    LogMessage("ChannelWCTP, the diagnostic copy " + file.string() + " could not be written: " +
               ec.message());
    std::filesystem::remove(temporary, ec);
  }
}

} // namespace voxmit
