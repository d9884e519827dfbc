#pragma once
// The record editors of the device lists. TFormBaseEditor: OK/Cancel and a panel that hosts
// the embedded settings editor of a device kind, with one cached settings text per kind (so a
// switch of kind and back keeps what was typed). TFormDeviceEditor edits one Devices row,
// TDeviceKindEditor one DeviceTypes row. The editors change only the record they are given;
// the list window stores it when the editor closes with OK. UI thread only.

#include <map>
#include <vector>

#include "DeviceTableModels.h"
#include "frmBase.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace voxmit {

class TDMServerSettings;
class TFormBaseEmbedEditor;

enum TEditorMode { emEdit = 0, emNew = 1 };

class TFormBaseEditor : public TFormBase {
  Q_OBJECT
public:
  TFormBaseEditor(std::string section, TEditorMode mode, QWidget* parent = nullptr);

  bool UseDesignSizeAsMinimum() const override { return true; }
  // Hosts the kind's embedded editor in the panel; false when the kind has none (the panel
  // keeps what it had).
  bool EmbedEditor(int32_t kind);
  TFormBaseEmbedEditor* Embedded() const { return embedded_; }

  virtual bool Validate() = 0;
  virtual bool IsModified() const = 0;
  virtual void ApplyOk() = 0;

  void OkClick();
  void CancelClick() { reject(); }

  QWidget* pnlEmbedCustomEditor;
  QPushButton* btnOK;
  QPushButton* btnCancel;

protected:
  QVBoxLayout* Fields() const { return fields_; }
  const TEditorMode mode_;
  std::map<int32_t, std::string> textCache_;

private:
  QVBoxLayout* fields_;
  TFormBaseEmbedEditor* embedded_ = nullptr;
};

class TFormDeviceEditor : public TFormBaseEditor {
  Q_OBJECT
public:
  TFormDeviceEditor(TEditorMode mode, TDeviceRecord& record,
                    std::vector<TDeviceKindRecord> kinds, QWidget* parent = nullptr);

  bool Validate() override;
  bool IsModified() const override;
  void ApplyOk() override;
  // Chooses the kind in the kind box (as the operator's choice from the list does).
  void ChooseKind(int32_t typeNo);
  int32_t ChosenKind() const;

  QLineEdit* edtName;
  QComboBox* cbDeviceKind;

private:
  void KindChosen(int index);

  TDeviceRecord& record_;
  std::vector<TDeviceKindRecord> kinds_;
  int32_t currentKind_ = 0;
};

class TDeviceKindEditor : public TFormBaseEditor {
  Q_OBJECT
public:
  TDeviceKindEditor(TEditorMode mode, TDeviceKindRecord& record, TDMServerSettings& settings,
                    QWidget* parent = nullptr);

  bool Validate() override;
  bool IsModified() const override;
  void ApplyOk() override;

  QLineEdit* edtName;
  QLineEdit* edtTypeNo;

private:
  TDeviceKindRecord& record_;
  TDMServerSettings& settings_;
  const std::string oldName_;
  const std::string oldTypeNo_;
};

} // namespace voxmit
