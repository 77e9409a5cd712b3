// The main window and the message window on the offscreen platform: first start, a check
// against a loopback server, sorting, the stop command, compose and send, close confirmation
// and the kept geometry.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <deque>

#include "app/Msg.h"
#include "support/FakePeer.h"
#include "support/TempDir.h"
#include "ui/Application.h"
#include "ui/MainWindow.h"
#include "ui/MessageWindow.h"
#include "ui/QtDesktop.h"

namespace norva::ui {
namespace {

using testing::FakePop3;
using testing::FakeSmtp;

// The Qt desktop with its boxes answered from a script, so that nothing waits for a user.
class ScriptedDesktop : public QtDesktop {
 public:
  std::vector<std::string> Boxes, Errors;
  std::deque<Result> Answers;
  Result MessageBox(const std::string& text, const std::string&, int, Icon, bool) override {
    Boxes.push_back(text);
    if (Answers.empty()) return mrOK;
    const Result r = Answers.front();
    Answers.pop_front();
    return r;
  }
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  void ScreenSize(int& width, int& height) override {
    width = 1280;
    height = 1024;
  }
};

std::string Message(int n, const std::string& subject) {
  return "Message-ID: <" + std::to_string(n) + "@test>\r\nFrom: sender" + std::to_string(n) +
         "@example.org\r\nSubject: " + subject +
         "\r\nDate: Sat, 5 Dec 2026 10:20:30 +0100\r\n\r\nbody " + std::to_string(n) + "\r\n";
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(); }
  void TearDown() override { Stop(); }

  void Start() {
    auto scripted = std::make_unique<ScriptedDesktop>();
    desktop = scripted.get();
    app = std::make_unique<Application>(dir.Path(), std::move(scripted));
    app->Start();
    main = &app->Main();
    options = &app->Options();
    window = &app->Window();
  }
  void Stop() { app.reset(); }

  void AddMailbox(const std::string& pop3, const std::string& smtp = "") {
    auto account = std::make_unique<MailboxAccount>();
    account->Address = "me@example.org";
    account->Account = "user";
    account->Password = "secret";
    account->POP3Server = pop3;
    account->SMTPServer = smtp;
    account->TimeOut = 5;
    main->BindClient(*account->Client);
    options->lsvAddress.push_back(std::move(account));
    main->cmbSelAddressDropDown();
  }

  QAction* Action(QWidget* in, const char* name) { return in->findChild<QAction*>(name); }
  QString Cell(int row, int column) {
    QTableView* list = window->List();
    return list->model()->index(row, column).data().toString();
  }

  testing::TempDir dir;
  std::unique_ptr<Application> app;
  ScriptedDesktop* desktop = nullptr;
  TfrmOptions* options = nullptr;
  TfrmMain* main = nullptr;
  MainWindow* window = nullptr;
};

TEST_F(MainWindowTest, FirstStartCheckSortAndKeptGeometry) {
  EXPECT_EQ(window->windowTitle(), " N o r v a  -  beta2 (build 44)");
  EXPECT_EQ(window->geometry(), QRect(5, 5, TfrmMain::kDesignWidth, TfrmMain::kDesignHeight));
  QCoreApplication::processEvents();  // the panel takes its share once laid out
  auto* splitter = window->findChild<QSplitter*>("pnlMain");
  const QList<int> sizes = splitter->sizes();
  EXPECT_NEAR(sizes[0] * 100.0 / (sizes[0] + sizes[1]), 40.0, 2.0);
  const int dateWidth = window->List()->columnWidth(2);
  EXPECT_EQ(dateWidth, QFontMetrics(QApplication::font()).horizontalAdvance("25.25.25 25:25") + 15);

  FakePop3 pop({Message(1, "beta"), Message(2, "alpha"), Message(3, "gamma")});
  AddMailbox(pop.Address());
  // While the check runs the list fills row by row and the pop-up menu stays closed.
  bool sawBusy = false;
  desktop->OnPump = [&] {
    window->Sync(false);
    if (main->Busy) sawBusy = !main->PopMailAttached;
  };
  Action(window, "btnCheckMailbox")->trigger();
  EXPECT_TRUE(sawBusy);
  ASSERT_EQ(window->List()->model()->rowCount(), 3);
  EXPECT_EQ(Cell(0, 1), "beta");
  EXPECT_EQ(Cell(2, 3), QString::number(Message(3, "gamma").size()));
  EXPECT_EQ(window->findChild<QLabel*>("StatusPanel4")->text(), "Closed connection...");

  // Sorting by subject; the selection follows its row.
  window->List()->selectRow(0);
  window->List()->horizontalHeader()->sectionClicked(1);
  EXPECT_EQ(Cell(0, 1), "alpha");
  EXPECT_EQ(window->List()->selectionModel()->selectedRows().value(0).row(), 1);
  EXPECT_EQ(window->findChild<QPlainTextEdit*>("redMsg")->toPlainText().count("Subject: beta"), 1);

  // The stop command: a double click on the status bar releases the window.
  main->LockWindow();
  QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window->statusBar(), &click);
  EXPECT_FALSE(main->Busy);
  EXPECT_TRUE(main->StopRequested);

  window->setGeometry(40, 50, 700, 500);
  window->close();
  Stop();
  Start();
  EXPECT_EQ(window->geometry(), QRect(40, 50, 700, 500));
}

TEST_F(MainWindowTest, ComposeAndSendReachTheServerAndClosingAsks) {
  FakeSmtp smtp;
  AddMailbox("127.0.0.1:1", smtp.Address());
  Action(window, "btnSendMsg")->trigger();
  MessageWindow* messages = window->Messages();
  ASSERT_TRUE(messages->isVisible());
  EXPECT_EQ(messages->windowTitle(), "Message Editor");

  // Closing an unsent message asks first; Cancel keeps it open.
  desktop->Answers = {Desktop::mrCancel};
  messages->close();
  EXPECT_TRUE(messages->isVisible());
  EXPECT_EQ(desktop->Boxes.back(), "Exit message ?");

  messages->findChild<QComboBox*>("edtMsgTo")->setEditText("Bob <bob@example.org>");
  messages->findChild<QLineEdit*>("edtMsgSubject")->setText("Hello");
  messages->findChild<QPlainTextEdit*>("redMsg")->setPlainText("First line\nSecond line");
  Action(messages, "btnSend")->trigger();
  EXPECT_FALSE(messages->isVisible());
  ASSERT_EQ(smtp.Data().size(), 1u);
  EXPECT_NE(smtp.Data()[0].find("Subject: Hello"), std::string::npos);
  EXPECT_NE(smtp.Data()[0].find("First line\r\nSecond line"), std::string::npos);
  EXPECT_TRUE(desktop->Errors.empty());
}

// While the logic pumps, the list catches up at intervals; a row added after the last turn still
// shows without any further turn or command.
TEST_F(MainWindowTest, RowsAddedWhilePumpingShowWithoutAnotherTurn) {
  auto add = [&](const char* sender) {
    TListRow row;
    row.Caption = sender;
    row.SubItems = {"subject", "01.03.24 08:00", "100", "0"};
    row.Data = std::make_unique<MessageListEntry>();
    main->lsvMail.push_back(std::move(row));
  };
  main->LockWindow();
  add("first");
  desktop->ProcessMessages();
  add("second");
  desktop->ProcessMessages();
  QAbstractItemModel* model = window->List()->model();
  for (int i = 0; i < 500 && model->rowCount() < 2; ++i) QTest::qWait(10);
  ASSERT_EQ(model->rowCount(), 2);
  EXPECT_EQ(Cell(1, 0), "second");
  main->UnlockWindow();
}

TEST_F(MainWindowTest, TypingSurvivesTheWindowsSyncingAndClosingAsksFirst) {
  AddMailbox("127.0.0.1:1");
  FakePop3 pop({Message(1, "one"), Message(2, "two")});
  options->lsvAddress[0]->POP3Server = pop.Address();
  options->lsvAddress[0]->ApplyToClient();
  Action(window, "btnCheckMailbox")->trigger();
  ASSERT_EQ(main->lsvMail.size(), 2u);

  // A click while Norva works does not change the rows it works on.
  window->List()->selectRow(0);
  window->Sync();
  main->LockWindow();
  window->List()->selectRow(1);
  window->Sync();
  EXPECT_TRUE(main->lsvMail[0].Selected);
  EXPECT_FALSE(main->lsvMail[1].Selected);
  main->UnlockWindow();

  Action(window, "btnSendMsg")->trigger();
  MessageWindow* messages = window->Messages();
  messages->findChild<QLineEdit*>("edtMsgSubject")->setText("half written");
  messages->findChild<QComboBox*>("edtMsgTo")->setEditText("bob@example.org");
  window->Sync(false);
  window->Sync();
  EXPECT_EQ(messages->findChild<QLineEdit*>("edtMsgSubject")->text(), "half written");
  EXPECT_EQ(messages->findChild<QComboBox*>("edtMsgTo")->currentText(), "bob@example.org");

  // Closing the main window asks about the message first; Cancel keeps both open.
  desktop->Answers = {Desktop::mrCancel};
  window->close();
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(messages->isVisible());
  EXPECT_EQ(desktop->Boxes.back(), "Exit message ?");
}

}  // namespace
}  // namespace norva::ui
