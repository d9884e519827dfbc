// ACU against UDP listeners on 127.0.0.1: what each listener receives (read as datagrams, the
// way a terminal reads them), the result of each message, one destination that cannot be
// reached, sending from a given local port, splitting at the limit, and bad settings and
// pager IDs.

#include <gtest/gtest.h>

#include "carriers/ChannelACU.h"
#include "carriers/NetCarrierFixture.h"
#include "common/CommaText.h"
#include "support/UdpListener.h"

namespace voxmit::test {
namespace {

// The fixture sets a network time-out; a datagram carrier has none.
class TTestACU : public TChannelACU {
public:
  using TChannelACU::TChannelACU;
  void SetNetTimeoutMs(int32_t) {}
};

std::string Entry(const std::string& host, uint16_t remote, uint16_t local = 0) {
  return JoinCommaText({"unit", "x", host, std::to_string(remote), std::to_string(local)});
}

std::string Settings(const std::vector<std::string>& entries, const std::string& limit = "1000") {
  return JoinCommaText({"1", "\\02", "\\03", limit, JoinCommaText(entries), ""});
}

class AcuChannelTest : public NetCarrierFixture {
protected:
  std::shared_ptr<TTestACU> Start(const std::string& settings) {
    return Launch<TTestACU>("TChannelACU", CT_ACU, settings, 5000, NetDevice(",,4"));
  }
  UdpListener a_, b_;
};

TEST_F(AcuChannelTest, EveryDestinationReceivesTheFramedTextAsOneDatagram) {
  const auto device = NetDevice(",,4");
  auto channel = Launch<TTestACU>(
      "TChannelACU", CT_ACU,
      Settings({Entry("127.0.0.1", a_.Port()), Entry("127.0.0.1", b_.Port())}), 5000, device);
  EXPECT_EQ(SendOne(*channel, "1", "Fire in hall 3"), MSE_OK);
  for (UdpListener* listener : {&a_, &b_}) {
    const auto datagrams = listener->ReceiveAll(300ms);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].Data, "TTS \x02" "Fire in hall 3\x03");
  }
  EXPECT_EQ(SendOne(*channel, "0,zone4", "Evacuate"), MSE_OK);
  const auto ipp = a_.Receive(5s);
  ASSERT_TRUE(ipp);
  EXPECT_EQ(ipp->Data, "IPP DATA zone4,\x02" "Evacuate\x03");
  EXPECT_TRUE(log_.Has("ChannelACU, connect succeeded"));
  EXPECT_EQ(device->Activity(), "TChannelACU - Not used");
}

TEST_F(AcuChannelTest, ADestinationThatCannotBeReachedFailsTheMessageButTheOthersReceiveIt) {
  auto channel = Start(Settings({Entry("no..such-host", 5000), Entry("127.0.0.1", a_.Port())}));
  EXPECT_EQ(SendOne(*channel, "1", "Hello"), MSE_ABANDONED);
  const auto datagram = a_.Receive(5s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->Data, "TTS \x02Hello\x03");
  EXPECT_TRUE(log_.HasPart("ChannelACU, sending to no..such-host:5000 failed"));
}

TEST_F(AcuChannelTest, SendsFromTheLocalPortOfTheEntryAndFailsWhenItIsTaken) {
  UdpListener taken;  // holds a port nobody else may bind
  const uint16_t local = [] {
    UdpListener probe;  // a port free a moment ago
    return probe.Port();
  }();
  auto channel = Start(Settings({Entry("127.0.0.1", a_.Port(), local),
                                 Entry("127.0.0.1", b_.Port(), taken.Port())}));
  EXPECT_EQ(SendOne(*channel, "1", "Hi"), MSE_ABANDONED);
  const auto datagram = a_.Receive(5s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->SourcePort, local);
  EXPECT_FALSE(b_.Receive(300ms));
}

TEST_F(AcuChannelTest, ALimitOf160SplitsTheTextIntoPartsOfAtMost156) {
  std::string text;
  for (int i = 0; text.size() < 400; ++i) text += "word" + std::to_string(i) + " ";
  text.pop_back();
  for (const std::string pagerID : {"1", "0,z"}) {
    SCOPED_TRACE(pagerID);
    auto channel = Start(Settings({Entry("127.0.0.1", a_.Port())}, "160"));
    channel->EnqueueMessage(5, pagerID, text, 0);
    const auto parts = Collect(*channel, 3);
    ASSERT_EQ(parts.size(), 3u);
    const std::string head = pagerID == "1" ? "TTS \x02" : "IPP DATA z,\x02";
    const auto datagrams = a_.ReceiveAll(500ms);
    ASSERT_EQ(datagrams.size(), 3u);
    std::string joined;
    for (size_t i = 0; i < datagrams.size(); ++i) {
      EXPECT_EQ(parts[i]->SendError, MSE_OK);
      const std::string& d = datagrams[i].Data;
      ASSERT_EQ(d.rfind(head, 0), 0u) << d;
      ASSERT_EQ(d.back(), '\x03');
      const std::string body = d.substr(head.size(), d.size() - head.size() - 1);
      EXPECT_LE(body.size(), 156u);
      const std::string tag = "(Msg" + std::to_string(i + 1) + " of 3)";
      ASSERT_EQ(body.rfind(tag, 0), 0u) << body;
      joined += body.substr(tag.size());
    }
    EXPECT_EQ(joined, text);
  }
}

TEST_F(AcuChannelTest, BadPagerIDsAndRejectedSettingsFailTheMessageWithALogLine) {
  auto channel = Start(Settings({Entry("127.0.0.1", a_.Port())}));
  EXPECT_EQ(SendOne(*channel, "x", "Hi"), MSE_ABANDONED);
  EXPECT_EQ(SendOne(*channel, "0", "Hi"), MSE_ABANDONED);
  EXPECT_TRUE(log_.Has("ChannelACU, message abandoned: the mode (pager ID item 1) is not an integer"));
  EXPECT_TRUE(log_.Has("ChannelACU, message abandoned: the pager ID has no item 2 for the IPP DATA form"));

  // A broken escape rejects the settings: nothing is sent, nothing counts as sent.
  auto rejected = Start(JoinCommaText({"1", "\\0x", "", "160", Entry("127.0.0.1", a_.Port()), ""}));
  EXPECT_EQ(SendOne(*rejected, "1", "Hi"), MSE_ABANDONED);
  EXPECT_TRUE(log_.HasPart("ChannelACU, carrier settings rejected:"));
  EXPECT_FALSE(a_.Receive(300ms));
}

} // namespace
} // namespace voxmit::test
