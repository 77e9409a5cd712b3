// The check cycle end to end: mailboxes on loopback fake servers, the fake desktop, rules and
// the seen lists across checks and across a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/Main.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/Mailboxes.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::FakePop3;
using testing::PeerConnection;

std::string Message(const std::string& id, const std::string& subject) {
  return "Message-ID: <" + id + "@test>\r\nFrom: sender@example.org\r\nTo: me@example.org\r\n" +
         "Subject: " + subject + "\r\nDate: Sat, 5 Dec 2026 10:20:30 +0100\r\n\r\nbody\r\n";
}

// The commands a server received from the given one on that start with `prefix`.
size_t Received(const FakePop3& box, const std::string& prefix, size_t from = 0) {
  const std::vector<std::string> commands = box.Commands();
  return size_t(std::count_if(commands.begin() + std::ptrdiff_t(from), commands.end(),
                              [&](const std::string& l) { return l.starts_with(prefix); }));
}

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.OnPump = [this] {
      if (statuses.empty() || statuses.back() != Status()) statuses.push_back(Status());
    };
    options->Load();
  }

  void AddMailboxes(const std::vector<std::string>& servers) {
    for (const std::string& server : servers) testing::AddTestMailbox(*main, *options, server, "");
  }

  // Saves the configuration and starts over, as a restart of the program does, then points
  // the mailboxes at the same fake servers again.
  void Restart(const std::vector<std::string>& servers) {
    options->Save();
    main.reset();
    options = std::make_unique<TfrmOptions>(dir.Path());
    main = std::make_unique<TfrmMain>(desktop, *options);
    options->Load();
    for (size_t i = 0; i < servers.size(); ++i) options->lsvAddress.at(i)->POP3Server = servers[i];
  }

  void Check() { main->CheckMail(true, -1); }
  const std::string& Status() const { return main->StatusBar[4].Text; }
  // The new-mail notifications shown so far.
  size_t NewMailNotices() const {
    return size_t(std::count_if(desktop.Notices.begin(), desktop.Notices.end(), [](const auto& n) {
      return n.title.find(" new message") != std::string::npos;
    }));
  }
  bool Saw(const std::string& status) const {
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
  }

  testing::TempDir dir;
  FakeDesktop desktop;
  std::unique_ptr<TfrmOptions> options = std::make_unique<TfrmOptions>(dir.Path());
  std::unique_ptr<TfrmMain> main = std::make_unique<TfrmMain>(desktop, *options);
  std::vector<std::string> statuses;
};

// A failing mailbox does not stop the next. The reason shown is the failing server's own,
// never the password, never a previous mailbox's.
TEST_F(CheckTest, AFailingMailboxShowsItsReasonAndDoesNotStopTheNext) {
  const std::string failed = "Last connection attempt unsuccessful. ";
  testing::ClosedPort closed;
  FakePop3 echo({}), box({Message("b1", "after the failure")});
  echo.On("PASS", [](PeerConnection& c, const std::string& arg) {
    c.Send("-ERR wrong password " + arg + "\r\n");
  });
  AddMailboxes({"127.0.0.1:" + std::to_string(closed.Port()), echo.Address(), box.Address()});
  Check();
  EXPECT_TRUE(Saw(failed + "[10061] Connection refused"));
  EXPECT_TRUE(Saw(failed + "-ERR wrong password ***"));
  for (const std::string& status : statuses) EXPECT_EQ(status.find("secret"), std::string::npos);
  ASSERT_EQ(main->lsvMail.size(), 1u);
  EXPECT_EQ(main->lsvMail[0].SubItems[0], "after the failure");

  options->lsvAddress[2]->Password = "wrong";
  statuses.clear();
  main->CheckMail(false, 2);
  ASSERT_FALSE(statuses.empty());
  EXPECT_TRUE(statuses.back().starts_with(failed + "-ERR")) << statuses.back();
}

// New mail is listed and alarmed once; the seen lists keep later checks quiet, also after a
// restart. Forgetting a mailbox takes its rows only; with none left a check still ends cleanly.
TEST_F(CheckTest, NewMailIsListedOnceAndSeenMailRaisesNoAlarm) {
  FakePop3 a({Message("a1", "one"), Message("a2", "two")});
  FakePop3 b({Message("a1", "same id, other mailbox")});
  AddMailboxes({a.Address(), b.Address()});
  Check();
  ASSERT_EQ(main->lsvMail.size(), 3u);  // the same id in two mailboxes gives two rows
  EXPECT_EQ(main->lsvMail[0].Caption, "sender@example.org");
  // 10:20 +0100 in the local zone (the tests run in UTC).
  EXPECT_EQ(main->lsvMail[1].SubItems, (TStringList{"two", "05.12.26 09:20", "129", "0"}));
  EXPECT_EQ(main->lsvMail[2].Data->Presence, 2);
  EXPECT_EQ(Status(), "Closed connection...");
  ASSERT_EQ(desktop.Notices.size(), 1u);
  EXPECT_EQ(desktop.Notices[0].title, "3 new messages");
  EXPECT_TRUE(desktop.Boxes.empty());
  EXPECT_EQ(main->AnimMode, 2);
  EXPECT_EQ(main->UnseenNew, 3);

  Check();
  EXPECT_EQ(main->lsvMail.size(), 3u);
  EXPECT_EQ(main->lsvMail[0].Data->Presence, 1);
  EXPECT_EQ(desktop.Notices.size(), 1u) << "nothing new: no alarm";
  EXPECT_FALSE(main->AnimEnabled);
  EXPECT_EQ(desktop.TrayIcons.back(), 55);

  Restart({a.Address(), b.Address()});
  Check();
  EXPECT_EQ(main->lsvMail.size(), 3u);
  for (size_t left : {1u, 0u}) {
    SCOPED_TRACE(left);
    main->ForgetAccount(*options->lsvAddress[0]);
    options->lsvAddress.erase(options->lsvAddress.begin());
    ASSERT_EQ(main->lsvMail.size(), left);
    EXPECT_TRUE(!left || main->lsvMail[0].SubItems[0] == "same id, other mailbox");
    Check();  // no row points at a deleted client
    EXPECT_EQ(main->lsvMail.size(), left);
  }
  EXPECT_EQ(desktop.Notices.size(), 1u);
  EXPECT_FALSE(main->AnimEnabled);
  EXPECT_TRUE(desktop.Errors.empty());
}

// Known rows are matched from the top of the list as it stands, also after it was sorted and
// while rows go during the check.
TEST_F(CheckTest, RowsAreMatchedInTheirCurrentOrderWhenTheyMoveOrGo) {
  FakePop3 box({Message("d", "z"), Message("e", "m"), Message("d", "a")});
  AddMailboxes({box.Address()});
  Check();
  main->lsvMailColumnClick(1);  // by subject: a, m, z
  Check();
  ASSERT_EQ(main->lsvMail.size(), 3u);
  EXPECT_EQ(main->lsvMail[0].SubItems[0], "a");
  EXPECT_EQ(main->lsvMail[0].Data->InfoIndex, 0) << "the first row with the id takes message 1";
  EXPECT_EQ(main->lsvMail[2].Data->InfoIndex, 2);

  bool removed = false;
  desktop.OnPump = [&] {
    if (!removed && main->StatusBar[3].Text == "2 of 3") {
      removed = true;
      main->lsvMailDelete(0);
    }
  };
  Check();
  ASSERT_EQ(main->lsvMail.size(), 2u) << "no row made twice";
  EXPECT_EQ(main->lsvMail[1].SubItems[0], "z");
  EXPECT_EQ(main->lsvMail[1].Data->InfoIndex, 2);
  EXPECT_EQ(main->lsvMail[1].Data->Presence, 1);
}

// The alarm in either style: the box (chosen, or when the desktop cannot notify) stops the
// looping sound when closed; under a notification it loops until the user brings the window up.
// The box never raises the window itself: it only asks to be in the foreground.
TEST_F(CheckTest, UrgentMailLoopsItsSoundUntilTheUserAnswers) {
  const struct {
    const char* name;
    bool dialog, canNotify;
    size_t boxes, notices;
  } cases[] = {
      {"notification", false, true, 0, 1},
      {"dialog box", true, true, 1, 0},
      {"no notifications here", false, false, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3 box({Message("u1", "urgent")});
    FakeDesktop fresh;
    fresh.CanNotify = c.canNotify;
    const std::string folder = dir.File(c.name);
    std::filesystem::create_directories(folder);
    TfrmOptions opts(folder);
    TfrmMain logic(fresh, opts);
    opts.radAlarmDialog = c.dialog;
    testing::AddTestMailbox(logic, opts, box.Address(), "");
    opts.lsvRule.push_back({19, "", 3, ""});  // all messages -> urgent
    opts.chkUrgentPlay = opts.chkUrgentPlayLoop = true;
    opts.edtUrgentSound = "alarm.wav";
    logic.CheckMail(true, -1);
    EXPECT_EQ(fresh.Boxes.size(), c.boxes);
    EXPECT_EQ(fresh.Notices.size(), c.notices);
    EXPECT_EQ(logic.AnimMode, 3);
    if (c.boxes) {
      EXPECT_EQ(fresh.Boxes[0].text, "New Messages in MailBox");
      EXPECT_TRUE(fresh.Boxes[0].foreground);
      EXPECT_EQ(fresh.Sounds, (std::vector<std::string>{"loop alarm.wav", "stop"}));
    } else {
      EXPECT_EQ(fresh.Sounds, (std::vector<std::string>{"loop alarm.wav"}));
      logic.AlarmSeen();
      EXPECT_EQ(fresh.Sounds.back(), "stop");
      EXPECT_FALSE(logic.AnimEnabled);
      EXPECT_EQ(logic.UnseenNew, 0);
    }
  }
}

// Each alarm mode has its frames and pace; the frames go round.
TEST_F(CheckTest, AlarmAnimationCyclesThroughTheModesFrames) {
  struct Case {
    int32_t mode, first, count, interval;
  };
  for (const Case& c : {Case{1, 36, 18, 120}, Case{2, 34, 2, 500}, Case{3, 32, 2, 500}}) {
    SCOPED_TRACE(c.mode);
    desktop.TrayIcons.clear();
    main->StartAnim(c.mode);
    for (int32_t i = 0; i <= c.count; ++i) main->AnimTimer();
    ASSERT_EQ(desktop.TrayIcons.size(), size_t(c.count) + 1);
    EXPECT_EQ(desktop.TrayIcons[size_t(c.count) - 1], c.first + c.count - 1);
    EXPECT_EQ(desktop.TrayIcons.front(), c.first);
    EXPECT_EQ(desktop.TrayIcons.back(), c.first) << "round again";
    EXPECT_EQ(main->AnimInterval, c.interval);
  }
}

TEST_F(CheckTest, StopDuringACheckLeavesTheOtherMailboxesAlone) {
  FakePop3 a({Message("s1", "x"), Message("s2", "y")});
  FakePop3 b({Message("s3", "z")});
  AddMailboxes({a.Address(), b.Address()});
  desktop.OnPump = [this] {
    if (main->lsvMail.size() == 1 && !main->StopRequested) main->StatusBarDblClick();
  };
  Check();
  EXPECT_EQ(main->lsvMail.size(), 1u);
  EXPECT_EQ(b.Connections(), 0);
  EXPECT_FALSE(main->Busy);
}

// A message whose rules cannot finish is logged on its row and kept on the server; the check
// goes on with the next message. A From that does not parse is no failure at all.
TEST_F(CheckTest, OneMessagesFailureEndsItsRulesNotTheCheck) {
  FakePop3 box({Message("m1", "one"), Message("m2", "two"), Message("m3", "three"),
                "Message-ID: <m4@test>\r\nFrom: Ann <ann@example.org\r\nSubject: broken\r\n"
                "\r\nbody\r\n"});
  AddMailboxes({box.Address()});
  options->lstTemplate = {{"thanks", 7}};  // FN7.txt does not exist
  const MailRule deleteAll{19, "", 0, ""};
  struct Case {
    MailRule rule;
    std::vector<bool> notDone;  // by row
    size_t deletions;
  };
  const Case cases[] = {
      {{19, "", 6, "thanks"}, {true, true, true, false}, 1},  // row 4: no usable sender to answer
      {{12, "1k", 1, ""}, {true, true, true, true}, 0},       // a size that is no number
      {{19, "", 5, ""}, {true, true, true, true}, 0},         // an archive without a name
      {{19, "", 5, "All.TMA"}, {false, false, false, false}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule.ActionParam + c.rule.FilterParam);
    main->lsvMail.clear();
    const size_t before = box.Commands().size();
    options->lsvRule = {c.rule, deleteAll};
    Check();
    ASSERT_EQ(main->lsvMail.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      const auto& log = main->lsvMail[i].Data->AppliedRules;
      EXPECT_EQ(!log.empty() && log.back().starts_with("----> Not done: "), c.notDone[i])
          << i << ": " << (log.empty() ? "" : log.back());
    }
    EXPECT_EQ(Received(box, "DELE", before), c.deletions);
    EXPECT_EQ(box.Commands().back(), "QUIT");
    const auto failed = std::count(c.notDone.begin(), c.notDone.end(), true);
    EXPECT_EQ(Status(), failed ? "The rules could not finish with " + std::to_string(failed) +
                                     " messages: their rule logs say why."
                               : "Closed connection...");
  }
}

// A check list changed between two checks is seen by the second, however soon it follows.
TEST_F(CheckTest, ACheckListChangedBetweenTwoChecksIsSeenByTheSecond) {
  FakePop3 box({Message("c1", "one")});
  AddMailboxes({box.Address()});
  options->lstCList = {{"Black List", 1}};
  options->lsvRule = {{14, "Black List", 1, ""}};
  main->CheckListFiles.StatInterval = std::chrono::hours(1);  // only a new check looks again
  const std::string list = dir.File("CL1.txt");
  for (const char* domain : {"example.net", "example.org", "example.com"}) {
    SCOPED_TRACE(domain);
    testing::WriteFile(list, std::string(domain) + "\r\n");  // the same size each time
    main->lsvMail.clear();
    Check();
    ASSERT_EQ(main->lsvMail.size(), 1u);
    EXPECT_EQ(main->lsvMail[0].Data->Status == 0, std::string(domain) == "example.org");
  }
}

// A session that breaks off keeps what it did not finish: a rule's deletion stays requested
// and goes out again, and the seen IDs of the messages it did not reach stay stored, so a
// restart raises no false alarm.
TEST_F(CheckTest, AnUnfinishedSessionLosesNoDeletionAndNoSeenId) {
  const std::vector<std::string> mail = {Message("k1", "spam"), Message("k2", "two"),
                                         Message("k3", "three")};
  FakePop3 box(mail);
  AddMailboxes({box.Address()});
  options->lsvRule = {{2, "spam", 0, ""}};
  box.On("QUIT", [](PeerConnection& c, const std::string&) { c.Close(); });
  Check();
  ASSERT_EQ(main->lsvMail.size(), 3u);
  EXPECT_FALSE(main->lsvMail[0].Data->DeletedOnServer);
  EXPECT_NE(main->lsvMail[0].StateIndex, 3);
  ASSERT_EQ(NewMailNotices(), 1u);  // the first sight of the mail

  box.On("QUIT", nullptr);
  Check();
  EXPECT_EQ(Received(box, "DELE 1"), 2u);
  EXPECT_TRUE(main->lsvMail[0].Data->DeletedOnServer);
  EXPECT_EQ(main->lsvMail[0].StateIndex, 3);

  // The mailbox without the deleted message; its next session breaks at message 2. After a
  // restart nothing counts as new.
  FakePop3 rest({mail[1], mail[2]});
  options->lsvAddress[0]->POP3Server = rest.Address();
  rest.On("LIST", [&](PeerConnection& c, const std::string& n) {
    if (n == "2") return c.Close();
    c.Send("+OK " + n + " " + std::to_string(mail.at(std::stoul(n)).size()) + "\r\n");
  });
  options->lsvRule.clear();
  Check();
  rest.On("LIST", nullptr);
  Restart({rest.Address()});
  Check();
  EXPECT_EQ(main->lsvMail.size(), 2u);
  EXPECT_EQ(NewMailNotices(), 1u) << "no alarm for mail seen before";
}

// The notification's text: per mailbox its count and first senders and subjects, the rest
// counted; senders by name.
TEST(NoticesTest, NewMailTextNamesTheFirstSendersPerMailbox) {
  using Items = std::vector<MailboxNews::Item>;
  const struct {
    const char* name;
    std::vector<MailboxNews> news;
    std::string text;
  } cases[] = {
      {"one mailbox", {{"me@a.org", Items{{"Alice Smith <alice@b.org>", "Lunch"}}}},
       "me@a.org: 1 new\nAlice Smith: Lunch"},
      {"several, an empty one left out",
       {{"me@a.org", Items{{"\"Bob, B.\" <bob@b.org>", "Hi"}}},
        {"quiet@a.org", {}},
        {"work@c.org", Items{{"carol@c.org (Carol)", "Plan"}, {"dave@c.org", ""}}}},
       "me@a.org: 1 new\nBob, B.: Hi\nwork@c.org: 2 new\nCarol: Plan\ndave@c.org: (no subject)"},
      {"many senders",
       {{"me@a.org", Items{{"a@x.org", "1"}, {"b@x.org", "2"}, {"c@x.org", "3"}, {"d@x.org", "4"},
                           {"e@x.org", "5"}}}},
       "me@a.org: 5 new\na@x.org: 1\nb@x.org: 2\nc@x.org: 3\nand 2 more"},
      {"odd senders", {{"me", Items{{"", "s"}, {"Broken <no end", "t"}}}},
       "me: 2 new\n(no sender): s\nBroken <no end: t"},
      {"nothing", {{"me", {}}}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(NewMailText(c.news), c.text) << c.name;
}

// Only mail worth reading is notified, with its mailbox; spam alone raises no alarm at all. The
// tray's tooltip counts new, spam and all rows per mailbox and gives the next check.
TEST_F(CheckTest, NewMailIsNotifiedWithoutSpamAndTheTrayCountsIt) {
  FakePop3 a({Message("n1", "hello"), Message("n2", "buy spam now")});
  FakePop3 b({Message("n3", "more spam")});
  AddMailboxes({a.Address(), b.Address()});
  options->lsvAddress[1]->Address = "other@b.org";
  options->lsvRule = {{2, "spam", 1, ""}};  // subject contains "spam" -> mark as spam
  Check();
  ASSERT_EQ(desktop.Notices.size(), 1u);
  EXPECT_EQ(desktop.Notices[0].title, "1 new message");
  EXPECT_EQ(desktop.Notices[0].text, "me0@example.org: 1 new\nsender@example.org: hello");
  EXPECT_EQ(main->UnseenNew, 1);
  main->NextCheckCalc();
  EXPECT_EQ(main->TrayHint(), "Norva\nme0@example.org: 1 new, 1 spam, 2 in all\n"
                              "other@b.org: 0 new, 1 spam, 1 in all\nNext check: " +
                                  main->StatusBar[1].Text);

  FakePop3 c({Message("n4", "spam only")});
  options->lsvAddress[0]->POP3Server = c.Address();
  options->lsvAddress.resize(1);
  Check();
  EXPECT_EQ(desktop.Notices.size(), 1u) << "spam alone: no notification";
  EXPECT_TRUE(desktop.Boxes.empty());
  EXPECT_TRUE(desktop.Sounds.empty());
  EXPECT_EQ(main->UnseenNew, 1);

  options->lsvAddress.clear();
  EXPECT_EQ(TrayHintText({}, "Manual Check"), "Norva\nNo mailbox yet\nChecked manually");
}

// A mailbox that fails says so once, without the password in the server's reason, however often
// it is checked, and once more when it works again; a stopped check says nothing.
TEST_F(CheckTest, AFailingMailboxIsNotifiedOnceAndWhenItWorksAgain) {
  FakePop3 box({});
  bool refuse = true;
  box.On("PASS", [&](PeerConnection& c, const std::string& arg) {
    c.Send(refuse ? "-ERR wrong password " + arg + "\r\n" : "+OK\r\n");
  });
  AddMailboxes({box.Address()});
  options->lsvAddress[0]->Address = "secret@a.org";  // the password is part of the name
  const std::vector<std::string> failed = {
      "Norva cannot check secret@a.org: -ERR wrong password ***"};
  const struct {
    bool refuse;
    std::vector<std::string> notices;
  } steps[] = {
      {true, failed},
      {true, failed},
      {false, {failed[0], "secret@a.org works again"}},
      {false, {failed[0], "secret@a.org works again"}},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    refuse = steps[i].refuse;
    Check();
    std::vector<std::string> texts;
    for (const auto& n : desktop.Notices) texts.push_back(n.text);
    EXPECT_EQ(texts, steps[i].notices);
    main->NextCheckCalc();
    EXPECT_EQ(main->TrayHint().find("(last check failed)") != std::string::npos, steps[i].refuse);
  }

  refuse = true;
  main->StopRequested = true;
  main->CheckMail(false, 0);
  EXPECT_EQ(desktop.Notices.size(), 2u);
}

}  // namespace
}  // namespace norva
