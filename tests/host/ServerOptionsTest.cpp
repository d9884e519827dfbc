#include "host/dmodServerOptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>

#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "support/TempHome.h"

namespace voxmit {
namespace {

using test::TempHome;
namespace fs = std::filesystem;

struct TDeclared {
  const char* Section;
  const char* Key;
  TNOptionKind Kind;
  TNVariant Value;  // what a missing Settings.ini loads
};

const TDeclared kOptions[] = {
    {"Database", "CompactDatabaseOnStart", okBool, true},
    {"Connections", "PortNo", okInteger, int64_t{215}},
    {"Log", "LogToFile", okBool, false},
    {"Log", "LogFilesFolder", okString, std::string()},
    {"Log", "LogFileMaxLines", okInteger, int64_t{10000}},
    {"Log", "LogFilesNo", okInteger, int64_t{5}},
    {"Log", "LogZeroCarrier", okBool, false},
    {"Log", "AddDateToMsg", okBool, true},
    {"Threads", "SchedulerRequeryPeriod", okInteger, int64_t{10000}},
    {"Threads", "SentConfirmationsRequeryPeriod", okInteger, int64_t{10000}},
    {"Threads", "ThreadWaitLoopTimeout", okInteger, int64_t{2000}},
    {"Modem", "ModemConnectTimeout", okInteger, int64_t{30000}},
    {"Modem", "ModemDisconnectTimeout", okInteger, int64_t{10000}},
    {"Modem", "DtrHangupDelay", okInteger, int64_t{3000}},
    {"Modem", "ModemResponseTimeout", okInteger, int64_t{2000}},
    {"Channels", "LogonRetries", okInteger, int64_t{3}},
    {"Channels", "MessageRetries", okInteger, int64_t{3}},
    {"PACNET", "MaxMessagesPerConnectionPACNET", okInteger, int64_t{10000}},
    {"PACNET", "HeraldTimeoutPACNET", okInteger, int64_t{20000}},
    {"PACNET", "LogonTimeoutPACNET", okInteger, int64_t{15000}},
    {"PACNET", "SendMessageTimeoutPACNET", okInteger, int64_t{15000}},
    {"TAP", "MaxMessagesPerConnectionTAP", okInteger, int64_t{9}},
    {"Maintenance", "MaxUnsentMessageAge", okInteger, int64_t{60}},
    {"Maintenance", "MaxUnconfirmedMessageAge", okInteger, int64_t{1440}},
    {"Maintenance", "MaxArchivedMessageAge", okInteger, int64_t{10080}},
    {"Maintenance", "MaintenancePeriod", okInteger, int64_t{20}},
    {"Channels", "OutputBufferLimit", okInteger, int64_t{1000}},
    {"PACNET", "InputBufferLimitPACNET", okInteger, int64_t{1000}},
    {"TAP", "InputBufferLimitTAP", okInteger, int64_t{27}},
    {"Start", "AutoStartOnLoad", okBool, false},
    {"SMS", "InputBufferLimitSMS", okInteger, int64_t{200}},
    {"SMS", "MaxMessagesPerConnectionSMS", okInteger, int64_t{50}},
    {"Connections", "MaxConnections", okInteger, int64_t{1000}},
};

// Options whose handler copies the integer unchanged into one setting.
struct TCopied {
  const char* Key;
  std::atomic<int32_t>* Setting;
};

const TCopied kCopied[] = {
    {"SchedulerRequeryPeriod", &settings::SchedulerRequeryPeriod},
    {"SentConfirmationsRequeryPeriod", &settings::SentConfirmationsRequeryPeriod},
    {"ThreadWaitLoopTimeout", &settings::ThreadWaitLoopTimeout},
    {"ModemConnectTimeout", &settings::ModemConnectTimeout},
    {"ModemDisconnectTimeout", &settings::ModemDisconnectTimeout},
    {"DtrHangupDelay", &settings::DtrHangupDelay},
    {"ModemResponseTimeout", &settings::ModemResponseTimeout},
    {"LogonRetries", &settings::LogonRetries},
    {"MessageRetries", &settings::MessageRetries},
    {"MaxMessagesPerConnectionPACNET", &settings::MaxMessagesPerConnectionPACNET},
    {"HeraldTimeoutPACNET", &settings::HeraldTimeoutPACNET},
    {"LogonTimeoutPACNET", &settings::LogonTimeoutPACNET},
    {"SendMessageTimeoutPACNET", &settings::SendMessageTimeoutPACNET},
    {"MaxMessagesPerConnectionTAP", &settings::MaxMessagesPerConnectionTAP},
    {"OutputBufferLimit", &settings::OutputBufferLimit},
    {"InputBufferLimitPACNET", &settings::InputBufferLimitPACNET},
    {"InputBufferLimitTAP", &settings::InputBufferLimitTAP},
    {"InputBufferLimitSMS", &settings::InputBufferLimitSMS},
    {"MaxMessagesPerConnectionSMS", &settings::MaxMessagesPerConnectionSMS},
    {"MaxConnections", &settings::MaxConnections},
};

class ServerOptionsTest : public ::testing::Test {
protected:
  void TearDown() override {
    CloseLog();
    SetLogFolder({});
  }

  // Loads Settings.ini as written, then applies it as StartServer does.
  std::unique_ptr<TDMServerOptions> StartWith(const std::string& ini) {
    home_.Write("Settings.ini", ini);
    auto options = std::make_unique<TDMServerOptions>();
    options->ApplyAllValues(true);
    return options;
  }

  TempHome home_;
};

TEST_F(ServerOptionsTest, MissingFileGivesEveryDefaultInOrder) {
  TDMServerOptions options;
  const TNOptions& items = options.KioOptions.Options();
  ASSERT_EQ(items.Count(), static_cast<int32_t>(std::size(kOptions)));
  for (int32_t i = 0; i < items.Count(); ++i) {
    const TNOption& o = items.Items(i);
    const TDeclared& d = kOptions[i];
    EXPECT_EQ(o.SectionName(), d.Section) << d.Key;
    EXPECT_EQ(o.Name(), d.Key);
    EXPECT_EQ(o.Kind(), d.Kind) << d.Key;
    EXPECT_EQ(o.Value, d.Value) << d.Key;
  }
  EXPECT_EQ(options.KioOptions.OptionByName("PortNo").AsInteger(), 215);
  EXPECT_TRUE(options.KioOptions.OptionByName("CompactDatabaseOnStart").AsBool());
  EXPECT_FALSE(options.KioOptions.OptionByName("AutoStartOnLoad").AsBool());
  EXPECT_FALSE(fs::exists(home_.File("Settings.ini")));
}

TEST_F(ServerOptionsTest, DefaultsApplyTheDefaultSettings) {
  // Disturb the settings first, as an earlier run with other values would.
  for (const TCopied& c : kCopied) *c.Setting = -1;
  settings::LogFileMaxLines = 1;
  settings::LogFilesNoMax = 0;
  settings::AddDateToMsg = false;
  settings::LogZeroCarrier = true;
  settings::MaintenancePeriod = 1;

  auto options = StartWith("");
  for (const TCopied& c : kCopied)
    EXPECT_EQ(c.Setting->load(), options->KioOptions.OptionByName(c.Key).AsInteger()) << c.Key;
  EXPECT_EQ(settings::LogFileMaxLines, 10000);
  EXPECT_EQ(settings::LogFilesNoMax, 4);
  EXPECT_TRUE(settings::AddDateToMsg);
  EXPECT_FALSE(settings::LogZeroCarrier);
  EXPECT_FALSE(settings::LogToFile);
  EXPECT_EQ(settings::MaintenancePeriod, 20);
  EXPECT_EQ(LogFolder(), home_.Path());
}

TEST_F(ServerOptionsTest, HandlersCopyTheFileValues) {
  std::map<std::string, std::string> sections;  // a section appears once in a file
  int32_t value = 100;
  for (const TCopied& c : kCopied) {
    for (const TDeclared& d : kOptions)
      if (std::string(d.Key) == c.Key)
        sections[d.Section] += std::string(c.Key) + "=" + std::to_string(value) + "\n";
    ++value;
  }
  sections["Log"] = "LogZeroCarrier=1\nAddDateToMsg=0\nLogFilesNo=3\nLogFileMaxLines=0x20\n";
  std::string ini;
  for (const auto& [section, lines] : sections) ini += "[" + section + "]\n" + lines;
  auto options = StartWith(ini);
  value = 100;
  for (const TCopied& c : kCopied) EXPECT_EQ(c.Setting->load(), value++) << c.Key;
  EXPECT_TRUE(settings::LogZeroCarrier);
  EXPECT_FALSE(settings::AddDateToMsg);
  EXPECT_EQ(settings::LogFilesNoMax, 2);
  EXPECT_EQ(settings::LogFileMaxLines, 32);
}

TEST_F(ServerOptionsTest, LogLimitsBelowOneAreRaisedToOne) {
  StartWith("[Log]\nLogFilesNo=0\nLogFileMaxLines=-5\n");
  EXPECT_EQ(settings::LogFilesNoMax, 0);
  EXPECT_EQ(settings::LogFileMaxLines, 1);
}

TEST_F(ServerOptionsTest, AConnectionLimitBelowOneIsRaisedToOne) {
  // 0 would refuse every client.
  for (const char* value : {"0", "-3"}) {
    StartWith(std::string("[Connections]\nMaxConnections=") + value + "\n");
    EXPECT_EQ(settings::MaxConnections, 1) << value;
  }
  settings::MaxConnections = 1000;
}

TEST_F(ServerOptionsTest, AWaitSliceBelowTenMillisecondsIsRaisedToTen) {
  // A slice of 0 made every waiting thread spin (two CPUs busy with the server idle).
  for (const char* value : {"0", "-100", "9"}) {
    StartWith(std::string("[Threads]\nThreadWaitLoopTimeout=") + value + "\n");
    EXPECT_EQ(settings::ThreadWaitLoopTimeout, 10) << value;
  }
  StartWith("[Threads]\nThreadWaitLoopTimeout=11\n");
  EXPECT_EQ(settings::ThreadWaitLoopTimeout, 11);
}

TEST_F(ServerOptionsTest, MaintenancePeriodIsTheSmallestOfPeriodAndAges) {
  auto options = StartWith("[Maintenance]\nMaintenancePeriod=120\n");
  EXPECT_EQ(settings::MaintenancePeriod, 60);  // the unsent age is smaller

  TKioOptions& kio = options->KioOptions;
  kio.OptionByName("MaxUnsentMessageAge").Value = int64_t{30};
  kio.ApplyAllChanges();
  EXPECT_EQ(settings::MaxUnsentMessageAge, 30);
  EXPECT_EQ(settings::MaintenancePeriod, 30);

  // Raising an age alone never raises the period; applying the period again does.
  kio.OptionByName("MaxUnsentMessageAge").Value = int64_t{500};
  kio.ApplyAllChanges();
  EXPECT_EQ(settings::MaintenancePeriod, 30);
  kio.OptionByName("MaintenancePeriod").ApplyValue();
  EXPECT_EQ(settings::MaintenancePeriod, 120);
}

TEST_F(ServerOptionsTest, LogFilesFolderNamingAMissingFolderFallsBackToHome) {
  auto options = StartWith("[Log]\nLogFilesFolder=\" /no/such/folder \"\n");
  EXPECT_EQ(LogFolder(), home_.Path());
  TNOption& folder = options->KioOptions.OptionByName("LogFilesFolder");
  EXPECT_EQ(folder.Value, TNVariant(std::string()));
  options->KioOptions.SaveOptions();
  EXPECT_NE(home_.Read("Settings.ini").find("LogFilesFolder=\"\"\n"), std::string::npos);
}

TEST_F(ServerOptionsTest, LogFilesFolderNamingAFolderIsUsedTrimmed) {
  fs::create_directory(home_.File("logs"));
  auto options = StartWith("[Log]\nLogFilesFolder=\"  logs \"\n");
  EXPECT_EQ(LogFolder(), home_.File("logs"));  // relative to the home folder

  TNOption& folder = options->KioOptions.OptionByName("LogFilesFolder");
  folder.Value = home_.File("logs").string();
  folder.ApplyValue();
  EXPECT_EQ(LogFolder(), home_.File("logs"));

  folder.Value = std::string("   ");
  folder.ApplyValue();
  EXPECT_EQ(LogFolder(), home_.Path());
}

TEST_F(ServerOptionsTest, SaveWritesStringsQuotedAndCreatesTheFile) {
  {
    TDMServerOptions options;
    EXPECT_EQ(DMServerOptions(), &options);
    options.KioOptions.OptionByName("LogFilesFolder").Value = std::string("/var/log/voxmit");
  }
  EXPECT_EQ(DMServerOptions(), nullptr);
  const std::string text = home_.Read("Settings.ini");
  EXPECT_EQ(text.rfind("[Database]\nCompactDatabaseOnStart=1\n\n[Connections]\nPortNo=215\n", 0), 0u)
      << text;
  EXPECT_NE(text.find("LogFilesFolder=\"/var/log/voxmit\"\n"), std::string::npos);
  EXPECT_NE(text.find("[SMS]\nInputBufferLimitSMS=200\nMaxMessagesPerConnectionSMS=50\n"),
            std::string::npos);
}

TEST_F(ServerOptionsTest, LogToFileWaitsForTheStartButActsAtOnceOtherwise) {
  auto options = StartWith("[Log]\nLogToFile=1\n");
  EXPECT_TRUE(settings::LogToFile);
  EXPECT_FALSE(LogFileIsOpen());  // the start opens it itself, once the folder is in effect
  OpenLog();
  EXPECT_TRUE(LogFileIsOpen());

  TNOption& logToFile = options->KioOptions.OptionByName("LogToFile");
  logToFile.Value = false;
  options->KioOptions.ApplyAllChanges();
  EXPECT_FALSE(settings::LogToFile);
  EXPECT_FALSE(LogFileIsOpen());

  logToFile.Value = true;
  options->KioOptions.ApplyAllChanges();
  EXPECT_TRUE(LogFileIsOpen());
  EXPECT_TRUE(fs::exists(home_.File("LOG1.TXT")));  // a new file: LOG0 was the first
}

} // namespace
} // namespace voxmit
