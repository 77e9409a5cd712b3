// The main window and the message window on the offscreen platform: first start, a check
// against a loopback server, sorting, the stop command, compose and send, close confirmation,
// the kept geometry, and reading HTML and plain mail.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolBar>
#include <QToolButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>

#include "app/Msg.h"
#include "support/FakePeer.h"
#include "support/Mailboxes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "ui/Application.h"
#include "ui/HtmlView.h"
#include "ui/Images.h"
#include "ui/MainWindow.h"
#include "ui/MessageWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/QtDesktop.h"
#include "ui/Text.h"
#include "ui/TrayIcon.h"

namespace norva::ui {
namespace {

using testing::FakePop3;
using testing::FakeSmtp;

// The Qt desktop with its boxes answered from a script, so that nothing waits for a user.
class ScriptedDesktop : public QtDesktop {
 public:
  std::vector<std::string> Boxes, Errors, Links;
  std::deque<Result> Answers;
  bool OpenUrl(const std::string& url) override {
    Links.push_back(url);
    return true;
  }
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

// The user's zone for a test: Berlin, whose offset changes on 29 March 2026.
struct BerlinTime : testing::ScopedZone {
  BerlinTime() : ScopedZone("Europe/Berlin") {}
};

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
    testing::AddTestMailbox(*main, *options, pop3, smtp);
    main->cmbSelAddressDropDown();
  }

  QAction* Action(QWidget* in, const char* name) { return in->findChild<QAction*>(name); }
  // A retrieved message in the list, read from the bytes a mail program sent. html stands for
  // the decoder's HTML of an HTML-only message where it does not give one.
  void AddRetrieved(const std::string& raw, const std::string& html = "") {
    TListRow row;
    row.Caption = "sender";
    row.SubItems = {"subject", "05.03.26 11:00", std::to_string(raw.size()), "0"};
    row.Data = std::make_unique<MessageListEntry>();
    row.Data->Message = std::make_unique<TmsMessage>();
    TMemoryStream stream;
    stream.Assign(raw);
    row.Data->Message->LoadFromStream(stream);
    if (row.Data->Message->Html.empty()) row.Data->Message->Html = html;
    row.Data->BodyRetrieved = true;
    main->lsvMail.push_back(std::move(row));
    window->Sync();
  }
  // Opens row in the message window, as a double click does.
  MessageWindow* Read(int row) {
    window->List()->selectRow(row);
    window->Run([&] { main->lsvMailDblClick(); });
    QApplication::processEvents();
    return window->Messages();
  }
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

// A stop while the check waits on a server that does not answer: Qt's events still run, and
// the click ends the check at once.
TEST_F(MainWindowTest, AStopDuringANetworkWaitEndsTheCheck) {
  FakePop3 pop({Message(1, "one"), Message(2, "two")});
  pop.On("TOP", [](testing::PeerConnection&, const std::string&) {});  // no answer
  AddMailbox(pop.Address());
  QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QTimer::singleShot(300, window, [&] { QApplication::sendEvent(window->statusBar(), &click); });
  QElapsedTimer took;
  took.start();
  Action(window, "btnCheckMailbox")->trigger();
  EXPECT_LT(took.elapsed(), 3000);  // the time-out is 5 s
  EXPECT_TRUE(main->StopRequested);
  EXPECT_FALSE(main->Busy);
  EXPECT_TRUE(main->lsvMail.empty());
}

TEST_F(MainWindowTest, FirstStartCheckSortAndKeptGeometry) {
  EXPECT_EQ(window->windowTitle(), " N o r v a  -  beta2 (build 44)");
  EXPECT_EQ(window->geometry(), QRect(192, 154, 896, 716));  // 70% of the screen, centred
  QCoreApplication::processEvents();  // the panel takes its share once laid out
  auto* splitter = window->findChild<QSplitter*>("pnlMain");
  const QList<int> sizes = splitter->sizes();
  EXPECT_NEAR(sizes[0] * 100.0 / (sizes[0] + sizes[1]), 40.0, 2.0);
  const int dateWidth = window->List()->columnWidth(2);
  QFont boldFont = QApplication::font();  // new messages show in bold
  boldFont.setBold(true);
  EXPECT_EQ(dateWidth, QFontMetrics(boldFont).horizontalAdvance("25.25.25 25:25") + 15);

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

  // New messages are bold until they are shown.
  auto bold = [&](int row) {
    return window->List()->model()->index(row, 0).data(Qt::FontRole).value<QFont>().bold();
  };
  EXPECT_TRUE(bold(0) && bold(1) && bold(2));
  // Sorting by subject; the selection follows its row, and a second click reverses the order.
  QHeaderView* header = window->List()->horizontalHeader();
  EXPECT_FALSE(header->isSortIndicatorShown());
  window->List()->selectRow(0);
  EXPECT_FALSE(bold(0));
  header->sectionClicked(1);
  EXPECT_EQ(Cell(0, 1), "alpha");
  EXPECT_TRUE(bold(0) && !bold(1));
  EXPECT_EQ(window->List()->selectionModel()->selectedRows().value(0).row(), 1);
  EXPECT_EQ(window->findChild<QPlainTextEdit*>("redMsg")->toPlainText().count("Subject: beta"), 1);
  EXPECT_TRUE(header->isSortIndicatorShown());
  EXPECT_EQ(std::pair(header->sortIndicatorSection(), header->sortIndicatorOrder()),
            std::pair(1, Qt::AscendingOrder));
  header->sectionClicked(1);
  EXPECT_EQ(Cell(0, 1), "gamma");
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_EQ(header->sectionResizeMode(1), QHeaderView::Stretch);

  window->setGeometry(40, 50, 700, 500);
  window->close();
  Stop();
  Start();
  EXPECT_EQ(window->geometry(), QRect(40, 50, 700, 500));
}

TEST_F(MainWindowTest, MenuBarHoldsEveryToolbarCommandAndKeysTriggerThem) {
  // Every toolbar button is the same action as an entry of the menu bar.
  std::vector<QAction*> inMenus;
  for (QAction* top : window->menuBar()->actions())
    for (QAction* item : top->menu()->actions()) inMenus.push_back(item);
  auto* bar = window->findChild<QToolBar*>("ToolBar1");
  int buttons = 0;
  for (QAction* action : bar->actions()) {
    if (action->isSeparator() || action->objectName().isEmpty()) continue;
    ++buttons;
    EXPECT_NE(std::find(inMenus.begin(), inMenus.end(), action), inMenus.end())
        << action->objectName().toStdString();
  }
  EXPECT_EQ(buttons, 15);
  // The pop-up menu's entries run the shared commands.
  QSignalSpy print(window->Action("btnPrint"), &QAction::triggered);
  window->findChild<QMenu*>("popMail")->findChild<QAction*>("mnuPrint")->trigger();
  EXPECT_EQ(print.count(), 1);

  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  window->List()->setFocus();
  const struct {
    const char* action;
    QKeySequence key;
    const char* tip;
  } keys[] = {
      {"btnCheckMailbox", QKeySequence(Qt::Key_F5), "Check mail boxes now (F5)"},
      {"btnSendMsg", QKeySequence(Qt::CTRL | Qt::Key_N), "New message (Ctrl+N)"},
      {"btnReplyMsg", QKeySequence(Qt::CTRL | Qt::Key_R), "Reply (Ctrl+R)"},
      {"btnReplyAll", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R), "Reply All (Ctrl+Shift+R)"},
      {"btnPrint", QKeySequence(Qt::CTRL | Qt::Key_P), "Print (Ctrl+P)"},
      {"btnDelete", QKeySequence(Qt::Key_Delete), "Delete Selected (Del)"},
      {"mnuFind", QKeySequence(Qt::CTRL | Qt::Key_F), "Find (Ctrl+F)"},
      {"mnuQuit", QKeySequence(Qt::CTRL | Qt::Key_Q), "Quit (Ctrl+Q)"},
  };
  for (const auto& k : keys) {
    QAction* action = window->Action(k.action);
    ASSERT_NE(action, nullptr) << k.action;
    EXPECT_EQ(action->shortcut(), k.key) << k.action;
    EXPECT_EQ(action->toolTip(), k.tip);
  }
  // Pressing the key runs the command: F5 checks (no mailbox: nothing to do but it runs),
  // Delete in the list deletes.
  for (const char* name : {"btnCheckMailbox", "btnDelete"}) {
    QSignalSpy spy(window->Action(name), &QAction::triggered);
    QTest::keySequence(window->List(), window->Action(name)->shortcut());
    EXPECT_EQ(spy.count(), 1) << name;
  }
  // Enter opens the selected message, as a double click does.
  AddRetrieved(Message(1, "hello"));
  window->List()->selectRow(0);
  QTest::keyClick(window->List(), Qt::Key_Return);
  EXPECT_TRUE(window->Messages()->isVisible());
}

// The quick filter shows the rows whose sender or subject contains its text and whose status is
// ticked; the commands then act on what is shown, and Escape brings every row back.
TEST_F(MainWindowTest, QuickFilterHidesRowsAndCommandsActOnWhatIsShown) {
  FakePop3 pop({Message(1, "Invoice March"), Message(2, "lunch"), Message(3, "INVOICE April"),
                Message(4, "news")});
  AddMailbox(pop.Address());
  Action(window, "btnCheckMailbox")->trigger();
  ASSERT_EQ(main->lsvMail.size(), 4u);
  auto* filter = window->findChild<QLineEdit*>("edtFilter");
  QAbstractItemModel* model = window->List()->model();

  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  Action(window, "mnuFind")->trigger();
  EXPECT_TRUE(filter->hasFocus());
  QTest::keyClicks(filter, "invoice");
  ASSERT_EQ(model->rowCount(), 2);
  EXPECT_EQ(std::pair(Cell(0, 1), Cell(1, 1)), std::pair(QString("Invoice March"), QString("INVOICE April")));
  // Select all that is shown and mark it spam: the hidden rows stay as they were.
  window->List()->selectAll();
  Action(window, "btnMarkSpam")->trigger();
  std::vector<int> statuses;
  for (const TListRow& row : main->lsvMail) statuses.push_back(row.Data->Status);
  EXPECT_EQ(statuses, (std::vector<int>{0, 1, 0, 1}));

  // Spam hidden: nothing is left; "Delete all spam" would act on shown rows only, so it asks
  // nothing and deletes nothing.
  window->findChild<QToolButton*>("btnShowSpam")->setChecked(false);
  EXPECT_EQ(model->rowCount(), 0);
  desktop->Boxes.clear();
  Action(window, "btnDeleteAllSpam")->trigger();
  EXPECT_TRUE(desktop->Boxes.empty());
  for (const std::string& command : pop.Commands()) EXPECT_NE(command.rfind("DELE", 0), 0u);

  QTest::keyClick(filter, Qt::Key_Escape);
  EXPECT_TRUE(filter->text().isEmpty());
  EXPECT_EQ(model->rowCount(), 2);  // the unknown ones
  window->findChild<QToolButton*>("btnShowSpam")->setChecked(true);
  EXPECT_EQ(model->rowCount(), 4);
}

// "Read selected messages" retrieves every selected row in one session and shows the first.
TEST_F(MainWindowTest, ReadSelectedShowsTheFirstRetrievedMessage) {
  FakePop3 pop({Message(1, "one"), Message(2, "two"), Message(3, "three")});
  AddMailbox(pop.Address());
  Action(window, "btnCheckMailbox")->trigger();
  ASSERT_EQ(main->lsvMail.size(), 3u);
  QItemSelectionModel* selection = window->List()->selectionModel();
  for (int row : {1, 2})
    selection->select(window->List()->model()->index(row, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
  Action(window, "btnReadMsg")->trigger();
  EXPECT_TRUE(main->lsvMail[1].Data->BodyRetrieved && main->lsvMail[2].Data->BodyRetrieved);
  EXPECT_FALSE(main->lsvMail[0].Data->BodyRetrieved);
  ASSERT_TRUE(window->Messages()->isVisible());
  EXPECT_EQ(window->Messages()->findChild<QLineEdit*>("edtMsgSubject")->text(), "two");
  int sessions = 0;
  for (const std::string& command : pop.Commands()) sessions += command == "QUIT";
  EXPECT_EQ(sessions, 2);  // the check and the reading
}

// The tray's menu holds the five commands, each running the window's own; Show/Hide follows the
// window. The tooltip is the logic's, and the icon carries the count of unseen new mail. (The
// offscreen platform has no tray, so the tray object is driven directly.)
TEST_F(MainWindowTest, TrayMenuRunsTheWindowsCommandsAndTheIconCountsNewMail) {
  std::vector<std::string> ran;
  const auto record = [&ran](const char* name) { return [&ran, name] { ran.push_back(name); }; };
  TrayIcon tray(*main, *window,
                {record("check"), record("show"), record("hide"), record("compose"),
                 record("preferences"), record("quit"), record("seen")});
  window->hide();  // in the tray
  tray.Refresh();
  QMenu* menu = tray.Menu();
  std::vector<std::pair<std::string, std::string>> items;
  for (QAction* action : menu->actions())
    if (!action->isSeparator())
      items.push_back({action->objectName().toStdString(), action->text().toStdString()});
  EXPECT_EQ(items, (std::vector<std::pair<std::string, std::string>>{
                       {"trayCheck", "&Check now"},
                       {"trayShowHide", "&Show"},
                       {"trayNewMessage", "&New message"},
                       {"trayPreferences", "&Preferences"},
                       {"trayQuit", "&Quit"}}));
  for (const auto& item : items) menu->findChild<QAction*>(item.first.c_str())->trigger();
  window->show();
  tray.Refresh();
  QAction* showHide = menu->findChild<QAction*>("trayShowHide");
  EXPECT_EQ(showHide->text(), "&Hide");
  showHide->trigger();
  EXPECT_EQ(ran, (std::vector<std::string>{"check", "show", "compose", "preferences", "quit",
                                           "hide"}));

  AddMailbox("127.0.0.1:1");
  tray.Refresh();
  EXPECT_EQ(tray.ToolTip(), ToQt(main->TrayHint()));
  EXPECT_TRUE(tray.ToolTip().contains("me0@example.org: 0 new, 0 spam, 0 in all"));
  const QImage idle = tray.Icon()->icon().pixmap(32).toImage();
  main->UnseenNew = 3;
  tray.Refresh();
  EXPECT_NE(tray.Icon()->icon().pixmap(32).toImage(), idle) << "a badge over the icon";
  tray.SetImage(34);  // an alarm frame, as the animation sets it
  EXPECT_NE(tray.Icon()->icon().pixmap(32).toImage(), ToolbarImage(34).pixmap(32).toImage());

  // The window coming up while the badge shows ends the alarm.
  ran.clear();
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  QTest::qWait(10);
  EXPECT_EQ(ran, std::vector<std::string>{"seen"});
  main->UnseenNew = 0;
  tray.Refresh();
  EXPECT_EQ(tray.Icon()->icon().pixmap(32).toImage(), ToolbarImage(34).pixmap(32).toImage());
}

TEST_F(MainWindowTest, ComposeAndSendReachTheServerAndClosingAsks) {
  BerlinTime zone;
  FakeSmtp smtp;
  AddMailbox("127.0.0.1:1", smtp.Address());
  Action(window, "btnSendMsg")->trigger();
  MessageWindow* messages = window->Messages();
  ASSERT_TRUE(messages->isVisible());
  EXPECT_EQ(messages->windowTitle(), "New message");
  // From is the account, a choice only when there are several; Cc and Bcc are editable.
  auto* from = messages->findChild<QComboBox*>("cmbMsgFrom");
  EXPECT_TRUE(from->isVisible());
  EXPECT_FALSE(from->isEnabled());
  EXPECT_EQ(from->currentText(), "me0@example.org");
  auto* cc = messages->findChild<QLineEdit*>("edtMsgCc");
  auto* bcc = messages->findChild<QLineEdit*>("edtMsgBcc");
  EXPECT_TRUE(cc->isVisible() && !cc->isReadOnly() && bcc->isVisible());

  // Closing an unsent message asks first; Cancel keeps it open.
  desktop->Answers = {Desktop::mrCancel};
  messages->close();
  EXPECT_TRUE(messages->isVisible());
  EXPECT_EQ(desktop->Boxes.back(), "Exit message ?");

  messages->findChild<QComboBox*>("edtMsgTo")->setEditText("Bob <bob@example.org>");
  messages->findChild<QLineEdit*>("edtMsgSubject")->setText("Hello");
  messages->findChild<QPlainTextEdit*>("redMsg")->setPlainText("First line\nSecond line");
  cc->setText("Carol <carol@example.org>");
  bcc->setText("sam@example.org");
  Action(messages, "btnSend")->trigger();
  EXPECT_FALSE(messages->isVisible());
  ASSERT_EQ(smtp.Data().size(), 1u);
  const std::string data = smtp.Data()[0];
  for (const char* part :
       {"Subject: Hello", "First line\r\nSecond line", "Carol <carol@example.org>"})
    EXPECT_NE(data.find(part), std::string::npos) << part;
  EXPECT_EQ(data.find("sam@"), std::string::npos);
  const std::vector<std::string> commands = smtp.Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.starts_with("RCPT"); }),
            3);
  EXPECT_TRUE(desktop->Errors.empty());

  // Reading, Reply All answers everyone under a title that says so.
  AddRetrieved(Message(1, "hello"));
  MessageWindow* reading = Read(0);
  EXPECT_EQ(reading->windowTitle(), "Reading: hello");
  EXPECT_FALSE(bcc->isVisible());
  ASSERT_TRUE(Action(reading, "btnReplyAll")->isEnabled());
  Action(reading, "btnReplyAll")->trigger();
  QApplication::processEvents();
  EXPECT_EQ(reading->windowTitle(), "Reply: hello");
  EXPECT_EQ(messages->findChild<QComboBox*>("edtMsgTo")->currentText(), "sender1@example.org");
  EXPECT_EQ(messages->findChild<QPlainTextEdit*>("redMsg")->toPlainText(),
            "On 05.12.26 10:20, sender1@example.org wrote:\n> body 1");
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

// The list repaints only the rows on screen that look different, and never misses one.
TEST_F(MainWindowTest, AChangedRowOnScreenIsRepaintedAndOnlyThen) {
  window->show();
  for (int i = 0; i < 3; ++i) AddRetrieved("From: a@b\r\nSubject: s\r\n\r\nbody\r\n");
  window->Sync(true);
  QSignalSpy repaints(window->List()->model(), &QAbstractItemModel::dataChanged);
  const struct {
    const char* what;
    std::function<void()> change;
    int row;  // the row repainted, or -1: none
  } cases[] = {
      {"nothing changed", [] {}, -1},
      {"marked deleted", [&] { main->lsvMail[1].StateIndex = 3; }, 1},
      {"new subject", [&] { main->lsvMail[2].SubItems[0] = "other"; }, 2},
      {"read", [&] { main->lsvMail[0].Data->Unread = !main->lsvMail[0].Data->Unread; }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    repaints.clear();
    c.change();
    window->Sync(true);
    if (c.row < 0) {
      EXPECT_EQ(repaints.count(), 0);
      continue;
    }
    ASSERT_EQ(repaints.count(), 1);
    EXPECT_EQ(repaints[0][0].value<QModelIndex>().row(), c.row);
    EXPECT_EQ(repaints[0][1].value<QModelIndex>().row(), c.row);
  }
}

TEST_F(MainWindowTest, TypingSurvivesTheWindowsSyncingAndClosingAsksFirst) {
  FakePop3 pop({Message(1, "one"), Message(2, "two")});
  AddMailbox(pop.Address());
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

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// Clicks the middle of the first place the text shows.
void ClickText(QTextEdit* view, const QString& text) {
  const QTextCursor found = view->document()->find(text);
  ASSERT_FALSE(found.isNull()) << text.toStdString();
  QTextCursor at(view->document());
  at.setPosition((found.selectionStart() + found.selectionEnd()) / 2);
  view->setTextCursor(at);
  view->ensureCursorVisible();
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier,
                    view->cursorRect(at).center());
  QApplication::processEvents();  // the link is followed once the click is over
}

// HTML-only mail as mail programs send it (its HTML in html), with what hostile mail adds: a
// style sheet and a tracking image on a server, an image from a local file, a script, and
// links of every kind.
std::string HtmlMail(const std::string& host, const std::string& image, std::string& html) {
  html = R"html(<html><head>
<link rel="stylesheet" href="http://HOST/s.css">
<script>document.write("SCRIPTED")</script></head><body>
<h1>Spring sale</h1><p>Gr&uuml;&szlig;e from the shop.</p>
<img src="http://HOST/pixel.gif" alt="[pixel]">
<img src="file://IMAGE" alt="[local]">
<p><a href="https://example.org/offer?id=7">Read more</a> |
<a href="file:///etc/passwd">Local file</a> | <a href="javascript:alert(1)">Run script</a> |
<a href="mailto:shop@example.org?subject=Order%20no.%207%0D%0ABcc:%20x@y">Write to us</a></p>
</body></html>
)html";
  for (const auto& [from, to] : {std::pair{"HOST", host}, std::pair{"IMAGE", image}})
    for (size_t at = html.find(from); at != std::string::npos; at = html.find(from, at))
      html.replace(at, std::strlen(from), to);
  return Crlf(
             "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg@example.de>\n"
             "To: Priya Nair <priya@example.org>, \"Jensen, Mark\" <mark@example.org>\n"
             "Cc: Team <team@example.org>\n"
             "Subject: Angebot =?utf-8?q?f=C3=BCr_M=C3=A4rz?=\n"
             "Date: Thu, 05 Mar 2026 19:00:00 +0900\n"
             "Message-ID: <html1@example.de>\n"
             "Content-Type: text/html; charset=\"utf-8\"\n"
             "Content-Transfer-Encoding: 7bit\n"
             "MIME-Version: 1.0\n\n") +
         Crlf(html);
}

TEST_F(MainWindowTest, HtmlMailShowsRenderedFetchesNothingAndOnlyClickedLinksOpen) {
  BerlinTime zone;
  AddMailbox("127.0.0.1:1");
  FakePop3 web({});  // counts the connections a request for remote content would make
  const std::string image = dir.File("big.png");
  QImage big(400, 400, QImage::Format_RGB32);
  big.fill(Qt::red);
  ASSERT_TRUE(big.save(ToQt(image)));
  std::string html;
  const std::string raw = HtmlMail(web.Address(), image, html);
  AddRetrieved(raw, html);

  window->List()->selectRow(0);
  auto* preview = window->findChild<HtmlView*>("redMsgHtml");
  EXPECT_TRUE(preview->isVisible());
  EXPECT_TRUE(preview->toPlainText().contains(QString::fromUtf8("Grüße from the shop")));

  MessageWindow* messages = Read(0);
  EXPECT_EQ(messages->windowTitle(), QString::fromUtf8("Reading: Angebot für März"));
  auto field = [&](const char* name) { return messages->findChild<QLineEdit*>(name)->text(); };
  EXPECT_EQ(field("edtMsgFrom"), QString::fromUtf8("Jörg Müller <joerg@example.de>"));
  EXPECT_EQ(field("edtMsgToList"),
            "Priya Nair <priya@example.org>, \"Jensen, Mark\" <mark@example.org>");
  EXPECT_EQ(field("edtMsgCc"), "Team <team@example.org>");
  EXPECT_EQ(field("edtMsgDate"), "05.03.26 11:00");  // 10:00 UTC
  EXPECT_TRUE(messages->findChild<QLineEdit*>("edtMsgCc")->isVisible());
  EXPECT_FALSE(messages->findChild<QComboBox*>("edtMsgTo")->isVisible());

  auto* view = messages->findChild<HtmlView*>("redMsgHtml");
  ASSERT_TRUE(view->isVisible());
  EXPECT_TRUE(view->toPlainText().startsWith("Spring sale")) << view->toPlainText().toStdString();
  EXPECT_FALSE(view->toPlainText().contains("SCRIPTED"));
  // Nothing was fetched: no connection to the server, and the local picture, 400 pixels high
  // in a browser that reads files, stays out.
  QTest::qWait(100);
  EXPECT_EQ(web.Connections(), 0);
  QTextBrowser reads;
  reads.setHtml(ToQt(html));
  reads.document()->setTextWidth(view->document()->textWidth());
  EXPECT_GT(reads.document()->size().height(), 400);
  EXPECT_LT(view->document()->size().height(), 400);

  // The header lines show as text; back again, the rendered body.
  Action(messages, "btnShowHeader")->trigger();
  EXPECT_FALSE(view->isVisible());
  Action(messages, "btnShowHeader")->trigger();
  EXPECT_TRUE(view->isVisible());

  // Only a click opens a link, and only a web page goes to the browser.
  EXPECT_TRUE(desktop->Links.empty());
  const struct {
    QTextEdit* in;
    const char* text;
    std::vector<std::string> links;
    size_t boxes;
  } clicks[] = {
      {view, "Read more", {"https://example.org/offer?id=7"}, 0},
      {view, "Local file", {}, 1},
      {view, "Run script", {}, 1},
      {preview, "Read more", {"https://example.org/offer?id=7"}, 0},
      {preview, "Local file", {}, 1},
  };
  for (const auto& c : clicks) {
    SCOPED_TRACE(c.text);
    desktop->Links.clear();
    desktop->Boxes.clear();
    ClickText(c.in, c.text);
    EXPECT_EQ(desktop->Links, c.links);
    EXPECT_EQ(desktop->Boxes.size(), c.boxes);
  }

  // A mail address starts a new message to it; a line break smuggled into the subject does not
  // make a header of its own.
  ClickText(view, "Write to us");
  EXPECT_FALSE(view->isVisible());
  EXPECT_EQ(messages->windowTitle(), "New message");
  EXPECT_EQ(messages->findChild<QComboBox*>("edtMsgTo")->currentText(), "shop@example.org");
  EXPECT_EQ(field("edtMsgSubject"), "Order no. 7  Bcc: x@y");
  EXPECT_FALSE(messages->findChild<QLineEdit*>("edtMsgDate")->isVisible());
}

TEST_F(MainWindowTest, PlainMailWrapsAtTheWindowsWidth) {
  BerlinTime zone;
  std::string paragraph;
  for (int i = 0; i < 60; ++i) paragraph += "word" + std::to_string(i) + " ";
  AddRetrieved(
      Crlf("From: Ann <ann@example.org>\nTo: me@example.org\n"
           "Subject: A long plain letter\nDate: Thu, 05 Mar 2026 18:00:00 -0500\n"
           "Message-ID: <plain1@example.org>\nMIME-Version: 1.0\n"
           "Content-Type: text/plain; charset=\"utf-8\"\n"
           "Content-Transfer-Encoding: 7bit\n\n" +
           paragraph + "\n\nSecond paragraph.\n"));
  window->List()->selectRow(0);
  MessageWindow* messages = Read(0);
  EXPECT_EQ(messages->windowTitle(), "Reading: A long plain letter");
  EXPECT_EQ(messages->findChild<QLineEdit*>("edtMsgDate")->text(), "06.03.26 00:00");
  EXPECT_EQ(messages->findChild<QLineEdit*>("edtMsgToList")->text(), "me@example.org");
  EXPECT_FALSE(messages->findChild<QLineEdit*>("edtMsgCc")->isVisible());    // no copies
  EXPECT_FALSE(messages->findChild<QWidget*>("lsvMsgAttach")->isVisible());  // nor attachments

  for (QWidget* in : {static_cast<QWidget*>(window), static_cast<QWidget*>(messages)}) {
    auto* text = in->findChild<QPlainTextEdit*>("redMsg");
    SCOPED_TRACE(in->objectName().toStdString());
    ASSERT_TRUE(text->isVisible());
    EXPECT_FALSE(in->findChild<HtmlView*>("redMsgHtml")->isVisible());
    EXPECT_TRUE(text->toPlainText().startsWith("word0 word1"));
    EXPECT_GT(text->document()->firstBlock().layout()->lineCount(), 1);
    EXPECT_EQ(text->horizontalScrollBar()->maximum(), 0);
  }
}

// The Date shown is the instant the message was sent, in the user's zone and its summer time.
// A server's reply, a subject or a name is never rendered as markup: not in the status bar, a
// box, the preferences, a tooltip, nor in any label Qt makes on its own.
TEST_F(MainWindowTest, ServerMarkupShowsAsTextInEveryLabel) {
  const std::string markup = "<font color=\"red\" size=\"6\"><b>ACCOUNT SUSPENDED</b></font>";
  FakePop3 pop({Message(1, "<b>bold subject</b>")});
  pop.Reply("PASS", "-ERR " + markup + "\r\n");
  AddMailbox(pop.Address());
  Action(window, "btnCheckMailbox")->trigger();
  EXPECT_TRUE(window->findChild<QLabel*>("StatusPanel4")->text().contains("<b>ACCOUNT SUSPENDED"));

  window->Options().show();
  app->OpenAccountSetup();
  QInputDialog input(window);
  input.setLabelText(QString::fromStdString(markup));
  input.show();
  QApplication::processEvents();
  QToolTip::showText(QPoint(10, 10), QString::fromStdString(markup));
  QToolTip::showText(QPoint(12, 12), "<i>reused</i>");  // the shown tip's label again
  int labels = 0;
  bool tip = false;
  for (QWidget* widget : QApplication::allWidgets()) {
    if (auto* label = qobject_cast<QLabel*>(widget); label && label->isVisible()) {
      ++labels;
      EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    }
    tip = tip || (widget->inherits("QTipLabel") && widget->isVisible() &&
                  qobject_cast<QLabel*>(widget)->text() == "<i>reused</i>");
  }
  EXPECT_GT(labels, 20);
  EXPECT_TRUE(tip);
  QToolTip::hideText();
}

TEST(LocalMailDateTest, ShowsTheInstantInTheUsersZone) {
  BerlinTime zone;
  const struct {
    const char* header;
    const char* shown;
  } cases[] = {
      {"Thu, 05 Mar 2026 19:00:00 +0900", "05.03.26 11:00"},
      {"Sat, 28 Mar 2026 23:30:00 +0000", "29.03.26 00:30"},
      {"Sun, 29 Mar 2026 01:30:00 -0000", "29.03.26 03:30"},
      {"next Tuesday", "next Tuesday"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(LocalMailDate(c.header), c.shown) << c.header;
}

}  // namespace
}  // namespace norva::ui
