#include "frmEmbedIPNetworkEditor.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/ICMPSocket.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/URI.h>

#include "MessageBoxes.h"
#include "channels/ChannelINet.h"
#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

namespace {

constexpr int kTestTimeoutMs = 4000;
constexpr int kPingAttempts = 4;

// The hourglass while a test runs; the normal cursor is back before any message box.
class TBusyCursor {
public:
  TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TBusyCursor() { Release(); }
  void Release() {
    if (busy_) QApplication::restoreOverrideCursor();
    busy_ = false;
  }

private:
  bool busy_ = true;
};

const std::string kNetworkErrorConnect = "ERROR: A network error occurred while trying to connect!";

} // namespace

std::string RunPingTest(const std::function<TPingReply()>& probe) {
  try {
    for (int attempt = 1; attempt <= kPingAttempts; ++attempt) {
      const TPingReply reply = probe();
      switch (reply.Status) {
        case TPingStatus::EchoReply:
          return "Congratulations, Network ping test succeeded!\r\rResponse from host " +
                 reply.Address + " in " + std::to_string(reply.Ms) + " millisec.";
        case TPingStatus::Error:
          return "ERROR: Unknown network error!";
        case TPingStatus::Timeout:
          if (attempt < kPingAttempts) continue;
          {
            const QDateTime now = QDateTime::currentDateTime();
            const QLocale locale;
            return "ERROR: Host Timeout " +
                   locale.toString(now.date(), QLocale::ShortFormat).toStdString() + " " +
                   locale.toString(now.time(), QLocale::LongFormat).toStdString() + " !";
          }
        case TPingStatus::Unreachable:
          return "ERROR: Host " + reply.Address + " reports destination network unreachable.";
        case TPingStatus::TtlExpired:
          return "ERROR: Host " + reply.Address + ": TTL expired.";
        case TPingStatus::Other:
          break;
      }
    }
  } catch (const std::exception& e) {
    return "ERROR: A network error occurred while trying to ping!\r\r" + ErrorText(e);
  }
  return {};
}

TPingReply IcmpProbe(const std::string& host) {
  using namespace Poco::Net;
  TPingReply reply;
  SocketAddress target(host, 0);
  ICMPSocket socket(target.family(), 32, 128, kTestTimeoutMs * 1000);
  socket.sendTo(target);
  SocketAddress from;
  try {
    reply.Ms = socket.receiveFrom(from);
    reply.Status = TPingStatus::EchoReply;
    reply.Address = from.host().toString();
  } catch (const Poco::TimeoutException&) {
    reply.Status = TPingStatus::Timeout;
  } catch (const ICMPException& e) {
    const std::string text = e.message();
    reply.Address = from.host().toString();
    if (text.find("nreachable") != std::string::npos)
      reply.Status = TPingStatus::Unreachable;
    else if (text.find("ime to live") != std::string::npos ||
             text.find("ime exceeded") != std::string::npos)
      reply.Status = TPingStatus::TtlExpired;
    else
      reply.Status = TPingStatus::Other;
  }
  return reply;
}

TFormEmbedIPNetworkEditor::TFormEmbedIPNetworkEditor() {
  lblHost = new QLabel("Host : ", this);
  edtHost = new QLineEdit(this);
  lblPort = new QLabel("Port :", this);
  edtPort = new QLineEdit(this);
  edtPort->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edtPort));
  cbProtocol = new QComboBox(this);
  cbProtocol->addItems({"SMTP", "SNPP", "WCTP", "MSG", "ACU", "ACU_GK"});
  cbProtocol->setCurrentIndex(ipSNPP);
  btnPing = new QPushButton("Network Ping test", this);
  btnConnect = new QPushButton("Network Connect Test", this);
  btnWeb = new QPushButton("Web Host Test", this);

  auto* grid = new QGridLayout(this);
  grid->addWidget(lblHost, 0, 0);
  grid->addWidget(edtHost, 0, 1);
  grid->addWidget(lblPort, 1, 0);
  grid->addWidget(edtPort, 1, 1);
  grid->addWidget(new QLabel("Protocol:", this), 2, 0);
  grid->addWidget(cbProtocol, 2, 1);
  auto* tests = new QHBoxLayout;
  tests->addWidget(btnPing);
  tests->addWidget(btnConnect);
  tests->addWidget(btnWeb);
  grid->addLayout(tests, 3, 0, 1, 2);
  grid->setRowStretch(4, 1);

  connect(cbProtocol, &QComboBox::currentIndexChanged, this,
          &TFormEmbedIPNetworkEditor::UpdateControls);
  connect(btnPing, &QPushButton::clicked, this, &TFormEmbedIPNetworkEditor::PingTest);
  connect(btnConnect, &QPushButton::clicked, this, &TFormEmbedIPNetworkEditor::ConnectTest);
  connect(btnWeb, &QPushButton::clicked, this, &TFormEmbedIPNetworkEditor::WebHostTest);
  UpdateControls();
}

void TFormEmbedIPNetworkEditor::UpdateControls() {
  const int p = cbProtocol->currentIndex();
  btnPing->setEnabled(p == ipSMTP || p == ipSNPP || p == ipACU || p == ipACU_GK);
  btnConnect->setEnabled(p == ipSMTP || p == ipSNPP || p == ipMSG);
  btnWeb->setEnabled(p == ipWCTP);
  const bool address = p != ipACU;
  for (QWidget* w : {static_cast<QWidget*>(lblHost), static_cast<QWidget*>(edtHost),
                     static_cast<QWidget*>(lblPort), static_cast<QWidget*>(edtPort)})
    w->setVisible(address);
}

std::string TFormEmbedIPNetworkEditor::GetDataAsCSVString() const {
  const int p = cbProtocol->currentIndex();
  const bool acu = p == ipACU;
  return JoinCommaText({acu ? "" : edtHost->text().toStdString(),
                        acu ? "" : edtPort->text().toStdString(), std::to_string(p)});
}

bool TFormEmbedIPNetworkEditor::PutDataAsCSVString(const std::string& text) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 3) {
    ShowMessageBox(
        TMessageKind::Error,
        "TFormEmbedIPNetworkEditor.PutDataAsCSVString() - wrong CSV strings number!!!");
    return false;
  }
  edtHost->setText(QString::fromStdString(items[0]));
  edtPort->setText(QString::fromStdString(items[1]));
  bool ok = false;
  const int p = QString::fromStdString(items[2]).trimmed().toInt(&ok);
  cbProtocol->setCurrentIndex(ok ? p : -1);
  UpdateControls();
  return true;
}

bool TFormEmbedIPNetworkEditor::ValidateData() {
  if (cbProtocol->currentIndex() == ipACU) return true;
  bool ok = false;
  const int port = edtPort->text().trimmed().toInt(&ok);
  if (ok && port >= 0 && port <= 65535) return true;
  ShowMessageBox(TMessageKind::Warning, "Error: Port number is invalid.", this);
  edtPort->setFocus();
  return false;
}

void TFormEmbedIPNetworkEditor::PingTest() {
  TBusyCursor busy;
  const std::string host = edtHost->text().trimmed().toStdString();
  const std::string message = RunPingTest([&host] { return IcmpProbe(host); });
  busy.Release();
  if (message.empty()) return;
  const bool passed = message.rfind("Congratulations", 0) == 0;
  ShowMessageBox(passed ? TMessageKind::Information : TMessageKind::Error, message, this);
}

void TFormEmbedIPNetworkEditor::ConnectTest() {
  TBusyCursor busy;
  std::string message;
  bool passed = false;
  bool portOk = false;
  const int port = edtPort->text().trimmed().toInt(&portOk);
  if (!portOk || port < 0 || port > 65535) {
    message = kNetworkErrorConnect + "\r\rThe port \"" + edtPort->text().toStdString() +
              "\" is not a port number.";
  } else {
    try {
      Poco::Net::StreamSocket socket;
      socket.connect(
          Poco::Net::SocketAddress(edtHost->text().trimmed().toStdString(),
                                   static_cast<uint16_t>(port)),
          Poco::Timespan(kTestTimeoutMs * Poco::Timespan::MILLISECONDS));
      socket.close();
      message = "Congratulations, Network connection test succeeded!";
      passed = true;
    } catch (const std::exception& e) {
      message = kNetworkErrorConnect + "\r\r" + ErrorText(e);
    }
  }
  busy.Release();
  ShowMessageBox(passed ? TMessageKind::Information : TMessageKind::Error, message, this);
}

void TFormEmbedIPNetworkEditor::WebHostTest() {
  TBusyCursor busy;
  std::string message;
  bool passed = false;
  std::string port = edtPort->text().trimmed().toStdString();
  if (port.empty()) port = "80";
  try {
    const Poco::URI uri(EncodeUrl("http://" + edtHost->text().trimmed().toStdString() + ":" + port));
    Poco::Net::HTTPClientSession session(uri.getHost(), uri.getPort());
    session.setTimeout(Poco::Timespan(kTestTimeoutMs * Poco::Timespan::MILLISECONDS));
    std::string path = uri.getPathAndQuery();
    if (path.empty()) path = "/";
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path,
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& body = session.receiveResponse(response);
    body.ignore(std::numeric_limits<std::streamsize>::max());
    session.reset();
    const int status = response.getStatus();
    if (status >= 200 && status <= 299) {
      message = "Congratulations, Web host test succeeded!";
      passed = true;
    } else {
      message = kNetworkErrorConnect + "\r\rHTTP/1.1 " + std::to_string(status) + " " +
                response.getReason();
    }
  } catch (const std::exception& e) {
    message = kNetworkErrorConnect + "\r\r" + ErrorText(e);
  }
  busy.Release();
  ShowMessageBox(passed ? TMessageKind::Information : TMessageKind::Error, message, this);
}

} // namespace voxmit
