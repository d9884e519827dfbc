#pragma once
// Captures the server log in a test: LogMessage posts each line to the main loop while a
// window sink is set; Lines drains the loop on the test thread (standing in for the UI
// thread) and returns every line so far. Other posted messages are kept for the test.

#include <algorithm>
#include <string>
#include <vector>

#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"

namespace voxmit::test {

class LogCapture {
public:
  LogCapture() {
    SetLogWindowSink([this](const std::string& line) { lines_.push_back(line); });
  }
  ~LogCapture() {
    Drain();
    SetLogWindowSink({});
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& Lines() {
    Drain();
    return lines_;
  }
  bool Has(const std::string& line) {
    const auto& all = Lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  bool HasPart(const std::string& piece) {
    for (const auto& line : Lines())
      if (line.find(piece) != std::string::npos) return true;
    return false;
  }
  // Messages other than log lines posted meanwhile, in order.
  const std::vector<TNPostedMessage>& Posted() {
    Drain();
    return posted_;
  }

private:
  void Drain() {
    TNMainLoop::Instance().Drain([this](const TNPostedMessage& m) {
      if (m.Code == WM_LOG_LINE) HandleLogLine(m.Text);
      else posted_.push_back(m);
    });
  }

  std::vector<std::string> lines_;
  std::vector<TNPostedMessage> posted_;
};

} // namespace voxmit::test
