#include "frmConnections.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "clients/TcpClient.h"
#include "server/frmHidden.h"

namespace voxmit {

namespace {
enum TColumn { colNo, colKind, colIp, colHost, colId };
}

TFormConnections::TFormConnections(std::function<TServerRun*()> run, QWidget* parent)
    : TFormBase("TFormConnections", parent), run_(std::move(run)) {
  setWindowTitle("  Connected Clients");
  lvConnections = new QTreeWidget(this);
  lvConnections->setHeaderLabels({"No.", "Kind", "IP Address", "Host", "ID"});
  lvConnections->setRootIsDecorated(false);
  lvConnections->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lblMessageText = new QLabel("&MessageText : ", this);
  edtMessageText = new QLineEdit(this);
  lblMessageText->setBuddy(edtMessageText);
  btnDisconnect = new QPushButton("&Disconnect Client(s)", this);
  btnSendMessage = new QPushButton("&SendMessage to Client(s)", this);
  btnClose = new QPushButton("Close", this);

  auto* text = new QHBoxLayout;
  text->addWidget(lblMessageText);
  text->addWidget(edtMessageText, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnDisconnect);
  buttons->addWidget(btnSendMessage);
  buttons->addStretch();
  buttons->addWidget(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lvConnections);
  layout->addLayout(text);
  layout->addLayout(buttons);
  resize(620, 320);
  lvConnections->header()->resizeSection(colNo, 40);
  lvConnections->header()->resizeSection(colKind, 50);
  lvConnections->header()->resizeSection(colIp, 110);
  lvConnections->header()->resizeSection(colHost, 130);

  connect(lvConnections, &QTreeWidget::itemSelectionChanged, this,
          &TFormConnections::UpdateButtons);
  connect(btnDisconnect, &QPushButton::clicked, this, &TFormConnections::DisconnectSelected);
  connect(btnSendMessage, &QPushButton::clicked, this, &TFormConnections::SendMessageToSelected);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::close);

  ConnectionsWindowOpen = true;
  FillList();
  LoadFormSettings();
  LoadColumnWidths(*lvConnections->header());
}

TFormConnections::~TFormConnections() { ConnectionsWindowOpen = false; }

void TFormConnections::SaveFormSettings() {
  SaveColumnWidths(*lvConnections->header());
  TFormBase::SaveFormSettings();
}

void TFormConnections::FillList() {
  lvConnections->clear();
  if (TServerRun* run = run_(); run && ServerRunning) {
    TClientsList& clients = *run->SessionContext().Clients;
    TNReadLock lock(clients.Lock());
    for (int32_t i = 0; i < clients.Count(); ++i) {
      const std::shared_ptr<TBaseClient> client = clients.Items(i);
      if (!client) continue;
      auto* row = new QTreeWidgetItem(lvConnections);
      row->setText(colNo, QString::number(i + 1));
      row->setText(colKind, dynamic_cast<const TTcpClient*>(client.get()) ? "TCP" : "COM");
      row->setText(colIp, QString::fromStdString(client->GetIpAddress()));
      row->setText(colHost, QString::fromStdString(client->GetHostName()));
      row->setText(colId, QString::fromStdString(client->ClientGUID()));
    }
  }
  UpdateButtons();
}

QStringList TFormConnections::SelectedIds() const {
  QStringList ids;
  for (const QTreeWidgetItem* row : lvConnections->selectedItems()) ids << row->text(colId);
  return ids;
}

void TFormConnections::DisconnectSelected() {
  TServerRun* run = run_();
  if (!run) return;
  TClientsList& clients = *run->SessionContext().Clients;
  const QStringList ids = SelectedIds();
  TNReadLock lock(clients.Lock());
  for (const QString& id : ids)
    if (auto client = FindClientByGUID(clients, id.toStdString())) client->Disconnect();
}

void TFormConnections::SendMessageToSelected() {
  TServerRun* run = run_();
  if (!run) return;
  const std::string text = edtMessageText->text().trimmed().toStdString();
  for (const QString& id : SelectedIds())
    SendNoticeToClient(*run->SessionContext().Clients, run->NoticeOrigin(), id.toStdString(),
                       text);
}

void TFormConnections::UpdateButtons() {
  const bool any = !lvConnections->selectedItems().isEmpty();
  btnDisconnect->setEnabled(any);
  btnSendMessage->setEnabled(any);
  lblMessageText->setEnabled(any);
  edtMessageText->setEnabled(any);
}

} // namespace voxmit
