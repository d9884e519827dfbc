#pragma once
// A fake Hayes modem on the master side of a pty, served by a PtyLine.
//
// Command mode: command lines start with AT and end with CR (LF is ignored, backspace edits).
// Echo (E), verbose (V) and quiet (Q) work as on a real modem, with factory defaults restored
// by AT&F and ATZ; results are framed CR LF text CR LF (numeric: code CR). Every command is
// answered OK unless the test refuses it (ERROR); D dials and answers as scripted per call.
// A CONNECT result puts the call through to the peer (FakeTapTerminal, FakePacnetPad): from
// then on bytes go to the peer, and the line's ticks too, until the call ends. A call ends when the peer hangs up (NO CARRIER), after the
// escape "+++" between two guard times and ATH, or when DTR drops.
//
// DTR cannot be seen on a pty. The channel always drops DTR before it speaks AT again, so with
// Options::atCommandDropsCall a burst that begins with "AT" during a call or a dial is taken
// as the DTR drop: the call ends silently and the burst is read as a command. DropDtr() is the
// explicit hook.
//
// Threads: the line's thread runs the modem (the FakeLinePeer operations). Every other public
// operation may be called from any thread. Records are updated before the result that
// follows them is sent.

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/PtyPair.h"

namespace voxmit::test {

// What the modem does with one dial command.
struct FakeDialAnswer {
  // "CONNECT" (optionally with a speed, "CONNECT 1200"), "BUSY", "NO ANSWER", "NO DIALTONE",
  // "NO CARRIER", "ERROR"; empty: the modem stays silent, dialling, until DTR drops.
  std::string result = "CONNECT 9600";
  std::chrono::milliseconds delay{0};  // before the result
};

class FakeModem : public FakeLinePeer, private FakeLine {
public:
  struct Options {
    bool echo = true;  // factory default, as on real modems
    std::chrono::milliseconds guardTime{1000};
    bool atCommandDropsCall = true;
  };

  FakeModem();
  explicit FakeModem(Options options);
  FakeModem(const FakeModem&) = delete;
  FakeModem& operator=(const FakeModem&) = delete;

  // Script. The peer must outlive the line that serves this modem.
  void SetPeer(FakeLinePeer* peer);
  // Answers for the next dials, in order; after them the default answer.
  void QueueDialAnswer(FakeDialAnswer answer);
  void SetDefaultDialAnswer(FakeDialAnswer answer);
  // Command lines containing this text (case-insensitive) are answered ERROR.
  void RefuseCommandsContaining(std::string text);
  // A switched-off modem neither echoes nor answers.
  void SetSwitchedOff(bool off);
  // The host dropped DTR: any call or dial ends and the modem returns to command mode.
  void DropDtr();

  // Records.
  std::vector<std::string> Commands() const;  // command lines as received, without CR
  std::vector<std::string> DialedNumbers() const;  // what followed D (and T or P)
  int CallsConnected() const;
  int CallsEnded() const;
  bool InCall() const;
  std::string DataReceived() const;  // every byte passed to the peer during calls

  // FakeLinePeer, on the line's thread.
  void OnConnect(FakeLine& line) override;
  void OnReceive(std::string_view bytes, FakeLine& line) override;
  void OnTick(FakeLine& line) override;

private:
  enum class Mode { Command, Dialling, Online, OnlineEscaped };
  using Clock = std::chrono::steady_clock;

  // FakeLine, for the peer.
  void Send(std::string_view bytes) override;
  void HangUp() override;

  void CommandBytes(std::string_view bytes);
  void ExecuteLine(const std::string& line);
  // Runs the commands after "AT"; false when one is not understood.
  bool ExecuteCommands(std::string_view body, bool& dialled);
  void StartDial(std::string_view dialString);
  void FinishDial(const std::string& result);
  void OnlineBytes(std::string_view bytes);
  void EndCall();
  void Result(const std::string& text);
  void ResetSettings();
  void SettleRemoteHangUp();
  bool IsRefused(const std::string& line) const;
  FakeDialAnswer NextDialAnswer();

  const Options options_;
  FakeLine* line_ = nullptr;  // the pty line, set by OnConnect

  // Line thread only.
  Mode mode_ = Mode::Command;
  std::string commandBuffer_;
  bool echo_ = true, verbose_ = true, quiet_ = false;
  std::string pendingDialResult_;
  Clock::time_point dialDue_{};
  Clock::time_point lastData_{};
  int plusCount_ = 0;
  Clock::time_point plusStarted_{};
  bool remoteHangUp_ = false;

  std::atomic<bool> dtrDropped_{false};

  mutable std::mutex mutex_;  // guards everything below
  FakeLinePeer* peer_ = nullptr;
  std::deque<FakeDialAnswer> dialAnswers_;
  FakeDialAnswer defaultDialAnswer_;
  std::vector<std::string> refused_;
  bool switchedOff_ = false;
  std::vector<std::string> commands_;
  std::vector<std::string> dialled_;
  int callsConnected_ = 0;
  int callsEnded_ = 0;
  bool inCall_ = false;
  std::string data_;
};

} // namespace voxmit::test
