// The spam learner taught by the user: marks and quick rules on mailbox and archive rows, kept
// across a restart, and the preferences page that imports folders, mboxes and archives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/LearnImport.h"
#include "app/LearnPage.h"
#include "app/Main.h"
#include "store/FileIO.h"
#include "support/FakeDesktop.h"
#include "support/Helpers.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::Crlf;
using testing::FakeDesktop;
using Mark = TLearner::TMark;
using Lines = std::vector<std::string>;

// Header blocks as mail arrives: a bulk mailer's spam and a colleague's mail through a list
// server, each with its own Message-ID; n changes the details as real mail does.
std::string Spam(int n) {
  const std::string id = std::to_string(n);
  return Crlf(
      {"Return-Path: <bounce-" + id + "@mailer.promo-deals.biz>",
       "Received: from mailer.promo-deals.biz (unknown [203.0.113." + id + "])",
       "\tby mx.example.org (Postfix) with ESMTP id 4F2A1" + id,
       "\tfor <me@example.org>; Fri, 01 Mar 2024 08:0" + id + ":00 +0000 (UTC)",
       "Received: from localhost (localhost [127.0.0.1])",
       "\tby mailer.promo-deals.biz with SMTP id x" + id + "; Fri, 01 Mar 2024 08:00:00 +0000",
       "Received: from [198.51.100.7] by mailer.promo-deals.biz; Fri, 1 Mar 2024 07:59:58",
       "Content-Type: text/html; charset=\"utf-8\"", "MIME-Version: 1.0",
       "Content-Transfer-Encoding: base64",
       "Subject: Cheap watches, limited offer number " + id + " for you",
       "From: \"Best Deals\" <offers@promo-deals.biz>", "To: undisclosed-recipients:;",
       "Date: Fri, 01 Mar 2024 08:00:00 -0000", "Message-ID: <" + id + ".deal@promo-deals.biz>",
       "X-Mailer: MassMailer Pro 5.1", "", "PGh0bWw+PGJvZHk+Q2hlYXAhPC9ib2R5PjwvaHRtbD4="});
}

std::string Ham(int n) {
  const std::string id = std::to_string(n);
  return Crlf({"Return-Path: <alice@example.net>",
               "Received: from smtp.example.net (smtp.example.net [192.0.2.25])",
               "\tby mx.example.org (Postfix) with ESMTPS id 9C3B2" + id,
               "\tfor <me@example.org>; Mon, 04 Mar 2024 10:1" + id + ":02 +0100 (CET)",
               "Received: from alice-laptop.example.net (alice-laptop.example.net [192.0.2.77])",
               "\tby smtp.example.net (Postfix) with ESMTPSA id 1D2E" + id,
               "\tfor <me@example.org>; Mon, 04 Mar 2024 10:10:00 +0100 (CET)",
               "Authentication-Results: mx.example.org; dkim=pass header.d=example.net;",
               " spf=pass smtp.mailfrom=alice@example.net",
               "Content-Type: text/plain; charset=\"us-ascii\"",
               "MIME-Version: 1.0",
               "Content-Transfer-Encoding: 7bit",
               "Subject: Re: minutes of the board meeting, item " + id,
               "From: Alice Martin <alice@example.net>",
               "To: me@example.org",
               "Date: Mon, 04 Mar 2024 10:10:00 +0100",
               "Message-ID: <" + id + ".board@alice-laptop.example.net>",
               "User-Agent: Mozilla/5.0 Thunderbird/115.8.0",
               "",
               "See you on Thursday.",
               "From the minutes: nothing new.",
               "> From me: fine."});
}

// Writes a file, making its folder.
void Write(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// An archive whose items are these raw messages under running-number keys.
void WriteArchive(const std::string& path, const Lines& messages) {
  TQDB store;
  store.SetFileName(path);
  for (size_t i = 0; i < messages.size(); ++i)
    testing::Add(store, std::string(14, ' ') + std::to_string(i), messages[i]);
  store.SetFileName("");
}

// An mbox entry: the "From " line, the message with its body's "From " lines quoted as ">From ".
std::string MboxEntry(const std::string& from, std::string raw) {
  for (size_t at = raw.find("\nFrom "); at != std::string::npos; at = raw.find("\nFrom ", at + 2))
    raw.insert(at + 1, ">");
  return "From " + from + " Mon Mar  4 10:10:00 2024\n" + raw + "\n";
}

class MainLearnTest : public ::testing::Test {
 protected:
  MainLearnTest() {
    // Counts the commits of the learner's file; a file named "broken..." cannot be read.
    fileio::SetFaultHook([this](fileio::Op op, const std::string& path) {
      if (op == fileio::Op::Rename && path.find(kLearnFile) != std::string::npos) ++writes;
      return op == fileio::Op::Read && path.find("/broken") != std::string::npos ? EIO : 0;
    });
    Start();
  }
  ~MainLearnTest() override { fileio::SetFaultHook(nullptr); }

  // The program starts (again) on the same folder.
  void Start() {
    main.reset();
    options = std::make_unique<TfrmOptions>(dir.Path());
    main = std::make_unique<TfrmMain>(desktop, *options);
  }

  // The messages listed as a check of one mailbox finds them.
  void List(const Lines& messages) {
    if (options->lsvAddress.empty()) {
      auto account = std::make_unique<MailboxAccount>();
      account->Address = "me@example.org";
      account->Account = "me";
      account->ApplyToClient();
      main->BindClient(*account->Client);
      options->lsvAddress.push_back(std::move(account));
    }
    TmsRemotePOP& client = *options->lsvAddress.front()->Client;
    for (const std::string& raw : messages) {
      auto item = std::make_unique<TmsRemoteInfoItem>();
      item->Size = int32_t(raw.size());
      const TStringList headers = HeaderBlockOf(raw);
      item->Headers.assign(headers.begin(), headers.end());
      client.MessageInfo.Add(std::move(item));
      main->msRPOPNextInfoUpdated(client, client.MessageInfo.Count() - 1);
    }
    main->SistemaContatori();
  }

  void Select(std::set<size_t> rows) {
    for (size_t i = 0; i < main->lsvMail.size(); ++i) main->lsvMail[i].Selected = rows.count(i);
  }

  TLearner& Learner() { return main->Learner(); }
  double P(const std::string& raw) { return Learner().Probability(HeaderBlockOf(raw)); }
  std::string Path(const std::string& name) const { return dir.Path() + "/" + name; }

  int writes = 0;
  testing::TempDir dir;
  FakeDesktop desktop;
  std::unique_ptr<TfrmOptions> options;
  std::unique_ptr<TfrmMain> main;
};

// ---- the user's marks ----

TEST_F(MainLearnTest, MarksTeachTheLearnerWhichKeepsItAcrossARestart) {
  List({Spam(1), Spam(2), Spam(3), Ham(1), Ham(2), Ham(3)});
  Select({0, 1, 2});
  main->btnMarkSpamClick();
  Select({3, 4, 5});
  main->btnMarkOKClick();
  EXPECT_EQ(writes, 2);  // once per command, not once per row
  Start();
  EXPECT_EQ(Learner().SpamCount(), 3u);
  EXPECT_EQ(Learner().SafeCount(), 3u);
  EXPECT_GT(P(Spam(7)), 0.9);
  EXPECT_LT(P(Ham(7)), 0.1);

  // The same messages in the next check: marking again corrects, unknown forgets.
  List({Spam(1), Ham(1)});
  struct Step {
    size_t row;
    void (TfrmMain::*command)();
    uint32_t spam, safe;
    int writes;
  } steps[] = {
      {0, &TfrmMain::btnMarkOKClick, 2, 4, 1},      // moved, not added
      {0, &TfrmMain::btnMarkOKClick, 2, 4, 0},      // the same again changes nothing
      {1, &TfrmMain::btnMarkUnknowClick, 2, 3, 1},  // forgotten
      {1, &TfrmMain::btnMarkUnknowClick, 2, 3, 0},
  };
  for (const Step& step : steps) {
    writes = 0;
    Select({step.row});
    (main.get()->*step.command)();
    EXPECT_EQ(Learner().SpamCount(), step.spam) << step.row;
    EXPECT_EQ(Learner().SafeCount(), step.safe) << step.row;
    EXPECT_EQ(writes, step.writes) << step.row;
  }

  // With learning off, a mark changes the row only.
  options->chkLearn = false;
  writes = 0;
  Select({0, 1});
  main->btnMarkSpamClick();
  EXPECT_EQ(main->lsvMail[1].Data->Status, 0);
  EXPECT_EQ(Learner().SpamCount(), 2u);
  EXPECT_EQ(Learner().SafeCount(), 3u);
  EXPECT_EQ(writes, 0);
  EXPECT_TRUE(desktop.Errors.empty());
}

TEST_F(MainLearnTest, QuickRulesAndArchiveRowsTeachAsTheUserSays) {
  const std::string archive = Path("Archive.TMA");
  WriteArchive(archive, {Spam(1)});
  using Item = TfrmMain::TQuickRuleItem;
  struct Case {
    bool archiveView;
    std::function<void(TfrmMain&)> command;
    Mark learned;
  } cases[] = {
      {false, [](TfrmMain& m) { m.mnuARSSenderClick(Item::mnuARASender); }, Mark::Spam},
      {false, [](TfrmMain& m) { m.mnuARSSenderClick(Item::mnuARSSenderDomain); }, Mark::Safe},
      {true, [](TfrmMain& m) { m.btnMarkSpamClick(); }, Mark::Spam},
      {true, [](TfrmMain& m) { m.mnuARSSenderClick(Item::mnuARSSender); }, Mark::Safe},
  };
  for (const Case& c : cases) {
    Start();
    main->ResetLearner();
    if (c.archiveView)
      main->LoadArchive(archive);
    else
      List({Spam(1)});
    Select({0});
    c.command(*main);
    EXPECT_EQ(Learner().MarkOf(HeaderBlockOf(Spam(1))), c.learned) << c.archiveView;
  }
}

// ---- importing ----

// A folder with two messages (one in a subfolder, as a Maildir keeps them), a hidden file that is
// left alone, a file that holds no message and one that cannot be read; an mbox of three messages
// whose bodies hold a quoted and an unquoted "From " line; an archive of two.
class LearnImportTest : public MainLearnTest {
 protected:
  LearnImportTest() {
    Write(Path("spam/1.eml"), Spam(1));
    Write(Path("spam/cur/2.eml"), Spam(2));
    Write(Path("spam/.index"), Spam(3));
    Write(Path("spam/notes.txt"), "Spam collected in March.\n");
    Write(Path("spam/broken.eml"), Spam(4));
    Write(Path("ham.mbox"), MboxEntry("alice@example.net", Ham(1)) +
                                MboxEntry("alice@example.net", Ham(2)) +
                                MboxEntry("nobody", Ham(3)) + "From here on, plain text.\nOk.\n");
    WriteArchive(Path("Old.TMA"), {Spam(5), Spam(6)});
  }
};

TEST_F(LearnImportTest, FoldersMboxesAndArchivesAreLearnedAndUnreadableFilesCounted) {
  struct Case {
    const char* path;
    Mark mark;
    int32_t learned, already, unreadable;
    std::vector<std::string> learnedNow;
  } cases[] = {
      {"spam", Mark::Spam, 2, 0, 2, {Spam(1), Spam(2)}},
      {"ham.mbox", Mark::Safe, 3, 0, 0, {Ham(1), Ham(2), Ham(3)}},
      {"Old.TMA", Mark::Spam, 2, 0, 0, {Spam(5), Spam(6)}},
      {"spam/1.eml", Mark::Spam, 0, 1, 0, {Spam(1)}},
      {"ham.mbox", Mark::Spam, 3, 0, 0, {Ham(1), Ham(2), Ham(3)}},  // moved over
  };
  TLearner learner;
  for (const Case& c : cases) {
    TLearnImport result;
    ImportMessages(Path(c.path), learner, c.mark, result);
    EXPECT_EQ(result.Learned, c.learned) << c.path;
    EXPECT_EQ(result.Already, c.already) << c.path;
    EXPECT_EQ(result.Unreadable, c.unreadable) << c.path;
    EXPECT_EQ(result.Done, 1) << c.path;
    for (const std::string& raw : c.learnedNow)
      EXPECT_EQ(learner.MarkOf(HeaderBlockOf(raw)), c.mark) << c.path;
  }
  EXPECT_EQ(learner.MarkOf(HeaderBlockOf(Spam(3))), Mark::None);  // the hidden file
  EXPECT_EQ(learner.SpamCount(), 7u);
  EXPECT_EQ(learner.SafeCount(), 0u);

  TLearnImport result;
  EXPECT_NE(testing::What([&] { ImportMessages(Path("none.mbox"), learner, Mark::Spam, result); }),
            "");
}

TEST_F(LearnImportTest, ThePageImportsWithProgressSavesOnceAndResets) {
  TLearnPage page(*main);
  std::vector<std::string> progress;
  page.OnChanged = [&] {
    if (page.Importing()) progress.push_back(page.lblProgress);
  };
  EXPECT_EQ(page.lblLearned(), "Learned from 0 spam and 0 safe messages.");

  desktop.FileAnswers = {Path("spam")};
  page.btnImportClick(Mark::Spam, true);
  EXPECT_EQ(writes, 1);
  EXPECT_FALSE(main->Busy);
  ASSERT_FALSE(desktop.Boxes.empty());
  EXPECT_EQ(desktop.Boxes.back().text, "Learned 2 messages as spam (2 could not be read).");
  EXPECT_EQ(progress.back(), "Importing... 4 messages read (100%)");

  // Stopped after the first message: what was learned stays, and is saved.
  desktop.FileAnswers = {Path("ham.mbox")};
  desktop.OnPump = [&] { page.btnStopClick(); };
  page.btnImportClick(Mark::Safe, false);
  desktop.OnPump = nullptr;
  EXPECT_EQ(desktop.Boxes.back().text, "Stopped. Learned 1 message as safe.");
  desktop.FileAnswers = {Path("ham.mbox")};
  page.btnImportClick(Mark::Safe, false);
  EXPECT_EQ(desktop.Boxes.back().text,
            "Learned 2 messages as safe (1 had been learned as safe before).");

  Start();
  TLearnPage restarted(*main);
  EXPECT_EQ(restarted.lblLearned(), "Learned from 2 spam and 3 safe messages.");
  desktop.BoxAnswers = {Desktop::mrNo, Desktop::mrYes};
  restarted.btnResetClick();
  EXPECT_EQ(restarted.lblLearned(), "Learned from 2 spam and 3 safe messages.");
  restarted.btnResetClick();
  const FakeDesktop::Box& ask = desktop.Boxes.back();
  EXPECT_EQ(ask.text, "Forget everything the spam learner has learned?");
  EXPECT_EQ(ask.buttons, Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo);
  Start();
  EXPECT_TRUE(Learner().Empty());
}

TEST_F(MainLearnTest, AnUnreadableLearnerFileIsReplacedOnlyByAReset) {
  Write(Path(kLearnFile), "not a record store");
  TLearnPage page(*main);
  EXPECT_EQ(page.lblLearned(),
            "The spam learner's file could not be read: Reset... starts it afresh.");
  ASSERT_EQ(desktop.Errors.size(), 1u);
  List({Spam(1)});
  Select({0});
  main->btnMarkSpamClick();
  desktop.FileAnswers = {Path("spam")};
  page.btnImportClick(Mark::Spam, true);
  EXPECT_EQ(testing::ReadFile(Path(kLearnFile)), "not a record store");

  desktop.BoxAnswers = {Desktop::mrYes};
  page.btnResetClick();
  EXPECT_EQ(page.lblLearned(), "Learned from 0 spam and 0 safe messages.");
  main->btnMarkSpamClick();
  Start();
  EXPECT_EQ(Learner().SpamCount(), 1u);
}

}  // namespace
}  // namespace norva
