// pacnet-throughput: paging throughput of one PACNET channel through a modem and a PAD.
//
//   pacnet-throughput [--pages N] [--baud B] [--length L] [--echo 0|1] [--timeout SECONDS]
//
// One TChannelPacnet, run by its real worker thread, sends N pages (default 200) of L
// characters (default 120, the carrier's default part length) through the fake modem to the
// fake PAD and its paging service, on the far side of a pseudo-terminal. The settings keep the
// server's defaults, so every page goes out on one call (MaxMessagesPerConnectionPACNET 10000)
// after one modem init, dial, herald and call request. The line is paced at B baud (default
// 9600, the carrier's default speed; 10 bits per byte) in both directions; --baud 0 leaves it
// unpaced. The PAD echoes every byte (as on its default profile; --echo 0 turns that off) and
// the service answers "?00" at once, so any time the line does not explain is the gateway's.
// Parts are fed as the iterator feeds them: never more in the channel than its input limit.
//
// The run is timed from the moment the channel may take its device until the call has been
// cleared and hung up and the line has fallen silent. Printed: pages per minute; the line time
// per page (every byte that crossed the line in either direction, divided by N, at the byte
// rate); the gateway's overhead per page (wall time per page less line time), which holds the
// DTR hang-up pauses (DtrHangupDelay, two per call), the PAD's herald delay and the rest.
// Exit code 0 when every page reached the service intact and in order, 1 otherwise, 2 on bad
// usage.

#include <Poco/NumberParser.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "carriers/ChannelPacnet.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/FakeModem.h"
#include "support/FakePacnetPad.h"
#include "support/PtyPair.h"

namespace voxmit {
namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kPagerId = "5550100";

struct TOptions {
  int Pages = 200;
  int Baud = 9600;
  int Length = 120;
  int Echo = 1;
  int TimeoutSeconds = 0;  // 0: 60 s plus 2 s per page
};

const char* const Usage =
    "usage: pacnet-throughput [--pages N] [--baud B (0: unpaced)] [--length L] [--echo 0|1]\n"
    "                         [--timeout SECONDS]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    int value = 0;
    if (i + 1 >= argc || !Poco::NumberParser::tryParse(argv[++i], value)) return false;
    if (arg == "--pages") options.Pages = value;
    else if (arg == "--baud") options.Baud = value;
    else if (arg == "--length") options.Length = value;
    else if (arg == "--echo") options.Echo = value;
    else if (arg == "--timeout") options.TimeoutSeconds = value;
    else return false;
  }
  return options.Pages > 0 && options.Baud >= 0 && options.Length > 0 &&
         (options.Echo == 0 || options.Echo == 1) && options.TimeoutSeconds >= 0;
}

// Sits between the pty line and the modem: counts the bytes in both directions and paces what
// the host sends at the line speed, byte by byte, before the modem sees it (the pty line itself
// paces only what its peer sends). One direction at a time, so that the wall time can be set
// against the sum of both. Runs on the line's thread.
class TMeteredLine : public test::FakeLinePeer, private test::FakeLine {
public:
  TMeteredLine(test::FakeLinePeer& inner, int baud)
      : inner_(inner),
        perByte_(baud > 0 ? std::chrono::microseconds(10'000'000 / baud)
                          : std::chrono::microseconds(0)) {}

  long Bytes() const { return bytes_; }
  TClock::time_point LastByte() const { return TClock::time_point(TClock::duration(lastByte_)); }

  void OnConnect(test::FakeLine& line) override {
    line_ = &line;
    inner_.OnConnect(*this);
  }
  void OnReceive(std::string_view bytes, test::FakeLine& line) override {
    line_ = &line;
    bytes_ += static_cast<long>(bytes.size());
    if (perByte_.count() == 0) {
      inner_.OnReceive(bytes, *this);
      MarkByte();
      return;
    }
    lineFree_ = std::max(lineFree_, TClock::now());
    for (size_t i = 0; i < bytes.size(); ++i) {
      lineFree_ += perByte_;
      std::this_thread::sleep_until(lineFree_);
      MarkByte();
      inner_.OnReceive(bytes.substr(i, 1), *this);
    }
  }
  void OnTick(test::FakeLine& line) override {
    line_ = &line;
    inner_.OnTick(*this);
  }
  void OnDisconnect() override { inner_.OnDisconnect(); }

private:
  void Send(std::string_view bytes) override {
    bytes_ += static_cast<long>(bytes.size());
    if (line_) line_->Send(bytes);
    MarkByte();
    lineFree_ = std::max(lineFree_, TClock::now());
  }
  void HangUp() override {
    if (line_) line_->HangUp();
  }
  void MarkByte() { lastByte_ = TClock::now().time_since_epoch().count(); }

  test::FakeLinePeer& inner_;
  const std::chrono::microseconds perByte_;
  test::FakeLine* line_ = nullptr;
  TClock::time_point lineFree_{};
  std::atomic<long> bytes_{0};
  std::atomic<TClock::rep> lastByte_{0};
};

// Page n's text: exactly length printable characters, none of them an answer code.
std::string PageText(int n, int length) {
  std::string text = "Page " + std::to_string(n) + ": ";
  for (int i = 0; static_cast<int>(text.size()) < length; ++i)
    text += static_cast<char>('a' + i % 26);
  text.resize(static_cast<size_t>(length));
  return text;
}

int Run(const TOptions& options) {
  test::PtyPair pty;
  test::FakePacnetPad::Options padOptions;
  padOptions.echo = options.Echo != 0;
  test::FakePacnetPad pad(padOptions);
  test::FakeModem modem;
  const std::string speed = std::to_string(options.Baud > 0 ? options.Baud : 9600);
  modem.SetDefaultDialAnswer({"CONNECT " + speed, 0ms});
  modem.SetPeer(&pad);
  TMeteredLine meter(modem, options.Baud);
  test::PtyLine line(pty, meter, options.Baud);
  line.Start();

  auto device = std::make_shared<TNDevice>(
      TNDeviceRow{.ID = 1,
                  .TypeName = "MODEM",
                  .SettingsData = pty.SlavePath() + ",ATQ0V1M1E0X4,,false,1,1",
                  .DeviceKind = DK_MODEM,
                  .Name = "Modem1"});
  device->FreeEvent.TryTake();  // held until the first parts are queued
  auto list = std::make_shared<TNChannelsList>();
  auto channel = MakeChannelClass<TChannelPacnet>("TChannelPacnet")
                     ->Create(list, CT_PACNET, 1,
                              "5551234," + std::to_string(options.Length) + "," + speed +
                                  ",\"8,N,1\",VOXNET,311020100",
                              device);
  if (!channel) {
    std::fprintf(stderr, "the channel could not be created\n");
    return 1;
  }

  const int inputLimit = std::max(1, TChannelPacnet::GetBufferLimits().Input);
  int enqueued = 0;
  std::vector<std::shared_ptr<TNBaseChannelMessage>> results;
  const auto topUp = [&] {
    while (enqueued < options.Pages && enqueued - static_cast<int>(results.size()) < inputLimit) {
      ++enqueued;
      channel->EnqueueMessage(enqueued, kPagerId, PageText(enqueued, options.Length), 0);
    }
  };
  topUp();

  const auto timeout = std::chrono::seconds(
      options.TimeoutSeconds > 0 ? options.TimeoutSeconds : 60 + 2 * options.Pages);
  const auto start = TClock::now();
  device->FreeEvent.Set();
  bool finished = false;
  while (TClock::now() - start < timeout) {
    while (auto part = channel->DequeueResult()) results.push_back(std::move(part));
    topUp();
    // The worker clears the call and hangs up before it marks the channel not connected.
    if (static_cast<int>(results.size()) >= options.Pages && !channel->Connected()) {
      finished = true;
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  const auto done = TClock::now();
  std::this_thread::sleep_for(200ms);  // the tail of the last answer may still be on the line
  const double seconds =
      std::chrono::duration<double>(std::max(done, meter.LastByte()) - start).count();
  const long bytes = meter.Bytes();
  const int calls = modem.CallsConnected();

  channel->Close();
  while (TNThreadRegistry::Instance().Running() > 0) {
    while (channel->DequeueResult()) {
    }
    std::this_thread::sleep_for(5ms);
  }
  line.Stop();

  bool ok = finished;
  if (!finished)
    std::fprintf(stderr, "timed out: %zu of %d results after %.0f s\n", results.size(),
                 options.Pages, seconds);
  std::set<int32_t> ids;
  for (const auto& part : results) {
    if (part->SendError != MSE_OK || !part->Taken) {
      std::fprintf(stderr, "page %d came back with send error %d\n", part->ID,
                   static_cast<int>(part->SendError));
      ok = false;
    }
    ids.insert(part->ID);
  }
  if (static_cast<int>(ids.size()) != options.Pages ||
      static_cast<int>(results.size()) != options.Pages) {
    std::fprintf(stderr, "%zu results for %zu distinct pages, %d sent\n", results.size(),
                 ids.size(), options.Pages);
    ok = false;
  }
  const auto pages = pad.Pages();
  bool intact = static_cast<int>(pages.size()) == options.Pages;
  for (size_t i = 0; intact && i < pages.size(); ++i)
    intact = pages[i] == std::make_pair(std::string(kPagerId),
                                        PageText(static_cast<int>(i) + 1, options.Length));
  if (!intact) {
    std::fprintf(stderr, "the service holds %zu pages, not the %d sent in order\n", pages.size(),
                 options.Pages);
    ok = false;
  }

  const double n = options.Pages;
  const double byteRate = options.Baud / 10.0;
  const double wallPerPage = seconds / n;
  const double linePerPage = options.Baud > 0 ? static_cast<double>(bytes) / n / byteRate : 0.0;
  const double dtrPerPage = 2.0 * calls * settings::DtrHangupDelay / 1000.0 / n;
  const double overhead = wallPerPage - linePerPage;

  std::printf("PACNET throughput: %d pages of %d characters, PAD echo %s, ", options.Pages,
              options.Length, options.Echo ? "on" : "off");
  if (options.Baud > 0) std::printf("line paced at %d baud (%.0f bytes/s)\n", options.Baud, byteRate);
  else std::printf("line unpaced\n");
  std::printf("calls: %d; bytes over the line: %ld, %.1f per page\n", calls, bytes,
              static_cast<double>(bytes) / n);
  std::printf("elapsed: %.3f s, %.1f pages per minute\n", seconds,
              seconds > 0 ? n * 60.0 / seconds : 0.0);
  std::printf("line time per page: %.1f ms\n", linePerPage * 1000.0);
  std::printf("gateway overhead per page: %.2f ms (DTR hang-up pauses of %d ms: %.2f ms; "
              "the rest: %.2f ms)\n",
              overhead * 1000.0, settings::DtrHangupDelay.load(), dtrPerPage * 1000.0,
              (overhead - dtrPerPage) * 1000.0);
  return ok ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  if (!voxmit::ParseOptions(argc, argv, options)) {
    std::cerr << voxmit::Usage;
    return 2;
  }
  try {
    return voxmit::Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pacnet-throughput: %s\n", e.what());
    return 1;
  }
}
