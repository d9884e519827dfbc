// intake-load: many clients submitting messages to a running server at once.
//
//   intake-load --port P [--host H] [--clients N] [--messages M] [--carrier-type T]
//               [--settings S] [--timeout SECONDS] [--outstanding K]
//
// Every client connects, logs on with its own GUID and, once all clients are logged on,
// submits M messages, keeping up to K (default 1) without their MESSAGE_ACCEPTED: with K = 1
// each goes after the acceptance of the one before.
// Prints the logons that succeeded, the accepted messages per second over the whole run
// and the 50th and 99th percentile of the time from sending a message to its acceptance.
// Exit code 0 when every logon and every message succeeded, 1 otherwise, 2 on bad usage.
// One thread per client.

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/ClientProtocol.h"

namespace voxmit {
namespace {

using TClock = std::chrono::steady_clock;
using client::TClientConnection;

struct TLoadOptions {
  std::string Host = "127.0.0.1";
  int Port = 0;
  int Clients = 10;
  int Messages = 100;
  int CarrierType = 5;
  std::string Settings = "load-test";
  int TimeoutSeconds = 30;
  int Outstanding = 1;
};

struct TClientResult {
  bool LoggedOn = false;
  int Accepted = 0;
  int Refused = 0; // MESSAGE_ACCEPT_ERROR
  int Lost = 0;    // no answer in time, or the connection ended
  std::vector<double> LatenciesMs;
};

const char* const Usage =
    "usage: intake-load --port P [--host H] [--clients N] [--messages M]\n"
    "                   [--carrier-type T] [--settings S] [--timeout SECONDS]\n"
    "                   [--outstanding K]\n";

bool ParseOptions(int argc, char** argv, TLoadOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    int number = 0;
    const bool isNumber = Poco::NumberParser::tryParse(value, number);
    if (arg == "--host") options.Host = value;
    else if (arg == "--settings") options.Settings = value;
    else if (!isNumber) return false;
    else if (arg == "--port") options.Port = number;
    else if (arg == "--clients") options.Clients = number;
    else if (arg == "--messages") options.Messages = number;
    else if (arg == "--carrier-type") options.CarrierType = number;
    else if (arg == "--timeout") options.TimeoutSeconds = number;
    else if (arg == "--outstanding") options.Outstanding = number;
    else return false;
  }
  return options.Port > 0 && options.Port <= 65535 && options.Clients > 0 &&
         options.Messages >= 0 && options.TimeoutSeconds > 0 && options.Outstanding > 0;
}

// A thousand clients need more descriptors than the usual soft limit.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::chrono::milliseconds Left(TClock::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()),
                  std::chrono::milliseconds(0));
}

// One client's run. Every client arrives at the start gate, logged on or not.
class TLoadClient {
public:
  TLoadClient(const TLoadOptions& options, int index, std::latch& startGate)
      : options_(options), index_(index), startGate_(startGate),
        timeout_(std::chrono::seconds(options.TimeoutSeconds)) {}

  TClientResult Run() {
    std::unique_ptr<TClientConnection> connection;
    try {
      connection = Connect();
    } catch (const Poco::Exception& e) {
      std::fprintf(stderr, "client %d: %s\n", index_, e.displayText().c_str());
    }
    result_.LoggedOn = connection != nullptr;
    startGate_.arrive_and_wait();
    if (!connection) {
      result_.Lost = options_.Messages;
      return result_;
    }
    try {
      SubmitAll(*connection);
    } catch (const Poco::Exception& e) {
      std::fprintf(stderr, "client %d: %s\n", index_, e.displayText().c_str());
    }
    result_.Lost = options_.Messages - result_.Accepted - result_.Refused;
    return result_;
  }

private:
  // The logged-on connection, or nothing when the logon failed.
  std::unique_ptr<TClientConnection> Connect() {
    auto connection = std::make_unique<TClientConnection>(
        options_.Host, static_cast<std::uint16_t>(options_.Port), timeout_);
    connection->Logon(client::NewClientGuid(), "intake-load " + std::to_string(index_));
    const auto reply = connection->ReadReply(timeout_);
    if (!reply || reply->Keyword != "LOGON_OK") {
      std::fprintf(stderr, "client %d: logon answered with %s\n", index_,
                   reply ? reply->Body.c_str() : "nothing");
      return nullptr;
    }
    return connection;
  }

  void SubmitAll(TClientConnection& connection) {
    std::vector<TClock::time_point> sentAt(static_cast<std::size_t>(options_.Messages) + 1);
    int submitted = 0;
    while (result_.Accepted + result_.Refused < options_.Messages) {
      while (submitted < options_.Messages &&
             submitted - result_.Accepted - result_.Refused < options_.Outstanding) {
        ++submitted;
        sentAt[static_cast<std::size_t>(submitted)] = TClock::now();
        connection.SendMessage(submitted, options_.CarrierType, options_.Settings,
                               std::to_string(1000 + index_),
                               "Load message " + std::to_string(submitted));
      }
      const int id = AwaitAcceptance(connection);
      if (id == 0) return;
      if (id <= submitted)
        result_.LatenciesMs.push_back(std::chrono::duration<double, std::milli>(
                                          TClock::now() - sentAt[static_cast<std::size_t>(id)])
                                          .count());
    }
  }

  // The record ID of the next message accepted or refused; 0 when no answer came. Other
  // replies (send results, notices) are passed over.
  int AwaitAcceptance(TClientConnection& connection) {
    const auto deadline = TClock::now() + timeout_;
    while (const auto reply = connection.ReadReply(Left(deadline))) {
      const int id = reply->Fields.empty() ? 0 : std::atoi(reply->Fields[0].c_str());
      if (reply->Keyword == "MESSAGE_ACCEPTED") {
        ++result_.Accepted;
        return id;
      }
      if (reply->Keyword == "MESSAGE_ACCEPT_ERROR") {
        ++result_.Refused;
        return id;
      }
    }
    std::fprintf(stderr, "client %d: no acceptance within the timeout\n", index_);
    return 0;
  }

  const TLoadOptions& options_;
  const int index_;
  std::latch& startGate_;
  const std::chrono::milliseconds timeout_;
  TClientResult result_;
};

// Nearest-rank percentile of sorted values.
double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

int RunLoad(const TLoadOptions& options) {
  std::vector<TClientResult> results(static_cast<std::size_t>(options.Clients));
  std::latch startGate(options.Clients + 1);
  TClock::time_point start;
  {
    std::vector<std::jthread> threads;
    threads.reserve(results.size());
    for (int i = 0; i < options.Clients; ++i)
      threads.emplace_back([&options, &startGate, &results, i] {
        results[static_cast<std::size_t>(i)] = TLoadClient(options, i, startGate).Run();
      });
    startGate.arrive_and_wait();
    start = TClock::now();
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();

  int loggedOn = 0, accepted = 0, refused = 0, lost = 0;
  std::vector<double> latencies;
  for (const auto& r : results) {
    loggedOn += r.LoggedOn ? 1 : 0;
    accepted += r.Accepted;
    refused += r.Refused;
    lost += r.Lost;
    latencies.insert(latencies.end(), r.LatenciesMs.begin(), r.LatenciesMs.end());
  }
  std::sort(latencies.begin(), latencies.end());

  std::printf("logons succeeded: %d of %d\n", loggedOn, options.Clients);
  std::printf("messages accepted: %d, refused: %d, without answer: %d\n", accepted, refused,
              lost);
  std::printf("elapsed: %.3f s, %.1f messages/s\n", seconds,
              seconds > 0 ? accepted / seconds : 0.0);
  std::printf("acceptance latency: p50 %.3f ms, p99 %.3f ms\n", Percentile(latencies, 0.50),
              Percentile(latencies, 0.99));
  return loggedOn == options.Clients && refused == 0 && lost == 0 ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TLoadOptions options;
  if (!voxmit::ParseOptions(argc, argv, options)) {
    std::cerr << voxmit::Usage;
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  voxmit::RaiseDescriptorLimit();
  return voxmit::RunLoad(options);
}
