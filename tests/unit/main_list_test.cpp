// The main window's scheduler, message list, preview, marking and server-side deletion, with a
// fake clock, a fake desktop and fake POP3 mailboxes on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/Main.h"
#include "config/Schedule.h"
#include "mail/msCls.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::Crlf;
using testing::FakeDesktop;
using testing::FakePop3;
using Lines = std::vector<std::string>;

// Records the checks the scheduler starts instead of running them.
class RecordingMain : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  std::vector<std::pair<bool, int32_t>> Checks;  // together, accountIndex
  std::function<void()> During;                  // runs inside the check (time passing, a failure)

  void CheckMail(bool together, int32_t accountIndex) override {
    Checks.push_back({together, accountIndex});
    if (During) During();
  }
};

using Calls = std::vector<std::pair<bool, int32_t>>;

// A message whose size grows with n, so that no two have the same size. Its Message-ID is
// <id@x.test>, id being n unless given.
std::string Message(int n, const std::string& from = "", const std::string& date = "", int id = 0) {
  return Crlf({"From: " + (from.empty() ? "sender" + std::to_string(n) + "@x.test" : from),
               "Subject: message " + std::to_string(n),
               "Date: " + (date.empty() ? "Fri, 01 Mar 2024 08:00:00 +0000" : date),
               "Message-ID: <" + std::to_string(id ? id : n) + "@x.test>", "",
               std::string(size_t(n), 'x')});
}

class MainListTest : public ::testing::Test {
 protected:
  MainListTest() {
    SetClock([this] { return now_; });
    SetTime(9, 0, 0);
    options.chkNoDeleteConfirm = true;  // the confirmation has a test of its own
  }
  ~MainListTest() override { SetClock(nullptr); }

  void SetTime(int hour, int minute, int second, int day = 5) {
    now_ = EncodeDateTime(2024, 3, day, hour, minute, second);
  }

  MailboxAccount& AddAccount(const std::string& name, const std::string& server = "") {
    auto account = std::make_unique<MailboxAccount>();
    account->Address = name + "@x.test";
    account->Account = server.empty() ? name : "user";
    account->Password = "secret";
    account->POP3Server = server;
    account->ApplyToClient();
    main.BindClient(*account->Client);
    options.lsvAddress.push_back(std::move(account));
    return *options.lsvAddress.back();
  }

  // Lists the messages as a session of the account's client finds their headers.
  void List(MailboxAccount& account, const Lines& messages) {
    TmsRemotePOP& client = *account.Client;
    for (const std::string& raw : messages) {
      auto item = std::make_unique<TmsRemoteInfoItem>();
      item->Size = int32_t(raw.size());
      TStringList lines = SplitLines(raw);
      TruncateAtBlankLine(lines);
      item->Headers.assign(lines.begin(), lines.end());
      client.MessageInfo.Add(std::move(item));
      main.msRPOPNextInfoUpdated(client, client.MessageInfo.Count() - 1);
    }
    main.SistemaContatori();
  }

  std::vector<std::string> Captions() const {
    std::vector<std::string> captions;
    for (const TListRow& row : main.lsvMail) captions.push_back(row.Caption);
    return captions;
  }

  // The commands with this command word ("DELE" by default) the server received.
  static Lines Sent(const FakePop3& server, const std::string& word = "DELE") {
    Lines sent;
    for (const std::string& line : server.Commands())
      if (line == word || line.rfind(word + " ", 0) == 0) sent.push_back(line);
    return sent;
  }

  bool Deleted(size_t row) const {
    return main.lsvMail[row].Data->DeletedOnServer && main.lsvMail[row].StateIndex == 3;
  }

  TDateTime now_ = 0;
  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  RecordingMain main{desktop, options};
};

// ---- scheduling ----

TEST_F(MainListTest, TogetherChecksAllAtTheFirstFreeTickAndReschedulesFromTheEndOfTheCheck) {
  main.CNextCheck(options.AllMailboxesSchedule);  // every 10 minutes by default
  main.NextCheckCalc();
  EXPECT_EQ(main.StatusBar[1].Text, "05/03/24 09:10 - ALL");
  struct Case {
    int minute, second;
    bool busy;  // a check started from the toolbar is running
    std::function<void()> during;
    size_t checks;
    const char* next;
  } ticks[] = {
      {9, 59, false, nullptr, 0, "05/03/24 09:10 - ALL"},
      {10, 5, true, nullptr, 0, "05/03/24 09:10 - ALL"},
      {10, 15, false, [this] { SetTime(9, 12, 0); }, 1, "05/03/24 09:22 - ALL"},
      {22, 5, false, [] { throw std::runtime_error("no route to host"); }, 2,
       "05/03/24 09:32 - ALL"},
  };
  for (const Case& t : ticks) {
    SCOPED_TRACE(std::to_string(t.minute) + ":" + std::to_string(t.second));
    SetTime(9, t.minute, t.second);
    main.Busy = t.busy;
    main.During = t.during;
    main.Timer1Timer();
    EXPECT_EQ(main.Checks, Calls(t.checks, {true, 0}));
    EXPECT_EQ(main.StatusBar[1].Text, t.next);
    if (t.during) {
      EXPECT_TRUE(main.Timer1Enabled);
    }
  }
  EXPECT_EQ(desktop.Errors, Lines{"no route to host"});
}

TEST_F(MainListTest, PerMailboxSchedulesCheckOnlyTheDueMailboxAndTiesGoInListOrder) {
  options.chkCheckTogether = false;
  MailboxAccount& alice = AddAccount("alice");
  MailboxAccount& bob = AddAccount("bob");
  alice.CheckFreq = AddAccount("carol").CheckFreq = 5;
  bob.CheckFreqUnit = 1;
  bob.CheckFreq = 2;
  for (auto& account : options.lsvAddress) main.CNextCheck(*account);
  main.NextCheckCalc();
  EXPECT_EQ(main.StatusBar[1].Text, "05/03/24 09:05 - alice");

  SetTime(9, 5, 1);
  main.Timer1Timer();
  SetTime(9, 5, 11);
  main.Timer1Timer();
  EXPECT_EQ(main.Checks, (Calls{{false, 0}, {false, 2}}));
  EXPECT_EQ(FormatDateTime(alice.NextCheck), "05.03.24 09:10");
  EXPECT_EQ(FormatDateTime(bob.NextCheck), "05.03.24 11:00");
  EXPECT_EQ(main.StatusBar[1].Text, "05/03/24 09:10 - alice");
}

TEST_F(MainListTest, StartupChecksOnlyTheSchedulesThatAskAndWaitsWhileBusy) {
  struct Case {
    bool together, allOnStartup;
    std::vector<bool> onStartup;  // per mailbox
    Calls checks;                 // after ticks at 09:00:06 (busy), 09:00:07, 09:00:08
  };
  const std::vector<Case> cases = {
      {false, false, {true, false, true}, {{false, 0}, {false, 2}}},
      {false, false, {false, false}, {}},
      {true, true, {false, false}, {{true, 0}}},
      {true, false, {true, true}, {}},
  };
  for (const Case& t : cases) {
    options.lsvAddress.clear();
    main.Checks.clear();
    SetTime(9, 0, 0);
    options.chkCheckTogether = t.together;
    options.AllMailboxesSchedule.CheckOnStartup = t.allOnStartup;
    options.AllMailboxesSchedule.CheckFreq = 10;
    main.CNextCheck(options.AllMailboxesSchedule);
    for (size_t i = 0; i < t.onStartup.size(); ++i) {
      MailboxAccount& a = AddAccount("m" + std::to_string(i));
      a.CheckFreq = 10;
      a.CheckOnStartup = t.onStartup[i];
      main.CNextCheck(a);
    }
    main.ScheduleStartupChecks();
    main.Timer1Timer();  // not yet due
    SetTime(9, 0, 6);
    main.Busy = true;
    main.Timer1Timer();
    main.Busy = false;
    for (int second : {7, 8}) {
      SetTime(9, 0, second);
      main.Timer1Timer();
    }
    EXPECT_EQ(main.Checks, t.checks) << t.together << " " << t.onStartup.size();
  }
}

TEST_F(MainListTest, ManualSchedulesAndUnitsSetTheNextCheck) {
  options.chkCheckTogether = false;
  main.NextCheckCalc();  // no mailbox at all
  EXPECT_EQ(main.StatusBar[1].Text, "Manual Check");
  SetTime(9, 0, 0, 25);
  main.Timer1Timer();
  EXPECT_TRUE(main.Checks.empty());

  TCheckSchedule& all = options.AllMailboxesSchedule;
  options.chkCheckTogether = all.CheckManually = true;
  main.CNextCheck(all);
  main.NextCheckCalc();
  EXPECT_EQ(main.StatusBar[1].Text, "Manual Check");

  all.CheckManually = false;
  SetTime(20, 0, 0);
  all.CheckFreqUnit = 1;  // 60 hours reach beyond the next midnight
  all.CheckFreq = 60;
  main.CNextCheck(all);
  EXPECT_EQ(FormatDateTime(all.NextCheck), "08.03.24 08:00");
}

TEST_F(MainListTest, ScheduleControlsShowTheCommonOrTheFirstMailboxSchedule) {
  TScheduleControls controls(options);
  int32_t selected = -1;
  controls.OnSelectAddress = [&](int32_t index) { selected = index; };
  options.AllMailboxesSchedule = {false, false, 1, 25, 0};
  controls.chkCheckTogetherClick();
  EXPECT_FALSE(options.chkCheckOnStartup);
  EXPECT_EQ(controls.lblFreq, "25 hours");
  EXPECT_TRUE(controls.tbaFreqVisible && controls.cmbFreqVisible && controls.lblFreqVisible);

  MailboxAccount& first = AddAccount("alice");
  first.CheckManually = true;
  first.CheckFreqUnit = 2;
  first.CheckFreq = 3;
  options.chkCheckTogether = false;
  controls.chkCheckTogetherClick();
  EXPECT_EQ(selected, 0);
  EXPECT_TRUE(options.radCheckManual);
  EXPECT_EQ(controls.lblFreq, "3 days");
  EXPECT_FALSE(controls.tbaFreqVisible || controls.cmbFreqVisible || controls.lblFreqVisible);
}

// ---- the list and the preview ----

// Each click sorts by its column; a second click on the same column reverses the order. Equal
// rows keep their order either way, texts ignore letter case, and a column's text that is not a
// number counts as 0.
TEST_F(MainListTest, SortingTogglesItsDirectionAndComparesTextsWithoutCase) {
  for (auto [sender, size, sp] : {std::tuple{"bob", "10", "-2"},
                                  {"Alice", "9", "7"},
                                  {"alice", "100", "0"},
                                  {"Bob", "9", "x"}}) {
    TListRow row;
    row.Caption = sender;
    row.SubItems = {"subject", "01.03.24 08:00", size, sp};
    main.lsvMail.push_back(std::move(row));
  }
  const struct {
    int32_t column;
    bool descending;
    Lines order;
  } clicks[] = {
      {3, false, {"Alice", "Bob", "bob", "alice"}},
      {3, true, {"alice", "bob", "Alice", "Bob"}},
      {4, false, {"bob", "alice", "Bob", "Alice"}},
      {0, false, {"alice", "Alice", "bob", "Bob"}},
      {0, true, {"bob", "Bob", "alice", "Alice"}},
      {0, false, {"alice", "Alice", "bob", "Bob"}},
  };
  for (const auto& click : clicks) {
    main.lsvMailColumnClick(click.column);
    EXPECT_EQ(main.SortDescending, click.descending) << click.column;
    EXPECT_EQ(Captions(), click.order) << click.column;
  }
}

// The quick filter: sender or subject contains the text in any letter case and script, and
// the row's status is shown. Rows it hides leave the selection, so no command reaches them.
TEST_F(MainListTest, QuickFilterMatchesSenderOrSubjectAndDeselectsWhatItHides) {
  const struct {
    const char *sender, *subject;
    uint8_t status;
  } rows[] = {{"Jörg <j@x.test>", "Ärger im Büro", 1},
              {"bank@phish.test", "Your ACCOUNT", 0},
              {"mum@home.test", "lunch", 2}};
  for (const auto& r : rows) {
    TListRow row;
    row.Caption = r.sender;
    row.SubItems = {r.subject, "01.03.24 08:00", "100", "0"};
    row.Data = std::make_unique<MessageListEntry>();
    row.Data->Status = r.status;
    row.Selected = true;
    main.lsvMail.push_back(std::move(row));
  }
  const struct {
    std::string text;
    std::array<bool, 3> show;
    std::vector<bool> visible;
  } cases[] = {
      {"", {true, true, true}, {true, true, true}},
      {"ärger", {true, true, true}, {true, false, false}},
      {"JÖRG", {true, true, true}, {true, false, false}},
      {"account", {true, true, true}, {false, true, false}},
      {".test", {false, true, true}, {true, false, true}},
      {"", {true, false, false}, {false, true, false}},
      {"nowhere", {true, true, true}, {false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    for (TListRow& row : main.lsvMail) row.Selected = true;
    main.SetListFilter({c.text, c.show});
    for (size_t i = 0; i < std::size(rows); ++i) {
      EXPECT_EQ(main.RowVisible(main.lsvMail[i]), c.visible[i]) << i;
      EXPECT_EQ(main.lsvMail[i].Selected, c.visible[i]) << i;
    }
  }
  // Marking a shown row with a hidden status takes it out of the selection too.
  main.SetListFilter({"", {false, true, true}});
  main.lsvMail[2].Selected = true;
  main.btnMarkSpamClick();
  EXPECT_FALSE(main.lsvMail[2].Selected);
  EXPECT_FALSE(main.RowVisible(main.lsvMail[2]));
}

// The Date column shows each message's instant in the user's zone (here Berlin, UTC+1 in
// winter, +2 in summer) and sorts by that instant to the second: a mail of 19:00 +0900 comes
// before one of 18:00 -0500 that day. Unreadable dates, and rows no longer in the directory,
// come first; a retrieved message's own Date counts.
TEST_F(MainListTest, TheDateColumnShowsAndSortsTheInstantInTheUsersZone) {
  testing::ScopedZone zone("Europe/Berlin");
  struct {
    const char *from, *date, *shown;
  } rows[] = {
      {"new york", "Tue, 02 Jan 2024 18:00:00 -0500", "03.01.24 00:00"},
      {"tokyo", "Tue, 02 Jan 2024 19:00:00 +0900", "02.01.24 11:00"},
      {"gmt", "Tue, 02 Jan 2024 10:00:40 GMT", "02.01.24 11:00"},
      {"ut", "Tue, 02 Jan 2024 10:00:20 ut", "02.01.24 11:00"},
      {"z", "2 Jan 2024 10:00:30 Z", "02.01.24 11:00"},
      {"est", "Tue, 02 Jan 2024 05:00:10 EST", "02.01.24 11:00"},
      {"edt", "Tue, 02 Jan 2024 06:00:50 EDT", "02.01.24 11:00"},
      {"cst", "Tue, 02 Jan 2024 04:01:00 CST", "02.01.24 11:01"},
      {"cdt", "Tue, 02 Jan 2024 05:01:10 CDT", "02.01.24 11:01"},
      {"mst", "Tue, 02 Jan 2024 03:01:20 MST", "02.01.24 11:01"},
      {"mdt", "Tue, 02 Jan 2024 04:01:30 MDT", "02.01.24 11:01"},
      {"pst", "Tue, 02 Jan 2024 02:01:40 PST", "02.01.24 11:01"},
      {"pdt", "Tue, 02 Jan 2024 03:01:50 PDT", "02.01.24 11:01"},
      {"military", "Tue, 02 Jan 2024 10:02:00 M", "02.01.24 11:02"},  // unknown: as UTC
      {"comment", "Tue, 02 Jan 2024 10:00:05 +0000 (UTC)", "02.01.24 11:00"},
      {"colon", "Tue, 02 Jan 2024 15:32:10 +05:30", "02.01.24 11:02"},
      {"summer", "Sun, 30 Jun 2024 23:30:00 -0230", "01.07.24 04:00"},
      {"unreadable", "someday", "30.12.99 00:00"},
      {"retrieved", "Tue, 09 Jan 2024 10:00:00 +0000", "09.01.24 11:00"},
      {"gone", "Tue, 09 Jan 2024 10:00:00 +0000", "09.01.24 11:00"},
  };
  MailboxAccount& account = AddAccount("alice");
  Lines messages;
  for (const auto& row : rows)
    messages.push_back(Message(int(messages.size()) + 1, row.from, row.date));
  List(account, messages);
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(main.lsvMail[i].SubItems.at(1), rows[i].shown) << rows[i].from;
  MessageListEntry& retrieved = *main.lsvMail[18].Data;
  retrieved.BodyRetrieved = true;
  retrieved.Message = std::make_unique<TmsMessage>();
  retrieved.Message->Headers = {"Date: Mon, 01 Jan 2024 09:00:00 +0000"};
  main.lsvMail[19].Data->InfoIndex = 70;  // no longer in the latest directory: date 0

  main.lsvMailColumnClick(2);
  EXPECT_EQ(Captions(),
            (Lines{"unreadable", "gone", "retrieved", "tokyo", "comment",  "est",   "ut",
                   "z",          "gmt",  "edt",       "cst",   "cdt",      "mst",   "mdt",
                   "pst",        "pdt",  "military",  "colon", "new york", "summer"}));
}

// Dates come in equal pairs two minutes apart. Each column's order is that of a stable sort by
// the row comparison, and rows move whole.
TEST_F(MainListTest, SortingMovesWholeRowsAsAStableSortByTheRowComparison) {
  MailboxAccount& account = AddAccount("alice");
  Lines messages;
  for (int i = 0; i < 40; ++i) {
    const int n = (i * 17) % 40, seconds = n / 2 * 120;
    char date[64];
    std::snprintf(date, sizeof date, "Fri, 01 Mar 2024 08:%02d:%02d +0000", seconds / 60,
                  seconds % 60);
    messages.push_back(Message(n % 7 + 1, std::string(n % 3 ? "b" : "B") + "@x.test", date, n + 1));
  }
  List(account, messages);
  for (size_t i = 0; i < main.lsvMail.size(); i += 5) main.lsvMail[i].SubItems.pop_back();
  main.lsvMail[3].Selected = true;
  const MessageListEntry* selected = main.lsvMail[3].Data.get();

  for (int32_t column : {2, 0, 1, 3, 4, 2}) {
    for (bool descending : {false, true}) {
      main.SortColumn = column;
      std::vector<const TListRow*> rows;
      for (const TListRow& row : main.lsvMail) rows.push_back(&row);
      std::stable_sort(rows.begin(), rows.end(), [&](const TListRow* a, const TListRow* b) {
        return main.lsvMailCompare(descending ? *b : *a, descending ? *a : *b) < 0;
      });
      std::vector<const MessageListEntry*> expected;
      for (const TListRow* row : rows) expected.push_back(row->Data.get());

      if (!descending) main.SortColumn = -1;  // a new column starts ascending
      main.lsvMailColumnClick(column);
      ASSERT_EQ(main.SortDescending, descending);
      std::vector<const MessageListEntry*> sorted;
      for (const TListRow& row : main.lsvMail) {
        sorted.push_back(row.Data.get());
        EXPECT_EQ(row.Selected, row.Data.get() == selected);
      }
      EXPECT_EQ(sorted, expected) << "column " << column << (descending ? " descending" : "");
    }
  }
}

TEST_F(MainListTest, PreviewShowsHeadersBodyOrWhatAGoneRowStillKnows) {
  MailboxAccount& account = AddAccount("alice");
  List(account, {Message(1), Message(2)});
  main.redMsg = {"unchanged"};
  main.lsvMailClick();  // nothing selected
  EXPECT_EQ(main.redMsg, Lines{"unchanged"});

  main.lsvMail[0].Selected = true;
  main.lsvMailClick();
  EXPECT_EQ(main.redMsg,
            (Lines{"From: sender1@x.test", "Subject: message 1",
                   "Date: Fri, 01 Mar 2024 08:00:00 +0000", "Message-ID: <1@x.test>"}));
  // Once the learner knows spam and safe mail, the preview begins with what it makes of it.
  const MessageListEntry& first = *main.lsvMail[0].Data;
  main.Learner().Mark(TStringList{"From: a@spam.test", "Message-ID: <s@x>"}, TLearner::TMark::Spam);
  main.lsvMailClick();
  EXPECT_EQ(main.redMsg.size(), 4u) << "only spam learned";
  main.Learner().Mark(TStringList{"From: b@safe.test", "Message-ID: <h@x>"}, TLearner::TMark::Safe);
  const Lines learned = {
      "Learned spam probability: " + TfrmMain::PercentText(main.LearnedProbability(first)), ""};
  main.lsvMailClick();
  ASSERT_EQ(main.redMsg.size(), 6u);
  EXPECT_EQ(Lines(main.redMsg.begin(), main.redMsg.begin() + 2), learned);
  main.mnuViewAppliedRulesClick();
  EXPECT_EQ(main.redMsg, learned);

  account.Client->MessageInfo.Clear();  // a later session no longer found it
  main.lsvMailClick();
  EXPECT_EQ(main.redMsg,
            (Lines{"From: sender1@x.test", "Subject: message 1", "Date: 01.03.24 08:00"}));

  MessageListEntry& second = *main.lsvMail[1].Data;
  second.BodyRetrieved = true;
  second.Message = std::make_unique<TmsMessage>();
  second.Message->Body = {"Hello,", "world"};
  second.AppliedRules = {"rule 1"};
  main.lsvMail[1].Focused = true;
  main.lsvMailKeyUp(40);  // arrow down: the focused row joins the selection and is previewed
  EXPECT_TRUE(main.lsvMail[1].Selected);
  EXPECT_EQ(main.redMsg, (Lines{"Hello,", "world"}));
  main.mnuViewAppliedRulesClick();
  EXPECT_EQ(main.redMsg, Lines{"rule 1"});
}

TEST_F(MainListTest, SplitterKeepsItsPercentageAndSelectorListsTheMailboxes) {
  main.pnlMainHeight = 500;
  main.pnlMainResize();
  EXPECT_EQ(main.lsvMailHeight, 200);
  main.lsvMailHeight = 300;
  main.Splitter1Moved();
  EXPECT_EQ(main.SplitPercent, 60);
  main.pnlMainHeight = 1000;
  main.pnlMainResize();
  EXPECT_EQ(main.lsvMailHeight, 600);
  main.pnlMainHeight = 0;  // minimised
  main.Splitter1Moved();
  EXPECT_EQ(main.SplitPercent, 60);

  AddAccount("alice");
  AddAccount("bob");
  main.cmbSelAddressDropDown();
  EXPECT_EQ(main.cmbSelAddress, (Lines{"ALL", "alice@x.test", "bob@x.test"}));
  EXPECT_EQ(main.cmbSelAddressIndex, 0);
}

// ---- marking and deletion ----

TEST_F(MainListTest, MarkingDecidesWhatDeletingAllSpamTouches) {
  FakePop3 server({Message(1), Message(2)});
  List(AddAccount("alice", server.Address()), {Message(1), Message(2)});
  main.lsvMail[0].Selected = true;
  main.btnMarkSpamClick();
  EXPECT_EQ(main.lsvMail[0].Data->Status, 0);
  EXPECT_EQ(main.lsvMail[0].ImageIndex, 0);
  main.btnMarkOKClick();
  main.btnDeleteAllSpamClick();
  EXPECT_EQ(server.Connections(), 0);

  main.btnDeleteClick();  // the selected row, whatever its class
  EXPECT_EQ(Sent(server), Lines{"DELE 1"});
  EXPECT_TRUE(Deleted(0));
  EXPECT_FALSE(Deleted(1));
  EXPECT_EQ(main.lsvMail[1].Data->MessageNumber, 0);
}

TEST_F(MainListTest, DeletingOnTheServerAsksFirstNamingTheCount) {
  options.chkNoDeleteConfirm = false;
  const struct {
    const char* name;
    bool allSpam;   // "Delete all spam", else the selected rows
    int chosen;     // rows chosen, of three
    Desktop::Result answer;
    bool noAsk;     // "do not ask again"
    const char* asked;  // nullptr: no question
    int deleted;
  } cases[] = {
      {"one selected, yes", false, 1, Desktop::mrYes, false,
       "Delete 1 message on the server? It cannot be recovered.", 1},
      {"all spam, yes", true, 3, Desktop::mrYes, false,
       "Delete 3 messages on the server? They cannot be recovered.", 3},
      {"no keeps everything", false, 2, Desktop::mrNo, false,
       "Delete 2 messages on the server? They cannot be recovered.", 0},
      {"closing the box keeps everything", true, 2, Desktop::mrCancel, false,
       "Delete 2 messages on the server? They cannot be recovered.", 0},
      {"do not ask again", false, 2, Desktop::mrNo, true, nullptr, 2},
      {"nothing chosen asks nothing", true, 0, Desktop::mrYes, false, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3 server({Message(1), Message(2), Message(3)});
    main.lsvMailClear();
    List(AddAccount(c.name, server.Address()), {Message(1), Message(2), Message(3)});
    for (int i = 0; i < c.chosen; ++i) {
      main.lsvMail[size_t(i)].Selected = !c.allSpam;
      if (c.allSpam) main.lsvMail[size_t(i)].Data->Status = 0;
    }
    options.chkNoDeleteConfirm = c.noAsk;
    desktop.Boxes.clear();
    desktop.BoxAnswers = {c.answer};
    c.allSpam ? main.btnDeleteAllSpamClick() : main.btnDeleteClick();
    if (c.asked) {
      ASSERT_EQ(desktop.Boxes.size(), 1u);
      EXPECT_EQ(desktop.Boxes[0].text, c.asked);
      EXPECT_TRUE(desktop.Boxes[0].buttons & Desktop::mbDefaultNo);
    } else {
      EXPECT_TRUE(desktop.Boxes.empty());
    }
    EXPECT_EQ(int(Sent(server).size()), c.deleted);
    if (c.deleted == 0) {
      EXPECT_EQ(server.Connections(), 0);
    }
  }
}

TEST_F(MainListTest, OneSessionPerMailboxInMailboxOrderAndNeverTwice) {
  FakePop3 first({Message(1), Message(2)}), second({Message(3)});
  MailboxAccount& a = AddAccount("alice", first.Address());
  MailboxAccount& b = AddAccount("bob", second.Address());
  List(b, {Message(3)});
  List(a, {Message(1), Message(2)});
  main.lsvMail[0].Data->Status = main.lsvMail[2].Data->Status = 0;
  Lines sessions;  // the mailboxes in the order they were worked on
  desktop.OnPump = [&] {
    const std::string at = main.CurrentAccount ? main.CurrentAccount->Address : "";
    if (sessions.empty() || sessions.back() != at) sessions.push_back(at);
  };

  main.btnDeleteAllSpamClick();
  EXPECT_EQ(sessions, (Lines{"alice@x.test", "bob@x.test"}));
  EXPECT_EQ(Sent(first), Lines{"DELE 2"});
  EXPECT_EQ(Sent(second), Lines{"DELE 1"});
  EXPECT_TRUE(Deleted(0) && Deleted(2));

  main.btnDeleteAllSpamClick();
  EXPECT_EQ(first.Connections() + second.Connections(), 2);
}

TEST_F(MainListTest, DeletesWhatTheRowShowsAfterRenumberingAndResorting) {
  FakePop3 before({Message(1, "carol"), Message(2, "alice"), Message(3, "bob")});
  MailboxAccount& account = AddAccount("alice", before.Address());
  List(account, {Message(1, "carol"), Message(2, "alice"), Message(3, "bob")});
  main.lsvMailColumnClick(0);  // alice, bob, carol: numbers follow the list, not the server
  main.SistemaContatori();
  main.lsvMail[2].Selected = true;
  main.btnDeleteClick();
  EXPECT_EQ(Sent(before), Lines{"DELE 1"});
  EXPECT_TRUE(Deleted(2));
  EXPECT_FALSE(Deleted(1));

  // The server now holds alice and bob, where the renumbered rows expect them.
  FakePop3 after({Message(2, "alice"), Message(3, "bob")});
  account.Client->Server = after.Address();
  main.lsvMail[2].Selected = false;
  main.lsvMail[1].Selected = true;
  main.btnDeleteClick();
  EXPECT_EQ(Sent(after), Lines{"DELE 2"});
  EXPECT_EQ(Sent(after, "TOP"), Lines{"TOP 2 1"});  // confirmed in place, no search
  EXPECT_TRUE(Deleted(1));
}

TEST_F(MainListTest, AMessageGoneBehindOurBackIsLeftAloneAndReported) {
  FakePop3 server({Message(1), Message(3)});  // message 2 was deleted by another program
  List(AddAccount("alice", server.Address()), {Message(1), Message(2), Message(3)});
  main.lsvMail[1].Selected = main.lsvMail[2].Selected = true;
  main.btnDeleteClick();
  EXPECT_EQ(Sent(server), Lines{"DELE 2"});
  EXPECT_FALSE(Deleted(1));
  EXPECT_TRUE(Deleted(2));
  EXPECT_EQ(main.StatusBar[4].Text, "1 message no longer on the server, left in the list.");
  EXPECT_EQ(main.lsvMail[1].Data->MessageNumber, 1);
}

// A row counts as deleted only once the server accepted its DELE and acknowledged QUIT. Each
// case fails one deletion of the first row. A session broken off must not send QUIT, which
// would commit deletions no row shows. Stopping comes last, as it leaves the request set.
TEST_F(MainListTest, RowsAreMarkedOnlyWhenTheServerAcceptedAndTheSessionEnded) {
  MailboxAccount& account = AddAccount("alice");
  account.Client->UserName = "user";
  const auto stop = [&](FakePop3&) {
    desktop.OnPump = [&] {
      if (account.Client->IsOpen() && !main.StopRequested) main.StatusBarDblClick();
    };
  };
  struct Case {
    const char* why;
    std::function<void(FakePop3&)> setup;
    bool quit;          // QUIT was sent
    std::string error;  // shown, if any
    std::string status;
  } cases[] = {
      {"DELE refused", [](FakePop3& s) { s.Reply("DELE", "-ERR message locked\r\n"); }, true, "",
       "The server refused to delete 1 message."},
      {"QUIT refused",
       [](FakePop3& s) { s.Reply("QUIT", "-ERR some deleted messages not removed\r\n"); }, true,
       "-ERR some deleted messages not removed", ""},
      {"login refused", [&](FakePop3&) { account.Client->Password = "wrong"; }, false,
       "-ERR invalid login", ""},
      {"stopped", stop, false, "Operation has been canceled", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    FakePop3 server({Message(1), Message(2)});
    account.Client->Server = server.Address();
    account.Client->Password = "secret";
    account.Client->MessageInfo.Clear();
    main.lsvMail.clear();
    List(account, {Message(1), Message(2)});
    main.lsvMail[0].Selected = true;
    desktop.Errors.clear();
    c.setup(server);
    main.btnDeleteClick();
    EXPECT_FALSE(Deleted(0));
    EXPECT_EQ(Sent(server, "QUIT").size(), c.quit ? 1u : 0u);
    EXPECT_EQ(desktop.Errors, c.error.empty() ? Lines{} : Lines{c.error});
    if (!c.status.empty()) {
      EXPECT_EQ(main.StatusBar[4].Text, c.status);
    }
    EXPECT_FALSE(account.Client->IsOpen());
    EXPECT_FALSE(main.Busy);
  }
}

}  // namespace
}  // namespace norva
