// Test connection against local servers: each failure names its stage (name resolution,
// connection, certificate, login), and a test never fetches, deletes or sends.
#include <gtest/gtest.h>

#include <regex>

#include "config/ConnectionTest.h"
#include "support/FakePeer.h"
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

}  // namespace
}  // namespace norva
