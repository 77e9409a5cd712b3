// The POP3 and SMTP logins over TLS against the fake servers on loopback: STLS, STARTTLS and
// implicit TLS, EHLO and its fallback, AUTH PLAIN and LOGIN on the wire, OAuth 2.0 with the token
// command, and every way the login refuses to go on without what it was told to require.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mail/mspop3cl.h"
#include "mail/mssmtp.h"
#include "mail/mstoken.h"
#include "mail/msuucode.h"
#include "store/Pump.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/TestCerts.h"

namespace norva {
namespace {

using testing::Certs;
using testing::FakePop3;
using testing::FakeSmtp;
using testing::PeerConnection;
using testing::Raised;
using testing::What;
using Lines = std::vector<std::string>;

// The commands that carry a secret: USER/PASS, or anything after an AUTH.
bool SentCredentials(const Lines& commands) {
  for (const std::string& line : commands)
    if (line.rfind("USER", 0) == 0 || line.rfind("PASS", 0) == 0 || line.rfind("AUTH", 0) == 0)
      return true;
  return false;
}

class SecureSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Certs();
    SetMessagePump({});
    for (TagSocket* s : {static_cast<TagSocket*>(&pop), static_cast<TagSocket*>(&smtp)}) {
      s->SetTimeOut(10);  // a fault makes a test fail, never hang
      s->SetWinsockLoaded(true);
      s->OnError = [this](TObject&, std::string& msg) { errors.push_back(msg); };
    }
    pop.UserName = "user";
    pop.Password = "secret";
    smtp.AuthUser = "user";
    smtp.AuthPassword = "secret";
    smtp.MailMessage = &message;
    message.Sender.Address = "ann@from.test";
    message.Recipients.AddAddress("rob@to.test", "Rob");
  }
  std::string Ehlo() const { return "EHLO " + smtp.LocalHostName; }
  static std::string Local(const testing::FakeServer& s) {
    return "localhost:" + std::to_string(s.Port());
  }

  TmsRemotePOP pop;
  TmsSMTP smtp;
  TmsMessage message;
  Lines errors;  // what OnError saw
};

// ---- POP3 ----

TEST_F(SecureSessionTest, Pop3StlsSecuresTheConnectionBeforeTheLogin) {
  FakePop3 box({"Subject: x\r\n\r\nbody\r\n"});
  box.UseTls(Certs().localhost.cert, Certs().localhost.key, false);
  box.On("STLS", [](PeerConnection& c, const std::string&) {
    c.Send("+OK begin TLS\r\n");
    c.StartTls();
  });
  pop.Security = TSecurity::StartTls;
  pop.Server = Local(box);
  pop.Connect();
  EXPECT_TRUE(pop.TlsActive());
  EXPECT_EQ(pop.MessageCount, 1);
  EXPECT_EQ(box.Commands(), (Lines{"STLS", "USER user", "PASS secret", "STAT"}));
}

TEST_F(SecureSessionTest, Pop3NeverSendsThePasswordWhenStlsFails) {
  struct Case {
    const char* name;
    const testing::TServerCert* cert;  // none: the server cannot speak TLS
    bool agrees;                       // "+OK" to STLS
    bool untrusted;
  };
  for (const Case& c :
       {Case{"refused", nullptr, false, false}, Case{"no TLS behind +OK", nullptr, true, false},
        Case{"self-signed", &Certs().selfSigned, true, true}}) {
    SCOPED_TRACE(c.name);
    FakePop3 box({});
    if (c.cert) box.UseTls(c.cert->cert, c.cert->key, false);
    if (c.agrees)
      box.On("STLS", [&](PeerConnection& peer, const std::string&) {
        peer.Send("+OK\r\n");
        if (c.cert) peer.StartTls();
      });
    pop.Security = TSecurity::StartTls;
    pop.Server = Local(box);
    auto e = Raised<ETlsError>([&] { pop.Connect(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Untrusted, c.untrusted) << e->what();
    if (!c.agrees) {
      EXPECT_STREQ(e->what(),
                   "The server does not offer STLS: the password is not sent without encryption.");
    }
    EXPECT_EQ(e->Fingerprint, c.untrusted ? Certs().selfSigned.fingerprint : "");
    EXPECT_FALSE(pop.IsOpen());
    EXPECT_EQ(box.Commands().at(0), "STLS");
    EXPECT_FALSE(SentCredentials(box.Commands()));
  }
}

TEST_F(SecureSessionTest, TheWellKnownPortFollowsSecurityUnlessAPortIsGiven) {
  const auto port = [](TagSocket& s, TSecurity security, const std::string& server) {
    s.Security = security;
    s.Server = server;
    s.Open();
    s.Close();
    return s.RemotePort;
  };
  EXPECT_EQ(port(pop, TSecurity::SslTls, "127.0.0.1"), 995);
  EXPECT_EQ(port(pop, TSecurity::StartTls, "127.0.0.1"), 110);
  EXPECT_EQ(port(pop, TSecurity::None, "127.0.0.1"), 110);
  EXPECT_EQ(port(pop, TSecurity::SslTls, "127.0.0.1:1995"), 1995);
  EXPECT_EQ(port(smtp, TSecurity::None, "127.0.0.1"), 25);
  EXPECT_EQ(port(smtp, TSecurity::SslTls, "127.0.0.1"), 465);
  EXPECT_EQ(port(smtp, TSecurity::StartTls, "127.0.0.1"), 587);
  EXPECT_EQ(port(smtp, TSecurity::StartTls, "127.0.0.1:2525"), 2525);
}

// ---- SMTP ----

// Before TLS the server offers LOGIN only, after it PLAIN too: only the second EHLO counts.
TEST_F(SecureSessionTest, SmtpStartTlsThenEhloAgainThenAuthPlain) {
  FakeSmtp server;
  server.UseTls(Certs().localhost.cert, Certs().localhost.key, false);
  int hellos = 0;
  server.On("EHLO", [&](PeerConnection& c, const std::string&) {
    c.Send(++hellos == 1 ? "250-fake.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"
                         : "250-fake.test\r\n250-auth login plain\r\n250 SIZE 1000\r\n");
  });
  server.On("STARTTLS", [](PeerConnection& c, const std::string&) {
    c.Send("220 go ahead\r\n");
    c.StartTls();
  });
  server.Reply("AUTH", "235 2.7.0 accepted\r\n");
  smtp.Security = TSecurity::StartTls;
  smtp.Authenticate = true;
  smtp.Server = Local(server);
  smtp.Connect();
  EXPECT_TRUE(smtp.TlsActive());
  EXPECT_EQ(smtp.Extensions, (Lines{"AUTH LOGIN PLAIN", "SIZE 1000"}));
  smtp.SendMail();
  smtp.Disconnect();
  // "\0user\0secret"
  ASSERT_EQ(server.Data().size(), 1u);
  // SIZE counts the data block without its "." line.
  EXPECT_EQ(server.Commands(),
            (Lines{Ehlo(), "STARTTLS", Ehlo(), "AUTH PLAIN AHVzZXIAc2VjcmV0",
                   "MAIL FROM:<ann@from.test> SIZE=" + std::to_string(server.Data()[0].size() - 3),
                   "RCPT TO:<rob@to.test>", "DATA", "QUIT"}));
}

// Implicit TLS, or none, with the mechanism the server offers; with Security None and a login
// asked for, the password goes in the clear (the user's choice, for relays on a trusted
// network). A secured session without login takes HELO where the server does not know EHLO.
TEST_F(SecureSessionTest, SmtpGreetsAndLogsInAsTheServerOffers) {
  const struct {
    const char* name;
    TSecurity security;
    bool authenticate;
    std::vector<std::pair<std::string, std::string>> replies;
    Lines commands;  // "EHLO" and "HELO" stand for the greetings with the local host name
  } cases[] = {
      {"implicit TLS, AUTH LOGIN", TSecurity::SslTls, true,
       {{"EHLO", "250-fake.test\r\n250 AUTH=LOGIN CRAM-MD5\r\n"},
        {"AUTH", "334 VXNlcm5hbWU6\r\n"},
        {"dXNlcg==", "334 UGFzc3dvcmQ6\r\n"},
        {"c2VjcmV0", "235 accepted\r\n"}},
       {"EHLO", "AUTH LOGIN", "dXNlcg==", "c2VjcmV0", "QUIT"}},
      {"AUTH PLAIN in the clear", TSecurity::None, true,
       {{"EHLO", "250-fake.test\r\n250 AUTH PLAIN\r\n"}, {"AUTH", "235 accepted\r\n"}},
       {"EHLO", "AUTH PLAIN AHVzZXIAc2VjcmV0", "QUIT"}},
      {"HELO over implicit TLS", TSecurity::SslTls, false,
       {{"EHLO", "502 not implemented\r\n"}}, {"EHLO", "HELO", "QUIT"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmtp server;  // answers EHLO with 500 unless told otherwise
    if (c.security == TSecurity::SslTls)
      server.UseTls(Certs().localhost.cert, Certs().localhost.key, true);
    for (const auto& [command, reply] : c.replies) server.Reply(command, reply);
    smtp.Security = c.security;
    smtp.Authenticate = c.authenticate;
    smtp.Server = Local(server);
    smtp.Connect();
    EXPECT_EQ(smtp.TlsActive(), c.security == TSecurity::SslTls);
    smtp.Disconnect();
    Lines expected = c.commands;
    for (std::string& line : expected)
      if (line == "EHLO" || line == "HELO") line += " " + smtp.LocalHostName;
    EXPECT_EQ(server.Commands(), expected);
  }
}

TEST_F(SecureSessionTest, SmtpRefusesToGoOnWithoutWhatWasRequired) {
  struct Case {
    const char* name;
    TSecurity security;
    std::string ehlo;  // the reply to EHLO
    std::string auth;  // the reply to AUTH
    std::string error;
    bool tlsError;
  };
  const std::string noStartTls =
      "The server does not offer STARTTLS: Norva sends nothing more without encryption.";
  for (const Case& c : {
           Case{"no STARTTLS", TSecurity::StartTls, "250-fake.test\r\n250 AUTH PLAIN\r\n", "",
                noStartTls, true},
           Case{"EHLO unknown, STARTTLS", TSecurity::StartTls, "500 what?\r\n", "", noStartTls,
                true},
           Case{"EHLO unknown, AUTH", TSecurity::None, "502 no\r\n", "",
                "The server does not understand EHLO, so it offers no authentication.", false},
           Case{"EHLO refused otherwise", TSecurity::None, "421 closing\r\n", "", "421 closing",
                false},
           Case{"unknown mechanisms", TSecurity::None, "250-fake.test\r\n250 AUTH CRAM-MD5\r\n", "",
                "The server offers no authentication method Norva knows (PLAIN, LOGIN).", false},
           Case{"bad password", TSecurity::None, "250-fake.test\r\n250 AUTH PLAIN\r\n",
                "535 5.7.8 bad credentials\r\n", "Authentication failed: 535 5.7.8 bad credentials",
                false},
       }) {
    SCOPED_TRACE(c.name);
    FakeSmtp server;
    server.Reply("EHLO", c.ehlo);
    if (!c.auth.empty()) server.Reply("AUTH", c.auth);
    smtp.Security = c.security;
    smtp.Authenticate = true;
    smtp.Server = server.Address();
    errors.clear();
    try {
      smtp.Connect();
      ADD_FAILURE() << "connected";
    } catch (const Exception& e) {
      EXPECT_EQ(e.what(), c.error);
      EXPECT_EQ(dynamic_cast<const ETlsError*>(&e) != nullptr, c.tlsError);
    }
    // Closed: the next Connect starts afresh instead of taking this session for logged in.
    EXPECT_FALSE(smtp.IsOpen());
    for (const std::string& line : server.Commands())
      EXPECT_TRUE(line.rfind("MAIL", 0) && line.rfind("STARTTLS", 0)) << line;
    if (c.tlsError) {
      EXPECT_FALSE(SentCredentials(server.Commands()));
    }
    for (const std::string& text : errors) EXPECT_EQ(text.find("secret"), std::string::npos);
  }
}

// ---- OAuth 2.0 ----

// The token is the first line the command prints; a failing, silent, slow or stopped command
// says why and ends within its time-out, whatever it prints or leaves running.
TEST(TokenCommandTest, TheFirstLineIsTheTokenAndEveryFailureSaysWhy) {
  const struct {
    const char* command;
    int timeOut;
    const char* token;  // or the start of the error
  } cases[] = {
      {"echo ya29.token", 5, "ya29.token"},
      {"printf '\n  tok en \r\nsecond\n'", 5, "tok en"},
      {"sleep 20 & echo early", 5, "early"},  // a background child keeps the pipe open
      {"echo refresh expired >&2; exit 3", 5,
       "The token command failed (exit status 3): refresh expired"},
      {"true", 5, "The token command printed no token."},
      {"kill -9 $$", 5, "The token command was ended by signal 9."},
      {"sleep 20", 1, "The token command did not finish within 1 seconds."},
      {"yes", 1, "The token command did not finish within 1 seconds."},  // endless output
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto start = std::chrono::steady_clock::now();
    std::string got;
    const std::string raised = What([&] { got = RunTokenCommand(c.command, c.timeOut); });
    EXPECT_EQ(raised.empty() ? got : raised, c.token);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(c.timeOut + 2));
  }
  EXPECT_EQ(What([] { RunTokenCommand("sleep 20", 30, [] { return true; }); }),
            "The token command was stopped.");
}

// What goes on the wire, with and without OAUTHBEARER on offer, and a refused token: the
// client ends the exchange as RFC 7628 asks, and the user reads the server's reason.
TEST_F(SecureSessionTest, TokenLoginsSendTheTokenTheWayTheServerOffers) {
  const std::string xoauth2 = Base64Encode("user=user\x01" "auth=Bearer tok\x01\x01");
  const std::string error = Base64Encode(R"({"status":"401","schemes":"bearer"})");
  const struct {
    bool smtp;
    std::string offer;  // CAPA's SASL line, EHLO's AUTH line
    bool accepted;
    Lines wire;  // after EHLO / CAPA
  } cases[] = {
      {false, "SASL PLAIN XOAUTH2", true, {"AUTH XOAUTH2", xoauth2, "STAT"}},
      {false, "", true, {"AUTH XOAUTH2", xoauth2, "STAT"}},
      {false, "SASL OAUTHBEARER XOAUTH2", false, {"AUTH OAUTHBEARER", "bearer", "AQ=="}},
      {true, "AUTH LOGIN XOAUTH2", true, {"AUTH XOAUTH2", xoauth2}},
      {true, "AUTH OAUTHBEARER", false, {"AUTH OAUTHBEARER", "bearer", "AQ=="}},
      {true, "AUTH XOAUTH2", false, {"AUTH XOAUTH2", xoauth2, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offer);
    std::unique_ptr<FakeSmtp> smtpBox;
    std::unique_ptr<FakePop3> popBox;
    testing::FakeServer* server = nullptr;
    const char* more = c.smtp ? "334 " : "+ ";
    const auto auth = [&](PeerConnection& p, const std::string&) {
      std::string response;
      p.Send(std::string(more) + "\r\n");
      if (!p.ReadLine(response)) return;
      if (c.accepted) {
        p.Send(c.smtp ? "235 accepted\r\n" : "+OK welcome\r\n");
        return;
      }
      p.Send(std::string(more) + error + "\r\n");
      p.ReadLine(response);
      p.Send(c.smtp ? "535 5.7.8 refused\r\n" : "-ERR [AUTH] refused\r\n");
    };
    if (c.smtp) {
      auto box = std::make_unique<FakeSmtp>();
      box->Reply("EHLO", "250-fake.test\r\n250 " + c.offer + "\r\n");
      box->On("AUTH", auth);
      smtp.Server = box->Address();
      smtp.Authenticate = true;
      smtp.TokenCommand = "echo tok";
      server = box.get();
      smtpBox = std::move(box);
    } else {
      auto box = std::make_unique<FakePop3>(Lines{});
      box->Reply("CAPA", "+OK\r\n" + (c.offer.empty() ? "" : c.offer + "\r\n") + ".\r\n");
      box->On("AUTH", auth);
      pop.Server = box->Address();
      pop.Password.clear();  // a token login needs none
      pop.TokenCommand = "echo tok";
      server = box.get();
      popBox = std::move(box);
    }
    TmsMailBase& client = c.smtp ? static_cast<TmsMailBase&>(smtp) : pop;
    const std::string raised = What([&] { client.Connect(); });
    Lines wire = server->Commands();
    wire.erase(wire.begin(), wire.begin() + 1);  // EHLO, CAPA
    for (std::string& line : wire)
      if (line.rfind("bixh", 0) == 0) {  // "n,a=..."
        std::string decoded;
        Base64DecodeLine(line, decoded);
        EXPECT_EQ(decoded, "n,a=user,\x01host=127.0.0.1\x01port=" +
                               std::to_string(server->Port()) + "\x01" "auth=Bearer tok\x01\x01");
        line = "bearer";
      }
    EXPECT_EQ(wire, c.wire);
    if (c.accepted) {
      EXPECT_EQ(raised, "");
    } else {
      EXPECT_EQ(raised, std::string("The server refused the access token: ") +
                            (c.smtp ? "535 5.7.8 refused" : "-ERR [AUTH] refused") +
                            R"( ({"status":"401","schemes":"bearer"}))");
    }
    client.Close();
  }
}

}  // namespace
}  // namespace norva
