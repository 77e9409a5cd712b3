// Secured sessions against the real servers: Dovecot with STLS and POP3S (the pop3_tls_server
// CTest fixture) and the aiosmtpd sink with STARTTLS, implicit TLS and AUTH (smtp_tls_sink);
// the plain fixtures (pop3_server, smtp_sink) for the refusals. The test CAs of both TLS
// fixtures are trusted through SSL_CERT_FILE, except in the test of an unknown certificate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/Main.h"
#include "config/ConnectionTest.h"
#include "store/Pump.h"
#include "support/FakeDesktop.h"
#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;
using Settings = std::map<std::string, std::string>;

Settings Read(const char* variable, const char* path) {
  const char* given = std::getenv(variable);  // to run the binary by hand
  return testing::ReadSettings(given ? given : path);
}

// The client reads the trusted authorities once per process, at its first handshake.
bool trustChosen = false;

// A session that says EHLO as usual but hides PLAIN from the login: the sink offers both.
class TLoginOnlySMTP : public TmsSMTP {
 protected:
  bool Hello() override {
    const bool extended = TmsSMTP::Hello();
    for (std::string& line : Extensions)
      if (line.rfind("AUTH ", 0) == 0) line = "AUTH LOGIN";
    return extended;
  }
};

class TlsInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    pop3_ = Read("NORVA_POP3_TLS_SETTINGS", NORVA_POP3_TLS_SETTINGS);
    smtp_ = Read("NORVA_SMTP_TLS_SETTINGS", NORVA_SMTP_TLS_SETTINGS);
    for (const char* skip : {"POP3_SKIP", "SMTP_SKIP"})
      if (pop3_.count(skip) || smtp_.count(skip)) GTEST_SKIP() << pop3_[skip] << smtp_[skip];
    if (!pop3_.count("POP3S_PORT") || !smtp_.count("SMTPS_PORT"))
      GTEST_SKIP() << "no TLS servers: run through ctest";
    SetMessagePump({});
  }

  // Trusts the test authorities of both servers (the first call in the process decides).
  void TrustTestCAs() {
    if (trustChosen) return;
    trustChosen = true;
    const std::string bundle = dir_.File("cas.pem");
    testing::WriteFile(bundle, ReadFile(pop3_["POP3_CA"]) + ReadFile(smtp_["SMTP_CA"]));
    ::setenv("SSL_CERT_FILE", bundle.c_str(), 1);
    ::setenv("SSL_CERT_DIR", dir_.Path().c_str(), 1);
  }

  // The TLS server's mailbox as main's account, on the port the setting `port` names.
  void AddAccount(TfrmMain& main, TfrmOptions& options, const char* port, int32_t security) {
    auto account = std::make_unique<MailboxAccount>();
    account->Address = "test@example.org";
    account->Account = pop3_["POP3_USER"];
    account->Password = pop3_["POP3_PASS"];
    account->POP3Server = "localhost:" + pop3_[port];
    account->Security = security;
    main.BindClient(*account->Client);
    options.lsvAddress.push_back(std::move(account));
  }
  void SetUpPop3(TmsRemotePOP& pop, TSecurity security, const std::string& port) {
    pop.Security = security;
    pop.Server = "localhost:" + port;
    pop.UserName = pop3_["POP3_USER"];
    pop.Password = pop3_["POP3_PASS"];
    pop.SetTimeOut(10);
    pop.SetWinsockLoaded(true);
  }
  void SetUpSmtp(TmsSMTP& smtp, TSecurity security, const std::string& port) {
    smtp.Security = security;
    smtp.Server = "localhost:" + port;
    smtp.Authenticate = true;
    smtp.AuthUser = smtp_["SMTP_USER"];
    smtp.AuthPassword = smtp_["SMTP_PASS"];
    smtp.SetTimeOut(10);
    smtp.SetWinsockLoaded(true);
    message_.Sender.Address = "ann@from.test";
    message_.Recipients.AddAddress("rob@to.test", "Rob");
    message_.Subject = "over TLS";
    smtp.MailMessage = &message_;
  }

  // Sends message_ in a session of its own; returns the sink's envelope without blanks.
  std::string Deliver(TmsSMTP& smtp) {
    const fs::path dir = smtp_["SMTP_DIR"];
    size_t stored = 0;
    for (const auto& entry : fs::directory_iterator(dir))
      stored += entry.path().extension() == ".eml";
    smtp.Connect();
    EXPECT_TRUE(smtp.TlsActive());
    smtp.SendMail();
    smtp.Disconnect();
    char base[16];
    std::snprintf(base, sizeof base, "%06zu", stored + 1);  // the sink numbers from 1
    std::string json = ReadFile(dir / (std::string(base) + ".json"));
    std::erase_if(json, [](char c) { return c == ' ' || c == '\n'; });
    return json;
  }

  testing::TempDir dir_;
  Settings pop3_, smtp_;
  TmsMessage message_;
};

TEST_F(TlsInterop, ACheckOverPop3sListsTheMailbox) {
  TrustTestCAs();
  testing::FakeDesktop desktop;
  TfrmOptions options(dir_.Path());
  TfrmMain main(desktop, options);
  AddAccount(main, options, "POP3S_PORT", 1);
  main.CheckMail(true, -1);
  EXPECT_EQ(main.lsvMail.size(), size_t(std::stoi(pop3_["POP3_COUNT"]))) << main.LastErrorText;
  EXPECT_FALSE(main.SessionHadErrors) << main.LastErrorText;
  for (const auto& box : desktop.Boxes) EXPECT_NE(box.caption, "Certificate");
}

TEST_F(TlsInterop, ARetrievalOverStls) {
  TrustTestCAs();
  TmsRemotePOP pop;
  SetUpPop3(pop, TSecurity::StartTls, pop3_["POP3_PORT"]);
  std::string retrieved;
  pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& contents) {
    retrieved = contents.Bytes();
  };
  pop.Connect();
  EXPECT_TRUE(pop.TlsActive());
  pop.Retrieve(0);
  pop.Disconnect();
  // The first manifest line describes message 1.
  const std::string first = SplitLines(ReadFile(pop3_["POP3_MANIFEST"])).at(0);
  const size_t at = first.find("\"pop3_size\": ") + 13;
  EXPECT_EQ(retrieved.size(), size_t(std::stoi(first.substr(at))));
  const size_t id = first.find("\"message_id\": \"<") + 16;
  EXPECT_NE(retrieved.find(first.substr(id, first.find('>', id) - id)), std::string::npos);
}

TEST_F(TlsInterop, SendsOverStartTlsWithAuthPlainAndOverSmtpsWithAuthLogin) {
  TrustTestCAs();
  TmsSMTP starttls;
  SetUpSmtp(starttls, TSecurity::StartTls, smtp_["SMTP_PORT"]);
  const std::string first = Deliver(starttls);
  EXPECT_NE(first.find("\"tls\":true"), std::string::npos) << first;
  EXPECT_NE(first.find("\"authenticated\":true"), std::string::npos) << first;

  TLoginOnlySMTP smtps;
  SetUpSmtp(smtps, TSecurity::SslTls, smtp_["SMTPS_PORT"]);
  const std::string second = Deliver(smtps);
  EXPECT_NE(second.find("\"tls\":true"), std::string::npos) << second;
  EXPECT_NE(second.find("\"authenticated\":true"), std::string::npos) << second;
}

TEST_F(TlsInterop, RefusalsFromTheRealServers) {
  TrustTestCAs();
  // The plain Dovecot offers no STLS: nothing more is said, the password least of all.
  const Settings plainPop3 = Read("NORVA_POP3_SETTINGS", NORVA_POP3_SETTINGS);
  if (plainPop3.count("POP3_PORT")) {
    TmsRemotePOP pop;
    SetUpPop3(pop, TSecurity::StartTls, plainPop3.at("POP3_PORT"));
    auto e = testing::Raised<ETlsError>([&] { pop.Connect(); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(),
                 "The server does not offer STLS: the password is not sent without encryption.");
    EXPECT_FALSE(pop.IsOpen());
  }
  // The plain sink offers no STARTTLS.
  const Settings plainSmtp = Read("NORVA_SMTP_SETTINGS", NORVA_SMTP_SETTINGS);
  if (plainSmtp.count("SMTP_PORT")) {
    TmsSMTP smtp;
    SetUpSmtp(smtp, TSecurity::StartTls, plainSmtp.at("SMTP_PORT"));
    auto e = testing::Raised<ETlsError>([&] { smtp.Connect(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e->what()).rfind("The server does not offer STARTTLS", 0), 0u);
  }
  // A wrong password, over TLS: the sink's reply, never the password.
  TmsSMTP smtp;
  SetUpSmtp(smtp, TSecurity::StartTls, smtp_["SMTP_PORT"]);
  smtp.AuthPassword = "wrong-password";
  auto e = testing::Raised<EServerError>([&] { smtp.Connect(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(std::string(e->what()).rfind("Authentication failed: 535", 0), 0u) << e->what();
  EXPECT_EQ(std::string(e->what()).find("wrong-password"), std::string::npos);
  EXPECT_FALSE(smtp.IsOpen());
}

// "Test connection" against the real servers: every stage that works is named, and so is the
// one that fails, without the password.
TEST_F(TlsInterop, TestConnectionNamesEachStageAgainstTheRealServers) {
  TrustTestCAs();
  const struct {
    std::string name, pop3Port, password, smtpPort;
    int security;  // 1 SSL/TLS, 2 STARTTLS
    const char *pop3, *smtp;
  } cases[] = {
      {"both work", pop3_["POP3S_PORT"], pop3_["POP3_PASS"], smtp_["SMTPS_PORT"], 1,
       "connected, certificate OK, login OK", "connected, certificate OK, login OK"},
      {"STARTTLS", pop3_["POP3_PORT"], pop3_["POP3_PASS"], smtp_["SMTP_PORT"], 2,
       "connected, certificate OK, login OK", "connected, certificate OK, login OK"},
      {"wrong password", pop3_["POP3S_PORT"], "wrong-password", smtp_["SMTPS_PORT"], 1,
       "connected, certificate OK, login failed: ", "connected, certificate OK, login failed: "},
      {"closed port", "1", pop3_["POP3_PASS"], "1", 1, "connection failed: ",
       "connection failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MailboxAccount account;
    account.Address = "test@example.org";
    account.Account = pop3_["POP3_USER"];
    account.Password = c.password;
    account.POP3Server = "localhost:" + c.pop3Port;
    account.Security = account.SMTPSecurity = c.security;
    account.SMTPServer = "localhost:" + c.smtpPort;
    account.SMTPAuth = true;
    account.SMTPUser = smtp_["SMTP_USER"];
    account.SMTPPassword = c.password;
    account.TimeOut = 10;
    TConnectionTest test;
    const std::vector<std::string> lines = test.Run(account);
    ASSERT_EQ(lines.size(), 2u);
    const std::string pop3 = lines[0].substr(lines[0].find(": ") + 2);
    const std::string smtp = lines[1].substr(lines[1].find(": ") + 2);
    EXPECT_EQ(pop3.rfind(c.pop3, 0), 0u) << lines[0];
    EXPECT_EQ(smtp.rfind(c.smtp, 0), 0u) << lines[1];
    for (const std::string& line : lines) EXPECT_EQ(line.find("wrong-password"), std::string::npos);
  }
}

// The system's own authorities only, which do not know the test CAs: every certificate fails
// verification, the user accepts the POP3 one in the dialog, and a fingerprint opens SMTP.
TEST_F(TlsInterop, AnUnknownCertificateIsAskedAboutAndThenAccepted) {
  if (trustChosen) GTEST_SKIP() << "needs a process of its own (as ctest runs each test)";
  trustChosen = true;
  ::unsetenv("SSL_CERT_FILE");
  ::unsetenv("SSL_CERT_DIR");

  testing::FakeDesktop desktop;
  desktop.BoxAnswers = {Desktop::mrYes};
  TfrmOptions options(dir_.Path());
  TfrmMain main(desktop, options);
  AddAccount(main, options, "POP3_PORT", 2);
  options.Save();
  main.CheckMail(true, -1);
  ASSERT_FALSE(desktop.Boxes.empty());
  EXPECT_EQ(desktop.Boxes[0].caption, "Certificate");
  EXPECT_NE(desktop.Boxes[0].text.find("could not be verified"), std::string::npos);
  EXPECT_EQ(main.lsvMail.size(), size_t(std::stoi(pop3_["POP3_COUNT"]))) << main.LastErrorText;
  EXPECT_EQ(options.lsvAddress[0]->POP3Certificate.size(), 95u);  // 32 bytes in hex with ':'

  TmsSMTP smtp;
  SetUpSmtp(smtp, TSecurity::SslTls, smtp_["SMTPS_PORT"]);
  auto e = testing::Raised<ETlsError>([&] { smtp.Connect(); });
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->Untrusted);
  // Both fixtures present a certificate of their own authority.
  EXPECT_NE(e->Fingerprint, options.lsvAddress[0]->POP3Certificate);
  smtp.AcceptedFingerprint = e->Fingerprint;
  const std::string envelope = Deliver(smtp);
  EXPECT_NE(envelope.find("\"authenticated\":true"), std::string::npos) << envelope;
}

}  // namespace
}  // namespace norva
