// RuleDialog: the rule editor window "Rules", a view of TfrmRule (one filter, one action and
// their parameters).
#pragma once

#include <QDialog>

#include "app/Desktop.h"
#include "app/Rules.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace norva::ui {

class RuleDialog : public QDialog {
  Q_OBJECT

 public:
  RuleDialog(TfrmRule& rule, Desktop& desktop, QWidget* parent = nullptr);

  // Loads `rule` (an empty MailRule resets the editor), shows the window modally and, on OK,
  // puts the rule the fields describe into `rule`. Returns QDialog::Accepted or Rejected.
  int Execute(MailRule& rule);

  // Shows the model's fields, lists and which parameter widgets its codes call for.
  void Render();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // One side of the window: the " Event " or the " Action " group.
  struct Side {
    QListWidget* list = nullptr;
    QLabel* label = nullptr;
    QLineEdit* edit = nullptr;
    QComboBox* combo = nullptr;
    QPlainTextEdit* memo = nullptr;
  };
  QWidget* BuildSide(Side& side, const QString& title, const QString& prefix);
  void btnOKClick();

  TfrmRule& rule_;
  Desktop& desktop_;
  Side filter_, action_;
};

}  // namespace norva::ui
