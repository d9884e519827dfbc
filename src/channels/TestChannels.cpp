#include "channels/TestChannels.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <Poco/Format.h>

#include "channels/RegChannels.h"
#include "common/CommaText.h"
#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace {

bool ParseInt(const std::string& text, int32_t low, int32_t high, int32_t& out) {
  int32_t value = 0;
  if (!CommaFieldToInt(text, value) || value < low || value > high) return false;
  out = value;
  return true;
}

} // namespace

TChannelTest::TChannelTest(const TNChannelArgs& args) : TNBaseCarrierChannel(args) {
  MaxMessagesPerConnection = 100;
}

TBufferLimits TChannelTest::GetBufferLimits() { return {27, settings::OutputBufferLimit}; }

bool TChannelTest::ParseCarrierSettings() {
  MaxMessageLength = 160;
  bool allRead = true;
  for (const std::string& item : SplitCommaText(CarrierSettings())) {
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    int32_t number = 0;
    bool ok = true;
    if (eq == std::string::npos) {
      ok = false;
    } else if (key == "maxlen") {
      ok = ParseInt(value, 0, 1000000, MaxMessageLength);
    } else if (key == "perconn") {
      ok = ParseInt(value, 1, 1000000, MaxMessagesPerConnection);
    } else if (key == "port") {
      portOk_ = value != "fail";
    } else if (key == "device") {
      deviceOk_ = value != "fail";
    } else if (key == "connect") {
      ok = ParseInt(value, crConnected, crLogonError, number);
      if (ok) connectResult_ = static_cast<TChannelConnectResult>(number);
    } else if (key == "abandon") {
      abandonPager_ = value;
    } else if (key == "retry") {
      retryPager_ = value;
    } else if (key == "abandontext") {
      abandonText_ = value;
    } else if (key == "delay") {
      ok = ParseInt(value, 0, 60000, delayMs_);
    } else {
      ok = false;
    }
    if (!ok) {
      LogMessage(Poco::format("TChannelTest, ignoring setting \"%s\"", item));
      allRead = false;
    }
  }
  return allRead;
}

TChannelSendResult TChannelTest::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("sending");
  // A closed channel does not sit out the delay: the part goes back to be tried later.
  if (delayMs_ > 0 && !WaitOrStop(delayMs_)) return srRetry;
  if (!abandonPager_.empty() && part.PagerID == abandonPager_) return srAbandon;
  if (!retryPager_.empty() && part.PagerID == retryPager_) return srRetry;
  if (!abandonText_.empty() && part.MessageText.find(abandonText_) != std::string::npos)
    return srAbandon;
  LogMessage(Poco::format("TChannelTest, sent to \"%s\": \"%s\"", part.PagerID,
                          MakeControlsVisible(part.MessageText)));
  return srSent;
}

void TChannelTest::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                     std::string& block) {
  block = pagerID + "," + text;
}

int32_t RegisterTestChannels() {
  const char* types = std::getenv(kTestChannelsVariable);
  if (!types) return 0;
  const auto cls = MakeChannelClass<TChannelTest>("TChannelTest");
  int32_t registered = 0;
  for (const std::string& item : SplitCommaText(types)) {
    int32_t type = 0;
    if (!ParseInt(item, CT_TAP, CT_ACUGK, type)) {
      LogMessage(Poco::format("%s: \"%s\" is no carrier type", std::string(kTestChannelsVariable),
                              item));
      continue;
    }
    const auto carrierType = static_cast<TCarrierType>(type);
    CarrierChannelsList().UnregisterChannelClass(carrierType);
    if (CarrierChannelsList().RegisterChannelClass(carrierType, cls)) ++registered;
  }
  return registered;
}

} // namespace voxmit
