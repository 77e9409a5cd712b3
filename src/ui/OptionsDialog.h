// OptionsDialog: the preferences window "Preferences", a view of TfrmOptions and its pages
// (mail boxes, rules, templates, check lists, address book, connection and alarms, learning).
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "app/Desktop.h"
#include "app/LearnPage.h"
#include "app/Rules.h"
#include "config/AccountsPage.h"
#include "config/BookPage.h"
#include "config/ConnectionPage.h"
#include "config/ListsPage.h"
#include "config/Options.h"
#include "config/Schedule.h"

class QCheckBox;
class QSpinBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;
class QTreeWidget;

namespace norva::ui {

class RuleDialog;

// Keep one for the whole run: its pages remember the selections, the edit fields and which
// mailboxes' seen lists still have to be written. Every edit changes the configuration in
// memory at once; OK also writes Config.QDB, Cancel writes nothing and keeps the edits.
class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  // The main window's logic gives the configuration, the desktop and the spam learner.
  OptionsDialog(QWidget* parent, TfrmMain& main, TfrmRule& rule);
  ~OptionsDialog() override;

  // Called before a mailbox is deleted, while its client still exists (the main window drops
  // the message rows that point at it).
  std::function<void(MailboxAccount&)> OnAccountDeleting;
  // A double-click in the address book: the window has closed as Cancel closes it; start a new
  // message to this recipient.
  std::function<void(const std::string& recipient)> ComposeTo;
  // True while a mail check runs: a mailbox's client must not be deleted under it then.
  std::function<bool()> IsBusy;

  RuleDialog* ruleDialog() const { return ruleDialog_; }

  // Shows the configuration and the pages' state; other windows change the lists too (quick
  // rules add check lists and book entries), so this runs whenever the window is shown.
  void Render();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* BuildAccountsPage();
  QWidget* BuildRulesPage();
  QWidget* BuildTemplatesPage();
  QWidget* BuildCheckListsPage();
  QWidget* BuildBookPage();
  QWidget* BuildConnectionPage();
  QWidget* BuildLearningPage();

  void RenderAccounts();
  void RenderSchedule();
  void RenderRules();
  void RenderTemplates();
  void RenderCheckLists();
  void RenderBook();
  void RenderConnection();
  void RenderLearning();

  void SelectAddress(int index);
  void btnDeleteAddressClick();
  void EditRule(bool add);
  void ComposeToRecipient(const std::string& recipient);
  void btnOKClick();

  TfrmOptions& options_;
  TfrmRule& rule_;
  Desktop& desktop_;
  TScheduleControls schedule_;
  TAccountsPage accounts_;
  TConnectionPage connection_;
  TListsPage lists_;
  TBookPage book_;
  TLearnPage learn_;
  RuleDialog* ruleDialog_ = nullptr;

  // " Mail Boxes"
  QTreeWidget* lsvAddress_ = nullptr;
  QLineEdit *edtMailAddress_ = nullptr, *edtMailAccount_ = nullptr, *edtMailPassword_ = nullptr;
  QLineEdit *edtMailPOP3_ = nullptr, *edtMailSMTP_ = nullptr, *edtMailTimeOut_ = nullptr;
  QCheckBox *chkIsDefault_ = nullptr, *chkCheckOnStartup_ = nullptr;
  QComboBox *cmbMailSecurity_ = nullptr, *cmbSMTPSecurity_ = nullptr;
  QCheckBox* chkSMTPAuth_ = nullptr;
  QCheckBox* chkPipelining_ = nullptr;
  QCheckBox* chkPlainPassword_ = nullptr;
  QLineEdit* edtTokenCommand_ = nullptr;
  QLineEdit *edtSMTPUser_ = nullptr, *edtSMTPPassword_ = nullptr;
  QCheckBox* chkCheckTogether_ = nullptr;
  QRadioButton *radCheckManual_ = nullptr, *radCheckFreq_ = nullptr;
  QComboBox* cmbFreq_ = nullptr;
  QSlider* tbaFreq_ = nullptr;
  QLabel* lblFreq_ = nullptr;
  QLineEdit* edtUserName_ = nullptr;

  // " Mail Check Rules", " Templates", " Check Lists"
  QTreeWidget* lsvRule_ = nullptr;
  QListWidget* lstTemplate_ = nullptr;
  QPlainTextEdit* memTemplate_ = nullptr;
  QListWidget* lstCList_ = nullptr;
  QPlainTextEdit* redCList_ = nullptr;

  // " Address Book"
  QTreeWidget* lsvBook_ = nullptr;
  QLineEdit *edtNameBook_ = nullptr, *edtAddressBook_ = nullptr, *edtCommentBook_ = nullptr;

  // " Connection && Alarms"
  QRadioButton *radDirectConnection_ = nullptr, *radDialUp_ = nullptr;
  QCheckBox *chkAutoDial_ = nullptr, *chkBlocking_ = nullptr;
  QCheckBox* chkNoDeleteConfirm_ = nullptr;
  QSpinBox* edtMaxMessageSize_ = nullptr;
  QComboBox* cmbRas_ = nullptr;
  QLineEdit* edtRASPassword_ = nullptr;
  QCheckBox *chkNewPopUp_ = nullptr, *chkNewPlay_ = nullptr, *chkNewPlayLoop_ = nullptr;
  QCheckBox *chkUrgentPopUp_ = nullptr, *chkUrgentPlay_ = nullptr, *chkUrgentPlayLoop_ = nullptr;
  QLineEdit *edtNewSound_ = nullptr, *edtUrgentSound_ = nullptr;
  QPushButton *btnNewSound_ = nullptr, *btnUrgentSound_ = nullptr;
  QRadioButton *radAlarmNotify_ = nullptr, *radAlarmDialog_ = nullptr;

  // " Learning"
  QCheckBox* chkLearn_ = nullptr;
  QLabel *lblLearned_ = nullptr, *lblLearnProgress_ = nullptr;
  QPushButton *btnImportSpam_ = nullptr, *btnImportSafe_ = nullptr;
  QPushButton *btnStopImport_ = nullptr, *btnResetLearner_ = nullptr;
};

}  // namespace norva::ui
