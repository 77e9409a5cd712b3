// AccountSetupDialog: the first-run dialog that sets up one mailbox (TAccountSetup's widgets).
#pragma once

#include <QDialog>
#include <functional>

#include "app/Desktop.h"
#include "config/AccountSetup.h"
#include "config/Schedule.h"

class QComboBox;
class QLineEdit;
class QListWidget;

namespace norva::ui {

class AccountSetupDialog : public QDialog {
  Q_OBJECT
 public:
  AccountSetupDialog(QWidget* parent, TfrmOptions& options, Desktop& desktop);

  // Called after OK stored the mailbox.
  std::function<void()> OnAdded;

  TAccountSetup& Setup() { return setup_; }
  // The result lines of the last connection test.
  QListWidget* Results() const { return lstResults_; }

  void accept() override;

 private:
  TScheduleControls schedule_;
  TAccountsPage page_;
  TAccountSetup setup_;
  QLineEdit *edtName_, *edtAddress_, *edtPassword_, *edtAccount_, *edtPOP3_, *edtSMTP_;
  QComboBox *cmbMailSecurity_, *cmbSMTPSecurity_;
  QListWidget* lstResults_;
  bool syncing_ = false;
};

}  // namespace norva::ui
