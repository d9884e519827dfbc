// The terminal API library through its C interface, against the fake server object loaded as
// a provider: each export reaches its slot with its arguments unchanged and in order, events
// reach the callbacks with the user data first, strings cross byte for byte, and handles come
// and go without leaking the server or the sink.

#include <dlfcn.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeOrvexnetServer.h"
#include "orvexapi.h"

namespace {

using orvex::fake::TArg;
using orvex::fake::TCall;
using orvex::fake::TControl;

TControl* Fake() {
  static TControl* control = [] {
    void* provider = dlopen(FAKE_ORVEXNET_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(provider, nullptr) << dlerror();
    auto instance = reinterpret_cast<TControl* (*)()>(dlsym(provider, "FakeOrvexnetControlInstance"));
    EXPECT_NE(instance, nullptr);
    return instance();
  }();
  return control;
}

// What one callback received.
struct TEvent {
  int Callback = 0;
  void* UserData = nullptr;
  std::vector<int32_t> Ints;
  std::vector<std::string> Strings;
  bool operator==(const TEvent&) const = default;
};

std::vector<TEvent> events;

void Cb1(void* u, int32_t a, const char* s) { events.push_back({1, u, {a}, {s}}); }
void Cb2(void* u, int32_t a, int32_t b, const char* s) { events.push_back({2, u, {a, b}, {s}}); }
void Cb3(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
         const char* s, const char* t, int32_t h, int32_t i, int32_t j) {
  events.push_back({3, u, {a, b, c, d, e, f, g, h, i, j}, {s, t}});
}
void Cb4(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
         const char* s, int32_t h, const char* t, const char* v) {
  events.push_back({4, u, {a, b, c, d, e, f, g, h}, {s, t, v}});
}
void Cb5(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
         const char* s) {
  events.push_back({5, u, {a, b, c, d, e, f, g}, {s}});
}
void Cb6(void* u, int32_t a, int32_t b, int32_t c, const char* s) {
  events.push_back({6, u, {a, b, c}, {s}});
}
void Cb7(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
         int32_t h, const char* s) {
  events.push_back({7, u, {a, b, c, d, e, f, g, h}, {s}});
}
void Cb8(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
         int32_t h) {
  events.push_back({8, u, {a, b, c, d, e, f, g, h}, {}});
}
void Cb9(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
         const char* s) {
  events.push_back({9, u, {a, b, c, d, e, f, g}, {s}});
}
void Cb10(void* u, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
          const char* s, const char* t) {
  events.push_back({10, u, {a, b, c, d, e, f, g}, {s, t}});
}

class OrvexApiTest : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("ORVEXNET_SERVER", FAKE_ORVEXNET_PATH, 1);
    unsetenv("ORVEXNET_FAKE_LOG");
    unsetenv("ORVEXNET_FAKE_LINK");
    Fake()->Reset();
    events.clear();
  }
  void TearDown() override {
    if (handle_ != nullptr) Delete(handle_);
    Fake()->ReleaseHeld();
    EXPECT_EQ(Fake()->ServersAlive(), 0);
    EXPECT_EQ(Fake()->SinksAttached(), 0);
  }

  TerminalHandle* NewWithCallbacks() {
    return New(&userData_, Cb1, Cb2, Cb3, Cb4, Cb5, Cb6, Cb7, Cb8, Cb9, Cb10);
  }
  // The commands the server received (Advise and Unadvise left out).
  static std::vector<TCall> Commands() {
    std::vector<TCall> out;
    for (auto& call : Fake()->Calls())
      if (call.Method != "Advise" && call.Method != "Unadvise") out.push_back(call);
    return out;
  }

  int userData_ = 0;
  TerminalHandle* handle_ = nullptr;
};

// ---- Commands --------------------------------------------------------------------------------

struct ExportCase {
  const char* name;
  std::function<int32_t(TerminalHandle*)> call;
  std::vector<TArg> args;
};

const std::vector<ExportCase>& ExportCases() {
  static const std::vector<ExportCase> cases = {
      {"Host", [](TerminalHandle* h) { return Host(h, "a", "b", "gk.host", 1720, 9); },
       {u"a", u"b", u"gk.host", 1720, 9}},
      {"SendJob",
       [](TerminalHandle* h) { return SendJob(h, 1, 2, "s3", 4, 5, 6, 7, 8, "s9", "s10"); },
       {1, 2, u"s3", 4, 5, 6, 7, 8, u"s9", u"s10"}},
      {"SendJob2",
       [](TerminalHandle* h) {
         return SendJob2(h, 1, 2, "s3", 4, 5, 6, 7, 8, 9, 10, 11, 12, "s13", "s14");
       },
       {1, 2, u"s3", 4, 5, 6, 7, 8, 9, 10, 11, 12, u"s13", u"s14"}},
      {"SendRevokeJob", [](TerminalHandle* h) { return SendRevokeJob(h, -1, 2, "job"); },
       {-1, 2, u"job"}},
      {"SendTextMessage", [](TerminalHandle* h) { return SendTextMessage(h, 0, 77, "Hi"); },
       {0, 77, u"Hi"}},
      {"PollTerminal", [](TerminalHandle* h) { return PollTerminal(h, 5, 6); }, {5, 6}},
      {"SendRaw", [](TerminalHandle* h) { return SendRaw(h, 7, 8, "raw"); }, {7, 8, u"raw"}},
      {"SendConfig", [](TerminalHandle* h) { return SendConfig(h, 2147483647, -2147483647 - 1); },
       {2147483647, -2147483647 - 1}},
      {"SendQuestion",
       [](TerminalHandle* h) { return SendQuestion(h, 1, 2, "q", "a1", "a2", "a3", "a4", ""); },
       {1, 2, u"q", u"a1", u"a2", u"a3", u"a4", u""}},
      {"GetTerminalEvent",
       [](TerminalHandle* h) {
         GetTerminalEvent(h, 1, 2, 3, 4, 5, 6, 7, 8);
         return orvex::S_OK;
       },
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"SendCustom", [](TerminalHandle* h) { return SendCustom(h, 3, 4, "k", "v"); },
       {3, 4, u"k", u"v"}},
      {"ConfigGet",
       [](TerminalHandle* h) {
         ConfigGet(h, "key");
         return orvex::S_OK;
       },
       {u"key"}},
      {"ConfigSet", [](TerminalHandle* h) { return ConfigSet(h, "key", "value"); },
       {u"key", u"value"}},
  };
  return cases;
}

TEST_F(OrvexApiTest, EveryExportPassesItsArgumentsInOrderToItsSlotAndReturnsTheServersResult) {
  handle_ = NewWithCallbacks();
  ASSERT_NE(handle_, nullptr);
  for (const auto& c : ExportCases()) {
    SCOPED_TRACE(c.name);
    Fake()->Reset();
    const orvex::HRESULT failure = orvex::E_FAIL + 7;
    Fake()->SetResult(failure);
    const int32_t result = c.call(handle_);
    const auto calls = Commands();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Method, c.name);
    EXPECT_EQ(calls[0].Args, c.args);
    // The two exports that answer something else are checked on their own below.
    if (std::string(c.name) != "GetTerminalEvent" && std::string(c.name) != "ConfigGet") {
      EXPECT_EQ(result, failure);
    }
  }
}

TEST_F(OrvexApiTest, TheFifteenExportsAreVisibleByName) {
  for (const char* name : {"New", "Delete", "Host", "SendJob", "SendJob2", "SendRevokeJob",
                           "SendTextMessage", "PollTerminal", "SendRaw", "SendConfig",
                           "SendQuestion", "GetTerminalEvent", "SendCustom", "ConfigGet",
                           "ConfigSet"})
    EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}

TEST_F(OrvexApiTest, GetTerminalEventAnswersTheOutValueOrZeroAndIgnoresTheResult) {
  handle_ = NewWithCallbacks();
  ASSERT_NE(handle_, nullptr);
  Fake()->SetResult(orvex::E_FAIL);
  Fake()->SetTerminalEvent(4242);
  EXPECT_EQ(GetTerminalEvent(handle_, 0, 0, 0, 0, 0, 0, 0, 0), 4242);
  Fake()->SetTerminalEvent(0, false);
  EXPECT_EQ(GetTerminalEvent(handle_, 0, 0, 0, 0, 0, 0, 0, 0), 0);
}

TEST_F(OrvexApiTest, BytesAbove127ReachTheServerAsUnitsOfTheSameValue) {
  handle_ = NewWithCallbacks();
  ASSERT_NE(handle_, nullptr);
  SendTextMessage(handle_, 1, 2, "\x01\x7f\x80\xa9\xff");
  const auto calls = Commands();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(std::get<std::u16string>(calls[0].Args[2]),
            (std::u16string{0x01, 0x7f, 0x80, 0xa9, 0xff}));
}

// ---- ConfigGet -------------------------------------------------------------------------------

TEST_F(OrvexApiTest, ConfigGetKeepsTheValueInTheHandleAndReusesItsBuffer) {
  handle_ = NewWithCallbacks();
  ASSERT_NE(handle_, nullptr);
  Fake()->SetConfigValue(u"first value, long enough to live outside the string itself");
  const char* first = ConfigGet(handle_, "a");
  EXPECT_STREQ(first, "first value, long enough to live outside the string itself");
  Fake()->SetConfigValue(std::u16string{u'v', 0x1e9, 0xff});
  const char* second = ConfigGet(handle_, "b");
  EXPECT_STREQ(second, "v\xe9\xff");
  // The second value went into the buffer of the first: the first pointer no longer holds it.
  EXPECT_EQ(first, second);
  Fake()->SetConfigValue(u"", false);
  EXPECT_STREQ(ConfigGet(handle_, "c"), "");
}

// ---- Events ----------------------------------------------------------------------------------

struct EventCase {
  int slot;
  TEvent expected;  // UserData filled in by the test
};

TEST_F(OrvexApiTest, EachEventReachesItsCallbackWithTheUserDataAndItsArgumentsInOrder) {
  handle_ = NewWithCallbacks();
  ASSERT_NE(handle_, nullptr);
  const std::vector<int32_t> ints = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};
  const std::vector<std::u16string> strings = {u"s1", u"s2", u"s3"};
  const std::vector<EventCase> cases = {
      {3, {1, nullptr, {11}, {"s1"}}},
      {4, {2, nullptr, {11, 12}, {"s1"}}},
      {5, {3, nullptr, {11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, {"s1", "s2"}}},
      {6, {4, nullptr, {11, 12, 13, 14, 15, 16, 17, 18}, {"s1", "s2", "s3"}}},
      {7, {5, nullptr, {11, 12, 13, 14, 15, 16, 17}, {"s1"}}},
      {8, {6, nullptr, {11, 12, 13}, {"s1"}}},
      {9, {7, nullptr, {11, 12, 13, 14, 15, 16, 17, 18}, {"s1"}}},
      {10, {8, nullptr, {11, 12, 13, 14, 15, 16, 17, 18}, {}}},
      {11, {9, nullptr, {11, 12, 13, 14, 15, 16, 17}, {"s1"}}},
      {12, {10, nullptr, {11, 12, 13, 14, 15, 16, 17}, {"s1", "s2"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    events.clear();
    EXPECT_EQ(Fake()->Fire(c.slot, ints, strings), orvex::S_OK);
    TEvent expected = c.expected;
    expected.UserData = &userData_;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], expected);
  }
}

TEST_F(OrvexApiTest, EventStringsReachCallbacksWithTheLowByteOfEachUnit) {
  handle_ = NewWithCallbacks();
  ASSERT_NE(handle_, nullptr);
  Fake()->Fire(4, {3, 1}, {std::u16string{u'A', 0x80, 0xff, 0x141, 0x20ac}});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Strings[0], "A\x80\xff\x41\xac");
}

TEST_F(OrvexApiTest, WithAllCallbacksNullTheSinkIsStillAttachedAndEventsAreDropped) {
  handle_ = New(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                nullptr, nullptr);
  ASSERT_NE(handle_, nullptr);
  EXPECT_EQ(Fake()->SinksAttached(), 1);
  for (int slot = 3; slot <= 12; ++slot)
    EXPECT_EQ(Fake()->Fire(slot, {1, 2, 3}, {u"x", u"y", u"z"}), orvex::S_OK) << slot;
  EXPECT_TRUE(events.empty());
}

// ---- Lifecycle -------------------------------------------------------------------------------

TEST_F(OrvexApiTest, DeleteDetachesTheSinkAndReturnsTheFinalReleaseCount) {
  TerminalHandle* handle = NewWithCallbacks();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Fake()->SinksAttached(), 1);
  EXPECT_EQ(Delete(handle), 0);
  EXPECT_EQ(Fake()->SinksAttached(), 0);
  EXPECT_EQ(Fake()->ServersAlive(), 0);
  const auto calls = Fake()->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Method, "Advise");
  EXPECT_EQ(calls[1].Method, "Unadvise");

  // With another holder of the server, the release leaves one reference.
  Fake()->HoldNextServer(true);
  handle = NewWithCallbacks();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Delete(handle), 1);
  EXPECT_EQ(Fake()->ServersAlive(), 1);
}

TEST_F(OrvexApiTest, DeleteReturnsTheConnectionPointErrorAndStillLetsTheServerGo) {
  TerminalHandle* handle = NewWithCallbacks();
  ASSERT_NE(handle, nullptr);
  Fake()->FailConnectionPoint(true);
  EXPECT_EQ(Delete(handle), orvex::E_NOINTERFACE);
  // The server went, and with it the sink it still held (TearDown checks both).
}

TEST_F(OrvexApiTest, NewReturnsZeroWithoutAUsableServer) {
  const auto newHandle = [this] { return NewWithCallbacks(); };
  unsetenv("ORVEXNET_SERVER");
  EXPECT_EQ(newHandle(), nullptr);
  setenv("ORVEXNET_SERVER", "/no/such/provider.so", 1);
  EXPECT_EQ(newHandle(), nullptr);
  setenv("ORVEXNET_SERVER", FAKE_ORVEXNET_PATH, 1);
  Fake()->FailCreate(true);
  EXPECT_EQ(newHandle(), nullptr);
  Fake()->FailCreate(false);
  Fake()->FailConnectionPoint(true);
  EXPECT_EQ(newHandle(), nullptr);
  EXPECT_EQ(Fake()->ServersAlive(), 0);
  EXPECT_EQ(Fake()->SinksAttached(), 0);
}

} // namespace
