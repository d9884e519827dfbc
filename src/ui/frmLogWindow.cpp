#include "frmLogWindow.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "host/LogFile.h"

namespace voxmit {

TLogWindow::TLogWindow(QWidget* parent) : TFormBase("TLogWindow", parent) {
  setWindowTitle("  Log Messages");
  // Its own task-bar button: a top-level window, not a tool window.
  setWindowFlag(Qt::Window);
  memMessages = new QPlainTextEdit(this);
  memMessages->setReadOnly(true);
  memMessages->setLineWrapMode(QPlainTextEdit::NoWrap);
  memMessages->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memMessages->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memMessages->setFont(QFont("Monospace"));
  btnStartStop = new QPushButton(this);
  btnClearMessages = new QPushButton("Clea&r Messages", this);
  btnClose = new QPushButton("Close", this);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnStartStop);
  buttons->addWidget(btnClearMessages);
  buttons->addStretch();
  buttons->addWidget(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(memMessages);
  layout->addLayout(buttons);
  resize(640, 400);

  connect(btnStartStop, &QPushButton::clicked, this, [this] { SetCapturing(!capturing_); });
  connect(btnClearMessages, &QPushButton::clicked, this, [this] {
    memMessages->clear();
    lines_ = 0;
  });
  connect(btnClose, &QPushButton::clicked, this, &QDialog::close);

  SetCapturing(true);
  LoadFormSettings();
}

TLogWindow::~TLogWindow() {
  if (capturing_) SetLogWindowSink({});
}

void TLogWindow::AddLine(const std::string& line) {
  if (lines_ > kMaxLines) {
    memMessages->clear();
    lines_ = 0;
  }
  memMessages->appendPlainText(QString::fromStdString(line));
  ++lines_;
}

void TLogWindow::SetCapturing(bool capturing) {
  capturing_ = capturing;
  if (capturing)
    SetLogWindowSink([this](const std::string& line) { AddLine(line); });
  else
    SetLogWindowSink({});
  btnStartStop->setText(capturing ? "&Stop Messages" : "&Start Messages");
}

} // namespace voxmit
