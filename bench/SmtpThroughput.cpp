// smtp-throughput: paging throughput by e-mail through one IP network device to a real SMTP
// server on loopback.
//
//   smtp-throughput [--messages N] [--mode channel|server] [--server PATH]
//
// The SMTP server is aiosmtpd (Debian's python3-aiosmtpd, tests/support/smtp_server.py,
// counting the mails it takes). The peer's own time comes first: N mails sent straight to it
// by a bare POCO SMTP session, one connection each, with the carrier's dialogue (greeting,
// EHLO, MAIL, RCPT, DATA, QUIT) and the carrier's mail. Then the gateway sends N messages:
//   channel (default): one TChannelSMTP run by its real worker, fed as the iterator feeds it;
//   server: the built server program (--server PATH, or $VOXMIT_SERVER_EXE) with one IP
//           network device in a temporary home; a client submits the N messages, each once
//           the previous one is accepted, and the run ends when every MESSAGE_SENT is in (storing, scheduling, sending, recording
//           and confirming included, every write durable). The scheduler period is 200 ms, or
//           $SMTP_BENCH_SCHEDULER_MS.
// The peer is timed again afterwards and the two peer runs averaged. Printed: messages per
// second of the peer alone and of the gateway, and the gateway's own time per message (its
// time per message less the peer's). Exit code 0 when every message was sent and the server
// took exactly N mails in the gateway run, 1 otherwise, 2 on bad usage.

#include <Poco/Data/Session.h>
#include <Poco/Environment.h>
#include <Poco/Net/SMTPClientSession.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "carriers/ChannelSMTP.h"
#include "channels/RegChannels.h"
#include "host/ServerSettings.h"
#include "store/DbSession.h"
#include "support/LocalSmtpServer.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace voxmit {
namespace {

using bench::TClock;
using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

constexpr const char* kPagerId = "gw@example.com,ops@example.com,,\"Disk full\"";

struct TOptions {
  int Messages = 500;
  bool ServerMode = false;
  std::string Server;
};

const char* const Usage =
    "usage: smtp-throughput [--messages N] [--mode channel|server] [--server PATH]\n";

bool ParseOptions(int argc, char** argv, TOptions& options) {
  std::string mode = "channel";
  const bool read = bench::TArgReader()
                        .Int("--messages", options.Messages)
                        .Text("--mode", mode)
                        .Text("--server", options.Server)
                        .Read(argc, argv);
  options.ServerMode = mode == "server";
  return read && (mode == "channel" || mode == "server") && options.Messages > 0;
}

int SchedulerPeriodMs() {
  const char* value = std::getenv("SMTP_BENCH_SCHEDULER_MS");
  return value ? std::atoi(value) : 200;
}

std::string Text(int n) { return "Message " + std::to_string(n) + ": disk 3 of server 12 is full"; }

// The peer alone: seconds for n mails, one connection each.
double PeerSeconds(uint16_t port, int n) {
  smtp::TMailFields fields;
  smtp::ParsePagerID(kPagerId, fields);
  const std::string hostName = Poco::Environment::nodeName();
  const auto start = TClock::now();
  for (int i = 1; i <= n; ++i) {
    Poco::Net::StreamSocket socket;
    socket.connect(Poco::Net::SocketAddress("127.0.0.1", port));
    socket.setNoDelay(true);  // as the carrier's socket
    Poco::Net::SMTPClientSession session(socket);
    session.login(hostName);
    session.sendMessage(*smtp::ComposeMail(fields, Text(i)));
    session.close();
  }
  return std::chrono::duration<double>(TClock::now() - start).count();
}

// One channel with its worker: seconds until n results are back; false in ok on a failure.
double ChannelSeconds(uint16_t port, int n, bool& ok) {
  settings::AddDateToMsg = false;
  // Held until the queue is full, so the run starts with work.
  auto device = bench::MakeHeldDevice(TNDeviceRow{.ID = 1,
                                                  .TypeName = "IP network",
                                                  .SettingsData = "127.0.0.1,1,0",
                                                  .DeviceKind = DK_IP_NETWORK,
                                                  .Name = "Net1"});
  auto list = std::make_shared<TNChannelsList>();
  const auto cls = MakeChannelClass<TChannelSMTP>("TChannelSMTP");
  auto channel = cls->Create(list, CT_SMTP, 1, "127.0.0.1," + std::to_string(port) + ",1,,", device);
  if (!channel) {
    ok = false;
    return 0;
  }
  const int inputLimit = TChannelSMTP::GetBufferLimits().Input;
  int enqueued = 0;
  std::vector<std::shared_ptr<TNBaseChannelMessage>> results;
  const auto topUp = [&] {
    while (enqueued < n && enqueued - static_cast<int>(results.size()) < inputLimit) {
      ++enqueued;
      channel->EnqueueMessage(enqueued, kPagerId, Text(enqueued), 0);
    }
  };
  topUp();
  const auto start = TClock::now();
  device->FreeEvent.Set();
  const auto deadline = start + std::chrono::seconds(60 + n / 10);
  while (static_cast<int>(results.size()) < n && TClock::now() < deadline) {
    while (auto part = channel->DequeueResult()) results.push_back(std::move(part));
    topUp();
    std::this_thread::sleep_for(200us);
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  for (const auto& part : results) ok = ok && part->Taken && part->SendError == MSE_OK;
  ok = ok && static_cast<int>(results.size()) == n;
  bench::CloseChannels({channel});
  return seconds;
}

// The server program: seconds from the first submission until every MESSAGE_SENT is in.
// Also printed: when every MESSAGE_ACCEPTED was in and when the SMTP server had every mail.
double ServerSeconds(const test::TLocalSmtpServer& smtp, int n, bool& ok) {
  const uint16_t smtpPort = smtp.Port();
  const int mailsBefore = smtp.Count();
  test::TempHome home(false);
  test::CreateTestDatabase(home.Path());
  const int port = test::FreeTcpPort();
  home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                 "\n[Threads]\nSchedulerRequeryPeriod=" + std::to_string(SchedulerPeriodMs()) + "\n");
  {
    int32_t typeNo = 4;
    std::string settings = "127.0.0.1,1,0";
    std::string name = "Net1";
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
        use(settings), use(name), now;
  }
  test::TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
  server.Start();
  if (!server.WaitForStdout("VoxmitServer - Running")) {
    std::fprintf(stderr, "the server did not start: %s\n", server.Stderr().c_str());
    ok = false;
    return 0;
  }
  test::TProtocolClient client(static_cast<uint16_t>(port));
  client.Logon(client::NewClientGuid(), "smtp-throughput");
  const auto logon = client.ReadReply(10s);
  if (!logon || logon->Keyword != "LOGON_OK") {
    ok = false;
    return 0;
  }
  const std::string settings = "127.0.0.1," + std::to_string(smtpPort) + ",1,,";
  int accepted = 0, sent = 0, failed = 0;
  double allAccepted = 0, allMailed = 0;
  const auto start = TClock::now();
  const auto since = [&] { return std::chrono::duration<double>(TClock::now() - start).count(); };
  const auto deadline = start + std::chrono::seconds(60 + n / 2);
  const auto take = [&](std::chrono::milliseconds wait) {
    if (allMailed == 0 && smtp.Count() - mailsBefore >= n) allMailed = since();
    const auto reply = client.ReadReply(wait);
    if (!reply) return;
    if (reply->Keyword == "MESSAGE_ACCEPTED" && ++accepted == n) allAccepted = since();
    else if (reply->Keyword == "MESSAGE_SENT") ++sent;
    else if (reply->Keyword == "MESSAGE_SEND_ERROR") ++failed;
  };
  // Each message waits for its acceptance before the next goes, as a careful client does: the
  // server's frame reader drops a frame whose start marker a read happens to split, which a
  // stream of back-to-back frames meets every few kilobytes.
  for (int i = 1; i <= n && TClock::now() < deadline; ++i) {
    client.SendMessage(i, CT_SMTP, settings, kPagerId, Text(i));
    while (accepted < i && TClock::now() < deadline) take(1s);
  }
  while (sent + failed < n && TClock::now() < deadline) take(20ms);
  const double seconds = since();
  if (allMailed == 0 && test::WaitUntil([&] { return smtp.Count() - mailsBefore >= n; }, 10s))
    allMailed = since();
  std::printf("  server run: every MESSAGE_ACCEPTED after %.3f s, every mail at the SMTP server "
              "after %.3f s, every MESSAGE_SENT after %.3f s\n", allAccepted, allMailed, seconds);
  ok = ok && accepted == n && sent == n;
  if (!ok) std::fprintf(stderr, "accepted %d, sent %d, failed %d of %d\n", accepted, sent, failed, n);
  server.Signal(SIGTERM);
  server.WaitExit(60s);
  return seconds;
}

int Run(const TOptions& options) {
  if (!options.Server.empty()) ::setenv("VOXMIT_SERVER_EXE", options.Server.c_str(), 1);
  test::TempHome folder(false);
  test::TLocalSmtpServer::Options smtpOptions;
  smtpOptions.Quiet = true;
  smtpOptions.OfferAuth = false;
  test::TLocalSmtpServer smtp(folder.Path(), smtpOptions);
  const int n = options.Messages;

  PeerSeconds(smtp.Port(), std::min(n, 50));  // warm-up
  const double peerBefore = PeerSeconds(smtp.Port(), n);
  const int before = smtp.Count();
  bool ok = true;
  const double gateway = options.ServerMode ? ServerSeconds(smtp, n, ok)
                                            : ChannelSeconds(smtp.Port(), n, ok);
  test::WaitUntil([&] { return smtp.Count() - before >= n; }, 10s);
  const int mails = smtp.Count() - before;
  const double peerAfter = PeerSeconds(smtp.Port(), n);
  const double peer = (peerBefore + peerAfter) / 2;

  std::printf("smtp-throughput: %d messages, mode %s\n", n, options.ServerMode ? "server" : "channel");
  std::printf("  peer alone      %8.1f mails/s   %7.3f ms per mail (runs: %.3f s, %.3f s)\n",
              n / peer, 1000 * peer / n, peerBefore, peerAfter);
  std::printf("  gateway         %8.1f msgs/s    %7.3f ms per message (%.3f s)\n", n / gateway,
              1000 * gateway / n, gateway);
  std::printf("  gateway's own time per message: %.3f ms\n", 1000 * (gateway - peer) / n);
  if (mails != n) {
    std::fprintf(stderr, "the SMTP server took %d mails, not %d\n", mails, n);
    ok = false;
  }
  return ok ? 0 : 1;
}

} // namespace
} // namespace voxmit

int main(int argc, char** argv) {
  voxmit::TOptions options;
  const bool parsed = voxmit::ParseOptions(argc, argv, options);
  return voxmit::bench::BenchMain("smtp-throughput", voxmit::Usage, parsed,
                                  [&] { return voxmit::Run(options); });
}
