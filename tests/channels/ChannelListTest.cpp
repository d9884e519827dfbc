// The operations the iterators and the scheduler run over a list of channels, and the
// channel class registry.

#include "channels/ChannelFixture.h"
#include "platform/OperatorUi.h"

namespace voxmit::test {
namespace {

using ChannelListTest = ChannelFixture;

// Channels kept waiting for their devices never register themselves, so the test fills a
// list of its own and the channels stay as they are while it looks.
TEST_F(ChannelListTest, CollectAndFindHonourCarrierAndClosing) {
  auto otherDevice = std::make_shared<TNDevice>(
      TNDeviceRow{.ID = 2, .TypeName = "Modem", .DeviceKind = DK_MODEM, .Name = "Modem 2"});
  HoldDevice();
  ASSERT_TRUE(otherDevice->FreeEvent.TryTake());
  auto a = Create(7);
  auto b = Create(8);
  auto c = Create(7, otherDevice);
  TNChannelsList list;
  for (const auto& channel : {a, b, c}) list.Add(channel);

  TNChannelHandles handles;
  handles.Events.push_back(nullptr);  // stale contents are cleared
  CollectReadyEvents(list, 7, handles);
  EXPECT_EQ(handles.Events, (std::vector<const TNEvent*>{&a->ReadyEvent(), &c->ReadyEvent()}));
  EXPECT_EQ(handles.Channels, (std::vector<std::shared_ptr<TNBaseCarrierChannel>>{a, c}));
  EXPECT_EQ(FindChannelByReadyEvent(list, 7, &c->ReadyEvent()), c);
  EXPECT_EQ(FindChannelByReadyEvent(list, 8, &c->ReadyEvent()), nullptr);
  EXPECT_EQ(FindChannelByReadyEvent(list, 8, &b->ReadyEvent()), b);

  c->Close();
  CollectReadyEvents(list, 7, handles);
  EXPECT_EQ(handles.Events, (std::vector<const TNEvent*>{&a->ReadyEvent()}));
  EXPECT_EQ(FindChannelByReadyEvent(list, 7, &c->ReadyEvent()), nullptr);

  // Results are still collected from a closing channel.
  CollectResultEvents(list, handles);
  ASSERT_EQ(handles.Count(), 3u);
  EXPECT_EQ(handles.Events[2], c->FiFoOut().Event(stNotEmpty));
  EXPECT_EQ(FindChannelByResultEvent(list, c->FiFoOut().Event(stNotEmpty)), c);
  EXPECT_EQ(FindChannelByResultEvent(list, &a->ReadyEvent()), nullptr);

  CloseAllChannels(list);
  for (const auto& channel : {a, b, c}) EXPECT_TRUE(channel->Closing());
  CollectReadyEvents(list, 7, handles);
  EXPECT_EQ(handles.Count(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  EXPECT_FALSE(otherDevice->FreeEvent.IsSet());
}

// A handle list keeps its channels alive, so a channel that ends while the iterator waits on
// its event cannot pull the event away underneath the wait.
TEST_F(ChannelListTest, CollectedHandlesKeepTheirChannelsAlive) {
  auto channel = Create(7);
  ASSERT_TRUE(WaitUntil([&] { return Registered(*channel); }));
  TNChannelHandles handles;
  {
    TNReadLock lock(list_->Lock());
    CollectResultEvents(*list_, handles);
  }
  std::weak_ptr<TNBaseCarrierChannel> watch = channel;
  channels_.clear();
  channel->Close();
  channel.reset();
  ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }));
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(WaitForAny(handles.Events, 0), kWaitTimeout);  // still a valid event
  handles.Clear();
  EXPECT_TRUE(watch.expired());
}

std::shared_ptr<const TNChannelClass> NamedClass(const std::string& name) {
  return std::make_shared<const TNChannelClass>(
      name, [](const TNChannelArgs&) { return nullptr; }, [] { return TBufferLimits{27, 1000}; });
}

TEST(CarrierChannelsListTest, OneClassPerCarrierTypeAndTheFirstStays) {
  TCarrierChannelsList registry;
  EXPECT_TRUE(registry.RegisterChannelClass(CT_TAP, NamedClass("TChannelTap")));
  EXPECT_TRUE(registry.RegisterChannelClass(CT_SNPP, NamedClass("TChannelSNPP")));
  EXPECT_FALSE(registry.RegisterChannelClass(CT_TAP, NamedClass("TOther")));
  auto* ui = dynamic_cast<THeadlessOperatorUi*>(&OperatorUi());
  ASSERT_NE(ui, nullptr);
  EXPECT_EQ(ui->LastWarning(),
            "CarrierChannel (for TypeNo = 1) is already registered by the following Channel: "
            "\"TChannelTap\"");

  EXPECT_EQ(registry.Count(), 2);
  EXPECT_EQ(registry.FindChannelClass(CT_TAP)->ClassName(), "TChannelTap");
  EXPECT_EQ(registry.FindChannelClass(CT_SNPP)->GetBufferLimits().Input, 27);
  EXPECT_EQ(registry.FindChannelClass(CT_WCTP), nullptr);
  EXPECT_EQ(registry.FindChannelClass(99), nullptr);

  registry.UnregisterChannelClass(CT_TAP);
  EXPECT_EQ(registry.FindChannelClass(CT_TAP), nullptr);
  EXPECT_TRUE(registry.RegisterChannelClass(CT_TAP, NamedClass("TOther")));
}

TEST(CarrierChannelsListTest, ScriptedRegistrationStandsInForACarrierWhileItLives) {
  auto script = std::make_shared<TChannelScript>();
  {
    TScriptedRegistration registration({CT_MSG}, script);
    ASSERT_NE(FindChannelClass(CT_MSG), nullptr);
    EXPECT_EQ(FindChannelClass(CT_MSG)->ClassName(), "TScriptedChannel");
  }
  EXPECT_EQ(FindChannelClass(CT_MSG), nullptr);
}

} // namespace
} // namespace voxmit::test
