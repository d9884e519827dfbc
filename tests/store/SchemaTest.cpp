// The database file as --create-database makes it.

#include <gtest/gtest.h>

#include "store/DbSession.h"
#include "store/schema.h"
#include "support/TempHome.h"
#include "StoreFixture.h"

namespace voxmit::test {
namespace {

std::vector<std::string> ColumnsOf(Poco::Data::Session& session, const std::string& table) {
  std::vector<std::string> names;
  session << "SELECT name FROM pragma_table_info(?) ORDER BY cid", bind(table), into(names), now;
  return names;
}

using SchemaTest = StoreTest;

TEST_F(SchemaTest, TablesHaveTheExactColumnsInOrder) {
  const std::vector<std::string> result = {
      "ID",           "ClientGUID", "ClientRecordID", "ServerRecordID", "CarrierType",
      "CarrierID",    "TimeReceived", "ReceiveConfirmed", "TimeSent", "SendConfirmed",
      "ErrorCode",    "PagerID",    "MessageText"};
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"Messages",
       {"ID", "ClientGUID", "ClientRecordID", "CarrierType", "CarrierID", "TimeReceived",
        "ReceiveConfirmed", "PagerID", "RetryTimes", "MessageText", "Sending"}},
      {"SentMessages", result},
      {"ArchivedMessages", result},
      {"Carriers",
       {"CarrierID", "CarrierType", "CarrierData", "IntroducedByGUID", "IntroducedTime"}},
      {"Devices", {"ID", "TypeNo", "SettingsData", "Name"}},
      {"DeviceTypes", {"ID", "TypeNo", "Name"}},
  };
  for (const auto& [table, columns] : expected)
    EXPECT_EQ(ColumnsOf(Raw(), table), columns) << table;
}

TEST_F(SchemaTest, HoldsTheFourDeviceKinds) {
  std::vector<int> kinds;
  Raw() << "SELECT TypeNo FROM DeviceTypes ORDER BY TypeNo", into(kinds), now;
  EXPECT_EQ(kinds, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Count("DeviceTypes", "Name IS NULL OR Name = ''"), 0);
}

TEST_F(SchemaTest, NewMessageReadsAsNotSendingAndIdsAreNeverReused) {
  Raw() << "INSERT INTO Messages (ClientGUID) VALUES ('a')", now;
  const int first = LastId();
  EXPECT_EQ(Count("Messages", "Sending = 0"), 1);
  Raw() << "DELETE FROM Messages", now;
  Raw() << "INSERT INTO Messages (ClientGUID) VALUES ('b')", now;
  EXPECT_GT(LastId(), first);
}

TEST_F(SchemaTest, CarrierIdIsUnique) {
  AddCarrier(3);
  EXPECT_THROW(AddCarrier(3), Poco::Exception);
}

TEST(CreateDatabaseTest, RefusesToOverwriteAnExistingFile) {
  TempHome home;
  home.Write(kDatabaseFileName, "precious");
  try {
    CreateDatabase(home.File(kDatabaseFileName));
    FAIL() << "an existing file was accepted";
  } catch (const EStoreError& e) {
    EXPECT_NE(std::string(e.what()).find("already exists"), std::string::npos) << e.what();
  }
  EXPECT_EQ(home.Read(kDatabaseFileName), "precious");
}

TEST(CreateDatabaseTest, ReportsAFolderItCannotWriteIn) {
  TempHome home;
  EXPECT_THROW(CreateDatabase(home.File("no-such-folder") / kDatabaseFileName), EStoreError);
}

} // namespace
} // namespace voxmit::test
