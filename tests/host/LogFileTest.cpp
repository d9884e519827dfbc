#include "host/LogFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include <signal.h>
#include <sys/resource.h>
#include <vector>

#include "host/ServerSettings.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "support/TempHome.h"

namespace voxmit {
namespace {

using test::TempHome;
namespace fs = std::filesystem;

class LogFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    DrainMainLoop();
    settings::LogToFile = true;
    settings::LogFilesNoMax = 4;
    settings::LogFileMaxLines = 10000;
  }

  void TearDown() override {
    CloseLog();
    SetLogWindowSink({});
    SetLogFolder({});
    settings::LogToFile = false;
    settings::LogFilesNoMax = 4;
    settings::LogFileMaxLines = 10000;
    DrainMainLoop();
  }

  static std::vector<TNPostedMessage> DrainMainLoop() {
    std::vector<TNPostedMessage> drained;
    TNMainLoop::Instance().Drain([&](const TNPostedMessage& m) { drained.push_back(m); });
    return drained;
  }

  // One server start and stop that logs one line.
  void StartAndStop(const std::string& line) {
    OpenLog();
    ASSERT_TRUE(LogFileIsOpen());
    HandleLogLine(line);
    CloseLog();
  }

  // The LOG*.TXT files of the home folder, any case, with their contents.
  std::map<std::string, std::string> LogFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(home_.Path())) {
      const std::string name = entry.path().filename().string();
      if (name != "Settings.ini") files[name] = home_.Read(name);
    }
    return files;
  }

  TempHome home_;
};

TEST_F(LogFileTest, FiveStartsFillTheFilesAndTheSixthShiftsThemDown) {
  home_.Write("LOGX.TXT", "x");
  home_.Write("log1.txt", "lower");
  home_.Write("LOG.TXT", "bare");
  for (int i = 0; i < 5; ++i) StartAndStop("start " + std::to_string(i));
  std::map<std::string, std::string> expected = {
      {"LOG0.TXT", "start 0\r\n"}, {"LOG1.TXT", "start 1\r\n"}, {"LOG2.TXT", "start 2\r\n"},
      {"LOG3.TXT", "start 3\r\n"}, {"LOG4.TXT", "start 4\r\n"}, {"LOGX.TXT", "x"},
      {"log1.txt", "lower"},       {"LOG.TXT", "bare"}};
  EXPECT_EQ(LogFiles(), expected);

  StartAndStop("start 5");
  expected["LOG0.TXT"] = "start 1\r\n";
  expected["LOG1.TXT"] = "start 2\r\n";
  expected["LOG2.TXT"] = "start 3\r\n";
  expected["LOG3.TXT"] = "start 4\r\n";
  expected["LOG4.TXT"] = "start 5\r\n";
  EXPECT_EQ(LogFiles(), expected);
}

TEST_F(LogFileTest, WithOneFileEveryStartReplacesLog0) {
  settings::LogFilesNoMax = 0;
  for (int i = 0; i < 3; ++i) StartAndStop("start " + std::to_string(i));
  EXPECT_EQ(LogFiles(), (std::map<std::string, std::string>{{"LOG0.TXT", "start 2\r\n"}}));
}

TEST_F(LogFileTest, NextNameAfterRotationAndDeletion) {
  struct TCase {
    const char* Name;
    std::vector<int> Existing;
    int32_t MaxNo;
    std::string Next;
    std::vector<std::string> After;  // the LOG files left, sorted, before the new one is made
  };
  const TCase cases[] = {
      {"Empty", {}, 4, "LOG0.TXT", {}},
      {"Growing", {0, 1}, 4, "LOG2.TXT", {"LOG0.TXT", "LOG1.TXT"}},
      {"AfterAGap", {2}, 4, "LOG3.TXT", {"LOG2.TXT"}},
      {"Full", {0, 1, 2}, 2, "LOG2.TXT", {"LOG0.TXT", "LOG1.TXT"}},
      {"LoweredFrom5To3", {0, 1, 2, 3, 4}, 2, "LOG2.TXT", {"LOG0.TXT", "LOG1.TXT"}},
      {"FullWithoutLog0", {1, 2}, 2, "LOG2.TXT", {"LOG0.TXT", "LOG1.TXT"}},
      {"AllAboveTheLimit", {5, 6}, 2, "LOG1.TXT", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TempHome folder(false);
    for (int no : c.Existing)
      folder.Write("LOG" + std::to_string(no) + ".TXT", "file " + std::to_string(no));
    EXPECT_EQ(NextLogFileName(folder.Path(), c.MaxNo), c.Next);
    std::vector<std::string> after;
    for (const auto& entry : fs::directory_iterator(folder.Path()))
      after.push_back(entry.path().filename().string());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, c.After);
  }
}

TEST_F(LogFileTest, LoweringTheFileCountKeepsTheNewestFiles) {
  for (int no = 0; no < 5; ++no)
    home_.Write("LOG" + std::to_string(no) + ".TXT", "file " + std::to_string(no));
  EXPECT_EQ(NextLogFileName(home_.Path(), 2), "LOG2.TXT");
  EXPECT_EQ(LogFiles(), (std::map<std::string, std::string>{{"LOG0.TXT", "file 1"},
                                                            {"LOG1.TXT", "file 2"}}));
}

TEST_F(LogFileTest, TwoNamesWithOneNumberNeverOverwriteEachOther) {
  home_.Write("LOG1.TXT", "one");
  home_.Write("LOG01.TXT", "zero-one");
  home_.Write("LOGLOG1.TXT", "log-log-one");
  EXPECT_EQ(NextLogFileName(home_.Path(), 1), "LOG1.TXT");
  EXPECT_EQ(LogFiles(), (std::map<std::string, std::string>{{"LOG0.TXT", "one"},
                                                            {"LOG01.TXT", "zero-one"},
                                                            {"LOGLOG1.TXT", "log-log-one"}}));
}

TEST_F(LogFileTest, MissingFolderGivesTheFirstNameAndOpenFailsQuietly) {
  EXPECT_EQ(NextLogFileName(home_.File("missing"), 4), "LOG0.TXT");
  SetLogFolder(home_.File("missing"));
  OpenLog();
  EXPECT_FALSE(LogFileIsOpen());
  LogMessage("dropped");
  EXPECT_EQ(TNMainLoop::Instance().Pending(), 0u);
}

TEST_F(LogFileTest, TheFourthOfThreeLinesStartsTheNextFile) {
  settings::LogFileMaxLines = 3;
  OpenLog();
  for (const char* line : {"one", "two", "three"}) HandleLogLine(line);
  EXPECT_EQ(LogFilePath(), home_.File("LOG1.TXT"));  // started right after the third line
  HandleLogLine("four");
  EXPECT_EQ(home_.Read("LOG0.TXT"), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(home_.Read("LOG1.TXT"), "four\r\n");
}

// Holds the size limit of files this process writes at bytes while it exists; writing past it
// fails with EFBIG instead of raising SIGXFSZ.
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, previousHandler_);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
  rlimit old_{};
  sighandler_t previousHandler_;
};

TEST_F(LogFileTest, AFailedWriteRaisesAndTheNextLineIsWritten) {
  OpenLog();
  {
    TFileSizeLimit limit(16);
    EXPECT_THROW(HandleLogLine(std::string(64, 'x')), std::system_error);
  }
  EXPECT_TRUE(LogFileIsOpen());
  HandleLogLine("next");
  const std::string text = home_.Read("LOG0.TXT");
  EXPECT_EQ(text.substr(text.size() - 6), "next\r\n");
}

// Posted lines are written to the file in one go when the batch is flushed; a write that
// fails then is reported by FlushLog (the main loop passes it to its error reporter), and the
// lines after it are written.
TEST_F(LogFileTest, PostedLinesAreWrittenAtTheFlushAndItsFailureIsReported) {
  OpenLog();
  WriteLogLine("one");
  WriteLogLine("two");
  EXPECT_EQ(home_.Read("LOG0.TXT"), "");  // still in the buffer
  FlushLog();
  EXPECT_EQ(home_.Read("LOG0.TXT"), "one\r\ntwo\r\n");

  {
    TFileSizeLimit limit(16);
    WriteLogLine(std::string(64, 'x'));
    EXPECT_THROW(FlushLog(), std::system_error);
  }
  EXPECT_TRUE(LogFileIsOpen());
  WriteLogLine("next");
  FlushLog();
  const std::string text = home_.Read("LOG0.TXT");
  EXPECT_EQ(text.substr(text.size() - 6), "next\r\n");

  // The console echo of a headless run is flushed with the file.
  std::vector<std::string> shown;
  int flushes = 0;
  SetLogWindowSink([&](const std::string& line) { shown.push_back(line); }, [&] { ++flushes; });
  WriteLogLine("echoed");
  EXPECT_EQ(flushes, 0);
  FlushLog();
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(shown, std::vector<std::string>{"echoed"});
  SetLogWindowSink({});
}

TEST_F(LogFileTest, AnOpenAttemptCountsUntilTheNextClose) {
  settings::LogToFile = false;
  OpenLog();
  EXPECT_FALSE(LogFileIsOpen());
  settings::LogToFile = true;
  OpenLog();  // already attempted since the last close
  EXPECT_FALSE(LogFileIsOpen());
  CloseLog();
  OpenLog();
  EXPECT_TRUE(LogFileIsOpen());
  OpenLog();  // open: no second file
  EXPECT_EQ(LogFiles().size(), 1u);
}

TEST_F(LogFileTest, WithBothSinksInactiveNothingIsPosted) {
  ASSERT_FALSE(LogFileIsOpen());
  ASSERT_FALSE(LogWindowCaptures());
  LogMessage("nobody listens");
  std::thread other([] { LogMessage("nor here"); });
  other.join();
  EXPECT_EQ(TNMainLoop::Instance().Pending(), 0u);
}

TEST_F(LogFileTest, LinesFromThreadsReachTheFileInPostingOrderAsGivenBytes) {
  OpenLog();
  std::thread worker([] {
    LogMessage("ChannelThread (TChannelTap)(Modem 1), connecting");
    LogMessage("caf\xe9 \x01 raw");
  });
  worker.join();
  const auto posted = DrainMainLoop();
  ASSERT_EQ(posted.size(), 2u);
  for (const TNPostedMessage& m : posted) {
    EXPECT_EQ(m.Code, static_cast<uint32_t>(WM_LOG_LINE));
    HandleLogLine(m.Text);
  }
  EXPECT_EQ(home_.Read("LOG0.TXT"),
            "ChannelThread (TChannelTap)(Modem 1), connecting\r\ncaf\xe9 \x01 raw\r\n");
}

TEST_F(LogFileTest, TheWindowSinkCapturesWithoutAFile) {
  std::vector<std::string> shown;
  SetLogWindowSink([&](const std::string& line) { shown.push_back(line); });
  LogMessage("to the window");
  for (const TNPostedMessage& m : DrainMainLoop()) HandleLogLine(m.Text);
  EXPECT_EQ(shown, std::vector<std::string>{"to the window"});
  EXPECT_TRUE(LogFiles().empty());

  SetLogWindowSink({});
  LogMessage("gone");
  EXPECT_EQ(TNMainLoop::Instance().Pending(), 0u);
}

} // namespace
} // namespace voxmit
