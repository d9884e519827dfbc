// The start and stop sequences in process, on the real data modules: a start that fails at any
// step leaves nothing behind (no thread, no listening socket, no database connection, no open
// log file) and the server Stopped and able to start again; a stop and a start in one process
// take up a changed PortNo.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/BaseClient.h"
#include "clients/dmodComps.h"
#include "host/LogFile.h"
#include "host/dmodServerOptions.h"
#include "platform/OperatorUi.h"
#include "platform/TNMainLoop.h"
#include "platform/ThreadRegistry.h"
#include "server/ServerFixture.h"
#include "server/frmHidden.h"
#include "store/DbSession.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"
#include "support/ProtocolClient.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace voxmit::test {
namespace {

namespace fs = std::filesystem;

// What the process holds that a run could leave behind. Database connections are counted by
// the data module rather than by descriptors: SQLite keeps a closed connection's descriptors
// open while another connection of the process holds a lock on the file, and reuses them.
struct TResources {
  int Threads = 0;
  int Sockets = 0;
  size_t DatabaseConnections = 0;
  bool operator==(const TResources&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TResources& r) {
  return out << "{threads " << r.Threads << ", sockets " << r.Sockets
             << ", database connections " << r.DatabaseConnections << "}";
}

TResources Resources(const TDMData& data) {
  TResources r;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++r.Threads;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind("socket:", 0) == 0) ++r.Sockets;
  }
  r.DatabaseConnections = data.OpenConnections();
  return r;
}

bool CanConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Every log file of the home folder, joined.
std::string LogFiles(const fs::path& home) {
  std::string all;
  for (const auto& entry : fs::directory_iterator(home)) {
    if (entry.path().filename().string().rfind("LOG", 0) != 0) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    all += text.str();
  }
  return all;
}

// How a step is made to fail: the test hook throws there, or a real fault.
enum class TFault { Hook, MessagesTableGone, CarriersColumnGone, PortBusy, DevicesTableGone };

struct TFailureCase {
  const char* Name;
  TStartStep Step;
  TFault Fault;
  const char* Error;  // a part of the error reported; nullptr: any text
};

class ServerTest : public ::testing::Test {
protected:
  ServerTest() {
    auto ui = std::make_unique<THeadlessOperatorUi>();
    ui_ = ui.get();
    SetOperatorUi(std::move(ui));
    ServerRunning = false;
    form_ = std::make_unique<THiddenForm>(modules_.Modules());
    form_->StopNoticeDelayMs = 0;
  }
  ~ServerTest() override {
    form_.reset();
    ServerRunning = false;
    TNMainLoop::Instance().Drain([](const TNPostedMessage&) {});
    SetOperatorUi(nullptr);
  }

  // Runs SQL on a connection of its own, closed again before this returns.
  void Sql(const std::string& sql) {
    Poco::Data::Session session = OpenDbSession(modules_.DatabaseFile());
    session << sql, Poco::Data::Keywords::now;
  }

  TResources Now() { return Resources(modules_.Modules().Data); }
  // Waits until the process holds what it held before (a self-ending thread may still be on
  // its way out).
  ::testing::AssertionResult BackTo(const TResources& before) {
    if (WaitUntil([&] { return Now() == before; }, 5s)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "before " << before << ", after " << Now();
  }

  TServerModulesFixture modules_;
  THeadlessOperatorUi* ui_ = nullptr;
  std::unique_ptr<THiddenForm> form_;
};

class FailedStart : public ServerTest, public ::testing::WithParamInterface<TFailureCase> {
protected:
  void Break() {
    switch (GetParam().Fault) {
      case TFault::Hook: break;
      case TFault::MessagesTableGone: Sql("ALTER TABLE Messages RENAME TO MessagesAway"); break;
      // The start-up clean-up reads only CarrierID of Carriers; the carriers load reads all.
      case TFault::CarriersColumnGone: Sql("ALTER TABLE Carriers DROP COLUMN IntroducedTime"); break;
      case TFault::PortBusy: blocker_ = Listen(modules_.Port()); break;
      case TFault::DevicesTableGone: Sql("ALTER TABLE Devices RENAME TO DevicesAway"); break;
    }
  }
  void Repair() {
    switch (GetParam().Fault) {
      case TFault::Hook: break;
      case TFault::MessagesTableGone: Sql("ALTER TABLE MessagesAway RENAME TO Messages"); break;
      case TFault::CarriersColumnGone:
        Sql("ALTER TABLE Carriers ADD COLUMN IntroducedTime VARCHAR(23)");
        break;
      case TFault::PortBusy: blocker_.reset(); break;
      case TFault::DevicesTableGone: Sql("ALTER TABLE DevicesAway RENAME TO Devices"); break;
    }
  }

  static std::unique_ptr<Poco::Net::ServerSocket> Listen(int port) {
    auto socket = std::make_unique<Poco::Net::ServerSocket>();
    socket->bind(Poco::Net::SocketAddress("0.0.0.0", static_cast<uint16_t>(port)), false);
    socket->listen(1);
    return socket;
  }

  std::unique_ptr<Poco::Net::ServerSocket> blocker_;
};

TEST_P(FailedStart, UndoesEveryStepBeforeAndLeavesTheServerStopped) {
  const TFailureCase& c = GetParam();
  Break();
  std::vector<TStartStep> reached;
  form_->StartStepHook = [&](TStartStep step) {
    reached.push_back(step);
    if (c.Fault == TFault::Hook && step == c.Step)
      throw std::runtime_error(std::string("test: ") + StartStepName(step) + " fails");
  };
  const TResources before = Now();

  EXPECT_FALSE(form_->StartServer());

  // It failed at its step, not earlier.
  ASSERT_FALSE(reached.empty());
  EXPECT_EQ(reached.back(), c.Step);
  EXPECT_EQ(reached.size(), static_cast<size_t>(c.Step) + 1);
  EXPECT_FALSE(form_->LastStartError().empty());
  if (c.Error) {
    EXPECT_NE(form_->LastStartError().find(c.Error), std::string::npos) << form_->LastStartError();
  }
  EXPECT_EQ(ui_->LastWarning(), form_->LastStartError());
  // Stopped, as before the start.
  EXPECT_EQ(form_->Run(), nullptr);
  EXPECT_FALSE(ServerRunning);
  EXPECT_FALSE(ServerStarting);
  EXPECT_FALSE(ui_->BusyCursor());
  EXPECT_EQ(ui_->TrayTip(), "VoxmitServer - Stopped");
  EXPECT_EQ(ui_->TrayIcon(), tiStopped);
  // Nothing left behind.
  const TServerModules modules = modules_.Modules();
  EXPECT_FALSE(modules.Maintenance.Running());
  EXPECT_FALSE(modules.Comps.Active());
  EXPECT_FALSE(LogFileIsOpen());
  EXPECT_EQ(TNThreadRegistry::Instance().Running(), 0);
  EXPECT_TRUE(BackTo(before));
  if (c.Fault != TFault::PortBusy) {
    EXPECT_FALSE(CanConnect(modules_.Port()));
  }
  // A failure once the log file was open still reaches the file before it is closed.
  if (c.Step > TStartStep::OpenLog) {
    EXPECT_NE(LogFiles(modules_.Home().Path()).find(form_->LastStartError()), std::string::npos);
  }

  // Nothing stale either: once the fault is gone the server starts and stops again.
  Repair();
  const TResources repaired = Now();
  form_->StartStepHook = nullptr;
  ASSERT_TRUE(form_->StartServer()) << form_->LastStartError();
  EXPECT_TRUE(ServerRunning);
  EXPECT_TRUE(CanConnect(modules_.Port()));
  form_->StopServer();
  EXPECT_FALSE(ServerRunning);
  EXPECT_TRUE(BackTo(repaired));
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailedStart,
    ::testing::Values(
        TFailureCase{"ApplyOptions", TStartStep::ApplyOptions, TFault::Hook, "test: apply"},
        TFailureCase{"CompactDatabase", TStartStep::CompactDatabase, TFault::Hook,
                     "test: compact"},
        TFailureCase{"StartupCleanup", TStartStep::StartupCleanup, TFault::MessagesTableGone,
                     nullptr},
        TFailureCase{"StartMaintenance", TStartStep::StartMaintenance, TFault::Hook,
                     "test: start maintenance"},
        TFailureCase{"OpenLog", TStartStep::OpenLog, TFault::Hook, "test: open log"},
        TFailureCase{"LoadCarriers", TStartStep::LoadCarriers, TFault::CarriersColumnGone,
                     nullptr},
        TFailureCase{"StartIntake", TStartStep::StartIntake, TFault::Hook,
                     "test: start intake"},
        TFailureCase{"ActivateListener", TStartStep::ActivateListener, TFault::PortBusy,
                     "Socket error: Address already in use (98), on API 'bind'"},
        TFailureCase{"CreateScheduler", TStartStep::CreateScheduler, TFault::DevicesTableGone,
                     nullptr}),
    [](const ::testing::TestParamInfo<TFailureCase>& info) { return info.param.Name; });

TEST_F(ServerTest, StopAndStartAgainTakeUpAChangedPort) {
  const int first = modules_.Port();
  const TResources before = Now();
  ASSERT_TRUE(form_->StartServer()) << form_->LastStartError();
  EXPECT_TRUE(CanConnect(first));

  // Read at each start only: the running listener stays where it is.
  const int second = FreeTcpPort();
  modules_.Modules().Options.KioOptions.OptionByName("PortNo").Value = int64_t{second};
  EXPECT_TRUE(CanConnect(first));
  EXPECT_FALSE(CanConnect(second));

  form_->StopServer();
  EXPECT_FALSE(CanConnect(first));
  EXPECT_TRUE(BackTo(before));

  ASSERT_TRUE(form_->StartServer()) << form_->LastStartError();
  EXPECT_TRUE(CanConnect(second));
  EXPECT_FALSE(CanConnect(first));
  ASSERT_NE(form_->Run(), nullptr);
  EXPECT_EQ(form_->Run()->NoticeOrigin().Port, second);

  // A channel's notice reaches the sessions of the new run, naming the new port.
  auto client = std::make_unique<TProtocolClient>(static_cast<uint16_t>(second));
  client->Logon("{00000000-0000-0000-0000-00000000c1c1}", "cycle");
  const auto logon = client->ReadReply(5s);
  ASSERT_TRUE(logon.has_value());
  ASSERT_EQ(logon->Keyword, "LOGON_OK");
  form_->Run()->ChannelCallbacks().Notice("from a channel");
  const auto notice = client->ReadReply(5s);
  ASSERT_TRUE(notice.has_value());
  EXPECT_EQ(notice->Keyword, "BROADCAST_MESSAGE");
  EXPECT_NE(notice->Data.find("Port: " + std::to_string(second) + ") : from a channel"),
            std::string::npos)
      << notice->Data;

  form_->StopNoticeDelayMs = 1000;  // the time the notice has to reach the client
  form_->StopServer();
  const auto shutdown = client->ReadReply(5s);
  ASSERT_TRUE(shutdown.has_value());
  EXPECT_NE(shutdown->Data.find("Voxmit Server Shutting Down."), std::string::npos);
  EXPECT_TRUE(client->Closed());
  client.reset();
  EXPECT_EQ(TNThreadRegistry::Instance().Running(), 0);
  EXPECT_TRUE(BackTo(before));
}

// A log that cannot be written (a full disk) while a start fails must not keep the roll-back
// from undoing the steps: the error line is written at once, before the roll-back.
TEST_F(ServerTest, RollBackRunsWhenTheLogCannotBeWritten) {
  const TResources before = Now();
  SetLogWindowSink([](const std::string&) { throw std::runtime_error("test: disk full"); });
  form_->StartStepHook = [](TStartStep step) {
    if (step == TStartStep::CreateScheduler) throw std::runtime_error("test: scheduler fails");
  };
  EXPECT_FALSE(form_->StartServer());
  SetLogWindowSink(nullptr);
  EXPECT_EQ(form_->LastStartError(), "test: scheduler fails");
  EXPECT_FALSE(ServerRunning);
  const TServerModules modules = modules_.Modules();
  EXPECT_FALSE(modules.Comps.Active());
  EXPECT_FALSE(modules.Maintenance.Running());
  EXPECT_FALSE(LogFileIsOpen());
  EXPECT_FALSE(CanConnect(modules_.Port()));
  EXPECT_TRUE(BackTo(before));
}

// A stop step that fails neither ends the stop nor leaves the server half running: every later
// step still runs, the server is Stopped, and the stop reports the failure (a headless process
// then exits with code 1).
class FailedStop : public ServerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedStop, EveryOtherStepStillRunsAndTheStopReportsIt) {
  const TResources before = Now();
  ASSERT_TRUE(form_->StartServer()) << form_->LastStartError();
  auto client = std::make_unique<TProtocolClient>(static_cast<uint16_t>(modules_.Port()));
  client->Logon("{00000000-0000-0000-0000-00000000f5f5}", "failed stop");
  ASSERT_TRUE(client->ReadReply(5s).has_value());
  std::vector<std::string> ran;
  form_->StopStepHook = [&](const char* step) {
    ran.push_back(step);
    if (std::string(step) == GetParam()) throw std::runtime_error("test: step fails");
  };

  EXPECT_FALSE(form_->StopForExit());

  EXPECT_NE(std::find(ran.begin(), ran.end(), std::string(GetParam())), ran.end());
  EXPECT_EQ(ran.back(), "drop containers");
  EXPECT_FALSE(ServerRunning);
  EXPECT_TRUE(ServerExiting);
  EXPECT_EQ(form_->Run(), nullptr);
  EXPECT_EQ(ui_->TrayTip(), "VoxmitServer - Exiting - Please wait.");
  const TServerModules modules = modules_.Modules();
  EXPECT_FALSE(modules.Comps.Active());
  EXPECT_FALSE(modules.Maintenance.Running());
  EXPECT_FALSE(LogFileIsOpen());
  EXPECT_TRUE(client->Closed());
  client.reset();
  EXPECT_TRUE(BackTo(before));
  ServerExiting = false;
  form_->StopStepHook = nullptr;
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailedStop,
                         ::testing::Values("disconnect sessions", "close listener",
                                           "close connections", "free scheduler",
                                           "wait for threads", "stop intake", "close log",
                                           "stop maintenance", "drop containers"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

TEST_F(ServerTest, CleanStopForExitReportsSuccess) {
  ASSERT_TRUE(form_->StartServer()) << form_->LastStartError();
  EXPECT_TRUE(form_->StopForExit());
  EXPECT_FALSE(ServerRunning);
  EXPECT_TRUE(ServerExiting);
  ServerExiting = false;
}

} // namespace
} // namespace voxmit::test