#include "frmDeviceEditor.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QVBoxLayout>

#include "MessageBoxes.h"
#include "frmBaseEmbedEditor.h"
#include "store/dmodServerSettings.h"

namespace voxmit {

TFormBaseEditor::TFormBaseEditor(std::string section, TEditorMode mode, QWidget* parent)
    : TFormBase(std::move(section), parent), mode_(mode) {
  fields_ = new QVBoxLayout;
  pnlEmbedCustomEditor = new QWidget(this);
  pnlEmbedCustomEditor->setLayout(new QVBoxLayout);
  pnlEmbedCustomEditor->layout()->setContentsMargins(0, 0, 0, 0);
  btnOK = new QPushButton("&OK", this);
  btnCancel = new QPushButton("&Cancel", this);
  btnOK->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields_);
  layout->addWidget(pnlEmbedCustomEditor, 1);
  layout->addLayout(buttons);
  connect(btnOK, &QPushButton::clicked, this, &TFormBaseEditor::OkClick);
  connect(btnCancel, &QPushButton::clicked, this, &TFormBaseEditor::CancelClick);
}

bool TFormBaseEditor::EmbedEditor(int32_t kind) {
  const TEmbedEditorRec* rec = TBaseEmbedEditorsList::Instance().EditorClassForKind(kind);
  if (!rec) return false;
  TFormBaseEmbedEditor* editor = rec->Create();
  if (embedded_) {
    pnlEmbedCustomEditor->layout()->removeWidget(embedded_);
    delete embedded_;
  }
  embedded_ = editor;
  editor->setParent(pnlEmbedCustomEditor);
  pnlEmbedCustomEditor->layout()->addWidget(editor);
  editor->show();
  // The window grows to what the embedded editor needs, and keeps that as its minimum.
  setMinimumSize(minimumSizeHint());
  resize(size().expandedTo(sizeHint()));
  return true;
}

void TFormBaseEditor::OkClick() {
  if (!Validate()) return;
  if (IsModified()) ApplyOk();
  accept();
}

TFormDeviceEditor::TFormDeviceEditor(TEditorMode mode, TDeviceRecord& record,
                                     std::vector<TDeviceKindRecord> kinds, QWidget* parent)
    : TFormBaseEditor("TFormDeviceEditor", mode, parent), record_(record),
      kinds_(std::move(kinds)) {
  setWindowTitle(mode == emNew ? "  New Device" : "  Edit Device");
  edtName = new QLineEdit(QString::fromStdString(record_.Name), this);
  cbDeviceKind = new QComboBox(this);
  for (const TDeviceKindRecord& k : kinds_)
    cbDeviceKind->addItem(QString::fromStdString(k.Name), k.TypeNo);
  cbDeviceKind->setCurrentIndex(-1);
  auto* form = new QFormLayout;
  form->addRow("Device &Name : ", edtName);
  form->addRow("Device &Kind : ", cbDeviceKind);
  Fields()->addLayout(form);

  // What showing the editor does: a new row takes the first kind; with a kind set, its editor
  // is embedded and filled from the stored text.
  if (mode == emNew && !kinds_.empty()) record_.TypeNo = kinds_.front().TypeNo;
  currentKind_ = record_.TypeNo;
  {
    const QSignalBlocker block(cbDeviceKind);
    cbDeviceKind->setCurrentIndex(cbDeviceKind->findData(currentKind_));
  }
  if (currentKind_ != 0) {
    if (EmbedEditor(currentKind_)) {
      if (!QString::fromStdString(record_.SettingsData).trimmed().isEmpty())
        Embedded()->PutDataAsCSVString(record_.SettingsData);
    } else {
      ShowMessageBox(TMessageKind::Warning, "Device Type not implemented:  (TypeNo= " +
                                                std::to_string(currentKind_) + ")");
    }
  }
  connect(cbDeviceKind, &QComboBox::activated, this, &TFormDeviceEditor::KindChosen);
  edtName->setFocus();
  LoadFormSettings();
}

int32_t TFormDeviceEditor::ChosenKind() const {
  return cbDeviceKind->currentIndex() < 0 ? 0 : cbDeviceKind->currentData().toInt();
}

void TFormDeviceEditor::ChooseKind(int32_t typeNo) {
  const int index = cbDeviceKind->findData(typeNo);
  cbDeviceKind->setCurrentIndex(index);
  KindChosen(index);
}

void TFormDeviceEditor::KindChosen(int index) {
  const int32_t kind = index < 0 ? 0 : cbDeviceKind->itemData(index).toInt();
  if (kind == currentKind_) return;
  if (Embedded()) textCache_[currentKind_] = Embedded()->GetDataAsCSVString();
  if (EmbedEditor(kind)) {
    currentKind_ = kind;
    if (auto it = textCache_.find(kind); it != textCache_.end())
      Embedded()->PutDataAsCSVString(it->second);
  } else {
    ShowMessageBox(TMessageKind::Warning,
                   "Device Type not implemented:  (TypeNo= " + std::to_string(kind) + ")");
    const QSignalBlocker block(cbDeviceKind);
    cbDeviceKind->setCurrentIndex(cbDeviceKind->findData(currentKind_));
  }
}

bool TFormDeviceEditor::Validate() {
  if (edtName->text().isEmpty()) {
    ShowMessageBox(TMessageKind::Warning, "Error: Name field can't be empty !", this);
    edtName->setFocus();
    return false;
  }
  return !Embedded() || Embedded()->ValidateData();
}

bool TFormDeviceEditor::IsModified() const {
  if (ChosenKind() != record_.TypeNo || mode_ == emNew) return true;
  if (edtName->text().toStdString() != record_.Name) return true;
  return Embedded() && Embedded()->GetDataAsCSVString() != record_.SettingsData;
}

void TFormDeviceEditor::ApplyOk() {
  record_.TypeNo = ChosenKind();
  record_.Name = edtName->text().toStdString();
  if (Embedded()) record_.SettingsData = Embedded()->GetDataAsCSVString();
}

TDeviceKindEditor::TDeviceKindEditor(TEditorMode mode, TDeviceKindRecord& record,
                                     TDMServerSettings& settings, QWidget* parent)
    : TFormBaseEditor("TDeviceKindEditor", mode, parent), record_(record), settings_(settings),
      oldName_(record.Name), oldTypeNo_(mode == emNew ? "" : std::to_string(record.TypeNo)) {
  setWindowTitle(mode == emNew ? "  New DeviceType" : "  Edit DeviceType");
  edtName = new QLineEdit(QString::fromStdString(oldName_), this);
  edtTypeNo = new QLineEdit(QString::fromStdString(oldTypeNo_), this);
  edtTypeNo->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{1,9}"), edtTypeNo));
  auto* form = new QFormLayout;
  form->addRow("&Name : ", edtName);
  form->addRow("&TypeNo : ", edtTypeNo);
  Fields()->addLayout(form);
  pnlEmbedCustomEditor->hide();
  LoadFormSettings();
}

bool TDeviceKindEditor::IsModified() const {
  return edtName->text().toStdString() != oldName_ ||
         edtTypeNo->text().toStdString() != oldTypeNo_;
}

bool TDeviceKindEditor::Validate() {
  if (!IsModified()) return true;
  const std::string name = edtName->text().toStdString();
  const std::string typeNo = edtTypeNo->text().toStdString();
  if (name.empty()) {
    ShowMessageBox(TMessageKind::Warning, "Error: Name field can't be empty !", this);
    edtName->setFocus();
    return false;
  }
  try {
    // A change of letter case only is the same kind, not a clash with itself.
    if (QString::fromStdString(name).compare(QString::fromStdString(oldName_),
                                             Qt::CaseInsensitive) != 0 &&
        settings_.DeviceTypeNameExists(name)) {
      ShowMessageBox(TMessageKind::Warning, "There already is DatabaseType named: \"" + name +
                                                "\". Please enter a different name.",
                     this);
      edtName->setText(QString::fromStdString(oldName_));
      edtName->setFocus();
      return false;
    }
    if (typeNo.empty()) {
      ShowMessageBox(TMessageKind::Warning, "Error: TypeNo field can't be empty !", this);
      edtTypeNo->setFocus();
      return false;
    }
    if (typeNo != oldTypeNo_ && settings_.DeviceTypeNoExists(std::stoi(typeNo))) {
      ShowMessageBox(TMessageKind::Warning, "There already is DatabaseType with TypeNo=\"" +
                                                typeNo + "\". Please enter a different TypeNo.",
                     this);
      edtTypeNo->setText(QString::fromStdString(oldTypeNo_));
      edtTypeNo->setFocus();
      return false;
    }
  } catch (const std::exception& e) {
    ShowMessageBox(TMessageKind::Warning, e.what(), this);
    return false;
  }
  return true;
}

void TDeviceKindEditor::ApplyOk() {
  record_.Name = edtName->text().toStdString();
  record_.TypeNo = std::stoi(edtTypeNo->text().toStdString());
}

} // namespace voxmit
