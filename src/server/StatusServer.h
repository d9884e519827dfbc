#pragma once
// The status endpoint: a small HTTP server for monitoring, off unless [Status] HttpPort in
// Settings.ini names a port. It listens on [Status] HttpAddress (default 127.0.0.1, loopback
// only) and serves
//   GET /health   200 "running" while the server runs; 503 "starting", "stopping" or
//                 "stopped" otherwise
//   GET /metrics  the Prometheus text format (version 0.0.4): messages stored, sent and failed
//                 by result code, the input queue depth, pending messages per carrier type,
//                 devices and devices in use per kind, connected clients, the database size
// and 404 for anything else.
//
// A flood of requests must not slow the intake: two worker threads serve every request, the
// metrics text is built at most once per kMetricsMaxAgeMs and shared, and a request holds no
// lock the intake needs for longer than one count.
//
// Threads: construct and destroy on the UI thread; the requests run on the server's own
// threads. The destructor stops the listener and waits for requests in progress.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace Poco {
class ThreadPool;
namespace Net {
class HTTPServer;
}
} // namespace Poco

namespace voxmit {

class TIniFile;

inline constexpr int32_t kMetricsMaxAgeMs = 500;

struct TStatusSettings {
  int32_t HttpPort = 0;  // 0: no endpoint
  std::string HttpAddress = "127.0.0.1";
};
// [Status] HttpPort and HttpAddress; a port outside 0 to 65535 reads as 0.
TStatusSettings ReadStatusSettings(const TIniFile& ini);

class TStatusServer {
public:
  // Listens at once. Throws Poco::Exception when the address cannot be bound.
  TStatusServer(const TStatusSettings& settings, std::filesystem::path database);
  ~TStatusServer();
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  uint16_t Port() const;

private:
  std::unique_ptr<Poco::ThreadPool> threads_;  // outlives server_, which runs on it
  std::unique_ptr<Poco::Net::HTTPServer> server_;
};

// The /health answer: HTTP status and body, from the lifecycle flags.
struct THealth {
  int Status;
  std::string Body;
};
THealth CurrentHealth();

// Set when the process is about to stop the server and end (SIGTERM, SIGINT): /health says
// "stopping" from then on, also during the second the shutdown notice is given before the stop
// sequence sets ServerStopping. Any thread.
inline std::atomic<bool> ProcessEnding{false};

// The /metrics text, built now (the endpoint shares it for kMetricsMaxAgeMs).
std::string BuildMetrics(const std::filesystem::path& database);

} // namespace voxmit
