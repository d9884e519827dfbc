// tap-throughput: paging throughput of one TAP channel over a dial-up line.
//
//   tap-throughput [--pages N] [--baud B] [--dtr-delay MS] [--timeout SECONDS]
//
// One TChannelTap, run by its real worker thread, sends N pages (default 50, 80 characters
// each) through the fake modem to the fake paging terminal, both on the far side of a
// pseudo-terminal. MaxMessagesPerConnectionTAP keeps its default, so the pages go out over
// several calls, each with its own modem init, dial, logon and logoff. The line is paced at B
// baud (default 1200, 10 bits per byte) in both directions; --baud 0 leaves it unpaced. The
// modem and the terminal answer at once, so any time the line does not explain is the
// gateway's. Parts are fed as the iterator feeds them: never more in the channel than its
// input limit (InputBufferLimitTAP).
//
// The run is timed from the moment the channel may take its device until the last call has
// been logged off and hung up and the line has fallen silent. Printed: pages per minute; the
// line time per page (every byte that crossed the line in either direction, modem commands,
// dial, logon and logoff included, at the byte rate, divided by N); the gateway's overhead per
// page (wall time per page less line time), split into the configured DTR hang-up pauses
// (DtrHangupDelay, default the server's, two per call: before the dial and after the logoff)
// and the rest. The rest also holds the fakes' own time; the gateway's work and its pauses
// overlap the tail of an answer (the CR after an ACK, the CR LF after NO CARRIER), so at a slow
// line speed the rest can come out near zero or a little below.
// Exit code 0 when every page reached the terminal intact and in order, 1 otherwise, 2 on bad
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

#include "carriers/ChannelTap.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/FakeModem.h"
#include "support/FakeTapTerminal.h"
#include "support/PtyPair.h"

namespace voxmit {
namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kTextLength = 80;
constexpr const char* kPagerId = "5550100";
constexpr const char* kPhone = "5551234";
constexpr const char* kPassword = "secret";

struct TOptions {
  int Pages = 50;
  int Baud = 1200;
  int DtrDelayMs = settings::DtrHangupDelay;  // the server's default
  int TimeoutSeconds = 0;                     // 0: 60 s plus 10 s per page
};

const char* const Usage =
    "usage: tap-throughput [--pages N] [--baud B (0: unpaced)] [--dtr-delay MS]\n"
    "                      [--timeout SECONDS]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    int value = 0;
    if (i + 1 >= argc || !Poco::NumberParser::tryParse(argv[++i], value)) return false;
    if (arg == "--pages") options.Pages = value;
    else if (arg == "--baud") options.Baud = value;
    else if (arg == "--dtr-delay") options.DtrDelayMs = value;
    else if (arg == "--timeout") options.TimeoutSeconds = value;
    else return false;
  }
  return options.Pages > 0 && options.Baud >= 0 && options.DtrDelayMs >= 0 &&
         options.TimeoutSeconds >= 0;
}

// Sits between the pty line and the modem: counts the bytes in both directions and paces
// what the host sends at the line speed, byte by byte, before the modem sees it (the pty line
// itself paces only what its peer sends). The line carries one direction at a time, so that
// the wall time can be set against the sum of both. Runs on the line's thread.
class TMeteredLine : public test::FakeLinePeer, private test::FakeLine {
public:
  TMeteredLine(test::FakeLinePeer& inner, int baud)
      : inner_(inner),
        perByte_(baud > 0 ? std::chrono::microseconds(10'000'000 / baud)
                          : std::chrono::microseconds(0)) {}

  long ToModem() const { return toModem_; }
  long FromModem() const { return fromModem_; }
  // When the last byte so far finished crossing the line, in either direction.
  TClock::time_point LastByte() const { return TClock::time_point(TClock::duration(lastByte_)); }

  void OnConnect(test::FakeLine& line) override {
    line_ = &line;
    inner_.OnConnect(*this);
  }
  void OnReceive(std::string_view bytes, test::FakeLine& line) override {
    line_ = &line;
    toModem_ += static_cast<long>(bytes.size());
    if (perByte_.count() == 0) {
      inner_.OnReceive(bytes, *this);
      MarkByte();
      return;
    }
    // The bytes of one read were written together: they follow each other on a running
    // schedule, so that waking late from one sleep does not delay the rest.
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
    fromModem_ += static_cast<long>(bytes.size());
    if (line_) line_->Send(bytes);
    MarkByte();
    // One direction at a time, as the line time reckons: a byte echoed while a command comes
    // in delays the rest of the command.
    lineFree_ = std::max(lineFree_, TClock::now());
  }
  void MarkByte() { lastByte_ = TClock::now().time_since_epoch().count(); }
  void HangUp() override {
    if (line_) line_->HangUp();
  }

  test::FakeLinePeer& inner_;
  const std::chrono::microseconds perByte_;
  test::FakeLine* line_ = nullptr;
  TClock::time_point lineFree_{};
  std::atomic<long> toModem_{0};
  std::atomic<long> fromModem_{0};
  std::atomic<TClock::rep> lastByte_{0};
};

// Page n's text: exactly kTextLength printable characters, none needing escapes.
std::string PageText(int n) {
  std::string text = "Page " + std::to_string(n) + ": ";
  for (int i = 0; static_cast<int>(text.size()) < kTextLength; ++i)
    text += static_cast<char>('a' + i % 26);
  return text;
}

int Run(const TOptions& options) {
  settings::DtrHangupDelay = options.DtrDelayMs;

  test::PtyPair pty;
  test::FakeTapTerminal terminal([] {
    test::FakeTapTerminal::Options o;
    o.password = kPassword;
    return o;
  }());
  test::FakeModem modem;
  const std::string speed = std::to_string(options.Baud > 0 ? options.Baud : 9600);
  modem.SetDefaultDialAnswer({"CONNECT " + speed, 0ms});
  modem.SetPeer(&terminal);
  TMeteredLine meter(modem, options.Baud);
  test::PtyLine line(pty, meter, options.Baud);
  line.Start();

  auto device = std::make_shared<TNDevice>(
      TNDeviceRow{.ID = 1,
                  .TypeName = "MODEM",
                  .SettingsData = pty.SlavePath() + ",ATQ0V1M1E0X4,,false,1,1",
                  .DeviceKind = DK_MODEM,
                  .Name = "Modem1"});
  // Held until the first parts are queued, so that the run starts with a full queue.
  device->FreeEvent.TryTake();
  auto list = std::make_shared<TNChannelsList>();
  const auto cls = MakeChannelClass<TChannelTap>("TChannelTap");
  auto channel = cls->Create(list, CT_TAP, 1,
                             std::string(kPhone) + "," + kPassword + "," +
                                 std::to_string(kTextLength) + "," + speed + ",\"8,N,1\"",
                             device);
  if (!channel) {
    std::fprintf(stderr, "the channel could not be created\n");
    return 1;
  }

  const int inputLimit = std::max(1, TChannelTap::GetBufferLimits().Input);
  int enqueued = 0;
  std::vector<std::shared_ptr<TNBaseChannelMessage>> results;
  const auto topUp = [&] {
    while (enqueued < options.Pages && enqueued - static_cast<int>(results.size()) < inputLimit) {
      ++enqueued;
      channel->EnqueueMessage(enqueued, kPagerId, PageText(enqueued), 0);
    }
  };
  topUp();

  const auto timeout = std::chrono::seconds(options.TimeoutSeconds > 0
                                                ? options.TimeoutSeconds
                                                : 60 + 10 * options.Pages);
  const auto start = TClock::now();
  device->FreeEvent.Set();
  bool finished = false;
  while (TClock::now() - start < timeout) {
    while (auto part = channel->DequeueResult()) results.push_back(std::move(part));
    topUp();
    // The last result is handed back while the call is up; the worker then logs off and
    // hangs up before it marks the channel not connected.
    if (static_cast<int>(results.size()) >= options.Pages && !channel->Connected()) {
      finished = true;
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  // The tail of the last answer (the end of the modem's NO CARRIER) may still be on the line
  // when the worker has moved on: the run ends when both are done.
  const auto done = TClock::now();
  std::this_thread::sleep_for(200ms);
  const double seconds =
      std::chrono::duration<double>(std::max(done, meter.LastByte()) - start).count();
  const long toModem = meter.ToModem();
  const long fromModem = meter.FromModem();
  const int calls = modem.CallsConnected();

  channel->Close();
  while (TNThreadRegistry::Instance().Running() > 0) {
    while (channel->DequeueResult()) {
    }
    std::this_thread::sleep_for(5ms);
  }
  line.Stop();

  // Every page acknowledged, each exactly once, and the terminal holding them intact in order.
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
  const auto pages = terminal.Pages();
  bool pagesIntact = static_cast<int>(pages.size()) == options.Pages;
  for (size_t i = 0; pagesIntact && i < pages.size(); ++i)
    pagesIntact = pages[i] == test::FakeTapTerminal::Page{kPagerId, PageText(static_cast<int>(i) + 1)};
  if (!pagesIntact) {
    std::fprintf(stderr, "the terminal holds %zu pages, not the %d sent in order\n", pages.size(),
                 options.Pages);
    ok = false;
  }

  const double n = options.Pages;
  const double bytesPerPage = static_cast<double>(toModem + fromModem) / n;
  const double byteRate = options.Baud / 10.0;
  const double wallPerPage = seconds / n;
  const double linePerPage = options.Baud > 0 ? bytesPerPage / byteRate : 0.0;
  const double dtrPerPage = 2.0 * calls * options.DtrDelayMs / 1000.0 / n;
  const double overhead = wallPerPage - linePerPage;

  std::printf("TAP throughput: %d pages of %d characters, up to %d per call, ", options.Pages,
              kTextLength, settings::MaxMessagesPerConnectionTAP.load());
  if (options.Baud > 0) std::printf("line paced at %d baud (%.0f bytes/s)\n", options.Baud, byteRate);
  else std::printf("line unpaced\n");
  std::printf("calls: %d; bytes over the line: %ld to the modem, %ld from it, %.1f per page\n",
              calls, toModem, fromModem, bytesPerPage);
  std::printf("elapsed: %.3f s, %.1f pages per minute\n", seconds,
              seconds > 0 ? n * 60.0 / seconds : 0.0);
  if (options.Baud > 0) std::printf("line time per page: %.1f ms\n", linePerPage * 1000.0);
  else std::printf("line time per page: 0 ms (unpaced)\n");
  std::printf("gateway overhead per page: %.1f ms (DTR hang-up pauses of %d ms: %.1f ms; "
              "the rest: %.1f ms)\n",
              overhead * 1000.0, options.DtrDelayMs, dtrPerPage * 1000.0,
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
    std::fprintf(stderr, "tap-throughput: %s\n", e.what());
    return 1;
  }
}
