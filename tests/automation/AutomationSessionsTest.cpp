// The automation objects in this process, on the private session bus the test runs in, with a
// real clients list: what the objects' sessions show the connections window, and that a
// release or a client leaving the bus takes the session out of the list.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include "automation/AutomationIds.h"
#include "automation/AutomationServer.h"
#include "clients/TcpMessages.h"
#include "support/WaitUntil.h"

namespace voxmit {
namespace {

using test::WaitUntil;

constexpr const char* kUnknown = "VoxmitServer2.IUnknown";
constexpr const char* kServer = "VoxmitServer2.IVoxmitServer";
constexpr const char* kServerEx = "VoxmitServer2.IVoxmitServerEx";

class AutomationSessions : public ::testing::Test {
protected:
  void SetUp() override {
    context.Clients = std::make_shared<TClientsList>();
    context.Carriers = std::make_shared<TCarriersList>();
    context.Input = std::make_shared<TInputMessageQueue>();
    TAutomationHost host{
        .StartServer = [] {},
        .StopServer = [] {},
        .ShowMenu = [](int32_t, int32_t) {},
        .Running = [] { return true; },
        .EndProcess = [this] { ended = true; },
    };
    server = std::make_unique<TAutomationServer>(TAutomationOptions{}, std::move(host));
    server->SetSessionContext(context);
    client = sdbus::createSessionBusConnection();
    factory = sdbus::createProxy(*client, kAutomationBusName, kFactoryPath);
    factory->finishRegistration();
  }

  void TearDown() override {
    factory.reset();
    client.reset();
    server.reset();
  }

  std::unique_ptr<sdbus::IProxy> Create(const std::string& className) {
    sdbus::ObjectPath path;
    factory->callMethod("CreateObject")
        .onInterface("VoxmitServer2.ClassFactory")
        .withArguments(className)
        .storeResultsTo(path);
    auto proxy = sdbus::createProxy(*client, kAutomationBusName, path);
    proxy->finishRegistration();
    return proxy;
  }

  // The one session in the list (nullptr unless there is exactly one).
  std::shared_ptr<TBaseClient> OnlyClient() {
    TNReadLock lock(context.Clients->Lock());
    return context.Clients->Count() == 1 ? context.Clients->Items(0) : nullptr;
  }

  bool ListEmpty() {
    TNReadLock lock(context.Clients->Lock());
    return context.Clients->Count() == 0;
  }

  TSessionContext context;
  std::atomic<bool> ended{false};
  std::unique_ptr<TAutomationServer> server;
  std::unique_ptr<sdbus::IConnection> client;
  std::unique_ptr<sdbus::IProxy> factory;
};

TEST_F(AutomationSessions, TextObjectSessionShowsWhatItsClientReported) {
  auto object = Create(kVoxmitServerProgId);
  object->callMethod("ReportClientHostName").onInterface(kServer).withArguments(std::string("h1"));
  object->callMethod("ReportClientIpAddress")
      .onInterface(kServer)
      .withArguments(std::string("127.0.0.5"));
  object->callMethod("SendMessage")
      .onInterface(kServer)
      .withArguments(std::string(FrameStart) + "LOGON,{1A1B2C3D-0000-4000-8000-000000000001},\"\"" +
                     std::string(FrameEnd));
  ASSERT_TRUE(WaitUntil([&] { return OnlyClient() != nullptr; }));
  auto session = OnlyClient();
  EXPECT_EQ(session->ClientKind(), "COM");
  EXPECT_EQ(session->GetHostName(), "h1");
  EXPECT_EQ(session->GetIpAddress(), "127.0.0.5");
  EXPECT_EQ(session->ClientGUID(), "{1A1B2C3D-0000-4000-8000-000000000001}");
  // A later report reaches the live session too.
  object->callMethod("ReportClientHostName").onInterface(kServer).withArguments(std::string("h2"));
  EXPECT_EQ(session->GetHostName(), "h2");
  session.reset();

  object->callMethod("Release").onInterface(kUnknown);
  EXPECT_TRUE(WaitUntil([&] { return ListEmpty(); }));
  EXPECT_TRUE(WaitUntil([&] { return server->ObjectCount() == 0; }));
  EXPECT_FALSE(ended);  // not a bus-activated process
}

TEST_F(AutomationSessions, TypedObjectSessionShowsTheLogonDescription) {
  auto object = Create(kVoxmitServerExProgId);
  object->callMethod("Logon").onInterface(kServerEx).withArguments(std::string(""),
                                                                    std::string("desk 7"));
  ASSERT_TRUE(WaitUntil([&] { return OnlyClient() != nullptr; }));
  auto session = OnlyClient();
  EXPECT_EQ(session->ClientKind(), "COM");
  EXPECT_EQ(session->GetHostName(), "desk 7");
  EXPECT_EQ(session->GetIpAddress(), "");
  session.reset();
  object->callMethod("Release").onInterface(kUnknown);
  EXPECT_TRUE(WaitUntil([&] { return ListEmpty(); }));
}

TEST_F(AutomationSessions, AClientLeavingTheBusReleasesEverythingItHeld) {
  auto ex = Create(kVoxmitServerExProgId);
  auto text = Create(kVoxmitServerClassId);
  ex->callMethod("Logon").onInterface(kServerEx).withArguments(std::string(""), std::string("a"));
  ASSERT_TRUE(WaitUntil([&] { return OnlyClient() != nullptr; }));
  EXPECT_EQ(server->ObjectCount(), 2u);
  ex.reset();
  text.reset();
  factory.reset();
  client.reset();  // the client's connection closes without a Release
  EXPECT_TRUE(WaitUntil([&] { return ListEmpty(); }));
  EXPECT_TRUE(WaitUntil([&] { return server->ObjectCount() == 0; }));
}

TEST_F(AutomationSessions, ACallerMayNotReleaseAnotherCallersObject) {
  auto object = Create(kVoxmitServerExProgId);
  auto other = sdbus::createSessionBusConnection();
  auto foreign = sdbus::createProxy(*other, kAutomationBusName, object->getObjectPath());
  foreign->finishRegistration();
  try {
    foreign->callMethod("Release").onInterface(kUnknown);
    FAIL() << "a foreign Release was taken";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), kErrorReleased);
  }
  EXPECT_EQ(server->ObjectCount(), 1u);
  object->callMethod("Release").onInterface(kUnknown);
  EXPECT_TRUE(WaitUntil([&] { return server->ObjectCount() == 0; }));
}

TEST_F(AutomationSessions, AClientHoldsAtMostItsShareOfObjects) {
  server.reset();
  server = std::make_unique<TAutomationServer>(TAutomationOptions{.MaxObjectsPerClient = 3},
                                               TAutomationHost{});
  std::vector<std::unique_ptr<sdbus::IProxy>> held;
  for (int i = 0; i < 3; ++i) held.push_back(Create(kVoxmitServerExProgId));
  try {
    Create(kVoxmitServerProgId);
    FAIL() << "a fourth object was made";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), kErrorTooManyObjects);
  }
  // Another client has its own share.
  auto other = sdbus::createSessionBusConnection();
  auto otherFactory = sdbus::createProxy(*other, kAutomationBusName, kFactoryPath);
  otherFactory->finishRegistration();
  sdbus::ObjectPath path;
  otherFactory->callMethod("CreateObject")
      .onInterface("VoxmitServer2.ClassFactory")
      .withArguments(std::string(kVoxmitServerExProgId))
      .storeResultsTo(path);
  // A released object frees its place.
  held.back()->callMethod("Release").onInterface(kUnknown);
  held.pop_back();
  EXPECT_NO_THROW(held.push_back(Create(kVoxmitServerProgId)));
  EXPECT_EQ(server->ObjectCount(), 4u);
}

TEST_F(AutomationSessions, TheFirstObjectOfAnActivatedProcessEndsIt) {
  server.reset();
  TAutomationHost host{.StartServer = [] {},
                       .StopServer = [] {},
                       .ShowMenu = [](int32_t, int32_t) {},
                       .Running = [] { return true; },
                       .EndProcess = [this] { ended = true; }};
  server = std::make_unique<TAutomationServer>(TAutomationOptions{.Activated = true},
                                               std::move(host));
  auto first = Create(kVoxmitServerExProgId);
  auto second = Create(kVoxmitServerExProgId);
  second->callMethod("Release").onInterface(kUnknown);
  ASSERT_TRUE(WaitUntil([&] { return server->ObjectCount() == 1; }));
  EXPECT_FALSE(ended);
  first->callMethod("Release").onInterface(kUnknown);
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }));
}

} // namespace
} // namespace voxmit
