#pragma once
// A scripted SNPP paging terminal (RFC 1861) on 127.0.0.1 for the SNPP client's and channel's
// tests. By default it greets with 220, takes LOGI, PAGE, MESS and SEND with 250, DATA with
// 354 and the text up to its "." line with 250, QUIT with 221 (and closes), and answers any
// other command with 500. A test changes the answer to a command, makes the peer silent or
// makes it drop the connection, and then checks the command lines it received per connection
// and the DATA texts it decoded (dot-stuffing undone, lines joined with LF).
//
// Threads: every member is safe from any thread; the peer runs on its own thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/ScriptedLineServer.h"

namespace voxmit::test {

class FakeSnppServer {
public:
  // greeting: the first line on every connection, without its line end; empty: the peer
  // says nothing at all.
  explicit FakeSnppServer(std::string greeting = "220 SNPP server ready");

  // The reply line to a command (its first four letters, upper case: "PAGE"); sent with CR LF.
  // An empty reply makes the peer silent after that command.
  void Answer(const std::string& command, std::string reply);
  // The reply after a DATA text's "." line.
  void AnswerDataEnd(std::string reply);
  // Close the connection, unanswered, when command arrives.
  void CloseOn(const std::string& command);

  uint16_t Port() const { return server_->Port(); }
  // The command lines per connection (the lines of DATA texts are not among them).
  std::vector<std::vector<std::string>> Sessions() const;
  std::vector<std::string> DataTexts() const;
  size_t Connections() const { return server_->Connections(); }

private:
  TScriptedLineServer::TAnswer OnLine(const std::string& line, size_t connection);

  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, std::string> answers_;
  std::optional<std::string> closeOn_;
  std::string dataEndAnswer_ = "250 Message OK";
  std::vector<std::vector<std::string>> sessions_;
  std::vector<std::string> dataTexts_;
  bool inData_ = false;
  std::vector<std::string> dataLines_;
  std::unique_ptr<TScriptedLineServer> server_;  // last: its thread stops before the rest goes
};

} // namespace voxmit::test
