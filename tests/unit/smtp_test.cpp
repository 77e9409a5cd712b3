// The SMTP client against a fake server on loopback: the envelope, replies at every stage,
// unsafe addresses, the data block on the wire and the temporary files behind it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mail/mssmtp.h"
#include "store/Pump.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/MailFailure.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::Concat;
using testing::Failure;
using testing::FakeSmtp;
using testing::PeerConnection;
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
  // The fake refuses EHLO (500): the client greets it the old way.
  Lines Helo() const { return {"EHLO " + smtp.LocalHostName, "HELO " + smtp.LocalHostName}; }
  size_t TempFiles() const {
    auto files = std::filesystem::directory_iterator(tmp.Path());
    return size_t(std::distance(begin(files), end(files)));
  }

  testing::TempDir tmp;
  testing::ScopedEnv tmpdir{"TMPDIR", tmp.Path()};  // the client's temporary files go to tmp
  FakeSmtp server;
  TFixedMessage message;
  TmsSMTP smtp;
  Lines errors;  // what OnError saw
};

INSTANTIATE_TEST_SUITE_P(Modes, SmtpTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Blocking" : "NonBlocking"; });

const Lines kEnvelope = {"MAIL FROM:<ann@from.test>", "RCPT TO:<rob@to.test>", "DATA"};

// Several messages in one session, each with its whole envelope and its encoded form with
// dot lines stuffed and one line end before the ".". Every reply here has several lines and
// counts by its first code; a refused EHLO gets HELO, a refused host name a bare HELO.
TEST_P(SmtpTest, SendsTheEnvelopeInOrderAndTheMessagesWithDotLinesStuffed) {
  struct {
    std::string encoded, wire;
  } rows[] = {
      {message.Encoded, message.Encoded + ".\r\n"},  // no empty line before the "."
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
  server.Reply("GREETING", "220-fake.test greets\r\n220-in three\r\n220 lines\r\n");
  server.On("HELO", [](PeerConnection& c, const std::string& arg) {
    c.Send(arg.empty() ? "250-fake.test\r\n250-SIZE 1000\r\n250 HELP\r\n" : "501 bad name\r\n");
  });
  server.Reply("RCPT", "250-first\r\n250 accepted\r\n");
  server.Reply("MAIL", "250-sender\r\n250\r\n");    // a last line of the code alone
  message.Recipients.AddAddress("", "No Address");  // nowhere to deliver to: skipped
  message.Recipients.AddAddress("second@to.test", "");
  message.CC.AddAddress("carl@cc.test", "Carl");
  message.BCC.AddAddress("bea@bcc.test", "Bea");
  Lines events, commands, wires;
  smtp.OnPrepare = [&](TObject&) { events.push_back("prepare"); };
  smtp.OnSending = [&](TObject&) { events.push_back("sending"); };
  smtp.OnMailSent = [&](TObject&) { events.push_back("sent"); };
  std::vector<std::pair<int, int>> progress;
  smtp.OnProgress = [&](TObject&, int32_t perc, int32_t n) { progress.emplace_back(perc, n); };
  smtp.Connect();
  commands = Concat({Helo(), {"HELO"}});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.encoded);
    message.Encoded = row.encoded;
    progress.clear();
    events.clear();
    smtp.SendMail();
    EXPECT_EQ(events, (Lines{"prepare", "sending", "sent"}));
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.end()[-2], std::make_pair(100, int(row.wire.size())));
    EXPECT_EQ(progress.back(), std::make_pair(0, 0));
    EXPECT_FALSE(smtp.DataStream);
    EXPECT_EQ(TempFiles(), 0u);
    commands =
        Concat({commands,
                {"MAIL FROM:<ann@from.test>", "RCPT TO:<rob@to.test>", "RCPT TO:<second@to.test>",
                 "RCPT TO:<carl@cc.test>", "RCPT TO:<bea@bcc.test>", "DATA"}});
    wires.push_back(row.wire);
  }
  smtp.Disconnect();
  EXPECT_EQ(server.Commands(), Concat({commands, {"QUIT"}}));
  EXPECT_EQ(server.Data(), wires);
  EXPECT_TRUE(errors.empty());
}

// A refusal raises the reply line, sends nothing more and keeps the connection for QUIT. The
// reply to the final "." may come after the time-out, within DataReplyWait; none at all leaves
// the delivery unknown and the connection closed.
TEST_P(SmtpTest, RepliesAtEveryStage) {
  const std::string unknown =
      "unknown: The server did not confirm the message after receiving it (Connection closed by "
      "the server): it may have been delivered, so it is not sent again.";
  const Lines mailFrom = {"MAIL FROM:<ann@from.test>"};
  struct {
    std::string command, reply, failure;  // reply "late": "250 OK" after 1.5 s; "": a close
    Lines sent;                           // after HELO
  } rows[] = {
      {"GREETING", "554 go away\r\n", "server: 554 go away", {}},
      {"HELO", "501 who are you\r\n", "server: 501 who are you", {"HELO"}},
      {"MAIL", "550 sender refused\r\n", "server: 550 sender refused", mailFrom},
      {"MAIL", "no code at all\r\n", "server: no code at all", mailFrom},
      {"RCPT", "550 5.1.1 no such user\r\n", "server: 550 5.1.1 no such user",
       Concat({mailFrom, {"RCPT TO:<rob@to.test>"}})},
      {"DATA", "250 not what you expect\r\n", "server: 250 not what you expect", kEnvelope},
      {".", "554 5.7.1 content refused\r\n", "server: 554 5.7.1 content refused", kEnvelope},
      {".", "late", "", kEnvelope},
      {".", "", unknown, kEnvelope},
  };
  smtp.SetTimeOut(1);
  smtp.DataReplyWait = 3;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + row.reply);
    FakeSmtp peer;
    peer.On(row.command, [&row](PeerConnection& c, const std::string&) {
      if (row.reply.empty()) return c.Close();
      if (row.reply == "late") std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      c.Send(row.reply == "late" ? "250 OK\r\n" : row.reply);
    });
    smtp.Server = peer.Address();
    bool sent = false;
    smtp.OnMailSent = [&](TObject&) { sent = true; };
    EXPECT_EQ(Failure([&] {
                smtp.Connect();
                smtp.SendMail();
              }),
              row.failure);
    EXPECT_EQ(sent, row.failure.empty());
    EXPECT_EQ(smtp.IsOpen(), !row.failure.starts_with("unknown"));
    if (smtp.IsOpen()) smtp.Disconnect();  // QUIT right after what was sent
    const Lines helo = row.command == "GREETING" ? Lines{} : Helo();
    EXPECT_EQ(peer.Commands(),
              Concat({helo, row.sent, row.reply.empty() ? Lines{} : Lines{"QUIT"}}));
    EXPECT_EQ(peer.Data().size(), row.command == "." ? 1u : 0u);
    EXPECT_EQ(TempFiles(), 0u);
  }
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
    EXPECT_EQ(Failure([&] { smtp.SendMail(); }), proceed ? "" : "server: 550 5.1.1 gone");
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

// A line break or zero byte in an address, an address the command would cut, no sender or an
// encoder that fails: the message is refused before the envelope, its temporary files go, and
// the session goes on.
TEST_P(SmtpTest, UnsafeAddressesAreRefusedBeforeTheEnvelope) {
  enum Field { kSender, kTo, kCC, kBCC, kEncoder };
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
      {kSender, "", false},
      {kEncoder, "", false},
  };
  smtp.Connect();
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.field << " " << row.address);
    TFixedMessage m;
    m.Sender.Address = row.field == kSender ? row.address : "ann@from.test";
    m.Recipients.AddAddress(row.field == kTo ? row.address : "rob@to.test", "");
    if (row.field == kCC) m.CC.AddAddress(row.address, "");
    if (row.field == kBCC) m.BCC.AddAddress(row.address, "");
    m.Fail = row.field == kEncoder;
    smtp.MailMessage = &m;
    const size_t before = server.Commands().size(), blocks = server.Data().size();
    EXPECT_EQ(Failure([&] { smtp.SendMail(); }).starts_with("message: "), !row.sent);
    EXPECT_EQ(server.Commands().size() > before, row.sent);
    EXPECT_EQ(server.Data().size(), blocks + row.sent);
    EXPECT_EQ(TempFiles(), 0u);
  }
  smtp.Disconnect();
  EXPECT_EQ(server.Commands().back(), "QUIT");
}

// What the EHLO reply announces decides the greeting, the MAIL FROM parameters and how
// non-ASCII text goes: 8bit with BODY=8BITMIME, else quoted-printable.
TEST_P(SmtpTest, ExtensionsDecideTheGreetingAndHowTextGoes) {
  struct {
    std::string ehlo;  // the reply to EHLO; "" for a server that refuses it
    std::string body;
    Lines commands;          // up to MAIL FROM, without the ones taken from the data
    std::string transfer;    // the text's Content-Transfer-Encoding
    std::string parameters;  // after MAIL FROM:<...>, "SIZE" stands for the size
  } rows[] = {
      {"250-fake.test\r\n250-8BITMIME\r\n250 SIZE 100000\r\n",
       "Gr\u00fc\u00dfe",
       {"EHLO"},
       "8bit",
       " BODY=8BITMIME SIZE"},
      {"250-fake.test\r\n250 8bitmime\r\n", "plain", {"EHLO"}, "7bit", ""},
      {"250 fake.test\r\n", "Gr\u00fc\u00dfe", {"EHLO"}, "quoted-printable", ""},
      {"", "Gr\u00fc\u00dfe", {"EHLO", "HELO"}, "quoted-printable", ""},
      {"554 not you\r\n", "x", {"EHLO", "HELO"}, "7bit", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ehlo + row.body);
    FakeSmtp peer;
    if (!row.ehlo.empty()) peer.Reply("EHLO", row.ehlo);
    TmsMessage m;
    m.Sender.Address = "ann@from.test";
    m.Recipients.AddAddress("rob@to.test", "");
    m.Body = {row.body};
    m.Original =
        "read from the outbox";  // the encoder adds no Date or ID of its own: SendMail does
    smtp.Server = peer.Address();
    smtp.MailMessage = &m;
    smtp.Connect();
    smtp.SendMail();
    EXPECT_FALSE(m.EightBitTransport);
    smtp.Disconnect();
    ASSERT_EQ(peer.Data().size(), 1u);
    const std::string data = peer.Data()[0];
    Lines expected;
    for (const std::string& word : row.commands)
      expected.push_back(word + " " + smtp.LocalHostName);
    std::string parameters = row.parameters;
    if (parameters.ends_with("SIZE")) parameters += "=" + std::to_string(data.size() - 3);
    expected.push_back("MAIL FROM:<ann@from.test>" + parameters);
    const Lines commands = peer.Commands();
    EXPECT_EQ(Lines(commands.begin(), commands.begin() + long(expected.size())), expected);
    EXPECT_NE(data.find("Content-Transfer-Encoding: " + row.transfer + "\r\n"), std::string::npos)
        << data;
    EXPECT_EQ(data.find(row.body) != std::string::npos, row.transfer != "quoted-printable");
    EXPECT_TRUE(std::regex_search(data, std::regex("\r\nDate: .+\r\nMessage-ID: <.+@from.test>")));
  }
}

// A refused connection, a missing server or message, and a refused QUIT.
TEST_P(SmtpTest, FailuresOutsideTheEnvelope) {
  testing::ClosedPort port;
  smtp.Server = "127.0.0.1:" + std::to_string(port.Port());
  EXPECT_EQ(Failure([&] { smtp.Connect(); }), "10061: [10061] Connection refused");
  EXPECT_FALSE(smtp.IsOpen()) << "the next Connect must start afresh";
  smtp.Server = "";
  EXPECT_EQ(Failure([&] { smtp.Connect(); }), "57002: Server property is required");
  smtp.Server = server.Address();
  smtp.Connect();
  smtp.MailMessage = nullptr;
  EXPECT_EQ(Failure([&] { smtp.SendMail(); }), "57102: MailMessage property must be assigned");
  server.Reply("QUIT", "500 not now\r\n");
  EXPECT_EQ(Failure([&] { smtp.Disconnect(); }), "server: 500 not now");
  EXPECT_FALSE(smtp.IsOpen()) << "a refused QUIT still closes";
  EXPECT_EQ(server.Commands(), Concat({Helo(), {"QUIT"}}));
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(errors, (Lines{"[10061] Connection refused", "Server property is required",
                           "MailMessage property must be assigned"}));
}

}  // namespace
}  // namespace norva
