#include "support/FakeSnppServer.h"

#include <cctype>

namespace voxmit::test {

FakeSnppServer::FakeSnppServer(std::string greeting)
    : answers_{{"LOGI", "250 Login OK"},
               {"PAGE", "250 Pager ID Accepted"},
               {"MESS", "250 Message OK"},
               {"SEND", "250 Message Sent Successfully"},
               {"DATA", "354 Begin Input; End with <CRLF>'.'<CRLF>"},
               {"QUIT", "221 OK, Goodbye"}} {
  server_ = std::make_unique<TScriptedLineServer>(
      greeting.empty() ? std::string() : greeting + "\r\n",
      [this](const std::string& line, size_t connection) { return OnLine(line, connection); });
}

void FakeSnppServer::Answer(const std::string& command, std::string reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[command] = std::move(reply);
}

void FakeSnppServer::AnswerDataEnd(std::string reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  dataEndAnswer_ = std::move(reply);
}

void FakeSnppServer::CloseOn(const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  closeOn_ = command;
}

std::vector<std::vector<std::string>> FakeSnppServer::Sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

std::vector<std::string> FakeSnppServer::DataTexts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dataTexts_;
}

TScriptedLineServer::TAnswer FakeSnppServer::OnLine(const std::string& line, size_t connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sessions_.size() <= connection) {
    sessions_.resize(connection + 1);
    inData_ = false;
  }
  const auto withEnd = [](const std::string& reply) {
    return reply.empty() ? reply : reply + "\r\n";
  };
  if (inData_) {
    if (line == ".") {
      inData_ = false;
      std::string text;
      for (size_t i = 0; i < dataLines_.size(); ++i) text += (i ? "\n" : "") + dataLines_[i];
      dataTexts_.push_back(text);
      return {withEnd(dataEndAnswer_)};
    }
    // A line that starts with "." was given one more by the sender.
    dataLines_.push_back(!line.empty() && line.front() == '.' ? line.substr(1) : line);
    return {};
  }
  sessions_[connection].push_back(line);
  std::string command = line.substr(0, 4);
  for (char& c : command) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (closeOn_ && *closeOn_ == command) return {"", true};
  const auto found = answers_.find(command);
  const std::string reply = found != answers_.end() ? found->second : "500 Command Not Implemented";
  if (command == "DATA" && reply.rfind("354", 0) == 0) {
    inData_ = true;
    dataLines_.clear();
  }
  return {withEnd(reply), command == "QUIT"};
}

} // namespace voxmit::test
