// The operator's connection: clear commands and device-kind look-ups.

#include <gtest/gtest.h>

#include "store/dmodServerSettings.h"
#include "StoreFixture.h"

namespace voxmit::test {
namespace {

class ServerSettingsTest : public StoreTest {
protected:
  void FillEveryTable() {
    Raw() << "DELETE FROM Messages", now;
    Raw() << "DELETE FROM SentMessages", now;
    Raw() << "DELETE FROM ArchivedMessages", now;
    Raw() << "DELETE FROM Carriers", now;
    AddMessage(TMessageRow{});
    AddResult("SentMessages", TResultRow{});
    AddResult("ArchivedMessages", TResultRow{});
    AddCarrier(1);
  }
  TDMServerSettings settings_{DbFile()};
};

TEST_F(ServerSettingsTest, EachClearCommandEmptiesOnlyItsTables) {
  struct Case {
    const char* name;
    void (TDMServerSettings::*clear)();
    std::vector<std::string> emptied;
  };
  const Case cases[] = {
      {"in messages", &TDMServerSettings::ClearInMessagesTable, {"Messages"}},
      {"sent messages", &TDMServerSettings::ClearSentMessagesTable, {"SentMessages"}},
      {"archived messages", &TDMServerSettings::ClearArchivedMessagesTable, {"ArchivedMessages"}},
      {"carriers", &TDMServerSettings::ClearCarriersTable, {"Carriers"}},
      {"all message tables",
       &TDMServerSettings::ClearAllMessageTables,
       {"Messages", "SentMessages", "ArchivedMessages"}},
  };
  for (const Case& c : cases) {
    FillEveryTable();
    (settings_.*c.clear)();
    for (const char* table : {"Messages", "SentMessages", "ArchivedMessages", "Carriers"}) {
      const bool emptied =
          std::find(c.emptied.begin(), c.emptied.end(), table) != c.emptied.end();
      EXPECT_EQ(Count(table), emptied ? 0 : 1) << c.name << ": " << table;
    }
    EXPECT_FALSE(settings_.Connected()) << "a clear command closes the connection it opened";
  }
  EXPECT_EQ(Count("DeviceTypes"), 4);
}

TEST_F(ServerSettingsTest, DeviceKindNamesAreLookedUpAsPlainText) {
  Raw() << "INSERT INTO DeviceTypes (TypeNo, Name) VALUES (9, 'Joe''s modem')", now;
  EXPECT_TRUE(settings_.DeviceTypeNameExists("Joe's modem"));
  EXPECT_TRUE(settings_.DeviceTypeNameExists("JOE'S MODEM"));
  EXPECT_FALSE(settings_.DeviceTypeNameExists("Joe's"));
  EXPECT_FALSE(settings_.DeviceTypeNameExists("x' OR '1'='1"));
  EXPECT_FALSE(settings_.DeviceTypeNameExists("'; DELETE FROM DeviceTypes; --"));
  EXPECT_EQ(Count("DeviceTypes"), 5);
  EXPECT_TRUE(settings_.DeviceTypeNoExists(9));
  EXPECT_TRUE(settings_.DeviceTypeNoExists(1));
  EXPECT_FALSE(settings_.DeviceTypeNoExists(5));
}

} // namespace
} // namespace voxmit::test
