// The first-run setup dialog: it opens by itself on an empty program folder, adds the mailbox
// through its fields, tests the connection, and the Check button reopens it while there is
// still none.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "support/FakePeer.h"
#include "support/TempDir.h"
#include "ui/Application.h"

namespace norva::ui {
namespace {

using norva::testing::ClosedPort;
using norva::testing::TempDir;

// The Qt desktop with every box answered at once.
class SilentDesktop : public QtDesktop {
 public:
  std::vector<std::string> Boxes;
  Result MessageBox(const std::string& text, const std::string&, int, Icon, bool) override {
    Boxes.push_back(text);
    return mrOK;
  }
};

TEST(AccountSetupDialogTest, OpensOnAnEmptyFolderAndAddsTheMailbox) {
  TempDir dir;
  auto owned = std::make_unique<SilentDesktop>();
  SilentDesktop& desktop = *owned;
  Application app(dir.Path(), std::move(owned));
  app.Start();
  EXPECT_EQ(app.Main().StatusBar[4].Text, kNoMailboxHint);
  QApplication::processEvents();
  AccountSetupDialog* dialog = app.AccountSetup();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(dialog->isVisible());

  auto field = [dialog](const char* name) { return dialog->findChild<QLineEdit*>(name); };
  // OK without an address is refused by the accounts page's check and keeps the dialog open.
  dialog->findChild<QPushButton*>("btnOK")->click();
  EXPECT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_TRUE(dialog->isVisible());

  QTest::keyClicks(field("edtName"), "Ann Example");
  QTest::keyClicks(field("edtAddress"), "ann@example.org");
  QTest::keyClicks(field("edtPassword"), "secret");
  EXPECT_EQ(field("edtPOP3")->text(), "pop.example.org");
  EXPECT_EQ(field("edtSMTP")->text(), "mail.example.org");
  dialog->findChild<QPushButton*>("btnOK")->click();
  QApplication::processEvents();

  TfrmOptions stored(dir.Path());
  stored.Load();
  ASSERT_EQ(stored.lsvAddress.size(), 1u);
  EXPECT_EQ(stored.lsvAddress[0]->POP3Server, "pop.example.org");
  EXPECT_EQ(app.Options().lsvAddress.size(), 1u);
  EXPECT_EQ(app.Main().StatusBar[4].Text, "");
}

TEST(AccountSetupDialogTest, TestsTheConnectionThenCheckReopensTheDialog) {
  TempDir dir;
  Application app(dir.Path(), std::make_unique<SilentDesktop>());
  app.Start();
  QApplication::processEvents();
  AccountSetupDialog* dialog = app.AccountSetup();
  ASSERT_NE(dialog, nullptr);
  const ClosedPort closed;
  const QString refused = "127.0.0.1:" + QString::number(closed.Port());
  QTest::keyClicks(dialog->findChild<QLineEdit*>("edtAddress"), "ann@example.org");
  QTest::keyClicks(dialog->findChild<QLineEdit*>("edtPassword"), "secret");
  for (const char* name : {"edtPOP3", "edtSMTP"}) dialog->findChild<QLineEdit*>(name)->setText(refused);
  dialog->findChild<QPushButton*>("btnTestConnection")->click();
  QListWidget* results = dialog->Results();
  ASSERT_EQ(results->count(), 2);
  EXPECT_EQ(results->item(0)->text().toStdString(),
            ("POP3 " + refused + " SSL/TLS: connection failed: [10061] Connection refused").toStdString());
  EXPECT_TRUE(results->item(1)->text().startsWith("SMTP " + refused + " SSL/TLS: connection failed"));
  EXPECT_EQ(dialog->findChild<QPushButton*>("btnTestConnection")->text(), "&Test connection");

  dialog->reject();
  QApplication::processEvents();  // deleted on close
  EXPECT_EQ(app.AccountSetup(), nullptr);
  app.Main().btnCheckMailboxClick();
  ASSERT_NE(app.AccountSetup(), nullptr);
  EXPECT_TRUE(app.AccountSetup()->isVisible());
}

}  // namespace
}  // namespace norva::ui
