#include "server/StatusServer.h"

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include <Poco/Data/Session.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/ThreadPool.h>

#include "clients/BaseClient.h"
#include "common/BaseContainers.h"
#include "common/MessageCounters.h"
#include "devices/Devices.h"
#include "host/IniFile.h"
#include "host/LogFile.h"
#include "server/RunReport.h"
#include "server/frmHidden.h"
#include "store/DbSession.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

constexpr int kWorkerThreads = 2;
constexpr int kMaxQueuedRequests = 64;

// The result codes named in the metrics; a code beyond them is counted under the last slot.
constexpr int kLastNamedCode = MSE_NO_DEVICE_FOR_CARRIER_TYPE;

int64_t FileSize(const std::filesystem::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

std::string Escape(const std::string& label) {
  std::string out;
  for (char c : label) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') { out += "\\n"; continue; }
    out += c;
  }
  return out;
}

class TMetricsText {
public:
  void Family(const char* name, const char* type, const char* help) {
    text_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  }
  void Sample(const std::string& name, int64_t value) { text_ << name << " " << value << "\n"; }
  void Sample(const std::string& name, const char* label, const std::string& labelValue,
              int64_t value) {
    text_ << name << "{" << label << "=\"" << Escape(labelValue) << "\"} " << value << "\n";
  }
  std::string Text() const { return text_.str(); }

private:
  std::ostringstream text_;
};

// Pending messages per carrier type, read on a connection of the metrics' own.
class TPendingReader {
public:
  std::optional<std::map<int32_t, int64_t>> Read(const std::filesystem::path& database) {
    std::lock_guard lock(mutex_);
    try {
      if (!session_) session_ = OpenDbSession(database);
      std::vector<int32_t> types;
      std::vector<int64_t> counts;
      *session_ << "SELECT CarrierType, COUNT(*) FROM Messages GROUP BY CarrierType "
                   "ORDER BY CarrierType",
          into(types), into(counts), now;
      std::map<int32_t, int64_t> pending;
      for (size_t i = 0; i < types.size(); ++i) pending[types[i]] = counts[i];
      return pending;
    } catch (const std::exception& e) {
      session_.reset();  // opened again at the next reading
      LogMessage("Status: reading the pending messages failed: " + ErrorText(e));
      return std::nullopt;
    }
  }

private:
  std::mutex mutex_;  // guards session_
  std::optional<Poco::Data::Session> session_;
};

std::mutex metricsMutex;  // guards the shared text
TPendingReader pendingReader;
std::string sharedMetrics;
std::chrono::steady_clock::time_point sharedMetricsTime;

std::string SharedMetrics(const std::filesystem::path& database) {
  std::lock_guard lock(metricsMutex);
  const auto nowTime = std::chrono::steady_clock::now();
  if (sharedMetrics.empty() ||
      nowTime - sharedMetricsTime >= std::chrono::milliseconds(kMetricsMaxAgeMs)) {
    sharedMetrics = BuildMetrics(database);
    sharedMetricsTime = nowTime;
  }
  return sharedMetrics;
}

class TStatusHandler : public Poco::Net::HTTPRequestHandler {
public:
  explicit TStatusHandler(std::filesystem::path database) : database_(std::move(database)) {}

  void handleRequest(Poco::Net::HTTPServerRequest& request,
                     Poco::Net::HTTPServerResponse& response) override {
    using Poco::Net::HTTPResponse;
    std::string body;
    const std::string path = request.getURI().substr(0, request.getURI().find('?'));
    if (request.getMethod() != "GET" && request.getMethod() != "HEAD") {
      response.setStatus(HTTPResponse::HTTP_METHOD_NOT_ALLOWED);
      body = "GET only\n";
    } else if (path == "/health") {
      const THealth health = CurrentHealth();
      response.setStatus(static_cast<HTTPResponse::HTTPStatus>(health.Status));
      body = health.Body + "\n";
    } else if (path == "/metrics") {
      body = SharedMetrics(database_);
      response.setContentType("text/plain; version=0.0.4; charset=utf-8");
    } else {
      response.setStatus(HTTPResponse::HTTP_NOT_FOUND);
      body = "not found; try /health or /metrics\n";
    }
    if (response.getContentType() == HTTPResponse::UNKNOWN_CONTENT_TYPE)
      response.setContentType("text/plain; charset=utf-8");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    std::ostream& out = response.send();
    if (request.getMethod() != "HEAD") out << body;
  }

private:
  const std::filesystem::path database_;
};

class TStatusHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
  explicit TStatusHandlerFactory(std::filesystem::path database)
      : database_(std::move(database)) {}
  Poco::Net::HTTPRequestHandler* createRequestHandler(
      const Poco::Net::HTTPServerRequest&) override {
    return new TStatusHandler(database_);  // the server owns and deletes each handler
  }

private:
  const std::filesystem::path database_;
};

} // namespace

TStatusSettings ReadStatusSettings(const TIniFile& ini) {
  TStatusSettings s;
  s.HttpPort = ini.ReadInteger("Status", "HttpPort", 0);
  if (s.HttpPort < 0 || s.HttpPort > 65535) s.HttpPort = 0;
  const std::string address = ini.ReadString("Status", "HttpAddress", "");
  if (!address.empty()) s.HttpAddress = address;
  return s;
}

TStatusServer::TStatusServer(const TStatusSettings& settings, std::filesystem::path database)
    : threads_(std::make_unique<Poco::ThreadPool>(1, kWorkerThreads)) {
  Poco::Net::ServerSocket socket(
      Poco::Net::SocketAddress(settings.HttpAddress, static_cast<uint16_t>(settings.HttpPort)));
  auto params = Poco::AutoPtr<Poco::Net::HTTPServerParams>(new Poco::Net::HTTPServerParams);
  params->setMaxThreads(kWorkerThreads);
  params->setMaxQueued(kMaxQueuedRequests);
  // One request per connection: a kept-alive connection holds one of the two workers for as
  // long as its client keeps it, and a third client would wait behind two idle ones.
  params->setKeepAlive(false);
  // A connection that sends nothing holds a worker this long at most.
  params->setTimeout(Poco::Timespan(2, 0));
  server_ = std::make_unique<Poco::Net::HTTPServer>(
      new TStatusHandlerFactory(std::move(database)), *threads_, socket, params);
  server_->start();
}

TStatusServer::~TStatusServer() {
  try {
    server_->stopAll(true);
  } catch (const std::exception& e) {
    LogMessage("Status: stopping the endpoint failed: " + ErrorText(e));
  }
  threads_->joinAll();
}

uint16_t TStatusServer::Port() const { return server_->port(); }

THealth CurrentHealth() {
  if (ServerStarting) return {503, "starting"};
  if (ServerStopping || ServerExiting || ProcessEnding) return {503, "stopping"};
  if (ServerRunning) return {200, "running"};
  return {503, "stopped"};
}

std::string BuildMetrics(const std::filesystem::path& database) {
  TMetricsText m;
  const TMessageCounters::TSnapshot counters = TMessageCounters::Instance().Snapshot();

  m.Family("voxmit_up", "gauge", "1 while the server runs and takes messages.");
  m.Sample("voxmit_up", CurrentHealth().Status == 200 ? 1 : 0);

  m.Family("voxmit_messages_accepted_total", "counter",
           "Messages stored and acknowledged to their client since the process started.");
  m.Sample("voxmit_messages_accepted_total", static_cast<int64_t>(counters.Stored));
  m.Family("voxmit_messages_sent_total", "counter", "Messages sent since the process started.");
  m.Sample("voxmit_messages_sent_total", static_cast<int64_t>(counters.Sent()));
  m.Family("voxmit_messages_failed_total", "counter",
           "Messages given up since the process started, by result code.");
  for (int code = 1; code <= kLastNamedCode; ++code)
    m.Sample("voxmit_messages_failed_total", "code", std::to_string(code),
             static_cast<int64_t>(counters.Finished[code]));
  uint64_t otherCodes = 0;
  for (int code = kLastNamedCode + 1; code < TMessageCounters::kCodes; ++code)
    otherCodes += counters.Finished[code];
  if (otherCodes > 0)
    m.Sample("voxmit_messages_failed_total", "code", "other", static_cast<int64_t>(otherCodes));

  // What only a running server has; nothing of it while no run is published.
  WithRunGauges([&m](const TRunGauges* run) {
    if (!run) return;
    int64_t depth = 0;
    if (run->Input) {
      run->Input->BeginRead();
      depth = run->Input->Count();
      run->Input->EndRead();
    }
    m.Family("voxmit_input_queue_depth", "gauge",
             "Messages received and waiting to be stored.");
    m.Sample("voxmit_input_queue_depth", depth);
    int64_t clients = 0;
    if (run->Clients) {
      run->Clients->BeginRead();
      clients = run->Clients->Count();
      run->Clients->EndRead();
    }
    m.Family("voxmit_connected_clients", "gauge", "Clients logged on.");
    m.Sample("voxmit_connected_clients", clients);
    if (run->Devices) {
      std::map<std::string, std::pair<int64_t, int64_t>> perKind;  // kind -> configured, in use
      for (int32_t i = 0; i < run->Devices->Count(); ++i) {
        const auto device = run->Devices->Items(i);
        auto& entry = perKind[device->TypeName];
        ++entry.first;
        if (!device->FreeEvent.IsSet()) ++entry.second;
      }
      m.Family("voxmit_devices", "gauge", "Devices loaded at the start, per kind.");
      for (const auto& [kind, counts] : perKind) m.Sample("voxmit_devices", "kind", kind, counts.first);
      m.Family("voxmit_devices_in_use", "gauge", "Devices held by a carrier channel, per kind.");
      for (const auto& [kind, counts] : perKind)
        m.Sample("voxmit_devices_in_use", "kind", kind, counts.second);
    }
  });

  if (const auto pending = pendingReader.Read(database)) {
    m.Family("voxmit_pending_messages", "gauge",
             "Stored messages not yet sent or given up, per carrier type.");
    for (const auto& [type, count] : *pending)
      m.Sample("voxmit_pending_messages", "carrier_type", std::to_string(type), count);
  }

  m.Family("voxmit_database_size_bytes", "gauge",
           "Size of the database file and its write-ahead log.");
  m.Sample("voxmit_database_size_bytes",
           FileSize(database) + FileSize(database.string() + "-wal"));
  return m.Text();
}

} // namespace voxmit
