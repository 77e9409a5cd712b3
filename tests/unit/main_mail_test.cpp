// Reading, the message window, the outbox and the archives end to end: mailboxes on loopback fake
// POP3 servers, a fake SMTP server, real archive files and the fake desktop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "app/Main.h"
#include "app/Msg.h"
#include "config/ListsPage.h"
#include "store/FileIO.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::FakePop3;
using testing::FakeSmtp;
using testing::PeerConnection;

std::string Message(const std::string& id, const std::string& subject,
                    const std::string& extra = "") {
  return "Message-ID: <" + id + "@test>\r\nFrom: Ann <ann@example.org>\r\n" +
         "To: Me <me@example.org>, Bob <bob@example.org>\r\nSubject: " + subject +
         "\r\nDate: Sat, 5 Dec 2026 10:20:30 +0100\r\n" + extra + "\r\nline one\r\nline two\r\n";
}

const std::string kZeroKey(15, '0');
const std::string kKey1 = std::string(14, ' ') + "1";
const std::string kKey2 = std::string(14, ' ') + "2";

// An archive's items by key, and its "Max" (-1 when absent); empty for a missing file.
struct Archive {
  std::map<std::string, std::string> Items;
  int32_t Max = -1;
};
Archive ReadArchive(const std::string& path) {
  Archive archive;
  if (!std::filesystem::exists(path)) return archive;
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

  MailboxAccount& AddMailbox(const std::string& pop3, const std::string& smtp = "") {
    auto account = std::make_unique<MailboxAccount>();
    account->Address = "me" + std::to_string(options.lsvAddress.size()) + "@example.org";
    account->Account = "user";
    account->Password = "secret";
    account->POP3Server = pop3;
    account->SMTPServer = smtp;
    account->TimeOut = 5;
    main.BindClient(*account->Client);
    options.lsvAddress.push_back(std::move(account));
    return *options.lsvAddress.back();
  }

  // Selects exactly the given rows.
  void Select(std::initializer_list<size_t> rows) {
    for (auto& row : main.lsvMail) row.Selected = false;
    for (size_t i : rows) main.lsvMail.at(i).Selected = true;
  }

  // Queues a message in the outbox as the message window does.
  void Queue(const std::string& to, const std::string& subject) {
    main.frmMsg->MsgWindowMode = 3;
    main.PrepareMsg();
    main.frmMsg->edtMsgTo = to;
    main.frmMsg->edtMsgSubject = subject;
    MessageListEntry entry;
    entry.Message = std::make_unique<TmsMessage>();
    entry.BodyRetrieved = true;
    main.frmMsg->BuildMessage(*entry.Message);
    main.ArchiveMsg(Outbox(), entry, false);
  }

  std::string Outbox() const { return dir.File("$OutBox.TMA"); }
  std::string Sent() const { return dir.File("$Sent.TMA"); }
  bool Saw(const std::string& status) const {
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
  }

  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  std::vector<std::string> statuses;
};

// ---- reading ----

TEST_F(MailTest, DoubleClickRetrievesOnceAndShowsTheMessageForReading) {
  FakePop3 pop({Message("a1", "first", "X-Priority: 1\r\n"), Message("a2", "second")});
  AddMailbox(pop.Address());
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), 2u);

  Select({0});
  main.lsvMailDblClick();
  EXPECT_TRUE(main.lsvMail[0].Data->BodyRetrieved);
  EXPECT_EQ(main.lsvMail[0].StateIndex, 5);
  TfrmMsg& window = *main.frmMsg;
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(window.MsgWindowMode, 1);
  EXPECT_EQ(window.edtMsgFrom, "Ann ann@example.org");
  EXPECT_EQ(window.edtMsgTo, "Me me@example.org");  // the first recipient only
  EXPECT_EQ(window.edtMsgSubject, "first");
  EXPECT_EQ(window.redMsg, (TStringList{"line one", "line two"}));
  EXPECT_EQ(window.PriorityImage, 24);
  EXPECT_TRUE(window.ReadOnly);
  EXPECT_FALSE(window.btnSend);
  EXPECT_TRUE(window.btnReply);
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
  FakePop3 a({Message("a1", "a one"), Message("a2", "a two"), Message("a3", "a three")});
  FakePop3 b({Message("b1", "b one")});
  AddMailbox(a.Address());
  AddMailbox(b.Address());
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
  EXPECT_FALSE(main.frmMsg->Visible);  // read, not shown
  main.mnuViewMessageTextClick();
  EXPECT_EQ(main.redMsg, (TStringList{"line one", "line two"}));

  // A message gone from the server is reported and the row stays unread.
  main.lsvMail[1].Data->MessageId = "<gone@test>";
  Select({1});
  main.lsvMailDblClick();
  ASSERT_EQ(desktop.Errors.size(), 1u);
  EXPECT_EQ(desktop.Errors[0], "The message is no longer on the server.");
  EXPECT_FALSE(main.lsvMail[1].Data->BodyRetrieved);
  EXPECT_FALSE(main.Busy);
}

TEST_F(MailTest, TheMessageWindowWaitsWhileTheMainWindowWorks) {
  FakePop3 pop({Message("a1", "first"), Message("a2", "second")});
  AddMailbox(pop.Address());
  main.CheckMail(true, -1);
  Select({0});
  main.lsvMailDblClick();
  TfrmMsg& window = *main.frmMsg;

  // Reading another row (as a rule does) leaves the window's commands on the shown message.
  Select({1});
  main.btnReadMsgClick();
  window.btnShowHeaderClick();
  EXPECT_NE(std::find(window.redMsg.begin(), window.redMsg.end(), "Subject: first"),
            window.redMsg.end());

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

TEST_F(MailTest, ComposeChecksAddressesAndSendsWithAttachmentAndPriority) {
  main.btnSendMsgClick();
  ASSERT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_EQ(desktop.Boxes[0].text,
            "No valid mail box address. You need at least one valid mail address to send "
            "messages.");
  EXPECT_FALSE(main.frmMsg->Visible);

  FakeSmtp smtp;
  AddMailbox("127.0.0.1:1", smtp.Address());
  AddMailbox("127.0.0.1:1", smtp.Address()).IsDefault = true;
  main.btnSendMsgClick();
  TfrmMsg& window = *main.frmMsg;
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(window.edtMsgFrom, "Me Myself me1@example.org");
  window.edtMsgTo = "@example.org";  // no "@" after the first character: refused
  window.btnSendClick();
  EXPECT_EQ(desktop.Boxes.back().text, "Invalid address, please check!\n@example.org");
  EXPECT_EQ(window.FocusedControl, "edtMsgTo");
  EXPECT_TRUE(window.Visible);
  EXPECT_FALSE(std::filesystem::exists(Outbox()));

  // A file that cannot be attached any more keeps the window and its text.
  { std::ofstream(dir.File("notes.txt")) << "attached bytes"; }
  desktop.FileAnswers = {dir.File("notes.txt")};
  window.btnAttachClick();
  ASSERT_EQ(window.lsvMsgAttach.size(), 1u);
  EXPECT_EQ(window.lsvMsgAttach[0].Size, "14");
  window.edtMsgTo = "\"Bob B\" <bob@example.org>";
  window.edtMsgSubject = "Plans";
  window.redMsg = {"Hello Bob", ".starts with a dot"};
  window.N1LowestPriority1Click(24);
  std::filesystem::rename(dir.File("notes.txt"), dir.File("moved.txt"));
  window.btnSendClick();
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(window.MsgWindowMode, 3);
  EXPECT_EQ(desktop.Errors.size(), 1u);
  std::filesystem::rename(dir.File("moved.txt"), dir.File("notes.txt"));

  window.btnSendClick();
  EXPECT_FALSE(window.Visible);
  EXPECT_EQ(window.MsgWindowMode, 0);
  EXPECT_FALSE(main.Busy);
  ASSERT_EQ(smtp.Data().size(), 1u);
  const std::string data = smtp.Data()[0];
  EXPECT_NE(data.find("From:     Me Myself <me1@example.org>"), std::string::npos) << data;
  EXPECT_NE(data.find("Subject: Plans"), std::string::npos);
  EXPECT_NE(data.find("X-Priority: 1"), std::string::npos);
  EXPECT_NE(data.find("X-Mailer: N o r v a"), std::string::npos);
  EXPECT_NE(data.find("notes.txt"), std::string::npos);
  EXPECT_NE(data.find("\r\n..starts with a dot"), std::string::npos);
  const auto commands = smtp.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "RCPT TO:<bob@example.org>"),
            commands.end());
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
  EXPECT_EQ(ReadArchive(Sent()).Items.count(kZeroKey), 1u);
  EXPECT_TRUE(Saw("Message sent."));
}

TEST_F(MailTest, ReplyQuotesTheMessageAndAnswersReplyTo) {
  FakePop3 pop({Message("a1", "Lunch", "Reply-To: list@example.org\r\n"), Message("a2", "Tea")});
  AddMailbox(pop.Address());
  main.CheckMail(true, -1);
  TfrmMsg& window = *main.frmMsg;

  // Not retrieved: the directory's fields and an empty body.
  Select({0});
  main.btnReplyMsgClick();
  EXPECT_EQ(window.MsgWindowMode, 2);
  EXPECT_EQ(window.edtMsgTo, "list@example.org");
  EXPECT_EQ(window.edtMsgSubject, "re: Lunch");
  EXPECT_TRUE(window.redMsg.empty());

  Select({1});
  main.lsvMailDblClick();
  window.btnReplyClick();
  EXPECT_EQ(window.edtMsgTo, "Ann <ann@example.org>");
  EXPECT_EQ(window.edtMsgSubject, "re: Tea");
  EXPECT_EQ(window.redMsg, (TStringList{"> line one", "> line two"}));
  EXPECT_FALSE(window.ReadOnly);

  // Closing a reply asks; closing a message being read does not.
  desktop.BoxAnswers = {Desktop::mrCancel};
  window.Close();
  EXPECT_TRUE(window.Visible);
  EXPECT_EQ(desktop.Boxes.back().text, "Exit message ?");
  EXPECT_EQ(desktop.Boxes.back().caption, "Confirm exit");
  const size_t boxes = desktop.Boxes.size();
  window.MsgWindowMode = 1;
  window.Close();
  EXPECT_FALSE(window.Visible);
  EXPECT_EQ(desktop.Boxes.size(), boxes);
}

// New message, Reply and reading another row each refill the message window: a message being
// written is given up only when the user says so, and an untouched one goes without a question.
TEST_F(MailTest, AMessageBeingWrittenIsDiscardedOnlyWhenTheUserSaysSo) {
  FakePop3 pop({Message("a1", "Lunch"), Message("a2", "Tea")});
  AddMailbox(pop.Address());
  main.CheckMail(true, -1);
  TfrmMsg& window = *main.frmMsg;
  const std::string kAsk = "Discard the message you are writing?";
  struct Case {
    const char* command;
    bool typed;
    Desktop::Result answer;
    bool asked, kept;
  } cases[] = {
      {"new", true, Desktop::mrNo, true, true},     {"new", true, Desktop::mrYes, true, false},
      {"new", false, Desktop::mrNo, false, false},  {"reply", true, Desktop::mrNo, true, true},
      {"reply", true, Desktop::mrYes, true, false}, {"read", true, Desktop::mrNo, true, true},
      {"read", true, Desktop::mrYes, true, false},  {"read", false, Desktop::mrNo, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + (c.typed ? " typed" : " untouched"));
    window.MsgWindowMode = 0;
    window.Visible = false;
    main.btnSendMsgClick();
    if (c.typed) window.redMsg = {"half a thought"};
    desktop.Boxes.clear();
    desktop.BoxAnswers = {c.answer};
    Select({1});
    const std::string command = c.command;
    if (command == "new") main.btnSendMsgClick();
    if (command == "reply") main.btnReplyMsgClick();
    if (command == "read") main.lsvMailDblClick();
    const size_t asked = size_t(std::count_if(desktop.Boxes.begin(), desktop.Boxes.end(),
                                              [&](const auto& box) { return box.text == kAsk; }));
    EXPECT_EQ(asked, c.asked ? 1u : 0u);  // asked once, however many steps the command takes
    EXPECT_EQ(window.redMsg == TStringList{"half a thought"}, c.kept);
    EXPECT_EQ(window.MsgWindowMode == 3, c.kept || command == "new");
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
  EXPECT_EQ(window.Left, 1280 - 500 - 5);
  EXPECT_EQ(window.Top, 5);
  desktop.ScreenWidth = 400;  // narrower than the window
  window.FormCreate();
  EXPECT_EQ(window.Left, 5);
  EXPECT_EQ(window.Width, 390);
}

TEST_F(MailTest, MainWindowStartsFittedAndKeepsItsLayout) {
  main.pnlMainHeight = 400;
  { std::ofstream(dir.File("a.tma")) << ""; }
  main.FormCreate();  // first start: no Config.QDB
  EXPECT_EQ(main.Caption, " N o r v a  -  beta2 (build 44)");
  EXPECT_EQ(std::tie(main.Left, main.Top, main.Width, main.Height),
            std::make_tuple(5, 5, TfrmMain::kDesignWidth, TfrmMain::kDesignHeight));
  EXPECT_EQ(main.lsvMailHeight, 160);
  EXPECT_EQ(main.lsvMailColumns[2], 7 * 14 + 15);  // "25.25.25 25:25"
  EXPECT_EQ(main.trvFolder, (TStringList{"a.tma"}));
  EXPECT_TRUE(main.Timer1Enabled);

  main.Left = 100;
  main.Width = 800;
  main.SplitPercent = 55;
  main.lsvMailColumns = {300, 200, 1, 1, 1};
  EXPECT_TRUE(main.FormCloseQuery());
  desktop.ScreenWidth = 640;
  TfrmMain again{desktop, options};
  again.FormCreate();
  EXPECT_EQ(again.Left, 5);
  EXPECT_EQ(again.Width, 630);
  EXPECT_EQ(again.SplitPercent, 55);
  EXPECT_EQ(again.lsvMailColumns[0], 300);
  EXPECT_EQ(again.lsvMailColumns[4], 7 * 3 + 15);  // fitted again, not restored
}

// ---- the outbox ----

// Whatever the server answers, and wherever it goes silent, each queued message is sent once,
// set aside with the reason, or kept queued; none is lost and none goes twice.
TEST_F(MailTest, OutboxSendsEachMessageOnceWhateverTheServerSays) {
  enum Outcome { kSent, kSetAside, kQueued, kRunEnds };
  struct Case {
    std::string step, reply;  // reply "" drops the connection, "stall" says nothing
    Outcome outcome;
    std::string why;  // in the set-aside copy's X-Norva-Failure line
    int blocks;       // data blocks of "two" the server received over both runs
  };
  const Case cases[] = {
      {"MAIL", "550 5.7.1 sender refused\r\n", kSetAside, "550 5.7.1 sender refused", 0},
      {"RCPT", "550 5.1.1 no such user\r\n", kSetAside, "550 5.1.1 no such user", 0},
      {"DATA", "554 no\r\n", kSetAside, "554 no", 0},
      {".", "552 too big\r\n", kSetAside, "552 too big", 1},
      {"RCPT", "450 mailbox busy\r\n", kQueued, "", 1},
      {".", "451 local error\r\n", kQueued, "", 2},
      {".", "", kSetAside, "it may have been delivered, so it is not sent again", 1},
      {".", "stall", kSetAside, "it may have been delivered, so it is not sent again", 1},
      {".", "late", kSent, "", 1},  // the reply to "." may take longer than the time-out
      {"RCPT", "", kRunEnds, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step + " " + c.reply);
    for (const char* file : {"$OutBox.TMA", "$Sent.TMA", "$Failed.TMA"})
      std::filesystem::remove(dir.File(file));
    options.lsvAddress.clear();
    FakeSmtp smtp;
    AddMailbox("127.0.0.1:1", smtp.Address()).TimeOut = 1;
    main.msSMTP.DataReplyWait = 2;
    // Store order puts the space-padded keys first: "two" (to two people) goes first.
    Queue("a@example.org", "one");
    Queue("b@example.org; \"Nair, Priya\" <p@example.org>", "two");
    Queue("c@example.org", "three");
    int transaction = 0;  // the fault hits the first transaction, at its last recipient
    smtp.On("MAIL", [&](PeerConnection& p, const std::string&) {
      ++transaction;
      p.Send(c.step == "MAIL" && transaction == 1 ? c.reply : "250 OK\r\n");
    });
    std::vector<std::string> blocks;  // taken by the DATA handler below
    if (c.step != "MAIL")
      smtp.On(c.step, [&](PeerConnection& p, const std::string& arg) {
        if (transaction != 1 ||
            (c.step == "RCPT" && arg.find("p@example.org") == std::string::npos)) {
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
    EXPECT_EQ(c.outcome == kSent, [&] {
      try {
        main.SendOutBox();
        return true;
      } catch (const std::exception& e) {
        if (c.outcome != kRunEnds)
          EXPECT_NE(std::string(e.what()).find("\"two\" to b@example.org, p@example.org"),
                    std::string::npos)
              << e.what();
        return false;
      }
    }());
    const Archive failed = ReadArchive(dir.File("$Failed.TMA"));
    ASSERT_EQ(failed.Items.size(), c.outcome == kSetAside ? 1u : 0u);
    if (c.outcome == kSetAside) {
      const std::string& copy = failed.Items.begin()->second;
      EXPECT_TRUE(copy.starts_with("X-Norva-Failure: ")) << copy;
      EXPECT_NE(copy.find(c.why), std::string::npos) << copy;
      EXPECT_NE(copy.find("Subject: two"), std::string::npos);
    }
    EXPECT_EQ(ReadArchive(Outbox()).Items.size(), c.outcome == kQueued    ? 1u
                                                  : c.outcome == kRunEnds ? 3u
                                                                          : 0u);
    EXPECT_EQ(ReadArchive(Sent()).Items.size(), c.outcome == kRunEnds ? 0u
                                                : c.outcome == kSent  ? 3u
                                                                      : 2u);

    // The next run sends what is queued and nothing that was set aside.
    smtp.On("MAIL", nullptr);
    smtp.On(c.step, nullptr);
    main.SendOutBox();
    EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
    std::map<std::string, int> arrived;
    for (const std::string& data : smtp.Data()) blocks.push_back(data);
    for (const std::string& data : blocks)
      for (const char* subject : {"one", "two", "three"})
        if (data.find(std::string("Subject: ") + subject + "\r\n") != std::string::npos)
          ++arrived[subject];
    EXPECT_EQ(arrived["one"], 1);
    EXPECT_EQ(arrived["three"], 1);
    EXPECT_EQ(arrived["two"], c.blocks);
    EXPECT_EQ(ReadArchive(Sent()).Items.size(), c.outcome == kSetAside ? 2u : 3u);
  }
}

// Both recipients of a list are in the envelope and in the To line.
TEST_F(MailTest, EveryAddressOfTheToListIsARecipient) {
  FakeSmtp smtp;
  AddMailbox("127.0.0.1:1", smtp.Address());
  Queue("Priya Nair <p@example.org>, \"Jensen, Mark\" <m@example.org>; x@example.org", "all");
  main.SendOutBox();
  std::vector<std::string> rcpt;
  for (const std::string& command : smtp.Commands())
    if (command.starts_with("RCPT")) rcpt.push_back(command);
  EXPECT_EQ(rcpt, (std::vector<std::string>{"RCPT TO:<p@example.org>", "RCPT TO:<m@example.org>",
                                            "RCPT TO:<x@example.org>"}));
  ASSERT_EQ(smtp.Data().size(), 1u);
  EXPECT_NE(smtp.Data()[0].find("To:       Priya Nair <p@example.org>,\r\n"
                                "          \"Jensen, Mark\" <m@example.org>,\r\n"
                                "           <x@example.org>\r\n"),
            std::string::npos)
      << smtp.Data()[0];

  // A list with one bad address is not queued, and the box names the address.
  main.frmMsg->MsgWindowMode = 3;
  main.PrepareMsg();
  main.frmMsg->edtMsgTo = "a@example.org, Mark Jensen";
  EXPECT_FALSE(main.frmMsg->CheckAddress2());
  EXPECT_EQ(desktop.Boxes.back().text, "Invalid address, please check!\nMark Jensen");
}

TEST_F(MailTest, UnsendableMessagesMoveAsideAndRepliesNeedASender) {
  FakeSmtp smtp;
  FakePop3 pop({"Message-ID: <x@test>\r\nSubject: no sender\r\n\r\nbody\r\n"});
  AddMailbox(pop.Address(), smtp.Address());
  options.lsvRule = {{19, "", 6, "none"}};
  main.CheckMail(true, -1);
  EXPECT_EQ(main.lsvMail[0].Data->AppliedRules.back(),
            "----> No reply: the sender has no usable address.");
  EXPECT_FALSE(std::filesystem::exists(Sent()));

  // A queued message without a recipient goes to "$Failed.TMA"; the one after it is sent, with
  // the default account as its sender whatever its From line said.
  Queue("a@example.org", "first");
  {
    MessageListEntry entry;
    entry.Message = std::make_unique<TmsMessage>();
    entry.Message->Sender.Address = "someone@else.org";
    entry.Message->Subject = "nobody to send to";
    entry.BodyRetrieved = true;
    main.ArchiveMsg(Outbox(), entry, false);  // keyed "              1": sent first
  }
  EXPECT_THROW(main.SendOutBox(), Exception);
  EXPECT_EQ(ReadArchive(dir.File("$Failed.TMA")).Items.size(), 1u);
  ASSERT_EQ(smtp.Data().size(), 1u);
  EXPECT_NE(smtp.Data()[0].find("From:     Me Myself <me0@example.org>"), std::string::npos);
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
}

// A sent archive that cannot be used stops the run before anything goes out; one that fails
// to take a copy keeps the copy as a file; either way each message is sent once. A failure to
// write the outbox loses nothing.
TEST_F(MailTest, OutboxFileFaultsNeverSendTwiceOrLose) {
  const auto holds = [](const Archive& a, const std::string& subject) {
    return std::any_of(a.Items.begin(), a.Items.end(), [&](const auto& item) {
      return item.second.find("Subject: " + subject) != std::string::npos;
    });
  };
  for (const std::string fault : {"damaged", "sent archive", "outbox"}) {
    SCOPED_TRACE(fault);
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
      std::filesystem::remove_all(entry.path());
    options.lsvAddress.clear();
    FakeSmtp smtp;
    AddMailbox("127.0.0.1:1", smtp.Address());
    Queue("a@example.org", "one");
    Queue("b@example.org", "two");
    int seen = 0;
    if (fault == "damaged") {
      std::ofstream(Sent(), std::ios::binary) << "not an archive at all";
    } else {
      const std::string target = fault == "outbox" ? "$OutBox.TMA" : "$Sent.TMA";
      fileio::SetFaultHook([&, target](fileio::Op op, const std::string& path) {
        return op == fileio::Op::Rename && path.ends_with(target) && ++seen == 1 ? EIO : 0;
      });
    }
    EXPECT_ANY_THROW(main.SendOutBox());
    fileio::SetFaultHook(nullptr);
    EXPECT_EQ(smtp.Data().size(), fault == "damaged" ? 0u : fault == "outbox" ? 1u : 2u);
    for (const char* subject : {"one", "two"})
      EXPECT_TRUE(holds(ReadArchive(Outbox()), subject) || holds(ReadArchive(Sent()), subject) ||
                  std::filesystem::exists(dir.File("Unsaved sent 1.eml")))
          << subject;
    if (fault == "sent archive") {
      TMemoryStream unsaved;
      unsaved.LoadFromFile(dir.File("Unsaved sent 1.eml"));
      EXPECT_NE(unsaved.Bytes().find("Subject: two"), std::string::npos);
      EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
    }
    if (fault == "damaged") std::filesystem::remove(Sent());
    main.SendOutBox();
    EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
    // A failed outbox write is the one case where a message may go again.
    EXPECT_EQ(smtp.Data().size(), fault == "outbox" ? 3u : 2u);
  }
}

// Sent messages leave the outbox file itself, not just its index.
TEST_F(MailTest, TheOutboxFileIsPackedAfterEveryRun) {
  FakeSmtp smtp;
  AddMailbox("127.0.0.1:1", smtp.Address());
  main.frmMsg->MsgWindowMode = 3;
  main.PrepareMsg();
  main.frmMsg->edtMsgTo = "a@example.org";
  main.frmMsg->edtMsgSubject = "big";
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string line;
    while (line.size() < 60) line += "0123456789abcdef"[random() % 16];
    main.frmMsg->redMsg.push_back(line);
  }
  MessageListEntry entry;
  entry.Message = std::make_unique<TmsMessage>();
  entry.BodyRetrieved = true;
  main.frmMsg->BuildMessage(*entry.Message);
  main.ArchiveMsg(Outbox(), entry, false);
  EXPECT_GT(std::filesystem::file_size(Outbox()), 200000u);
  main.SendOutBox();
  EXPECT_LT(std::filesystem::file_size(Outbox()), 4096u);
  EXPECT_EQ(ReadArchive(Sent()).Items.size(), 1u);
}

// ---- archives ----

TEST_F(MailTest, ArchivingRowsOfTwoMailboxesThenBrowsingPrintingAndDeleting) {
  FakePop3 a({Message("a1", "a one"), Message("a2", "a two", "X-Spam: yes\r\n")});
  FakePop3 b(
      {"Message-ID: <b1@test>\r\nFrom: b@example.org\r\nSubject: b one\r\n"
       "Date: 5 Dec 2026 08:00:00 +0000\r\n\r\nbody\r\n"});
  AddMailbox(a.Address());
  AddMailbox(b.Address());
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
  EXPECT_NE(archive.Items[kZeroKey].find("Subject: a one"), std::string::npos);
  EXPECT_NE(archive.Items[kKey1].find("Subject: b one"), std::string::npos);

  main.LoadFolders();
  // The check's run of the outbox opened it too.
  EXPECT_EQ(main.trvFolder, (TStringList{"$OutBox.TMA", "Archive.TMA"}));
  main.trvFolderIndex = 1;
  main.trvFolderDblClick();
  EXPECT_TRUE(main.ArchiveView);
  ASSERT_EQ(main.lsvMail.size(), 3u);
  // Space-padded keys sort before the key of zeros.
  EXPECT_EQ(main.lsvMail[0].SubItems, (TStringList{"b one", "05.12.26 08:00", "0", "0"}));
  EXPECT_EQ(main.lsvMail[0].StateIndex, 4);
  EXPECT_EQ(main.lsvMail[2].Data->MessageId, kZeroKey);
  EXPECT_TRUE(main.lsvMail[2].Data->FromArchive);

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
}

// ---- rule actions during a check ----

TEST_F(MailTest, RulesReadArchiveAndReplyWithATemplateThatIsSentAtTheEnd) {
  FakeSmtp smtp;
  FakePop3 pop({Message("a1", "Question")});
  AddMailbox(pop.Address(), smtp.Address());
  options.lstTemplate = {{"Thanks", 3}};
  { std::ofstream(dir.File("FN3.txt")) << "Thank you for writing.\r\nI am away.\r\n"; }
  options.lsvRule = {{19, "", 7, ""}, {19, "", 5, "Rules.TMA"}, {19, "", 6, "Thanks"}};
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), 1u);
  EXPECT_TRUE(main.lsvMail[0].Data->BodyRetrieved);
  EXPECT_EQ(ReadArchive(dir.File("Rules.TMA")).Items.size(), 1u);

  ASSERT_EQ(smtp.Data().size(), 1u);
  const std::string reply = smtp.Data()[0];
  EXPECT_NE(reply.find("Subject: re: Question"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Thank you for writing.\r\nI am away."), std::string::npos);
  const auto commands = smtp.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "RCPT TO:<ann@example.org>"),
            commands.end());
  const Archive sent = ReadArchive(Sent());
  ASSERT_EQ(sent.Items.count(kZeroKey), 1u);
  EXPECT_NE(sent.Items.at(kZeroKey).find("To:       Ann <ann@example.org>"), std::string::npos)
      << sent.Items.at(kZeroKey);
  EXPECT_TRUE(ReadArchive(Outbox()).Items.empty());
}

// Auto-replies answer people only: mail sent by a program (auto-responders, lists, bounces) gets
// no reply, and every reply says it is automatic, so two auto-responders cannot answer each
// other for ever.
TEST_F(MailTest, AutoRepliesAnswerPeopleOnlyAndSayTheyAreAutomatic) {
  auto from = [](const std::string& id, const std::string& sender, const std::string& extra) {
    return "Message-ID: <" + id + "@test>\r\nFrom: " + sender + "\r\nSubject: " + id + "\r\n" +
           extra + "\r\nbody\r\n";
  };
  const std::vector<std::pair<std::string, std::string>> automatic = {
      {from("r1", "ann@example.org", "Auto-Submitted: auto-replied\r\n"),
       "Auto-Submitted: auto-replied"},
      {from("r2", "ann@example.org", "auto-submitted:\r\n  Auto-Generated; x=1\r\n"),
       "Auto-Submitted: Auto-Generated; x=1"},
      {from("r3", "ann@example.org", "Precedence: bulk\r\n"), "Precedence: bulk"},
      {from("r4", "ann@example.org", "PRECEDENCE: Junk\r\n"), "Precedence: Junk"},
      {from("r5", "ann@example.org", "Precedence: list\r\n"), "Precedence: list"},
      {from("r6", "ann@example.org", "List-Id: Friends <friends.example.org>\r\n"),
       "List-Id: Friends <friends.example.org>"},
      {from("r7", "ann@example.org", "Return-Path: < >\r\n"), "Return-Path: <>"},
      {from("r8", "MAILER-DAEMON@mx.example.org", ""), "From: MAILER-DAEMON@mx.example.org"},
      {from("r9", "Mail System <Mailer-Daemon@mx.example.org>", ""),
       "From: Mailer-Daemon@mx.example.org"},
  };
  std::vector<std::string> messages = {
      Message("p1", "Question",
              "Auto-Submitted: No (typed by hand)\r\nPrecedence: first-class\r\n"
              "Return-Path: <ann@example.org>\r\n")};
  for (const auto& [message, why] : automatic) messages.push_back(message);
  FakeSmtp smtp;
  FakePop3 pop(messages);
  AddMailbox(pop.Address(), smtp.Address());
  options.lstTemplate = {{"Away", 3}};
  { std::ofstream(dir.File("FN3.txt")) << "I am away.\r\n"; }
  options.lsvRule = {{19, "", 6, "Away"}};
  main.CheckMail(true, -1);

  ASSERT_EQ(main.lsvMail.size(), messages.size());
  for (const TListRow& row : main.lsvMail) {
    const MessageListEntry& entry = *row.Data;
    ASSERT_TRUE(entry.Message) << entry.MessageId;
    const std::string subject = entry.Message->Subject.str();
    if (subject == "Question") {
      EXPECT_EQ(entry.AppliedRules.size(), 2u);
      continue;
    }
    const size_t n = size_t(subject[1] - '1');
    ASSERT_LT(n, automatic.size()) << subject;
    EXPECT_EQ(entry.AppliedRules.back(),
              "----> No reply: the message was sent automatically (" + automatic[n].second + ").")
        << subject;
  }
  ASSERT_EQ(smtp.Data().size(), 1u);
  EXPECT_NE(smtp.Data()[0].find("Subject: re: Question"), std::string::npos);
  EXPECT_NE(smtp.Data()[0].find("\r\nAuto-Submitted: auto-replied\r\n"), std::string::npos)
      << smtp.Data()[0];
  const auto commands = smtp.Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.starts_with("RCPT"); }),
            1);

  // The reply itself, checked by another Norva, gets no reply.
  FakePop3 back({smtp.Data()[0]});
  main.ForgetAccount(*options.lsvAddress[0]);
  options.lsvAddress.clear();
  AddMailbox(back.Address(), smtp.Address());
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), 1u);
  EXPECT_EQ(main.lsvMail[0].Data->AppliedRules.back(),
            "----> No reply: the message was sent automatically (Auto-Submitted: auto-replied).");
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
    messages.push_back("Message-ID: <f" + std::to_string(i) + "@test>\r\nFrom: " + senders[i] +
                       "\r\nSubject: forged\r\n\r\nbody\r\n");
  FakeSmtp smtp;
  FakePop3 pop(messages);
  AddMailbox(pop.Address(), smtp.Address());
  options.lsvRule = {{19, "", 6, ""}};
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), senders.size());
  for (size_t i = 0; i < wellFormed; ++i)
    EXPECT_EQ(main.lsvMail[i].Data->Message->Sender.Address.str(), "a@b") << senders[i];

  size_t recipients = 0, toForged = 0;
  for (const std::string& command : smtp.Commands()) {
    if (command.starts_with("RCPT TO:<")) {
      ++recipients;
      toForged += command == "RCPT TO:<x@y>";
      continue;
    }
    EXPECT_TRUE(command.starts_with("HELO ") || command.starts_with("EHLO ") ||
                command == "MAIL FROM:<me0@example.org>" || command == "DATA" ||
                command == "QUIT" || command == "RSET")
        << command;
  }
  EXPECT_GE(smtp.Data().size(), wellFormed);
  EXPECT_EQ(recipients, smtp.Data().size());
  // Only a From that holds "<x@y>" itself, outside any encoded word, is answered at x@y.
  EXPECT_EQ(toForged, size_t(std::count_if(senders.begin() + wellFormed, senders.end(),
                                           [](const std::string& sender) {
                                             return sender.find("<x@y>") != std::string::npos;
                                           })));
  for (const std::string& data : smtp.Data()) {
    const std::string head = data.substr(0, data.find("\r\n\r\n"));
    for (const char* forged : {"\r\nBcc:", "\r\nRCPT"})
      EXPECT_EQ(head.find(forged), std::string::npos) << data;
    EXPECT_EQ(data.find('\0'), std::string::npos);
  }
}

// Whatever the umask, the files that hold passwords and mail are the user's alone.
TEST_F(MailTest, ConfigurationArchivesAndListsAreCreatedForTheOwnerOnly) {
  const mode_t old = ::umask(0);
  FakeSmtp smtp;
  AddMailbox("127.0.0.1:1", smtp.Address());
  options.Save();
  std::string error;
  ASSERT_TRUE(AddCheckList(options, "Friends", error)) << error;
  Queue("a@example.org", "queued");
  main.SendOutBox();
  MessageListEntry entry;
  entry.Message = std::make_unique<TmsMessage>();
  entry.Message->Subject = "kept";
  entry.BodyRetrieved = true;
  main.ArchiveMsg(dir.File("Archive.TMA"), entry, false);
  main.FormCloseQuery();
  ::umask(old);
  size_t files = 0;
  for (const auto& file : std::filesystem::directory_iterator(dir.Path())) {
    ++files;
    EXPECT_EQ(file.status().permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << file.path();
  }
  // Config.QDB, CL1.txt, $OutBox.TMA, $Sent.TMA, Archive.TMA
  EXPECT_EQ(files, 5u);
}

// A server that refuses the login, even one that repeats what it was sent, never brings a
// password into a status text, an error or a message box.
TEST_F(MailTest, RefusedLoginsShowNoPassword) {
  const std::string password = "Pw-q7Zx!42", smtpPassword = "Sm-9kLp?77";
  FakePop3 pop({Message("a1", "x")});
  FakeSmtp smtp;
  pop.On("PASS", [](PeerConnection& c, const std::string&) {
    c.Send("-ERR [AUTH] Authentication failed.\r\n");
  });
  smtp.On("MAIL", [](PeerConnection& c, const std::string&) {
    c.Send("530 5.7.0 Authentication required\r\n");
  });
  MailboxAccount& account = AddMailbox(pop.Address(), smtp.Address());
  account.Password = password;
  account.SMTPAuth = true;
  account.SMTPPassword = smtpPassword;
  account.ApplyToClient();
  Queue("b@example.org", "held");

  std::vector<std::string> texts;
  main.CheckMail(true, -1);
  try {
    main.SendOutBox();
  } catch (const std::exception& e) {
    texts.push_back(e.what());
  }
  try {
    main.frmMsg->MsgWindowMode = 3;
    main.PrepareMsg();
    main.frmMsg->edtMsgTo = "c@example.org";
    main.frmMsg->btnSendClick();
  } catch (const std::exception& e) {
    texts.push_back(e.what());
  }
  const auto commands = pop.Commands();
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.starts_with("PASS"); }));
  EXPECT_GE(smtp.Connections(), 1);
  texts.insert(texts.end(), statuses.begin(), statuses.end());
  texts.insert(texts.end(), desktop.Errors.begin(), desktop.Errors.end());
  for (const auto& box : desktop.Boxes) texts.push_back(box.text);
  for (const auto& panel : main.StatusBar) texts.push_back(panel.Text);
  texts.push_back(main.LastErrorText);
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
    return t.find("Authentication") != std::string::npos;
  }));
  for (const std::string& text : texts) {
    EXPECT_EQ(text.find(password), std::string::npos) << text;
    EXPECT_EQ(text.find(smtpPassword), std::string::npos) << text;
  }
}

TEST_F(MailTest, AnUnsentOutboxDoesNotStopTheCheck) {
  FakePop3 pop({Message("a1", "Question")});
  testing::ClosedPort closed;
  AddMailbox(pop.Address(), "127.0.0.1:" + std::to_string(closed.Port()));
  Queue("a@example.org", "waiting");
  main.CheckMail(true, -1);
  EXPECT_EQ(main.lsvMail.size(), 1u);
  EXPECT_EQ(main.StatusBar[4].Text.rfind("The outbox could not be sent: ", 0), 0u)
      << main.StatusBar[4].Text;
  EXPECT_EQ(options.lsvAddress[0]->SeenIds.size(), 1u);
  EXPECT_EQ(ReadArchive(Outbox()).Items.size(), 1u);
}

}  // namespace
}  // namespace norva
