#include "frmDevicesList.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "MessageBoxes.h"
#include "frmDeviceEditor.h"
#include "store/dmodServerSettings.h"

namespace voxmit {

TBaseGridListForm::TBaseGridListForm(std::string section, QWidget* parent)
    : TFormBase(std::move(section), parent) {
  grid = new QTableView(this);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->verticalHeader()->hide();
  grid->setWordWrap(false);
  grid->horizontalHeader()->setStretchLastSection(true);
  btnAdd = new QPushButton("&Add", this);
  btnEdit = new QPushButton("&Edit", this);
  btnDelete = new QPushButton("&Delete", this);
  btnOK = new QPushButton("&OK", this);
  btnCancel = new QPushButton("&Cancel", this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnAdd);
  buttons->addWidget(btnEdit);
  buttons->addWidget(btnDelete);
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(grid);
  layout->addLayout(buttons);
  setModal(true);

  connect(btnAdd, &QPushButton::clicked, this, [this] { Add(); });
  connect(btnEdit, &QPushButton::clicked, this, [this] { Edit(); });
  connect(grid, &QTableView::doubleClicked, this, [this] {
    if (btnEdit->isEnabled()) Edit();
  });
  connect(btnDelete, &QPushButton::clicked, this, &TBaseGridListForm::Delete);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TBaseGridListForm::BindModel(QAbstractTableModel& model) {
  gridModel_ = &model;
  grid->setModel(&model);
  connect(grid->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TBaseGridListForm::UpdateButtons);
  connect(&model, &QAbstractItemModel::modelReset, this, &TBaseGridListForm::UpdateButtons);
  UpdateButtons();
  grid->setFocus();
}

void TBaseGridListForm::UpdateButtons() {
  const int rows = gridModel_->rowCount();
  const int selected = static_cast<int>(grid->selectionModel()->selectedRows().size());
  btnDelete->setEnabled(rows > 0);
  btnEdit->setEnabled(rows > 0 && selected <= 1);
}

int TBaseGridListForm::CurrentRow() const {
  const QModelIndexList selected = grid->selectionModel()->selectedRows();
  if (!selected.isEmpty()) return selected.front().row();
  return grid->currentIndex().isValid() ? grid->currentIndex().row()
                                        : (gridModel_->rowCount() > 0 ? 0 : -1);
}

void TBaseGridListForm::Delete() {
  std::vector<int> rows;
  for (const QModelIndex& i : grid->selectionModel()->selectedRows()) rows.push_back(i.row());
  if (rows.empty() && CurrentRow() >= 0) rows.push_back(CurrentRow());
  std::sort(rows.rbegin(), rows.rend());  // from the last, so the others keep their rows
  try {
    for (int row : rows) RemoveRow(row);
  } catch (const std::exception& e) {
    ShowMessageBox(TMessageKind::Warning, e.what(), this);
  }
}

void TBaseGridListForm::OpenEditor(TFormBaseEditor* editor, std::function<void()> onOk) {
  editor_ = editor;
  editor->setModal(true);
  connect(editor, &QDialog::finished, this, [this, onOk = std::move(onOk)](int result) {
    editor_ = nullptr;
    grid->setFocus();
    if (result != QDialog::Accepted) return;
    try {
      onOk();
    } catch (const std::exception& e) {
      ShowMessageBox(TMessageKind::Warning, e.what(), this);
    }
  });
  editor->open();
}

void TBaseGridListForm::SaveFormSettings() {
  SaveColumnWidths(*grid->horizontalHeader());
  TFormBase::SaveFormSettings();
}

TFormDevicesList* TFormDevicesList::Create(TDMServerSettings& settings) {
  return new TFormDevicesList(settings);
}

TFormDevicesList::TFormDevicesList(TDMServerSettings& settings, QWidget* parent)
    : TBaseGridListForm("TFormDevicesList", parent), settings_(settings),
      model_(settings.Session()) {
  setWindowTitle("  Devices");
  BindModel(model_);
  grid->horizontalHeader()->resizeSection(0, 120);
  grid->horizontalHeader()->resizeSection(1, 50);
  grid->horizontalHeader()->resizeSection(2, 350);
  resize(600, 320);
  UpdateButtons();
  LoadFormSettings();
  LoadColumnWidths(*grid->horizontalHeader());
}

std::vector<TDeviceKindRecord> TFormDevicesList::Kinds() const {
  TDeviceKindsModel kinds(settings_.Session());
  return kinds.Rows();
}

void TFormDevicesList::Add() {
  editing_ = std::make_unique<TDeviceRecord>();
  OpenEditor(new TFormDeviceEditor(emNew, *editing_, Kinds(), this),
             [this] { model_.Save(*editing_); });
}

void TFormDevicesList::Edit() {
  const int row = CurrentRow();
  if (row < 0) return;
  editing_ = std::make_unique<TDeviceRecord>(model_.Row(row));
  OpenEditor(new TFormDeviceEditor(emEdit, *editing_, Kinds(), this), [this] {
    model_.Save(*editing_);
  });
}

void TFormDevicesList::RemoveRow(int row) { model_.Remove(model_.Row(row).ID); }

TFormDeviceKindsList* TFormDeviceKindsList::Create(TDMServerSettings& settings) {
  return new TFormDeviceKindsList(settings);
}

TFormDeviceKindsList::TFormDeviceKindsList(TDMServerSettings& settings, QWidget* parent)
    : TBaseGridListForm("TFormDeviceKindsList", parent), settings_(settings),
      model_(settings.Session()) {
  setWindowTitle("  Device Kinds");
  BindModel(model_);
  grid->horizontalHeader()->resizeSection(0, 180);
  grid->horizontalHeader()->resizeSection(1, 50);
  resize(320, 260);
  UpdateButtons();
  LoadFormSettings();
  LoadColumnWidths(*grid->horizontalHeader());
}

void TFormDeviceKindsList::Add() {
  editing_ = std::make_unique<TDeviceKindRecord>();
  OpenEditor(new TDeviceKindEditor(emNew, *editing_, settings_, this),
             [this] { model_.Save(*editing_); });
}

void TFormDeviceKindsList::Edit() {
  const int row = CurrentRow();
  if (row < 0) return;
  editing_ = std::make_unique<TDeviceKindRecord>(model_.Row(row));
  OpenEditor(new TDeviceKindEditor(emEdit, *editing_, settings_, this),
             [this] { model_.Save(*editing_); });
}

void TFormDeviceKindsList::RemoveRow(int row) { model_.Remove(model_.Row(row).ID); }

} // namespace voxmit
