#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace voxmit {

namespace {

TMessageBoxHook& Hook() {
  static TMessageBoxHook hook;
  return hook;
}

} // namespace

void ShowMessageBox(TMessageKind kind, const std::string& text, QWidget* parent) {
  if (Hook()) {
    Hook()(kind, text);
    return;
  }
  QString shown = QString::fromStdString(text);
  shown.replace('\r', '\n');
  const QString title = QApplication::applicationName();
  switch (kind) {
    case TMessageKind::Information: QMessageBox::information(parent, title, shown); break;
    case TMessageKind::Warning: QMessageBox::warning(parent, title, shown); break;
    case TMessageKind::Error: QMessageBox::critical(parent, title, shown); break;
  }
}

void SetMessageBoxHook(TMessageBoxHook hook) { Hook() = std::move(hook); }

} // namespace voxmit
