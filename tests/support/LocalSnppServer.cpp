#include "support/LocalSnppServer.h"

#include <fstream>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

namespace voxmit::test {

TLocalSnppServer::TLocalSnppServer(const std::filesystem::path& folder)
    : record_(folder / "snpp-record.jsonl") {
  std::ofstream(record_, std::ios::trunc).close();
  process_ = std::make_unique<TLocalPeerProcess>(
      "/usr/bin/perl",
      std::vector<std::string>{(SupportScriptDir() / "snpp_server.pl").string(), record_.string()},
      folder / "snpp-server.err");
}

std::vector<std::string> TLocalSnppServer::RecordLines() const {
  std::ifstream in(record_);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line))
    if (!in.eof()) lines.push_back(line);
  return lines;
}

std::vector<TLocalSnppServer::Page> TLocalSnppServer::Pages() const {
  std::vector<Page> pages;
  for (const std::string& line : RecordLines()) {
    const auto object = Poco::JSON::Parser().parse(line).extract<Poco::JSON::Object::Ptr>();
    if (object->getValue<std::string>("kind") == "page")
      pages.push_back({object->getValue<std::string>("pager"),
                       object->getValue<std::string>("message")});
  }
  return pages;
}

std::vector<std::vector<std::string>> TLocalSnppServer::Logins() const {
  std::vector<std::vector<std::string>> logins;
  for (const std::string& line : RecordLines()) {
    const auto object = Poco::JSON::Parser().parse(line).extract<Poco::JSON::Object::Ptr>();
    if (object->getValue<std::string>("kind") != "logi") continue;
    std::vector<std::string> args;
    const auto array = object->getArray("args");
    for (size_t i = 0; i < array->size(); ++i) args.push_back(array->getElement<std::string>(i));
    logins.push_back(std::move(args));
  }
  return logins;
}

} // namespace voxmit::test
