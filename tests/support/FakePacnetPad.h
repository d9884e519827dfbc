#pragma once
// A fake PACNET access point, reached through the fake modem: an X.28-style PAD with a paging
// service behind it.
//
// Dialogue, once the modem has put the call through:
//   PAD, after Options::heraldDelay      -> CR LF herald CR LF ("PACNET"; none when empty)
//   PAD command state: host "N" user "-" address CR
//                                        -> accepted: CR LF "COM" CR LF, then the service's
//                                           prompt "Please enter Pager ID" CR LF; data transfer
//                                        -> cleared: CR LF "CLR OCC" CR LF (or as scripted),
//                                           the PAD stays in command state
//                                        -> silent: nothing; or the PAD hangs up
//                  any other line        -> CR LF "ERR" CR LF
//   data transfer: host <pager ID> "@" <text> CR
//                                        -> the scripted answer + CR LF ("?00" by default);
//                                           optionally the PAD then hangs up
//                  a line without "@" or pager ID -> Options::badLineAnswer + CR LF
//                  host "CLR" CR         -> CR LF "CLR CONF" CR LF, then the PAD hangs up (the
//                                           modem reports NO CARRIER)
// Like a PAD on its default profile it echoes every byte the host sends, in both states
// (Options::echo). Lines are cut at CR; LF is ignored; a line longer than kMaxLine is cut.
//
// Threads: the line's thread runs the PAD (the FakeLinePeer operations, called by the modem).
// Every other public operation may be called from any thread. Records are updated before the
// reply that follows them is sent, so a test that has seen a reply sees its record.

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/PtyPair.h"

namespace voxmit::test {

// How the PAD answers one call request.
struct PacnetCallAnswer {
  enum Kind { Accept, Clear, Silent, HangUp } kind = Accept;
  std::string clearCause = "OCC";  // for Clear: sent as "CLR <cause>"
};

// How the paging service answers one line.
struct PacnetLineAnswer {
  std::string text = "?00";  // sent + CR LF; empty: nothing is sent
  bool hangUp = false;       // the PAD hangs up after the answer
};

class FakePacnetPad : public FakeLinePeer {
public:
  static constexpr size_t kMaxLine = 4096;

  struct Options {
    std::string herald = "PACNET";
    std::chrono::milliseconds heraldDelay{50};
    bool echo = true;
    std::string prompt = "Please enter Pager ID";
    std::string badLineAnswer = "?11";
  };

  struct CallRequest {
    std::string networkUserId;
    std::string calledAddress;
    bool operator==(const CallRequest&) const = default;
  };

  // One line the service received in data transfer.
  struct Line {
    std::string bytes;  // as received, without the CR
    std::optional<std::string> pagerId;  // when the line was "<pager ID>@<text>"
    std::optional<std::string> text;
    std::string answer;  // what the service answered ("" for none)
  };

  FakePacnetPad();
  explicit FakePacnetPad(Options options);
  FakePacnetPad(const FakePacnetPad&) = delete;
  FakePacnetPad& operator=(const FakePacnetPad&) = delete;

  // Script: answers for the next call requests and lines, in order; after them the defaults.
  void QueueCallAnswer(PacnetCallAnswer answer);
  void QueueLineAnswer(PacnetLineAnswer answer);
  void SetDefaultLineAnswer(PacnetLineAnswer answer);

  // Records.
  int Heralds() const;
  std::vector<CallRequest> CallRequests() const;
  std::vector<Line> Lines() const;  // every line but "CLR"
  // The pager ID and text of every well-formed line, in order.
  std::vector<std::pair<std::string, std::string>> Pages() const;
  int Clears() const;         // "CLR" lines in data transfer
  bool InDataTransfer() const;
  std::string Received() const;  // every byte the host sent during calls

  // FakeLinePeer, on the line's thread.
  void OnConnect(FakeLine& line) override;
  void OnReceive(std::string_view bytes, FakeLine& line) override;
  void OnTick(FakeLine& line) override;
  void OnDisconnect() override;

private:
  enum class State { Idle, HeraldDue, Command, DataTransfer, Gone };
  using Clock = std::chrono::steady_clock;

  void CommandLine(const std::string& line, FakeLine& out);
  void DataLine(const std::string& line, FakeLine& out);
  void SetState(State state);

  const Options options_;

  // Line thread only.
  State state_ = State::Idle;
  Clock::time_point heraldDue_{};
  std::string buffer_;

  mutable std::mutex mutex_;  // guards everything below
  std::deque<PacnetCallAnswer> callAnswers_;
  std::deque<PacnetLineAnswer> lineAnswers_;
  PacnetLineAnswer defaultLineAnswer_;
  int heralds_ = 0;
  std::vector<CallRequest> callRequests_;
  std::vector<Line> lines_;
  int clears_ = 0;
  bool dataTransfer_ = false;
  std::string received_;
};

} // namespace voxmit::test
