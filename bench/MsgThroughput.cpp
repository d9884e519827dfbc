// msg-throughput: messages per second through MSG channels to a local HTTP gateway.
//
//   msg-throughput [--messages N] [--devices D] [--peer-delay-us US] [--timeout SECONDS]
//
// D IP network devices (default 1), one TChannelMSG on each, run by their real worker threads,
// send N messages (default 2000) between them to the fake HTTP gateway on 127.0.0.1. Every
// message takes what it takes in service: a TCP probe (Connect), then the GET on a connection
// of its own, then the disconnect. The gateway holds each answer for US microseconds (default
// 5000), standing in for its own work and the network. Messages are fed as the iterator feeds
// them: to the channel with the fewest in hand, never more in a channel than its input limit.
//
// The run is timed from the moment the channels may take their devices until the last result
// is back. Printed: messages per second; the gateway's time per message (from the end of the
// request to the end of its answer, as the gateway measured it); and the carrier's own time per
// message on one device: D x wall time / N less the gateway's time. The own time holds all
// the rest: probe and connection set-up on loopback, the request and the answer's headers, the
// worker's passes, and the fake gateway's accepting and reading.
// Exit code 0 when every message came back sent and the gateway received each exactly once,
// 1 otherwise, 2 on bad usage.

#include <Poco/NumberParser.h>
#include <Poco/URI.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "carriers/ChannelMSG.h"
#include "channels/RegChannels.h"
#include "platform/TNEvent.h"
#include "support/FakeHttpServer.h"

namespace voxmit {
namespace {

using bench::TClock;
using namespace std::chrono_literals;

struct TOptions {
  int Messages = 2000;
  int Devices = 1;
  int PeerDelayUs = 5000;
  int TimeoutSeconds = 0;  // 0: 60 s plus 50 ms per message
};

const char* const Usage =
    "usage: msg-throughput [--messages N] [--devices D] [--peer-delay-us US]\n"
    "                      [--timeout SECONDS]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  const bool read = bench::TArgReader()
                        .Int("--messages", options.Messages)
                        .Int("--devices", options.Devices)
                        .Int("--peer-delay-us", options.PeerDelayUs)
                        .Int("--timeout", options.TimeoutSeconds)
                        .Read(argc, argv);
  return read && options.Messages > 0 && options.Devices > 0 && options.Devices <= 64 &&
         options.PeerDelayUs >= 0 && options.TimeoutSeconds >= 0;
}

std::string Text(int n) { return "Page " + std::to_string(n) + ": boiler room pressure high"; }

// The message number a request carried in its id parameter, or 0.
int IdOf(const std::string& target) {
  for (const auto& [name, value] : Poco::URI(target).getQueryParameters()) {
    int id = 0;
    if (name == "id" && Poco::NumberParser::tryParse(value, id)) return id;
  }
  return 0;
}

int Run(const TOptions& options) {
  test::FakeHttpServer gateway;
  gateway.SetDelay(std::chrono::microseconds(options.PeerDelayUs));
  const std::string port = std::to_string(gateway.Port());

  auto list = std::make_shared<TNChannelsList>();
  const auto cls = MakeChannelClass<TChannelMSG>("TChannelMSG");
  std::vector<std::shared_ptr<TNDevice>> devices;
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels;
  for (int d = 0; d < options.Devices; ++d) {
    // Held until the first messages are queued, so that the run starts with full queues.
    auto device = bench::MakeHeldDevice(TNDeviceRow{.ID = d + 1,
                                                    .TypeName = "IP network",
                                                    .SettingsData = "127.0.0.1," + port + ",3",
                                                    .DeviceKind = DK_IP_NETWORK,
                                                    .Name = "Net" + std::to_string(d + 1)});
    auto channel = cls->Create(list, CT_MSG, 1, "send," + port + ",160", device);
    if (!channel) {
      std::fprintf(stderr, "the channel could not be created\n");
      return 1;
    }
    devices.push_back(device);
    channels.push_back(channel);
  }

  const int inputLimit = std::max(1, TChannelMSG::GetBufferLimits().Input);
  std::vector<int> inHand(channels.size(), 0);
  int enqueued = 0;
  std::vector<std::shared_ptr<TNBaseChannelMessage>> results;
  const auto topUp = [&] {
    while (enqueued < options.Messages) {
      const auto least = std::min_element(inHand.begin(), inHand.end());
      if (*least >= inputLimit) return;
      ++enqueued;
      ++*least;
      channels[static_cast<size_t>(least - inHand.begin())]->EnqueueMessage(
          enqueued, "5550100," + std::to_string(enqueued) + ",desk,user,secret", Text(enqueued),
          0);
    }
  };
  const auto collect = [&] {
    for (size_t c = 0; c < channels.size(); ++c) {
      while (auto part = channels[c]->DequeueResult()) {
        --inHand[c];
        results.push_back(std::move(part));
      }
    }
  };
  topUp();

  const auto timeout = std::chrono::seconds(options.TimeoutSeconds > 0
                                                ? options.TimeoutSeconds
                                                : 60 + options.Messages / 20);
  const auto start = TClock::now();
  for (auto& device : devices) device->FreeEvent.Set();
  // Waits for results as the iterator's receive thread does: on every FiFoOut's NotEmpty event.
  std::vector<const TNEvent*> resultEvents;
  for (auto& channel : channels) resultEvents.push_back(channel->FiFoOut().Event(stNotEmpty));
  bool finished = false;
  while (TClock::now() - start < timeout) {
    collect();
    topUp();
    if (static_cast<int>(results.size()) >= options.Messages) {
      finished = true;
      break;
    }
    WaitForAny(resultEvents, 100);
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();

  bench::CloseChannels(channels);
  gateway.Stop();

  bool ok = finished;
  if (!finished) bench::ReportTimeout(results.size(), options.Messages, seconds);
  int failed = 0;
  for (const auto& part : results)
    if (part->SendError != MSE_OK || !part->Taken) ++failed;
  if (failed > 0) {
    std::fprintf(stderr, "%d messages came back not sent\n", failed);
    ok = false;
  }
  std::multiset<int> received;
  for (const auto& request : gateway.Requests()) received.insert(IdOf(request.Target));
  std::set<int> distinct(received.begin(), received.end());
  if (static_cast<int>(received.size()) != options.Messages ||
      static_cast<int>(distinct.size()) != options.Messages || distinct.count(0) > 0) {
    std::fprintf(stderr, "the gateway received %zu requests for %zu distinct messages of %d\n",
                 received.size(), distinct.size(), options.Messages);
    ok = false;
  }

  const double n = options.Messages;
  const double peerMs =
      gateway.Answered() > 0
          ? std::chrono::duration<double, std::milli>(gateway.AnswerTime()).count() /
                static_cast<double>(gateway.Answered())
          : 0.0;
  const double perDeviceMs = seconds * 1000.0 * options.Devices / n;
  std::printf("MSG throughput: %d messages over %d IP device%s, gateway answer delay %d us\n",
              options.Messages, options.Devices, options.Devices == 1 ? "" : "s",
              options.PeerDelayUs);
  std::printf("elapsed: %.3f s, %.1f messages per second\n", seconds,
              seconds > 0 ? n / seconds : 0.0);
  std::printf("per message on one device: %.3f ms, of which the gateway's %.3f ms and the "
              "carrier's own %.3f ms\n",
              perDeviceMs, peerMs, perDeviceMs - peerMs);
  return ok ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  return voxmit::bench::BenchMain("msg-throughput", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
