#include "carriers/ChannelSMTP.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <sstream>

#include <Poco/Base64Encoder.h>
#include <Poco/Environment.h>
#include <Poco/Net/MailRecipient.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SMTPClientSession.h>

#include "carriers/StoppableSocket.h"
#include "common/CodePage.h"
#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

// ---- Codec ------------------------------------------------------------------------------------

namespace smtp {

namespace {

std::string TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// A display name without the double quotes around it.
std::string Unquote(std::string name) {
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    name = name.substr(1, name.size() - 2);
  return name;
}

TMailAddress ParseAddress(std::string_view entry) {
  TMailAddress address;
  const size_t open = entry.rfind('<');
  const size_t close = entry.rfind('>');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
    address.Name = Unquote(TrimBlanks(entry.substr(0, open)));
    address.Address = TrimBlanks(entry.substr(open + 1, close - open - 1));
  } else {
    address.Address = TrimBlanks(entry);
  }
  return address;
}

bool PlainShortAscii(std::string_view text) {
  // 998 characters is the longest line SMTP carries unchanged.
  return text.size() <= 998 && std::all_of(text.begin(), text.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte >= 0x20 && byte < 0x7F;
         });
}

} // namespace

TSettingsCheck ParseCarrierSettings(std::string_view text, TCarrierSettingsSMTP& into) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 5) return TSettingsCheck::WrongItemCount;
  int32_t authMode = 0;
  if (!CommaFieldToInt(items[2], authMode)) return TSettingsCheck::AuthModeNotANumber;
  into.Host = TrimControls(items[0]);
  into.Port = TrimControls(items[1]);
  into.AuthMode = authMode;
  into.UserName = TrimControls(items[3]);
  into.Password = TrimControls(items[4]);
  return TSettingsCheck::Ok;
}

bool UsesAuthLogin(int32_t authMode) { return authMode != AuthModeNone; }

TPagerIDCheck ParsePagerID(std::string_view pagerID, TMailFields& into) {
  const std::vector<std::string> items = SplitCommaText(pagerID);
  if (items.size() < 4) return TPagerIDCheck::TooFewItems;
  for (size_t i = 0; i < 4; ++i)
    if (HasLineBreak(items[i])) return TPagerIDCheck::LineBreak;
  into.From = items[0];
  into.To = items[1];
  into.Cc = items[2];
  into.Subject = items[3];
  return TPagerIDCheck::Ok;
}

std::vector<TMailAddress> ParseAddressList(std::string_view list) {
  std::vector<TMailAddress> addresses;
  bool quoted = false;
  bool angled = false;
  size_t start = 0;
  const auto flush = [&](size_t end) {
    TMailAddress address = ParseAddress(list.substr(start, end - start));
    if (!address.Address.empty()) addresses.push_back(std::move(address));
    start = end + 1;
  };
  for (size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (c == '"' && !angled) quoted = !quoted;
    else if (c == '<' && !quoted) angled = true;
    else if (c == '>' && !quoted) angled = false;
    else if ((c == ',' || c == ';') && !quoted && !angled) flush(i);
  }
  flush(list.size());
  return addresses;
}

std::string FormatAddressList(const std::vector<TMailAddress>& addresses) {
  std::string list;
  for (const TMailAddress& address : addresses) {
    if (!list.empty()) list += ", ";
    if (address.Name.empty()) {
      list += address.Address;
      continue;
    }
    if (address.Name.find_first_of("()<>[]:;@\\,.\"") == std::string::npos) {
      list += address.Name;
    } else {
      list += '"';
      for (char c : address.Name) {
        if (c == '"' || c == '\\') list += '\\';
        list += c;
      }
      list += '"';
    }
    list += " <" + address.Address + ">";
  }
  return list;
}

bool OffersAuthLogin(std::string_view ehloReply) {
  std::istringstream lines{std::string(ehloReply)};
  std::string line;
  while (std::getline(lines, line)) {
    // "250-AUTH LOGIN PLAIN": the code and its separator come first.
    if (line.size() < 4 || !std::all_of(line.begin(), line.begin() + 3, [](char c) {
          return std::isdigit(static_cast<unsigned char>(c)) != 0;
        }))
      continue;
    std::string keywords = Upper(line.substr(4));
    std::replace(keywords.begin(), keywords.end(), '=', ' ');
    std::istringstream words(keywords);
    std::string word;
    if (!(words >> word) || word != "AUTH") continue;
    while (words >> word)
      if (word == "LOGIN") return true;
  }
  return false;
}

std::unique_ptr<Poco::Net::MailMessage> ComposeMail(const TMailFields& fields,
                                                    std::string_view text) {
  using Poco::Net::MailMessage;
  using Poco::Net::MailRecipient;
  auto mail = std::make_unique<MailMessage>();
  mail->setSender(fields.From);
  const std::vector<TMailAddress> to = ParseAddressList(fields.To);
  for (const TMailAddress& address : to)
    mail->addRecipient(
        MailRecipient(MailRecipient::PRIMARY_RECIPIENT, address.Address, address.Name));
  for (const TMailAddress& address : ParseAddressList(fields.Cc))
    mail->addRecipient(MailRecipient(MailRecipient::CC_RECIPIENT, address.Address, address.Name));
  // The same list as To, in the header's own syntax (a semicolon does not separate there).
  if (!to.empty()) mail->set("Reply-To", FormatAddressList(to));
  mail->setSubject(MailMessage::encodeWord(Cp1252ToUtf8(fields.Subject), "UTF-8"));
  mail->setContentType("text/plain; charset=UTF-8");
  const std::string body = Cp1252ToUtf8(text);
  mail->setContent(body, PlainShortAscii(body) ? MailMessage::ENCODING_7BIT
                                               : MailMessage::ENCODING_QUOTED_PRINTABLE);
  return mail;
}

} // namespace smtp

// ---- The session ------------------------------------------------------------------------------

// POCO's SMTP session with the steps this channel takes one by one.
class TSmtpSession : public Poco::Net::SMTPClientSession {
public:
  explicit TSmtpSession(const Poco::Net::StreamSocket& socket) : SMTPClientSession(socket) {}
  // The socket is closed first: the base destructor's own QUIT then finds it closed and
  // neither sends nor waits.
  ~TSmtpSession() override { CloseSocket(); }

  // The greeting, then EHLO (HELO when EHLO is refused for good); the accepted reply.
  std::string Hello(const std::string& name) {
    std::string reply;
    login(name, reply);
    return reply;
  }

  // AUTH LOGIN: 334, the user name in Base64, 334, the password in Base64, 235.
  void AuthLogin(const std::string& userName, const std::string& password) {
    Expect("AUTH LOGIN", 334, "Cannot authenticate using LOGIN");
    Expect(Base64(userName), 334, "Login using LOGIN username failed");
    Expect(Base64(password), 235, "Login using LOGIN password failed");
  }

  int Quit() {
    std::string reply;
    return sendCommand("QUIT", reply);
  }

  void CloseSocket() {
    try {
      socket().close();
    } catch (const Poco::Exception&) {
      // the peer dropped it already
    }
  }

private:
  void Expect(const std::string& command, int code, const char* failure) {
    std::string reply;
    const int status = sendCommand(command, reply);
    if (status != code) throw Poco::Net::SMTPException(failure, reply, status);
  }

  static std::string Base64(const std::string& text) {
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder.rdbuf()->setLineLength(0);  // one line, however long
    encoder << text;
    encoder.close();
    return out.str();
  }
};

// ---- TChannelSMTP -----------------------------------------------------------------------------

TChannelSMTP::TChannelSMTP(const TNChannelArgs& args)
    : TBaseChannelINet(args), stop_(std::make_shared<TNEvent>()) {}

TChannelSMTP::~TChannelSMTP() { CloseSession(); }

bool TChannelSMTP::ParseCarrierSettings() {
  const smtp::TSettingsCheck check = smtp::ParseCarrierSettings(CarrierSettings(), Settings);
  if (check == smtp::TSettingsCheck::WrongItemCount) return false;
  // Mails are never split.
  MaxMessageLength = std::numeric_limits<int32_t>::max();
  if (check == smtp::TSettingsCheck::AuthModeNotANumber) {
    // Connect refuses to send anywhere with settings it cannot read.
    authModeRejected_ = true;
    authModeText_ = SplitCommaText(CarrierSettings())[2];
    return false;
  }
  Host = Settings.Host;
  Port = Settings.Port;
  return true;
}

void TChannelSMTP::OnClose() { stop_->Set(); }

void TChannelSMTP::CloseSession() {
  if (session_) session_->CloseSocket();
  session_.reset();
  ehloReply_.clear();
  authenticated_ = false;
}

TChannelConnectResult TChannelSMTP::Connect() {
  CloseSession();
  LogMessage("ChannelSMTP, connecting ");
  uint16_t port = 0;
  std::string refusal;
  if (authModeRejected_)
    refusal = "the auth mode \"" + authModeText_ + "\" of the carrier settings is not a number";
  else if (!PortNumber(port))
    refusal = "the port \"" + Port + "\" is not a TCP port number";
  if (!refusal.empty()) {
    LogMessage("ChannelSMTP, connect failed");
    LogMessage("ChannelSMTP, " + MakeControlsVisible(refusal));
    return crNoConnection;
  }
  try {
    session_ = std::make_unique<TSmtpSession>(ConnectStoppable(Host, port, netTimeoutMs_, stop_));
    ehloReply_ = session_->Hello(Poco::Environment::nodeName());
  } catch (const Poco::Exception& e) {
    CloseSession();
    LogMessage("ChannelSMTP, connect failed");
    LogMessage("ChannelSMTP, " + MakeControlsVisible(e.displayText()));
    return crNoConnection;
  }
  LogMessage("ChannelSMTP, connect succeeded");
  return crConnected;
}

bool TChannelSMTP::Disconnect() {
  if (!session_) return false;
  bool ok = false;
  try {
    ok = session_->Quit() == 221;
  } catch (const Poco::Exception& e) {
    LogMessage("ChannelSMTP, disconnect failed: " + MakeControlsVisible(e.displayText()));
  }
  CloseSession();
  return ok;
}

TChannelSendResult TChannelSMTP::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  smtp::TMailFields fields;
  switch (smtp::ParsePagerID(part.PagerID, fields)) {
    case smtp::TPagerIDCheck::Ok: break;
    case smtp::TPagerIDCheck::TooFewItems:
      LogMessage("ChannelSMTP, the pager ID \"" + MakeControlsVisible(part.PagerID) +
                 "\" needs four items: the message is abandoned");
      return srAbandon;
    case smtp::TPagerIDCheck::LineBreak:
      LogMessage("ChannelSMTP, the pager ID \"" + MakeControlsVisible(part.PagerID) +
                 "\" holds a line break: the message is abandoned");
      return srAbandon;
  }
  if (!session_) return srAbandon;
  try {
    const auto mail = smtp::ComposeMail(fields, part.MessageText);
    if (smtp::UsesAuthLogin(Settings.AuthMode) && !Settings.UserName.empty() && !authenticated_ &&
        smtp::OffersAuthLogin(ehloReply_)) {
      session_->AuthLogin(Settings.UserName, Settings.Password);
      authenticated_ = true;
    }
    session_->sendMessage(*mail);
  } catch (const Poco::Exception& e) {
    LogMessage("ChannelSMTP, sending failed: " + MakeControlsVisible(e.displayText()));
    // A mail cut short by a stop was not refused: it goes back to be sent later.
    return StopRequested() ? srRetry : srAbandon;
  }
  return srSent;
}

} // namespace voxmit
