// AccountSetupDialog: the first-run dialog that sets up one mailbox (TAccountSetup's widgets).
#pragma once

#include <QDialog>
#include <functional>

#include "app/Desktop.h"
#include "config/AccountSetup.h"
#include "config/Schedule.h"

class QComboBox;
class QPushButton;
class QLineEdit;
class QListWidget;

namespace norva::ui {

// Runs "Test connection" from button: the mailbox that fill makes is tried, and the lines go to
// results. While it runs the button reads "Cancel test" and cancels it. The widgets may go away
// meanwhile (the events keep running): they are touched only while they exist.
void RunConnectionTest(
    QPushButton* button, QListWidget* results, const std::function<bool(MailboxAccount&)>& fill,
    const std::function<std::vector<std::string>(TConnectionTest&, MailboxAccount&)>& run = {});

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
  // While a connection test runs, Cancel and Esc end the test, not the dialog.
  void reject() override;

 private:
  TScheduleControls schedule_;
  TAccountsPage page_;
  TAccountSetup setup_;
  QLineEdit *edtName_, *edtAddress_, *edtPassword_, *edtAccount_, *edtPOP3_, *edtSMTP_;
  QComboBox *cmbMailSecurity_, *cmbSMTPSecurity_;
  QListWidget* lstResults_;
  QPushButton* btnTest_;
  bool syncing_ = false;
};

}  // namespace norva::ui
