// The SMTP client against a fake server on loopback: the envelope, refusals at every stage,
// unsafe addresses, the data block on the wire and the temporary files behind it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mail/mssmtp.h"
#include "store/Pump.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::Concat;
using testing::FakeSmtp;
using testing::PeerConnection;
using testing::Raised;
using Lines = std::vector<std::string>;

// A message whose encoded form is given, so that the wire can be checked byte for byte.
class TFixedMessage : public TmsMessage {
 public:
  std::string Encoded = "Subject: test\r\n\r\nbody\r\n";
  bool Fail = false;
  void SaveToStream(TStream& stream) override {
    stream.WriteString(Encoded);
    if (Fail) throw EMessageError("encoder failed");
  }
};

// Parameter: the socket's Blocking mode.
class SmtpTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // The client's temporary files go to a folder of this test's own.
    if (const char* old = std::getenv("TMPDIR")) oldTmp = old;
    ::setenv("TMPDIR", tmp.Path().c_str(), 1);
    smtp.Server = server.Address();
    smtp.Blocking = GetParam();
    smtp.SetTimeOut(10);  // a fault makes a test fail, never hang
    smtp.SetWinsockLoaded(true);
    smtp.MailMessage = &message;
    smtp.OnError = [this](TObject&, std::string& msg) { errors.push_back(msg); };
    message.Sender.Address = "ann@from.test";
    message.Recipients.AddAddress("rob@to.test", "Rob");
    SetMessagePump({});
  }
  void TearDown() override {
    if (oldTmp)
      ::setenv("TMPDIR", oldTmp->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }
  Lines Helo() const { return {"HELO " + smtp.LocalHostName}; }
  Lines Envelope() const { return {"MAIL FROM:<ann@from.test>", "RCPT TO:<rob@to.test>", "DATA"}; }
  size_t TempFiles() const {
    auto files = std::filesystem::directory_iterator(tmp.Path());
    return size_t(std::distance(begin(files), end(files)));
  }

  testing::TempDir tmp;
  std::optional<std::string> oldTmp;
  FakeSmtp server;
  TFixedMessage message;
  TmsSMTP smtp;
  Lines errors;  // what OnError saw
};

INSTANTIATE_TEST_SUITE_P(Modes, SmtpTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Blocking" : "NonBlocking"; });

TEST_P(SmtpTest, SendsTheEnvelopeInOrderAndTheMessageAsEncoded) {
  message.Recipients.AddAddress("", "No Address");  // nowhere to deliver to: skipped
  message.Recipients.AddAddress("second@to.test", "");
  message.CC.AddAddress("carl@cc.test", "Carl");
  message.BCC.AddAddress("bea@bcc.test", "Bea");
  Lines events;
  smtp.OnPrepare = [&](TObject&) { events.push_back("prepare"); };
  smtp.OnSending = [&](TObject&) { events.push_back("sending"); };
  smtp.OnMailSent = [&](TObject&) { events.push_back("sent"); };
  std::vector<std::pair<int, int>> progress;
  smtp.OnProgress = [&](TObject&, int32_t perc, int32_t n) { progress.emplace_back(perc, n); };
  smtp.Connect();
  smtp.SendMail();
  smtp.SendMail();  // the outbox sends several in one session
  smtp.Disconnect();
  const Lines envelope = {"MAIL FROM:<ann@from.test>", "RCPT TO:<rob@to.test>",
                          "RCPT TO:<second@to.test>",  "RCPT TO:<carl@cc.test>",
                          "RCPT TO:<bea@bcc.test>",    "DATA"};
  EXPECT_EQ(server.Commands(), Concat({Helo(), envelope, envelope, {"QUIT"}}));
  const std::string block = message.Encoded + ".\r\n";  // no empty line before the "."
  EXPECT_EQ(server.Data(), (Lines{block, block}));
  EXPECT_EQ(events, (Lines{"prepare", "sending", "sent", "prepare", "sending", "sent"}));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), std::make_pair(0, 0));
  EXPECT_EQ(progress.end()[-2], std::make_pair(100, int(block.size())));
  EXPECT_FALSE(smtp.DataStream);
  EXPECT_EQ(TempFiles(), 0u);
  EXPECT_TRUE(errors.empty());
}

// Multi-line replies count by their first code; a refused host name gets a bare HELO.
TEST_P(SmtpTest, MultiLineRepliesAndHeloWithoutTheHostName) {
  server.Reply("GREETING", "220-fake.test greets\r\n220-in three\r\n220 lines\r\n");
  server.On("HELO", [](PeerConnection& c, const std::string& arg) {
    c.Send(arg.empty() ? "250-fake.test\r\n250-SIZE 1000\r\n250 HELP\r\n" : "501 bad name\r\n");
  });
  server.Reply("RCPT", "250-first\r\n250 accepted\r\n");
  server.Reply("MAIL", "250-sender\r\n250\r\n");  // a last line of the code alone
  smtp.Connect();
  smtp.SendMail();
  smtp.Disconnect();
  EXPECT_EQ(server.Commands(), Concat({Helo(), {"HELO"}, Envelope(), {"QUIT"}}));
  EXPECT_EQ(server.Data().size(), 1u);
}

// Each refusal raises the reply line, sends nothing more and keeps the connection for QUIT.
TEST_P(SmtpTest, RefusalsAtEveryStage) {
  struct {
    std::string command, reply;
    Lines sent;  // after HELO
    size_t blocks;
  } rows[] = {
      {"GREETING", "554 go away\r\n", {}, 0},
      {"HELO", "501 who are you\r\n", {"HELO"}, 0},
      {"MAIL", "550 sender refused\r\n", {"MAIL FROM:<ann@from.test>"}, 0},
      {"MAIL", "no code at all\r\n", {"MAIL FROM:<ann@from.test>"}, 0},
      {"RCPT",
       "550 5.1.1 no such user\r\n",
       {"MAIL FROM:<ann@from.test>", "RCPT TO:<rob@to.test>"},
       0},
      {"DATA", "250 not what you expect\r\n", Envelope(), 0},
      {".", "554 5.7.1 content refused\r\n", Envelope(), 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + row.reply);
    FakeSmtp peer;
    peer.Reply(row.command, row.reply);
    smtp.Server = peer.Address();
    bool sent = false;
    smtp.OnMailSent = [&](TObject&) { sent = true; };
    auto e = Raised<EServerError>([&] {
      smtp.Connect();
      smtp.SendMail();
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e->what()), row.reply.substr(0, row.reply.size() - 2));
    EXPECT_FALSE(sent);
    EXPECT_TRUE(smtp.IsOpen());
    smtp.Disconnect();  // QUIT comes right after what was sent: no data followed a refusal
    Lines helo = row.command == "GREETING" ? Lines{} : Helo();
    EXPECT_EQ(peer.Commands(), Concat({helo, row.sent, {"QUIT"}}));
    EXPECT_EQ(peer.Data().size(), row.blocks);
    EXPECT_EQ(TempFiles(), 0u);
  }
  EXPECT_TRUE(errors.empty());
}

TEST_P(SmtpTest, ARefusedRecipientIsSkippedOnlyWhenTheHandlerSaysSo) {
  message.CC.AddAddress("gone@cc.test", "");
  message.BCC.AddAddress("bea@bcc.test", "");
  server.On("RCPT", [](PeerConnection& c, const std::string& arg) {
    c.Send(arg.find("gone") != std::string::npos ? "550 5.1.1 gone\r\n" : "250 OK\r\n");
  });
  Lines rejected;
  for (bool proceed : {true, false}) {
    SCOPED_TRACE(proceed);
    smtp.OnAddressRejected = [&](TObject&, const std::string& address, const std::string& reply,
                                 bool& go) {
      EXPECT_FALSE(go);
      rejected.push_back(address + " " + reply);
      go = proceed;
    };
    smtp.Connect();
    if (proceed) {
      smtp.SendMail();
    } else {
      auto e = Raised<EServerError>([&] { smtp.SendMail(); });
      EXPECT_STREQ(e ? e->what() : "", "550 5.1.1 gone");
    }
    smtp.Disconnect();
  }
  EXPECT_EQ(rejected, (Lines{"gone@cc.test 550 5.1.1 gone", "gone@cc.test 550 5.1.1 gone"}));
  const Lines rcpt = {"MAIL FROM:<ann@from.test>", "RCPT TO:<rob@to.test>",
                      "RCPT TO:<gone@cc.test>"};
  EXPECT_EQ(
      server.Commands(),
      Concat({Helo(), rcpt, {"RCPT TO:<bea@bcc.test>", "DATA", "QUIT"}, Helo(), rcpt, {"QUIT"}}));
  EXPECT_EQ(server.Data().size(), 1u);
}

// A line break or zero byte in an address, or an address the command would cut, never reaches
// the wire: the message is refused before the envelope and the session goes on.
TEST_P(SmtpTest, UnsafeAddressesAreRefusedBeforeTheEnvelope) {
  enum Field { kSender, kTo, kCC, kBCC };
  struct {
    Field field;
    std::string address;
    bool sent;
  } rows[] = {
      {kSender, "ann@from.test>\r\nRCPT TO:<eve@x.test", false},
      {kTo, "rob@to.test\nDATA", false},
      {kCC, "carl@cc.test\r", false},
      {kBCC, std::string("bea@bcc.test\0eve@x.test", 23), false},
      {kSender, std::string(244, 'a'), false},  // "MAIL FROM:<" + 244 + ">" is 256 bytes
      {kSender, std::string(243, 'a'), true},
      {kBCC, std::string(246, 'b'), false},  // "RCPT TO:<" + 246 + ">" is 256 bytes
      {kBCC, std::string(245, 'b'), true},
  };
  smtp.Connect();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.address);
    TFixedMessage m;
    m.Sender.Address = row.field == kSender ? row.address : "ann@from.test";
    m.Recipients.AddAddress(row.field == kTo ? row.address : "rob@to.test", "");
    if (row.field == kCC) m.CC.AddAddress(row.address, "");
    if (row.field == kBCC) m.BCC.AddAddress(row.address, "");
    smtp.MailMessage = &m;
    const size_t before = server.Commands().size(), blocks = server.Data().size();
    if (row.sent) {
      smtp.SendMail();
      EXPECT_EQ(server.Commands().back(), "DATA");
      EXPECT_EQ(server.Data().size(), blocks + 1);
    } else {
      EXPECT_THROW(smtp.SendMail(), EMessageError);
      EXPECT_EQ(server.Commands().size(), before);
    }
    EXPECT_EQ(TempFiles(), 0u);
  }
  smtp.Disconnect();
  EXPECT_EQ(server.Commands().back(), "QUIT");
}

TEST_P(SmtpTest, DotLinesAreStuffedAndTheBlockEndsWithOneLineEnd) {
  struct {
    std::string encoded, wire;
  } rows[] = {
      {"S: d\r\n\r\n.\r\n..\r\n...\r\n.NET\r\nmid.dle\r\n",
       "S: d\r\n\r\n..\r\n...\r\n....\r\n..NET\r\nmid.dle\r\n.\r\n"},
      {"S: d\r\n\r\nno line end", "S: d\r\n\r\nno line end\r\n.\r\n"},
      {"S: d\r\n\r\n.", "S: d\r\n\r\n..\r\n.\r\n"},
      {"S: d\r\n\r\nends empty\r\n\r\n", "S: d\r\n\r\nends empty\r\n\r\n.\r\n"},
      {"", ".\r\n"},
      // Lone CR and LF are line ends to some servers: sent as CR LF, so that no "." line hides.
      {"a\n.\r\nMAIL FROM:<eve@x.test>\rb\r\r\n.c\n",
       "a\r\n..\r\nMAIL FROM:<eve@x.test>\r\nb\r\n\r\n..c\r\n.\r\n"},
  };
  smtp.Connect();
  for (const auto& row : rows) {
    message.Encoded = row.encoded;
    smtp.SendMail();
  }
  smtp.Disconnect();
  const Lines data = server.Data();
  ASSERT_EQ(data.size(), std::size(rows));
  for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i], rows[i].wire) << rows[i].encoded;
}

TEST_P(SmtpTest, FailuresBeforeTheEnvelope) {
  smtp.Connect();
  message.Fail = true;  // the encoder raises: both temporary files go all the same
  EXPECT_THROW(smtp.SendMail(), EMessageError);
  EXPECT_EQ(TempFiles(), 0u);
  message.Fail = false;
  message.Sender.Address = "";
  auto e = Raised<EMessageError>([&] { smtp.SendMail(); });
  EXPECT_STREQ(e ? e->what() : "", "The address of sender is required");
  smtp.MailMessage = nullptr;
  auto s = Raised<ESocketError>([&] { smtp.SendMail(); });
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Code, 57102);
  EXPECT_EQ(errors, Lines{"MailMessage property must be assigned"});
  smtp.Disconnect();
  EXPECT_EQ(server.Commands(), Concat({Helo(), {"QUIT"}}));

  smtp.Server = "";
  auto n = Raised<ESocketError>([&] { smtp.Connect(); });
  EXPECT_STREQ(n ? n->what() : "", "Server property is required");
  EXPECT_EQ(server.Connections(), 1);
}

TEST_P(SmtpTest, AFailedLoginClosesAndARefusedQuitRaises) {
  testing::ClosedPort port;
  smtp.Server = "127.0.0.1:" + std::to_string(port.Port());
  auto e = Raised<ESocketError>([&] { smtp.Connect(); });
  EXPECT_EQ(e ? e->Code : 0, 10061);
  EXPECT_FALSE(smtp.IsOpen()) << "the next Connect must start afresh";
  smtp.Server = server.Address();
  server.Reply("QUIT", "500 not now\r\n");
  smtp.Connect();
  auto q = Raised<EServerError>([&] { smtp.Disconnect(); });
  EXPECT_STREQ(q ? q->what() : "", "500 not now");
  EXPECT_FALSE(smtp.IsOpen()) << "a refused QUIT still closes";
  EXPECT_EQ(server.Commands(), Concat({Helo(), {"QUIT"}}));
}

}  // namespace
}  // namespace norva
