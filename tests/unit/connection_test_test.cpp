// Test connection against local servers: each failure names its stage (name resolution,
// connection, certificate, login), and a test never fetches, deletes or sends.
#include <gtest/gtest.h>

#include <regex>

#include "config/AccountSetup.h"
#include "config/ConnectionTest.h"
#include "support/FakePeer.h"
#include "support/TempDir.h"
#include "support/TestCerts.h"

namespace norva {
namespace {

using testing::Certs;
using testing::ClosedPort;
using testing::FakePop3;
using testing::FakeSmtp;

TEST(ConnectionTestTest, NamesTheStageThatFailed) {
  const ClosedPort closed;
  const std::string refused = "127.0.0.1:" + std::to_string(closed.Port());
  FakePop3 plain({"Subject: x\r\n\r\nbody\r\n"});
  FakePop3 trusted({});
  trusted.UseTls(Certs().localhost.cert, Certs().localhost.key, true);
  FakePop3 selfSigned({});
  selfSigned.UseTls(Certs().selfSigned.cert, Certs().selfSigned.key, true);
  FakeSmtp smtp;

  struct Case {
    std::string pop3;
    int security;
    const char* password;
    std::string smtp;
    const char* pop3Line;  // regex of the POP3 line after "POP3 <where>: "
    const char* smtpLine;
  } cases[] = {
      {plain.Address(), 0, "secret", smtp.Address(), "connected, login OK",
       "connected, no login asked"},
      {plain.Address(), 0, "wrong", refused, "connected, login failed: .+", "connection failed: .+"},
      {"localhost:" + std::to_string(trusted.Port()), 1, "secret", "no-such-host.invalid:25",
       "connected, certificate OK, login OK", "name resolution failed: .+"},
      {selfSigned.Address(), 1, "secret", "", "connected, certificate failed: .+", ""},
      {refused, 0, "secret", "", "connection failed: .+", ""},
      {"no-such-host.invalid", 1, "secret", "", "name resolution failed: .+", ""},
      {plain.Address(), 0, "", "", "not tried: .+", ""},
  };
  for (const Case& c : cases) {
    MailboxAccount account;
    std::tie(account.POP3Server, account.Security, account.Account, account.Password) =
        std::make_tuple(c.pop3, c.security, "user", std::string(c.password));
    account.SMTPServer = c.smtp;
    account.TimeOut = 10;
    TConnectionTest test;
    const std::vector<std::string> lines = test.Run(account);
    ASSERT_EQ(lines.size(), 2u) << c.pop3;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("POP3 [^ ]+ [A-Za-z/]+: " + std::string(c.pop3Line))))
        << lines[0];
    if (c.smtp.empty())
      EXPECT_EQ(lines[1], "SMTP: no server given");
    else
      EXPECT_TRUE(std::regex_match(lines[1], std::regex("SMTP [^ ]+ None: " + std::string(c.smtpLine))))
          << lines[1];
    EXPECT_FALSE(test.Running());
  }
  for (const std::string& command : plain.Commands())
    EXPECT_TRUE(command.rfind("RETR", 0) && command.rfind("DELE", 0) && command.rfind("TOP", 0))
        << command;
  for (const std::string& command : smtp.Commands())
    EXPECT_TRUE(command.rfind("MAIL", 0) && command.rfind("DATA", 0)) << command;
}

// The setup's SMTP guess is SSL/TLS on port 465; a provider that takes mail only on the
// submission port with STARTTLS is found there, and the fields take it. When that fails too,
// both tries are shown and the fields stay as they were.
TEST(ConnectionTestTest, SetupTriesTheSubmissionPortWhenImplicitTlsCannotConnect) {
  FakePop3 pop({});
  FakeSmtp submission;
  submission.UseTls(Certs().localhost.cert, Certs().localhost.key, false);
  submission.On("EHLO", [](testing::PeerConnection& c, const std::string&) {
    c.Send("250-fake\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n");
  });
  submission.On("STARTTLS", [](testing::PeerConnection& c, const std::string&) {
    c.Send("220 go ahead\r\n");
    c.StartTls();
  });
  submission.Reply("AUTH", "235 accepted\r\n");
  const ClosedPort closed;
  for (const bool found : {true, false}) {
    SCOPED_TRACE(found ? "found" : "not found");
    testing::TempDir dir;
    TfrmOptions options(dir.Path());
    TScheduleControls schedule(options);
    TAccountsPage page(options, schedule, [](const std::string&, const std::string&) {});
    TAccountSetup setup(page);
    setup.edtAddressChange("user@localhost");
    setup.edtAccount = "user";
    setup.edtPassword = "secret";
    setup.edtPOP3 = pop.Address();
    setup.cmbMailSecurity = 0;
    setup.edtSMTP = "localhost";  // port 465 on loopback: nothing listens
    setup.SubmissionPort = found ? submission.Port() : closed.Port();
    MailboxAccount account;
    ASSERT_TRUE(setup.FillAccount(account));
    TConnectionTest test;
    const std::vector<std::string> lines = setup.TestConnection(test, account);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("SMTP localhost:465 SSL/TLS: connection failed: .+")))
        << lines[1];
    const std::string second = "SMTP localhost:" + std::to_string(setup.SubmissionPort) + " STARTTLS: ";
    EXPECT_EQ(lines[2].rfind(second + (found ? "connected, certificate OK, login OK"
                                             : "connection failed: "), 0), 0u) << lines[2];
    EXPECT_EQ(setup.edtSMTP, found ? "localhost:" + std::to_string(submission.Port()) : "localhost");
    EXPECT_EQ(setup.cmbSMTPSecurity, found ? 2 : 1);
  }
}

}  // namespace
}  // namespace norva
