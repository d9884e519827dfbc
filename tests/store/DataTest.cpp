// TDMData on real database files: opening, carriers, messages, rejection, compaction.

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "common/BaseContainers.h"
#include "platform/OperatorUi.h"
#include "store/Carrier.h"
#include "store/dmodData.h"
#include "store/dmodServerSettings.h"
#include "StoreFixture.h"

namespace voxmit::test {
namespace {

const char* const kNotFound = "Error: \"ServerData.db\" database file not found.\r\rExiting ...";

TEST(DataOpenTest, MissingFileIsReportedAndNeverCreated) {
  TempHome home;
  try {
    TDMData data;
    FAIL() << "opened a missing database";
  } catch (const EDatabaseNotFound& e) {
    EXPECT_STREQ(e.what(), kNotFound);
  }
  TDMServerSettings settings;
  try {
    settings.OpenSettingsConnection();
    FAIL() << "opened a missing database";
  } catch (const EDatabaseNotFound& e) {
    EXPECT_STREQ(e.what(), kNotFound);
  }
  EXPECT_FALSE(std::filesystem::exists(home.File(kDatabaseFileName)));
  EXPECT_EQ(DMData(), nullptr);
}

TEST(DataOpenTest, FilesThatAreNoServerDatabaseGiveAClearError) {
  struct Case {
    const char* name;
    void (*make)(const std::filesystem::path&);
  };
  const Case cases[] = {
      {"text file", [](const std::filesystem::path& f) {
         std::ofstream(f) << std::string(4096, 'x');
       }},
      {"empty file", [](const std::filesystem::path& f) { std::ofstream{f}; }},
      {"truncated database", [](const std::filesystem::path& f) {
         CreateDatabase(f);
         std::filesystem::resize_file(f, 1000);
       }},
      {"database without the tables", [](const std::filesystem::path& f) {
         Poco::Data::Session s("SQLite", f.string());
         s << "CREATE TABLE Other (x)", now;
       }},
      {"Messages with another column", [](const std::filesystem::path& f) {
         CreateDatabase(f);
         Poco::Data::Session s("SQLite", f.string());
         s << "ALTER TABLE Messages RENAME COLUMN Sending TO Busy", now;
       }},
  };
  for (const Case& c : cases) {
    TempHome home;
    c.make(home.File(kDatabaseFileName));
    EXPECT_THROW(TDMData data, EStoreError) << c.name;
  }
}

class DataTest : public StoreTest {
protected:
  TDMData data_{DbFile()};

  // What a session does with a (type, settings) pair: find the carrier or introduce one.
  std::shared_ptr<TCarrier> CarrierFor(TCarriersList& list, int type, const std::string& data) {
    list.BeginWrite();
    std::shared_ptr<TCarrier> carrier = FindCarrier(list, type, data);
    if (!carrier) {
      carrier = std::make_shared<TCarrier>(
          TCarrierRow{.IsNew = true,
                      .CarrierID = NextCarrierID(list),
                      .CarrierType = type,
                      .CarrierData = data,
                      .IntroducedByGUID = "{00000000-0000-0000-0000-000000000009}-tail",
                      .IntroducedTime = DbNow()});
      list.Add(carrier);
    }
    list.EndWrite();
    return carrier;
  }
};

TEST_F(DataTest, IsTheProcessInstanceWhileItLives) { EXPECT_EQ(DMData(), &data_); }

TEST_F(DataTest, EqualSettingsShareACarrierAndLetterCaseMakesANewOne) {
  TCarriersList list;
  const auto a = CarrierFor(list, CT_TAP, "5551234,\"Net A\"");
  const auto same = CarrierFor(list, CT_TAP, "5551234,\"Net A\"");
  const auto upper = CarrierFor(list, CT_TAP, "5551234,\"NET A\"");
  const auto otherType = CarrierFor(list, CT_PACNET, "5551234,\"Net A\"");
  EXPECT_EQ(a, same);
  EXPECT_NE(a->CarrierID, upper->CarrierID);
  EXPECT_NE(a->CarrierID, otherType->CarrierID);
  ASSERT_EQ(list.Count(), 3);

  for (const auto& carrier : {a, upper, otherType}) {
    EXPECT_TRUE(data_.StoreCarrier(*carrier));
    EXPECT_FALSE(carrier->IsNew);
  }
  EXPECT_EQ(Count("Carriers"), 3);

  TCarriersList loaded;
  loaded.BeginWrite();
  loaded.Add(std::make_shared<TCarrier>(
      TCarrierRow{.CarrierID = 99, .CarrierType = 1, .CarrierData = "stale"}));
  loaded.EndWrite();
  data_.LoadCarriers(loaded);
  ASSERT_EQ(loaded.Count(), 3);
  EXPECT_EQ(loaded.WaitForNotEmpty(0), wrTimeout) << "events must be reset after the load";
  for (const auto& original : {a, upper, otherType}) {
    auto back = FindCarrier(loaded, original->CarrierType, original->CarrierData);
    ASSERT_NE(back, nullptr) << original->CarrierData;
    EXPECT_FALSE(back->IsNew);
    EXPECT_EQ(back->CarrierID, original->CarrierID);
    EXPECT_EQ(back->IntroducedByGUID, "{00000000-0000-0000-0000-000000000009}");
    EXPECT_EQ(back->IntroducedTime, original->IntroducedTime);
  }
  EXPECT_EQ(FindCarrierByID(loaded, 99), nullptr);
  EXPECT_EQ(NextCarrierID(loaded), 4);
}

TEST_F(DataTest, CarrierThatCannotBeStoredStaysNew) {
  AddCarrier(1);
  TCarrier clash({.IsNew = true,
                  .CarrierID = 1,
                  .CarrierType = CT_SMTP,
                  .CarrierData = "mail",
                  .IntroducedByGUID = "{g}",
                  .IntroducedTime = DbNow()});
  LogCapture log;
  EXPECT_FALSE(data_.StoreCarrier(clash));
  EXPECT_TRUE(clash.IsNew);
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(DataTest, InsertedMessageIsStoredAsAccepted) {
  const std::string before = DbNow();
  const auto first = data_.InsertNewMessage("{00000000-0000-0000-0000-00000000000A}extra", 17,
                                            CT_SNPP, 3, "pager", "text, with \"quotes\"");
  const auto second = data_.InsertNewMessage("{g}", 18, CT_SNPP, 3, "pager", "two");
  ASSERT_TRUE(first && second);
  EXPECT_GT(*second, *first);

  std::string guid, time, pager, text;
  int record = 0, type = 0, carrier = 0, received = 0, retries = 0, sending = -1;
  Raw() << "SELECT ClientGUID, ClientRecordID, CarrierType, CarrierID, TimeReceived, "
           "ReceiveConfirmed, PagerID, RetryTimes, MessageText, Sending FROM Messages WHERE ID = ?",
      bind(*first), into(guid), into(record), into(type), into(carrier), into(time),
      into(received), into(pager), into(retries), into(text), into(sending), now;
  EXPECT_EQ(guid, "{00000000-0000-0000-0000-00000000000A}");
  EXPECT_EQ(record, 17);
  EXPECT_EQ(type, CT_SNPP);
  EXPECT_EQ(carrier, 3);
  EXPECT_EQ(received, 1);
  EXPECT_EQ(pager, "pager");
  EXPECT_EQ(retries, 0);
  EXPECT_EQ(text, "text, with \"quotes\"");
  EXPECT_EQ(sending, 0);
  EXPECT_EQ(time.size(), 23u) << time;
  EXPECT_LE(before, time);
  EXPECT_LE(time, DbNow());
}

TEST_F(DataTest, FailedInsertIsReportedNotAcknowledged) {
  Raw() << "DROP TABLE Messages", now;
  LogCapture log;
  EXPECT_FALSE(data_.InsertNewMessage("{g}", 1, CT_TAP, 1, "p", "t").has_value());
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(DataTest, UndeliveredRepliesResetTheirConfirmationFlag) {
  struct Case {
    const char* name;
    int kind;
    bool knownRow;
    int receiveConfirmed;  // of the message afterwards
    int sendConfirmed;     // of the result afterwards
  };
  const Case cases[] = {
      {"MESSAGE_ACCEPTED", 3, true, 0, 1},
      {"MESSAGE_ACCEPT_ERROR naming no row", 4, false, 1, 1},
      {"MESSAGE_SENT", 5, true, 1, 0},
      {"MESSAGE_SEND_ERROR", 6, true, 1, 0},
      {"MESSAGE_SENT naming no row", 5, false, 1, 1},
      {"LOGON_OK", 1, true, 1, 1},
      {"BROADCAST_MESSAGE", 8, true, 1, 1},
  };
  for (const Case& c : cases) {
    Raw() << "DELETE FROM Messages", now;
    Raw() << "DELETE FROM SentMessages", now;
    // Both rows get the same ID so the kind alone decides which table changes.
    Raw() << "INSERT INTO Messages (ID, ReceiveConfirmed) VALUES (50, 1)", now;
    Raw() << "INSERT INTO SentMessages (ID, SendConfirmed) VALUES (50, 1)", now;
    EXPECT_TRUE(data_.MarkReplyUndelivered(c.kind, c.knownRow ? 50 : 51)) << c.name;
    EXPECT_EQ(Count("Messages", "ReceiveConfirmed = 1"), c.receiveConfirmed) << c.name;
    EXPECT_EQ(Count("SentMessages", "SendConfirmed = 1"), c.sendConfirmed) << c.name;
  }
}

TEST_F(DataTest, RejectFinishesEveryMessageOfTheTypeWithNoDeviceError) {
  std::vector<int> ids;
  for (const char* text : {"one", "two", "three"}) {
    TMessageRow row;
    row.CarrierType = CT_GSM_SMS;
    row.MessageText = text;
    row.ReceiveConfirmed = 0;
    row.TimeReceived = DbSecondsAgo(30);
    ids.push_back(AddMessage(row));
  }
  TMessageRow other;
  other.CarrierType = CT_SMTP;
  AddMessage(other);

  LogCapture log;
  EXPECT_EQ(data_.RejectMessagesOfCarrierType(CT_GSM_SMS), 3);
  EXPECT_EQ(Count("Messages", "CarrierType = 4"), 0);
  EXPECT_EQ(Count("Messages"), 1);
  EXPECT_EQ(Count("SentMessages", "ErrorCode = 8 AND SendConfirmed = 0 AND CarrierType = 4"), 3);
  for (int id : ids) {
    // Every column of the message is carried over; ServerRecordID names the message.
    EXPECT_EQ(Count("SentMessages",
                    "ServerRecordID = " + std::to_string(id) +
                        " AND ClientGUID = '{00000000-0000-0000-0000-000000000001}'"
                        " AND ClientRecordID = 7 AND CarrierID = 1 AND ReceiveConfirmed = 0"
                        " AND PagerID = '555-0100' AND TimeReceived < TimeSent"),
              1);
  }
  const std::vector<std::string> expected = {
      "Scheduler: Message Send Error! No Device For CarrierType: 4; Message: \"one\"",
      "Scheduler: Message Send Error! No Device For CarrierType: 4; Message: \"two\"",
      "Scheduler: Message Send Error! No Device For CarrierType: 4; Message: \"three\""};
  EXPECT_EQ(log.Lines(), expected);
  EXPECT_EQ(data_.RejectMessagesOfCarrierType(CT_ACU), 0);
}

TEST_F(DataTest, RejectedMessagesWakeEachOfTheirClientsOnce) {
  const std::string a = "{00000000-0000-0000-0000-00000000000a}";
  const std::string b = "{00000000-0000-0000-0000-00000000000b}";
  for (const std::string& guid : {a, b, a, std::string()}) {
    TMessageRow row;
    row.ClientGUID = guid;
    row.CarrierType = CT_GSM_SMS;
    AddMessage(row);
  }
  std::vector<std::string> woken;
  const TWakeClient wake = [&](const std::string& guid) { woken.push_back(guid); };
  EXPECT_EQ(data_.RejectMessagesOfCarrierType(CT_GSM_SMS, wake), 4);
  EXPECT_EQ(woken, (std::vector<std::string>{a, b}));
}

TEST_F(DataTest, FinishMessageOfAMissingRowChangesNothing) {
  const int id = AddMessage(TMessageRow{});
  EXPECT_FALSE(data_.FinishMessage(id + 1, MSE_RETRIES_EXCEEDED));
  EXPECT_EQ(Count("SentMessages"), 0);
  EXPECT_TRUE(data_.FinishMessage(id, MSE_RETRIES_EXCEEDED));
  EXPECT_EQ(Count("SentMessages", "ErrorCode = 2"), 1);
  EXPECT_EQ(Count("Messages"), 0);
}

ino_t Inode(const std::filesystem::path& file) {
  struct stat st {};
  ::stat(file.c_str(), &st);
  return st.st_ino;
}

class CompactTest : public DataTest {
protected:
  // Fills and empties a table so the file has free pages to give back.
  void MakeFreeSpace() {
    Raw() << "BEGIN", now;
    for (int i = 0; i < 300; ++i) {
      TMessageRow row;
      row.MessageText = std::string(2000, 'm');
      AddMessage(row);
    }
    Raw() << "COMMIT", now;
    Raw() << "DELETE FROM Messages WHERE length(MessageText) = 2000", now;
  }
  std::filesystem::path TempFile() { return Home().File(std::string("Temp") + kDatabaseFileName); }
};

TEST_F(CompactTest, StaleTempFileIsReplacedAndDataSurvives) {
  const auto kept = data_.InsertNewMessage("{g}", 1, CT_TAP, 1, "p", "kept");
  ASSERT_TRUE(kept);
  MakeFreeSpace();
  Home().Write(std::string("Temp") + kDatabaseFileName, "stale leftover");
  // The raw connection would keep the old file open: close it as a stopped server would.
  Raw() << "PRAGMA wal_checkpoint(TRUNCATE)", now;
  Raw().close();
  const auto sizeBefore = std::filesystem::file_size(DbFile());
  const ino_t inodeBefore = Inode(DbFile());

  data_.CompactDatabase();

  EXPECT_FALSE(std::filesystem::exists(TempFile()));
  EXPECT_NE(Inode(DbFile()), inodeBefore) << "the file was not replaced";
  EXPECT_LT(std::filesystem::file_size(DbFile()), sizeBefore);
  // The connection comes back by itself; the kept row is there and IDs go on upwards.
  const auto next = data_.InsertNewMessage("{g}", 2, CT_TAP, 1, "p", "after");
  ASSERT_TRUE(next);
  EXPECT_GT(*next, *kept + 300);
  Poco::Data::Session check = OpenDbSession(DbFile());
  int n = 0;
  check << "SELECT count(*) FROM Messages WHERE MessageText IN ('kept', 'after')", into(n), now;
  EXPECT_EQ(n, 2);
}

TEST_F(CompactTest, LeavesTheFileAloneWhileAnotherConnectionHasItOpen) {
  MakeFreeSpace();
  const ino_t inodeBefore = Inode(DbFile());
  data_.CompactDatabase();  // the raw connection is still open
  EXPECT_EQ(Inode(DbFile()), inodeBefore);
  EXPECT_FALSE(std::filesystem::exists(TempFile()));
  TMessageRow row;
  row.MessageText = "written by the other connection";
  AddMessage(row);
  EXPECT_TRUE(data_.InsertNewMessage("{g}", 2, CT_TAP, 1, "p", "mine"));
  EXPECT_EQ(Count("Messages"), 2);
}

TEST_F(CompactTest, AFailureIsSwallowedAndTheFileStays) {
  const auto kept = data_.InsertNewMessage("{g}", 1, CT_TAP, 1, "p", "kept");
  Raw().close();
  // A temporary path that cannot be removed.
  std::filesystem::create_directories(TempFile() / "blocker");
  const ino_t inodeBefore = Inode(DbFile());
  EXPECT_NO_THROW(data_.CompactDatabase());
  EXPECT_EQ(Inode(DbFile()), inodeBefore);
  auto* ui = dynamic_cast<THeadlessOperatorUi*>(&OperatorUi());
  ASSERT_NE(ui, nullptr);
  EXPECT_FALSE(ui->BusyCursor()) << "the cursor is restored after a failure";
  const auto next = data_.InsertNewMessage("{g}", 2, CT_TAP, 1, "p", "after");
  ASSERT_TRUE(kept && next);
  EXPECT_EQ(*next, *kept + 1);
}

} // namespace
} // namespace voxmit::test
