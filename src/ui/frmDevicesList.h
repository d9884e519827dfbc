#pragma once
// The device and device-kind list windows: a grid of one table with Add, Edit, Delete, OK and
// Cancel. Add and Edit open the record editor; its OK stores the row at once, its Cancel
// leaves the table as it was. Delete removes the selected rows without asking. OK and Cancel
// of the list only close it (every change is already stored). The tray menu opens them while
// the server is stopped, with the settings connection open for as long as they are shown.
// UI thread only.

#include <memory>

#include "DeviceTableModels.h"
#include "frmBase.h"

class QPushButton;
class QTableView;

namespace voxmit {

class TDMServerSettings;
class TFormBaseEditor;

class TBaseGridListForm : public TFormBase {
  Q_OBJECT
public:
  TBaseGridListForm(std::string section, QWidget* parent);
  bool UseDesignSizeAsMinimum() const override { return true; }

  virtual void Add() = 0;
  virtual void Edit() = 0;
  void Delete();
  // The editor open over the list, or nullptr.
  TFormBaseEditor* Editor() const { return editor_; }

  QTableView* grid;
  QPushButton* btnAdd;
  QPushButton* btnEdit;
  QPushButton* btnDelete;
  QPushButton* btnOK;
  QPushButton* btnCancel;

protected:
  void SaveFormSettings() override;
  void UpdateButtons();
  // Shows the editor modally over the list; onOk runs when it closes with OK (a failure to
  // store is shown and the list reloads).
  void OpenEditor(TFormBaseEditor* editor, std::function<void()> onOk);
  int CurrentRow() const;
  virtual void RemoveRow(int row) = 0;
  // Binds the grid to the table's model (a member of the derived window, made after the base).
  void BindModel(QAbstractTableModel& model);

private:
  QAbstractTableModel* gridModel_ = nullptr;
  TFormBaseEditor* editor_ = nullptr;
};

class TFormDevicesList : public TBaseGridListForm {
  Q_OBJECT
public:
  // Reads the tables through the settings connection (open); throws when they cannot be read.
  static TFormDevicesList* Create(TDMServerSettings& settings);
  TFormDevicesList(TDMServerSettings& settings, QWidget* parent = nullptr);
  void Add() override;
  void Edit() override;
  TDevicesModel& Model() { return model_; }

protected:
  void RemoveRow(int row) override;

private:
  std::vector<TDeviceKindRecord> Kinds() const;

  TDMServerSettings& settings_;
  TDevicesModel model_;
  std::unique_ptr<TDeviceRecord> editing_;
};

class TFormDeviceKindsList : public TBaseGridListForm {
  Q_OBJECT
public:
  static TFormDeviceKindsList* Create(TDMServerSettings& settings);
  TFormDeviceKindsList(TDMServerSettings& settings, QWidget* parent = nullptr);
  void Add() override;
  void Edit() override;
  TDeviceKindsModel& Model() { return model_; }

protected:
  void RemoveRow(int row) override;

private:
  TDMServerSettings& settings_;
  TDeviceKindsModel model_;
  std::unique_ptr<TDeviceKindRecord> editing_;
};

} // namespace voxmit
