// The gatekeeper and the gatekeeper channel in one process with the fake terminal-network
// provider: the test thread stands in for the UI thread, carrying out the posted requests and
// log lines, while the channel's worker runs on its own. What the fake server received is
// checked as the calls it recorded.

#include <dlfcn.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "FakeOrvexnetServer.h"
#include "carriers/ACUGK.h"
#include "carriers/ChannelACUGK.h"
#include "carriers/NetCarrierFixture.h"
#include "common/CommaText.h"
#include "host/WindowMessages.h"

namespace voxmit::test {
namespace {

using orvex::fake::TArg;
using orvex::fake::TCall;
using orvex::fake::TControl;

TControl* Fake() {
  static TControl* control = [] {
    void* provider = dlopen(FAKE_ORVEXNET_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(provider, nullptr) << dlerror();
    auto instance =
        reinterpret_cast<TControl* (*)()>(dlsym(provider, "FakeOrvexnetControlInstance"));
    return instance();
  }();
  return control;
}

std::vector<TCall> CallsOf(const std::string& method) {
  std::vector<TCall> out;
  for (auto& call : Fake()->Calls())
    if (call.Method == method) out.push_back(call);
  return out;
}

TNPostedMessage Request(uint32_t code, const std::string& text = "") {
  return TNPostedMessage{code, 0, 0, text};
}

// A gatekeeper channel whose waits end after timeoutMs.
class TTestACUGK : public TChannelACUGK {
public:
  using TChannelACUGK::TChannelACUGK;
  void SetNetTimeoutMs(int32_t timeoutMs) { GatekeeperWaitMs = timeoutMs; }
};

class AcugkTest : public NetCarrierFixture {
protected:
  void SetUp() override {
    NetCarrierFixture::SetUp();
    setenv("ORVEXNET_SERVER", FAKE_ORVEXNET_PATH, 1);
    unsetenv("ORVEXNET_FAKE_LOG");
    unsetenv("ORVEXNET_FAKE_LINK");
    Fake()->Reset();
  }
  void TearDown() override {
    // The UI side keeps serving while the channels close.
    serving_ = true;
    NetCarrierFixture::TearDown();
    keeper_.reset();
    EXPECT_EQ(Fake()->ServersAlive(), 0);
  }

  // One pass of the UI thread: gatekeeper requests and log lines, in posting order.
  void Serve() {
    if (!serving_) return;
    TNMainLoop::Instance().Drain([this](const TNPostedMessage& m) {
      if (m.Code == WM_LOG_LINE) HandleLogLine(m.Text);
      else HandleGatekeeperMessage(keeper_, m);
    });
  }
  template <class Pred>
  bool ServeUntil(Pred pred, std::chrono::milliseconds deadline = 10s) {
    return WaitUntil(
        [&] {
          Serve();
          return pred();
        },
        deadline);
  }

  std::shared_ptr<TTestACUGK> Start(const std::string& settings, int32_t waitMs = 10000) {
    return Launch<TTestACUGK>("TChannelACUGK", CT_ACUGK, settings, waitMs, NetDevice(",,5"));
  }
  // One message through the channel while the UI side serves; its SendError, or -1.
  int Send(TNBaseCarrierChannel& channel, const std::string& pagerID, const std::string& text) {
    channel.EnqueueMessage(9, pagerID, text, 0);
    std::vector<TPart> parts;
    ServeUntil([&] {
      while (auto part = channel.DequeueResult()) parts.push_back(part);
      return !parts.empty() && !channel.Connected();
    });
    Serve();
    return parts.size() == 1 ? parts[0]->SendError : -1;
  }

  static std::string Settings(const std::vector<std::string>& terminals,
                              const std::string& suffix = "\\03") {
    std::vector<std::string> entries;
    for (const auto& id : terminals) entries.push_back(JoinCommaText({"name", id}));
    return JoinCommaText({"5", "\\02", suffix, "gk.local", "1720", "alpha", "beta", "3", "160",
                          JoinCommaText(entries), ""});
  }

  std::unique_ptr<ACUGateKeeper> keeper_;
  bool serving_ = true;
};

TEST_F(AcugkTest, GatekeeperCarriesOutTheRequestsAndFollowsTheLinkState) {
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_CREATE));
  ASSERT_TRUE(keeper_ && keeper_->HasLibrary());
  EXPECT_TRUE(ACUGateKeeper::Exists());
  EXPECT_EQ(Fake()->SinksAttached(), 1);
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_CONNECT, " A , B ,host,1720,3"));
  ASSERT_EQ(CallsOf("Host").size(), 1u);
  EXPECT_EQ(CallsOf("Host")[0].Args, (std::vector<TArg>{u"A", u"B", u"host", 1720, 3}));

  // Link down (any state whose low byte is not 0): the request is dropped.
  Fake()->Fire(3, {1}, {u"down"});
  EXPECT_FALSE(ACUGateKeeper::GatekeeperConnected());
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_SEND, "4,101,Tpayload"));
  EXPECT_TRUE(CallsOf("SendTextMessage").empty());

  // Only the low byte of the state counts: 0x100 is up.
  Fake()->Fire(3, {0x100}, {u"up"});
  EXPECT_TRUE(ACUGateKeeper::GatekeeperConnected());
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_SEND, "4,101,\"Tpayload\x03 \""));
  ASSERT_EQ(CallsOf("SendTextMessage").size(), 1u);
  EXPECT_EQ(CallsOf("SendTextMessage")[0].Args, (std::vector<TArg>{4, 101, u"Tpayload"}));

  Fake()->Fire(4, {4, 0}, {u""});
  Fake()->Fire(4, {5, 0x201}, {u""});
  // A request that is not a comma list of integers and a text is refused, not guessed.
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_SEND, "x,101,T"));
  EXPECT_EQ(CallsOf("SendTextMessage").size(), 1u);

  const auto& lines = log_.Lines();
  for (const char* line :
       {"ACUGateKeeper, create ORVEXNET COM object succeeded.",
        "ACUGateKeeper, Start to connect to Gatekeeper", "ACUGateKeeper, disconnected from Gatekeeper",
        "ACUGateKeeper, Message 4 dropped: not connected to Gatekeeper",
        "ACUGateKeeper, connected to Gatekeeper",
        "ACUGateKeeper, Message 4 sent from GateKeeper to ACU completed",
        "ACUGateKeeper, Message 5 sent from GateKeeper to ACU error"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;

  // A second create keeps the gatekeeper; its end deletes the library handle.
  ACUGateKeeper* first = keeper_.get();
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_CREATE));
  EXPECT_EQ(keeper_.get(), first);
  keeper_.reset();
  EXPECT_EQ(Fake()->ServersAlive(), 0);
  EXPECT_FALSE(ACUGateKeeper::Exists());
  EXPECT_FALSE(ACUGateKeeper::GatekeeperConnected());
}

// Every library event reaches the holder's handler of the same number with its arguments in
// order; an event without a handler is dropped.
TEST_F(AcugkTest, EachLibraryEventReachesItsHandlerWithItsArgumentsInOrder) {
  ACUCB holder;
  std::vector<std::string> seen;
  const auto join = [](std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& part : parts) out += part + ";";
    return out;
  };
  const auto ints = [](const auto& values) {
    std::string out;
    for (int32_t v : values) out += std::to_string(v) + " ";
    return out;
  };
  using std::to_string;
  holder.Handler1 = [&](int32_t a, const std::string& t) { seen.push_back(join({"1", to_string(a), t})); };
  holder.Handler2 = [&](int32_t a, int32_t b, const std::string& t) {
    seen.push_back(join({"2", to_string(a), to_string(b), t}));
  };
  holder.Handler3 = [&](const TInts7& i, const std::string& s, const std::string& t, int32_t a,
                        int32_t b, int32_t c) {
    seen.push_back(join({"3", ints(i), s, t, to_string(a), to_string(b), to_string(c)}));
  };
  holder.Handler4 = [&](const TInts7& i, const std::string& s, int32_t a, const std::string& t,
                        const std::string& u) { seen.push_back(join({"4", ints(i), s, to_string(a), t, u})); };
  holder.Handler5 = [&](const TInts7& i, const std::string& s) { seen.push_back(join({"5", ints(i), s})); };
  holder.Handler6 = [&](int32_t a, int32_t b, int32_t c, const std::string& s) {
    seen.push_back(join({"6", to_string(a), to_string(b), to_string(c), s}));
  };
  holder.Handler7 = [&](const TInts8& i, const std::string& s) { seen.push_back(join({"7", ints(i), s})); };
  holder.Handler8 = [&](const TInts8& i) { seen.push_back(join({"8", ints(i)})); };
  holder.Handler9 = [&](const TInts7& i, const std::string& s) { seen.push_back(join({"9", ints(i), s})); };
  // Handler10 left unassigned.
  Orvex library(holder);
  const std::vector<int32_t> in = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (int slot = 3; slot <= 12; ++slot) Fake()->Fire(slot, in, {u"s", std::u16string{u't', 0x1e9}, u"u"});
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "1;1;s;",
                      "2;1;2;s;",
                      "3;1 2 3 4 5 6 7 ;s;t\xe9;8;9;10;",
                      "4;1 2 3 4 5 6 7 ;s;8;t\xe9;u;",
                      "5;1 2 3 4 5 6 7 ;s;",
                      "6;1;2;3;s;",
                      "7;1 2 3 4 5 6 7 8 ;s;",
                      "8;1 2 3 4 5 6 7 8 ;",
                      "9;1 2 3 4 5 6 7 ;s;",
                  }));
}

TEST_F(AcugkTest, WithoutALibraryObjectTheGatekeeperExistsAndDoesNothing) {
  unsetenv("ORVEXNET_SERVER");
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_CREATE));
  ASSERT_TRUE(keeper_);
  EXPECT_FALSE(keeper_->HasLibrary());
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_CONNECT, "A,B,host,1720,3"));
  HandleGatekeeperMessage(keeper_, Request(WM_GATEKEEPER_SEND, "0,1,T"));
  EXPECT_TRUE(Fake()->Calls().empty());
  EXPECT_TRUE(log_.Has("ACUGateKeeper, create ORVEXNET COM object failed."));
}

TEST_F(AcugkTest, OneMessageGoesToEveryTerminalWithItsPositionAsReference) {
  setenv("ORVEXNET_FAKE_LINK", "up", 1);
  Fake()->Reset();
  // The suffix ends in a control character and a blank: the UI side trims the payload item,
  // so neither reaches the library.
  auto channel = Start(Settings({"101", "202"}, "!\\03\\20"));
  EXPECT_EQ(Send(*channel, "1", "Hello"), MSE_OK);
  ASSERT_TRUE(ServeUntil([] { return CallsOf("SendTextMessage").size() == 2; }));
  const auto sends = CallsOf("SendTextMessage");
  EXPECT_EQ(sends[0].Args, (std::vector<TArg>{0, 101, u"T\x02Hello!"}));
  EXPECT_EQ(sends[1].Args, (std::vector<TArg>{1, 202, u"T\x02Hello!"}));
  ASSERT_EQ(CallsOf("Host").size(), 1u);
  EXPECT_EQ(CallsOf("Host")[0].Args, (std::vector<TArg>{u"alpha", u"beta", u"gk.local", 1720, 3}));

  // The I form; every message connects again.
  EXPECT_EQ(Send(*channel, "0,255,ab,cd", "Hi"), MSE_OK);
  ASSERT_TRUE(ServeUntil([] { return CallsOf("SendTextMessage").size() == 4; }));
  EXPECT_EQ(std::get<std::u16string>(CallsOf("SendTextMessage")[2].Args[2]),
            u"I000000FFabcd\x02Hi!");
  EXPECT_EQ(CallsOf("Host").size(), 2u);
  EXPECT_TRUE(log_.Has("ACUGateKeeper, Message 1 sent from GateKeeper to ACU completed"));
}

TEST_F(AcugkTest, BadPagerIDsAndSettingsWithoutTerminalsFailTheMessage) {
  setenv("ORVEXNET_FAKE_LINK", "up", 1);
  Fake()->Reset();
  auto channel = Start(Settings({"101"}));
  EXPECT_EQ(Send(*channel, "0,255", "Hi"), MSE_ABANDONED);
  auto none = Start(Settings({}));
  EXPECT_EQ(Send(*none, "1", "Hi"), MSE_ABANDONED);
  EXPECT_TRUE(CallsOf("SendTextMessage").empty());
  EXPECT_TRUE(log_.Has("ChannelACUGK, message abandoned: the carrier settings name no terminal"));
}

TEST_F(AcugkTest, ALinkThatNeverComesUpEndsTheConnectAtTheBound) {
  auto channel = Start(Settings({"101"}), 300);
  EXPECT_EQ(Send(*channel, "1", "Hi"), MSE_NO_CONNECTION);
  EXPECT_TRUE(log_.Has("ChannelACUGK, the gatekeeper reported no link: connect failed"));
}

TEST_F(AcugkTest, AGatekeeperThatIsNeverMadeEndsInitDeviceAtTheBound) {
  serving_ = false;  // nobody carries out the create request
  auto channel = Start(Settings({"101"}), 300);
  channel->EnqueueMessage(9, "1", "Hi", 0);
  const auto parts = Collect(*channel, 1, 10s);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->SendError, MSE_NO_DEVICE);
  serving_ = true;
  EXPECT_TRUE(log_.Has("ChannelACUGK, the gatekeeper object was not created"));
}

TEST_F(AcugkTest, AStopEndsTheWaitForTheLinkAtOnceAndHandsThePartBackUntried) {
  auto channel = Start(Settings({"101"}), 600000);
  channel->EnqueueMessage(9, "1", "Hi", 0);
  ASSERT_TRUE(ServeUntil([] { return CallsOf("Host").size() == 1; }));
  std::vector<TPart> returned;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(CloseAndWaitEnd(*channel, returned, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_EQ(returned.size(), 1u);
  EXPECT_FALSE(returned[0]->Taken);
}

} // namespace
} // namespace voxmit::test
