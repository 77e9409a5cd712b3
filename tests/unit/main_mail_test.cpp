// Reading, the message window, the outbox and the archives end to end: mailboxes on loopback fake
// POP3 servers, a fake SMTP server, real archive files and the fake desktop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "app/Main.h"
#include "app/Msg.h"
#include "config/ListsPage.h"
#include "store/FileIO.h"
#include "support/FakeDesktop.h"
#include "support/Mailboxes.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

namespace fs = std::filesystem;
using testing::FakeDesktop;
using testing::FakePop3;
using testing::FakeSmtp;
using testing::PeerConnection;
using Lines = std::vector<std::string>;

std::string Message(const std::string& id, const std::string& subject,
                    const std::string& extra = "") {
  return "Message-ID: <" + id + "@test>\r\nFrom: Ann <ann@example.org>\r\n" +
         "To: Me <me@example.org>, Bob <bob@example.org>\r\nSubject: " + subject +
         "\r\nDate: Sat, 5 Dec 2026 10:20:30 +0100\r\n" + extra + "\r\nline one\r\nline two\r\n";
}

// A message with the given header fields and a one-line body.
std::string Mail(const std::string& id, const std::string& fields) {
  return "Message-ID: <" + id + "@test>\r\n" + fields + "\r\nbody\r\n";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
// The RCPT commands the server received, in order.
Lines Rcpts(const FakeSmtp& smtp) {
  Lines rcpts;
  for (const std::string& command : smtp.Commands())
    if (command.starts_with("RCPT")) rcpts.push_back(command);
  return rcpts;
}

const std::string kZeroKey(15, '0');
const std::string kKey1 = std::string(14, ' ') + "1";
const std::string kKey2 = std::string(14, ' ') + "2";

// An archive's items by key, and its "Max" (-1 when absent); empty for a missing file.
struct Archive {
  std::map<std::string, std::string> Items;
  int32_t Max = -1;
  bool Holds(const std::string& subject) const {
    return std::any_of(Items.begin(), Items.end(),
                       [&](const auto& item) { return Has(item.second, "Subject: " + subject); });
  }
};
Archive ReadArchive(const std::string& path) {
  Archive archive;
  if (!fs::exists(path)) return archive;
  TQDB db;
  db.SetReadOnly(true);
  db.WarnNoData = [](TQDB&) {};
  db.SetFileName(path);
  for (int32_t i = 0; i < db.Count(); ++i) {
    db.GoToItem(i);
    archive.Items[db.Key()] = testing::Item(db);
  }
  if (db.ExistsAdmin("Max")) archive.Max = db.AdminAsInteger("Max");
  db.SetFileName("");
  return archive;
}

class MailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.edtUserName = "Me Myself";
    desktop.OnPump = [this] {
      if (statuses.empty() || statuses.back() != main.StatusBar[4].Text)
        statuses.push_back(main.StatusBar[4].Text);
    };
  }
  void TearDown() override { fileio::SetFaultHook(nullptr); }

  MailboxAccount& AddMailbox(const std::string& pop3, const std::string& smtpServer = "") {
    return testing::AddTestMailbox(main, options, pop3, smtpServer);
  }
  // A mailbox on a fake POP3 server that holds the messages until the test ends.
  FakePop3& Serve(std::vector<std::string> messages, const std::string& smtpServer = "") {
    pops.push_back(std::make_unique<FakePop3>(std::move(messages)));
    AddMailbox(pops.back()->Address(), smtpServer);
    return *pops.back();
  }
  FakePop3& Check(std::vector<std::string> messages, const std::string& smtpServer = "") {
    FakePop3& pop = Serve(std::move(messages), smtpServer);
    main.CheckMail(true, -1);
    return pop;
  }
  // No files and no mailboxes.
  void StartOver() {
    for (const auto& entry : fs::directory_iterator(dir.Path())) fs::remove_all(entry.path());
    options.lsvAddress.clear();
  }

  // Selects exactly the given rows.
  void Select(std::initializer_list<size_t> rows) {
    for (auto& row : main.lsvMail) row.Selected = false;
    for (size_t i : rows) main.lsvMail.at(i).Selected = true;
  }

  // A new message in the message window.
  TfrmMsg& Compose(const std::string& to, const std::string& subject = "") {
    main.frmMsg->MsgWindowMode = 3;
    main.PrepareMsg();
    main.frmMsg->edtMsgTo = to;
    main.frmMsg->edtMsgSubject = subject;
    return *main.frmMsg;
  }
  // Stores a retrieved message in the archive as the commands do.
  void Store(const std::string& path, std::unique_ptr<TmsMessage> message) {
    MessageListEntry entry;
    entry.Message = std::move(message);
    entry.BodyRetrieved = true;
    main.ArchiveMsg(path, entry, false);
  }
  // Queues a message in the outbox as the message window does.
  void Queue(const std::string& to, const std::string& subject) {
    auto message = std::make_unique<TmsMessage>();
    Compose(to, subject).BuildMessage(*message);
    Store(Outbox(), std::move(message));
  }

  // A fresh folder whose mailbox on server (time-out timeOut) queues "one", "two" and "three";
  // store order puts the space-padded keys first, so "two", to two people, goes first.
  void QueueThree(FakeSmtp& server, int timeOut) {
    StartOver();
    AddMailbox("127.0.0.1:1", server.Address()).TimeOut = timeOut;
    main.msSMTP.DataReplyWait = timeOut + 1;
    Queue("a@example.org", "one");
    Queue("b@example.org; \"Nair, Priya\" <p@example.org>", "two");
    Queue("c@example.org", "three");
  }
  // How often "one", "two" and "three" arrived: in these data blocks and in the server's own.
  static std::map<std::string, int> Arrivals(Lines blocks, const FakeSmtp& server) {
    for (const std::string& data : server.Data()) blocks.push_back(data);
    std::map<std::string, int> arrived;
    for (const std::string& data : blocks)
      for (const std::string subject : {"one", "two", "three"})
        arrived[subject] += Has(data, "Subject: " + subject + "\r\n");
    return arrived;
  }
  std::string Outbox() const { return dir.File("$OutBox.TMA"); }
  std::string Sent() const { return dir.File("$Sent.TMA"); }
  std::string Failed() const { return dir.File("$Failed.TMA"); }
  bool Saw(const std::string& status) const { return Contains(statuses, status); }

  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  std::vector<std::string> statuses;
  // The servers stop before the windows go.
  FakeSmtp smtp;
  std::vector<std::unique_ptr<FakePop3>> pops;
};

// ---- reading ----

TEST_F(MailTest, DoubleClickRetrievesOnceAndShowsTheMessageForReading) {
  FakePop3& pop = Check({Message("a1", "first", "X-Priority: 1\r\n"), Message("a2", "second")});
  ASSERT_EQ(main.lsvMail.size(), 2u);
  Select({0});
  main.lsvMailDblClick();
  EXPECT_TRUE(main.lsvMail[0].Data->BodyRetrieved);
  EXPECT_EQ(main.lsvMail[0].StateIndex, 5);
  TfrmMsg& window = *main.frmMsg;
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(window.edtMsgFrom, "Ann <ann@example.org>");
  EXPECT_EQ(window.edtMsgTo, "Me <me@example.org>, Bob <bob@example.org>");
  EXPECT_EQ(window.Caption, "Reading: first");
  EXPECT_EQ(window.edtMsgSubject, "first");
  EXPECT_EQ(window.redMsg, (Lines{"line one", "line two"}));
  EXPECT_EQ(window.PriorityImage, 24);
  EXPECT_EQ(std::tie(window.ReadOnly, window.btnSend, window.btnReply),
            std::make_tuple(true, false, true));
  EXPECT_TRUE(Saw("Retrieving message..."));
  EXPECT_FALSE(main.Busy);

  // Shown again without any traffic; the header switch shows the raw lines and back.
  const int connections = pop.Connections();
  window.Visible = false;
  main.lsvMailDblClick();
  EXPECT_EQ(pop.Connections(), connections);
  EXPECT_TRUE(window.Visible);
  window.btnShowHeaderClick();
  EXPECT_EQ(window.redMsg.front(), "Message-ID: <a1@test>");
  window.btnShowHeaderClick();
  EXPECT_EQ(window.redMsg.front(), "line one");

  // Next goes on to the second row; on the last row it shows that row again.
  window.btnNextMessageClick();
  EXPECT_EQ(window.edtMsgSubject, "second");
  window.btnNextMessageClick();
  EXPECT_TRUE(main.lsvMail[1].Selected);
  EXPECT_EQ(window.edtMsgSubject, "second");
  window.btnPrevMessageClick();
  EXPECT_EQ(window.edtMsgSubject, "first");
  // A new message starts with the priority last shown.
  main.btnSendMsgClick();
  EXPECT_EQ(window.PriorityImage, 24);
  EXPECT_FALSE(window.ReadOnly);
}

TEST_F(MailTest, ReadCommandUsesOneSessionPerMailboxAndFindsMovedMessages) {
  FakePop3& a = Serve({Message("a1", "a one"), Message("a2", "a two"), Message("a3", "a three")});
  FakePop3& b = Serve({Message("b1", "b one")});
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), 4u);
  // The view commands before reading: no text yet, headers from the directory.
  Select({0});
  main.redMsg.clear();
  main.mnuViewMessageTextClick();
  EXPECT_TRUE(main.redMsg.empty());
  main.mnuViewMessageHeadersClick();
  EXPECT_EQ(main.redMsg.front(), "Message-ID: <a1@test>");

  // Rows whose numbers no longer match the server still get their own message.
  std::swap(main.lsvMail[0].Data->MessageNumber, main.lsvMail[2].Data->MessageNumber);
  const int before = a.Connections() + b.Connections();
  Select({0, 2, 3});
  main.btnReadMsgClick();
  EXPECT_EQ(a.Connections() + b.Connections(), before + 2);
  EXPECT_EQ(main.lsvMail[0].Data->Message->Subject.str(), "a one");
  EXPECT_EQ(main.lsvMail[2].Data->Message->Subject.str(), "a three");
  EXPECT_EQ(main.lsvMail[3].Data->Message->Subject.str(), "b one");
  EXPECT_FALSE(main.lsvMail[1].Data->BodyRetrieved);
  EXPECT_TRUE(main.frmMsg->Visible);  // the first one read is shown
  EXPECT_EQ(main.frmMsg->edtMsgSubject, "a one");
  main.mnuViewMessageTextClick();
  EXPECT_EQ(main.redMsg, (Lines{"line one", "line two"}));

  // A message gone from the server is reported and the row stays unread.
  main.lsvMail[1].Data->MessageId = "<gone@test>";
  Select({1});
  main.lsvMailDblClick();
  EXPECT_EQ(desktop.Errors, (Lines{"The message is no longer on the server."}));
  EXPECT_FALSE(main.lsvMail[1].Data->BodyRetrieved);
  EXPECT_FALSE(main.Busy);
}

TEST_F(MailTest, TheMessageWindowWaitsWhileTheMainWindowWorks) {
  Check({Message("a1", "first"), Message("a2", "second")});
  Select({0});
  main.lsvMailDblClick();
  TfrmMsg& window = *main.frmMsg;

  // Reading another row (as a rule does) leaves the window's commands on the shown message.
  Select({1});
  main.ReadSelected();
  window.btnShowHeaderClick();
  EXPECT_TRUE(Contains(window.redMsg, "Subject: first"));

  // During a check, Reply and Send neither run nor release the lock.
  bool tried = false;
  desktop.OnPump = [&] {
    if (tried || !main.Busy) return;
    tried = true;
    window.btnReplyClick();
    window.MsgWindowMode = 3;
    window.edtMsgFrom = "me@example.org";
    window.edtMsgTo = "bob@example.org";
    window.btnSendClick();
    EXPECT_TRUE(main.Busy);
  };
  main.CheckMail(true, -1);
  EXPECT_TRUE(tried);
  EXPECT_EQ(window.edtMsgSubject, "first");
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
}

// ---- the message window ----

TEST_F(MailTest, ComposeChecksAddressesAndSendsToEveryRecipientWithAttachmentAndPriority) {
  main.btnSendMsgClick();
  ASSERT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_EQ(desktop.Boxes[0].text,
            "No valid mail box address. You need at least one valid mail address to send "
            "messages.");
  EXPECT_FALSE(main.frmMsg->Visible);

  AddMailbox("127.0.0.1:1", smtp.Address());
  AddMailbox("127.0.0.1:1", smtp.Address()).IsDefault = true;
  main.btnSendMsgClick();
  TfrmMsg& window = *main.frmMsg;
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(window.edtMsgFrom, "Me Myself <me1@example.org>");
  // A list with a bad address is refused and the box names that address.
  const std::pair<std::string, std::string> refused[] = {
      {"@example.org", "@example.org"},  // no "@" after the first character
      {"a@example.org, Mark Jensen", "Mark Jensen"},
  };
  for (const auto& [to, named] : refused) {
    SCOPED_TRACE(to);
    window.edtMsgTo = to;
    window.btnSendClick();
    EXPECT_EQ(desktop.Boxes.back().text, "Invalid address, please check!\n" + named);
    EXPECT_EQ(window.FocusedControl, "edtMsgTo");
    EXPECT_TRUE(window.Visible);
  }
  EXPECT_FALSE(fs::exists(Outbox()));

  { std::ofstream(dir.File("notes.txt")) << "attached bytes"; }
  desktop.FileAnswers = {dir.File("notes.txt")};
  window.btnAttachClick();
  ASSERT_EQ(window.lsvMsgAttach.size(), 1u);
  EXPECT_EQ(window.lsvMsgAttach[0].Size, "14");
  window.edtMsgTo = "Priya Nair <p@example.org>, \"Jensen, Mark\" <m@example.org>; x@example.org";
  window.edtMsgSubject = "Plans";
  window.redMsg = {"Hello all", ".starts with a dot"};
  window.N1LowestPriority1Click(24);
  // A file that cannot be attached any more keeps the window and its text.
  fs::rename(dir.File("notes.txt"), dir.File("moved.txt"));
  window.btnSendClick();
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(desktop.Errors.size(), 1u);
  fs::rename(dir.File("moved.txt"), dir.File("notes.txt"));

  window.btnSendClick();
  EXPECT_FALSE(window.Visible);
  EXPECT_FALSE(main.Busy);
  EXPECT_EQ(Rcpts(smtp), (Lines{"RCPT TO:<p@example.org>", "RCPT TO:<m@example.org>",
                                "RCPT TO:<x@example.org>"}));
  ASSERT_EQ(smtp.Data().size(), 1u);
  for (const std::string part :
       {"From:     Me Myself <me1@example.org>",
        "To:       Priya Nair <p@example.org>,\r\n          \"Jensen, Mark\" <m@example.org>,\r\n"
        "           <x@example.org>\r\n",
        "Subject: Plans", "X-Priority: 1", "X-Mailer: N o r v a", "notes.txt",
        "\r\n..starts with a dot"})
    EXPECT_TRUE(Has(smtp.Data()[0], part)) << part << "\n" << smtp.Data()[0];
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
  EXPECT_EQ(ReadArchive(Sent()).Items.count(kZeroKey), 1u);
  EXPECT_TRUE(Saw("Message sent."));
}

// A reply, from the directory's fields or the retrieved message, answers Reply-To or the
// sender and names the message it answers and its thread; a new message names none. The reply
// goes out with them, a Date and an ID.
TEST_F(MailTest, ReplyQuotesAnswersReplyToAndCarriesTheThread) {
  Check({Message("a1", "Lunch", "Reply-To: list@example.org\r\nReferences: <root@test>\r\n"),
         Message("a2", "Tea")},
        smtp.Address());
  TfrmMsg& window = *main.frmMsg;
  // Not retrieved: the directory's fields and an empty body.
  Select({0});
  main.btnReplyMsgClick();
  EXPECT_EQ(window.edtMsgTo, "list@example.org");
  EXPECT_EQ(window.edtMsgSubject, "re: Lunch");
  EXPECT_TRUE(window.redMsg.empty());
  EXPECT_EQ(window.ReplyFields,
            (Lines{"In-Reply-To: <a1@test>", "References: <root@test> <a1@test>"}));
  main.btnSendMsgClick();
  EXPECT_TRUE(window.ReplyFields.empty());

  Select({1});
  main.lsvMailDblClick();
  window.btnReplyClick();
  EXPECT_EQ(window.edtMsgTo, "Ann <ann@example.org>");
  EXPECT_EQ(window.edtMsgSubject, "re: Tea");
  EXPECT_EQ(window.redMsg, (Lines{"On 05.12.26 09:20, Ann wrote:", "> line one", "> line two"}));
  EXPECT_FALSE(window.ReadOnly);
  EXPECT_EQ(window.ReplyFields, (Lines{"In-Reply-To: <a2@test>", "References: <a2@test>"}));

  // Closing a reply asks; closing a message being read does not.
  desktop.BoxAnswers = {Desktop::mrCancel};
  window.Close();
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(desktop.Boxes.back().text, "Exit message ?");
  window.btnSendClick();
  ASSERT_EQ(smtp.Data().size(), 1u);
  for (const std::string part : {"\r\nIn-Reply-To: <a2@test>\r\nReferences: <a2@test>\r\n",
                                 "\r\nDate: ", "\r\nMessage-ID: <", "@example.org>\r\n"})
    EXPECT_TRUE(Has(smtp.Data()[0], part)) << part << "\n" << smtp.Data()[0];
  main.lsvMailDblClick();
  const size_t boxes = desktop.Boxes.size();
  window.Close();
  EXPECT_FALSE(window.Visible);
  EXPECT_EQ(desktop.Boxes.size(), boxes);
}

// New message, Reply and reading another row each refill the message window: a message being
// written is given up only when the user says so, and an untouched one goes without a question.
TEST_F(MailTest, AMessageBeingWrittenIsDiscardedOnlyWhenTheUserSaysSo) {
  Check({Message("a1", "Lunch"), Message("a2", "Tea")});
  TfrmMsg& window = *main.frmMsg;
  const std::string kAsk = "Discard the message you are writing?";
  struct Case {
    std::string command;
    bool typed;
    Desktop::Result answer;
    bool asked, kept;
  } cases[] = {
      {"new", true, Desktop::mrNo, true, true},     {"new", true, Desktop::mrYes, true, false},
      {"new", false, Desktop::mrNo, false, false},  {"reply", true, Desktop::mrNo, true, true},
      {"reply", true, Desktop::mrYes, true, false}, {"read", true, Desktop::mrNo, true, true},
      {"read", true, Desktop::mrYes, true, false},  {"read", false, Desktop::mrNo, false, false},
      {"book", true, Desktop::mrNo, true, true},    {"book", true, Desktop::mrYes, true, false},
      {"book", false, Desktop::mrNo, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + (c.typed ? " typed" : " untouched"));
    window.MsgWindowMode = 0;
    window.Visible = false;
    main.btnSendMsgClick();
    if (c.typed) window.redMsg = {"half a thought"};
    desktop.Boxes.clear();
    desktop.BoxAnswers = {c.answer};
    Select({1});
    if (c.command == "new") main.btnSendMsgClick();
    if (c.command == "reply") main.btnReplyMsgClick();
    if (c.command == "read") main.lsvMailDblClick();
    if (c.command == "book") {
      main.ComposeTo("Priya <p@example.org>");
      EXPECT_EQ(window.edtMsgTo == "Priya <p@example.org>", !c.kept);
      EXPECT_EQ(window.HoldsUnsentText(), c.kept);  // a chosen entry is not yet a message
    }
    // Asked once, however many steps the command takes.
    EXPECT_EQ(std::count_if(desktop.Boxes.begin(), desktop.Boxes.end(),
                            [&](const auto& box) { return box.text == kAsk; }),
              c.asked ? 1 : 0);
    EXPECT_EQ(window.redMsg == Lines{"half a thought"}, c.kept);
    EXPECT_EQ(window.MsgWindowMode == 3, c.kept || c.command == "new" || c.command == "book");
    EXPECT_TRUE(window.Visible);
    EXPECT_FALSE(main.Busy);
  }
}

TEST_F(MailTest, WindowPlacementIsKeptAndFittedToTheScreen) {
  TfrmMsg& window = *main.frmMsg;
  window.FormCreate();
  EXPECT_EQ(window.Left, 1280 - TfrmMsg::kDesignWidth - 5);
  EXPECT_EQ(window.Height, 1024 - 25);
  window.Left = 1200;  // beyond the right edge
  window.Top = -40;
  window.Width = 500;
  window.MsgWindowMode = 0;
  window.Close();
  window.FormCreate();
  EXPECT_EQ(std::tie(window.Left, window.Top), std::make_tuple(1280 - 500 - 5, 5));
  desktop.ScreenWidth = 400;  // narrower than the window
  window.FormCreate();
  EXPECT_EQ(std::tie(window.Left, window.Width), std::make_tuple(5, 390));
}

TEST_F(MailTest, MainWindowStartsFittedAndKeepsItsLayout) {
  main.pnlMainHeight = 400;
  { std::ofstream(dir.File("a.tma")) << ""; }
  main.FormCreate();  // first start: no Config.QDB, so 70% of the 1280x1024 screen, centred
  EXPECT_EQ(std::tie(main.Left, main.Top, main.Width, main.Height),
            std::make_tuple(192, 154, 896, 716));
  EXPECT_EQ(main.lsvMailHeight, 160);
  EXPECT_EQ(main.lsvMailColumns[2], 7 * 14 + 15);  // "25.25.25 25:25"
  EXPECT_EQ(main.trvFolder, (Lines{"a.tma"}));
  EXPECT_TRUE(main.Timer1Enabled);
  // An archive made during the run is among the folders at once.
  TMemoryStream stream;
  stream.Assign(std::string("Subject: kept\r\n\r\nbody\r\n"));
  main.StoreMessage(main.QDB1, dir.File("b.TMA"), stream);
  EXPECT_EQ(main.trvFolder, (Lines{"a.tma", "b.TMA"}));

  main.Left = 100;
  main.Width = 800;
  main.SplitPercent = 55;
  main.lsvMailColumns = {300, 200, 1, 1, 1};
  EXPECT_TRUE(main.FormCloseQuery());
  desktop.ScreenWidth = 640;
  TfrmMain again{desktop, options};
  again.FormCreate();
  EXPECT_EQ(std::tie(again.Left, again.Width, again.SplitPercent), std::make_tuple(5, 630, 55));
  EXPECT_EQ(again.lsvMailColumns[0], 300);
  EXPECT_EQ(again.lsvMailColumns[4], 7 * 3 + 15);  // fitted again, not restored
}

// ---- the outbox ----

// Whatever the server answers, wherever it goes silent, whichever file fails and whenever the
// user stops, each queued message is sent once, set aside with the reason, kept as a file or
// kept queued; none is lost and none goes twice, save after a failed write of the outbox itself.
// Once the server may have a message, it leaves the outbox whatever ends the run.
TEST_F(MailTest, OutboxSendsEachMessageOnceWhateverTheServerTheFilesOrTheUserDo) {
  enum Outcome { kSent, kSetAside, kQueued, kRunEnds, kCopyKept, kOutboxKept, kStopped, kUnsent };
  // By outcome: left queued and in the sent archive after the run, in the sent archive after
  // the next run.
  const size_t queued[] = {0, 0, 1, 3, 0, 3, 2, 0}, sent[] = {3, 2, 2, 0, 2, 1, 0, 2},
               sentInAll[] = {3, 2, 3, 3, 2, 4, 2, 2};
  const std::string kMaybe = "it may have been delivered, so it is not sent again";
  enum Stop { kNoStop, kAtLastByte, kWhileWaiting };
  struct Case {
    std::string step, reply;  // reply "" drops the connection, "stall" says nothing
    Outcome outcome;
    std::string why;   // in the set-aside copy's X-Norva-Failure line
    int blocks;        // data blocks of "two" the server received over both runs
    std::string file{};  // whose first rename fails; "damaged": $Sent.TMA is no archive
    Stop stop = kNoStop;
  };
  const Case cases[] = {
      {"MAIL", "550 5.7.1 sender refused\r\n", kSetAside, "550 5.7.1 sender refused", 0},
      {"RCPT", "550 5.1.1 no such user\r\n", kSetAside, "550 5.1.1 no such user", 0},
      {"DATA", "554 no\r\n", kSetAside, "554 no", 0},
      {".", "552 too big\r\n", kSetAside, "552 too big", 1},
      {"RCPT", "450 mailbox busy\r\n", kQueued, "", 1},
      {".", "451 local error\r\n", kQueued, "", 2},
      {".", "", kSetAside, kMaybe, 1},
      {".", "stall", kSetAside, kMaybe, 1},
      {".", "late", kSent, "", 1},  // the reply to "." may take longer than the time-out
      {"RCPT", "", kRunEnds, "", 1},
      // A sent archive that cannot be used stops the run before anything goes out; one that
      // fails to take a copy keeps the copy as a file; a refusal "$Failed.TMA" will not take is
      // kept as a file too.
      {"", "", kRunEnds, "", 1, "damaged"},
      {"", "", kCopyKept, "", 1, "$Sent.TMA"},
      {"", "", kOutboxKept, "", 2, "$OutBox.TMA"},
      {"RCPT", "550 5.1.1 no such user\r\n", kUnsent, "550 5.1.1 no such user", 0, "$Failed.TMA"},
      // A stop after the last byte or during the wait for the reply sets it aside and ends the run.
      {".", "stall", kStopped, "the send was stopped", 1, "", kAtLastByte},
      {".", "stall", kStopped, "the send was stopped", 1, "", kWhileWaiting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step + " " + c.reply + " " + c.file + " " + std::to_string(c.stop));
    FakeSmtp server;
    QueueThree(server, c.stop == kNoStop ? 1 : 2);
    const auto queuedSize = fs::file_size(Outbox());
    int transaction = 0;  // the fault hits the first transaction, at its last recipient
    server.On("MAIL", [&](PeerConnection& p, const std::string&) {
      ++transaction;
      p.Send(c.step == "MAIL" && transaction == 1 ? c.reply : "250 OK\r\n");
    });
    Lines blocks;  // taken by the DATA handler below
    if (c.step != "MAIL" && !c.step.empty())
      server.On(c.step, [&](PeerConnection& p, const std::string& arg) {
        if (transaction != 1 || (c.step == "RCPT" && !Has(arg, "p@example.org"))) {
          if (c.step != "DATA") return p.Send("250 OK\r\n"), void();
          std::string block;
          p.Send("354 go\r\n") && p.ReadData(block) && p.Send("250 OK\r\n");
          return blocks.push_back(block);
        }
        if (c.reply.empty()) return p.Close();
        if (c.reply == "stall") return p.Stall(std::chrono::seconds(4));
        if (c.reply == "late") std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        p.Send(c.reply == "late" ? "250 OK\r\n" : c.reply);
      });
    int renames = 0;
    if (c.file == "damaged") std::ofstream(Sent(), std::ios::binary) << "not an archive at all";
    if (c.file.starts_with("$"))
      fileio::SetFaultHook([&](fileio::Op op, const std::string& path) {
        return op == fileio::Op::Rename && path.ends_with(c.file) && ++renames == 1 ? EIO : 0;
      });
    const auto start = std::chrono::steady_clock::now();
    auto lastByte = start;
    desktop.OnPump = [&] {
      const std::string& status = main.StatusBar[4].Text;
      const auto now = std::chrono::steady_clock::now();
      if (lastByte == start && status.starts_with("Sent ") && status.ends_with("(100%)")) {
        lastByte = now;
        if (c.stop == kAtLastByte) main.StatusBarDblClick();
      } else if (c.stop == kWhileWaiting && lastByte != start && !main.msSMTP.Canceled &&
                 now - lastByte > std::chrono::milliseconds(300)) {
        main.StatusBarDblClick();
      }
    };

    const std::string error = testing::What([&] { main.SendOutBox(); });
    fileio::SetFaultHook(nullptr);
    desktop.OnPump = nullptr;
    if (c.file == "damaged") fs::remove(Sent());
    EXPECT_EQ(!error.empty(), c.outcome != kSent);
    if (c.outcome == kSetAside || c.outcome == kQueued || c.outcome == kStopped ||
        c.outcome == kUnsent) {
      EXPECT_TRUE(Has(error, "\"two\" to b@example.org, p@example.org: ")) << error;
    }
    const Archive failed = ReadArchive(Failed());
    const bool setAside = c.outcome == kSetAside || c.outcome == kStopped;
    ASSERT_EQ(failed.Items.size(), setAside ? 1u : 0u);
    std::string copy;
    if (setAside) copy = failed.Items.begin()->second;
    if (c.outcome == kUnsent) {
      EXPECT_TRUE(Has(error, "Unsent 1.eml")) << error;
      copy = testing::ReadFile(dir.File("Unsent 1.eml"));
    }
    if (!c.why.empty()) {
      EXPECT_TRUE(copy.starts_with("X-Norva-Failure: ") && Has(copy, c.why)) << copy;
      EXPECT_TRUE(Has(copy, "Subject: two\r\n")) << copy;
    }
    EXPECT_EQ(ReadArchive(Outbox()).Items.size(), queued[c.outcome]);
    if (setAside || c.outcome == kUnsent) {
      EXPECT_FALSE(ReadArchive(Outbox()).Holds("two"));
    }
    EXPECT_EQ(ReadArchive(Sent()).Items.size(), sent[c.outcome]);
    const std::string unsaved = fs::exists(dir.File("Unsaved sent 1.eml"))
                                    ? testing::ReadFile(dir.File("Unsaved sent 1.eml"))
                                    : "";
    EXPECT_EQ(Has(unsaved, "Subject: two\r\n"), c.outcome == kCopyKept);
    for (const std::string subject : {"one", "two", "three"})
      EXPECT_TRUE(ReadArchive(Outbox()).Holds(subject) || ReadArchive(Sent()).Holds(subject) ||
                  failed.Holds(subject) || Has(unsaved + copy, "Subject: " + subject))
          << subject << " is lost";

    // The next run sends what is queued and nothing that was set aside.
    server.On("MAIL", nullptr);
    if (!c.step.empty()) server.On(c.step, nullptr);
    main.SendOutBox();
    EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
    // Sent messages leave the outbox file itself, not just its index.
    EXPECT_LT(fs::file_size(Outbox()), queuedSize / 3);
    EXPECT_EQ(Arrivals(blocks, server),
              (std::map<std::string, int>{{"one", 1}, {"two", c.blocks}, {"three", 1}}));
    EXPECT_EQ(ReadArchive(Sent()).Items.size(), sentInAll[c.outcome]);
  }
}

// A queued message without a recipient goes to "$Failed.TMA"; the one after it is still sent,
// with the default account as its sender whatever its From line said.
TEST_F(MailTest, AMessageWithoutRecipientMovesAsideAndTheNextIsSent) {
  AddMailbox("127.0.0.1:1", smtp.Address());
  Queue("a@example.org", "first");
  auto nobody = std::make_unique<TmsMessage>();
  nobody->Sender.Address = "someone@else.org";
  nobody->Subject = "nobody to send to";
  Store(Outbox(), std::move(nobody));  // keyed "              1": sent first
  EXPECT_THROW(main.SendOutBox(), Exception);
  EXPECT_TRUE(ReadArchive(Failed()).Holds("nobody to send to"));
  ASSERT_EQ(smtp.Data().size(), 1u);
  EXPECT_TRUE(Has(smtp.Data()[0], "From:     Me Myself <me0@example.org>"));
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
}

TEST_F(MailTest, AnUnsentOutboxDoesNotStopTheCheck) {
  testing::ClosedPort closed;
  Serve({Message("a1", "Question")}, "127.0.0.1:" + std::to_string(closed.Port()));
  Queue("a@example.org", "waiting");
  main.CheckMail(true, -1);
  EXPECT_EQ(main.lsvMail.size(), 1u);
  EXPECT_TRUE(main.StatusBar[4].Text.starts_with("The outbox could not be sent: "))
      << main.StatusBar[4].Text;
  EXPECT_EQ(options.lsvAddress[0]->SeenIds.size(), 1u);
  EXPECT_EQ(ReadArchive(Outbox()).Items.size(), 1u);
}

// ---- archives ----

TEST_F(MailTest, ArchivingRowsOfTwoMailboxesThenBrowsingPrintingAndDeleting) {
  FakePop3& a = Serve({Message("a1", "a one"), Message("a2", "a two", "X-Spam: yes\r\n")});
  const std::string b1 =
      "Message-ID: <b1@test>\r\nFrom: b@example.org\r\nSubject: b one\r\n"
      "Date: 5 Dec 2026 08:00:00 +0000\r\n\r\nbody\r\n";
  FakePop3& b = Serve({b1});
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), 3u);
  const int before = a.Connections() + b.Connections();
  Select({0, 2});
  main.btnArchiveClick();
  EXPECT_EQ(a.Connections() + b.Connections(), before + 2);
  EXPECT_EQ(main.StatusBar[4].Text, "Done");
  Select({0});
  main.btnArchiveClick();  // the same message twice: two items
  Archive archive = ReadArchive(dir.File("Archive.TMA"));
  EXPECT_EQ(archive.Max, 2);
  // Each as the server handed it out.
  EXPECT_EQ(archive.Items[kZeroKey], Message("a1", "a one"));
  EXPECT_EQ(archive.Items[kKey1], b1);

  main.LoadFolders();
  // The check's run of the outbox opened it too.
  EXPECT_EQ(main.trvFolder, (Lines{"$OutBox.TMA", "Archive.TMA"}));
  main.trvFolderIndex = 1;
  const std::string archived = testing::ReadFile(dir.File("Archive.TMA"));
  const auto written = fs::last_write_time(dir.File("Archive.TMA"));
  main.trvFolderDblClick();
  ASSERT_EQ(main.lsvMail.size(), 3u);
  // Viewing only reads the file.
  EXPECT_TRUE(testing::ReadFile(dir.File("Archive.TMA")) == archived);
  EXPECT_EQ(fs::last_write_time(dir.File("Archive.TMA")), written);
  // Space-padded keys sort before the key of zeros.
  EXPECT_EQ(main.lsvMail[0].SubItems, (Lines{"b one", "05.12.26 08:00", "0", "0"}));
  EXPECT_EQ(main.lsvMail[0].StateIndex, 4);

  // Archive rows are never archived again, print without a server, and read at once.
  const int connections = a.Connections() + b.Connections();
  Select({0});
  main.btnArchiveClick();
  EXPECT_EQ(ReadArchive(dir.File("Archive.TMA")).Items.size(), 3u);
  main.btnPrintClick();
  ASSERT_EQ(desktop.Printed.size(), 1u);
  EXPECT_EQ(desktop.Printed[0][5], "Subject:  b one");
  main.lsvMailDblClick();
  EXPECT_EQ(main.frmMsg->edtMsgSubject, "b one");
  EXPECT_EQ(a.Connections() + b.Connections(), connections);

  // Deleting: the spam-marked rows only, then a selected one; the file follows the list.
  main.lsvMail[1].Data->Status = 0;
  main.btnDeleteAllSpamClick();
  ASSERT_EQ(main.lsvMail.size(), 2u);
  EXPECT_EQ(ReadArchive(dir.File("Archive.TMA")).Items.count(kKey2), 0u);
  Select({0});
  main.btnDeleteClick();
  EXPECT_EQ(main.lsvMail.size(), 1u);
  archive = ReadArchive(dir.File("Archive.TMA"));
  EXPECT_EQ(archive.Items.size(), 1u);
  EXPECT_EQ(archive.Items.count(kZeroKey), 1u);
  // Deleting packed the file: its data section holds the one message left and the counter.
  const std::string left = testing::ReadFile(dir.File("Archive.TMA"));
  EXPECT_EQ(left.substr(4, 4), testing::I32(int32_t(archive.Items[kZeroKey].size() + 4)));
  EXPECT_FALSE(main.Busy);
  // The row shown in the message window went: replying to it does nothing.
  EXPECT_EQ(main.CurrentEntry, nullptr);
  main.frmMsg->btnReplyClick();
}

TEST_F(MailTest, UnreadableArchiveItemsAndDatesStillList) {
  {
    TQDB db;
    db.SetFileName(dir.File("Odd.TMA"));
    testing::Add(db, kZeroKey, "Subject: no date\r\nDate: someday\r\n\r\nx\r\n");
    testing::Add(db, kKey1,
                 "Subject: broken\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                 "Content-Transfer-Encoding: base64\r\n\r\n!!!!\r\n");
    db.SetFileName("");
  }
  main.LoadArchive(dir.File("Odd.TMA"));
  ASSERT_EQ(main.lsvMail.size(), 2u);
  EXPECT_EQ(main.lsvMail[1].SubItems[1], "30.12.99 00:00");
  EXPECT_EQ(main.lsvMail[0].SubItems[0], "broken");

  // An item that would expand a thousandfold is listed empty beside the others, and can go.
  std::string block = testing::B({0x40, 0xFF, 0x00});
  for (int k = 0; k < 8; ++k) block += testing::B({0x00, 0x0F, 0xEF, 'r'});
  block = testing::B({int(block.size() + 8), 0}) + block + "llllllll";
  std::string bomb;
  while (bomb.size() < 64 * 1024) bomb += block;
  const std::string good = "Subject: fine\r\n\r\nx\r\n";
  testing::WriteFile(dir.File("Bomb.TMA"),
                     testing::Container(good + bomb, testing::I32(2) +
                                                         testing::Rec(kKey1, 0, int32_t(good.size()), 0) +
                                                         testing::Rec(kZeroKey, int32_t(good.size()),
                                                                      int32_t(bomb.size()), 2)));
  main.LoadArchive(dir.File("Bomb.TMA"));
  ASSERT_EQ(main.lsvMail.size(), 2u);
  EXPECT_EQ(main.lsvMail[0].SubItems[0], "fine");
  EXPECT_EQ(main.lsvMail[1].SubItems[0], "");
  EXPECT_EQ(main.StatusBar[4].Text, "1 message of the archive could not be read completely.");
  Select({1});
  main.btnDeleteClick();
  EXPECT_EQ(ReadArchive(dir.File("Bomb.TMA")).Items.size(), 1u);
}

// ---- rule actions during a check ----

// Rules read, archive and reply during the check; the replies go out at its end. Auto-replies
// answer people only: mail sent by a program (auto-responders, lists, bounces) or without a usable
// sender gets none, and every reply says it is automatic, so two auto-responders cannot answer
// each other for ever.
TEST_F(MailTest, RulesReadArchiveAndAutoReplyToPeopleOnly) {
  const std::string ann = "From: ann@example.org\r\n";
  // Each is sent by a program, as the field in brackets shows; the last has no sender.
  const std::pair<std::string, std::string> unanswered[] = {
      {ann + "Auto-Submitted: auto-replied\r\n", "Auto-Submitted: auto-replied"},
      {ann + "auto-submitted:\r\n  Auto-Generated; x=1\r\n", "Auto-Submitted: Auto-Generated; x=1"},
      {ann + "Precedence: bulk\r\n", "Precedence: bulk"},
      {ann + "PRECEDENCE: Junk\r\n", "Precedence: Junk"},
      {ann + "Precedence: list\r\n", "Precedence: list"},
      {ann + "List-Id: Friends <friends.example.org>\r\n",
       "List-Id: Friends <friends.example.org>"},
      {ann + "Return-Path: < >\r\n", "Return-Path: <>"},
      {"From: MAILER-DAEMON@mx.example.org\r\n", "From: MAILER-DAEMON@mx.example.org"},
      {"From: Mail System <Mailer-Daemon@mx.example.org>\r\n",
       "From: Mailer-Daemon@mx.example.org"},
      {"", ""},
  };
  std::vector<std::string> messages = {
      Message("p1", "Question",
              "Auto-Submitted: No (typed by hand)\r\nPrecedence: first-class\r\n"
              "Return-Path: <ann@example.org>\r\n")};
  std::map<std::string, std::string> why;  // by subject, after "----> No reply: "
  for (const auto& [head, field] : unanswered) {
    const std::string id = "r" + std::to_string(messages.size());
    messages.push_back(Mail(id, head + "Subject: " + id + "\r\n"));
    why[id] = field.empty() ? "the sender has no usable address."
                            : "the message was sent automatically (" + field + ").";
  }
  options.lstTemplate = {{"Thanks", 3}};
  { std::ofstream(dir.File("FN3.txt")) << "Thank you for writing.\r\nI am away.\r\n"; }
  options.lsvRule = {{19, "", 7, ""}, {19, "", 5, "Rules.TMA"}, {19, "", 6, "Thanks"}};
  Check(messages, smtp.Address());

  ASSERT_EQ(main.lsvMail.size(), messages.size());
  EXPECT_EQ(ReadArchive(dir.File("Rules.TMA")).Items.size(), messages.size());
  for (const TListRow& row : main.lsvMail) {
    const MessageListEntry& entry = *row.Data;
    SCOPED_TRACE(entry.MessageId);
    ASSERT_TRUE(entry.BodyRetrieved && entry.Message);
    const std::string subject = entry.Message->Subject.str();
    if (subject != "Question") {
      EXPECT_EQ(entry.AppliedRules.back(), "----> No reply: " + why[subject]);
    }
  }
  EXPECT_EQ(Rcpts(smtp), (Lines{"RCPT TO:<ann@example.org>"}));
  ASSERT_EQ(smtp.Data().size(), 1u);
  const std::string reply = smtp.Data()[0];
  for (const char* part : {"Subject: re: Question", "\r\nAuto-Submitted: auto-replied\r\n",
                           "\r\nIn-Reply-To: <p1@test>\r\nReferences: <p1@test>\r\n",
                           "Thank you for writing.\r\nI am away."})
    EXPECT_TRUE(Has(reply, part)) << part << "\n" << reply;
  const Archive sent = ReadArchive(Sent());
  ASSERT_EQ(sent.Items.count(kZeroKey), 1u);
  EXPECT_TRUE(Has(sent.Items.at(kZeroKey), "To:       Ann <ann@example.org>"))
      << sent.Items.at(kZeroKey);
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());

  // The reply itself, checked by another Norva, gets no reply.
  main.ForgetAccount(*options.lsvAddress[0]);
  options.lsvAddress.clear();
  Check({reply}, smtp.Address());
  ASSERT_EQ(main.lsvMail.size(), 1u);
  EXPECT_EQ(main.lsvMail[0].Data->AppliedRules.back(), "----> No reply: " + why["r1"]);
  EXPECT_EQ(smtp.Data().size(), 1u);
}

// A sender whose decoded From carries line breaks or a NUL never puts a command of its own on
// the SMTP session or a field of its own into the reply; an encoded word is only ever the name.
TEST_F(MailTest, RepliesToForgedSendersSmuggleNothingIntoTheSession) {
  const std::vector<std::string> senders = {
      "=?us-ascii?Q?evil=0D=0ARCPT_TO:<x@y>?= <a@b>",
      "=?us-ascii?Q?Ann=0D=0ABcc:_x@y=0D=0A?= <a@b>",
      "=?us-ascii?Q?Ann=0D=0A=0D=0ARCPT_TO:<x@y>?= <a@b>",
      "=?utf-8?B?IiBSQ1BUIFRPOjx4QHk+IA0K?= <a@b>",  // "\" RCPT TO:<x@y> \r\n"
      "\"Ann <x@y>\" <a@b>",
      // Malformed: whatever address is taken, it goes out on its own line, to one recipient.
      "=?utf-8?B?YUBiDQpSQ1BUIFRPOjx4QHk+?=",  // "a@b\r\nRCPT TO:<x@y>"
      "=?us-ascii?Q?a@b=0ARCPT_TO:<x@y>?=",
      "=?us-ascii?Q?a@b=00RCPT_TO:<x@y>?=",
  };
  const size_t wellFormed = 5;
  std::vector<std::string> messages;
  for (size_t i = 0; i < senders.size(); ++i)
    messages.push_back(
        Mail("f" + std::to_string(i), "From: " + senders[i] + "\r\nSubject: forged\r\n"));
  options.lsvRule = {{19, "", 6, ""}};
  Check(messages, smtp.Address());
  ASSERT_EQ(main.lsvMail.size(), senders.size());
  for (size_t i = 0; i < wellFormed; ++i)
    EXPECT_EQ(main.lsvMail[i].Data->Message->Sender.Address.str(), "a@b") << senders[i];

  size_t toForged = 0;
  for (const std::string& command : smtp.Commands()) {
    toForged += command == "RCPT TO:<x@y>";
    EXPECT_TRUE(command.starts_with("RCPT TO:<") || command.starts_with("HELO ") ||
                command.starts_with("EHLO ") || command == "MAIL FROM:<me0@example.org>" ||
                command == "DATA" || command == "QUIT" || command == "RSET")
        << command;
  }
  EXPECT_GE(smtp.Data().size(), wellFormed);
  EXPECT_EQ(Rcpts(smtp).size(), smtp.Data().size());
  // Only a From that holds "<x@y>" itself, outside any encoded word, is answered at x@y: the
  // last two.
  EXPECT_EQ(toForged, 2u);
  for (const std::string& data : smtp.Data()) {
    const std::string head = data.substr(0, data.find("\r\n\r\n"));
    EXPECT_FALSE(Has(head, "\r\nBcc:") || Has(head, "\r\nRCPT")) << data;
    EXPECT_FALSE(Has(data, std::string(1, '\0')));
  }
}

// Whatever the umask, the files that hold passwords and mail are the user's alone.
TEST_F(MailTest, ConfigurationArchivesAndListsAreCreatedForTheOwnerOnly) {
  const mode_t old = ::umask(0);
  AddMailbox("127.0.0.1:1", smtp.Address());
  options.Save();
  std::string error;
  const bool listed = AddCheckList(options, "Friends", error);
  Queue("a@example.org", "queued");
  main.SendOutBox();
  auto kept = std::make_unique<TmsMessage>();
  kept->Subject = "kept";
  Store(dir.File("Archive.TMA"), std::move(kept));
  main.FormCloseQuery();
  ::umask(old);
  ASSERT_TRUE(listed) << error;
  Lines files;
  for (const auto& file : fs::directory_iterator(dir.Path())) {
    files.push_back(file.path().filename());
    EXPECT_EQ(file.status().permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << file.path();
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (Lines{"$OutBox.TMA", "$Sent.TMA", "Archive.TMA", "CL1.txt", "Config.QDB"}));
}

// A server that refuses the login, even one that repeats what it was sent, never brings a
// password into a status text, an error or a message box.
TEST_F(MailTest, RefusedLoginsShowNoPassword) {
  const std::string password = "Pw-q7Zx!42", smtpPassword = "Sm-9kLp?77";
  FakePop3& pop = Serve({Message("a1", "x")}, smtp.Address());
  pop.Reply("PASS", "-ERR [AUTH] Authentication failed.\r\n");
  smtp.Reply("MAIL", "530 5.7.0 Authentication required\r\n");
  MailboxAccount& account = *options.lsvAddress.back();
  account.Password = password;
  account.SMTPAuth = true;
  account.SMTPPassword = smtpPassword;
  account.ApplyToClient();
  Queue("b@example.org", "held");

  main.CheckMail(true, -1);
  Lines texts = {testing::What([&] { main.SendOutBox(); }),
                 testing::What([&] { Compose("c@example.org").btnSendClick(); })};
  const Lines commands = pop.Commands();
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.starts_with("PASS"); }));
  EXPECT_GE(smtp.Connections(), 1);
  texts.insert(texts.end(), statuses.begin(), statuses.end());
  texts.insert(texts.end(), desktop.Errors.begin(), desktop.Errors.end());
  for (const auto& box : desktop.Boxes) texts.push_back(box.text);
  for (const auto& panel : main.StatusBar) texts.push_back(panel.Text);
  texts.push_back(main.LastErrorText);
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                          [](const auto& t) { return Has(t, "Authentication"); }));
  for (const std::string& text : texts)
    EXPECT_FALSE(Has(text, password) || Has(text, smtpPassword)) << text;
}

}  // namespace
}  // namespace norva
