// The rule editor's fields and the rules they build, and the quick commands of the message
// list's pop-up menu that fill the "Safe List" and "Black List" check lists and the address book.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Main.h"
#include "app/Rules.h"
#include "config/ListsPage.h"
#include "store/FileIO.h"
#include "support/FakeDesktop.h"
#include "support/Mailboxes.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Names = std::vector<std::string>;

class RuleEditorTest : public ::testing::Test {
 protected:
  TempDir dir;
  TfrmOptions options{dir.Path()};
  TfrmRule rule{options};
};

TEST_F(RuleEditorTest, ParameterWidgetsAndValueFollowTheKindOfTheSelectedCode) {
  options.lstCList = {{"Safe List", 1}, {"Black List", 2}};
  rule.FormCreate();
  ASSERT_EQ(rule.lstFilter.size(), size_t(kFilterTypeCount));
  // Filter 0 takes text, action 0 nothing.
  EXPECT_TRUE(rule.lblFilterVisible && rule.edtFilterVisible && !rule.cmbFilterVisible);
  EXPECT_FALSE(rule.lblActionVisible || rule.edtActionVisible || rule.cmbActionVisible);

  rule.lstFilterIndex = 11;
  rule.lstFilterClick();
  EXPECT_EQ(rule.memFilter, "Bulk messages sometime contain \"bulk\" within this header.");

  // A kind-0 filter hides everything and yields no parameter, whatever the text field holds.
  rule.edtFilter = "left over";
  rule.lstFilterIndex = 4;
  rule.lstFilterClick();
  EXPECT_FALSE(rule.lblFilterVisible || rule.edtFilterVisible || rule.cmbFilterVisible);

  // Kind 2 offers the current names, the first preselected; with no templates there is none.
  rule.lstActionIndex = 6;
  rule.lstActionClick();
  EXPECT_TRUE(rule.lblActionVisible && !rule.edtActionVisible && rule.cmbActionVisible);
  EXPECT_EQ(rule.BuildRule(), (MailRule{4, "", 6, ""}));
  rule.lstFilterIndex = 14;
  EXPECT_EQ(rule.cmbFilter.Items, (Names{"Safe List", "Black List"}));
  EXPECT_EQ(rule.BuildRule().FilterParam, "Safe List");
}

TEST_F(RuleEditorTest, LoadedRuleBuildsBackAndAnEmptyRuleResets) {
  options.lstCList = {{"Safe List", 1}, {"Black List", 2}};
  options.lstTemplate = {{"Thanks", 1}, {"Away", 2}};
  rule.FormCreate();
  for (const MailRule& stored :
       {MailRule{0, "joe@example.com", 4, "25"}, MailRule{22, "Black List", 6, "Away"},
        MailRule{17, "", 2, ""}, MailRule{kLearnedFilter, "90%", 1, ""}}) {
    rule.LoadRule(stored);
    EXPECT_EQ(rule.BuildRule(), stored) << int(stored.FilterType);
  }
  // Names are found without regard to case; a name no longer offered selects nothing.
  rule.LoadRule({15, "black list", 6, "Gone"});
  EXPECT_EQ(rule.cmbAction.ItemIndex, -1);
  EXPECT_EQ(rule.BuildRule(), (MailRule{15, "Black List", 6, ""}));

  rule.LoadRule({2, "pills", 5, "spam.txt"});
  rule.LoadRule({});
  EXPECT_EQ(rule.edtFilter + rule.edtAction, "");
  EXPECT_EQ(rule.BuildRule(), MailRule{});
  // A new rule starts as marking spam, never as deleting on the server.
  rule.LoadRule(TfrmRule::NewRule());
  EXPECT_EQ(rule.lstAction[size_t(rule.lstActionIndex)], "Mark message as spam ");
  rule.FormCreate();
  EXPECT_EQ(rule.lstActionIndex, 1);
}

class QuickRulesTest : public ::testing::Test {
 protected:
  void SetUp() override { main.frmRule = &rule; }
  void TearDown() override { fileio::SetFaultHook(nullptr); }

  // A new row for a message with these header lines (plus its Message-ID), the only one selected.
  MessageListEntry& Select(const Names& headers) {
    for (TListRow& row : main.lsvMail) row.Selected = false;
    MessageListEntry& entry = testing::AddListedRow(main, client, headers);
    main.lsvMail.back().Selected = true;
    return entry;
  }
  void Click(TfrmMain::TQuickRuleItem item) { main.mnuARSSenderClick(item); }

  TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  TfrmRule rule{options};
  TmsRemotePOP client;
};

using Item = TfrmMain::TQuickRuleItem;

TEST_F(QuickRulesTest, FirstUseCreatesTheListAndEntriesAreAddedOnce) {
  options.lstCList = {{"Black List", 3}};
  options.CListCounter = 7;
  rule.reloadCmbFilter();
  // A previous run's file under the next number: another list's lines, kept and not reused.
  WriteFile(dir.File("CL8.txt"), "left.com\r\n");
  WriteFile(dir.File("CL3.txt"), "; spam\r\nbad.com");  // its last line has no line end

  Select({"From: Joe <joe@Example.com>"});
  Click(Item::mnuARSSenderDomain);
  ASSERT_EQ(options.lstCList.size(), 2u);
  EXPECT_EQ(options.lstCList[1], (TNamedFile{"Safe List", 9}));
  EXPECT_EQ(options.CListCounter, 9);
  EXPECT_EQ(rule.cmbFilter.Items, (Names{"Black List", "Safe List"}));
  EXPECT_EQ(ReadFile(dir.File("CL8.txt")), "left.com\r\n");
  EXPECT_EQ(ReadFile(dir.File("CL9.txt")), "Example.com\r\n");
  // Registered at once: the next run knows the list and gives its number to no other.
  {
    TfrmOptions next(dir.Path());
    next.Load();
    EXPECT_EQ(next.lstCList, options.lstCList);
    EXPECT_EQ(next.CListCounter, 9);
  }

  // The same domain from another sender, in other letters, is not written again.
  Select({"From: ann@EXAMPLE.COM"});
  Click(Item::mnuARSSenderDomain);
  Click(Item::mnuARSSender);
  Click(Item::mnuARSSender);
  EXPECT_EQ(ReadFile(dir.File("CL9.txt")), "Example.com\r\nann@EXAMPLE.COM\r\n");
  EXPECT_TRUE(main.IsInList("safe list", "bob@example.com"));

  Click(Item::mnuARASender);
  Click(Item::mnuARASenderDomain);
  EXPECT_EQ(ReadFile(dir.File("CL3.txt")),
            "; spam\r\nbad.com\r\nann@EXAMPLE.COM\r\nEXAMPLE.COM\r\n");
  EXPECT_EQ(options.lstCList.size(), 2u);
  EXPECT_TRUE(desktop.Errors.empty());
}

TEST_F(QuickRulesTest, BookRowsTakeTheSenderAndKeepTheBookSorted) {
  options.lsvBook = {{"Zed", "a@z.com", ""}, {"Amy", "m@a.com", "x"}};
  options.BookSort = 1;  // by address
  int refills = 0;
  options.OnFillEdtMsgTo = [&] { ++refills; };
  Select({"From: Bob <b@b.com>"});
  main.mnuAddBookClick();
  EXPECT_EQ(options.lsvBook[1], (TBookRow{"Bob", "b@b.com", ""}));
  EXPECT_EQ(refills, 1);

  // A retrieved message names its sender itself; otherwise the directory's From is used, and a
  // row whose directory entry is gone has none.
  MessageListEntry& read = Select({"From: Other <other@y.com>"});
  read.BodyRetrieved = true;
  read.Message = std::make_unique<TmsMessage>();
  read.Message->Sender.Name = "Ann Smith";
  read.Message->Sender.Address = "ann@x.com";
  main.mnuAddBookClick();
  EXPECT_EQ(options.lsvBook[1], (TBookRow{"Ann Smith", "ann@x.com", ""}));
  Select({"From: Joe <joe@example.com>"}).MessageId = "<moved@test>";
  main.mnuAddBookClick();
  EXPECT_EQ(options.lsvBook.front(), (TBookRow{"", "", ""}));

  // Nothing happens while the window is locked or with no row selected.
  main.Busy = true;
  main.mnuAddBookClick();
  Click(Item::mnuARSSender);
  main.Busy = false;
  main.lsvMail.back().Selected = false;
  main.mnuAddBookClick();
  Click(Item::mnuARSSender);
  EXPECT_EQ(options.lsvBook.size(), 5u);
  EXPECT_TRUE(options.lstCList.empty());

  // A missing From adds an empty line, which every check-list test ignores.
  Select({"Subject: no sender"});
  Click(Item::mnuARSSenderDomain);
  ASSERT_EQ(options.lstCList.size(), 1u);
  EXPECT_EQ(ReadFile(CheckListFileName(dir.Path(), options.lstCList[0].FileNumber)), "\r\n");
}

TEST_F(QuickRulesTest, FailuresAreShownAndLeaveTheListAsItWas) {
  options.lstCList = {{"Safe List", 1}};
  const std::string path = dir.File("CL1.txt");
  WriteFile(path, "keep.com\r\n");
  Select({"From: joe@example.com"});

  fileio::SetFaultHook([&](fileio::Op op, const std::string& file) {
    return op == fileio::Op::Open && file == path ? EACCES : 0;
  });
  Click(Item::mnuARSSender);
  fileio::SetFaultHook(
      [](fileio::Op op, const std::string&) { return op == fileio::Op::Rename ? ENOSPC : 0; });
  Click(Item::mnuARSSender);
  fileio::SetFaultHook(nullptr);
  EXPECT_EQ(desktop.Errors.size(), 2u);
  EXPECT_EQ(ReadFile(path), "keep.com\r\n");

  // A decoded name or address may hold a line break: it must not become lines of its own.
  Select({"From: =?us-ascii?Q?Eve=0D=0Aevil.com?= <eve@x.com>"});
  main.AddRule("Safe List", "a.com\r\nevil.com");
  main.mnuAddBookClick();
  EXPECT_EQ(desktop.Errors.size(), 4u);
  EXPECT_EQ(ReadFile(path), "keep.com\r\n");
  EXPECT_TRUE(options.lsvBook.empty());
}

}  // namespace
}  // namespace norva
