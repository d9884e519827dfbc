#pragma once
// TFormConnections: who is logged on. One row per session of the running server's clients
// list, refilled whenever the list changes (WM_CLIENTS_CHANGED); the operator can disconnect
// the selected clients or send them a notice. With the server stopped the list is empty.
// UI thread only.

#include <functional>

#include "frmBase.h"
#include "server/ServerRun.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace voxmit {

class TFormConnections : public TFormBase {
  Q_OBJECT
public:
  // run: the running server, or nullptr when stopped (asked at each fill).
  TFormConnections(std::function<TServerRun*()> run, QWidget* parent = nullptr);
  ~TFormConnections() override;

  void FillList();
  void DisconnectSelected();
  void SendMessageToSelected();

  QTreeWidget* lvConnections;
  QLabel* lblMessageText;
  QLineEdit* edtMessageText;
  QPushButton* btnDisconnect;
  QPushButton* btnSendMessage;
  QPushButton* btnClose;

protected:
  void SaveFormSettings() override;

private:
  void UpdateButtons();
  QStringList SelectedIds() const;

  std::function<TServerRun*()> run_;
};

} // namespace voxmit
