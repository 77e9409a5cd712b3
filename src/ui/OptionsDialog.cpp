// OptionsDialog: the preferences window's widgets. Each page model does the work; the widgets
// show its state and hand it what the user typed and clicked.
#include "ui/OptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <utility>

#include "config/Autostart.h"
#include "ui/AccountSetupDialog.h"
#include "ui/RuleDialog.h"
#include "ui/Text.h"

namespace norva::ui {

namespace {

struct Column {
  const char* caption;
  int width;
};

// A read-only report view whose rows are rebuilt from a model list.
QTreeWidget* ReportView(const QString& name, std::initializer_list<Column> columns) {
  auto* view = new QTreeWidget;
  view->setObjectName(name);
  view->setRootIsDecorated(false);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setAllColumnsShowFocus(true);
  QStringList captions;
  for (const Column& c : columns) captions << c.caption;
  view->setHeaderLabels(captions);
  int i = 0;
  for (const Column& c : columns) view->header()->resizeSection(i++, c.width);
  view->header()->setSectionsClickable(false);
  return view;
}

void FillRows(QTreeWidget* view, const std::vector<QStringList>& rows, int32_t selected) {
  const QSignalBlocker block(view);
  view->clear();
  for (const QStringList& cells : rows) view->addTopLevelItem(new QTreeWidgetItem(cells));
  view->setCurrentItem(selected >= 0 ? view->topLevelItem(selected) : nullptr);
}

int RowOf(QTreeWidget* view, QTreeWidgetItem* item) {
  return item ? view->indexOfTopLevelItem(item) : -1;
}

void FillNames(QListWidget* list, const std::vector<TNamedFile>& names, int32_t selected) {
  const QSignalBlocker block(list);
  list->clear();
  for (const TNamedFile& entry : names) list->addItem(ToQt(entry.Name));
  list->setCurrentRow(selected);
}

void ShowLines(QPlainTextEdit* text, const std::vector<std::string>& lines) {
  const QSignalBlocker block(text);
  text->setPlainText(LinesToQt(lines));
}

void SetChecked(QAbstractButton* button, bool checked) {
  const QSignalBlocker block(button);
  button->setChecked(checked);
}

QLineEdit* Edit(const QString& name) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  return edit;
}

QCheckBox* Check(const QString& name, const QString& caption) {
  auto* check = new QCheckBox(caption);
  check->setObjectName(name);
  return check;
}

QPushButton* Button(const QString& name, const QString& caption) {
  auto* button = new QPushButton(caption);
  button->setObjectName(name);
  return button;
}

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  for (QPushButton* b : buttons) row->addWidget(b);
  row->addStretch();
  return row;
}

// Event and Action cells of a rule row: the code's caption followed by its parameter.
QStringList RuleCells(const MailRule& rule) {
  return {ToQt(std::string(FilterCaption(rule.FilterType)) + rule.FilterParam),
          ToQt(std::string(ActionCaption(rule.ActionType)) + rule.ActionParam)};
}

}  // namespace

OptionsDialog::OptionsDialog(QWidget* parent, TfrmMain& main, TfrmRule& rule)
    : QDialog(parent),
      options_(main.frmOptions),
      rule_(rule),
      desktop_(main.desktop),
      schedule_(options_),
      accounts_(options_, schedule_,
                [this](const std::string& text, const std::string& caption) {
                  desktop_.MessageBox(text, caption, Desktop::mbOK, Desktop::iconError);
                }),
      connection_(
          options_,
          [this](const std::string& title, const std::string& filter, std::string& file) {
            return desktop_.OpenDialog(title, filter, file);
          }),
      lists_(
          options_,
          ListsPageUi{
              // Deleting a rule asks Yes/No; deleting a template or check list OK/Cancel.
              [this](const std::string& title, const std::string& text) {
                const bool rule = title == "Confirm";
                const int buttons =
                    rule ? Desktop::mbYes | Desktop::mbNo : Desktop::mbOK | Desktop::mbCancel;
                const Desktop::Result r =
                    desktop_.MessageBox(text, title, buttons, Desktop::iconQuestion);
                return r == (rule ? Desktop::mrYes : Desktop::mrOK);
              },
              [this](const std::string& title, const std::string& prompt, std::string& answer) {
                return desktop_.InputBox(title, prompt, answer);
              },
              [this](const std::string& text) { desktop_.ShowError(text); },
              [&rule] { rule.reloadCmbAction(); },
              [&rule] { rule.reloadCmbFilter(); },
          }),
      book_(options_, BookPageUi{
                         [this](const std::string& text) {
                           desktop_.MessageBox(text, "Error", Desktop::mbOK, Desktop::iconError);
                         },
                         [this](BookField field) {
                           QLineEdit* edit = field == BookField::Name      ? edtNameBook_
                                             : field == BookField::Address ? edtAddressBook_
                                                                           : edtCommentBook_;
                           edit->setFocus();
                         },
                         [this](const std::string& recipient) { ComposeToRecipient(recipient); },
                     }),
      learn_(main) {
  setObjectName("frmOptions");
  setWindowTitle("Preferences");
  setModal(true);

  accounts_.OnAccountDeleting = [this](MailboxAccount& account) {
    if (OnAccountDeleting) OnAccountDeleting(account);
  };
  schedule_.OnSelectAddress = [this](int32_t index) { accounts_.lsvAddressChange(index); };
  ruleDialog_ = new RuleDialog(rule_, desktop_, this);

  auto* pgcOptions = new QTabWidget;
  pgcOptions->setObjectName("pgcOptions");
  // A literal '&' in a tab title is written "&&".
  pgcOptions->addTab(BuildAccountsPage(), " Mail Boxes");
  pgcOptions->addTab(BuildRulesPage(), " Mail Check Rules");
  pgcOptions->addTab(BuildTemplatesPage(), " Templates");
  pgcOptions->addTab(BuildCheckListsPage(), " Check Lists");
  pgcOptions->addTab(BuildBookPage(), " Address Book");
  pgcOptions->addTab(BuildConnectionPage(), " Connection && Alarms");
  pgcOptions->addTab(BuildLearningPage(), " Learning");

  auto* btnOK = Button("btnOK", "OK");
  btnOK->setDefault(true);
  auto* btnCancel = Button("btnCancel", "&Cancel");
  connect(btnOK, &QPushButton::clicked, this, &OptionsDialog::btnOKClick);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pgcOptions);
  layout->addLayout(buttons);
  resize(800, 540);

  // What the loaded values call for.
  schedule_.radCheckFreqClick();
  schedule_.tbaFreqChange();
  connection_.AfterLoad();
  Render();
}

OptionsDialog::~OptionsDialog() = default;

void OptionsDialog::showEvent(QShowEvent* event) {
  Render();
  QDialog::showEvent(event);
}

void OptionsDialog::Render() {
  RenderAccounts();
  RenderRules();
  RenderTemplates();
  RenderCheckLists();
  RenderBook();
  RenderConnection();
  RenderLearning();
}

// ---- " Mail Boxes" ----

QWidget* OptionsDialog::BuildAccountsPage() {
  auto* page = new QWidget;
  page->setObjectName("tsMailBoxes");
  lsvAddress_ =
      ReportView("lsvAddress",
                 {{"Address", 150}, {"Account", 100}, {"POP3 Server", 120}, {"SMTP Server", 120}});
  connect(lsvAddress_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { SelectAddress(RowOf(lsvAddress_, item)); });

  struct Field {
    QLineEdit*& edit;
    const char* name;
    const char* label;
    std::string& value;
  };
  auto* fields = new QFormLayout;
  for (const Field& f :
       {Field{edtMailAddress_, "edtMailAddress", "E-Mail Address : ", accounts_.edtMailAddress},
        Field{edtMailAccount_, "edtMailAccount", "E-Mail Account : ", accounts_.edtMailAccount},
        Field{edtMailPassword_, "edtMailPassword", "Password : ", accounts_.edtMailPassword},
        Field{edtMailPOP3_, "edtMailPOP3", "POP3 Server : ", accounts_.edtMailPOP3},
        Field{edtMailSMTP_, "edtMailSMTP", "SMTP Server : ", accounts_.edtMailSMTP},
        Field{edtMailTimeOut_, "edtMailTimeOut", "Timeout:", accounts_.edtMailTimeOut}}) {
    f.edit = Edit(f.name);
    std::string* value = &f.value;
    connect(f.edit, &QLineEdit::textEdited, this,
            [value](const QString& text) { *value = FromQt(text); });
    // Each server's field carries its security drop-down.
    QComboBox** security = f.edit == edtMailPOP3_   ? &cmbMailSecurity_
                           : f.edit == edtMailSMTP_ ? &cmbSMTPSecurity_
                                                    : nullptr;
    if (!security) {
      fields->addRow(f.label, f.edit);
      continue;
    }
    *security = new QComboBox;
    (*security)->setObjectName(security == &cmbMailSecurity_ ? "cmbMailSecurity"
                                                             : "cmbSMTPSecurity");
    (*security)->setToolTip("How the connection is secured");
    for (const char* name : kSecurityNames) (*security)->addItem(name);
    int32_t* chosen =
        security == &cmbMailSecurity_ ? &accounts_.cmbMailSecurity : &accounts_.cmbSMTPSecurity;
    connect(*security, QOverload<int>::of(&QComboBox::activated), this,
            [chosen](int index) { *chosen = index; });
    auto* row = new QHBoxLayout;
    row->addWidget(f.edit, 1);
    row->addWidget(*security);
    fields->addRow(f.label, row);
  }
  // SMTP authentication, with its own user and password or, left empty, the POP3 account's.
  chkSMTPAuth_ = Check("chkSMTPAuth", "Log in");
  connect(chkSMTPAuth_, &QCheckBox::clicked, this,
          [this](bool checked) { accounts_.chkSMTPAuth = checked; });
  edtSMTPUser_ = Edit("edtSMTPUser");
  edtSMTPUser_->setPlaceholderText("user (the POP3 account)");
  connect(edtSMTPUser_, &QLineEdit::textEdited, this,
          [this](const QString& text) { accounts_.edtSMTPUser = FromQt(text); });
  edtSMTPPassword_ = Edit("edtSMTPPassword");
  edtSMTPPassword_->setPlaceholderText("password (the POP3 one)");
  edtSMTPPassword_->setEchoMode(QLineEdit::Password);
  connect(edtSMTPPassword_, &QLineEdit::textEdited, this,
          [this](const QString& text) { accounts_.edtSMTPPassword = FromQt(text); });
  auto* login = new QHBoxLayout;
  login->addWidget(chkSMTPAuth_);
  login->addWidget(edtSMTPUser_, 1);
  login->addWidget(edtSMTPPassword_, 1);
  fields->insertRow(fields->rowCount() - 1, "SMTP Login : ", login);
  edtTokenCommand_ = Edit("edtTokenCommand");
  edtTokenCommand_->setPlaceholderText("OAuth 2.0 only: a command that prints the access token");
  edtTokenCommand_->setToolTip(
      "For providers that take no password (Microsoft, Google): a helper such as oama or "
      "mutt_oauth2.py prints a fresh access token, which both servers get instead of the "
      "password. Leave it empty to log in with the password.");
  connect(edtTokenCommand_, &QLineEdit::textEdited, this,
          [this](const QString& text) { accounts_.edtTokenCommand = FromQt(text); });
  fields->insertRow(fields->rowCount() - 1, "Token command:", edtTokenCommand_);
  edtMailPassword_->setEchoMode(QLineEdit::Password);
  chkIsDefault_ = Check("chkIsDefault", "Default address");
  connect(chkIsDefault_, &QCheckBox::clicked, this,
          [this](bool checked) { accounts_.chkIsDefault = checked; });
  fields->addRow("", chkIsDefault_);
  chkPipelining_ = Check("chkPipelining", "Pipeline commands when the server allows it");
  chkPipelining_->setToolTip("Ask for the headers of many messages at once when the POP3 server "
                             "announces PIPELINING");
  connect(chkPipelining_, &QCheckBox::clicked, this,
          [this](bool checked) { accounts_.chkPipelining = checked; });
  fields->addRow("", chkPipelining_);
  chkPlainPassword_ = Check("chkPlainPassword", kAllowPasswordInClear);
  chkPlainPassword_->setToolTip("Send the password even when the connection is not encrypted and "
                                "the server is on another machine: anyone on the way can read it");
  connect(chkPlainPassword_, &QCheckBox::clicked, this,
          [this](bool checked) { accounts_.chkPlainPassword = checked; });
  fields->addRow("", chkPlainPassword_);

  auto* btnAddAddress = Button("btnAddAddress", "Add");
  auto* btnUpdateAddress = Button("btnUpdateAddress", "Update");
  auto* btnDeleteAddress = Button("btnDeleteAddress", "Delete");
  auto* btnClear = Button("btnClear", "Clear");
  auto* btnTest = Button("btnTestConnection", "&Test connection");
  auto* lstTestResults = new QListWidget;
  lstTestResults->setObjectName("lstTestResults");
  lstTestResults->setMaximumHeight(90);
  lstTestResults->setWordWrap(true);  // a failure's reason is read whole, not scrolled to
  lstTestResults->hide();
  connect(btnTest, &QPushButton::clicked, this, [this, btnTest, lstTestResults] {
    RunConnectionTest(btnTest, lstTestResults,
                      [this](MailboxAccount& account) { return accounts_.FillAccount(account); });
  });
  // A refused Add or Update puts the focus on the field the page named.
  auto focusRefused = [this] {
    if (QWidget* w = findChild<QWidget*>(QString::fromStdString(accounts_.Focused))) w->setFocus();
  };
  connect(btnAddAddress, &QPushButton::clicked, this, [this, focusRefused] {
    if (!accounts_.btnAddAddressClick()) focusRefused();
    RenderAccounts();
  });
  connect(btnUpdateAddress, &QPushButton::clicked, this, [this, focusRefused] {
    if (!accounts_.btnUpdateAddressClick()) focusRefused();
    RenderAccounts();
  });
  connect(btnDeleteAddress, &QPushButton::clicked, this, &OptionsDialog::btnDeleteAddressClick);
  connect(btnClear, &QPushButton::clicked, this, [this] {
    accounts_.btnClearClick();
    RenderAccounts();
  });

  // The check schedule of the selected mailbox, or of all mailboxes when checked together.
  chkCheckOnStartup_ = Check("chkCheckOnStartup", "Check at Startup");
  connect(chkCheckOnStartup_, &QCheckBox::clicked, this,
          [this](bool checked) { options_.chkCheckOnStartup = checked; });
  radCheckManual_ = new QRadioButton("Check Manually");
  radCheckManual_->setObjectName("radCheckManual");
  radCheckFreq_ = new QRadioButton("Check Every :");
  radCheckFreq_->setObjectName("radCheckFreq");
  for (QRadioButton* r : {radCheckManual_, radCheckFreq_})
    connect(r, &QRadioButton::clicked, this, [this] {
      options_.radCheckManual = radCheckManual_->isChecked();
      schedule_.radCheckFreqClick();
      RenderSchedule();
    });
  tbaFreq_ = new QSlider(Qt::Horizontal);
  tbaFreq_->setObjectName("tbaFreq");
  tbaFreq_->setRange(1, 60);
  tbaFreq_->setSingleStep(1);
  connect(tbaFreq_, &QSlider::valueChanged, this, [this](int value) {
    options_.tbaFreq = value;
    schedule_.tbaFreqChange();
    RenderSchedule();
  });
  cmbFreq_ = new QComboBox;
  cmbFreq_->setObjectName("cmbFreq");
  connect(cmbFreq_, &QComboBox::currentIndexChanged, this, [this](int index) {
    options_.cmbFreq.Select(index);
    schedule_.cmbFreqChange();
    RenderSchedule();
  });
  lblFreq_ = new QLabel;
  lblFreq_->setObjectName("lblFreq");
  lblFreq_->setMinimumWidth(80);
  chkCheckTogether_ = Check("chkCheckTogether", "Check all mailboxes together");
  connect(chkCheckTogether_, &QCheckBox::clicked, this, [this](bool checked) {
    options_.chkCheckTogether = checked;
    schedule_.chkCheckTogetherClick();
    RenderAccounts();
  });
  edtUserName_ = Edit("edtUserName");
  connect(edtUserName_, &QLineEdit::textEdited, this,
          [this](const QString& text) { options_.edtUserName = FromQt(text); });

  auto* freq = new QHBoxLayout;
  freq->addWidget(radCheckFreq_);
  freq->addWidget(tbaFreq_, 1);
  freq->addWidget(cmbFreq_);
  freq->addWidget(lblFreq_);
  auto* userName = new QFormLayout;
  userName->addRow("Name to Use :", edtUserName_);

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(lsvAddress_, 1);
  layout->addLayout(fields);
  layout->addLayout(
      ButtonRow({btnAddAddress, btnUpdateAddress, btnDeleteAddress, btnClear, btnTest}));
  layout->addWidget(lstTestResults);
  layout->addWidget(chkCheckTogether_);
  layout->addWidget(chkCheckOnStartup_);
  layout->addWidget(radCheckManual_);
  layout->addLayout(freq);
  layout->addLayout(userName);
  return page;
}

void OptionsDialog::SelectAddress(int index) {
  accounts_.lsvAddressChange(index);
  RenderAccounts();
}

void OptionsDialog::btnDeleteAddressClick() {
  // The running check holds the mailbox's client.
  if (IsBusy && IsBusy() && accounts_.Selected >= 0) {
    desktop_.MessageBox("A mail check is running. Delete the mailbox when it has ended.", "Error",
                        Desktop::mbOK, Desktop::iconError);
    return;
  }
  accounts_.btnDeleteAddressClick();
  RenderAccounts();
}

void OptionsDialog::RenderAccounts() {
  std::vector<QStringList> rows;
  for (const auto& a : options_.lsvAddress)
    rows.push_back({ToQt(a->Address), ToQt(a->Account), ToQt(a->POP3Server), ToQt(a->SMTPServer)});
  FillRows(lsvAddress_, rows, accounts_.Selected);
  edtMailAddress_->setText(ToQt(accounts_.edtMailAddress));
  edtMailAccount_->setText(ToQt(accounts_.edtMailAccount));
  edtMailPassword_->setText(ToQt(accounts_.edtMailPassword));
  edtMailPOP3_->setText(ToQt(accounts_.edtMailPOP3));
  edtMailSMTP_->setText(ToQt(accounts_.edtMailSMTP));
  edtMailTimeOut_->setText(ToQt(accounts_.edtMailTimeOut));
  SetChecked(chkIsDefault_, accounts_.chkIsDefault);
  cmbMailSecurity_->setCurrentIndex(accounts_.cmbMailSecurity);
  cmbSMTPSecurity_->setCurrentIndex(accounts_.cmbSMTPSecurity);
  SetChecked(chkSMTPAuth_, accounts_.chkSMTPAuth);
  SetChecked(chkPipelining_, accounts_.chkPipelining);
  SetChecked(chkPlainPassword_, accounts_.chkPlainPassword);
  edtSMTPUser_->setText(ToQt(accounts_.edtSMTPUser));
  edtSMTPPassword_->setText(ToQt(accounts_.edtSMTPPassword));
  edtTokenCommand_->setText(ToQt(accounts_.edtTokenCommand));
  SetChecked(chkCheckTogether_, options_.chkCheckTogether);
  edtUserName_->setText(ToQt(options_.edtUserName));
  RenderSchedule();
}

void OptionsDialog::RenderSchedule() {
  SetChecked(chkCheckOnStartup_, options_.chkCheckOnStartup);
  SetChecked(radCheckManual_, options_.radCheckManual);
  SetChecked(radCheckFreq_, options_.radCheckFreq());
  {
    const QSignalBlocker block(cmbFreq_);
    cmbFreq_->clear();
    for (const std::string& item : options_.cmbFreq.Items) cmbFreq_->addItem(ToQt(item));
    cmbFreq_->setCurrentIndex(options_.cmbFreq.ItemIndex);
  }
  {
    const QSignalBlocker block(tbaFreq_);
    tbaFreq_->setValue(options_.tbaFreq);
  }
  lblFreq_->setText(ToQt(schedule_.lblFreq));
  tbaFreq_->setVisible(schedule_.tbaFreqVisible);
  cmbFreq_->setVisible(schedule_.cmbFreqVisible);
  lblFreq_->setVisible(schedule_.lblFreqVisible);
}

// ---- " Mail Check Rules" ----

QWidget* OptionsDialog::BuildRulesPage() {
  auto* page = new QWidget;
  page->setObjectName("tsRules");
  lsvRule_ = ReportView("lsvRule", {{"Event", 270}, {"Action", 230}});
  connect(lsvRule_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { lists_.RuleIndex = RowOf(lsvRule_, item); });
  connect(lsvRule_, &QTreeWidget::itemDoubleClicked, this, [this] { EditRule(false); });
  auto* btnAddRule = Button("btnAddRule", "Add");
  auto* btnUpdateRule = Button("btnUpdateRule", "Update");
  auto* btnDeleteRule = Button("btnDeleteRule", "Delete");
  // Rules run in row order.
  auto* btnMoveRuleUp = Button("btnMoveRuleUp", "Up");
  auto* btnMoveRuleDown = Button("btnMoveRuleDown", "Down");
  connect(btnAddRule, &QPushButton::clicked, this, [this] { EditRule(true); });
  connect(btnUpdateRule, &QPushButton::clicked, this, [this] { EditRule(false); });
  connect(btnDeleteRule, &QPushButton::clicked, this, [this] {
    if (lists_.DeleteRule()) RenderRules();
  });
  connect(btnMoveRuleUp, &QPushButton::clicked, this, [this] {
    if (lists_.MoveRule(-1)) RenderRules();
  });
  connect(btnMoveRuleDown, &QPushButton::clicked, this, [this] {
    if (lists_.MoveRule(1)) RenderRules();
  });
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(lsvRule_, 1);
  layout->addLayout(
      ButtonRow({btnAddRule, btnUpdateRule, btnDeleteRule, btnMoveRuleUp, btnMoveRuleDown}));
  return page;
}

void OptionsDialog::EditRule(bool add) {
  const auto& rules = options_.lsvRule;
  if (!add && (lists_.RuleIndex < 0 || size_t(lists_.RuleIndex) >= rules.size())) return;
  // An empty rule resets the editor for Add.
  MailRule rule = add ? TfrmRule::NewRule() : rules[size_t(lists_.RuleIndex)];
  if (ruleDialog_->Execute(rule) != QDialog::Accepted) return;
  if (add && lists_.AddRule(rule)) lists_.RuleIndex = int32_t(rules.size()) - 1;
  if (!add) lists_.UpdateRule(rule);
  RenderRules();
}

void OptionsDialog::RenderRules() {
  std::vector<QStringList> rows;
  for (const MailRule& rule : options_.lsvRule) rows.push_back(RuleCells(rule));
  FillRows(lsvRule_, rows, lists_.RuleIndex);
}

// ---- " Templates" and " Check Lists" ----

QWidget* OptionsDialog::BuildTemplatesPage() {
  auto* page = new QWidget;
  page->setObjectName("tsTemplates");
  lstTemplate_ = new QListWidget;
  lstTemplate_->setObjectName("lstTemplate");
  memTemplate_ = new QPlainTextEdit;
  memTemplate_->setObjectName("memTemplate");
  memTemplate_->setLineWrapMode(QPlainTextEdit::NoWrap);
  connect(lstTemplate_, &QListWidget::currentRowChanged, this, [this](int row) {
    lists_.SelectTemplate(row);
    ShowLines(memTemplate_, lists_.memTemplate);
  });
  // Only what the user types reaches the page: a file shown unchanged is written back as read.
  connect(memTemplate_, &QPlainTextEdit::textChanged, this,
          [this] { lists_.memTemplate = LinesFromQt(memTemplate_->toPlainText()); });
  auto* btnAdd = Button("btnAddTemplate", "Add");
  auto* btnUpdate = Button("btnUpdateTemplate", "Update");
  auto* btnDelete = Button("btnDeleteTemplate", "Delete");
  connect(btnAdd, &QPushButton::clicked, this, [this] {
    if (lists_.AddTemplate()) RenderTemplates();
  });
  connect(btnUpdate, &QPushButton::clicked, this, [this] { lists_.UpdateTemplate(); });
  connect(btnDelete, &QPushButton::clicked, this, [this] {
    if (lists_.DeleteTemplate()) RenderTemplates();
  });
  auto* layout = new QGridLayout(page);
  layout->addWidget(lstTemplate_, 0, 0);
  layout->addWidget(memTemplate_, 0, 1);
  layout->setColumnStretch(1, 2);
  layout->addLayout(ButtonRow({btnAdd, btnUpdate, btnDelete}), 1, 0, 1, 2);
  return page;
}

void OptionsDialog::RenderTemplates() {
  FillNames(lstTemplate_, options_.lstTemplate, lists_.TemplateIndex);
  ShowLines(memTemplate_, lists_.memTemplate);
}

QWidget* OptionsDialog::BuildCheckListsPage() {
  auto* page = new QWidget;
  page->setObjectName("tsCheckLists");
  lstCList_ = new QListWidget;
  lstCList_->setObjectName("lstCList");
  redCList_ = new QPlainTextEdit;
  redCList_->setObjectName("redCList");
  redCList_->setLineWrapMode(QPlainTextEdit::NoWrap);
  connect(lstCList_, &QListWidget::currentRowChanged, this, [this](int row) {
    lists_.SelectCList(row);
    ShowLines(redCList_, lists_.redCList);
  });
  connect(redCList_, &QPlainTextEdit::textChanged, this,
          [this] { lists_.redCList = LinesFromQt(redCList_->toPlainText()); });
  auto* btnAdd = Button("btnAddCList", "Add");
  auto* btnUpdate = Button("btnUpdateCList", "Update");
  auto* btnDelete = Button("btnDeleteCList", "Delete");
  connect(btnAdd, &QPushButton::clicked, this, [this] {
    if (lists_.AddCList()) RenderCheckLists();
  });
  connect(btnUpdate, &QPushButton::clicked, this, [this] { lists_.UpdateCList(); });
  connect(btnDelete, &QPushButton::clicked, this, [this] {
    if (lists_.DeleteCList()) RenderCheckLists();
  });
  auto* layout = new QGridLayout(page);
  layout->addWidget(lstCList_, 0, 0);
  layout->addWidget(redCList_, 0, 1);
  layout->setColumnStretch(1, 2);
  layout->addLayout(ButtonRow({btnAdd, btnUpdate, btnDelete}), 1, 0, 1, 2);
  return page;
}

void OptionsDialog::RenderCheckLists() {
  FillNames(lstCList_, options_.lstCList, lists_.CListIndex);
  ShowLines(redCList_, lists_.redCList);
}

// ---- " Address Book" ----

QWidget* OptionsDialog::BuildBookPage() {
  auto* page = new QWidget;
  page->setObjectName("tsBook");
  lsvBook_ = ReportView("lsvBook", {{"Name", 140}, {"Address", 160}, {"Comment", 200}});
  lsvBook_->header()->setSectionsClickable(true);
  connect(lsvBook_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    book_.SelectBook(RowOf(lsvBook_, item));
    RenderBook();
  });
  connect(lsvBook_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
    book_.SortByColumn(column);
    RenderBook();
  });
  connect(lsvBook_, &QTreeWidget::itemDoubleClicked, this, [this] { book_.ComposeToSelected(); });

  edtNameBook_ = Edit("edtNameBook");
  edtAddressBook_ = Edit("edtAddressBook");
  edtCommentBook_ = Edit("edtCommentBook");
  for (auto [edit, value] : {std::pair{edtNameBook_, &book_.edtNameBook},
                             std::pair{edtAddressBook_, &book_.edtAddressBook},
                             std::pair{edtCommentBook_, &book_.edtCommentBook}}) {
    std::string* target = value;
    connect(edit, &QLineEdit::textEdited, this,
            [target](const QString& text) { *target = FromQt(text); });
  }
  auto* fields = new QFormLayout;
  fields->addRow("Name: ", edtNameBook_);
  fields->addRow("Address :", edtAddressBook_);
  fields->addRow("Comment: ", edtCommentBook_);

  auto* btnAdd = Button("btnAddBook", "Add");
  auto* btnUpdate = Button("btnUpdateBook", "Update");
  auto* btnDelete = Button("btnDeleteBook", "Delete");
  auto* btnClear = Button("btnClearBook", "Clear");
  connect(btnAdd, &QPushButton::clicked, this, [this] {
    book_.AddBook();
    RenderBook();
  });
  connect(btnUpdate, &QPushButton::clicked, this, [this] {
    book_.UpdateBook();
    RenderBook();
  });
  connect(btnDelete, &QPushButton::clicked, this, [this] {
    book_.DeleteBook();
    RenderBook();
  });
  connect(btnClear, &QPushButton::clicked, this, [this] {
    book_.ClearBook();
    RenderBook();
  });

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(lsvBook_, 1);
  layout->addLayout(fields);
  layout->addLayout(ButtonRow({btnAdd, btnUpdate, btnDelete, btnClear}));
  return page;
}

void OptionsDialog::RenderBook() {
  std::vector<QStringList> rows;
  for (const TBookRow& row : options_.lsvBook)
    rows.push_back({ToQt(row.Name), ToQt(row.Address), ToQt(row.Comment)});
  FillRows(lsvBook_, rows, book_.BookIndex);
  edtNameBook_->setText(ToQt(book_.edtNameBook));
  edtAddressBook_->setText(ToQt(book_.edtAddressBook));
  edtCommentBook_->setText(ToQt(book_.edtCommentBook));
}

void OptionsDialog::ComposeToRecipient(const std::string& recipient) {
  // The window closes as Cancel closes it, before the compose window shows.
  reject();
  if (ComposeTo) ComposeTo(recipient);
}

// ---- " Connection && Alarms" ----

QWidget* OptionsDialog::BuildConnectionPage() {
  auto* page = new QWidget;
  page->setObjectName("tsConnection");

  radDirectConnection_ = new QRadioButton("&Direct Connection (LAN)");
  radDirectConnection_->setObjectName("radDirectConnection");
  radDialUp_ = new QRadioButton("Dial-&Up Connection");
  radDialUp_->setObjectName("radDialUp");
  for (QRadioButton* r : {radDirectConnection_, radDialUp_})
    connect(r, &QRadioButton::clicked, this, [this] {
      options_.radDirectConnection = radDirectConnection_->isChecked();
      connection_.radDirectConnectionClick();
      RenderConnection();
    });
  chkAutoDial_ = Check("chkAutoDial", "if not connected auto-dial :");
  connect(chkAutoDial_, &QCheckBox::clicked, this, [this](bool checked) {
    options_.chkAutoDial = checked;
    connection_.chkAutoDialClick();
    RenderConnection();
  });
  cmbRas_ = new QComboBox;
  cmbRas_->setObjectName("cmbRas");
  connect(cmbRas_, &QComboBox::currentIndexChanged, this, [this](int index) {
    connection_.cmbRasChange(index);
    RenderConnection();
  });
  edtRASPassword_ = Edit("edtRASPassword");
  edtRASPassword_->setEchoMode(QLineEdit::Password);
  edtRASPassword_->setToolTip("Password of the selected dial-up entry");
  connect(edtRASPassword_, &QLineEdit::textEdited, this,
          [this](const QString& text) { options_.edtRASPassword = FromQt(text); });
  chkBlocking_ = Check("chkBlocking", "Synchronous Socket");
  connect(chkBlocking_, &QCheckBox::clicked, this,
          [this](bool checked) { options_.chkBlocking = checked; });
  chkNoDeleteConfirm_ =
      Check("chkNoDeleteConfirm", "Do not ask again before deleting messages on the server");
  connect(chkNoDeleteConfirm_, &QCheckBox::clicked, this,
          [this](bool checked) { options_.chkNoDeleteConfirm = checked; });

  edtMaxMessageSize_ = new QSpinBox;
  edtMaxMessageSize_->setObjectName("edtMaxMessageSize");
  edtMaxMessageSize_->setRange(1, 1048576);
  edtMaxMessageSize_->setSuffix(" MB");
  edtMaxMessageSize_->setToolTip("A larger message is not retrieved and stays on the server");
  connect(edtMaxMessageSize_, &QSpinBox::valueChanged, this,
          [this](int value) { options_.edtMaxMessageSize = value; });

  auto* connectionGroup = new QGroupBox(" Connection Rules");
  connectionGroup->setObjectName("grpConnection");
  auto* dial = new QHBoxLayout;
  dial->addWidget(chkAutoDial_);
  dial->addWidget(cmbRas_, 1);
  dial->addWidget(edtRASPassword_, 1);
  auto* c = new QVBoxLayout(connectionGroup);
  c->addWidget(radDirectConnection_);
  c->addWidget(radDialUp_);
  c->addLayout(dial);
  c->addWidget(chkBlocking_);
  c->addWidget(chkNoDeleteConfirm_);
  auto* largest = new QHBoxLayout;
  largest->addWidget(new QLabel("Largest message to retrieve:"));
  largest->addWidget(edtMaxMessageSize_);
  largest->addStretch(1);
  c->addLayout(largest);

  // One alarm group: pop-up, sound with its file and loop.
  struct Alarm {
    bool urgent;
    QCheckBox*& popUp;
    QCheckBox*& play;
    QCheckBox*& loop;
    QLineEdit*& sound;
    QPushButton*& choose;
  };
  auto buildAlarm = [this](const Alarm& a) {
    const QString kind = a.urgent ? "Urgent" : "New";
    bool& popUp = a.urgent ? options_.chkUrgentPopUp : options_.chkNewPopUp;
    bool& play = a.urgent ? options_.chkUrgentPlay : options_.chkNewPlay;
    bool& loop = a.urgent ? options_.chkUrgentPlayLoop : options_.chkNewPlayLoop;
    std::string& sound = a.urgent ? options_.edtUrgentSound : options_.edtNewSound;
    a.popUp = Check("chk" + kind + "PopUp", "Pop Up Window");
    a.play = Check("chk" + kind + "Play", "Play WAV");
    a.loop = Check("chk" + kind + "PlayLoop", "Loop");
    a.sound = Edit("edt" + kind + "Sound");
    a.choose = Button("btn" + kind + "Sound", "X");
    a.choose->setFixedWidth(28);
    connect(a.popUp, &QCheckBox::clicked, this, [&popUp](bool checked) { popUp = checked; });
    connect(a.play, &QCheckBox::clicked, this, [this, &play, urgent = a.urgent](bool checked) {
      play = checked;
      urgent ? connection_.chkUrgentPlayClick() : connection_.chkNewPlayClick();
      RenderConnection();
    });
    connect(a.loop, &QCheckBox::clicked, this, [&loop](bool checked) { loop = checked; });
    connect(a.sound, &QLineEdit::textEdited, this,
            [&sound](const QString& text) { sound = FromQt(text); });
    connect(a.choose, &QPushButton::clicked, this, [this, urgent = a.urgent] {
      connection_.btnNewSoundClick(urgent);
      RenderConnection();
    });
    auto* group = new QGroupBox(a.urgent ? " On Urgent Messages" : " On New Messages");
    group->setObjectName("grp" + kind + "Alarm");
    auto* file = new QHBoxLayout;
    file->addWidget(a.sound, 1);
    file->addWidget(a.choose);
    auto* g = new QVBoxLayout(group);
    g->addWidget(a.popUp);
    g->addWidget(a.play);
    g->addLayout(file);
    g->addWidget(a.loop);
    return group;
  };
  auto* alarmGroup = new QGroupBox(" Alarm Rules");
  alarmGroup->setObjectName("grpAlarm");
  // How the pop-up alarms: a passing desktop notification, or the modal box.
  radAlarmNotify_ = new QRadioButton("as a &notification");
  radAlarmNotify_->setObjectName("radAlarmNotify");
  radAlarmDialog_ = new QRadioButton("as a dialog &box");
  radAlarmDialog_->setObjectName("radAlarmDialog");
  for (QRadioButton* r : {radAlarmNotify_, radAlarmDialog_})
    connect(r, &QRadioButton::clicked, this,
            [this] { options_.radAlarmDialog = radAlarmDialog_->isChecked(); });
  auto* style = new QHBoxLayout;
  style->addWidget(new QLabel("Alarm the user"));
  style->addWidget(radAlarmNotify_);
  style->addWidget(radAlarmDialog_);
  style->addStretch();
  auto* kinds = new QHBoxLayout;
  kinds->addWidget(
      buildAlarm({false, chkNewPopUp_, chkNewPlay_, chkNewPlayLoop_, edtNewSound_, btnNewSound_}));
  kinds->addWidget(buildAlarm({true, chkUrgentPopUp_, chkUrgentPlay_, chkUrgentPlayLoop_,
                               edtUrgentSound_, btnUrgentSound_}));
  auto* alarms = new QVBoxLayout(alarmGroup);
  alarms->addLayout(style);
  alarms->addLayout(kinds);

  // Autostart takes effect at once: the box shows whether the login entry exists.
  auto* autostart = Check("chkAutostart", "Start Norva when I log in");
  autostart->setChecked(autostart::IsEnabled());
  connect(autostart, &QCheckBox::clicked, this, [this, autostart](bool checked) {
    try {
      const char* folder = std::getenv("NORVA_FOLDER");
      checked ? autostart::Enable(autostart::RunningExecutable(),
                                  folder && *folder ? ProgramFolder() : std::string())
              : autostart::Disable();
    } catch (const std::exception& e) {
      QMessageBox::warning(this, "Norva", ToQt(e.what()));
    }
    autostart->setChecked(autostart::IsEnabled());
  });

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(connectionGroup);
  layout->addWidget(alarmGroup);
  layout->addWidget(autostart);
  layout->addStretch();
  return page;
}

void OptionsDialog::RenderConnection() {
  SetChecked(radDirectConnection_, options_.radDirectConnection);
  SetChecked(radDialUp_, options_.radDialUp());
  SetChecked(chkAutoDial_, options_.chkAutoDial);
  SetChecked(chkNoDeleteConfirm_, options_.chkNoDeleteConfirm);
  {
    const QSignalBlocker block(cmbRas_);
    cmbRas_->clear();
    for (const std::string& entry : options_.cmbRas.Items) cmbRas_->addItem(ToQt(entry));
    cmbRas_->setCurrentIndex(options_.cmbRas.ItemIndex);
  }
  edtRASPassword_->setText(ToQt(options_.edtRASPassword));
  SetChecked(chkBlocking_, options_.chkBlocking);
  {
    const QSignalBlocker block(edtMaxMessageSize_);
    edtMaxMessageSize_->setValue(options_.edtMaxMessageSize);
  }
  chkAutoDial_->setVisible(connection_.chkAutoDialVisible);
  cmbRas_->setVisible(connection_.cmbRasVisible);
  edtRASPassword_->setVisible(connection_.edtRASPasswordVisible);

  SetChecked(radAlarmNotify_, !options_.radAlarmDialog);
  SetChecked(radAlarmDialog_, options_.radAlarmDialog);
  SetChecked(chkNewPopUp_, options_.chkNewPopUp);
  SetChecked(chkNewPlay_, options_.chkNewPlay);
  SetChecked(chkNewPlayLoop_, options_.chkNewPlayLoop);
  edtNewSound_->setText(ToQt(options_.edtNewSound));
  SetChecked(chkUrgentPopUp_, options_.chkUrgentPopUp);
  SetChecked(chkUrgentPlay_, options_.chkUrgentPlay);
  SetChecked(chkUrgentPlayLoop_, options_.chkUrgentPlayLoop);
  edtUrgentSound_->setText(ToQt(options_.edtUrgentSound));
  edtNewSound_->setVisible(connection_.edtNewSoundVisible);
  btnNewSound_->setVisible(connection_.btnNewSoundVisible);
  chkNewPlayLoop_->setVisible(connection_.chkNewPlayLoopVisible);
  edtUrgentSound_->setVisible(connection_.edtUrgentSoundVisible);
  btnUrgentSound_->setVisible(connection_.btnUrgentSoundVisible);
  chkUrgentPlayLoop_->setVisible(connection_.chkUrgentPlayLoopVisible);
}

// ---- " Learning" ----

QWidget* OptionsDialog::BuildLearningPage() {
  auto* page = new QWidget;
  page->setObjectName("tsLearning");
  chkLearn_ = Check("chkLearn", "Learn from my marks (spam and safe)");
  chkLearn_->setToolTip(
      "Marking messages as spam or safe, and the quick rules, teach the spam "
      "learner what your spam looks like");
  connect(chkLearn_, &QCheckBox::clicked, this,
          [this](bool checked) { options_.chkLearn = checked; });
  lblLearned_ = new QLabel;
  lblLearned_->setObjectName("lblLearned");
  lblLearned_->setTextFormat(Qt::PlainText);

  // Each import button offers the two kinds of source: a folder, or one file.
  auto importButton = [this](const char* name, const char* caption, TLearner::TMark mark) {
    auto* button = Button(name, caption);
    auto* menu = new QMenu(button);
    const QString kind = mark == TLearner::TMark::Spam ? "Spam" : "Safe";
    QAction* folder = menu->addAction("A &folder of messages (.eml files)...", this,
                                      [this, mark] { learn_.btnImportClick(mark, true); });
    folder->setObjectName("actImport" + kind + "Folder");
    QAction* file = menu->addAction("An &mbox file or a Norva archive (.TMA)...", this,
                                    [this, mark] { learn_.btnImportClick(mark, false); });
    file->setObjectName("actImport" + kind + "File");
    button->setMenu(menu);
    return button;
  };
  btnImportSpam_ = importButton("btnImportSpam", "Import as spam...", TLearner::TMark::Spam);
  btnImportSafe_ = importButton("btnImportSafe", "Import as safe...", TLearner::TMark::Safe);
  lblLearnProgress_ = new QLabel;
  lblLearnProgress_->setObjectName("lblLearnProgress");
  lblLearnProgress_->setTextFormat(Qt::PlainText);
  btnStopImport_ = Button("btnStopImport", "Stop");
  connect(btnStopImport_, &QPushButton::clicked, this, [this] { learn_.btnStopClick(); });
  btnResetLearner_ = Button("btnResetLearner", "Reset...");
  btnResetLearner_->setToolTip("Forget everything the spam learner has learned");
  connect(btnResetLearner_, &QPushButton::clicked, this, [this] { learn_.btnResetClick(); });
  learn_.OnChanged = [this] { RenderLearning(); };

  auto* importGroup = new QGroupBox(" Import");
  importGroup->setObjectName("grpImport");
  auto* about = new QLabel(
      "Teach it from messages you keep: a folder of .eml files, an mbox file or a Norva "
      "archive. Only their headers are read.");
  about->setWordWrap(true);
  auto* progress = new QHBoxLayout;
  progress->addWidget(lblLearnProgress_, 1);
  progress->addWidget(btnStopImport_);
  auto* i = new QVBoxLayout(importGroup);
  i->addWidget(about);
  i->addLayout(ButtonRow({btnImportSpam_, btnImportSafe_}));
  i->addLayout(progress);

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(chkLearn_);
  layout->addWidget(lblLearned_);
  layout->addWidget(importGroup);
  layout->addLayout(ButtonRow({btnResetLearner_}));
  layout->addStretch();
  return page;
}

void OptionsDialog::RenderLearning() {
  SetChecked(chkLearn_, options_.chkLearn);
  lblLearned_->setText(ToQt(learn_.lblLearned()));
  const bool importing = learn_.Importing();
  lblLearnProgress_->setText(ToQt(learn_.lblProgress));
  lblLearnProgress_->setVisible(importing);
  btnStopImport_->setVisible(importing);
  for (QPushButton* button : {btnImportSpam_, btnImportSafe_, btnResetLearner_})
    button->setEnabled(!importing);
}

// ---- OK ----

void OptionsDialog::btnOKClick() {
  try {
    accounts_.Save();
  } catch (const std::exception& e) {
    // Nothing was confirmed: the window stays open with the edits.
    desktop_.ShowError(e.what());
    return;
  }
  // Saved, but a password the keyring refused stays in the file: the user is told.
  std::string refused;
  for (const std::string& warning : options_.SaveWarnings) refused += warning + "\n";
  if (!refused.empty())
    desktop_.MessageBox(refused, "Preferences", Desktop::mbOK, Desktop::iconWarning);
  accept();
}

}  // namespace norva::ui
