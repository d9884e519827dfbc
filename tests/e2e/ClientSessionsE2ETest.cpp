// The built server as a process, driven over TCP by the independent test client: logon,
// message intake, send results reported back, the stop sequence, and hostile input.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Data/Session.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include "store/DbSession.h"
#include "store/DbTime.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;
using voxmit::test::TProtocolClient;

namespace voxmit::test {
namespace {

const std::string kTapSettings = "\"5551234,8N1,TAP carrier\"";

std::string Frame(const std::string& body) { return "\r\n\r" + body + "\r\v\r"; }

// A result row as the dispatch side writes it.
struct TResultRow {
  std::string guid;
  int32_t clientRecordID;
  int32_t serverRecordID;
  int32_t errorCode;
  std::string timeSent;
};

class ClientSessionsE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSentConfirmationsRequeryPeriod=300\n" +
                                   extraThreadSettings);
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
  }

  std::unique_ptr<TProtocolClient> Connect() {
    return std::make_unique<TProtocolClient>(static_cast<uint16_t>(port));
  }

  // A connected client that has logged on with guid.
  std::unique_ptr<TProtocolClient> LoggedOn(const std::string& guid) {
    auto client = Connect();
    client->Logon(guid, "Test client");
    auto reply = client->ReadReply(10s);
    EXPECT_TRUE(reply && reply->Keyword == "LOGON_OK") << (reply ? reply->Body : "no reply");
    return client;
  }

  Poco::Data::Session Db() { return OpenDbSession(home.File("ServerData.db")); }

  int32_t InsertResult(const TResultRow& row) {
    auto db = Db();
    db << "INSERT INTO SentMessages (ClientGUID, ClientRecordID, ServerRecordID, CarrierType, "
          "CarrierID, TimeReceived, ReceiveConfirmed, TimeSent, SendConfirmed, ErrorCode, "
          "PagerID, MessageText) VALUES (?, ?, ?, 1, 1, ?, 1, ?, 0, ?, '555', 'text')",
        bind(row.guid), bind(row.clientRecordID), bind(row.serverRecordID), bind(row.timeSent),
        bind(row.timeSent), bind(row.errorCode), now;
    int32_t id = 0;
    db << "SELECT last_insert_rowid()", into(id), now;
    return id;
  }

  int32_t CountRows(const std::string& sql) {
    int32_t count = 0;
    auto db = Db();
    db << sql, into(count), now;
    return count;
  }

  // More lines for the [Threads] section, set by a test's constructor.
  std::string extraThreadSettings;
  TempHome home{false};
  int port = 0;
  std::unique_ptr<TServerProcess> server;
};

TEST_F(ClientSessionsE2E, WorkedExchangeStoresTheMessageAndAnswersEachStep) {
  const std::string guid = client::NewClientGuid();
  auto client = LoggedOn(guid);

  client->SendRaw(Frame("MESSAGE,17,1," + kTapSettings + ",5550100,\"Call the desk, \"\"now\"\"\""));
  auto accepted = client->ReadReply(10s);
  ASSERT_TRUE(accepted);
  ASSERT_EQ(accepted->Keyword, "MESSAGE_ACCEPTED");
  ASSERT_EQ(accepted->Fields.size(), 2u);
  EXPECT_EQ(accepted->Fields[0], "17");
  const int32_t rowID = std::stoi(accepted->Fields[1]);

  std::string rowGuid, pager, text;
  int32_t clientRecordID = 0, carrierType = 0, carrierID = 0, receiveConfirmed = 0;
  Db() << "SELECT ClientGUID, ClientRecordID, CarrierType, CarrierID, PagerID, MessageText, "
          "ReceiveConfirmed FROM Messages WHERE ID = ?",
      bind(rowID), into(rowGuid), into(clientRecordID), into(carrierType), into(carrierID),
      into(pager), into(text), into(receiveConfirmed), now;
  EXPECT_EQ(rowGuid, guid);
  EXPECT_EQ(clientRecordID, 17);
  EXPECT_EQ(carrierType, 1);
  EXPECT_EQ(pager, "5550100");
  EXPECT_EQ(text, "Call the desk, \"now\"");
  EXPECT_EQ(receiveConfirmed, 1);
  // The carrier the message was given is written by the new-carrier thread.
  EXPECT_TRUE(WaitUntil([&] {
    return CountRows("SELECT COUNT(*) FROM Carriers WHERE CarrierID = " +
                     std::to_string(carrierID) +
                     " AND CarrierType = 1 AND CarrierData = '5551234,8N1,TAP carrier'") == 1;
  }));

  client->SendRaw(Frame("MESSAGE,17,1,5550100"));
  auto refused = client->ReadReply(10s);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->Keyword, "MESSAGE_ACCEPT_ERROR");
  EXPECT_EQ(refused->Data, "17,1,Formatting Error");
}

TEST_F(ClientSessionsE2E, RequestsCountOnlyInTheirLogonState) {
  // LOGON and MESSAGE in one segment: both handled, in order.
  auto both = Connect();
  both->SendRaw(Frame("LOGON," + client::NewClientGuid() + ",one") +
                Frame("MESSAGE,5,1,abc,555,hello"));
  auto first = both->ReadReply(10s);
  auto second = both->ReadReply(10s);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Keyword, "LOGON_OK");
  EXPECT_EQ(second->Keyword, "MESSAGE_ACCEPTED");
  EXPECT_EQ(second->Fields.at(0), "5");

  // A second LOGON is ignored; the session goes on.
  both->Logon(client::NewClientGuid(), "again");
  EXPECT_TRUE(both->ExpectNoReply(500ms));

  // A MESSAGE before LOGON, an unknown keyword and a lower-case logon get no reply; a proper
  // logon afterwards still works.
  auto early = Connect();
  early->SendRaw(Frame("MESSAGE,6,1,abc,555,hello") + Frame("HELLO,1") +
                 Frame("logon,x,y") + Frame(""));
  EXPECT_TRUE(early->ExpectNoReply(500ms));
  early->Logon(client::NewClientGuid(), "late");
  auto ok = early->ReadReply(10s);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Keyword, "LOGON_OK");
}

TEST_F(ClientSessionsE2E, MalformedLogonIsDeniedAndClosed) {
  for (const std::string body : {"LOGON,{only-guid}", "LOGON,a,b,c"}) {
    auto client = Connect();
    client->SendRaw(Frame(body));
    auto reply = client->ReadReply(10s);
    ASSERT_TRUE(reply) << body;
    EXPECT_EQ(reply->Body, "LOGON_DENIED,4,\"Wrong LogOn Message Format\"") << body;
    EXPECT_TRUE(client->Closed()) << body;
  }
}

TEST_F(ClientSessionsE2E, ZeroByteCutsTheChunk) {
  auto client = Connect();
  // One write: the MESSAGE after the zero byte is dropped with the rest of that read.
  client->SendRaw(Frame("LOGON," + client::NewClientGuid() + ",z") + std::string(1, '\0') +
                  Frame("MESSAGE,8,1,abc,555,hello"));
  auto ok = client->ReadReply(10s);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Keyword, "LOGON_OK");
  EXPECT_TRUE(client->ExpectNoReply(500ms));
  client->SendRaw(Frame("MESSAGE,8,1,abc,555,hello"));
  auto accepted = client->ReadReply(10s);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->Keyword, "MESSAGE_ACCEPTED");
}

// A zero byte ends the frame it stands in and the rest of its read, nothing more: the
// client's next frame, in a later read, is answered.
TEST_F(ClientSessionsE2E, ZeroByteEndsOnlyTheFrameItStandsIn) {
  const std::string nul(1, '\0');
  const std::string next = Frame("MESSAGE,17,1,abc,555,hello");
  struct Case {
    const char* name;
    std::vector<std::string> writes;  // each one read by the server before the next
  };
  const Case cases[] = {
      {"in a frame, with a whole frame after it",
       {"\r\n\rMESSAGE,16,1,abc,555,he" + nul + "llo\r\v\r" + next}},
      {"in a frame begun in an earlier read",
       {"\r\n\rMESSAGE,16,1,abc,555,he", "l" + nul + "lo\r\v\r" + next}},
      {"inside the end marker", {"\r\n\rMESSAGE,16,1,abc,555,hello\r\v" + nul + "\r" + next}},
  };
  for (const Case& c : cases) {
    const std::string guid = client::NewClientGuid();
    auto client = LoggedOn(guid);
    for (const std::string& bytes : c.writes) {
      client->SendRaw(bytes);
      EXPECT_TRUE(client->ExpectNoReply(500ms)) << c.name;
    }
    client->SendRaw(Frame("MESSAGE,18,1,abc,555,hello"));
    auto reply = client->ReadReply(10s);
    ASSERT_TRUE(reply) << c.name;
    EXPECT_EQ(reply->Keyword, "MESSAGE_ACCEPTED") << c.name << ": " << reply->Body;
    EXPECT_EQ(reply->Fields.at(0), "18") << c.name;
    EXPECT_EQ(CountRows("SELECT COUNT(*) FROM Messages WHERE ClientGUID = '" + guid + "'"), 1)
        << c.name;
  }
}

// The scheduler makes its first pass at start and no other while the test runs, so the
// messages stay in Messages: without a device for their carrier type it would finish each one
// and its result would be claimed and reported, a commit more per message on the same file.
class ClientSessionsQuietSchedulerE2E : public ClientSessionsE2E {
protected:
  ClientSessionsQuietSchedulerE2E() { extraThreadSettings = "SchedulerRequeryPeriod=600000\n"; }
};

// A client that does not wait: 10,000 messages written back to back in small pieces with
// Nagle off, so the server's reads end anywhere, inside start markers too. The replies are
// read on this thread while another writes. Each message is a committed transaction of its
// own before it is acknowledged, so the time this takes follows the disk's sync latency.
TEST_F(ClientSessionsQuietSchedulerE2E, PipelinedMessagesAreEachAcceptedOnceWhereverReadsEnd) {
  constexpr int kMessages = 10000;
  const std::string guid = client::NewClientGuid();
  Poco::Net::StreamSocket socket(
      Poco::Net::SocketAddress("127.0.0.1", static_cast<uint16_t>(port)));
  socket.setNoDelay(true);
  client::TFrameCutter cutter;
  // The next reply, or nothing after 30 s without one.
  auto readReply = [&]() -> std::optional<TReply> {
    char buffer[8192];
    for (;;) {
      if (auto body = cutter.Next()) return client::ParseReply(std::move(*body));
      if (!socket.poll(Poco::Timespan(30, 0), Poco::Net::Socket::SELECT_READ)) return {};
      const int n = socket.receiveBytes(buffer, sizeof buffer);
      if (n <= 0) return {};
      cutter.Append(std::string_view(buffer, static_cast<size_t>(n)));
    }
  };
  const std::string logon = client::MakeFrame(client::LogonBody(guid, "pipelining client"));
  socket.sendBytes(logon.data(), static_cast<int>(logon.size()));
  auto ok = readReply();
  ASSERT_TRUE(ok && ok->Keyword == "LOGON_OK");

  std::string stream;
  for (int i = 1; i <= kMessages; ++i)
    stream += client::MakeFrame(
        client::MessageBody(i, 1, "abc", "555", "pipelined " + std::to_string(i)));
  std::string writeError;
  std::thread writer([&] {
    std::mt19937 random(4711);
    std::uniform_int_distribution<size_t> piece(1, 24);
    try {
      for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min(piece(random), stream.size() - at);
        const int sent = socket.sendBytes(stream.data() + at, static_cast<int>(n));
        if (sent <= 0) throw std::runtime_error("write failed");
        at += static_cast<size_t>(sent);
      }
    } catch (const std::exception& e) {
      writeError = e.what();
    }
  });

  std::vector<int> acceptances(kMessages + 1, 0);
  std::vector<std::string> others;
  int received = 0;
  while (received < kMessages) {
    auto reply = readReply();
    if (!reply) break;
    ++received;
    const int id = reply->Fields.empty() ? 0 : std::atoi(reply->Fields[0].c_str());
    if (reply->Keyword == "MESSAGE_ACCEPTED" && id >= 1 && id <= kMessages)
      ++acceptances[id];
    else
      others.push_back(reply->Body);
  }
  writer.join();
  EXPECT_EQ(writeError, "");
  EXPECT_EQ(received, kMessages);
  EXPECT_TRUE(others.empty()) << others.size() << " other replies, first " << others.front();
  for (int id = 1; id <= kMessages; ++id) ASSERT_EQ(acceptances[id], 1) << "message " << id;

  // Stored once each, in the order written.
  std::vector<int32_t> stored;
  Db() << "SELECT ClientRecordID FROM Messages WHERE ClientGUID = ? ORDER BY ID", bind(guid),
      into(stored), now;
  ASSERT_EQ(stored.size(), static_cast<size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(stored[i], i + 1) << "row " << i;
}

TEST_F(ClientSessionsE2E, SecondLogonWithTheSameGuidClosesTheFirst) {
  const std::string guid = client::NewClientGuid();
  auto first = LoggedOn(guid);
  auto second = LoggedOn(guid);
  EXPECT_TRUE(first->Closed());
  // The newer session is the one that gets the acceptance of its message.
  second->SendMessage(21, 1, "abc", "555", "after takeover");
  auto reply = second->ReadReply(10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Keyword, "MESSAGE_ACCEPTED");
  EXPECT_EQ(reply->Fields.at(0), "21");
}

TEST_F(ClientSessionsE2E, ResultRecordedWhileLoggedOnIsReportedAtOnce) {
  const std::string guid = client::NewClientGuid();
  auto client = LoggedOn(guid);

  struct Case {
    const char* name;
    int32_t errorCode;
    const char* keyword;
    std::string data;
  };
  const Case cases[] = {
      {"sent", 0, "MESSAGE_SENT", "31,4711"},
      {"no connection", 3, "MESSAGE_SEND_ERROR", "31,3, Error Sending this Message."},
  };
  for (const Case& c : cases) {
    const int32_t rowID = InsertResult({guid, 31, 4711, c.errorCode, DbNow()});
    auto reply = client->ReadReply(10s);
    ASSERT_TRUE(reply) << c.name;
    EXPECT_EQ(reply->Keyword, c.keyword) << c.name;
    EXPECT_EQ(reply->Data, c.data) << c.name;
    EXPECT_TRUE(WaitUntil([&] {
      return CountRows("SELECT SendConfirmed FROM SentMessages WHERE ID = " +
                       std::to_string(rowID)) == 1;
    })) << c.name;
  }
  // A result of another client is not this one's.
  InsertResult({client::NewClientGuid(), 32, 4712, 0, DbNow()});
  EXPECT_TRUE(client->ExpectNoReply(1s));
}

TEST_F(ClientSessionsE2E, WaitingResultsFollowLogonOldestFirst) {
  const std::string guid = client::NewClientGuid();
  // Written out of time order: the report follows TimeSent, not the row order.
  InsertResult({guid, 3, 103, 0, DbSecondsAgo(10)});
  InsertResult({guid, 1, 101, 2, DbSecondsAgo(30)});
  InsertResult({guid, 2, 102, 0, DbSecondsAgo(20)});

  auto client = LoggedOn(guid);
  std::vector<std::string> data;
  for (int i = 0; i < 3; ++i) {
    auto reply = client->ReadReply(10s);
    ASSERT_TRUE(reply) << "result " << i;
    data.push_back(reply->Keyword + " " + reply->Data);
  }
  EXPECT_EQ(data, (std::vector<std::string>{"MESSAGE_SEND_ERROR 1,2, Error Sending this Message.",
                                            "MESSAGE_SENT 2,102", "MESSAGE_SENT 3,103"}));
  EXPECT_TRUE(client->ExpectNoReply(1s));
}

TEST_F(ClientSessionsE2E, TrayTipCountsLoggedOnClients) {
  auto count = [&](const std::string& text) {
    const std::string out = server->Stdout();
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  };
  auto a = LoggedOn(client::NewClientGuid());
  EXPECT_TRUE(server->WaitForStdout("VoxmitServer - 1 Client connected"));
  auto b = LoggedOn(client::NewClientGuid());
  auto c = LoggedOn(client::NewClientGuid());
  EXPECT_TRUE(server->WaitForStdout("VoxmitServer - 3 Clients connected"));
  c.reset();
  b.reset();
  EXPECT_TRUE(WaitUntil([&] { return count("VoxmitServer - 1 Client connected") == 2; }));
  a.reset();
  EXPECT_TRUE(server->WaitForStdout("VoxmitServer - 0 Clients connected"));
}

TEST_F(ClientSessionsE2E, StopNotifiesThenDisconnectsAndKeepsEveryAcceptedMessage) {
  auto watcher = LoggedOn(client::NewClientGuid());
  auto sender = LoggedOn(client::NewClientGuid());
  constexpr int kMessages = 60;
  for (int i = 1; i <= kMessages; ++i) sender->SendMessage(i, 1, "abc", "555", "burst");
  // Stop while the burst is still being stored.
  auto first = sender->ReadReply(10s);
  ASSERT_TRUE(first);
  server->Signal(SIGTERM);

  auto notice = watcher->ReadReply(10s);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->Keyword, "BROADCAST_MESSAGE");
  EXPECT_EQ(notice->Data.rfind("From VoxmitServer (Host: ", 0), 0u) << notice->Data;
  EXPECT_NE(notice->Data.find(", Port: " + std::to_string(port) +
                              ") : Voxmit Server Shutting Down."),
            std::string::npos)
      << notice->Data;
  EXPECT_TRUE(watcher->Closed(20s));

  std::vector<int32_t> acceptedRows{std::stoi(first->Fields.at(1))};
  while (auto reply = sender->ReadReply(20s))
    if (reply->Keyword == "MESSAGE_ACCEPTED") acceptedRows.push_back(std::stoi(reply->Fields.at(1)));
  EXPECT_TRUE(sender->PeerClosed());
  ASSERT_EQ(server->WaitExit(60s), 0) << server->Stderr();

  for (int32_t row : acceptedRows)
    EXPECT_EQ(CountRows("SELECT COUNT(*) FROM Messages WHERE ID = " + std::to_string(row)), 1)
        << "row " << row;
  EXPECT_GE(CountRows("SELECT COUNT(*) FROM Messages"), static_cast<int32_t>(acceptedRows.size()));
}

TEST_F(ClientSessionsE2E, VanishingClientLosesNothingAcknowledged) {
  const std::string guid = client::NewClientGuid();
  std::vector<int32_t> acceptedRows;
  {
    auto client = LoggedOn(guid);
    for (int i = 1; i <= 40; ++i) client->SendMessage(i, 1, "abc", "555", "gone soon");
    for (int i = 0; i < 5; ++i)
      if (auto reply = client->ReadReply(10s); reply && reply->Keyword == "MESSAGE_ACCEPTED")
        acceptedRows.push_back(std::stoi(reply->Fields.at(1)));
    // The client goes with 35 replies unread.
  }
  ASSERT_EQ(acceptedRows.size(), 5u);
  // Once the session is gone, whatever the server read is stored once, and every
  // acknowledged message is among it.
  EXPECT_TRUE(server->WaitForStdout("VoxmitServer - 0 Clients connected"));
  for (int32_t row : acceptedRows)
    EXPECT_EQ(CountRows("SELECT COUNT(*) FROM Messages WHERE ID = " + std::to_string(row)), 1);
  // One query, so both counts see the same rows: the new-message thread may still be storing
  // what the session queued.
  EXPECT_EQ(CountRows("SELECT COUNT(*) - COUNT(DISTINCT ClientRecordID) FROM Messages"), 0);
}

// Hostile and broken peers at once; a well-behaved client must be served all the while, and
// the server must stop on time afterwards.
TEST_F(ClientSessionsE2E, HostilePeersNeitherCrashNorStallTheServer) {
  // Random bytes, start markers included now and then.
  auto noisy = Connect();
  std::mt19937 random(12345);
  std::string noise;
  for (int i = 0; i < 200000; ++i) noise.push_back(static_cast<char>(random() & 0xFF));
  for (size_t at = 0; at < noise.size(); at += 5000) noise.replace(at, 3, "\r\n\r");
  noisy->SendRaw(noise);

  // A frame that never ends: cut off once the limit is passed.
  auto huge = Connect();
  huge->SendRaw("\r\n\rMESSAGE,1,1,");
  bool hugeClosed = false;
  try {
    huge->SendRaw(std::string(3 * 1024 * 1024, 'x'));
    hugeClosed = huge->Closed(20s);
  } catch (const std::exception&) {
    hugeClosed = true;  // the server closed while we were still writing
  }
  EXPECT_TRUE(hugeClosed);

  // Half-open: a partial frame, then silence.
  auto silent = Connect();
  silent->SendRaw("\r\n\rLOGON,{abc");

  // A client that never reads while it floods refused messages.
  std::atomic<bool> stopFlood{false};
  std::thread flood([&] {
    try {
      TProtocolClient deaf(static_cast<uint16_t>(port));
      deaf.Logon(client::NewClientGuid(), "deaf");
      std::string burst;
      for (int i = 0; i < 2000; ++i) burst += Frame("MESSAGE," + std::to_string(i) + ",1,x");
      while (!stopFlood) deaf.SendRaw(burst);
    } catch (const std::exception&) {
      // The server may give the deaf client up; that is fine.
    }
  });

  auto good = LoggedOn(client::NewClientGuid());
  for (int i = 1; i <= 5; ++i) {
    good->SendMessage(i, 1, "abc", "555", "still served");
    auto reply = good->ReadReply(20s);
    ASSERT_TRUE(reply) << "message " << i;
    EXPECT_EQ(reply->Keyword, "MESSAGE_ACCEPTED");
  }
  EXPECT_TRUE(server->Running());

  // Stopping takes a second or two; a session left hanging would hold it for 30 s or more.
  server->Signal(SIGTERM);
  EXPECT_EQ(server->WaitExit(20s), 0) << server->Stderr();
  stopFlood = true;
  flood.join();
}

// With the database file deleted under it, the server kept writing to the unlinked file and
// acknowledged messages that were gone after the stop.
TEST_F(ClientSessionsE2E, ADeletedDatabaseStopsTheServerBeforeAnythingMoreIsAcknowledged) {
  auto client = LoggedOn(client::NewClientGuid());
  client->SendRaw(Frame("MESSAGE,1,1," + kTapSettings + ",5550100,before"));
  auto first = client->ReadReply(10s);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->Keyword, "MESSAGE_ACCEPTED");

  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::error_code ignored;
    std::filesystem::remove(home.File(std::string("ServerData.db") + suffix), ignored);
  }
  client->SendRaw(Frame("MESSAGE,2,1," + kTapSettings + ",5550100,after"));
  // Whatever arrives until the connection ends, none of it accepts message 2.
  while (auto reply = client->ReadReply(10s)) {
    EXPECT_FALSE(reply->Keyword == "MESSAGE_ACCEPTED" && !reply->Fields.empty() &&
                 reply->Fields[0] == "2")
        << reply->Body;
  }
  EXPECT_EQ(server->WaitExit(60s), std::optional<int>(1));
  EXPECT_NE(server->Stderr().find("was deleted or replaced while the server ran"),
            std::string::npos)
      << server->Stderr();
}

} // namespace
} // namespace voxmit::test
