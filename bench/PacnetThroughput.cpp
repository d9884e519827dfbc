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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "carriers/ChannelPacnet.h"
#include "channels/RegChannels.h"
#include "host/ServerSettings.h"
#include "support/FakeModem.h"
#include "support/FakePacnetPad.h"
#include "support/PtyPair.h"

namespace voxmit {
namespace {

using bench::TClock;
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
  const bool read = bench::TArgReader()
                        .Int("--pages", options.Pages)
                        .Int("--baud", options.Baud)
                        .Int("--length", options.Length)
                        .Int("--echo", options.Echo)
                        .Int("--timeout", options.TimeoutSeconds)
                        .Read(argc, argv);
  return read && options.Pages > 0 && options.Baud >= 0 && options.Length > 0 &&
         (options.Echo == 0 || options.Echo == 1) && options.TimeoutSeconds >= 0;
}

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
  bench::TMeteredLine meter(modem, options.Baud);
  test::PtyLine line(pty, meter, options.Baud);
  line.Start();

  // Held until the first parts are queued.
  auto device = bench::MakeHeldDevice(bench::PtyModemRow(pty.SlavePath()));
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

  const auto timeout = std::chrono::seconds(
      options.TimeoutSeconds > 0 ? options.TimeoutSeconds : 60 + 2 * options.Pages);
  const auto run = bench::FeedUntilHungUp(
      *channel, *device, options.Pages, std::max(1, TChannelPacnet::GetBufferLimits().Input),
      timeout,
      [&](int n) { channel->EnqueueMessage(n, kPagerId, PageText(n, options.Length), 0); });
  std::this_thread::sleep_for(200ms);  // the tail of the last answer may still be on the line
  const double seconds =
      std::chrono::duration<double>(std::max(run.Done, meter.LastByte()) - run.Start).count();
  const long bytes = meter.Bytes();
  const int calls = modem.CallsConnected();

  bench::CloseChannels({channel});
  line.Stop();

  bool ok = run.Finished;
  if (!run.Finished) bench::ReportTimeout(run.Results.size(), options.Pages, seconds);
  ok = bench::AllSent(run.Results, "page") && ok;
  ok = bench::EachOnce(run.Results, options.Pages, "page") && ok;
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
  bench::PrintLineSpeed(options.Baud);
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
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  return voxmit::bench::BenchMain("pacnet-throughput", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
