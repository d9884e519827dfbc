// e2e-load: the whole server under load, started by this program in a temporary home.
//
//   e2e-load [--clients N] [--messages M] [--outstanding K] [--devices D]
//            [--replay-clients R] [--replay-results W] [--carrier-settings S]
//            [--timeout SECONDS] [--scheduler-period MS] [--server PATH]
//
// The server runs with its test channel (VOXMIT_TEST_CHANNELS=8) and D IP network devices
// (default 4). N clients log on and submit M messages each for carrier type 8, keeping up to K
// unanswered at a time, and wait for every MESSAGE_SENT. With D = 0 no device serves the
// carrier type: the scheduler hands every message back as a send error, so the run measures
// intake with the least dispatch behind it. The server's SchedulerRequeryPeriod is MS (default
// 1000): with the default of 10 s a burst that arrives between two passes waits for the next
// one, and the run would measure the period. Before the clock starts one message goes the
// whole way, so the carrier exists and is being served.
//
// With R > 0, R more clients have W results each waiting in SentMessages before the server
// starts; they log on together with the submitters and count their results, each of which
// must arrive exactly once.
//
// Prints the acceptance rate (first submission to last MESSAGE_ACCEPTED), the acceptance
// latency p50 and p99, the end-to-end rate (first submission to last send result) and the
// replay's figures. Exit code 0 when every message was accepted and reported sent (D > 0) or
// answered (D = 0) and every waiting result arrived once, 1 otherwise, 2 on bad usage.

#include <Poco/Data/Session.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "store/Carrier.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "tools/ClientProtocol.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit {
namespace {

using bench::TClock;

constexpr int kCarrierType = 8;

struct TOptions {
  int Clients = 16;
  int Messages = 500;
  int Outstanding = 1;
  int Devices = 4;
  int ReplayClients = 0;
  int ReplayResults = 2000;
  std::string CarrierSettings = "perconn=1000";
  int TimeoutSeconds = 120;
  int SchedulerPeriodMs = 1000;
  std::string Server;
};

const char* const Usage =
    "usage: e2e-load [--clients N] [--messages M] [--outstanding K] [--devices D]\n"
    "                [--replay-clients R] [--replay-results W] [--carrier-settings S]\n"
    "                [--timeout SECONDS] [--scheduler-period MS] [--server PATH]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  const bool read = bench::TArgReader()
                        .Int("--clients", options.Clients)
                        .Int("--messages", options.Messages)
                        .Int("--outstanding", options.Outstanding)
                        .Int("--devices", options.Devices)
                        .Int("--replay-clients", options.ReplayClients)
                        .Int("--replay-results", options.ReplayResults)
                        .Text("--carrier-settings", options.CarrierSettings)
                        .Int("--timeout", options.TimeoutSeconds)
                        .Int("--scheduler-period", options.SchedulerPeriodMs)
                        .Text("--server", options.Server)
                        .Read(argc, argv);
  return read && options.Clients > 0 && options.Messages > 0 && options.Outstanding > 0 &&
         options.Devices >= 0 && options.ReplayClients >= 0 && options.ReplayResults >= 0 &&
         options.TimeoutSeconds > 0;
}

double Seconds(TClock::time_point from, TClock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::chrono::milliseconds Left(TClock::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()),
                  0ms);
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

struct TSubmitterResult {
  int Accepted = 0;
  int Refused = 0;
  int Sent = 0;
  int SendErrors = 0;
  TClock::time_point LastAccepted{};
  TClock::time_point LastResult{};
  std::vector<double> LatenciesMs;
};

struct TReplayResult {
  int Results = 0;
  int Repeated = 0;
  TClock::time_point LastResult{};
};

std::unique_ptr<client::TClientConnection> LogOn(int port, const std::string& guid,
                                                 const std::string& name) {
  auto connection = std::make_unique<client::TClientConnection>(
      "127.0.0.1", static_cast<std::uint16_t>(port), 10s);
  connection->Logon(guid, name);
  const auto reply = connection->ReadReply(30s);
  if (!reply || reply->Keyword != "LOGON_OK") return nullptr;
  return connection;
}

// Submits options.Messages, never more than options.Outstanding unanswered, and reads until
// every one has its send result (or its acceptance only, when results are not awaited).
TSubmitterResult Submit(const TOptions& options, int index, int port, std::latch& gate,
                        TClock::time_point deadline) {
  TSubmitterResult result;
  std::unique_ptr<client::TClientConnection> connection;
  try {
    connection = LogOn(port, client::NewClientGuid(), "e2e-load " + std::to_string(index));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "submitter %d: %s\n", index, e.what());
  }
  gate.arrive_and_wait();
  if (!connection) return result;
  std::vector<TClock::time_point> sentAt(static_cast<size_t>(options.Messages) + 1);
  int submitted = 0;
  try {
    while (TClock::now() < deadline) {
      while (submitted < options.Messages &&
             submitted - result.Accepted - result.Refused < options.Outstanding) {
        ++submitted;
        sentAt[static_cast<size_t>(submitted)] = TClock::now();
        connection->SendMessage(submitted, kCarrierType, options.CarrierSettings,
                                std::to_string(5000 + index),
                                "e2e-load message " + std::to_string(submitted));
      }
      if (result.Accepted + result.Refused == options.Messages &&
          result.Sent + result.SendErrors == result.Accepted)
        break;
      const auto reply = connection->ReadReply(Left(deadline));
      if (!reply) break;
      const auto now = TClock::now();
      if (reply->Keyword == "MESSAGE_ACCEPTED" || reply->Keyword == "MESSAGE_ACCEPT_ERROR") {
        const int id = reply->Fields.empty() ? 0 : std::atoi(reply->Fields[0].c_str());
        if (reply->Keyword == "MESSAGE_ACCEPTED") ++result.Accepted;
        else ++result.Refused;
        result.LastAccepted = now;
        if (id >= 1 && id <= submitted)
          result.LatenciesMs.push_back(
              std::chrono::duration<double, std::milli>(now - sentAt[static_cast<size_t>(id)])
                  .count());
      } else if (reply->Keyword == "MESSAGE_SENT") {
        ++result.Sent;
        result.LastResult = now;
      } else if (reply->Keyword == "MESSAGE_SEND_ERROR") {
        ++result.SendErrors;
        result.LastResult = now;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "submitter %d: %s\n", index, e.what());
  }
  return result;
}

// Logs on as a client with results waiting and counts them until all have come.
TReplayResult Replay(const std::string& guid, int expected, int port, std::latch& gate,
                     TClock::time_point deadline) {
  TReplayResult result;
  gate.arrive_and_wait();
  try {
    auto connection = LogOn(port, guid, "e2e-load replay");
    if (!connection) return result;
    std::set<std::string> seen;
    while (result.Results < expected) {
      const auto reply = connection->ReadReply(Left(deadline));
      if (!reply) break;
      if (reply->Keyword != "MESSAGE_SENT" && reply->Keyword != "MESSAGE_SEND_ERROR") continue;
      ++result.Results;
      result.LastResult = TClock::now();
      if (reply->Fields.empty() || !seen.insert(reply->Fields[0]).second) ++result.Repeated;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "replay %s: %s\n", guid.c_str(), e.what());
  }
  return result;
}

// Fills the home's database: the devices and the waiting results of the replay clients.
void PrepareDatabase(const test::TempHome& home, const TOptions& options,
                     const std::vector<std::string>& replayGuids) {
  test::CreateTestDatabase(home.Path());
  Poco::Data::Session db = OpenDbSession(home.File("ServerData.db"));
  for (int i = 1; i <= options.Devices; ++i)
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '', ?)",
        bind("net" + std::to_string(i)), now;
  // Recent: maintenance archives results past their age whether reported or not.
  const std::string time = DbNow();
  db << "BEGIN", now;
  for (const std::string& guid : replayGuids) {
    const std::string cut = CutGUID(guid);
    for (int id = 1; id <= options.ReplayResults; ++id)
      db << "INSERT INTO SentMessages (ClientGUID, ClientRecordID, ServerRecordID, CarrierType, "
            "CarrierID, TimeReceived, ReceiveConfirmed, TimeSent, SendConfirmed, ErrorCode, "
            "PagerID, MessageText) VALUES (?, ?, ?, 8, 1, ?, 1, ?, 0, 0, '1', 'waiting result')",
          bind(cut), bind(id), bind(id), bind(time), bind(time), now;
  }
  db << "COMMIT", now;
}

// One message the whole way, from a client of its own.
bool WarmUp(const TOptions& options, int port) {
  auto connection = LogOn(port, client::NewClientGuid(), "e2e-load warm-up");
  if (!connection) return false;
  connection->SendMessage(1, kCarrierType, options.CarrierSettings, "4999", "warm-up");
  const auto deadline = TClock::now() + 60s;
  while (const auto reply = connection->ReadReply(Left(deadline)))
    if (reply->Keyword == "MESSAGE_SENT") return true;
  return false;
}

int Run(const TOptions& options) {
  if (!options.Server.empty()) ::setenv("VOXMIT_SERVER_EXE", options.Server.c_str(), 1);
  test::TempHome home(false);
  std::vector<std::string> replayGuids;
  for (int i = 0; i < options.ReplayClients; ++i) replayGuids.push_back(client::NewClientGuid());
  PrepareDatabase(home, options, replayGuids);
  const int port = test::FreeTcpPort();
  home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                 "\n[Threads]\nSchedulerRequeryPeriod=" +
                                 std::to_string(options.SchedulerPeriodMs) + "\n");
  ::setenv("VOXMIT_TEST_CHANNELS", std::to_string(kCarrierType).c_str(), 1);
  test::TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
  server.Start();
  ::unsetenv("VOXMIT_TEST_CHANNELS");
  if (!server.WaitForStdout("VoxmitServer - Running")) {
    std::fprintf(stderr, "the server did not start: %s\n", server.Stderr().c_str());
    return 1;
  }

  if (options.Devices > 0 && !WarmUp(options, port)) {
    std::fprintf(stderr, "the warm-up message was not sent\n");
    return 1;
  }
  const auto deadline = TClock::now() + std::chrono::seconds(options.TimeoutSeconds);
  std::vector<TSubmitterResult> submitters(static_cast<size_t>(options.Clients));
  std::vector<TReplayResult> replays(replayGuids.size());
  std::latch gate(options.Clients + options.ReplayClients + 1);
  TClock::time_point start;
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < options.Clients; ++i)
      threads.emplace_back([&, i] {
        submitters[static_cast<size_t>(i)] = Submit(options, i, port, gate, deadline);
      });
    for (size_t i = 0; i < replayGuids.size(); ++i)
      threads.emplace_back([&, i] {
        replays[i] = Replay(replayGuids[i], options.ReplayResults, port, gate, deadline);
      });
    gate.arrive_and_wait();
    start = TClock::now();
  }

  int accepted = 0, refused = 0, sent = 0, sendErrors = 0;
  TClock::time_point lastAccepted = start, lastResult = start;
  std::vector<double> latencies;
  for (const auto& r : submitters) {
    accepted += r.Accepted;
    refused += r.Refused;
    sent += r.Sent;
    sendErrors += r.SendErrors;
    lastAccepted = std::max(lastAccepted, r.LastAccepted);
    lastResult = std::max(lastResult, r.LastResult);
    latencies.insert(latencies.end(), r.LatenciesMs.begin(), r.LatenciesMs.end());
  }
  std::sort(latencies.begin(), latencies.end());
  const int total = options.Clients * options.Messages;
  std::printf("e2e-load: %d clients x %d messages, %d outstanding, %d devices\n", options.Clients,
              options.Messages, options.Outstanding, options.Devices);
  std::printf("  intake:     %d accepted, %d refused in %.3f s: %.1f messages/s; "
              "acceptance p50 %.3f ms, p99 %.3f ms\n",
              accepted, refused, Seconds(start, lastAccepted),
              accepted / std::max(Seconds(start, lastAccepted), 1e-9),
              Percentile(latencies, 0.50), Percentile(latencies, 0.99));
  std::printf("  end to end: %d sent, %d send errors in %.3f s: %.1f messages/s\n", sent,
              sendErrors, Seconds(start, lastResult),
              (sent + sendErrors) / std::max(Seconds(start, lastResult), 1e-9));
  bool ok = accepted == total && sent + sendErrors == total &&
            (options.Devices == 0 || sent == total);
  if (!replays.empty()) {
    int results = 0, repeated = 0, complete = 0;
    TClock::time_point lastReplay = start;
    for (const auto& r : replays) {
      results += r.Results;
      repeated += r.Repeated;
      complete += r.Results == options.ReplayResults ? 1 : 0;
      lastReplay = std::max(lastReplay, r.LastResult);
    }
    std::printf("  replay:     %d clients, %d of %d results in %.3f s (%.1f results/s), "
                "%d repeated, %d clients complete\n",
                options.ReplayClients, results, options.ReplayClients * options.ReplayResults,
                Seconds(start, lastReplay),
                results / std::max(Seconds(start, lastReplay), 1e-9), repeated, complete);
    ok = ok && repeated == 0 && complete == options.ReplayClients;
  }
  server.Signal(SIGTERM);
  server.WaitExit(60s);
  if (!ok) std::fprintf(stderr, "e2e-load: messages or results missing\n");
  return ok ? 0 : 1;
}

// Many clients need more descriptors than the usual soft limit.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  signal(SIGPIPE, SIG_IGN);
  voxmit::RaiseDescriptorLimit();
  return voxmit::bench::BenchMain("e2e-load", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
