// The test facility the server registers from VOXMIT_TEST_CHANNELS for end-to-end tests.

#include <cstdlib>

#include "channels/ChannelFixture.h"
#include "channels/TestChannels.h"

namespace voxmit::test {
namespace {

class TestChannelsTest : public ChannelFixture {
protected:
  void TearDown() override {
    ChannelFixture::TearDown();
    unsetenv(kTestChannelsVariable);
    for (TCarrierType type : {CT_SMTP, CT_MSG}) CarrierChannelsList().UnregisterChannelClass(type);
  }

  std::shared_ptr<TNBaseCarrierChannel> CreateTest(const std::string& settings) {
    auto channel = FindChannelClass(CT_MSG)->Create(list_, CT_MSG, 3, settings, device_);
    if (channel) channels_.push_back(channel);
    return channel;
  }
};

TEST_F(TestChannelsTest, RegistersOnlyTheNamedCarrierTypesInPlaceOfTheirClasses) {
  EXPECT_EQ(RegisterTestChannels(), 0);  // variable unset
  EXPECT_EQ(FindChannelClass(CT_SMTP), nullptr);
  RegisterChannelClass(CT_MSG, ScriptedChannelClass(script_));
  setenv(kTestChannelsVariable, "5, 8,x,77", 1);
  EXPECT_EQ(RegisterTestChannels(), 2);
  EXPECT_EQ(FindChannelClass(CT_SMTP)->ClassName(), "TChannelTest");
  EXPECT_EQ(FindChannelClass(CT_MSG)->ClassName(), "TChannelTest");
  EXPECT_EQ(FindChannelClass(CT_TAP), nullptr);
}

TEST_F(TestChannelsTest, BehavesAsItsCarrierSettingsSay) {
  setenv(kTestChannelsVariable, "8", 1);
  ASSERT_EQ(RegisterTestChannels(), 1);
  LogCapture log;
  auto channel = CreateTest("maxlen=20,abandon=999,bogus=1,perconn=x");
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(1, "999", "rejected", 0);
  channel->EnqueueMessage(2, "555", "0123456789ABCDEFGHIJabcdefghij", 0);
  const auto parts = Collect(*channel, 6);
  ASSERT_EQ(parts.size(), 6u);
  EXPECT_EQ(parts[0]->SendError, MSE_ABANDONED);
  for (size_t i = 1; i < parts.size(); ++i) EXPECT_EQ(parts[i]->SendError, MSE_OK);
  EXPECT_TRUE(log.Has("TChannelTest, sent to \"555\": \"(Msg1 of 5)012345678\""));
  EXPECT_TRUE(log.Has("TChannelTest, ignoring setting \"bogus=1\""));
  EXPECT_TRUE(log.Has("TChannelTest, ignoring setting \"perconn=x\""));
  EXPECT_EQ(device_->Activity(), "TChannelTest - sending");
}

TEST_F(TestChannelsTest, ScriptedFailuresBecomeSendErrors) {
  setenv(kTestChannelsVariable, "8", 1);
  ASSERT_EQ(RegisterTestChannels(), 1);
  const std::vector<std::pair<std::string, TMessageSendError>> cases = {
      {"connect=2", MSE_NO_LOGON_REQUEST}, {"port=fail", MSE_NO_PORT},
      {"device=fail", MSE_NO_DEVICE}, {"retry=555", MSE_RETRIES_EXCEEDED}};
  for (const auto& [settings, error] : cases) {
    auto channel = CreateTest(settings);
    ASSERT_NE(channel, nullptr);
    channel->EnqueueMessage(1, "555", "text", 0);
    const auto parts = Collect(*channel, 1);
    ASSERT_EQ(parts.size(), 1u) << settings;
    EXPECT_EQ(parts[0]->SendError, error) << settings;
    channel->Close();
    ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  }
}

} // namespace
} // namespace voxmit::test
