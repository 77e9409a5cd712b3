// AccountSetupDialog: the first-run dialog's widgets over TAccountSetup.
#include "ui/AccountSetupDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QPointer>
#include <QVBoxLayout>
#include <tuple>

#include "config/ConnectionTest.h"

#include "ui/Text.h"

namespace norva::ui {

namespace {
constexpr const char* kTestCaption = "&Test connection";
constexpr const char* kCancelCaption = "Cancel &test";
}  // namespace

void RunConnectionTest(
    QPushButton* button, QListWidget* results, const std::function<bool(MailboxAccount&)>& fill,
    const std::function<std::vector<std::string>(TConnectionTest&, MailboxAccount&)>& run) {
  static TConnectionTest* running = nullptr;
  if (running) {
    running->Cancel();
    return;
  }
  MailboxAccount account;
  if (!fill(account)) return;
  TConnectionTest test;
  QPointer<QPushButton> b(button);
  QPointer<QListWidget> list(results);
  list->clear();
  list->addItem("Testing...");
  list->show();
  b->setText(kCancelCaption);
  running = &test;
  const std::vector<std::string> lines = run ? run(test, account) : test.Run(account);
  running = nullptr;
  if (b) b->setText(kTestCaption);
  if (!list) return;
  list->clear();
  for (const std::string& line : lines) list->addItem(ToQt(line));
}

AccountSetupDialog::AccountSetupDialog(QWidget* parent, TfrmOptions& options, Desktop& desktop)
    : QDialog(parent),
      schedule_(options),
      page_(options, schedule_,
            [&desktop](const std::string& text, const std::string& caption) {
              desktop.MessageBox(text, caption, Desktop::mbOK, Desktop::iconError);
            }),
      setup_(page_) {
  setObjectName("AccountSetupDialog");
  setWindowTitle("Set up a mailbox");
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(
      "Give your name, your e-mail address and its password. The servers are guessed from the "
      "address; change them if your provider uses others.");
  intro->setWordWrap(true);
  layout->addWidget(intro);

  auto* form = new QFormLayout;
  auto edit = [this, form](QLineEdit*& e, const char* name, const char* label) {
    e = new QLineEdit(this);
    e->setObjectName(name);
    form->addRow(label, e);
  };
  edit(edtName_, "edtName", "Your &name:");
  edit(edtAddress_, "edtAddress", "E-mail &address:");
  edit(edtPassword_, "edtPassword", "&Password:");
  edtPassword_->setEchoMode(QLineEdit::Password);
  edit(edtAccount_, "edtAccount", "POP3 &user name:");
  edit(edtPOP3_, "edtPOP3", "P&OP3 server:");
  cmbMailSecurity_ = new QComboBox(this);
  cmbMailSecurity_->setObjectName("cmbMailSecurity");
  form->addRow("POP3 security:", cmbMailSecurity_);
  edit(edtSMTP_, "edtSMTP", "&SMTP server:");
  cmbSMTPSecurity_ = new QComboBox(this);
  cmbSMTPSecurity_->setObjectName("cmbSMTPSecurity");
  form->addRow("SMTP security:", cmbSMTPSecurity_);
  for (QComboBox* c : {cmbMailSecurity_, cmbSMTPSecurity_})
    for (const char* name : kSecurityNames) c->addItem(name);
  cmbMailSecurity_->setCurrentIndex(setup_.cmbMailSecurity);
  cmbSMTPSecurity_->setCurrentIndex(setup_.cmbSMTPSecurity);
  layout->addLayout(form);

  lstResults_ = new QListWidget(this);
  lstResults_->setObjectName("lstResults");
  lstResults_->setMaximumHeight(110);
  lstResults_->setWordWrap(true);  // a failure's reason is read whole, not scrolled to
  lstResults_->hide();
  layout->addWidget(lstResults_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  btnTest_ = buttons->addButton(kTestCaption, QDialogButtonBox::ActionRole);
  btnTest_->setObjectName("btnTestConnection");
  connect(btnTest_, &QPushButton::clicked, this, [this] {
    QPointer<AccountSetupDialog> self(this);
    RunConnectionTest(
        btnTest_, lstResults_,
        [this](MailboxAccount& account) { return setup_.FillAccount(account); },
        [this](TConnectionTest& test, MailboxAccount& account) {
          return setup_.TestConnection(test, account);
        });
    // The test may have found the SMTP server on another port.
    if (!self) return;
    syncing_ = true;
    edtSMTP_->setText(ToQt(setup_.edtSMTP));
    cmbSMTPSecurity_->setCurrentIndex(setup_.cmbSMTPSecurity);
    syncing_ = false;
  });
  buttons->button(QDialogButtonBox::Ok)->setObjectName("btnOK");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("btnCancel");
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  // The fields the address fills in follow it until the user edits them.
  auto refresh = [this] {
    syncing_ = true;
    edtAccount_->setText(ToQt(setup_.edtAccount));
    edtPOP3_->setText(ToQt(setup_.edtPOP3));
    edtSMTP_->setText(ToQt(setup_.edtSMTP));
    syncing_ = false;
  };
  connect(edtAddress_, &QLineEdit::textChanged, this, [this, refresh](const QString& text) {
    setup_.edtAddressChange(FromQt(text));
    refresh();
  });
  for (auto [e, field, name] : {std::tuple{edtAccount_, &setup_.edtAccount, "edtAccount"},
                                std::tuple{edtPOP3_, &setup_.edtPOP3, "edtPOP3"},
                                std::tuple{edtSMTP_, &setup_.edtSMTP, "edtSMTP"}})
    connect(e, &QLineEdit::textChanged, this, [this, field, name](const QString& text) {
      *field = FromQt(text);
      if (!syncing_) setup_.FieldEdited(name);
    });
  connect(edtName_, &QLineEdit::textChanged, this,
          [this](const QString& text) { setup_.edtName = FromQt(text); });
  connect(edtPassword_, &QLineEdit::textChanged, this,
          [this](const QString& text) { setup_.edtPassword = FromQt(text); });
  connect(cmbMailSecurity_, &QComboBox::currentIndexChanged, this,
          [this](int index) { setup_.cmbMailSecurity = index; });
  connect(cmbSMTPSecurity_, &QComboBox::currentIndexChanged, this,
          [this](int index) { setup_.cmbSMTPSecurity = index; });
  resize(560, sizeHint().height());
}

void AccountSetupDialog::reject() {
  if (btnTest_->text() == kCancelCaption) {
    btnTest_->click();
    return;
  }
  QDialog::reject();
}

void AccountSetupDialog::accept() {
  if (btnTest_->text() == kCancelCaption) return;
  if (!setup_.btnOKClick()) {
    // The accounts page names its own fields; these are the same ones here.
    QLineEdit* refused = page_.Focused == "edtMailPOP3" ? edtPOP3_ : edtAddress_;
    refused->setFocus();
    return;
  }
  if (OnAdded) OnAdded();
  QDialog::accept();
}

}  // namespace norva::ui
