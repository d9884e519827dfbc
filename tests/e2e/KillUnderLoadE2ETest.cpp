// The built server killed with SIGKILL again and again while clients submit and results come
// back: every message the server acknowledged is still in the database afterwards, no client
// hears of a result twice, and the file passes SQLite's integrity check.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <Poco/Data/Session.h>
#include <gtest/gtest.h>

#include "store/DbSession.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

constexpr int kRounds = 20;
constexpr int kClients = 4;
constexpr int kOutstanding = 4;

// What one client heard over all rounds.
struct TClientLedger {
  std::string Guid = client::NewClientGuid();
  int NextRecord = 1;
  std::map<int, int> Acknowledged;  // client record ID -> row ID
  std::map<int, int> Results;       // client record ID -> times reported
};

// Submits and reads until the connection ends (the server was killed) or stop is set.
void RunClient(int port, TClientLedger& ledger, const std::atomic<bool>& stop) {
  try {
    TProtocolClient client(static_cast<std::uint16_t>(port));
    client.Logon(ledger.Guid, "kill test");
    const auto logon = client.ReadReply(10s);
    if (!logon || logon->Keyword != "LOGON_OK") return;
    int unanswered = 0;
    while (!stop && !client.PeerClosed()) {
      while (unanswered < kOutstanding) {
        const int record = ledger.NextRecord++;
        client.SendMessage(record, 8, "", "100", "kill test " + std::to_string(record));
        ++unanswered;
      }
      const auto reply = client.ReadReply(200ms);
      if (!reply || reply->Fields.empty()) continue;
      const int record = std::atoi(reply->Fields[0].c_str());
      if (reply->Keyword == "MESSAGE_ACCEPTED" && reply->Fields.size() == 2) {
        ledger.Acknowledged[record] = std::atoi(reply->Fields[1].c_str());
        --unanswered;
      } else if (reply->Keyword == "MESSAGE_ACCEPT_ERROR") {
        --unanswered;
      } else if (reply->Keyword == "MESSAGE_SENT" || reply->Keyword == "MESSAGE_SEND_ERROR") {
        ++ledger.Results[record];
      }
    }
  } catch (const Poco::Exception&) {
    // The server went away mid-write: this round is over for the client.
  }
}

TEST(KillUnderLoadE2E, AcknowledgedMessagesSurviveEveryKill) {
  std::signal(SIGPIPE, SIG_IGN);
  TempHome home(false);
  CreateTestDatabase(home.Path());
  {
    Poco::Data::Session db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '', 'net1')", now;
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '', 'net2')", now;
  }
  const int port = FreeTcpPort();
  home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                 "\n[Threads]\nSchedulerRequeryPeriod=200\n"
                                 "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=100\n");
  std::vector<TClientLedger> ledgers(kClients);
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> loadMs(200, 1200);
  const std::vector<std::string> args{"--headless", "--home", home.Path().string()};

  ::setenv("VOXMIT_TEST_CHANNELS", "8", 1);
  for (int round = 0; round < kRounds; ++round) {
    TServerProcess server(home.Path(), args);
    server.Start();
    ASSERT_TRUE(server.WaitForStdout("VoxmitServer - Running")) << server.Stderr();
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (auto& ledger : ledgers)
      clients.emplace_back([&] { RunClient(port, ledger, stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(loadMs(random)));
    server.Signal(SIGKILL);
    ASSERT_TRUE(server.WaitExit(30s).has_value());
    stop = true;
    for (auto& client : clients) client.join();
  }
  {
    // One clean run: the file opens, the waiting results go out, the stop is orderly.
    TServerProcess server(home.Path(), args);
    server.Start();
    ASSERT_TRUE(server.WaitForStdout("VoxmitServer - Running")) << server.Stderr();
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (auto& ledger : ledgers)
      clients.emplace_back([&] { RunClient(port, ledger, stop); });
    std::this_thread::sleep_for(2s);
    stop = true;
    for (auto& client : clients) client.join();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(60s), 0);
  }
  ::unsetenv("VOXMIT_TEST_CHANNELS");

  Poco::Data::Session db = OpenDbSession(home.File("ServerData.db"));
  std::string integrity;
  db << "PRAGMA integrity_check", into(integrity), now;
  EXPECT_EQ(integrity, "ok");
  // Every stored copy of a message, by (row ID, client record ID): read once, not one query
  // per acknowledged message (thousands, on tables without an index on ServerRecordID).
  std::map<std::pair<int, int>, int> copies;
  for (const char* sql : {"SELECT ID, ClientRecordID FROM Messages",
                          "SELECT ServerRecordID, ClientRecordID FROM SentMessages",
                          "SELECT ServerRecordID, ClientRecordID FROM ArchivedMessages"}) {
    std::vector<int> rows, records;
    db << sql, into(rows), into(records), now;
    for (size_t i = 0; i < rows.size(); ++i) ++copies[{rows[i], records[i]}];
  }
  size_t acknowledged = 0, reported = 0;
  for (const auto& ledger : ledgers) {
    for (const auto& [record, row] : ledger.Acknowledged) {
      const auto found = copies.find({row, record});
      EXPECT_EQ(found == copies.end() ? 0 : found->second, 1)
          << "record " << record << " acknowledged as row " << row;
    }
    for (const auto& [record, times] : ledger.Results)
      EXPECT_EQ(times, 1) << "result of record " << record << " reported " << times << " times";
    acknowledged += ledger.Acknowledged.size();
    reported += ledger.Results.size();
  }
  // The run must have done real work, or it proves nothing.
  EXPECT_GT(acknowledged, size_t(kRounds * kClients));
  EXPECT_GT(reported, size_t(kRounds));
  std::printf("%zu messages acknowledged, %zu results reported over %d kills\n", acknowledged,
              reported, kRounds);
}

} // namespace
} // namespace voxmit::test
