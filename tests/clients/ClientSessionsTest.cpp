// Sessions, their send and confirmation threads and the intake threads, on a real database in
// a temporary home. A fake session stands in for the connection: its writes can be held back
// (a client that reads nothing) and its hooks are recorded.

#include <algorithm>
#include <map>
#include <set>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>

#include "clients/BaseClient.h"
#include "clients/TcpMessages.h"
#include "dispatch/DatabaseThreads.h"
#include "host/ServerSettings.h"
#include "store/StoreFixture.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"
#include "support/WaitUntil.h"
#include "tools/ClientProtocol.h"

using namespace std::chrono_literals;

namespace voxmit::test {
namespace {

std::string Frame(const std::string& body) { return "\r\n\r" + body + "\r\v\r"; }

// A session whose writes wait until Open() (or fail once Disconnect() was called), and which
// records what it wrote, where each reply ended, how many writes it took and which hooks ran,
// in order. A streaming one reads its replies as one byte stream, like a TCP client.
class TFakeClient : public TBaseClient {
public:
  TFakeClient(TSessionContext context, bool open, bool streams = false)
      : TBaseClient(std::move(context)), open_(open), streams_(streams) {}
  ~TFakeClient() override { Logoff(); }

  int32_t SendText(const std::string& text) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return open_ || failed_; });
    if (failed_ || cut_) return -1;
    ++writes_;
    int32_t taken = 0;
    for (const char c : text) {
      // A connection that breaks a few bytes into the reply after the last whole one.
      if (failAfterFrames_ && written_.size() == *failAfterFrames_ && ++bytesAfterCut_ > 3) {
        cut_ = true;
        break;
      }
      cutter_.Append(std::string(1, c));
      ++bytes_;
      ++taken;
      if (auto body = cutter_.Next()) {
        written_.push_back(client::ParseReply(*body));
        ends_.push_back(bytes_);
      }
    }
    return taken;
  }
  bool StreamsReplies() const override { return streams_; }
  // The connection breaks once n replies in all were written whole.
  void FailAfter(size_t n) {
    std::lock_guard lock(mutex_);
    failAfterFrames_ = n;
  }
  int Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  uint64_t BytesWritten() const override {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  // What the far side acknowledged: everything unless a test says otherwise.
  uint64_t BytesAcknowledged() const override { return acknowledged_; }
  void Acknowledge(uint64_t bytes) { acknowledged_ = bytes; }
  // The connection offset at which each written reply ended.
  std::vector<uint64_t> Ends() {
    std::lock_guard lock(mutex_);
    return ends_;
  }
  void Disconnect() override {
    SetClosing();
    std::lock_guard lock(mutex_);
    failed_ = true;
    changed_.notify_all();
  }
  void DoLogonSuccess() override { Hook("logon"); }
  void DoLogonError(TLogonError e) override { Hook("logon error " + std::to_string(e)); }
  void DoMessageAcceptSuccess(int32_t id) override { Hook("accepted " + std::to_string(id)); }
  void DoMessageAcceptError(int32_t id, TMessageAcceptError e) override {
    Hook("accept error " + std::to_string(id) + "," + std::to_string(e));
  }
  void DoMessageSendSuccess(int32_t id) override { Hook("sent " + std::to_string(id)); }
  void DoMessageSendError(int32_t id, TMessageSendError e) override {
    Hook("send error " + std::to_string(id) + "," + std::to_string(e));
  }

  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<client::TReply> Written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  // "KEYWORD data" of every reply written.
  std::vector<std::string> WrittenText() {
    std::vector<std::string> out;
    for (const auto& r : Written()) out.push_back(r.Keyword + (r.Data.empty() ? "" : " " + r.Data));
    return out;
  }
  std::vector<std::string> Hooks() {
    std::lock_guard lock(mutex_);
    return hooks_;
  }
  int32_t Queued() {
    TNReadLock lock(ReplyList()->Lock());
    return ReplyList()->Count();
  }

private:
  void Hook(const std::string& what) {
    std::lock_guard lock(mutex_);
    hooks_.push_back(what);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<uint64_t> acknowledged_{UINT64_MAX};
  uint64_t bytes_ = 0;
  std::vector<uint64_t> ends_;
  bool open_;
  const bool streams_;
  bool failed_ = false;
  int writes_ = 0;
  std::optional<size_t> failAfterFrames_;
  int bytesAfterCut_ = 0;
  bool cut_ = false;
  client::TFrameCutter cutter_;
  std::vector<client::TReply> written_;
  std::vector<std::string> hooks_;
};

class ClientSessions : public StoreTest {
protected:
  ClientSessions() {
    settings::ThreadWaitLoopTimeout = 200;
    settings::SentConfirmationsRequeryPeriod = 100;
    data_ = std::make_unique<TDMData>(DbFile());
  }
  ~ClientSessions() override {
    // A logged-on session and the clients list hold each other until it logs off.
    for (auto& session : sessions_) {
      session->Disconnect();
      session->Logoff();
    }
    StopIntake();
    settings::ThreadWaitLoopTimeout = 2000;
    settings::SentConfirmationsRequeryPeriod = 10000;
  }

  void StartIntake() {
    newCarriers_ = std::make_unique<TNewCarrierThread>(carriers_, *data_);
    newMessages_ = std::make_unique<TNewMessageThread>(input_, clients_, carriers_, *data_);
  }
  void StopIntake() {
    if (newMessages_) newMessages_->RequestStop();
    if (newCarriers_) newCarriers_->RequestStop();
    newMessages_.reset();
    newCarriers_.reset();
  }

  std::shared_ptr<TFakeClient> Session(bool open, bool streams = false) {
    sessions_.push_back(std::make_shared<TFakeClient>(
        TSessionContext{clients_, carriers_, input_, data_.get()}, open, streams));
    return sessions_.back();
  }
  std::shared_ptr<TFakeClient> LoggedOn(const std::string& guid, bool open, bool streams = false) {
    auto session = Session(open, streams);
    std::string input = Frame("LOGON," + guid + ",test");
    session->ProcessInput(input);
    EXPECT_TRUE(session->LoggedOn());
    return session;
  }
  void AddResults(const std::string& guid, int n) {
    for (int i = 1; i <= n; ++i) {
      TResultRow row;
      row.ClientGUID = guid;
      row.ClientRecordID = i;
      row.ServerRecordID = 1000 + i;
      row.TimeSent = DbSecondsAgo(1000 - i);  // oldest first by record ID
      row.ErrorCode = i % 5 == 0 ? MSE_RETRIES_EXCEEDED : MSE_OK;
      AddResult("SentMessages", row);
    }
  }
  int Confirmed(const std::string& guid) {
    return Count("SentMessages", "SendConfirmed = 1 AND ClientGUID = '" + guid + "'");
  }

  std::unique_ptr<TDMData> data_;
  std::shared_ptr<TClientsList> clients_ = std::make_shared<TClientsList>();
  std::shared_ptr<TCarriersList> carriers_ = std::make_shared<TCarriersList>();
  std::shared_ptr<TInputMessageQueue> input_ = std::make_shared<TInputMessageQueue>();
  std::unique_ptr<TNewCarrierThread> newCarriers_;
  std::unique_ptr<TNewMessageThread> newMessages_;
  std::vector<std::shared_ptr<TFakeClient>> sessions_;
};

const std::string kGuid = "{11111111-2222-3333-4444-555555555555}";

TEST_F(ClientSessions, ClientThatReadsNothingHoldsAtMostElevenResults) {
  StartIntake();
  AddResults(kGuid, 25);
  auto session = LoggedOn(kGuid, false);

  // The send thread is stuck writing LOGON_OK; the list fills to 11 and no further.
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 11; }));
  EXPECT_FALSE(WaitUntil([&] { return Confirmed(kGuid) > 11; }, 700ms));
  EXPECT_EQ(session->Queued(), 11);

  session->Open();
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 26; }));
  const auto written = session->WrittenText();
  EXPECT_EQ(written.front(), "LOGON_OK");
  for (int i = 1; i <= 25; ++i) {
    const std::string expected = i % 5 == 0
                                     ? "MESSAGE_SEND_ERROR " + std::to_string(i) +
                                           ",2, Error Sending this Message."
                                     : "MESSAGE_SENT " + std::to_string(i) + "," +
                                           std::to_string(1000 + i);
    EXPECT_EQ(written[i], expected);
  }
  EXPECT_EQ(Confirmed(kGuid), 25);
  const auto hooks = session->Hooks();
  EXPECT_EQ(std::count(hooks.begin(), hooks.end(), "send error 5,2"), 1);
  EXPECT_EQ(std::count(hooks.begin(), hooks.end(), "sent 1"), 1);
}

TEST_F(ClientSessions, ResultsNotWrittenBeforeLogoffReachTheNextSession) {
  StartIntake();
  auto first = LoggedOn(kGuid, false);
  AddResults(kGuid, 3);
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 3; }));

  // The connection drops while the three results wait behind the stuck LOGON_OK.
  first->Disconnect();
  first->Logoff();
  EXPECT_EQ(clients_->Count(), 0);
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 0; }));

  auto second = LoggedOn(kGuid, true);
  ASSERT_TRUE(WaitUntil([&] { return second->Written().size() == 4; }));
  EXPECT_EQ(second->WrittenText(),
            (std::vector<std::string>{"LOGON_OK", "MESSAGE_SENT 1,1001", "MESSAGE_SENT 2,1002",
                                      "MESSAGE_SENT 3,1003"}));
  EXPECT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 3; }));
}

// A peer that vanished without FIN or RST never acknowledged the last bytes written to it:
// those results must be told again at the next logon, not counted as delivered.
TEST_F(ClientSessions, ResultsWhoseBytesTheClientNeverAcknowledgedAreToldAgain) {
  StartIntake();
  auto first = LoggedOn(kGuid, true);
  first->Acknowledge(0);  // from here on the far side acknowledges nothing
  AddResults(kGuid, 3);
  ASSERT_TRUE(WaitUntil([&] { return first->Written().size() == 4; }));
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 3; }));
  // LOGON_OK and the first result arrived; the other two did not.
  first->Acknowledge(first->Ends()[1]);
  first->Disconnect();
  first->Logoff();
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 1; }));

  auto second = LoggedOn(kGuid, true);
  ASSERT_TRUE(WaitUntil([&] { return second->Written().size() == 3; }));
  EXPECT_EQ(second->WrittenText(),
            (std::vector<std::string>{"LOGON_OK", "MESSAGE_SENT 2,1002", "MESSAGE_SENT 3,1003"}));
  EXPECT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 3; }));
}

// Replies that wait together go to a client that reads a byte stream in one write, each noted
// at its own end offset; a client whose every write is one event of its own gets one write per
// reply.
TEST_F(ClientSessions, WaitingRepliesGoOutInOneWriteOnlyToAStreamingClient) {
  StartIntake();
  AddResults(kGuid, 5);
  for (const bool streams : {true, false}) {
    SCOPED_TRACE(streams ? "streaming" : "one event per write");
    auto session = LoggedOn(kGuid, false, streams);
    // The send thread is stuck on LOGON_OK while the five results are queued behind it.
    ASSERT_TRUE(WaitUntil([&] { return session->Queued() == 5; }));
    session->Open();
    ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 6; }));
    EXPECT_EQ(session->Writes(), streams ? 2 : 6);
    const auto written = session->WrittenText();
    EXPECT_EQ(written[1], "MESSAGE_SENT 1,1001");
    EXPECT_EQ(written[5], "MESSAGE_SEND_ERROR 5,2, Error Sending this Message.");
    EXPECT_EQ(Confirmed(kGuid), 5);
    session->Disconnect();
    session->Logoff();
    // Every reply was acknowledged at its end offset: none is returned as undelivered.
    EXPECT_FALSE(WaitUntil([&] { return Confirmed(kGuid) < 5; }, 300ms));
    Raw() << "UPDATE SentMessages SET SendConfirmed = 0", now;
  }
}

// A write of several replies that breaks part way delivers the replies written whole; the one
// cut in two, and those after it, are told again at the next logon.
TEST_F(ClientSessions, AJoinedWriteCutShortLosesOnlyTheRepliesNotWrittenWhole) {
  StartIntake();
  AddResults(kGuid, 4);
  auto first = LoggedOn(kGuid, false, true);
  ASSERT_TRUE(WaitUntil([&] { return first->Queued() == 4; }));
  first->FailAfter(3);  // LOGON_OK and two results whole, then three bytes of the third
  first->Open();
  ASSERT_TRUE(WaitUntil([&] { return first->Closing(); }));
  EXPECT_EQ(first->Writes(), 2);
  EXPECT_EQ(first->WrittenText(),
            (std::vector<std::string>{"LOGON_OK", "MESSAGE_SENT 1,1001", "MESSAGE_SENT 2,1002"}));
  first->Logoff();
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 2; }));

  auto second = LoggedOn(kGuid, true, true);
  ASSERT_TRUE(WaitUntil([&] { return second->Written().size() == 3; }));
  EXPECT_EQ(second->WrittenText(),
            (std::vector<std::string>{"LOGON_OK", "MESSAGE_SENT 3,1003", "MESSAGE_SENT 4,1004"}));
  EXPECT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 4; }));
}

TEST_F(ClientSessions, OverlappingSessionsOfOneGuidReportEachResultOnce) {
  StartIntake();
  auto older = LoggedOn(kGuid, false);
  ASSERT_TRUE(WaitUntil([&] { return older->Queued() == 0; }));  // LOGON_OK taken, stuck
  auto newer = LoggedOn(kGuid, true);
  ASSERT_TRUE(older->Closing());
  // Until the older session logs off, both confirmation threads look for the GUID's results.
  AddResults(kGuid, 30);
  ASSERT_TRUE(WaitUntil([&] { return Confirmed(kGuid) == 30; }));
  older->Logoff();

  auto results = [&] {
    std::vector<std::string> out;
    for (const auto& text : newer->WrittenText())
      if (text != "LOGON_OK") out.push_back(text);
    return out;
  };
  ASSERT_TRUE(WaitUntil([&] { return results().size() >= 30 && Confirmed(kGuid) == 30; }));
  EXPECT_FALSE(WaitUntil([&] { return results().size() > 30; }, 500ms));
  auto written = results();
  std::sort(written.begin(), written.end());
  EXPECT_EQ(std::unique(written.begin(), written.end()), written.end());
}

TEST_F(ClientSessions, AcceptedMessageOvertakesWaitingNoticesAndReportsItsRow) {
  StartIntake();
  auto session = LoggedOn(kGuid, false);
  // The send thread holds LOGON_OK (stuck writing it) before anything else is queued.
  ASSERT_TRUE(WaitUntil([&] { return session->Queued() == 0; }));
  session->AppendReply(MakeBroadcastReply("notice 1"));
  session->AppendReply(MakeBroadcastReply("notice 2"));
  std::string input = Frame("MESSAGE,17,1,abc,555,hello") + Frame("MESSAGE,18,1,abc");
  session->ProcessInput(input);
  ASSERT_TRUE(WaitUntil([&] { return Count("Messages") == 1 && session->Queued() == 4; }));

  session->Open();
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 5; }));
  int rowID = 0;
  Raw() << "SELECT ID FROM Messages", into(rowID), now;
  // Both accept results were queued at the head, the later one first.
  EXPECT_EQ(session->WrittenText(),
            (std::vector<std::string>{"LOGON_OK",
                                      "MESSAGE_ACCEPTED 17," + std::to_string(rowID),
                                      "MESSAGE_ACCEPT_ERROR 18,1,Formatting Error",
                                      "BROADCAST_MESSAGE notice 1", "BROADCAST_MESSAGE notice 2"}));
  EXPECT_EQ(session->Hooks(),
            (std::vector<std::string>{"logon", "accept error 18,1", "accepted 17"}));
}

TEST_F(ClientSessions, CarriersAreSharedByExactTypeAndSettingsAndWrittenOnce) {
  AddCarrier(5, 1, "old");
  data_->LoadCarriers(*carriers_);
  StartIntake();
  auto a = LoggedOn(kGuid, true);
  auto b = LoggedOn("{99999999-2222-3333-4444-555555555555}", true);

  struct Case {
    TFakeClient* session;
    int record;
    const char* type;
    const char* settings;
    int carrierID;
  };
  const Case cases[] = {
      {a.get(), 1, "1", "old", 5},  // loaded at start
      {a.get(), 2, "1", "abc", 6},  // new
      {b.get(), 3, "1", "abc", 6},  // same pair from another client
      {b.get(), 4, "1", "ABC", 7},  // settings differ in case only
      {a.get(), 5, "2", "abc", 8},  // same settings, other type
      {a.get(), 6, "99", "abc", 9}, // an unknown type is still given a carrier
  };
  for (const Case& c : cases) {
    std::string input = Frame("MESSAGE," + std::to_string(c.record) + "," + c.type + "," +
                              c.settings + ",555,text");
    c.session->ProcessInput(input);
  }
  ASSERT_TRUE(WaitUntil([&] { return Count("Messages") == 6 && Count("Carriers") == 5; }));
  for (const Case& c : cases)
    EXPECT_EQ(Count("Messages", "ClientRecordID = " + std::to_string(c.record) +
                                    " AND CarrierID = " + std::to_string(c.carrierID)),
              1)
        << "record " << c.record;
  EXPECT_EQ(Count("Carriers", "CarrierID = 7 AND CarrierData = 'ABC' AND IntroducedByGUID = '" +
                                  std::string("{99999999-2222-3333-4444-555555555555}") + "'"),
            1);
  // Nothing is written twice, and the loaded carrier is not written again.
  StopIntake();
  EXPECT_EQ(Count("Carriers"), 5);
  TNReadLock lock(carriers_->Lock());
  for (int32_t i = 0; i < carriers_->Count(); ++i) EXPECT_FALSE(carriers_->Items(i)->IsNew);
}

TEST_F(ClientSessions, NewMessageThreadStoresEverythingQueuedBeforeItStops) {
  const int sentRow = [&] {
    TResultRow row;
    row.SendConfirmed = 1;
    return AddResult("SentMessages", row);
  }();
  {
    TNWriteLock lock(input_->Lock());
    for (int i = 1; i <= 150; ++i)
      input_->Push(std::make_shared<TServerNormalInputMessage>(
          TNormalInputFields{.ClientGUID = kGuid,
                             .CarrierID = 1,
                             .PagerID = "555",
                             .MessageText = "queued",
                             .ClientRecordID = i,
                             .CarrierType = CT_TAP}));
    input_->Push(std::make_shared<TServerUnsentInputMessage>(sentRow, MK_MESSAGE_SENT));
    input_->Push(std::make_shared<TServerInputMessage>(0));  // neither kind: dropped
  }
  TNewMessageThread thread(input_, clients_, carriers_, *data_);
  thread.RequestStop();
  thread.WaitFor();

  EXPECT_EQ(Count("Messages"), 150);
  // Stored in queue order.
  std::vector<int> order;
  Raw() << "SELECT ClientRecordID FROM Messages ORDER BY ID", into(order), now;
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], static_cast<int>(i + 1));
  EXPECT_EQ(Count("SentMessages", "SendConfirmed = 0"), 1);
}

// Messages queued together are stored together; one the database refuses costs the others
// nothing, and every acknowledgement names the row its message was committed as.
TEST_F(ClientSessions, RefusedMessageInABatchCostsTheOthersNoAcknowledgement) {
  Raw() << "CREATE TRIGGER RefusePager BEFORE INSERT ON Messages WHEN NEW.PagerID = 'bad' "
           "BEGIN SELECT RAISE(ABORT, 'refused'); END",
      now;
  auto session = LoggedOn(kGuid, true);
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 1; }));
  const char* pagers[] = {"1", "2", "bad", "4", "5", "6"};
  {
    TNWriteLock lock(input_->Lock());
    for (int i = 1; i <= 6; ++i)
      input_->Push(std::make_shared<TServerNormalInputMessage>(
          TNormalInputFields{.ClientGUID = kGuid,
                             .CarrierID = 1,
                             .PagerID = pagers[i - 1],
                             .MessageText = "batch",
                             .ClientRecordID = i,
                             .CarrierType = CT_TAP}));
  }
  StartIntake();
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 6; }));
  EXPECT_FALSE(WaitUntil([&] { return session->Written().size() > 6; }, 300ms));

  std::map<int, int> rowOfRecord;  // client record ID -> Messages.ID
  {
    std::vector<int> ids, records;
    Raw() << "SELECT ID, ClientRecordID FROM Messages ORDER BY ID", into(ids), into(records),
        now;
    for (size_t i = 0; i < ids.size(); ++i) rowOfRecord[records[i]] = ids[i];
  }
  EXPECT_EQ(rowOfRecord.size(), 5u);
  EXPECT_FALSE(rowOfRecord.contains(3));
  std::set<int> acknowledged;
  const auto written = session->Written();
  for (size_t i = 1; i < written.size(); ++i) {
    ASSERT_EQ(written[i].Keyword, "MESSAGE_ACCEPTED");
    ASSERT_EQ(written[i].Fields.size(), 2u);
    const int record = std::stoi(written[i].Fields[0]);
    acknowledged.insert(record);
    EXPECT_EQ(std::stoi(written[i].Fields[1]), rowOfRecord[record]) << "record " << record;
  }
  EXPECT_EQ(acknowledged, (std::set<int>{1, 2, 4, 5, 6}));
}

TEST_F(ClientSessions, NoticesGoToEverySessionOrToTheOneNamed) {
  const TNoticeOrigin origin{"gatehost", 215};
  const std::string otherGuid = "{99999999-2222-3333-4444-555555555555}";
  auto a = LoggedOn(kGuid, true);
  auto b = LoggedOn(otherGuid, true);
  BroadcastToClients(*clients_, origin, "Going down");
  SendNoticeToClient(*clients_, origin, "  " + otherGuid + " ", "Only you");
  SendNoticeToClient(*clients_, origin, "{nobody}", "Lost");
  const std::string prefix =
      "BROADCAST_MESSAGE From VoxmitServer (Host: gatehost, IP: " + ServerHostIP() +
      ", Port: 215) : ";
  EXPECT_TRUE(WaitUntil([&] { return a->Written().size() == 2 && b->Written().size() == 3; }));
  EXPECT_EQ(a->WrittenText(), (std::vector<std::string>{"LOGON_OK", prefix + "Going down"}));
  EXPECT_EQ(b->WrittenText(), (std::vector<std::string>{"LOGON_OK", prefix + "Going down",
                                                        prefix + "Only you"}));
}

TEST_F(ClientSessions, RecordedResultIsReportedOnWakeWithoutWaitingForTheRequery) {
  settings::SentConfirmationsRequeryPeriod = 600000;
  AddResults(kGuid, 1);
  auto session = LoggedOn(kGuid, true);
  // The first pass is over once the waiting result is written; the next is ten minutes away.
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 2; }));

  TResultRow row;
  row.ClientGUID = kGuid;
  row.ClientRecordID = 77;
  row.ServerRecordID = 7700;
  AddResult("SentMessages", row);
  WakeClientConfirmations(*clients_, "{00000000-0000-0000-0000-0000000000ff}");  // someone else's
  EXPECT_FALSE(WaitUntil([&] { return session->Written().size() > 2; }, 500ms));
  WakeClientConfirmations(*clients_, kGuid);
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 3; }));
  EXPECT_EQ(session->WrittenText().back(), "MESSAGE_SENT 77,7700");
}

// A negative period requeries at once only while results keep coming: a pass that found nothing
// waits for its wake event at least one slice (it used to requery without pause, 183% CPU).
TEST_F(ClientSessions, NegativeRequeryPeriodDoesNotSpinOnceNothingIsLeft) {
  settings::SentConfirmationsRequeryPeriod = -1;
  AddResults(kGuid, 3);
  auto session = LoggedOn(kGuid, true);
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 4; }));

  // The measured window: one second with nothing to report.
  const auto cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double before = cpu();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu() - before, 0.1) << "CPU seconds of one idle second";

  // A result recorded now is still found by a later pass, without a wake.
  TResultRow row;
  row.ClientGUID = kGuid;
  row.ClientRecordID = 99;
  row.ServerRecordID = 9900;
  AddResult("SentMessages", row);
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 5; }));
  EXPECT_EQ(session->WrittenText().back(), "MESSAGE_SENT 99,9900");
}

TEST_F(ClientSessions, MessageAbandonedByMaintenanceIsReportedAtOnce) {
  settings::SentConfirmationsRequeryPeriod = 600000;
  AddResults(kGuid, 1);
  auto session = LoggedOn(kGuid, true);
  // The first pass is over once the waiting result is written; the next is ten minutes away.
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 2; }));

  TMessageRow row;
  row.ClientGUID = kGuid;
  row.ClientRecordID = 88;
  row.TimeReceived = DbSecondsAgo((settings::MaxUnsentMessageAge + 5) * 60);
  AddMessage(row);
  TDmMaintenance maintenance(*data_);
  maintenance.SetWakeClient(
      [this](const std::string& guid) { WakeClientConfirmations(*clients_, guid); });
  ASSERT_TRUE(maintenance.MaintenancePass());
  ASSERT_TRUE(WaitUntil([&] { return session->Written().size() == 3; }));
  EXPECT_EQ(session->WrittenText().back(),
            "MESSAGE_SEND_ERROR 88," + std::to_string(MSE_ABANDONED) +
                ", Error Sending this Message.");
}

TEST_F(ClientSessions, LogonStatesAndDuplicateGuids) {
  auto session = Session(true);
  std::string input = Frame("MESSAGE,1,1,abc,555,early") + Frame("LOGON," + kGuid + ",x") +
                      Frame("LOGON," + kGuid + ",again");
  session->ProcessInput(input);
  EXPECT_EQ(session->ClientGUID(), kGuid);
  EXPECT_TRUE(WaitUntil([&] { return session->Written().size() == 1; }));
  EXPECT_EQ(input_->Count(), 0);

  // A newer logon with the same GUID (cut to 38 characters) replaces the older session.
  auto newer = LoggedOn(kGuid + "-and-more", true);
  EXPECT_TRUE(session->Closing());
  {
    TNReadLock lock(clients_->Lock());
    EXPECT_EQ(FindClientByGUID(*clients_, kGuid), newer);
  }
  session->Logoff();
  EXPECT_EQ(clients_->Count(), 1);

  auto refused = Session(true);
  std::string bad = Frame("LOGON," + kGuid);
  refused->ProcessInput(bad);
  EXPECT_FALSE(refused->LoggedOn());
  EXPECT_TRUE(refused->Closing());
  EXPECT_EQ(refused->Hooks(), (std::vector<std::string>{"logon error 4"}));
  ASSERT_EQ(refused->Written().size(), 1u);
  EXPECT_EQ(refused->Written()[0].Body, "LOGON_DENIED,4,\"Wrong LogOn Message Format\"");
}

} // namespace
} // namespace voxmit::test
