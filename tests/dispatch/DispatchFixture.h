#pragma once
// A fresh database with the server's data module, a carriers list, devices made on the spot,
// the scripted channel registered for the carrier types in use (at most five parts per
// connection), and short thread wait slices.
// Checks that every channel thread has ended when the test ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <Poco/LocalDateTime.h>
#include <Poco/Timespan.h>

#include "common/BaseContainers.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "store/Carrier.h"
#include "store/StoreFixture.h"
#include "store/dmodData.h"
#include "support/ScriptedChannel.h"
#include "support/WaitUntil.h"

namespace voxmit::test {

class DispatchTest : public StoreTest {
protected:
  DispatchTest()
      : registration_({CT_TAP, CT_PACNET, CT_GSM_SMS, CT_SMTP, CT_SNPP}, script_),
        data_(std::make_unique<TDMData>(DbFile())), carriers_(std::make_shared<TCarriersList>()) {
    script_->MaxMessagesPerConnection = 5;
    savedWait_ = settings::ThreadWaitLoopTimeout;
    savedPeriod_ = settings::SchedulerRequeryPeriod;
    settings::ThreadWaitLoopTimeout = 100;
    settings::SchedulerRequeryPeriod = 200;
  }
  ~DispatchTest() override {
    EXPECT_TRUE(TNThreadRegistry::Instance().WaitAll(30000)) << "channel threads left running";
    if (HasFailure()) {
      // The server log tells what the threads were doing.
      const auto& lines = log_.Lines();
      const size_t from = lines.size() > 300 ? lines.size() - 300 : 0;
      for (size_t i = from; i < lines.size(); ++i) std::cerr << "log: " << lines[i] << "\n";
    }
    data_.reset();
    settings::ThreadWaitLoopTimeout = savedWait_;
    settings::SchedulerRequeryPeriod = savedPeriod_;
  }

  TDMData& Data() { return *data_; }
  // The script of every channel the test creates.
  TChannelScript& Script() { return *script_; }
  // Every line logged during the test.
  const std::vector<std::string>& LogLines() { return log_.Lines(); }
  bool Logged(const std::string& line) {
    const auto& lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  const std::shared_ptr<TCarriersList>& Carriers() { return carriers_; }

  std::shared_ptr<TCarrier> NewCarrier(int32_t id, int32_t type, const std::string& data = "x") {
    auto carrier = std::make_shared<TCarrier>(TCarrierRow{.CarrierID = id,
                                                          .CarrierType = type,
                                                          .CarrierData = data,
                                                          .IntroducedByGUID = "{g}",
                                                          .IntroducedTime = DbNow()});
    TNWriteLock lock(carriers_->Lock());
    carriers_->Add(carrier);
    return carrier;
  }

  static std::shared_ptr<TNDevice> NewDevice(int32_t id, TDeviceKind kind) {
    return std::make_shared<TNDevice>(TNDeviceRow{.ID = id,
                                                  .TypeName = "Kind",
                                                  .SettingsData = "COM1",
                                                  .DeviceKind = kind,
                                                  .Name = "Device" + std::to_string(id)});
  }

  // count messages of the carrier received secondsAgo, the later ones a millisecond newer each.
  std::vector<int> AddMessages(int carrierID, int carrierType, int count, int secondsAgo = 60,
                               const std::string& guid = "{00000000-0000-0000-0000-000000000001}") {
    std::vector<int> ids;
    const Poco::LocalDateTime base = Ago(secondsAgo);
    Poco::Data::Session& raw = Raw();
    raw << "BEGIN IMMEDIATE", now;
    for (int i = 0; i < count; ++i) {
      TMessageRow row;
      row.ClientGUID = guid;
      row.ClientRecordID = 1000 + i;
      row.CarrierID = carrierID;
      row.CarrierType = carrierType;
      row.TimeReceived = DbTimeText(base + Poco::Timespan(0, i * 1000));
      row.MessageText = "message " + std::to_string(i);
      ids.push_back(AddMessage(row));
    }
    raw << "COMMIT", now;
    return ids;
  }

  // The local time secondsAgo seconds back.
  static Poco::LocalDateTime Ago(int secondsAgo) {
    return Poco::LocalDateTime() - Poco::Timespan(secondsAgo, 0);
  }

  int Pending(const std::string& where = "1") { return Count("Messages", where); }
  int Finished(const std::string& where = "1") { return Count("SentMessages", where); }

private:
  LogCapture log_;
  std::shared_ptr<TChannelScript> script_ = std::make_shared<TChannelScript>();
  TScriptedRegistration registration_;
  std::unique_ptr<TDMData> data_;
  std::shared_ptr<TCarriersList> carriers_;
  int32_t savedWait_ = 0;
  int32_t savedPeriod_ = 0;
};

} // namespace voxmit::test
