#pragma once
// Paging by e-mail (CT_SMTP): each message is one mail handed to an SMTP server through POCO's
// SMTPClientSession. One message per connection: Connect reads the greeting and says EHLO
// (HELO when EHLO is refused), SendMessage authenticates with AUTH LOGIN where the settings
// and the server allow it and submits the mail, Disconnect says QUIT.
//
// The codec (settings, pager ID, address lists, the EHLO reply's AUTH list, the composed mail)
// is a set of pure functions callable from any thread. TChannelSMTP is a carrier channel: the
// iterator constructs it, and from then on only its own worker thread calls its virtual
// operations, except OnClose (any thread), which sets the stop event that ends every wait of
// the session at once.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <Poco/Net/MailMessage.h>

#include "channels/ChannelINet.h"
#include "platform/TNEvent.h"

namespace voxmit {

namespace smtp {

// Auth mode 1 turns authentication off; 0 and every other value ask for AUTH LOGIN.
inline constexpr int32_t AuthModeNone = 1;

// The five carrier settings items: host, port, auth mode, user name, password.
struct TCarrierSettingsSMTP {
  std::string Host;
  std::string Port;
  int32_t AuthMode = 0;
  std::string UserName;
  std::string Password;
};

enum class TSettingsCheck {
  Ok,
  WrongItemCount,     // not exactly five items: into is unchanged
  AuthModeNotANumber  // five items, but the auth mode does not convert: into is unchanged
};

// Items 1, 2, 4 and 5 are trimmed; item 3 is a decimal integer.
TSettingsCheck ParseCarrierSettings(std::string_view text, TCarrierSettingsSMTP& into);

// Whether the auth mode asks for AUTH LOGIN.
bool UsesAuthLogin(int32_t authMode);

// The mail fields a message's pager ID names, its first four items, untrimmed: sender, the
// recipient list (also the reply-to list), the copy list and the subject.
struct TMailFields {
  std::string From;
  std::string To;
  std::string Cc;
  std::string Subject;
};

enum class TPagerIDCheck {
  Ok,
  TooFewItems,  // fewer than four items
  LineBreak     // a CR or an LF in one of the four: it would start a header of its own
};

TPagerIDCheck ParsePagerID(std::string_view pagerID, TMailFields& into);

// One address of an address list: "Name <address>", "\"Name\" <address>" or a bare address.
struct TMailAddress {
  std::string Name;
  std::string Address;
  bool operator==(const TMailAddress&) const = default;
};

// An address list: addresses separated by commas or semicolons (not inside double quotes or
// angle brackets); blanks around each are dropped, empty entries skipped.
std::vector<TMailAddress> ParseAddressList(std::string_view list);

// An address list as a header value: "address" or "Name <address>" joined by ", ", a name
// holding a character with a meaning in addresses put in double quotes.
std::string FormatAddressList(const std::vector<TMailAddress>& addresses);

// Whether an EHLO reply (its lines joined by LF, each with its code, as POCO's dialogue
// socket returns it) lists LOGIN among the mechanisms of its AUTH line ("250-AUTH PLAIN
// LOGIN", or the older "250-AUTH=LOGIN").
bool OffersAuthLogin(std::string_view ehloReply);

// The mail of one message: From as given, To and Cc from the address lists, Reply-To the
// recipient list (formatted as To), the subject, and the text as the one body line. Texts are Windows-1252
// bytes; the subject and the body go out as UTF-8 (the subject as an encoded word when it is
// not plain ASCII, the body as quoted-printable when it is not short plain ASCII).
std::unique_ptr<Poco::Net::MailMessage> ComposeMail(const TMailFields& fields,
                                                    std::string_view text);

} // namespace smtp

class TSmtpSession;

class TChannelSMTP : public TBaseChannelINet {
public:
  explicit TChannelSMTP(const TNChannelArgs& args);
  ~TChannelSMTP() override;

  // The connect and reply time-out of the session; a test may shorten it before Launch.
  void SetNetTimeoutMs(int32_t ms) { netTimeoutMs_ = ms; }

protected:
  // Greeting and EHLO/HELO; crNoConnection on any failure, and at once (no connection made)
  // when the port or the auth mode of the settings is not a number.
  TChannelConnectResult Connect() override;
  // QUIT, expecting 221; the connection is closed in any case. False when that failed.
  bool Disconnect() override;
  // AUTH LOGIN when due, then the mail. srAbandon for an unusable pager ID and for every
  // failure of the dialogue; srRetry when the channel is being closed meanwhile, so the part is
  // handed back untried.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string&, const std::string&, std::string&) override {}
  bool ParseCarrierSettings() override;
  void OnClose() override;

  smtp::TCarrierSettingsSMTP Settings;

private:
  void CloseSession();

  const std::shared_ptr<TNEvent> stop_;
  int32_t netTimeoutMs_ = NetTimeoutMs;
  bool authModeRejected_ = false;  // the settings' auth mode did not convert
  std::string authModeText_;
  std::unique_ptr<TSmtpSession> session_;
  std::string ehloReply_;           // the EHLO reply of the open connection
  bool authenticated_ = false;      // on the open connection
};

} // namespace voxmit
