// The options dialog: unit conversions, the OK rule, Cancel, the key filter of the numeric
// fields, the restart notice and the login autostart entry.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/dmodServerOptions.h"
#include "server/ServerFixture.h"
#include "server/frmHidden.h"
#include "support/TempHome.h"
#include "ui/AutoStartEntry.h"
#include "ui/UiTestSupport.h"
#include "ui/frmServerOptions.h"

using namespace voxmit;

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class OptionsDialog : public ::testing::Test {
protected:
  void SetUp() override {
    test::UiApp();
    ServerRunning = false;
    ::setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
    dialog_ = new TFormServerOptions(options());
    dialog_->show();
  }
  void TearDown() override {
    delete dialog_.data();
    test::Settle();
    ServerRunning = false;
    ::unsetenv("XDG_CONFIG_HOME");
  }
  TKioOptions& options() { return modules_.Modules().Options.KioOptions; }
  TNOption& option(const char* name) { return options().OptionByName(name); }
  std::filesystem::path settingsFile() { return modules_.Home().File("Settings.ini"); }

  test::TServerModulesFixture modules_;
  test::TempHome config_{false};
  QPointer<TFormServerOptions> dialog_;
  test::MessageBoxRecorder boxes_;
};

TEST_F(OptionsDialog, ShownUnitsConvertToStoredValues) {
  EXPECT_FALSE(dialog_->btnOK->isEnabled()) << "OK stays disabled until something changes";
  dialog_->Spin("SchedulerRequeryPeriod")->setValue(15);
  EXPECT_EQ(option("SchedulerRequeryPeriod").AsInteger(), 15000);
  EXPECT_TRUE(dialog_->btnOK->isEnabled());

  dialog_->Spin("MaxUnsentMessageAge.Days")->setValue(2);
  dialog_->Spin("MaxUnsentMessageAge.Hours")->setValue(3);
  dialog_->Spin("MaxUnsentMessageAge.Minutes")->setValue(15);
  EXPECT_EQ(option("MaxUnsentMessageAge").AsInteger(), 3075);

  dialog_->Spin("ModemConnectTimeout")->setValue(45);
  EXPECT_EQ(option("ModemConnectTimeout").AsInteger(), 45000);
  dialog_->Spin("DtrHangupDelay")->setValue(700);
  EXPECT_EQ(option("DtrHangupDelay").AsInteger(), 700) << "milliseconds are stored as shown";

  dialog_->OkClick();
  const std::string saved = ReadFile(settingsFile());
  EXPECT_NE(saved.find("SchedulerRequeryPeriod=15000"), std::string::npos) << saved;
  EXPECT_NE(saved.find("MaxUnsentMessageAge=3075"), std::string::npos) << saved;
}

TEST_F(OptionsDialog, StoredValuesAreShownInTheirUnits) {
  delete dialog_.data();
  option("MaxArchivedMessageAge").Value = int64_t{3075};
  option("SentConfirmationsRequeryPeriod").Value = int64_t{12999};
  option("MaxUnsentMessageAge").Value = int64_t{60};
  dialog_ = new TFormServerOptions(options());
  EXPECT_EQ(dialog_->Spin("MaxArchivedMessageAge.Days")->value(), 2);
  EXPECT_EQ(dialog_->Spin("MaxArchivedMessageAge.Hours")->value(), 3);
  EXPECT_EQ(dialog_->Spin("MaxArchivedMessageAge.Minutes")->value(), 15);
  EXPECT_EQ(dialog_->Spin("SentConfirmationsRequeryPeriod")->value(), 12) << "integer division";
  EXPECT_EQ(dialog_->Spin("MaxUnsentMessageAge.Hours")->value(), 1);
  EXPECT_EQ(dialog_->Spin("MaxUnsentMessageAge.Minutes")->value(), 0)
      << "a whole hour is shown as it is stored";
  EXPECT_EQ(option("SentConfirmationsRequeryPeriod").AsInteger(), 12999)
      << "filling the controls changes no option";
}

TEST_F(OptionsDialog, CancelLeavesSettingsIniAndTheValuesAsSaved) {
  const std::string before = ReadFile(settingsFile());
  dialog_->Spin("LogFilesNo")->setValue(42);
  dialog_->Check("AutoStartOnLoad")->setChecked(true);
  dialog_->CancelClick();
  EXPECT_EQ(ReadFile(settingsFile()), before);
  EXPECT_EQ(option("LogFilesNo").AsInteger(), 5);
  EXPECT_FALSE(option("AutoStartOnLoad").AsBool());
  EXPECT_FALSE(options().OptionsModified());
}

TEST_F(OptionsDialog, ClosingThroughTheFrameKeepsTheEditedValuesUnsaved) {
  const std::string before = ReadFile(settingsFile());
  dialog_->Spin("LogFilesNo")->setValue(9);
  dialog_->close();
  test::Settle();
  EXPECT_EQ(ReadFile(settingsFile()), before);
  EXPECT_EQ(option("LogFilesNo").AsInteger(), 9);
  EXPECT_TRUE(options().OptionsModified());
}

TEST_F(OptionsDialog, ChangingBackToTheSavedValueDisablesOkAgain) {
  QSpinBox* files = dialog_->Spin("LogFilesNo");
  const int saved = files->value();
  files->setValue(saved + 1);
  EXPECT_TRUE(dialog_->btnOK->isEnabled());
  files->setValue(saved);
  EXPECT_FALSE(dialog_->btnOK->isEnabled());
}

TEST_F(OptionsDialog, LettersInNumericFieldsAreIgnored) {
  QSpinBox* retries = dialog_->Spin("MessageRetries");
  retries->setFocus();
  retries->selectAll();
  QTest::keyClicks(retries, "4x2");
  EXPECT_EQ(retries->text().toStdString(), "42");
  EXPECT_EQ(option("MessageRetries").AsInteger(), 42);
  QTest::keyClicks(retries, "e-");
  EXPECT_EQ(retries->text().toStdString(), "42");
  QTest::keyClick(retries, Qt::Key_Backspace);
  EXPECT_EQ(retries->text().toStdString(), "4") << "backspace still edits";
}

TEST_F(OptionsDialog, RestartNoticeFollowsPortChangesOnlyWhileRunning) {
  struct Case {
    const char* name;
    bool running;
    const char* field;
    bool notice;
  } cases[] = {{"port while running", true, "PortNo", true},
               {"port while stopped", false, "PortNo", false},
               {"buffer limit while stopped", false, "InputBufferLimitTAP", true},
               {"retries while running", true, "MessageRetries", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    delete dialog_.data();
    boxes_.boxes.clear();
    ServerRunning = c.running;
    dialog_ = new TFormServerOptions(options());
    dialog_->show();
    QSpinBox* spin = dialog_->Spin(c.field);
    spin->setValue(spin->value() == spin->maximum() ? spin->value() - 1 : spin->value() + 1);
    dialog_->OkClick();
    EXPECT_EQ(dialog_->RestartNeeded(), c.notice);
    if (c.notice) {
      ASSERT_EQ(boxes_.boxes.size(), 1u);
      EXPECT_EQ(boxes_.boxes[0].first, TMessageKind::Information);
      EXPECT_EQ(boxes_.Last(),
                "You'll need to Exit and Re-start VoxmitServer for the changes to take effect!");
    } else {
      EXPECT_TRUE(boxes_.boxes.empty()) << boxes_.Last();
    }
  }
}

TEST_F(OptionsDialog, LoginEntryIsWrittenAtOnceAndStaysAfterCancel) {
  ASSERT_FALSE(dialog_->chkLoadOnLogin->isChecked());
  dialog_->chkLoadOnLogin->setChecked(true);
  const auto file = config_.Path() / "autostart" / "VoxmitServer2.desktop";
  ASSERT_TRUE(std::filesystem::exists(file));
  const std::string entry = ReadFile(file);
  EXPECT_NE(entry.find("Exec=\"/"), std::string::npos) << entry;
  EXPECT_NE(entry.find("--home \"" + modules_.Home().Path().string() + "\""), std::string::npos)
      << entry;
  EXPECT_TRUE(dialog_->btnOK->isEnabled()) << "the box differs from its state at opening";
  dialog_->CancelClick();
  test::Settle();
  EXPECT_TRUE(std::filesystem::exists(file)) << "Cancel does not undo the entry";

  dialog_ = new TFormServerOptions(options());
  EXPECT_TRUE(dialog_->chkLoadOnLogin->isChecked());
  dialog_->chkLoadOnLogin->setChecked(false);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(AutoStartEntry, ExecArgumentsAreQuotedForTheDesktopEntryFormat) {
  EXPECT_EQ(QuoteExecArgument("/opt/voxmit/VoxmitServer2"), "\"/opt/voxmit/VoxmitServer2\"");
  EXPECT_EQ(QuoteExecArgument("/a b/$x\"y"), "\"/a b/\\\\$x\\\\\"y\"");
  EXPECT_EQ(QuoteExecArgument("c:\\d"), "\"c:\\\\\\\\d\"");
}

TEST_F(OptionsDialog, TheLastActivePageIsSelectedAgain) {
  dialog_->pgOptions->setCurrentIndex(4);
  dialog_->close();
  test::Settle();
  dialog_ = new TFormServerOptions(options());
  EXPECT_EQ(dialog_->pgOptions->currentIndex(), 4);
}

} // namespace
