// RuleDialog: widgets of the rule editor, forwarding every user action to TfrmRule.
#include "ui/RuleDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "config/ListsPage.h"
#include "ui/Text.h"

namespace norva::ui {

namespace {

// The text field and the drop-down list share one place; hiding one must not move the other.
void KeepPlaceWhenHidden(QWidget* widget) {
  QSizePolicy policy = widget->sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  widget->setSizePolicy(policy);
}

void FillCombo(QComboBox* combo, const TComboModel& model) {
  const QSignalBlocker block(combo);
  combo->clear();
  for (const std::string& item : model.Items) combo->addItem(ToQt(item));
  combo->setCurrentIndex(model.ItemIndex);
}

void FillList(QListWidget* list, const std::vector<std::string>& items, int32_t index) {
  const QSignalBlocker block(list);
  if (list->count() != int(items.size())) {
    list->clear();
    for (const std::string& item : items) list->addItem(ToQt(item));
  }
  list->setCurrentRow(index);
}

}  // namespace

RuleDialog::RuleDialog(TfrmRule& rule, Desktop& desktop, QWidget* parent)
    : QDialog(parent), rule_(rule), desktop_(desktop) {
  setObjectName("frmRule");
  setWindowTitle("Rules");
  setModal(true);

  auto* btnOK = new QPushButton("OK");
  btnOK->setObjectName("btnOK");
  btnOK->setDefault(true);
  auto* btnCancel = new QPushButton("Cancel");
  btnCancel->setObjectName("btnCancel");
  connect(btnOK, &QPushButton::clicked, this, &RuleDialog::btnOKClick);
  // QDialog rejects on Escape, as the Cancel button does.
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(BuildSide(filter_, " Event ", "Filter"));
  layout->addWidget(BuildSide(action_, " Action ", "Action"));
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(filter_.list, &QListWidget::currentRowChanged, this, [this](int row) {
    rule_.lstFilterIndex = row;
    rule_.lstFilterClick();
    Render();
  });
  connect(action_.list, &QListWidget::currentRowChanged, this, [this](int row) {
    rule_.lstActionIndex = row;
    rule_.lstActionClick();
    Render();
  });
  connect(filter_.edit, &QLineEdit::textEdited, this,
          [this](const QString& text) { rule_.edtFilter = FromQt(text); });
  connect(action_.edit, &QLineEdit::textEdited, this,
          [this](const QString& text) { rule_.edtAction = FromQt(text); });
  connect(filter_.combo, &QComboBox::currentIndexChanged, this,
          [this](int index) { rule_.cmbFilter.Select(index); });
  connect(action_.combo, &QComboBox::currentIndexChanged, this,
          [this](int index) { rule_.cmbAction.Select(index); });
  Render();
}

QWidget* RuleDialog::BuildSide(Side& side, const QString& title, const QString& prefix) {
  auto* group = new QGroupBox(title);
  group->setObjectName("grp" + prefix);
  side.list = new QListWidget;
  side.list->setObjectName("lst" + prefix);
  side.list->setMinimumWidth(380);
  side.list->setFixedHeight(prefix == "Filter" ? 180 : 130);
  side.label = new QLabel("Parameter");
  side.label->setObjectName("lbl" + prefix);
  side.edit = new QLineEdit;
  side.edit->setObjectName("edt" + prefix);
  side.combo = new QComboBox;
  side.combo->setObjectName("cmb" + prefix);
  side.memo = new QPlainTextEdit;
  side.memo->setObjectName("mem" + prefix);
  side.memo->setReadOnly(true);
  side.memo->setFixedWidth(220);
  for (QWidget* w : {static_cast<QWidget*>(side.label), static_cast<QWidget*>(side.edit),
                     static_cast<QWidget*>(side.combo)})
    KeepPlaceWhenHidden(w);

  auto* grid = new QGridLayout(group);
  grid->addWidget(side.list, 0, 0, 1, 2);
  grid->addWidget(side.memo, 0, 2, 2, 1);
  grid->addWidget(side.label, 1, 0);
  grid->addWidget(side.edit, 1, 1);
  grid->addWidget(side.combo, 1, 1);
  grid->setColumnStretch(1, 1);
  return group;
}

void RuleDialog::Render() {
  FillList(filter_.list, rule_.lstFilter, rule_.lstFilterIndex);
  FillList(action_.list, rule_.lstAction, rule_.lstActionIndex);
  FillCombo(filter_.combo, rule_.cmbFilter);
  FillCombo(action_.combo, rule_.cmbAction);
  filter_.edit->setText(ToQt(rule_.edtFilter));
  action_.edit->setText(ToQt(rule_.edtAction));
  filter_.memo->setPlainText(ToQt(rule_.memFilter));
  action_.memo->setPlainText(ToQt(rule_.memAction));
  filter_.label->setVisible(rule_.lblFilterVisible);
  filter_.edit->setVisible(rule_.edtFilterVisible);
  filter_.combo->setVisible(rule_.cmbFilterVisible);
  action_.label->setVisible(rule_.lblActionVisible);
  action_.edit->setVisible(rule_.edtActionVisible);
  action_.combo->setVisible(rule_.cmbActionVisible);
}

int RuleDialog::Execute(MailRule& rule) {
  rule_.LoadRule(rule);
  Render();
  const int result = exec();
  if (result == QDialog::Accepted) rule = rule_.BuildRule();
  return result;
}

void RuleDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

// A rule that could not be stored is refused here, so that the user keeps what was entered.
void RuleDialog::btnOKClick() {
  const std::string error = RuleError(rule_.BuildRule());
  if (!error.empty()) {
    desktop_.ShowError(error);
    return;
  }
  accept();
}

}  // namespace norva::ui
