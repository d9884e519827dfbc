// status-flood: requests a running server's status endpoint at a steady rate, to measure
// what monitoring costs the intake (run intake-load with and without it).
//
//   status-flood --port P [--host H] [--rate PER_SECOND] [--seconds S] [--path /metrics]
//                [--connections N]
//
// N keep-alive connections (default 4) share the rate; each request is sent at its planned
// time (a late one is caught up, so the average rate holds). Prints the requests answered,
// their rate, the failures and the 50th and 99th percentile answer times. A request whose
// kept-alive connection the server has closed meanwhile is sent again once on a new one.
// Exit code 0 when every request was answered with 200 or 503, 1 otherwise, 2 on bad usage.

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/NullStream.h>
#include <Poco/NumberParser.h>
#include <Poco/StreamCopier.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

struct TOptions {
  std::string Host = "127.0.0.1";
  int Port = 0;
  int Rate = 1000;
  int Seconds = 10;
  int Connections = 4;
  std::string Path = "/metrics";
};

const char* const kUsage =
    "usage: status-flood --port P [--host H] [--rate PER_SECOND] [--seconds S]\n"
    "                    [--path /metrics] [--connections N]\n";

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    int n = 0;
    const bool number = Poco::NumberParser::tryParse(value, n) && n > 0;
    if (arg == "--host") o.Host = value;
    else if (arg == "--path") o.Path = value;
    else if (!number) return false;
    else if (arg == "--port") o.Port = n;
    else if (arg == "--rate") o.Rate = n;
    else if (arg == "--seconds") o.Seconds = n;
    else if (arg == "--connections") o.Connections = n;
    else return false;
  }
  return o.Port > 0 && o.Port < 65536;
}

} // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (!ParseOptions(argc, argv, o)) {
    std::cerr << kUsage;
    return 2;
  }
  std::mutex mutex;
  std::vector<double> latenciesMs;
  std::atomic<int> failures{0};
  const auto start = TClock::now();
  const auto end = start + std::chrono::seconds(o.Seconds);
  const auto interval = std::chrono::nanoseconds(1'000'000'000LL * o.Connections / o.Rate);

  std::vector<std::thread> threads;
  for (int c = 0; c < o.Connections; ++c) {
    threads.emplace_back([&, c] {
      Poco::Net::HTTPClientSession session(o.Host, static_cast<uint16_t>(o.Port));
      session.setKeepAlive(true);
      session.setTimeout(Poco::Timespan(5, 0));
      std::vector<double> mine;
      auto next = start + interval * c / o.Connections;
      while (next < end) {
        std::this_thread::sleep_until(next);
        next += interval;  // a late wake-up is caught up, so the average rate holds
        const auto sent = TClock::now();
        for (int attempt = 1; attempt <= 2; ++attempt) {
          try {
            Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, o.Path,
                                           Poco::Net::HTTPMessage::HTTP_1_1);
            session.sendRequest(request);
            Poco::Net::HTTPResponse response;
            std::istream& in = session.receiveResponse(response);
            Poco::NullOutputStream sink;
            Poco::StreamCopier::copyStream(in, sink);
            if (response.getStatus() != 200 && response.getStatus() != 503) ++failures;
            mine.push_back(
                std::chrono::duration<double, std::milli>(TClock::now() - sent).count());
            break;
          } catch (const Poco::Exception&) {
            session.reset();
            if (attempt == 2) ++failures;
          }
        }
      }
      std::lock_guard lock(mutex);
      latenciesMs.insert(latenciesMs.end(), mine.begin(), mine.end());
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  std::sort(latenciesMs.begin(), latenciesMs.end());
  auto percentile = [&](double p) {
    return latenciesMs.empty() ? 0.0
                               : latenciesMs[static_cast<size_t>(p * (latenciesMs.size() - 1))];
  };
  std::printf("answered %zu requests in %.1f s (%.0f/s), %d failed; p50 %.2f ms, p99 %.2f ms\n",
              latenciesMs.size(), seconds, latenciesMs.size() / seconds, failures.load(),
              percentile(0.5), percentile(0.99));
  return failures == 0 ? 0 : 1;
}
