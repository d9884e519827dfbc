#pragma once
// A real SMTP server for tests and benchmarks: aiosmtpd (Debian's python3-aiosmtpd, run by
// /usr/bin/python3) through tests/support/smtp_server.py, listening on a free 127.0.0.1 port
// with AUTH LOGIN offered without TLS. The mails and AUTH attempts it takes are read back as
// the server's own e-mail parser decoded them.
//
//   TLocalSmtpServer smtp(folder);                       // user "pager", password "secret"
//   ... send to 127.0.0.1:smtp.Port() ...
//   WaitUntil([&] { return smtp.Mails().size() == 1; });
//   EXPECT_EQ(smtp.Mails()[0].Subject, "Hello");
//
// One thread at a time.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/LocalPeerProcess.h"

namespace voxmit::test {

class TLocalSmtpServer {
public:
  struct Options {
    std::string User = "pager";
    std::string Password = "secret";
    bool OfferAuth = true;
    std::string RefuseRecipient;  // a recipient holding this text is refused with 550
    bool Quiet = false;           // count mails only (benchmarks)
  };
  struct Mail {
    std::string MailFrom;
    std::vector<std::string> RcptTos;
    std::optional<std::string> From, To, ReplyTo, Cc, Subject;
    std::string Body;
    bool Authenticated = false;
  };
  struct Auth {
    std::string Mechanism, Login, Password;
    bool Success = false;
  };

  // folder holds the record and the server's standard error.
  explicit TLocalSmtpServer(const std::filesystem::path& folder);
  TLocalSmtpServer(const std::filesystem::path& folder, Options options);

  uint16_t Port() const { return process_->Port(); }
  std::vector<Mail> Mails() const;
  std::vector<Auth> Auths() const;
  // Quiet mode: the mails taken so far.
  int Count() const;
  // The server's standard error (its tracebacks, for a failing test's message).
  std::string Errors() const;

private:
  std::vector<std::string> RecordLines() const;

  std::filesystem::path record_;
  std::filesystem::path errors_;
  std::unique_ptr<TLocalPeerProcess> process_;
};

} // namespace voxmit::test
