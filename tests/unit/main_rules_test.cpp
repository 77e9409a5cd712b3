// Rule evaluation of TfrmMain: every filter against messages that do and do not trigger it, the
// two passes of the spam score, the class, the rule log, the requests that follow and the
// check-list files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "app/CheckLists.h"
#include "app/Main.h"
#include "app/Rules.h"
#include "store/FileIO.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/Mailboxes.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::FakePop3;
using testing::TempDir;
using testing::WriteFile;
using Lines = std::vector<std::string>;

// Records the calls that reading, archiving and replying make; reading marks the entry retrieved.
class RecordingMain : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  Lines Calls;
  std::function<void()> OnRead;  // runs while the message is read, as the user interface may
  void LeggiMsg(MessageListEntry& entry, bool connect) override {
    Calls.push_back(connect ? "read connect" : "read");
    entry.BodyRetrieved = true;
    if (OnRead) OnRead();
  }
  void ArchiveMsg(const std::string& file, MessageListEntry&, bool connect) override {
    Calls.push_back("archive " + file + (connect ? " connect" : ""));
  }
  void ArchiveReplyMsg(const std::string& file, MessageListEntry&, bool connect) override {
    Calls.push_back("reply " + file + (connect ? " connect" : ""));
  }
};

// Every rule below uses it: lines with CR LF ends, a comment, an empty line, a bare domain in
// other letter case, a full address, a line with a leading blank, a word, a header name, and a
// domain and a word beyond ASCII.
const char kBlackList[] =
    "; blocked senders\r\n\r\nEXAMPLE.com\r\nboss@Corp.com\r\n spaced.com\r\nviagra\r\n"
    "X-Spam-Flag\r\nmünchen.example\r\nGröße\r\n";

// Header fields as Python's email package writes them for non-ASCII text (names, subject and
// even addresses in encoded words, a long subject folded).
const std::vector<std::string> kPythonFrom = {
    "From:", " =?utf-8?q?J=C3=BCrgen_Wei=C3=9F?= <juergen@=?utf-8?q?M=C3=9CNCHEN?=.example>"};
const std::vector<std::string> kPythonSubject = {
    "Subject: Sie haben einen PREIS gewonnen: =?utf-8?b?R3LDtsOfZSB6w6RobHQg4oCT?=",
    " prize inside"};

class RulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.lstCList = {{"Black List", 3}, {"New List", 9}};  // CL9.txt was never written
    WriteFile(dir.File("CL3.txt"), kBlackList);
  }
  void TearDown() override { fileio::SetFaultHook(nullptr); }

  // A new row for a message with these header lines (plus its Message-ID) and size.
  MessageListEntry& Add(const Lines& headers, int32_t size = 100) {
    return testing::AddListedRow(main, client, headers, size);
  }
  MessageListEntry& Check(const Lines& headers, int32_t size = 100) {
    MessageListEntry& entry = Add(headers, size);
    main.SpamCheckMsg(entry);
    return entry;
  }
  TListRow& RowOf(const MessageListEntry& entry) {
    return *std::find_if(main.lsvMail.begin(), main.lsvMail.end(),
                         [&](const TListRow& row) { return row.Data.get() == &entry; });
  }

  TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  RecordingMain main{desktop, options};
  TmsRemotePOP client;
};

TEST_F(RulesTest, EachFilterFiresExactlyWhenItsConditionHolds) {
  const Lines joe = {"From: Joe <JOE@Example.com>", "To: Ann Smith <ann@corp.com>",
                     "Subject: Cheap PILLS now"};
  struct Case {
    uint8_t filter;
    std::string param;
    Lines headers;
    int32_t size;
    bool fires;
    const char* why;
  } cases[] = {
      {0, "joe@example.com", joe, 0, true, "From address in other case"},
      {0, "Joe", joe, 0, false, "the display name is not the address"},
      {1, "EXAMPLE.COM", {"From: a@example.com"}, 0, true, "From domain"},
      {1, "example.com", {"From: a@mail.example.com"}, 0, false, "a subdomain"},
      {2, "pills", joe, 0, true, "Subject"},
      {2, "", joe, 0, false, "an empty text matches nothing"},
      {3, "CORP", joe, 0, true, "To address"},
      {3, "smith", joe, 0, false, "the display name is not searched"},
      {4, "", {"To: a@x.com"}, 0, false, "no Mail-For"},
      {4, "", {"To: a@x.com", "Mail-For: b@x.com"}, 0, true, "Mail-For differs"},
      {4, "", {"To: a@x.com", "Mail-For: <A@X.com>"}, 0, false, "same address, other case"},
      {5, "", {"To: a@x.com", "Reply-To: a@x.com"}, 0, true, "Reply-To equals To"},
      {5, "", {}, 0, false, "both empty"},
      {6, "", {"From: a@x.com", "Reply-To: b@x.com"}, 0, true, "Reply-To differs"},
      {6, "", {"From: a@x.com"}, 0, false, "no Reply-To"},
      {7, "", {"Subject: x"}, 0, true, "To and From both empty"},
      {7, "", {"From: Me <me@x.com>", "To: me@X.com"}, 0, true, "same address"},
      {7, "", {"From: me@x.com", "To: you@x.com"}, 0, false, "different addresses"},
      {8, "x-spam-flag", {"X-Spam-Flag: YES"}, 0, true, "header present"},
      {8, "X-Spam-Flag", {"X-Spam-Flag:"}, 0, false, "header with an empty value"},
      {9, "ann@corp.com>\r\nsubject", joe, 0, true, "header lines joined by CR LF"},
      {10, "bulk", {"X-Mailer: Bulk Sender 3"}, 0, true, "X-Mailer"},
      {10, "bulk", {"Subject: bulk"}, 0, false, "only X-Mailer is searched"},
      {11, "LIST", {"X-Distribution: list-wide"}, 0, true, "X-Distribution"},
      {12, "999", {}, 1000, true, "larger"},
      {12, "1000", {}, 1000, false, "not larger"},
      {17, "", {"Subject: x"}, 0, true, "no To"},
      {17, "", {"To: undisclosed-recipients:;"}, 0, false, "a To without @ still counts"},
      {18, " 11", {}, 10, true, "smaller"},
      {18, "10", {}, 10, false, "not smaller"},
      {19, "", {}, 0, true, "all messages"},
      {14, "black list", {"From: a@EXAMPLE.com"}, 0, true, "bare domain, any case"},
      {14, "Black List", {"From: a@mail.example.com"}, 0, false, "subdomain of a listed domain"},
      {14, "Black List", {"From: Boss <BOSS@corp.com>"}, 0, true, "listed address"},
      {14, "Black List", {"From: clerk@corp.com"}, 0, false, "other address at that domain"},
      {14, "Black List", {"From: a@spaced.com"}, 0, false, "lines are not trimmed"},
      {14, "Grey List", {"From: a@example.com"}, 0, false, "no such list"},
      {14, "New List", {"From: a@example.com"}, 0, false, "list never saved"},
      {15, "Black List", {"To: x@example.com"}, 0, true, "To in the list"},
      {16, "Black List", {"Subject: Buy VIAGRA"}, 0, true, "Subject holds a line"},
      {16, "Black List", {"Subject: re; blocked senders"}, 0, false, "comments are skipped"},
      {20, "Black List", {"X-Spam-Flag: yes"}, 0, true, "listed header present"},
      {20, "Black List", {"X-Spam-Flag:"}, 0, false, "listed header empty"},
      {21, "Black List", {"X-Note: viagra inside"}, 0, true, "header block holds a line"},
      {22, "Black List", {"Subject: x"}, 0, false, "no To"},
      {22, "Black List", {"To: x@other.org"}, 0, true, "To not in the list"},
      {22, "Black List", {"To: x@example.com"}, 0, false, "To in the list"},
      {22, "Grey List", {"To: x@other.org"}, 0, true, "no such list: nobody is in it"},
      {22, "New List", {"To: x@other.org"}, 0, true, "list never saved: nobody is in it"},
      {23, "49", {}, 0, true, "nothing learned: 50%"},
      {23, " 50 %", {}, 0, false, "50% is not greater"},
      // What the user sees (decoded, any script's letter case) and what the header says.
      {2, "größe zählt", kPythonSubject, 0, true, "an encoded word"},
      {2, "ZÄHLT", kPythonSubject, 0, true, "upper case beyond ASCII"},
      {2, "zählt – prize", kPythonSubject, 0, true, "across the fold"},
      {2, "?utf-8?B?", kPythonSubject, 0, true, "the raw text as well"},
      {2, "grüße", {"Subject: GR\xDC\xDF\x45"}, 0, true, "raw Latin-1"},
      {2, "tail", {"Subject: " + std::string(300, 'x') + " tail"}, 0, true, "past 255 shown"},
      {2, "prize", {"Subject: =?utf-8?q?a_pri?= =?utf-8?q?ze?="}, 0, true, "words joined"},
      {2, "prize", {"Subject: =?utf-8?q?a_price?="}, 0, false, "no such text"},
      {0, "JUERGEN@münchen.example", kPythonFrom, 0, true, "an encoded address"},
      {1, "münchen.EXAMPLE", kPythonFrom, 0, true, "its domain"},
      {3,
       "örg.example",
       {"To: <=?utf-8?q?ZO=C3=8B?=@=?utf-8?q?=C3=B6rg?=.example>"},
       0,
       true,
       "To"},
      {4, "", {"To: a@x.com", "Mail-For: =?utf-8?q?A?=@X.com"}, 0, false, "same once decoded"},
      {9, "preis gewonnen: größe", kPythonSubject, 0, true, "a decoded field"},
      {10, "bülk mäiler", {"X-Mailer: =?utf-8?q?B=C3=BClk_M=C3=A4iler?= 3"}, 0, true, "encoded"},
      {11, "mäßig", {"X-Distribution: =?iso-8859-1?q?M=C4=DFIG?="}, 0, true, "a Latin-1 word"},
      {14, "Black List", kPythonFrom, 0, true, "listed domain beyond ASCII, other case"},
      {16, "Black List", {"Subject: =?utf-8?b?QnV5IFZJQUdSQQ==?="}, 0, true, "encoded subject"},
      {16, "Black List", {"Subject: =?utf-8?q?GR=C3=96=C3=9FE?="}, 0, true, "listed word, case"},
      {21, "Black List", {"X-Note: =?utf-8?b?dmlh?= =?utf-8?b?Z3Jh?="}, 0, true, "decoded block"},
      {22, "Black List", {"To: Boss <=?utf-8?q?BOSS?=@corp.com>"}, 0, false, "To listed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("filter " + std::to_string(c.filter) + ": " + c.why);
    options.lsvRule = {{c.filter, c.param, 1, ""}};
    const MessageListEntry& entry = Check(c.headers, c.size);
    EXPECT_EQ(entry.Status, c.fires ? 0 : 1);
    EXPECT_EQ(RowOf(entry).ImageIndex, entry.Status);
    // The learner's verdict is logged whether its rule fires or not.
    EXPECT_EQ(entry.AppliedRules.size(), (c.fires ? 2u : 0u) + (c.filter == kLearnedFilter));
  }
}

// The directory holds another message at the row's position: no rule may act on it.
TEST_F(RulesTest, WithoutItsDirectoryEntryAMessageStaysUnknown) {
  options.lsvRule = {{19, "", 1, ""}};
  MessageListEntry& moved = Add({"From: b@x.com"});
  moved.MessageId = "<elsewhere@test>";
  main.SpamCheckMsg(moved);
  EXPECT_EQ(moved.Status, 1);
  EXPECT_TRUE(moved.AppliedRules.empty());
  EXPECT_TRUE(main.Calls.empty());
}

TEST_F(RulesTest, TheLogNamesEachFiredRuleWithCaptionsAsTheyStand) {
  options.lsvRule = {{2, "pills", 1, ""}, {4, "", 4, "5"}, {17, "", 2, ""}};
  MessageListEntry& entry = Check({"To: a@x.com", "Mail-For: b@x.com", "Subject: pills"});
  const Lines log = {"Rule: \"Subject:\" contains string: pills", "----> Mark message as spam ",
                     "Rule: \"To:\" address different from \"Mail-For:\" address ",
                     "----> Add Spam-Pound by: 5"};
  EXPECT_EQ(entry.AppliedRules, log);
  EXPECT_EQ(entry.SpamPound, 5);
  EXPECT_EQ(entry.Status, 0);

  // A second evaluation starts afresh.
  main.SpamCheckMsg(entry);
  EXPECT_EQ(entry.AppliedRules, log);
  EXPECT_EQ(entry.SpamPound, 5);
}

TEST_F(RulesTest, TheScoreIsComparedAfterEveryAdditionWhateverTheOrder) {
  const auto byAction = [](const MailRule& a, const MailRule& b) {
    return a.ActionParam < b.ActionParam;
  };
  for (const bool spam : {true, false}) {
    std::vector<MailRule> rules = {
        {19, "", 4, "30"}, {13, spam ? "50" : "70", 1, ""}, {19, "", 4, "40"}};
    std::sort(rules.begin(), rules.end(), byAction);
    do {
      SCOPED_TRACE(rules[0].ActionParam + "," + rules[1].ActionParam + "," + rules[2].ActionParam);
      options.lsvRule = rules;
      const MessageListEntry& entry = Check({"From: a@x.com"});
      EXPECT_EQ(entry.SpamPound, 70);
      EXPECT_EQ(entry.Status, spam ? 0 : 1);
      ASSERT_EQ(entry.AppliedRules.size(), spam ? 6u : 4u);
      if (spam) {
        EXPECT_EQ(entry.AppliedRules[4], "Rule: Message Spam-Pound greater than: 50");
      }
    } while (std::next_permutation(rules.begin(), rules.end(), byAction));
  }
}

// Header blocks of one bulk sender and of one colleague, the n-th of each (rows get a
// Message-ID of their own).
Lines Bulk(int n) {
  const std::string i = std::to_string(n);
  return {"Received: from mx.cheap-pills.example (mx.cheap-pills.example [203.0.113.7])",
          "From: Deals <offers" + i + "@cheap-pills.example>", "To: you@home.test",
          "Subject: Cheap pills offer " + i, "X-Mailer: BulkBlaster 5"};
}
Lines Colleague(int n) {
  const std::string i = std::to_string(n);
  return {"Received: from mail.work.example.org (mail.work.example.org [198.51.100.2])",
          "From: Ann <ann@work.example.org>", "To: you@home.test", "Subject: Meeting notes " + i,
          "X-Mailer: Thunderbird"};
}

TEST_F(RulesTest, TheLearnedProbabilityAddsToTheScoreAndIsLoggedOnceAMessage) {
  for (int i = 0; i < 3; ++i) {
    main.Learner().Mark(Bulk(i), TLearner::TMark::Spam);
    main.Learner().Mark(Colleague(i), TLearner::TMark::Safe);
  }
  // The learner's hint and a weak one together pass the threshold; the weak one alone does not.
  options.lsvRule = {
      {13, "50", 1, ""}, {23, "90%", 4, "30"}, {19, "", 4, "40"}, {23, "100", 3, ""}};
  const MessageListEntry& spam = Check(Bulk(9));
  const MessageListEntry& safe = Check(Colleague(9));
  ASSERT_GT(main.LearnedProbability(spam), 0.9);
  ASSERT_LT(main.LearnedProbability(safe), 0.9);
  const auto learned = [&](const MessageListEntry& entry) {
    return "----> learned: " + TfrmMain::PercentText(main.LearnedProbability(entry));
  };
  EXPECT_EQ(
      spam.AppliedRules,
      (Lines{learned(spam), "Rule: Learned spam probability greater than: 90%",
             "----> Add Spam-Pound by: 30", "Rule: All messages", "----> Add Spam-Pound by: 40",
             "Rule: Message Spam-Pound greater than: 50", "----> Mark message as spam "}));
  EXPECT_EQ(std::tie(spam.SpamPound, spam.Status, spam.Urgent), std::make_tuple(70, 0, false));
  EXPECT_EQ(safe.AppliedRules,
            (Lines{learned(safe), "Rule: All messages", "----> Add Spam-Pound by: 40"}));
  EXPECT_EQ(std::tie(safe.SpamPound, safe.Status), std::make_tuple(40, 1));
}

// The learner's file is read only for rules that ask it; a damaged one is reported once and
// knows nothing.
TEST_F(RulesTest, ADamagedLearnerIsReportedOnceAndGivesFiftyPercent) {
  WriteFile(dir.File(kLearnFile), "not a record store");
  options.lsvRule = {{19, "", 4, "1"}};
  EXPECT_EQ(Check(Bulk(1)).AppliedRules.size(), 2u);
  EXPECT_TRUE(desktop.Errors.empty());
  options.lsvRule = {{23, "49", 1, ""}};
  EXPECT_EQ(Check(Bulk(2)).Status, 0);
  EXPECT_EQ(Check(Bulk(3)).AppliedRules.front(), "----> learned: 50%");
  EXPECT_EQ(desktop.Errors.size(), 1u);
}

TEST_F(RulesTest, SafeDecidesTheClassButADeletionStillGoesToTheServer) {
  FakePop3 box({"a\r\n", "b\r\n"});
  client.Server = box.Address();
  client.UserName = "user";
  client.Password = "secret";
  client.SetTimeOut(10);
  client.SetWinsockLoaded(true);
  client.Connect();
  Add({"From: friend@x.com"});
  options.lsvRule = {{19, "", 0, ""}, {19, "", 2, ""}};
  MessageListEntry& entry = Add({"From: spam@x.com"});
  main.SpamCheckMsg(entry);
  client.Disconnect();

  EXPECT_EQ(entry.Status, 2);
  EXPECT_EQ(RowOf(entry).ImageIndex, 2);
  // Sent, but counted only by the check cycle once "QUIT" is acknowledged.
  EXPECT_EQ(RowOf(entry).StateIndex, -1);
  EXPECT_FALSE(entry.DeletedOnServer);
  EXPECT_EQ(main.lsvMail.front().StateIndex, -1);
  EXPECT_EQ(box.Commands(), (Lines{"USER user", "PASS secret", "STAT", "DELE 2", "QUIT"}));
}

TEST_F(RulesTest, RequestsAreCarriedOutOnceInTheOpenSession) {
  options.lsvRule = {{19, "", 7, ""},
                     {19, "", 5, "Spam.TMA"},
                     {19, "", 6, "Thanks"},
                     {19, "", 7, ""},
                     {19, "", 3, ""}};
  const MessageListEntry& entry = Check({"From: a@x.com"});
  EXPECT_EQ(main.Calls,
            (Lines{"read", "reply " + dir.File("$OutBox.TMA"), "archive " + dir.File("Spam.TMA")}));
  EXPECT_EQ(entry.ReplyTemplate, "Thanks");
  EXPECT_TRUE(entry.Urgent);
  EXPECT_EQ(entry.Status, 1);  // urgent is no class
  EXPECT_FALSE(entry.DeletedOnServer);

  main.Calls.clear();
  options.lsvRule = {{19, "", 5, "/elsewhere/Kept.TMA"}, {19, "", 7, ""}};
  MessageListEntry& read = Add({"From: a@x.com"});
  read.BodyRetrieved = true;
  main.SpamCheckMsg(read);
  EXPECT_EQ(main.Calls, Lines{"archive /elsewhere/Kept.TMA"});
}

TEST_F(RulesTest, ANumberThatIsNotAnIntegerEndsTheEvaluationOfThatMessage) {
  const std::vector<MailRule> bad[] = {{{12, "1k", 1, ""}},  {{18, "", 1, ""}},
                                       {{13, "ten", 1, ""}}, {{19, "", 4, "5x"}},
                                       {{23, "101", 1, ""}}, {{23, "0.9", 1, ""}}};
  for (const auto& rules : bad) {
    SCOPED_TRACE(rules[0].FilterParam + rules[0].ActionParam);
    options.lsvRule = rules;
    options.lsvRule.push_back({19, "", 0, ""});
    const MessageListEntry& entry = Check({"From: a@x.com"});
    ASSERT_FALSE(entry.AppliedRules.empty());
    EXPECT_EQ(entry.AppliedRules.back().rfind("----> Not done: ", 0), 0u)
        << entry.AppliedRules.back();
    EXPECT_FALSE(entry.DeleteRequested);
  }
}

// Rules edited while an action lets the user interface run: the message goes on with the rules
// it started with, the next message has the new ones.
TEST_F(RulesTest, RulesEditedDuringAnActionApplyFromTheNextMessageOn) {
  options.lsvRule = {{19, "", 7, ""}, {19, "", 3, ""}};
  main.OnRead = [&] {
    options.lsvRule.Set(1, {19, "", 1, ""});
    options.lsvRule.push_back({19, "", 4, "5"});
    main.OnRead = nullptr;
  };
  const MessageListEntry& first = Check({"From: a@x.com"});
  EXPECT_TRUE(first.Urgent);
  EXPECT_EQ(first.Status, 1);
  EXPECT_EQ(first.SpamPound, 0);
  const MessageListEntry& second = Check({"From: b@x.com"});
  EXPECT_FALSE(second.Urgent);
  EXPECT_EQ(second.Status, 0);
  EXPECT_EQ(second.SpamPound, 5);
}

// A kept list is used only while its file has the size and modification time it was read with;
// a list that cannot be read ends the evaluation with its name in the log.
TEST_F(RulesTest, AKeptCheckListIsReadAgainWhenItsFileChangesAndAnUnreadableOneRaises) {
  main.CheckListFiles.SettleSeconds = 0;
  const std::string path = dir.File("CL3.txt");
  int opened = 0;
  bool unreadable = false;
  fileio::SetFaultHook([&](fileio::Op op, const std::string& file) {
    const bool reading = op == fileio::Op::Open || op == fileio::Op::Stat;
    if (file != path || !reading) return 0;
    if (unreadable) return EACCES;
    opened += op == fileio::Op::Open;
    return 0;
  });
  const auto write = [&](const std::string& text, long nanoseconds) {
    WriteFile(path, text);
    main.CheckListFiles.NewCheck();  // as the next check starts
    const timespec times[2] = {{1600000000, 0}, {1600000000, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  const auto spam = [&](const std::string& from) { return Check({"From: " + from}).Status == 0; };
  options.lsvRule = {{14, "Black List", 1, ""}, {21, "Black List", 4, "1"}};

  write("one.com\r\n", 1);
  EXPECT_TRUE(spam("a@one.com"));
  EXPECT_FALSE(spam("a@two.com"));
  EXPECT_EQ(opened, 1) << "an unchanged file is read once";

  write("two.com\r\n", 2);  // same size, one nanosecond later
  EXPECT_TRUE(spam("a@two.com"));
  EXPECT_FALSE(spam("a@one.com"));
  write("three.com\r\n", 2);  // same time, other size
  EXPECT_TRUE(spam("a@three.com"));
  EXPECT_EQ(Check({"From: a@x.org", "Subject: three.com"}).SpamPound, 1);
  EXPECT_EQ(opened, 3);

  unreadable = true;
  main.CheckListFiles.NewCheck();
  EXPECT_NE(Check({"From: a@three.com"}).AppliedRules.back().find("CL3.txt"), std::string::npos);
  unreadable = false;
  ASSERT_EQ(::unlink(path.c_str()), 0);
  main.CheckListFiles.NewCheck();
  EXPECT_FALSE(spam("a@three.com")) << "a removed file holds no lines";
}

// A file changed moments ago is read whenever it is looked at, but its prepared list is kept
// while the bytes stay the same.
TEST(CheckListFilesTest, ANewFileIsReadAtEveryLookAndItsListKeptWhileItsBytesStay) {
  testing::TempDir dir;
  const std::string path = dir.File("CL1.txt");
  TCheckListFiles files;
  files.SettleSeconds = 1000;
  files.StatInterval = {};  // look at every Get
  WriteFile(path, "one.com\n");
  const auto first = files.Get(path);
  EXPECT_EQ(files.Get(path), first);
  WriteFile(path, "two.com\n");
  const auto second = files.Get(path);
  ASSERT_NE(second, first);
  EXPECT_TRUE(second->HasAddress("a@two.com"));
  EXPECT_FALSE(second->HasAddress("a@one.com"));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(files.Get(path)->Lines().empty());
}

TEST(TextMatcherTest, FindsEveryTextWhereverItStandsAndNothingElse) {
  const TTextMatcher matcher({"he", "She", "his", "hers", "ushers!", "a@b"});
  for (const char* text : {"he", "xSHEx", "this", "ushers", "ah@b", "a@b", "USHERS!", "sh\xe9"})
    EXPECT_EQ(matcher.OccursIn(text),
              std::string_view(text) != "ah@b" && std::string_view(text) != "sh\xe9")
        << text;
  EXPECT_FALSE(matcher.OccursIn("hi s h e a@ b"));
  // A partial match that fails goes on from the longest text it still ends with.
  const TTextMatcher overlapping({"abcd", "bce", "cf"});
  EXPECT_TRUE(overlapping.OccursIn("xABCE"));
  EXPECT_TRUE(overlapping.OccursIn("abcf"));
  EXPECT_FALSE(overlapping.OccursIn("abcbcd-bc"));
  EXPECT_FALSE(TTextMatcher({""}).OccursIn("anything"));
  // Letter case beyond ASCII, in the texts and in the text searched.
  const TTextMatcher unicode({"Größe", "ÉTÉ"});
  for (const char* text : {"x GRÖßE x", "l'été", "grosse", "ete"})
    EXPECT_EQ(unicode.OccursIn(text), text[0] != 'g' && text[0] != 'e') << text;
}

TEST(SplitAddressTest, SeparatesTheBareAddressFromTheRest) {
  struct {
    const char *text, *address, *name;
  } cases[] = {
      {"", "", ""},
      {"Joe Bloggs <joe@x.com>", "joe@x.com", "Joe Bloggs"},
      {"<joe@x.com>", "joe@x.com", ""},
      {"\"Joe\" <joe@x.com>", "joe@x.com", "\"Joe\""},
      {"joe@x.com (Joe)", "joe@x.com", "(Joe)"},
      {"'joe@x.com'", "joe@x.com", "''"},
      {"undisclosed-recipients:;", "undisclosed-recipients:;", "undisclosed-recipients:;"},
      {"Undisclosed recipients", "Undisclosed", "Undisclosed recipients"},
  };
  for (const auto& c : cases) {
    std::string address = "old", name = "old";
    SplitAddress(c.text, address, name);
    EXPECT_EQ(address, c.address) << c.text;
    EXPECT_EQ(name, c.name) << c.text;
  }
}

}  // namespace
}  // namespace norva
