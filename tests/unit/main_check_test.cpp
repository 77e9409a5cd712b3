// The check cycle end to end: mailboxes on loopback fake servers, the fake desktop, rules and
// the seen lists across checks and across a restart.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/Main.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::FakePop3;

std::string Message(const std::string& id, const std::string& subject) {
  return "Message-ID: <" + id + "@test>\r\nFrom: sender@example.org\r\nTo: me@example.org\r\n" +
         "Subject: " + subject + "\r\nDate: Sat, 5 Dec 2026 10:20:30 +0100\r\n\r\nbody\r\n";
}

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.OnPump = [this] {
      if (statuses.empty() || statuses.back() != main->StatusBar[4].Text)
        statuses.push_back(main->StatusBar[4].Text);
    };
    options->Load();
  }

  MailboxAccount& AddMailbox(const std::string& server) {
    auto account = std::make_unique<MailboxAccount>();
    account->Address = account->Account = "user";
    account->Password = "secret";
    account->POP3Server = server;
    account->TimeOut = 5;
    main->BindClient(*account->Client);
    options->lsvAddress.push_back(std::move(account));
    return *options->lsvAddress.back();
  }

  // Saves the configuration and starts over, as a restart of the program does.
  void Restart() {
    options->Save();
    main.reset();
    options = std::make_unique<TfrmOptions>(dir.Path());
    main = std::make_unique<TfrmMain>(desktop, *options);
    options->Load();
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

TEST_F(CheckTest, AServerEchoingThePasswordDoesNotShowIt) {
  FakePop3 pop({});
  pop.On("PASS", [](testing::PeerConnection& c, const std::string& arg) {
    c.Send("-ERR wrong password " + arg + "\r\n");
  });
  AddMailbox(pop.Address());
  main->CheckMail(true, -1);
  EXPECT_EQ(main->StatusBar[4].Text.find("secret"), std::string::npos) << main->StatusBar[4].Text;
  EXPECT_NE(main->StatusBar[4].Text.find("wrong password ***"), std::string::npos);
  for (const std::string& status : statuses) EXPECT_EQ(status.find("secret"), std::string::npos);
}

TEST_F(CheckTest, NewMailIsListedOnceAndSeenMailRaisesNoAlarm) {
  FakePop3 a({Message("a1", "one"), Message("a2", "two")});
  FakePop3 b({Message("a1", "same id, other mailbox")});
  AddMailbox(a.Address());
  AddMailbox(b.Address());

  main->CheckMail(true, -1);
  ASSERT_EQ(main->lsvMail.size(), 3u);  // the same id in two mailboxes gives two rows
  EXPECT_EQ(main->lsvMail[0].Caption, "sender@example.org");
  EXPECT_EQ(main->lsvMail[1].SubItems, (TStringList{"two", "05.12.26 10:20", "129", "0"}));
  EXPECT_EQ(main->lsvMail[2].Data->Presence, 2);
  EXPECT_TRUE(Saw("Total Messages : -1 Octects : -1"));
  EXPECT_TRUE(Saw("Closed connection..."));
  ASSERT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_EQ(desktop.Boxes[0].text, "New Messages in MailBox");
  EXPECT_EQ(desktop.Boxes[0].caption, "New Messages");
  EXPECT_EQ(main->AnimMode, 2);
  EXPECT_FALSE(main->Busy);

  main->CheckMail(true, -1);
  EXPECT_EQ(main->lsvMail.size(), 3u);
  EXPECT_EQ(main->lsvMail[0].Data->Presence, 1);
  EXPECT_EQ(desktop.Boxes.size(), 1u) << "nothing new: no alarm";
  EXPECT_FALSE(main->AnimEnabled);
  EXPECT_EQ(desktop.TrayIcons.back(), 55);

  // After a restart the list is empty again, but the stored seen lists keep the alarm quiet.
  Restart();
  options->lsvAddress[0]->POP3Server = a.Address();
  options->lsvAddress[1]->POP3Server = b.Address();
  main->CheckMail(true, -1);
  EXPECT_EQ(main->lsvMail.size(), 3u);
  EXPECT_EQ(desktop.Boxes.size(), 1u);
}

// Known rows are matched from the top of the list as it stands, also after it was sorted and
// while rows go during the check.
TEST_F(CheckTest, RowsAreMatchedInTheirCurrentOrderWhenTheyMoveOrGo) {
  FakePop3 box({Message("d", "z"), Message("e", "m"), Message("d", "a")});
  AddMailbox(box.Address());
  main->CheckMail(true, -1);
  main->lsvMailColumnClick(1);  // by subject: a, m, z
  main->CheckMail(true, -1);
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
  main->CheckMail(true, -1);
  ASSERT_EQ(main->lsvMail.size(), 2u) << "no row made twice";
  EXPECT_EQ(main->lsvMail[1].SubItems[0], "z");
  EXPECT_EQ(main->lsvMail[1].Data->InfoIndex, 2);
  EXPECT_EQ(main->lsvMail[1].Data->Presence, 1);
}

TEST_F(CheckTest, UrgentRulePlaysTheUrgentSoundUntilThePopUpIsClosed) {
  FakePop3 box({Message("u1", "urgent")});
  AddMailbox(box.Address());
  options->lsvRule.push_back({19, "", 3, ""});  // all messages -> urgent
  options->chkUrgentPlay = true;
  options->chkUrgentPlayLoop = true;
  options->edtUrgentSound = "alarm.wav";
  main->CheckMail(true, -1);
  EXPECT_EQ(desktop.Sounds, (std::vector<std::string>{"loop alarm.wav", "stop"}));
  EXPECT_EQ(main->AnimMode, 3);
  main->AnimTimer();
  main->AnimTimer();
  EXPECT_EQ(desktop.TrayIcons, (std::vector<int>{32, 33}));
}

TEST_F(CheckTest, AFailingMailboxDoesNotStopTheNext) {
  testing::ClosedPort closed;
  FakePop3 box({Message("b1", "after the failure")});
  AddMailbox("127.0.0.1:" + std::to_string(closed.Port()));
  AddMailbox(box.Address());
  main->CheckMail(true, -1);
  EXPECT_TRUE(Saw("Last connection attempt unsuccessful. [10061] Connection refused"));
  ASSERT_EQ(main->lsvMail.size(), 1u);
  EXPECT_EQ(main->lsvMail[0].SubItems[0], "after the failure");

  // A refused login shows the server's own reason, not the previous mailbox's.
  options->lsvAddress[1]->Password = "wrong";
  statuses.clear();
  main->CheckMail(false, 1);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().rfind("Last connection attempt unsuccessful. -ERR", 0), 0u)
      << statuses.back();
}

TEST_F(CheckTest, StopDuringACheckLeavesTheOtherMailboxesAlone) {
  FakePop3 a({Message("s1", "x"), Message("s2", "y")});
  FakePop3 b({Message("s3", "z")});
  AddMailbox(a.Address());
  AddMailbox(b.Address());
  desktop.OnPump = [this] {
    if (main->lsvMail.size() == 1 && !main->StopRequested) main->StatusBarDblClick();
  };
  main->CheckMail(true, -1);
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
  AddMailbox(box.Address());
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
    main->CheckMail(true, -1);
    ASSERT_EQ(main->lsvMail.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      const auto& log = main->lsvMail[i].Data->AppliedRules;
      EXPECT_EQ(!log.empty() && log.back().starts_with("----> Not done: "), c.notDone[i])
          << i << ": " << (log.empty() ? "" : log.back());
    }
    const std::vector<std::string> commands = box.Commands();
    EXPECT_EQ(size_t(std::count_if(commands.begin() + std::ptrdiff_t(before), commands.end(),
                                   [](const std::string& l) { return l.starts_with("DELE"); })),
              c.deletions);
    EXPECT_EQ(commands.back(), "QUIT");
    const auto failed = std::count(c.notDone.begin(), c.notDone.end(), true);
    EXPECT_EQ(main->StatusBar[4].Text, failed ? "The rules could not finish with " +
                                                    std::to_string(failed) +
                                                    " messages: their rule logs say why."
                                              : "Closed connection...");
  }
}

// A session that breaks off keeps what it did not finish: a rule's deletion stays requested
// and goes out again, and the seen IDs of the messages it did not reach stay stored, so a
// restart raises no false alarm.
TEST_F(CheckTest, AnUnfinishedSessionLosesNoDeletionAndNoSeenId) {
  const std::vector<std::string> mail = {Message("k1", "spam"), Message("k2", "two"),
                                         Message("k3", "three")};
  FakePop3 box(mail);
  AddMailbox(box.Address());
  options->lsvRule = {{2, "spam", 0, ""}};
  box.On("QUIT", [](testing::PeerConnection& c, const std::string&) { c.Close(); });
  main->CheckMail(true, -1);
  ASSERT_EQ(main->lsvMail.size(), 3u);
  EXPECT_FALSE(main->lsvMail[0].Data->DeletedOnServer);
  EXPECT_NE(main->lsvMail[0].StateIndex, 3);
  ASSERT_EQ(desktop.Boxes.size(), 1u);  // the first sight of the mail

  box.On("QUIT", nullptr);
  main->CheckMail(true, -1);
  const std::vector<std::string> commands = box.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DELE 1"), 2);
  EXPECT_TRUE(main->lsvMail[0].Data->DeletedOnServer);
  EXPECT_EQ(main->lsvMail[0].StateIndex, 3);

  // The mailbox without the deleted message; its next session breaks at message 2. After a
  // restart nothing counts as new.
  FakePop3 rest({mail[1], mail[2]});
  options->lsvAddress[0]->POP3Server = rest.Address();
  rest.On("LIST", [&](testing::PeerConnection& c, const std::string& n) {
    if (n == "2") return c.Close();
    c.Send("+OK " + n + " " + std::to_string(mail.at(std::stoul(n)).size()) + "\r\n");
  });
  options->lsvRule.clear();
  main->CheckMail(true, -1);
  rest.On("LIST", nullptr);
  Restart();
  options->lsvAddress[0]->POP3Server = rest.Address();
  main->CheckMail(true, -1);
  EXPECT_EQ(main->lsvMail.size(), 2u);
  EXPECT_EQ(desktop.Boxes.size(), 1u) << "no alarm for mail seen before";
}

TEST_F(CheckTest, ForgettingAMailboxRemovesItsRowsOnly) {
  FakePop3 a({Message("f1", "a")});
  FakePop3 b({Message("f2", "b")});
  AddMailbox(a.Address());
  AddMailbox(b.Address());
  main->CheckMail(true, -1);
  ASSERT_EQ(main->lsvMail.size(), 2u);
  main->ForgetAccount(*options->lsvAddress[0]);
  options->lsvAddress.erase(options->lsvAddress.begin());
  ASSERT_EQ(main->lsvMail.size(), 1u);
  EXPECT_EQ(main->lsvMail[0].SubItems[0], "b");
  main->CheckMail(true, -1);  // no row points at the deleted client
  EXPECT_EQ(main->lsvMail.size(), 1u);
}

TEST_F(CheckTest, NoMailboxesStillEndsTheCheckCleanly) {
  main->CheckMail(true, -1);
  EXPECT_TRUE(main->lsvMail.empty());
  EXPECT_TRUE(desktop.Boxes.empty());
  EXPECT_FALSE(main->AnimEnabled);
  EXPECT_TRUE(desktop.Errors.empty());
}

TEST(LockAndAnimation, LockIsAFlagAndFramesFollowTheMode) {
  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options(dir.Path());
  TfrmMain main(desktop, options);
  main.LockWindow();
  main.LockWindow();
  EXPECT_EQ(main.StatusIcon, 1);
  EXPECT_FALSE(main.PopMailAttached);
  main.UnlockWindow();
  EXPECT_FALSE(main.Busy);
  main.StartAnim(1);
  for (int i = 0; i < 19; ++i) main.AnimTimer();
  EXPECT_EQ(desktop.TrayIcons.front(), 36);
  EXPECT_EQ(desktop.TrayIcons[17], 53);
  EXPECT_EQ(desktop.TrayIcons[18], 36);
  EXPECT_EQ(main.AnimInterval, 120);
  main.StartAnim(2);
  main.AnimTimer();
  EXPECT_EQ(main.AnimInterval, 500);
  EXPECT_EQ(desktop.TrayIcons.back(), 34);
}

}  // namespace
}  // namespace norva
