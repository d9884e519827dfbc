// Many messages over several carriers and devices, channels failing at random, the scheduler
// thread running: every message ends exactly once in SentMessages and no thread is left.
// VOXMIT_SOAK_MESSAGES sets the number of messages (default 2000).

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "dispatch/dmodScheduler.h"
#include "DispatchFixture.h"

namespace voxmit::test {
namespace {

int MessageCount() {
  const char* text = std::getenv("VOXMIT_SOAK_MESSAGES");
  const int count = text ? std::atoi(text) : 0;
  return count > 0 ? count : 2000;
}

// A per-thread random number in [0, 100).
int Percent() {
  thread_local std::mt19937 random(std::random_device{}());
  return std::uniform_int_distribution<int>(0, 99)(random);
}

TChannelSendResult RandomSendResult() {
  const int p = Percent();
  if (p < 70) return srSent;
  if (p < 82) return srRetry;
  if (p < 88) return srAbandon;
  if (p < 94) return srProviderHangUp;
  return srNoAnswer;
}

class SoakTest : public DispatchTest {
protected:
  void AddDevices(int typeNo, int count) {
    for (int i = 0; i < count; ++i)
      Raw() << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, 'x', ?)",
          bind(typeNo), bind("Kind" + std::to_string(typeNo) + "-" + std::to_string(i)), now;
  }
};

TEST_F(SoakTest, EveryMessageEndsExactlyOnce) {
  Script().SetSend([](const TNBaseChannelMessage&, int32_t) { return RandomSendResult(); });
  Script().SetConnect([](int32_t) {
    const int p = Percent();
    return p < 3 ? crNoConnection : p < 5 ? crLogonError : crConnected;
  });
  AddDevices(DK_MODEM, 2);
  AddDevices(DK_GSM_MODEM, 1);
  AddDevices(DK_IP_NETWORK, 2);
  const std::vector<std::pair<int, int>> carriers = {
      {1, CT_TAP}, {2, CT_TAP}, {3, CT_PACNET}, {4, CT_GSM_SMS}, {5, CT_SMTP}, {6, CT_SNPP}};
  for (const auto& [id, type] : carriers) NewCarrier(id, type);

  const int total = MessageCount();
  std::set<int> ids;
  auto add = [&](int count, int secondsAgo) {
    for (int i = 0; i < count; ++i) {
      const auto& [carrierID, type] = carriers[static_cast<size_t>(Percent()) % carriers.size()];
      TMessageRow row;
      row.CarrierID = carrierID;
      row.CarrierType = type;
      row.ClientRecordID = static_cast<int>(ids.size());
      row.TimeReceived = DbTimeText(Ago(secondsAgo));
      // Some texts are longer than one part.
      row.MessageText = std::string(Percent() < 5 ? 400 : 20, 'a' + static_cast<char>(i % 26));
      ids.insert(AddMessage(row));
    }
  };
  Raw() << "BEGIN IMMEDIATE", now;
  add(total / 2, 300);
  Raw() << "COMMIT", now;

  {
    TNDevicesList pool;
    TScheduler scheduler(pool, Carriers(), Data());
    // The rest arrives while the scheduler runs, in batches, each waking its carriers.
    for (int added = total / 2; added < total;) {
      const int batch = std::min(100, total - added);
      Raw() << "BEGIN IMMEDIATE", now;
      add(batch, 0);
      Raw() << "COMMIT", now;
      added += batch;
      TNReadLock lock(Carriers()->Lock());
      for (int32_t i = 0; i < Carriers()->Count(); ++i) Carriers()->Items(i)->NewMessageEvent.Set();
    }
    ASSERT_TRUE(WaitUntil([&] { return Pending() == 0; },
                          std::chrono::seconds(60 + total / 20)))
        << Pending() << " messages left, " << Pending("Sending = 1") << " of them being sent";
  }

  EXPECT_EQ(Finished(), total);
  std::vector<int> recorded;
  Raw() << "SELECT ServerRecordID FROM SentMessages", into(recorded), now;
  EXPECT_EQ(std::set<int>(recorded.begin(), recorded.end()), ids);
  EXPECT_EQ(recorded.size(), ids.size()) << "a message was recorded twice";
  // Every kind of end occurred.
  for (TMessageSendError error : {MSE_OK, MSE_ABANDONED, MSE_RETRIES_EXCEEDED})
    EXPECT_GT(Finished("ErrorCode = " + std::to_string(error)), 0) << error;
}

} // namespace
} // namespace voxmit::test
