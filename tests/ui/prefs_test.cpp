// The preferences and rule dialogs driven through their widgets: mailbox validation, rules made
// in the rule editor, which parameter widgets show, and what OK and Cancel leave in Config.QDB.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <fstream>

#include "support/FakeDesktop.h"
#include "support/TempDir.h"
#include "ui/OptionsDialog.h"
#include "ui/RuleDialog.h"

namespace norva::ui {
namespace {

using norva::testing::FakeDesktop;
using norva::testing::ReadFile;
using norva::testing::TempDir;

template <class T>
T* Find(const QObject& parent, const char* name) {
  T* child = parent.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

// Replaces the field's text as typing does.
void Type(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}

class PrefsTest : public ::testing::Test {
 protected:
  PrefsTest() {
    options.Load();
    dialog.show();
  }
  template <class T>
  T* W(const char* name) {
    return Find<T>(dialog, name);
  }
  void Click(const char* name) { W<QPushButton>(name)->click(); }
  // Runs `drive` on the rule editor once it is open.
  void WhenRuleEditorOpens(std::function<void(RuleDialog&)> drive) {
    QTimer::singleShot(0, &dialog, [this, drive] { drive(*dialog.ruleDialog()); });
  }

  TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmRule rule{options};
  TfrmMain main{desktop, options};
  OptionsDialog dialog{nullptr, main, rule};
};

TEST_F(PrefsTest, MailboxesAreCheckedAddedAndDeleted) {
  Type(W<QLineEdit>("edtMailAddress"), "me@example.org");
  Type(W<QLineEdit>("edtMailAccount"), "me");
  Type(W<QLineEdit>("edtMailPOP3"), "pop.example.org");
  Type(W<QLineEdit>("edtMailTimeOut"), "1O");
  Click("btnAddAddress");
  ASSERT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_EQ(desktop.Boxes[0].text,
            "Please insert the timeout as a whole number of seconds, 1 or more.");
  EXPECT_TRUE(options.lsvAddress.empty());
  EXPECT_EQ(W<QTreeWidget>("lsvAddress")->topLevelItemCount(), 0);
  EXPECT_EQ(W<QLineEdit>("edtMailAddress")->text(), "me@example.org");  // kept for correcting

  Type(W<QLineEdit>("edtMailTimeOut"), "30");
  Click("btnAddAddress");
  auto* list = W<QTreeWidget>("lsvAddress");
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "me@example.org");
  EXPECT_EQ(list->topLevelItem(0)->text(2), "pop.example.org");
  ASSERT_EQ(options.lsvAddress.size(), 1u);
  EXPECT_EQ(options.lsvAddress[0]->TimeOut, 30);
  EXPECT_EQ(W<QLineEdit>("edtMailAddress")->text(), "");

  list->setCurrentItem(list->topLevelItem(0));
  EXPECT_EQ(W<QLineEdit>("edtMailAccount")->text(), "me");

  // No deleting a client under a running check; afterwards the main window hears first.
  dialog.IsBusy = [] { return true; };
  Click("btnDeleteAddress");
  EXPECT_EQ(options.lsvAddress.size(), 1u);
  dialog.IsBusy = nullptr;
  const TmsRemotePOP* forgotten = nullptr;
  dialog.OnAccountDeleting = [&](MailboxAccount& a) { forgotten = a.Client.get(); };
  const TmsRemotePOP* client = options.lsvAddress[0]->Client.get();
  Click("btnDeleteAddress");
  EXPECT_EQ(forgotten, client);
  EXPECT_TRUE(options.lsvAddress.empty());
  EXPECT_EQ(list->topLevelItemCount(), 0);
}

TEST_F(PrefsTest, RulesAreMadeInTheRuleEditorWithTheCurrentCheckLists) {
  desktop.InputAnswers = {"Safe List"};
  Click("btnAddCList");
  ASSERT_EQ(W<QListWidget>("lstCList")->count(), 1);

  std::vector<std::string> offered;
  WhenRuleEditorOpens([&](RuleDialog& editor) {
    Find<QListWidget>(editor, "lstFilter")->setCurrentRow(14);
    auto* combo = Find<QComboBox>(editor, "cmbFilter");
    for (int i = 0; i < combo->count(); ++i) offered.push_back(combo->itemText(i).toStdString());
    Find<QListWidget>(editor, "lstAction")->setCurrentRow(1);
    Find<QPushButton>(editor, "btnOK")->click();
  });
  Click("btnAddRule");
  EXPECT_EQ(offered, std::vector<std::string>{"Safe List"});
  auto* rules = W<QTreeWidget>("lsvRule");
  ASSERT_EQ(rules->topLevelItemCount(), 1);
  EXPECT_EQ(rules->topLevelItem(0)->text(0),
            "\"From:\" address is present in Check List: Safe List");
  EXPECT_EQ(rules->topLevelItem(0)->text(1), "Mark message as spam ");
  EXPECT_EQ(options.lsvRule, (std::vector<MailRule>{{14, "Safe List", 1, ""}}));

  // A number filter with text is refused inside the editor, which stays open; Escape cancels
  // and the list is unchanged.
  bool stayedOpen = false;
  WhenRuleEditorOpens([&](RuleDialog& editor) {
    Find<QListWidget>(editor, "lstFilter")->setCurrentRow(12);
    Type(Find<QLineEdit>(editor, "edtFilter"), "big");
    Find<QPushButton>(editor, "btnOK")->click();
    stayedOpen = editor.isVisible();
    QTest::keyClick(&editor, Qt::Key_Escape);
  });
  Click("btnAddRule");
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(desktop.Errors.size(), 1u);
  EXPECT_EQ(options.lsvRule.size(), 1u);

  // Update loads the selected rule into the editor.
  rules->setCurrentItem(rules->topLevelItem(0));
  int loadedFilter = -1;
  WhenRuleEditorOpens([&](RuleDialog& editor) {
    loadedFilter = Find<QListWidget>(editor, "lstFilter")->currentRow();
    Find<QListWidget>(editor, "lstAction")->setCurrentRow(3);
    Find<QPushButton>(editor, "btnOK")->click();
  });
  Click("btnUpdateRule");
  EXPECT_EQ(loadedFilter, 14);
  EXPECT_EQ(rules->topLevelItem(0)->text(1), "Mark message as urgent ");
}

TEST(RuleDialogTest, ParameterWidgetsFollowTheKindOfTheSelectedCode) {
  TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmRule rule{options};
  RuleDialog editor{rule, desktop};
  auto* filters = Find<QListWidget>(editor, "lstFilter");
  ASSERT_EQ(filters->count(), kFilterTypeCount);
  EXPECT_EQ(Find<QListWidget>(editor, "lstAction")->count(), kActionTypeCount);
  auto shown = [&](const char* name) { return !Find<QWidget>(editor, name)->isHidden(); };
  struct Case {
    int code;
    bool label, edit, combo;
  };
  for (const Case c : {Case{4, false, false, false}, Case{0, true, true, false},
                       Case{20, true, false, true}, Case{19, false, false, false}}) {
    filters->setCurrentRow(c.code);
    EXPECT_EQ(shown("lblFilter"), c.label) << c.code;
    EXPECT_EQ(shown("edtFilter"), c.edit) << c.code;
    EXPECT_EQ(shown("cmbFilter"), c.combo) << c.code;
  }
  EXPECT_EQ(Find<QPlainTextEdit>(editor, "memFilter")->toPlainText(),
            "This action will apply to all the messages in all the mailbox.");
  Find<QListWidget>(editor, "lstAction")->setCurrentRow(6);
  EXPECT_TRUE(shown("cmbAction") && !shown("edtAction") && shown("lblAction"));
}

TEST_F(PrefsTest, OkWritesTheConfigurationAndCancelWritesNothing) {
  auto* tabs = W<QTabWidget>("pgcOptions");
  ASSERT_EQ(tabs->count(), 7);
  EXPECT_EQ(tabs->tabText(5), " Connection && Alarms");
  EXPECT_EQ(tabs->tabText(6), " Learning");

  const std::string before = ReadFile(options.ConfigFileName());
  Type(W<QLineEdit>("edtNameBook"), "Ann");
  Type(W<QLineEdit>("edtAddressBook"), "ann@example.org");
  Click("btnAddBook");
  W<QRadioButton>("radDirectConnection")->click();
  EXPECT_TRUE(W<QWidget>("chkAutoDial")->isHidden());
  W<QCheckBox>("chkBlocking")->click();
  Click("btnCancel");
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(ReadFile(options.ConfigFileName()), before);
  // The edits stay in effect for the run.
  EXPECT_EQ(options.lsvBook.size(), 1u);
  EXPECT_TRUE(options.chkBlocking);

  dialog.show();
  EXPECT_EQ(W<QTreeWidget>("lsvBook")->topLevelItemCount(), 1);
  Type(W<QLineEdit>("edtMailAddress"), "me@example.org");
  Type(W<QLineEdit>("edtMailPOP3"), "pop.example.org");
  Click("btnAddAddress");
  EXPECT_TRUE(W<QRadioButton>("radAlarmNotify")->isChecked());  // a new configuration notifies
  W<QRadioButton>("radAlarmDialog")->click();
  W<QCheckBox>("chkLearn")->click();
  Click("btnOK");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  TfrmOptions reloaded{dir.Path()};
  reloaded.Load();
  EXPECT_EQ(reloaded.lsvBook, (std::vector<TBookRow>{{"Ann", "ann@example.org", ""}}));
  ASSERT_EQ(reloaded.lsvAddress.size(), 1u);
  EXPECT_EQ(reloaded.lsvAddress[0]->POP3Server, "pop.example.org");
  EXPECT_EQ(reloaded.lsvAddress[0]->TimeOut, 60);
  EXPECT_TRUE(reloaded.chkBlocking);
  EXPECT_TRUE(reloaded.radDirectConnection);
  EXPECT_TRUE(reloaded.radAlarmDialog);
  EXPECT_FALSE(reloaded.chkLearn);
}

TEST_F(PrefsTest, LearningPageImportsAndShowsWhatWasLearned) {
  auto* learned = W<QLabel>("lblLearned");
  EXPECT_EQ(learned->text(), "Learned from 0 spam and 0 safe messages.");
  const std::string mbox = dir.Path() + "/spam.mbox";
  std::ofstream(mbox) << "From offers@promo.example Fri Mar  1 08:00:00 2024\n"
                         "Received: from promo.example (unknown [203.0.113.9]) by mx.example.org\n"
                         "Subject: Cheap watches\nFrom: offers@promo.example\n"
                         "Message-ID: <1@promo.example>\n\nBuy now.\n";
  desktop.FileAnswers = {mbox};
  dialog.findChild<QAction*>("actImportSpamFile")->trigger();
  EXPECT_EQ(learned->text(), "Learned from 1 spam and 0 safe messages.");
  EXPECT_TRUE(W<QWidget>("lblLearnProgress")->isHidden());
  ASSERT_FALSE(desktop.Boxes.empty());
  EXPECT_EQ(desktop.Boxes.back().text, "Learned 1 message as spam.");
}

TEST_F(PrefsTest, BookDoubleClickClosesTheWindowAndComposes) {
  options.lsvBook = {{"Ann", "ann@example.org", ""}};
  dialog.Render();
  std::string recipient;
  dialog.ComposeTo = [&](const std::string& to) {
    recipient = to;
    EXPECT_FALSE(dialog.isVisible());
  };
  auto* book = W<QTreeWidget>("lsvBook");
  book->setCurrentItem(book->topLevelItem(0));
  emit book->itemDoubleClicked(book->topLevelItem(0), 0);
  EXPECT_EQ(recipient, "Ann ann@example.org");
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace norva::ui
