#pragma once
// A pseudo-terminal pair standing in for a serial line: the code under test opens the slave by
// its path (/dev/pts/N) as its serial port; a fake peer (modem, paging terminal) sits on the
// master side.
//
// PtyPair keeps a descriptor of the slave open itself, so the master never sees the line hang
// up when the code under test closes and reopens its port between channels.
//
// PtyLine serves the master side on its own thread and hands the bytes to a FakeLinePeer.

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace voxmit::test {

class PtyPair {
public:
  // Opens the pair in raw mode. Throws std::system_error.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }

  // Direct use of the master side by a test without a fake peer (test thread only).
  void WriteMaster(std::string_view bytes);
  // Reads from the master until `expected` has arrived or the timeout passes; returns all
  // bytes read (check it contains `expected`).
  std::string ReadMasterUntil(std::string_view expected, std::chrono::milliseconds timeout);
  // The far end goes away: the slave side sees a hang-up.
  void CloseMaster();

private:
  int master_ = -1;
  int slaveHold_ = -1;
  std::string slavePath_;
};

// The far end's view of the line, given to a peer while it is called.
class FakeLine {
public:
  virtual ~FakeLine() = default;
  // Sends bytes towards the code under test.
  virtual void Send(std::string_view bytes) = 0;
  // The peer drops the call. Through a modem, the modem reports NO CARRIER; on a direct line
  // nothing is seen.
  virtual void HangUp() = 0;
};

// Something at the far end of a line: a modem, or the paging terminal behind it. Called only
// on the thread of the line that serves it.
class FakeLinePeer {
public:
  virtual ~FakeLinePeer() = default;
  // A call was put through to this peer (a direct line is "connected" when its thread starts).
  virtual void OnConnect(FakeLine& /*line*/) {}
  virtual void OnReceive(std::string_view bytes, FakeLine& line) = 0;
  // Called every few milliseconds while the line is idle or busy, for timed behaviour.
  virtual void OnTick(FakeLine& /*line*/) {}
  // The call ended from the near side (DTR drop, ATH) or from a HangUp of this peer.
  virtual void OnDisconnect() {}
};

// Runs a peer on the master side of a pty. With a baud rate above 0, bytes towards the code
// under test are paced at that line speed (10 bits per byte), for benchmarks.
// Construct, Start and Stop from the test thread; the peer is called on the line's thread.
class PtyLine : public FakeLine {
public:
  PtyLine(PtyPair& pty, FakeLinePeer& peer, int baudRate = 0);
  ~PtyLine() override;
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  void Start();
  void Stop();

  // FakeLine, for the peer on the line's thread.
  void Send(std::string_view bytes) override;
  void HangUp() override {}

private:
  void Run();
  void WriteAll(std::string_view bytes);

  PtyPair& pty_;
  FakeLinePeer& peer_;
  const int baudRate_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace voxmit::test
