// Pieces shared by the throughput benchmarks: the metered pty line, the option reader, the
// held device, the channel feed loop, the shutdown and the result checks. Everything here runs
// on the benchmark's main thread, except TMeteredLine, which runs on its pty line's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channels/BaseChannel.h"
#include "devices/Devices.h"
#include "support/PtyPair.h"

namespace voxmit::bench {

using TClock = std::chrono::steady_clock;
using TResults = std::vector<std::shared_ptr<TNBaseChannelMessage>>;

// Sits between the pty line and the modem: counts the bytes in both directions and paces what
// the host sends at the line speed, byte by byte, before the modem sees it (the pty line itself
// paces only what its peer sends). The line carries one direction at a time, so that the wall
// time can be set against the sum of both. Runs on the line's thread; the counters may be read
// from any thread.
class TMeteredLine : public test::FakeLinePeer, private test::FakeLine {
public:
  // baud 0: unpaced, only counted.
  TMeteredLine(test::FakeLinePeer& inner, int baud);

  long ToModem() const { return toModem_; }
  long FromModem() const { return fromModem_; }
  long Bytes() const { return toModem_ + fromModem_; }
  // When the last byte so far finished crossing the line, in either direction.
  TClock::time_point LastByte() const { return TClock::time_point(TClock::duration(lastByte_)); }

  void OnConnect(test::FakeLine& line) override;
  void OnReceive(std::string_view bytes, test::FakeLine& line) override;
  void OnTick(test::FakeLine& line) override;
  void OnDisconnect() override { inner_.OnDisconnect(); }

private:
  void Send(std::string_view bytes) override;
  void HangUp() override;
  void MarkByte() { lastByte_ = TClock::now().time_since_epoch().count(); }

  test::FakeLinePeer& inner_;
  const std::chrono::microseconds perByte_;
  test::FakeLine* line_ = nullptr;
  TClock::time_point lineFree_{};
  std::atomic<long> toModem_{0};
  std::atomic<long> fromModem_{0};
  std::atomic<TClock::rep> lastByte_{0};
};

// Reads "--name value" pairs into the fields bound to their names. Every option takes a value.
class TArgReader {
public:
  TArgReader& Int(std::string name, int& field);
  TArgReader& Text(std::string name, std::string& field);
  // False on an unknown name, a missing value or a number that does not parse.
  bool Read(int argc, char** argv) const;

private:
  std::vector<std::pair<std::string, int*>> ints_;
  std::vector<std::pair<std::string, std::string*>> texts_;
};

// The benchmark's main: usage on stderr and exit code 2 when the options do not parse, else
// run's exit code, or 1 with the error on stderr when it throws.
int BenchMain(const char* name, const char* usage, bool parsed, const std::function<int()>& run);

// A device built from row whose FreeEvent is held, so that its channel starts only once the
// benchmark has queued its first parts and set the event.
std::shared_ptr<TNDevice> MakeHeldDevice(TNDeviceRow row);

// The modem on the slave side of a pty, as the TAP and PACNET benchmarks dial through it.
TNDeviceRow PtyModemRow(const std::string& slavePath);

// "line paced at B baud (R bytes/s)" or "line unpaced", with its end of line.
void PrintLineSpeed(int baud);

// One channel fed as the iterator feeds it, never more parts in hand than its input limit,
// until every result is back and the worker has hung up. The run starts when the device is
// set free.
struct TFeedRun {
  TResults Results;
  bool Finished = false;
  TClock::time_point Start;
  TClock::time_point Done;
};
TFeedRun FeedUntilHungUp(TNBaseCarrierChannel& channel, TNDevice& device, int count,
                         int inputLimit, std::chrono::seconds timeout,
                         const std::function<void(int n)>& enqueue);

// Closes the channels and waits for every worker thread to end, dropping late results.
void CloseChannels(const std::vector<std::shared_ptr<TNBaseCarrierChannel>>& channels);

// The checks every channel benchmark makes, each reporting on stderr; noun is "page" or
// "message". False when a result came back not sent or not taken.
void ReportTimeout(size_t results, int count, double seconds);
bool AllSent(const TResults& results, const char* noun);
// False when the results are not count results for count distinct parts.
bool EachOnce(const TResults& results, int count, const char* noun);

} // namespace voxmit::bench
