// connection-load: how a well-behaved client fares while other connections misbehave.
//
//   connection-load --port P --mode churn [--rate R] [--seconds S] [--idle-seconds I]
//   connection-load --port P --mode flood [--seconds S] [--idle-seconds I]
//   connection-load --port P --mode idle --pid SERVER_PID [--connections N] [--seconds S]
//
// churn  R connections a second (default 1000) are opened and closed at once, for S seconds,
//        while a probe client every 100 ms connects, logs on and submits one message: the
//        time from its connect to the MESSAGE_ACCEPTED, and the acceptance time of a client
//        that stays logged on and submits one message after another, are reported for an
//        idle phase of I seconds (default 3) and for the churn.
// flood  one client logs on and writes messages as fast as it can without ever reading its
//        replies; the acceptance time of a second client (one message after another) is
//        reported for an idle phase and for the flood, with the ratio of their p99.
// idle   N connections (default 400) are opened and held idle for S seconds (default 10);
//        the server's CPU time over the hold is read from /proc/PID/stat. Then they are
//        closed, and a client must log on and get a message accepted within 10 s. Run it
//        against a server started with a low descriptor limit (prlimit --nofile=256).
//
// Exit code 0 when every probe was served, 1 otherwise, 2 on bad usage. Loopback only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/NumberParser.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/ClientProtocol.h"

namespace voxmit {
namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using client::TClientConnection;

struct TOptions {
  std::string Mode;
  int Port = 0;
  int Rate = 1000;
  int Seconds = 10;
  int IdleSeconds = 3;
  int Connections = 400;
  int Pid = 0;
};

const char* const Usage =
    "usage: connection-load --port P --mode churn [--rate R] [--seconds S] [--idle-seconds I]\n"
    "       connection-load --port P --mode flood [--seconds S] [--idle-seconds I]\n"
    "       connection-load --port P --mode idle --pid SERVER_PID [--connections N]"
    " [--seconds S]\n";

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--mode") {
      o.Mode = value;
      continue;
    }
    int n = 0;
    if (!Poco::NumberParser::tryParse(value, n)) return false;
    if (arg == "--port") o.Port = n;
    else if (arg == "--rate") o.Rate = n;
    else if (arg == "--seconds") o.Seconds = n;
    else if (arg == "--idle-seconds") o.IdleSeconds = n;
    else if (arg == "--connections") o.Connections = n;
    else if (arg == "--pid") o.Pid = n;
    else return false;
  }
  if (o.Port <= 0 || o.Port > 65535 || o.Seconds <= 0 || o.IdleSeconds < 0) return false;
  if (o.Mode == "churn") return o.Rate > 0;
  if (o.Mode == "flood") return true;
  if (o.Mode == "idle") return o.Pid > 0 && o.Connections > 0;
  return false;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

double Ms(TClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Nearest-rank percentile.
double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

void PrintLatencies(const char* what, const std::vector<double>& ms, int failed) {
  std::printf("%s: %zu samples, p50 %.2f ms, p99 %.2f ms, max %.2f ms, failed %d\n", what,
              ms.size(), Percentile(ms, 0.50), Percentile(ms, 0.99),
              ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()), failed);
}

// Waits for the acceptance (or refusal) of record id, passing over other replies.
bool AwaitAcceptance(TClientConnection& c, int id, std::chrono::milliseconds timeout) {
  const std::string record = std::to_string(id);
  const auto deadline = TClock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    if (left <= 0ms) return false;
    const auto reply = c.ReadReply(left);
    if (!reply) return false;
    if (!reply->Fields.empty() && reply->Fields[0] == record &&
        (reply->Keyword == "MESSAGE_ACCEPTED" || reply->Keyword == "MESSAGE_ACCEPT_ERROR"))
      return true;
  }
}

std::unique_ptr<TClientConnection> LogOn(int port, const std::string& name) {
  auto c = std::make_unique<TClientConnection>("127.0.0.1", static_cast<std::uint16_t>(port), 10s);
  c->Logon(client::NewClientGuid(), name);
  const auto reply = c->ReadReply(10s);
  if (!reply || reply->Keyword != "LOGON_OK") return nullptr;
  return c;
}

void Submit(TClientConnection& c, int id) {
  c.SendMessage(id, 5, "load-test", "1000", "Probe message " + std::to_string(id));
}

// A client that stays logged on and submits one message after the other's acceptance,
// recording each acceptance time into the current phase's list.
class TSteadyClient {
public:
  explicit TSteadyClient(int port) : port_(port) {}

  void Start() {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  void Stop() { thread_.request_stop(); thread_.join(); }
  // Starts a new phase; returns the samples of the one before.
  std::pair<std::vector<double>, int> NextPhase() {
    std::lock_guard lock(mutex_);
    std::pair<std::vector<double>, int> done{std::move(samples_), failed_};
    samples_.clear();
    failed_ = 0;
    return done;
  }

private:
  void Run(std::stop_token stop) {
    std::unique_ptr<TClientConnection> c;
    int id = 0;
    while (!stop.stop_requested()) {
      try {
        if (!c) c = LogOn(port_, "steady client");
        if (!c) throw Poco::Exception("logon failed");
        const auto sent = TClock::now();
        Submit(*c, ++id);
        const bool ok = AwaitAcceptance(*c, id, 30s);
        std::lock_guard lock(mutex_);
        if (ok) samples_.push_back(Ms(TClock::now() - sent));
        else ++failed_;
        if (!ok) c.reset();
      } catch (const Poco::Exception& e) {
        std::lock_guard lock(mutex_);
        ++failed_;
        c.reset();
        std::this_thread::sleep_for(100ms);
      }
      std::this_thread::sleep_for(5ms);
    }
  }

  const int port_;
  std::mutex mutex_;
  std::vector<double> samples_;
  int failed_ = 0;
  std::jthread thread_;
};

// Every 100 ms a new client connects, logs on and submits one message; records the time from
// the connect to the LOGON_OK (the accept and hand-off alone, no database write) and to the
// acceptance.
class TFreshProbe {
public:
  explicit TFreshProbe(int port) : port_(port) {}
  void Start() {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  void Stop() { thread_.request_stop(); thread_.join(); }
  // The connect-to-acceptance times and failures of the phase, and its connect-to-logon times.
  std::pair<std::vector<double>, int> NextPhase(std::vector<double>& logons) {
    std::lock_guard lock(mutex_);
    std::pair<std::vector<double>, int> done{std::move(samples_), failed_};
    logons = std::move(logons_);
    samples_.clear();
    logons_.clear();
    failed_ = 0;
    return done;
  }

private:
  void Run(std::stop_token stop) {
    auto next = TClock::now();
    while (!stop.stop_requested()) {
      std::this_thread::sleep_until(next);
      next += 100ms;
      const auto start = TClock::now();
      bool ok = false;
      double logonMs = -1;
      try {
        if (auto c = LogOn(port_, "probe client")) {
          logonMs = Ms(TClock::now() - start);
          Submit(*c, 1);
          ok = AwaitAcceptance(*c, 1, 30s);
        }
      } catch (const Poco::Exception&) {
      }
      std::lock_guard lock(mutex_);
      if (logonMs >= 0) logons_.push_back(logonMs);
      if (ok) samples_.push_back(Ms(TClock::now() - start));
      else ++failed_;
    }
  }

  const int port_;
  std::mutex mutex_;
  std::vector<double> samples_;
  std::vector<double> logons_;
  int failed_ = 0;
  std::jthread thread_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Opens and closes connections at the rate, over a few threads; returns how many were made.
long Churn(int port, int rate, int seconds) {
  constexpr int kThreads = 4;
  std::atomic<long> made{0};
  const auto start = TClock::now();
  const auto end = start + std::chrono::seconds(seconds);
  const auto period = std::chrono::nanoseconds(1'000'000'000LL * kThreads / rate);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        auto next = start + period * t / kThreads;
        const sockaddr_in addr = Loopback(port);
        while (next < end) {
          std::this_thread::sleep_until(next);
          next += period;
          const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          if (fd < 0) continue;
          if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) ++made;
          ::close(fd);
        }
      });
  }
  return made;
}

int RunChurn(const TOptions& o) {
  TSteadyClient steady(o.Port);
  TFreshProbe fresh(o.Port);
  steady.Start();
  fresh.Start();
  std::this_thread::sleep_for(std::chrono::seconds(o.IdleSeconds));
  std::vector<double> idleLogons, churnLogons;
  const auto idleSteady = steady.NextPhase();
  const auto idleFresh = fresh.NextPhase(idleLogons);
  const auto start = TClock::now();
  const long made = Churn(o.Port, o.Rate, o.Seconds);
  const double took = std::chrono::duration<double>(TClock::now() - start).count();
  const auto churnSteady = steady.NextPhase();
  const auto churnFresh = fresh.NextPhase(churnLogons);
  steady.Stop();
  fresh.Stop();
  std::printf("churn: %ld connections opened and closed in %.2f s (%.0f a second, asked %d)\n",
              made, took, made / took, o.Rate);
  PrintLatencies("idle, logged-on client, acceptance", idleSteady.first, idleSteady.second);
  PrintLatencies("idle, new client, connect to LOGON_OK", idleLogons, 0);
  PrintLatencies("idle, new client, connect to acceptance", idleFresh.first, idleFresh.second);
  PrintLatencies("churn, logged-on client, acceptance", churnSteady.first, churnSteady.second);
  PrintLatencies("churn, new client, connect to LOGON_OK", churnLogons, 0);
  PrintLatencies("churn, new client, connect to acceptance", churnFresh.first,
                 churnFresh.second);
  return churnSteady.second == 0 && churnFresh.second == 0 ? 0 : 1;
}

// Logs on and writes messages without ever reading. Its write blocks once the server stops
// reading it; the thread is never joined: the benchmark ends the process.
class TFlooder {
public:
  explicit TFlooder(int port) : c_(LogOn(port, "flooder")) {}
  bool LoggedOn() const { return c_ != nullptr; }
  void Start() { std::thread([this] { Run(); }).detach(); }
  long Sent() const { return sent_; }

private:
  void Run() {
    std::string batch;
    for (int id = 1; id <= 100; ++id)
      batch += client::MakeFrame(client::MessageBody(id, 5, "load-test", "1000", "Flood"));
    try {
      for (;;) {
        c_->SendRaw(batch);
        sent_ += 100;
      }
    } catch (const Poco::Exception&) {
      // The server gave the flooder up.
    }
  }

  std::unique_ptr<TClientConnection> c_;
  std::atomic<long> sent_{0};
};

int RunFlood(const TOptions& o) {
  TSteadyClient steady(o.Port);
  steady.Start();
  std::this_thread::sleep_for(std::chrono::seconds(o.IdleSeconds));
  const auto idle = steady.NextPhase();
  TFlooder flooder(o.Port);
  if (!flooder.LoggedOn()) {
    std::fprintf(stderr, "the flooder could not log on\n");
    return 1;
  }
  std::printf("flooder logged on\n");
  flooder.Start();
  std::this_thread::sleep_for(std::chrono::seconds(o.Seconds));
  const auto flood = steady.NextPhase();
  steady.Stop();
  std::printf("flood: %ld messages written by the flooder in %d s\n", flooder.Sent(),
              o.Seconds);
  PrintLatencies("idle, acceptance", idle.first, idle.second);
  PrintLatencies("flood, acceptance", flood.first, flood.second);
  const double idleP99 = Percentile(idle.first, 0.99);
  const double floodP99 = Percentile(flood.first, 0.99);
  std::printf("p99 flood / idle: %.1f\n", idleP99 > 0 ? floodP99 / idleP99 : 0.0);
  std::fflush(stdout);
  // Ending the process closes the flooder's connection and ends its blocked write.
  std::_Exit(flood.second == 0 ? 0 : 1);
}

// utime + stime of the process in seconds.
double CpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int RunIdle(const TOptions& o) {
  std::vector<int> fds;
  const sockaddr_in addr = Loopback(o.Port);
  for (int i = 0; i < o.Connections; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      continue;
    }
    fds.push_back(fd);
  }
  std::printf("%zu idle connections open\n", fds.size());
  std::this_thread::sleep_for(1s);
  const double before = CpuSeconds(o.Pid);
  std::this_thread::sleep_for(std::chrono::seconds(o.Seconds));
  const double after = CpuSeconds(o.Pid);
  std::printf("server CPU time over %d s of exhaustion: %.2f s\n", o.Seconds, after - before);
  for (int fd : fds) ::close(fd);
  const auto start = TClock::now();
  bool served = false;
  while (!served && TClock::now() - start < 10s) {
    try {
      if (auto c = LogOn(o.Port, "after exhaustion")) {
        Submit(*c, 1);
        served = AwaitAcceptance(*c, 1, 10s);
      }
    } catch (const Poco::Exception&) {
      std::this_thread::sleep_for(100ms);
    }
  }
  std::printf("normal client after the close: %s (%.0f ms)\n", served ? "served" : "NOT served",
              Ms(TClock::now() - start));
  return served ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  if (!voxmit::ParseOptions(argc, argv, options)) {
    std::cerr << voxmit::Usage;
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  voxmit::RaiseDescriptorLimit();
  if (options.Mode == "churn") return voxmit::RunChurn(options);
  if (options.Mode == "flood") return voxmit::RunFlood(options);
  return voxmit::RunIdle(options);
}
