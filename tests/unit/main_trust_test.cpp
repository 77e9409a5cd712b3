// Certificates that fail verification, in the check cycle and the outbox: the question, the
// answer kept in the mailbox and in Config.QDB, and the second attempt. Passwords that would
// cross the network unencrypted.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>

#include "app/Main.h"
#include "app/Msg.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/Mailboxes.h"
#include "support/TestCerts.h"

namespace norva {
namespace {

using testing::Certs;
using testing::FakeDesktop;
using testing::FakePop3;
using testing::FakeSmtp;
using testing::PeerConnection;
using Lines = std::vector<std::string>;

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override { Certs(); }

  // The shared test mailbox under a fixed address, saved as the preferences' OK does.
  MailboxAccount& AddMailbox(const std::string& pop3, const std::string& smtp) {
    MailboxAccount& account = testing::AddTestMailbox(main, options, pop3, smtp);
    account.Address = "me@example.org";
    options.Save();
    return account;
  }
  // Queues a message to rob@example.org in the outbox, as the message window does.
  void Queue(const std::string& subject) {
    main.frmMsg->MsgWindowMode = 3;
    main.PrepareMsg();
    main.frmMsg->edtMsgTo = "rob@example.org";
    main.frmMsg->edtMsgSubject = subject;
    MessageListEntry entry;
    entry.Message = std::make_unique<TmsMessage>();
    entry.BodyRetrieved = true;
    main.frmMsg->BuildMessage(*entry.Message);
    main.ArchiveMsg(dir.File("$OutBox.TMA"), entry, false);
  }
  // What a restart would load for the first mailbox.
  std::unique_ptr<MailboxAccount> Stored() {
    TfrmOptions reloaded(dir.Path());
    reloaded.Load();
    return std::move(reloaded.lsvAddress.at(0));
  }
  static std::string Reason() {
    return "The certificate of localhost could not be verified: self-signed certificate (SHA-256 " +
           Certs().selfSigned.fingerprint + ")";
  }
  static std::string Question(const std::string& server) {
    return Reason() + "\n\nDo you want to trust exactly this certificate for " + server +
           " from now on?";
  }

  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
};

TEST_F(TrustTest, ACheckAsksOnceAndAnAcceptedCertificateIsKept) {
  const testing::TServerCert& cert = Certs().selfSigned;
  FakePop3 box({"Message-ID: <1@test>\r\nSubject: hello\r\n\r\nbody\r\n"});
  box.UseTls(cert.cert, cert.key, true);
  const std::string server = "localhost:" + std::to_string(box.Port());
  MailboxAccount& account = AddMailbox(server, "");
  account.Security = 1;

  desktop.BoxAnswers = {Desktop::mrNo};
  main.CheckMail(true, -1);
  ASSERT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_EQ(desktop.Boxes[0].text, Question(server));
  EXPECT_EQ(desktop.Boxes[0].caption, "Certificate");
  EXPECT_EQ(desktop.Boxes[0].buttons, Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo);
  EXPECT_EQ(desktop.Boxes[0].icon, Desktop::iconWarning);
  EXPECT_EQ(main.StatusBar[4].Text, "Last connection attempt unsuccessful. " + Reason());
  EXPECT_TRUE(main.lsvMail.empty());
  EXPECT_EQ(account.POP3Certificate, "");
  EXPECT_EQ(Stored()->POP3Certificate, "");

  // Yes: the same check goes on at once. Only the new key is written, not what else changed.
  account.TimeOut = 7;  // not saved
  desktop.BoxAnswers = {Desktop::mrYes};
  main.CheckMail(true, -1);
  ASSERT_EQ(desktop.Boxes.size(), 2u);  // the question; the new mail is a notification
  EXPECT_EQ(desktop.Boxes[1].caption, "Certificate");
  EXPECT_EQ(main.lsvMail.size(), 1u);
  EXPECT_EQ(account.POP3Certificate, cert.fingerprint);
  EXPECT_EQ(Stored()->POP3Certificate, cert.fingerprint);
  EXPECT_EQ(Stored()->TimeOut, 5);
  EXPECT_EQ(Stored()->SMTPCertificate, "");

  main.CheckMail(true, -1);
  EXPECT_EQ(desktop.Boxes.size(), 2u) << "accepted: no more questions";
  EXPECT_EQ(box.Connections(), 4);  // refused, refused then accepted, accepted
}

// The outbox over STARTTLS with a login that defaults to the POP3 account's.
TEST_F(TrustTest, TheOutboxAsksForTheSmtpCertificateAndSendsAfterYes) {
  const testing::TServerCert& cert = Certs().selfSigned;
  FakeSmtp smtp;
  smtp.UseTls(cert.cert, cert.key, false);
  smtp.Reply("EHLO", "250-fake.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n");
  smtp.On("STARTTLS", [](PeerConnection& c, const std::string&) {
    c.Send("220 go ahead\r\n");
    c.StartTls();
  });
  smtp.Reply("AUTH", "235 accepted\r\n");
  const std::string server = "localhost:" + std::to_string(smtp.Port());
  MailboxAccount& account = AddMailbox("127.0.0.1:1", server);
  account.SMTPSecurity = 2;
  account.SMTPAuth = true;

  Queue("over TLS");

  desktop.BoxAnswers = {Desktop::mrYes};
  main.SendOutBox();
  ASSERT_EQ(desktop.Boxes.size(), 1u);
  EXPECT_EQ(desktop.Boxes[0].text, Question(server));
  EXPECT_EQ(account.SMTPCertificate, cert.fingerprint);
  EXPECT_EQ(Stored()->SMTPCertificate, cert.fingerprint);
  EXPECT_EQ(Stored()->POP3Certificate, "");
  EXPECT_EQ(smtp.Connections(), 2);
  EXPECT_EQ(smtp.Data().size(), 1u);
  const Lines commands = smtp.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AUTH PLAIN AHVzZXIAc2VjcmV0"), 1);
}

// A server on another machine over an unencrypted connection: the password goes only where the
// user allowed it; a mailbox from an older file keeps working and asks once.
TEST_F(TrustTest, APasswordGoesUnencryptedToAnotherMachineOnlyWhenAllowed) {
  const std::string host = testing::OtherThanLoopback();
  if (host.empty()) GTEST_SKIP() << "this machine has no address but loopback";
  struct Listen {
    explicit Listen(const std::string& h) { testing::ListenHost() = h; }
    ~Listen() { testing::ListenHost() = "127.0.0.1"; }
  };
  const std::string refused =
      "Last connection attempt unsuccessful. The connection to " + host +
      " is not encrypted, so Norva did not send the password. Choose SSL/TLS or STARTTLS for "
      "this mailbox, or tick \"Allow my password over an unencrypted connection\".";
  const struct {
    int32_t setting;
    std::deque<Desktop::Result> answers;
    bool loggedIn;
    int32_t storedSetting, storedSecurity;
  } cases[] = {
      {kPlainRefused, {}, false, kPlainRefused, 0},
      {kPlainAllowed, {}, true, kPlainAllowed, 0},
      {kPlainAskOnce, {Desktop::mrNo}, true, kPlainAllowed, 0},
      {kPlainAskOnce, {Desktop::mrYes}, true, kPlainRefused, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting * 10 + int(c.answers.size()));
    std::unique_ptr<FakePop3> box;
    {
      Listen other(host);
      box = std::make_unique<FakePop3>(Lines{"Message-ID: <1@test>\r\nSubject: hi\r\n\r\nbody\r\n"});
    }
    options.lsvAddress.clear();
    desktop.Boxes.clear();
    MailboxAccount& account = AddMailbox(box->Address(), "");
    account.PlainPassword = c.setting;
    options.Save();
    desktop.BoxAnswers = c.answers;
    main.CheckMail(true, -1);
    const Lines commands = box->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "PASS secret"), c.loggedIn ? 1 : 0);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "USER user"), c.loggedIn ? 1 : 0);
    if (!c.loggedIn) {
      EXPECT_EQ(main.StatusBar[4].Text, refused);
    }
    ASSERT_EQ(desktop.Boxes.size(), c.answers.size());
    if (!c.answers.empty()) {
      EXPECT_EQ(desktop.Boxes[0].caption, "Unencrypted password");
    }
    EXPECT_EQ(Stored()->PlainPassword, c.storedSetting);
    EXPECT_EQ(Stored()->Security, c.storedSecurity);
    main.CheckMail(true, -1);
    EXPECT_EQ(desktop.Boxes.size(), c.answers.size()) << "asked once only";
    main.lsvMail.clear();
  }

  // The outbox: AUTH over a plain connection to another machine is never sent, nor the message.
  std::unique_ptr<FakeSmtp> smtp;
  {
    Listen other(host);
    smtp = std::make_unique<FakeSmtp>();
  }
  smtp->Reply("EHLO", "250-fake.test\r\n250 AUTH PLAIN\r\n");
  smtp->Reply("AUTH", "235 accepted\r\n");
  options.lsvAddress.clear();
  MailboxAccount& account = AddMailbox("127.0.0.1:1", smtp->Address());
  account.SMTPAuth = true;
  Queue("in clear");
  EXPECT_THROW(main.SendOutBox(), EPasswordInClear);
  const Lines commands = smtp->Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& l) { return l.starts_with("AUTH") || l.starts_with("MAIL"); }),
            0);
  TQDB outbox;
  outbox.SetFileName(dir.File("$OutBox.TMA"));
  EXPECT_EQ(outbox.Count(), 1) << "the message stays queued";
}

}  // namespace
}  // namespace norva
