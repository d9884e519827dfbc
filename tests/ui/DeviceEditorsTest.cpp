// The device and device-kind editors, the embedded settings editors and their hardware tests.

#include <gtest/gtest.h>

#include <Poco/Net/ServerSocket.h>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>

#include "host/ServerSettings.h"
#include "server/ServerFixture.h"
#include "support/FakeGsmModem.h"
#include "support/FakeHttpServer.h"
#include "support/FakeModem.h"
#include "support/FakeTapTerminal.h"
#include "support/PtyPair.h"
#include "ui/UiTestSupport.h"
#include "ui/frmBaseEmbedEditor.h"
#include "ui/frmDeviceEditor.h"
#include "ui/frmDevicesList.h"
#include "ui/frmEmbedDirectTAPEditor.h"
#include "ui/frmEmbedIPNetworkEditor.h"
#include "ui/frmEmbedModemEditor.h"
#include "ui/frmEmbedSMSEditor.h"

using namespace voxmit;

namespace {

class DeviceEditors : public ::testing::Test {
protected:
  void SetUp() override {
    test::UiApp();
    RegisterEmbedEditors();
  }
  void TearDown() override { test::Settle(); }
  TDMServerSettings& settings() { return modules_.Modules().ServerSettings; }
  std::vector<TDeviceKindRecord> Kinds() { return TDeviceKindsModel(settings().Session()).Rows(); }

  test::TServerModulesFixture modules_;
  test::MessageBoxRecorder boxes_;
};

TEST_F(DeviceEditors, KindSwitchAndBackKeepsTheTypedModemSettings) {
  TDeviceRecord record{0, 1, "COM2,ATZ,9,true,5,7", "Modem A", "Modem"};
  TFormDeviceEditor editor(emEdit, record, Kinds());
  auto* modem = dynamic_cast<TFormEmbedModemEditor*>(editor.Embedded());
  ASSERT_NE(modem, nullptr);
  EXPECT_EQ(modem->GetDataAsCSVString(), "COM2,ATZ,9,true,5,7");
  modem->edtDialingPrefix->setText("0");
  modem->edtRedialAttempts->setText("8");

  editor.ChooseKind(3);
  ASSERT_NE(dynamic_cast<TFormEmbedSMSEditor*>(editor.Embedded()), nullptr);
  editor.ChooseKind(1);
  modem = dynamic_cast<TFormEmbedModemEditor*>(editor.Embedded());
  ASSERT_NE(modem, nullptr);
  EXPECT_EQ(modem->GetDataAsCSVString(), "COM2,ATZ,0,true,8,7");

  editor.OkClick();
  EXPECT_EQ(editor.result(), QDialog::Accepted);
  EXPECT_EQ(record.SettingsData, "COM2,ATZ,0,true,8,7");
  EXPECT_EQ(record.TypeNo, 1);
}

TEST_F(DeviceEditors, NameIsRequiredAndCancelLeavesTheRecord) {
  TDeviceRecord record{5, 2, "COM4", "Line", "Direct serial line"};
  const TDeviceRecord before = record;
  {
    TFormDeviceEditor editor(emEdit, record, Kinds());
    editor.edtName->clear();
    editor.OkClick();
    EXPECT_EQ(boxes_.Last(), "Error: Name field can't be empty !");
    EXPECT_NE(editor.result(), QDialog::Accepted);
    EXPECT_EQ(record.Name, before.Name) << "nothing is written";
    editor.CancelClick();
  }
  EXPECT_EQ(record.SettingsData, before.SettingsData);
  EXPECT_EQ(record.Name, before.Name);
}

TEST_F(DeviceEditors, AKindWithoutEditorIsReportedAndKeepsTheStoredSettings) {
  TDeviceRecord record{3, 9, "whatever,it,is", "Odd", ""};
  TFormDeviceEditor editor(emEdit, record, Kinds());
  EXPECT_EQ(boxes_.Last(), "Device Type not implemented:  (TypeNo= 9)");
  EXPECT_EQ(editor.Embedded(), nullptr);
  editor.edtName->setText("Renamed");
  editor.OkClick();
  EXPECT_EQ(record.Name, "Renamed");
  EXPECT_EQ(record.SettingsData, "whatever,it,is");
}

TEST_F(DeviceEditors, DuplicateKindNameIsRefusedAndTheOldNameRestored) {
  TDeviceKindRecord record{0, "", 0};
  TDeviceKindEditor editor(emNew, record, settings());
  editor.edtName->setText("modem");  // letter case does not make it another kind
  editor.edtTypeNo->setText("11");
  editor.OkClick();
  EXPECT_EQ(boxes_.Last(),
            "There already is DatabaseType named: \"modem\". Please enter a different name.");
  EXPECT_EQ(editor.edtName->text().toStdString(), "");
  EXPECT_NE(editor.result(), QDialog::Accepted);

  editor.edtName->setText("Pager Line");
  editor.edtTypeNo->setText("4");
  editor.OkClick();
  EXPECT_EQ(boxes_.Last(),
            "There already is DatabaseType with TypeNo=\"4\". Please enter a different TypeNo.");
  EXPECT_EQ(editor.edtTypeNo->text().toStdString(), "");

  editor.edtTypeNo->setText("11");
  editor.OkClick();
  EXPECT_EQ(editor.result(), QDialog::Accepted);
  EXPECT_EQ(record.Name, "Pager Line");
  EXPECT_EQ(record.TypeNo, 11);
}

TEST_F(DeviceEditors, DeviceListStoresWhatTheEditorAccepts) {
  settings().OpenSettingsConnection();
  QPointer<TFormDevicesList> list = new TFormDevicesList(settings());
  EXPECT_FALSE(list->btnEdit->isEnabled()) << "no rows yet";
  list->Add();
  auto* editor = dynamic_cast<TFormDeviceEditor*>(list->Editor());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->windowTitle().toStdString(), "  New Device");
  EXPECT_EQ(editor->ChosenKind(), 1) << "a new device takes the first kind";
  editor->edtName->setText("Modem 1");
  editor->OkClick();
  ASSERT_EQ(list->Model().rowCount(), 1);
  EXPECT_EQ(list->Model().Row(0).Name, "Modem 1");
  EXPECT_EQ(list->Model().Row(0).SettingsData, "COM1,ATQ0V1M1E0X4,,false,3,1");
  EXPECT_EQ(list->Model().Row(0).TypeName, "Modem");
  EXPECT_TRUE(list->btnEdit->isEnabled());

  list->Add();
  list->Editor()->CancelClick();
  EXPECT_EQ(list->Model().rowCount(), 1) << "Cancel adds nothing";

  list->grid->selectRow(0);
  list->Delete();
  EXPECT_EQ(list->Model().rowCount(), 0);
  list->close();
  test::Settle();
  EXPECT_FALSE(list);
}

TEST_F(DeviceEditors, DeviceKindsListAddsAKindAndRefusesAClash) {
  settings().OpenSettingsConnection();
  QPointer<TFormDeviceKindsList> list = new TFormDeviceKindsList(settings());
  EXPECT_EQ(list->windowTitle().toStdString(), "  Device Kinds");
  ASSERT_EQ(list->Model().rowCount(), 4);
  list->Add();
  auto* editor = dynamic_cast<TDeviceKindEditor*>(list->Editor());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->windowTitle().toStdString(), "  New DeviceType");
  editor->edtName->setText("Pager line");
  editor->edtTypeNo->setText("3");
  editor->OkClick();
  EXPECT_EQ(boxes_.Last(),
            "There already is DatabaseType with TypeNo=\"3\". Please enter a different TypeNo.");
  ASSERT_EQ(list->Editor(), editor) << "the editor stays open";
  editor->edtTypeNo->setText("12");
  editor->OkClick();
  ASSERT_EQ(list->Model().rowCount(), 5);
  EXPECT_EQ(list->Model().Row(4).Name, "Pager line");
  EXPECT_EQ(list->Model().Row(4).TypeNo, 12);
  list->close();
  test::Settle();
}

TEST_F(DeviceEditors, ModemEditorRules) {
  TFormEmbedModemEditor modem;
  EXPECT_FALSE(modem.chkWaitForDialTone->isEnabled());
  modem.edtDialingPrefix->setText("9");
  modem.chkWaitForDialTone->setChecked(true);
  modem.edtComPortNo->setValue(12);
  EXPECT_EQ(modem.GetDataAsCSVString(), "COM12,ATQ0V1M1E0X4,9,true,3,1");
  modem.edtDialingPrefix->clear();
  EXPECT_FALSE(modem.chkWaitForDialTone->isEnabled());
  EXPECT_EQ(modem.GetDataAsCSVString(), "COM12,ATQ0V1M1E0X4,,false,3,1");

  // Letters do not reach the prefix.
  QTest::keyClicks(modem.edtDialingPrefix, "1a2");
  EXPECT_EQ(modem.edtDialingPrefix->text().toStdString(), "12");

  EXPECT_FALSE(modem.PutDataAsCSVString("COM3,ATZ"));
  EXPECT_EQ(boxes_.Last(), "TFormEmbedModemEditor.PutDataAsCSVString() - wrong CSV strings number!!!");
  EXPECT_EQ(modem.edtComPortNo->value(), 12) << "the controls keep their values";
  ASSERT_TRUE(modem.PutDataAsCSVString("COM3,ATZ,,TRUE,x,y"));
  EXPECT_EQ(modem.GetDataAsCSVString(), "COM3,ATZ,,false,3,1")
      << "non-numbers read as 3 and 1; no prefix, no dial tone";
}

TEST_F(DeviceEditors, ModemInitStringsComeFromTheFileUnlessItIsEmpty) {
  modules_.Home().Write("ModemInitStrings.txt", "");
  {
    TFormEmbedModemEditor modem;
    EXPECT_EQ(modem.cbInitString->count(), 2);
    EXPECT_EQ(modem.cbInitString->itemText(1).toStdString(), "ATQ0V1");
  }
  modules_.Home().Write("ModemInitStrings.txt", "AT&FE0\r\nATZ1\n");
  TFormEmbedModemEditor modem;
  ASSERT_EQ(modem.cbInitString->count(), 2);
  EXPECT_EQ(modem.cbInitString->currentText().toStdString(), "AT&FE0");
}

TEST_F(DeviceEditors, SmsEditorSavesPositions) {
  TFormEmbedSMSEditor sms;
  EXPECT_EQ(sms.GetDataAsCSVString(), "COM1,7,0,0");
  sms.cbBaudRate->setCurrentText("115200");
  sms.cbSMSMode->setCurrentText("PDU");
  sms.cbSMSModule->setCurrentText("SIMcom");
  EXPECT_EQ(sms.GetDataAsCSVString(), "COM1,8,6,1");
  ASSERT_TRUE(sms.PutDataAsCSVString("COM5,3,2,0"));
  EXPECT_EQ(sms.cbBaudRate->currentText().toStdString(), "9600");
  EXPECT_EQ(sms.cbSMSModule->currentText().toStdString(), "Wavecom");
}

TEST_F(DeviceEditors, IpEditorPortRangeAndAcu) {
  TFormEmbedIPNetworkEditor ip;
  ip.show();
  EXPECT_EQ(ip.cbProtocol->currentIndex(), ipSNPP);
  ip.edtHost->setText("mail.example");
  ip.edtPort->setText("65536");
  EXPECT_FALSE(ip.ValidateData());
  EXPECT_EQ(boxes_.Last(), "Error: Port number is invalid.");
  ip.edtPort->setText("65535");
  EXPECT_TRUE(ip.ValidateData());

  ip.edtPort->setText("65536");
  ip.cbProtocol->setCurrentIndex(ipACU);
  EXPECT_TRUE(ip.ValidateData()) << "ACU needs no port";
  EXPECT_FALSE(ip.edtHost->isVisible());
  EXPECT_FALSE(ip.lblPort->isVisible());
  EXPECT_EQ(ip.GetDataAsCSVString(), ",,4");

  struct Row {
    int protocol;
    bool ping, connect, web;
  } rows[] = {{ipSMTP, true, true, false}, {ipWCTP, false, false, true},
              {ipMSG, false, true, false}, {ipACU_GK, true, false, false}};
  for (const Row& r : rows) {
    ip.cbProtocol->setCurrentIndex(r.protocol);
    EXPECT_EQ(ip.btnPing->isEnabled(), r.ping) << r.protocol;
    EXPECT_EQ(ip.btnConnect->isEnabled(), r.connect) << r.protocol;
    EXPECT_EQ(ip.btnWeb->isEnabled(), r.web) << r.protocol;
    EXPECT_TRUE(ip.edtHost->isVisible());
  }

  EXPECT_FALSE(ip.PutDataAsCSVString("a,b"));
  EXPECT_EQ(boxes_.Last(),
            "TFormEmbedIPNetworkEditor.PutDataAsCSVString() - wrong CSV strings number!!!");
  EXPECT_EQ(ip.cbProtocol->currentIndex(), ipACU_GK);
  ASSERT_TRUE(ip.PutDataAsCSVString("smtp.local,25,0"));
  EXPECT_EQ(ip.GetDataAsCSVString(), "smtp.local,25,0");
}

TEST(PingTest, OutcomesOfTheAttempts) {
  using S = TPingStatus;
  struct Case {
    std::vector<S> statuses;
    std::string expectPrefix;
    int probes;
  } cases[] = {
      {{S::Timeout, S::Timeout, S::Timeout, S::EchoReply},
       "Congratulations, Network ping test succeeded!\r\rResponse from host 127.0.0.1 in 3 millisec.",
       4},
      {{S::Timeout, S::Timeout, S::Timeout, S::Timeout}, "ERROR: Host Timeout ", 4},
      {{S::Unreachable}, "ERROR: Host 127.0.0.1 reports destination network unreachable.", 1},
      {{S::TtlExpired}, "ERROR: Host 127.0.0.1: TTL expired.", 1},
      {{S::Error}, "ERROR: Unknown network error!", 1},
      {{S::Other, S::Other, S::Other, S::Other}, "", 4},
  };
  for (const Case& c : cases) {
    size_t next = 0;
    const std::string message = RunPingTest([&] {
      return TPingReply{c.statuses.at(next++), "127.0.0.1", 3};
    });
    EXPECT_EQ(next, static_cast<size_t>(c.probes));
    EXPECT_EQ(message.substr(0, c.expectPrefix.size()), c.expectPrefix);
    if (c.expectPrefix.empty()) {
      EXPECT_EQ(message, "");
    }
  }
  const std::string thrown =
      RunPingTest([]() -> TPingReply { throw std::runtime_error("socket refused"); });
  EXPECT_EQ(thrown, "ERROR: A network error occurred while trying to ping!\r\rsocket refused");
}

TEST_F(DeviceEditors, ConnectTestAgainstALoopbackListener) {
  Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
  TFormEmbedIPNetworkEditor ip;
  ip.edtHost->setText("127.0.0.1");
  ip.edtPort->setText(QString::number(listener.address().port()));
  ip.ConnectTest();
  EXPECT_EQ(boxes_.Last(), "Congratulations, Network connection test succeeded!");
  listener.close();
  ip.ConnectTest();
  EXPECT_EQ(boxes_.Last().rfind("ERROR: A network error occurred while trying to connect!\r\r", 0), 0u)
      << boxes_.Last();
  ip.edtPort->clear();
  ip.ConnectTest();
  EXPECT_EQ(boxes_.Last().rfind("ERROR: A network error occurred while trying to connect!", 0), 0u);
}

class ModemTest : public DeviceEditors {
protected:
  void SetUp() override {
    DeviceEditors::SetUp();
    settings::ModemResponseTimeout = 500;
    modules_.Home().Write("ComPorts.ini", "[Ports]\nCOM7=" + pty_.SlavePath() + "\n");
    line_.Start();
  }
  void TearDown() override {
    line_.Stop();
    settings::ModemResponseTimeout = 2000;
    DeviceEditors::TearDown();
  }
  test::PtyPair pty_;
  test::FakeModem modem_;
  test::PtyLine line_{pty_, modem_};
};

TEST_F(ModemTest, PassesAgainstTheFakeModem) {
  TFormEmbedModemEditor editor;
  editor.edtComPortNo->setValue(7);
  editor.TestModem();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].first, TMessageKind::Information);
  EXPECT_EQ(boxes_.Last(),
            "Congratulations, Modem test succeded!\r\r(Please note that this test doesn't check "
            "the actual phone line connection.)");
}

TEST_F(ModemTest, ARefusedInitStringFailsTheSecondStep) {
  modem_.RefuseCommandsContaining("ATX9");
  TFormEmbedModemEditor editor;
  editor.edtComPortNo->setValue(7);
  editor.cbInitString->setEditText("ATX9");
  editor.TestModem();
  EXPECT_EQ(boxes_.Last(), "Modem doesn't recognize your Init String.\r\rPlease check if your "
                           "Init String Format is OK");
}

TEST_F(ModemTest, APortThatIsNotThereGivesThePortError) {
  TFormEmbedModemEditor editor;
  editor.edtComPortNo->setValue(8);
  modules_.Home().Write("ComPorts.ini", "[Ports]\nCOM8=/dev/no-such-tty\n");
  editor.TestModem();
  EXPECT_EQ(boxes_.Last(), "Can't initialize the COM port specified.\r\r Please check if it "
                           "exists on this PC, or if it's not used currently by some other "
                           "application !!!");
}

TEST(EmbedEditorRegistry, ASecondEditorForAKindIsRefused) {
  test::UiApp();
  test::MessageBoxRecorder boxes;
  RegisterEmbedEditors();
  EXPECT_FALSE(TBaseEmbedEditorsList::Instance().RegisterEmbedEditor(
      1, "MODEM", "TOther", [] { return new TFormEmbedModemEditor; }));
  EXPECT_EQ(boxes.Last(), "DeviceType \"MODEM\" (with TypeNo = 1) is already registered by the "
                          "following Editor Form: \"TFormEmbedModemEditor\"");
  ASSERT_NE(TBaseEmbedEditorsList::Instance().EditorClassForKind(4), nullptr);
  EXPECT_EQ(TBaseEmbedEditorsList::Instance().EditorClassForKind(4)->ClassName,
            "TFormEmbedIPNetworkEditor");
}

} // namespace

namespace {

// A serial peer (paging terminal, GSM modem) on a pty mapped to COM9 for the editors' tests.
template <class Peer>
class SerialPeerTest : public DeviceEditors {
protected:
  void SetUp() override {
    DeviceEditors::SetUp();
    settings::ModemResponseTimeout = 500;
    modules_.Home().Write("ComPorts.ini", "[Ports]\nCOM9=" + pty_.SlavePath() + "\n");
    line_.Start();
  }
  void TearDown() override {
    line_.Stop();
    settings::ModemResponseTimeout = 2000;
    DeviceEditors::TearDown();
  }
  test::PtyPair pty_;
  Peer peer_;
  test::PtyLine line_{pty_, peer_};
};

using DirectTapTest = SerialPeerTest<test::FakeTapTerminal>;
using SmsDeviceTest = SerialPeerTest<test::FakeGsmModem>;

TEST_F(DirectTapTest, PassesWhenTheTerminalAsksForItsId) {
  TFormEmbedDirectTAPEditor editor;
  editor.edtComPortNo->setValue(9);
  editor.TestDevice();
  EXPECT_EQ(boxes_.Last(), "Congratulations, DirectTAP device test succeded!");
  line_.Stop();
  pty_.CloseMaster();
  editor.TestDevice();
  EXPECT_EQ(boxes_.Last(), "ERROR: Can't initialize the COM port specified.\r\r Please check if "
                           "it exists on this PC, or if it's not used currently by some other "
                           "application !!!")
      << "a line whose far end went away is reported, not waited for";
}

TEST_F(SmsDeviceTest, PassesAgainstTheFakeGsmModem) {
  TFormEmbedSMSEditor editor;
  editor.edtComPortNo->setValue(9);
  editor.cbBaudRate->setCurrentText("9600");
  editor.TestSMS();
  EXPECT_EQ(boxes_.Last(), "Congratulations, SMS device test succeeded!");
}

TEST_F(DeviceEditors, WebHostTestAgainstALoopbackHttpServer) {
  test::FakeHttpServer server;
  TFormEmbedIPNetworkEditor ip;
  ip.cbProtocol->setCurrentIndex(ipWCTP);
  ip.edtHost->setText("127.0.0.1");
  ip.edtPort->setText(QString::number(server.Port()));
  ip.WebHostTest();
  EXPECT_EQ(boxes_.Last(), "Congratulations, Web host test succeeded!");
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].Method, "GET");

  server.SetScript({test::FakeHttpServer::Answer(503)});
  ip.WebHostTest();
  EXPECT_EQ(boxes_.Last().rfind("ERROR: A network error occurred while trying to connect!\r\r", 0),
            0u)
      << boxes_.Last();
}

} // namespace
