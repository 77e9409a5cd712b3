// Writing in the message window: copies and blind copies on the way to the server, Reply All's
// recipients, the attribution line, and the account a message goes from.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/Main.h"
#include "app/Msg.h"
#include "support/FakeDesktop.h"
#include "support/Mailboxes.h"
#include "support/FakePeer.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::FakePop3;
using testing::FakeSmtp;
using Lines = std::vector<std::string>;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
// The MAIL and RCPT commands a server received, in order.
Lines Envelope(const FakeSmtp& smtp) {
  Lines envelope;
  for (const std::string& command : smtp.Commands())
    if (command.starts_with("MAIL") || command.starts_with("RCPT")) envelope.push_back(command);
  return envelope;
}
Lines HeaderLines(const std::string& raw) {
  return SplitLines(raw.substr(0, raw.find("\r\n\r\n")));
}
TStringList Headers(const std::string& text) {
  TStringList lines;
  for (const std::string& line : SplitLines(text)) lines.push_back(line);
  return lines;
}

class ComposeTest : public ::testing::Test {
 protected:
  void SetUp() override { options.edtUserName = "Me Myself"; }

  MailboxAccount& AddMailbox(const std::string& pop3, const std::string& smtpServer) {
    return testing::AddTestMailbox(main, options, pop3, smtpServer);
  }
  TfrmMsg& Compose(const std::string& to, const std::string& cc, const std::string& bcc) {
    main.btnSendMsgClick();
    TfrmMsg& window = *main.frmMsg;
    window.edtMsgTo = to;
    window.edtMsgCc = cc;
    window.edtMsgBcc = bcc;
    window.edtMsgSubject = "Plans";
    window.redMsg = {"Hello"};
    return window;
  }
  std::string Sent() const { return dir.File("$Sent.TMA"); }

  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  FakeSmtp smtpA, smtpB;
  std::unique_ptr<FakePop3> pop;
};

// Every recipient gets a RCPT; the copies are in the header, the blind copies nowhere in what
// the server receives (the sent copy keeps them for the user).
TEST_F(ComposeTest, CopiesReachTheEnvelopeAndBlindCopiesStayOutOfTheHeader) {
  AddMailbox("127.0.0.1:1", smtpA.Address());
  TfrmMsg& window = Compose("Ann <ann@example.org>", "Bob <bob@example.org>, carol@example.org",
                            "\"Secret, Sam\" <sam@example.org>; tom@example.org");
  window.btnSendClick();
  EXPECT_FALSE(window.Visible);
  EXPECT_EQ(Envelope(smtpA), (Lines{"MAIL FROM:<me0@example.org>", "RCPT TO:<ann@example.org>",
                                    "RCPT TO:<bob@example.org>", "RCPT TO:<carol@example.org>",
                                    "RCPT TO:<sam@example.org>", "RCPT TO:<tom@example.org>"}));
  ASSERT_EQ(smtpA.Data().size(), 1u);
  const std::string data = smtpA.Data()[0];
  const Lines header = HeaderLines(data);
  EXPECT_NE(std::find(header.begin(), header.end(), "CC:       Bob <bob@example.org>,"),
            header.end())
      << data;
  for (const std::string hidden : {"sam@", "tom@", "Secret", "X-Norva"})
    EXPECT_FALSE(Has(data, hidden)) << hidden << "\n" << data;

  TQDB sent;
  sent.SetReadOnly(true);
  sent.SetFileName(Sent());
  ASSERT_EQ(sent.Count(), 1);
  sent.GoToItem(0);
  const std::string copy = testing::Item(sent);
  sent.SetFileName("");
  EXPECT_TRUE(Has(copy, "X-Norva-Bcc: <sam@example.org>\r\nX-Norva-Bcc: <tom@example.org>\r\n"));
}

// The boxes are checked as the To box is; To may stay empty when copies have somewhere to go.
TEST_F(ComposeTest, CopyBoxesAreCheckedLikeTo) {
  AddMailbox("127.0.0.1:1", smtpA.Address());
  const struct {
    std::string to, cc, bcc;
    std::string refused;  // the box that takes the focus; "" when the message goes
  } cases[] = {
      {"ann@example.org", "bob", "", "edtMsgCc"},
      {"ann@example.org", "", "a@example.org, <x>", "edtMsgBcc"},
      {"", "", "", "edtMsgTo"},
      {"", "", "sam@example.org", ""},
      {" ", "bob@example.org", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to + "|" + c.cc + "|" + c.bcc);
    TfrmMsg& window = Compose(c.to, c.cc, c.bcc);
    window.FocusedControl.clear();
    const size_t sent = smtpA.Data().size();
    window.btnSendClick();
    EXPECT_EQ(window.FocusedControl, c.refused);
    EXPECT_EQ(window.Visible, !c.refused.empty());
    EXPECT_EQ(smtpA.Data().size(), sent + (c.refused.empty() ? 1 : 0));
    window.MarkUnchanged();
  }
}

TEST(ReplyAllRecipientsTest, AnswersEveryoneButTheUserOnce) {
  const Lines own = {"me0@example.org", "me1@example.org"};
  const struct {
    const char* headers;
    const char* to;
    const char* cc;
  } cases[] = {
      {"From: Ann <ann@example.org>\nTo: me0@example.org, Bob <bob@example.org>\n"
       "Cc: Carol <carol@example.org>",
       "Ann <ann@example.org>", "Bob <bob@example.org>, Carol <carol@example.org>"},
      // Reply-To takes the answer in the sender's place; the user goes whatever the case.
      {"From: Ann <ann@example.org>\nReply-To: List <list@example.org>\nTo: ME1@Example.org\n"
       "Cc: ann@example.org",
       "List <list@example.org>", "ann@example.org"},
      // Repeated addresses, in any case, count once; the sender is not copied again.
      {"From: Ann <ann@example.org>\nTo: bob@example.org, BOB@example.org, ANN@example.org\n"
       "Cc: Bob <Bob@Example.org>, me0@example.org",
       "Ann <ann@example.org>", "bob@example.org"},
      // A group gives its members; an empty one gives none.
      {"From: ann@example.org\nTo: Team: bob@example.org, Carol <carol@example.org>;,\n"
       " undisclosed-recipients:;",
       "ann@example.org", "bob@example.org, Carol <carol@example.org>"},
      // The user's own message answers its recipients.
      {"From: Me Myself <me0@example.org>\nTo: bob@example.org\nCc: carol@example.org, "
       "me1@example.org",
       "bob@example.org", "carol@example.org"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers);
    const TReplyRecipients r = ReplyAllRecipients(Headers(c.headers), own);
    EXPECT_EQ(r.To, c.to);
    EXPECT_EQ(r.Cc, c.cc);
  }
}

TEST(AttributionLineTest, NamesTheSenderAndTheDateInTheUsersZone) {
  const struct {
    const char* headers;
    const char* line;
  } cases[] = {
      {"From: =?utf-8?q?J=C3=B6rg?= <j@example.org>\nDate: Sat, 5 Dec 2026 10:20:30 +0100",
       "On 05.12.26 09:20, J\u00f6rg wrote:"},
      {"From: j@example.org\nDate: Sat, 5 Dec 2026 10:20:30 +0000",
       "On 05.12.26 10:20, j@example.org wrote:"},
      {"From: Ann <a@example.org>", "Ann wrote:"},
  };
  for (const auto& c : cases) EXPECT_EQ(AttributionLine(Headers(c.headers)), c.line);
}

// Reply All through the main window and the message window: the recipients, the account the
// message came to as From, the attribution over the quote, and the title.
TEST_F(ComposeTest, ReplyAllGoesFromTheAccountTheMessageCameTo) {
  AddMailbox("127.0.0.1:1", smtpA.Address()).IsDefault = true;
  pop = std::make_unique<FakePop3>(std::vector<std::string>{
      "Message-ID: <a1@test>\r\nFrom: Ann <ann@example.org>\r\n"
      "To: me1@example.org, Bob <bob@example.org>\r\nCc: carol@example.org\r\n"
      "Subject: Lunch\r\nDate: Sat, 5 Dec 2026 10:20:30 +0100\r\n\r\nline one\r\n\r\nline "
      "two\r\n"});
  AddMailbox(pop->Address(), smtpB.Address());
  main.CheckMail(true, -1);
  ASSERT_EQ(main.lsvMail.size(), 1u);
  main.lsvMail[0].Selected = true;
  TfrmMsg& window = *main.frmMsg;
  main.btnReplyAllClick();  // not retrieved: the directory's header lines, no quote
  EXPECT_EQ(window.edtMsgTo, "Ann <ann@example.org>");
  EXPECT_EQ(window.edtMsgCc, "Bob <bob@example.org>, carol@example.org");
  EXPECT_TRUE(window.redMsg.empty());

  main.lsvMailDblClick();
  EXPECT_EQ(window.Caption, "Reading: Lunch");
  window.btnReplyAllClick();
  EXPECT_EQ(window.Caption, "Reply: Lunch");
  EXPECT_EQ(window.edtMsgCc, "Bob <bob@example.org>, carol@example.org");
  EXPECT_EQ(window.FromIndex, 1);
  EXPECT_EQ(window.edtMsgFrom, "Me Myself <me1@example.org>");
  EXPECT_EQ(window.redMsg,
            (Lines{"On 05.12.26 09:20, Ann wrote:", "> line one", ">", "> line two"}));
  window.btnSendClick();
  EXPECT_TRUE(smtpA.Commands().empty());
  EXPECT_EQ(Envelope(smtpB), (Lines{"MAIL FROM:<me1@example.org>", "RCPT TO:<ann@example.org>",
                                    "RCPT TO:<bob@example.org>", "RCPT TO:<carol@example.org>"}));
  ASSERT_EQ(smtpB.Data().size(), 1u);
  EXPECT_TRUE(Has(smtpB.Data()[0], "From:     Me Myself <me1@example.org>\r\n"));
}

// What the From box shows is what goes: header, envelope and the account's server. An item
// queued without an account (an older outbox) goes from the default account as it always did;
// each account's messages take a session of their own.
TEST_F(ComposeTest, TheChosenAccountSendsAndOlderItemsGoFromTheDefault) {
  AddMailbox("127.0.0.1:1", smtpA.Address());
  AddMailbox("127.0.0.1:1", smtpB.Address());
  TfrmMsg& window = Compose("ann@example.org", "", "");
  EXPECT_EQ(window.edtMsgFromItems,
            (Lines{"Me Myself <me0@example.org>", "Me Myself <me1@example.org>"}));
  EXPECT_EQ(window.FromIndex, 0);
  window.SelectFrom(1);
  // Queue an older item first: no account line, an old From line.
  {
    TmsMessage old;
    old.Sender.Address = "stale@example.org";
    old.Recipients.AddAddress("old@example.org", "");
    old.Subject = "old";
    old.Body = {"x"};
    MessageListEntry entry;
    entry.Message = std::make_unique<TmsMessage>();
    entry.Message->Assign(old);
    entry.BodyRetrieved = true;
    main.ArchiveMsg(dir.File("$OutBox.TMA"), entry, false);
  }
  window.btnSendClick();
  EXPECT_EQ(Envelope(smtpA), (Lines{"MAIL FROM:<me0@example.org>", "RCPT TO:<old@example.org>"}));
  EXPECT_EQ(Envelope(smtpB), (Lines{"MAIL FROM:<me1@example.org>", "RCPT TO:<ann@example.org>"}));
  ASSERT_EQ(smtpA.Data().size(), 1u);
  ASSERT_EQ(smtpB.Data().size(), 1u);
  EXPECT_TRUE(Has(smtpA.Data()[0], "From:     Me Myself <me0@example.org>\r\n"));
  EXPECT_TRUE(Has(smtpB.Data()[0], "From:     Me Myself <me1@example.org>\r\n"));
}

}  // namespace
}  // namespace norva
