// acu-throughput: messages per second through one ACU channel to UDP listeners on loopback.
//
//   acu-throughput [--messages N] [--destinations D] [--length L] [--timeout SECONDS]
//
// One TChannelACU on an IP network device, run by its real worker thread, sends N messages
// (default 5000) of L characters (default 60) to D destinations (default 2), each a UDP
// listener on 127.0.0.1 read by a thread of its own. Messages are fed as the iterator feeds
// them, never more in hand than the channel's input limit. Every message is one "connection"
// of its own (connect, one datagram per destination, disconnect), as the carrier works.
//
// The run is timed from the moment the channel may take its device until the last result is
// back. Printed: messages and datagrams per second, and the time per message.
// Exit code 0 when every message came back sent and every listener received each exactly once,
// 1 otherwise, 2 on bad usage.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "carriers/ChannelACU.h"
#include "channels/RegChannels.h"
#include "common/CommaText.h"
#include "support/UdpListener.h"

namespace voxmit {
namespace {

using bench::TClock;
using namespace std::chrono_literals;

struct TOptions {
  int Messages = 5000;
  int Destinations = 2;
  int Length = 60;
  int TimeoutSeconds = 0;  // 0: 60 s plus 10 ms per message
};

const char* const Usage =
    "usage: acu-throughput [--messages N] [--destinations D] [--length L] [--timeout SECONDS]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  const bool read = bench::TArgReader()
                        .Int("--messages", options.Messages)
                        .Int("--destinations", options.Destinations)
                        .Int("--length", options.Length)
                        .Int("--timeout", options.TimeoutSeconds)
                        .Read(argc, argv);
  return read && options.Messages > 0 && options.Destinations > 0 &&
         options.Destinations <= 64 && options.Length >= 12 && options.Length <= 990 &&
         options.TimeoutSeconds >= 0;
}

// Message n: its number first, padded to length characters.
std::string Text(int n, int length) {
  std::string text = "#" + std::to_string(n) + " ";
  text.resize(static_cast<size_t>(length), 'x');
  return text;
}

// Reads one listener until told to stop, keeping the message number of every datagram.
class TReader {
public:
  TReader() : thread_([this] { Run(); }) {}
  ~TReader() { Stop(); }
  uint16_t Port() const { return port_; }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::multiset<int>& Received() const { return received_; }

private:
  void Run() {
    while (!stop_)
      while (auto datagram = listener_.Receive(50ms)) {
        // "TTS #<n> xxx..."
        received_.insert(std::atoi(datagram->Data.c_str() + 5));
      }
  }

  test::UdpListener listener_;
  std::atomic<uint16_t> port_{listener_.Port()};
  std::atomic<bool> stop_{false};
  std::multiset<int> received_;
  std::thread thread_;
};

int Run(const TOptions& options) {
  std::vector<std::unique_ptr<TReader>> readers;
  std::vector<std::string> entries;
  for (int d = 0; d < options.Destinations; ++d) {
    readers.push_back(std::make_unique<TReader>());
    entries.push_back(JoinCommaText(
        {"unit", "x", "127.0.0.1", std::to_string(readers.back()->Port()), "0"}));
  }
  const std::string settings = JoinCommaText({"1", "", "", "1000", JoinCommaText(entries), ""});

  auto list = std::make_shared<TNChannelsList>();
  auto device = bench::MakeHeldDevice(TNDeviceRow{
      .ID = 1, .TypeName = "IP network", .SettingsData = ",,4", .DeviceKind = DK_IP_NETWORK,
      .Name = "Net1"});
  auto channel = MakeChannelClass<TChannelACU>("TChannelACU")->Create(list, CT_ACU, 1, settings, device);
  if (!channel) {
    std::fprintf(stderr, "the channel could not be created\n");
    return 1;
  }
  const auto timeout =
      std::chrono::seconds(options.TimeoutSeconds > 0 ? options.TimeoutSeconds
                                                      : 60 + options.Messages / 100);
  const bench::TFeedRun run = bench::FeedUntilHungUp(
      *channel, *device, options.Messages, std::max(1, TChannelACU::GetBufferLimits().Input),
      timeout, [&](int n) { channel->EnqueueMessage(n, "1", Text(n, options.Length), 0); });
  const double seconds = std::chrono::duration<double>(run.Done - run.Start).count();
  bench::CloseChannels({channel});
  // Whatever is still in flight on loopback arrives within the readers' next wait.
  std::this_thread::sleep_for(200ms);
  for (auto& reader : readers) reader->Stop();

  bool ok = run.Finished;
  if (!run.Finished) bench::ReportTimeout(run.Results.size(), options.Messages, seconds);
  ok = bench::AllSent(run.Results, "message") && ok;
  ok = bench::EachOnce(run.Results, options.Messages, "message") && ok;
  for (size_t d = 0; d < readers.size(); ++d) {
    const auto& received = readers[d]->Received();
    const std::set<int> distinct(received.begin(), received.end());
    if (static_cast<int>(received.size()) != options.Messages ||
        static_cast<int>(distinct.size()) != options.Messages) {
      std::fprintf(stderr, "destination %zu received %zu datagrams for %zu distinct messages of %d\n",
                   d + 1, received.size(), distinct.size(), options.Messages);
      ok = false;
    }
  }

  const double n = options.Messages;
  std::printf("ACU throughput: %d messages of %d characters to %d destination%s\n",
              options.Messages, options.Length, options.Destinations,
              options.Destinations == 1 ? "" : "s");
  std::printf("elapsed: %.3f s, %.1f messages per second, %.1f datagrams per second\n", seconds,
              seconds > 0 ? n / seconds : 0.0,
              seconds > 0 ? n * options.Destinations / seconds : 0.0);
  std::printf("per message: %.3f ms\n", seconds * 1000.0 / n);
  return ok ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  return voxmit::bench::BenchMain("acu-throughput", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
