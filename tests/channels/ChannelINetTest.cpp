// The internet channel base: its URL helpers and the host and port it takes from the device.

#include <gtest/gtest.h>

#include "channels/ChannelINet.h"
#include "channels/ChannelFixture.h"

namespace voxmit::test {
namespace {

struct EncodeCase {
  const char* name;
  std::string url;
  std::string wire;
};

class EncodeUrlTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeUrlTest, EncodesByteByByte) { EXPECT_EQ(EncodeUrl(GetParam().url), GetParam().wire); }

INSTANTIATE_TEST_SUITE_P(
    Urls, EncodeUrlTest,
    ::testing::Values(
        EncodeCase{"QueryPunctuationStays", "http://h:80/send?id=B&to=A+x:y", "http://h:80/send?id=B&to=A+x:y"},
        EncodeCase{"BlankAndTheEightReserved", "a b*#%<>[]", "a%20b%2A%23%25%3C%3E%5B%5D"},
        EncodeCase{"EncodedTextIsEncodedAgain", "100%25", "100%2525"},
        EncodeCase{"ControlsAndHighBytes", "\t\x81\xE9\xFF", "%09%81%E9%FF"},
        EncodeCase{"Bytes127And128Stay", "\x7F\x80", "\x7F\x80"},
        EncodeCase{"Nul", std::string("a\0b", 3), "a%00b"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SplitCase {
  const char* name;
  const char* url;
  const char* host;
  const char* path;
};

class SplitGatewayUrlTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitGatewayUrlTest, GivesHostAndPath) {
  const TGatewayUrl split = SplitGatewayUrl(GetParam().url);
  EXPECT_EQ(split.Host, GetParam().host);
  EXPECT_EQ(split.Path, GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, SplitGatewayUrlTest,
    ::testing::Values(
        SplitCase{"Full", "http://user:pw@gw.example:8080/a/b/page.asp?x=1#top", "gw.example", "/a/b/"},
        SplitCase{"HostOnly", "http://127.0.0.1", "127.0.0.1", "/"},
        SplitCase{"HostAndPort", "http://127.0.0.1:81", "127.0.0.1", "/"},
        SplitCase{"DocumentAtRoot", "http://h/send", "h", "/"},
        SplitCase{"SlashInQueryIgnored", "http://h/cgi/send?next=/x/y", "h", "/cgi/"},
        SplitCase{"NoSchemeWithSlash", "gw/cgi/send", "", "gw/cgi/"},
        SplitCase{"NoSchemeNoSlash", "send", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A minimal network carrier: what the base gives it, and nothing else.
class TProbeChannel : public TBaseChannelINet {
public:
  explicit TProbeChannel(const TNChannelArgs& args) : TBaseChannelINet(args) {}
  std::string HostSeen() const { return Host; }
  std::string PortSeen() const { return Port; }
  bool PortOk(uint16_t& port) const { return PortNumber(port); }
  using TBaseChannelINet::ParseDeviceSettings;

protected:
  TChannelConnectResult Connect() override { return crNoConnection; }
  bool Disconnect() override { return true; }
  TChannelSendResult SendMessage(TNBaseChannelMessage&) override { return srSent; }
  void BuildMessageBlock(const std::string&, const std::string&, std::string&) override {}
  bool ParseCarrierSettings() override { return true; }
};

std::shared_ptr<TProbeChannel> Probe(const std::string& settings) {
  TNChannelArgs args;
  args.ClassName = "TProbeChannel";
  args.Device = std::make_shared<TNDevice>(TNDeviceRow{.ID = 4,
                                                       .TypeName = "IP",
                                                       .SettingsData = settings,
                                                       .DeviceKind = DK_IP_NETWORK,
                                                       .Name = "Net 1"});
  return std::make_shared<TProbeChannel>(args);
}

TEST(ChannelINetTest, TakesHostAndPortFromTheDeviceVerbatimAndOneMessagePerConnection) {
  auto channel = Probe("192.0.2.10,25,0");
  EXPECT_TRUE(channel->ParseDeviceSettings());
  EXPECT_EQ(channel->HostSeen(), "192.0.2.10");
  EXPECT_EQ(channel->PortSeen(), "25");
  EXPECT_EQ(channel->GetMaxMessagesPerConnection(), 1);
  uint16_t port = 0;
  EXPECT_TRUE(channel->PortOk(port));
  EXPECT_EQ(port, 25);
}

TEST(ChannelINetTest, ADeviceWithoutHostAndPortLeavesThemEmpty) {
  auto channel = Probe("onlyhost");
  EXPECT_FALSE(channel->ParseDeviceSettings());
  EXPECT_EQ(channel->HostSeen(), "");
  uint16_t port = 0;
  EXPECT_FALSE(channel->PortOk(port));
}

TEST(ChannelINetTest, PortsThatAreNoTcpPortAreRefused) {
  for (const char* text : {"0", "65536", "http", "25x", ""}) {
    auto channel = Probe(std::string("h,") + text);
    channel->ParseDeviceSettings();
    uint16_t port = 0;
    EXPECT_FALSE(channel->PortOk(port)) << text;
  }
}

} // namespace
} // namespace voxmit::test
