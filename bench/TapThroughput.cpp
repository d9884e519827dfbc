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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "carriers/ChannelTap.h"
#include "channels/RegChannels.h"
#include "host/ServerSettings.h"
#include "support/FakeModem.h"
#include "support/FakeTapTerminal.h"
#include "support/PtyPair.h"

namespace voxmit {
namespace {

using bench::TClock;
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
  const bool read = bench::TArgReader()
                        .Int("--pages", options.Pages)
                        .Int("--baud", options.Baud)
                        .Int("--dtr-delay", options.DtrDelayMs)
                        .Int("--timeout", options.TimeoutSeconds)
                        .Read(argc, argv);
  return read && options.Pages > 0 && options.Baud >= 0 && options.DtrDelayMs >= 0 &&
         options.TimeoutSeconds >= 0;
}

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
  bench::TMeteredLine meter(modem, options.Baud);
  test::PtyLine line(pty, meter, options.Baud);
  line.Start();

  // Held until the first parts are queued, so that the run starts with a full queue.
  auto device = bench::MakeHeldDevice(bench::PtyModemRow(pty.SlavePath()));
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

  const auto timeout = std::chrono::seconds(options.TimeoutSeconds > 0
                                                ? options.TimeoutSeconds
                                                : 60 + 10 * options.Pages);
  const auto run = bench::FeedUntilHungUp(
      *channel, *device, options.Pages, std::max(1, TChannelTap::GetBufferLimits().Input),
      timeout, [&](int n) { channel->EnqueueMessage(n, kPagerId, PageText(n), 0); });
  // The tail of the last answer (the end of the modem's NO CARRIER) may still be on the line
  // when the worker has moved on: the run ends when both are done.
  std::this_thread::sleep_for(200ms);
  const double seconds =
      std::chrono::duration<double>(std::max(run.Done, meter.LastByte()) - run.Start).count();
  const long toModem = meter.ToModem();
  const long fromModem = meter.FromModem();
  const int calls = modem.CallsConnected();

  bench::CloseChannels({channel});
  line.Stop();

  // Every page acknowledged, each exactly once, and the terminal holding them intact in order.
  bool ok = run.Finished;
  if (!run.Finished) bench::ReportTimeout(run.Results.size(), options.Pages, seconds);
  ok = bench::AllSent(run.Results, "page") && ok;
  ok = bench::EachOnce(run.Results, options.Pages, "page") && ok;
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
  bench::PrintLineSpeed(options.Baud);
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
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  return voxmit::bench::BenchMain("tap-throughput", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
