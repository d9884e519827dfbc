#include "support/LocalSmtpServer.h"

#include <fstream>
#include <sstream>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

namespace voxmit::test {

namespace {

std::optional<std::string> OptionalText(const Poco::JSON::Object::Ptr& object,
                                        const std::string& key) {
  if (!object->has(key) || object->isNull(key)) return std::nullopt;
  return object->getValue<std::string>(key);
}

} // namespace

TLocalSmtpServer::TLocalSmtpServer(const std::filesystem::path& folder)
    : TLocalSmtpServer(folder, Options()) {}

TLocalSmtpServer::TLocalSmtpServer(const std::filesystem::path& folder, Options options)
    : record_(folder / "smtp-record.jsonl"), errors_(folder / "smtp-server.err") {
  std::ofstream(record_, std::ios::trunc).close();
  std::vector<std::string> args{(SupportScriptDir() / "smtp_server.py").string(),
                                "--record",   record_.string(),
                                "--user",     options.User,
                                "--password", options.Password};
  if (!options.OfferAuth) args.push_back("--no-auth");
  if (!options.RefuseRecipient.empty()) {
    args.push_back("--refuse-rcpt");
    args.push_back(options.RefuseRecipient);
  }
  if (options.Quiet) args.push_back("--quiet");
  process_ = std::make_unique<TLocalPeerProcess>("/usr/bin/python3", args, errors_);
}

std::vector<std::string> TLocalSmtpServer::RecordLines() const {
  std::ifstream in(record_);
  std::vector<std::string> lines;
  std::string line;
  // A line still being written has no line end yet: it is read next time.
  while (std::getline(in, line))
    if (!in.eof()) lines.push_back(line);
  return lines;
}

std::vector<TLocalSmtpServer::Mail> TLocalSmtpServer::Mails() const {
  std::vector<Mail> mails;
  for (const std::string& line : RecordLines()) {
    const auto object = Poco::JSON::Parser().parse(line).extract<Poco::JSON::Object::Ptr>();
    if (object->getValue<std::string>("kind") != "mail") continue;
    Mail mail;
    mail.MailFrom = object->getValue<std::string>("mail_from");
    const auto rcpts = object->getArray("rcpt_tos");
    for (size_t i = 0; i < rcpts->size(); ++i) mail.RcptTos.push_back(rcpts->getElement<std::string>(i));
    mail.From = OptionalText(object, "from");
    mail.To = OptionalText(object, "to");
    mail.ReplyTo = OptionalText(object, "reply_to");
    mail.Cc = OptionalText(object, "cc");
    mail.Subject = OptionalText(object, "subject");
    mail.Body = object->getValue<std::string>("body");
    mail.Authenticated = object->getValue<bool>("authenticated");
    mails.push_back(std::move(mail));
  }
  return mails;
}

std::vector<TLocalSmtpServer::Auth> TLocalSmtpServer::Auths() const {
  std::vector<Auth> auths;
  for (const std::string& line : RecordLines()) {
    const auto object = Poco::JSON::Parser().parse(line).extract<Poco::JSON::Object::Ptr>();
    if (object->getValue<std::string>("kind") != "auth") continue;
    auths.push_back({object->getValue<std::string>("mechanism"),
                     object->getValue<std::string>("login"),
                     object->getValue<std::string>("password"),
                     object->getValue<bool>("success")});
  }
  return auths;
}

int TLocalSmtpServer::Count() const {
  int count = 0;
  for (const std::string& line : RecordLines())
    if (line.find("\"kind\": \"count\"") != std::string::npos) ++count;
  return count;
}

std::string TLocalSmtpServer::Errors() const {
  std::ifstream in(errors_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace voxmit::test
