// Hostile servers end to end: a check (POP3) or the outbox (SMTP) through the main window against
// a peer that misbehaves. Every session ends within the mailbox's time-out plus two seconds, with
// the failure named in the status bar, the window unlocked and usable for a check against a sane
// server, and no socket or file left open.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>

#include "app/Main.h"
#include "app/Msg.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace std::chrono_literals;
using testing::FakeDesktop;
using testing::FakePop3;
using testing::FakeServer;
using testing::FakeSmtp;
using testing::PeerConnection;

constexpr int32_t kTimeOut = 2;  // seconds, the mailbox's
const std::string kTimedOut = "Operation timed out";
const std::string kReset = "[10054] Connection reset by peer";
const std::string kClosed = "Connection closed by the server";

std::string Message(const std::string& id, const std::string& subject) {
  return "Message-ID: <" + id + "@test>\r\nFrom: sender@example.org\r\nTo: me@example.org\r\n" +
         "Subject: " + subject + "\r\n\r\nbody\r\n";
}

size_t OpenDescriptors() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                              std::filesystem::directory_iterator()));
}

enum class Protocol { Pop3, Smtp };

struct Scenario {
  std::string name;
  Protocol protocol;
  std::function<void(FakeServer&)> script;
  // What the status bar may end with; a closing peer shows as a reset when the client's data
  // was still unread.
  std::vector<std::string> reasons;
  size_t rows = 0;        // rows a POP3 check lists before (or despite) the failure
  std::string size = {};  // the size column of those rows, when it matters
  // SMTP: the server went away after the whole message, so it may have been delivered: the
  // message is set aside, never sent again.
  bool setAside = false;
};

// Names the scenario in the test's name and in failures.
void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// A reply cut short by a reset, for each command in turn.
void ResetAfter(FakeServer& server, const std::string& command, const std::string& part) {
  server.On(command, [part](PeerConnection& c, const std::string&) {
    c.Send(part);
    c.Reset();
  });
}

std::vector<Scenario> Scenarios() {
  using P = PeerConnection;
  using S = const std::string;
  std::vector<Scenario> all = {
      // ---- POP3 ----
      {"Pop3EndlessLine",
       Protocol::Pop3,
       [](FakeServer& s) { s.On("GREETING", [](P& c, S&) { c.SendForever("+OK and on "); }); },
       {"Reply line longer than 1024 bytes"}},
      {"Pop3GreetingOneBytePerSecond",
       Protocol::Pop3,
       [](FakeServer& s) {
         s.On("GREETING", [](P& c, S&) { c.Drip("+OK fake POP3 server ready\r\n", 1s); });
       },
       {kTimedOut}},
      {"Pop3EndlessHeaderBlock",
       Protocol::Pop3,
       [](FakeServer& s) {
         s.On("TOP", [](P& c, S&) {
           if (c.Send("+OK\r\n")) c.SendForever("X-Filler: 0123456789abcdef0123456789\r\n");
         });
       },
       {"The server sent more than the message's size"}},
      // A block waits the time-out for each next bytes, not for the whole block.
      {"Pop3HeaderBlockPausingLongerThanTheTimeOut",
       Protocol::Pop3,
       [](FakeServer& s) {
         s.On("TOP", [](P& c, S&) {
           if (c.Send("+OK\r\nX: y\r\n")) c.Drip("X: y\r\n", 3s);
         });
       },
       {kTimedOut}},
      {"Pop3GarbageGreeting",
       Protocol::Pop3,
       [](FakeServer& s) { s.Reply("GREETING", "\x01\x7f garbage \xff\r\n"); },
       {"\x01\x7f garbage \xff"}},
      {"Pop3GarbageStat",
       Protocol::Pop3,
       [](FakeServer& s) { s.Reply("STAT", "+OK lots of mail\r\n"); },
       {"'lots' is not a valid integer value"}},
      {"Pop3GarbageList",
       Protocol::Pop3,
       [](FakeServer& s) { s.Reply("LIST", "HTTP/1.1 400 Bad Request\r\n"); },
       {"HTTP/1.1 400 Bad Request"}},
      // STAT says 5, messages 4 and 5 do not exist: what exists is listed.
      {"Pop3StatPromisesMoreThanExist",
       Protocol::Pop3,
       [](FakeServer& s) { s.Reply("STAT", "+OK 5 500\r\n"); },
       {"-ERR no such message"},
       3},
      // Sizes past 32 bits or below zero are nothing to allocate by: the messages are listed.
      {"Pop3HugeSizes",
       Protocol::Pop3,
       [](FakeServer& s) {
         s.Reply("STAT", "+OK 3 99999999999\r\n");
         s.On("LIST", [](P& c, S& n) { c.Send("+OK " + n + " 99999999999\r\n"); });
       },
       {},
       3,
       "0"},
      {"Pop3NegativeSizes",
       Protocol::Pop3,
       [](FakeServer& s) {
         s.Reply("STAT", "+OK 3 -1\r\n");
         s.On("LIST", [](P& c, S& n) { c.Send("+OK " + n + " -2147483648\r\n"); });
       },
       {},
       3,
       "0"},
      // ---- SMTP ----
      {"SmtpAcceptsDataAndCloses",
       Protocol::Smtp,
       [](FakeServer& s) {
         s.On("DATA", [](P& c, S&) {
           c.Send("354 go ahead\r\n");
           c.Close();
         });
       },
       {kClosed, kReset},
       0,
       {},
       true},
      {"SmtpNeverAnswersTheData",
       Protocol::Smtp,
       [](FakeServer& s) { s.On(".", [](P& c, S&) { c.Stall(); }); },
       {kTimedOut},
       0,
       {},
       true},
      {"SmtpEndlessMultiLineGreeting",
       Protocol::Smtp,
       [](FakeServer& s) { s.On("GREETING", [](P& c, S&) { c.SendForever("220-more\r\n"); }); },
       {kTimedOut}},
      {"SmtpMultiLineReplyTricklingForever",
       Protocol::Smtp,
       [](FakeServer& s) { s.On("MAIL", [](P& c, S&) { c.Drip("250-wait\r\n", 50ms); }); },
       {kTimedOut}},
      {"SmtpGreetingOneBytePerSecond",
       Protocol::Smtp,
       [](FakeServer& s) { s.On("GREETING", [](P& c, S&) { c.Drip("220 ready\r\n", 1s); }); },
       {kTimedOut}},
      {"SmtpGarbageGreeting",
       Protocol::Smtp,
       [](FakeServer& s) { s.Reply("GREETING", "\x16\x03\x01 garbage\r\n"); },
       {"\x16\x03\x01 garbage"}},
      {"SmtpGarbageReplyToMail",
       Protocol::Smtp,
       [](FakeServer& s) { s.Reply("MAIL", "999 what\r\n"); },
       {"999 what"}},
  };
  // A reset in the middle of every command's reply.
  for (const auto& [command, part] :
       std::vector<std::pair<std::string, std::string>>{{"GREETING", "+O"},
                                                        {"USER", "+OK us"},
                                                        {"PASS", "+"},
                                                        {"STAT", "+OK 3"},
                                                        {"LIST", "+OK 1"},
                                                        {"TOP", "+OK\r\nSubject: cut sh"}})
    all.push_back({"Pop3ResetIn" + command,
                   Protocol::Pop3,
                   [=](FakeServer& s) { ResetAfter(s, command, part); },
                   {kReset}});
  for (const auto& [command, part] :
       std::vector<std::pair<std::string, std::string>>{{"GREETING", "22"},
                                                        {"HELO", "250 fa"},
                                                        {"MAIL", "2"},
                                                        {"RCPT", "250 O"},
                                                        {"DATA", "354 end data"},
                                                        {".", "250 queu"}})
    all.push_back({std::string("SmtpResetIn") + (command == "." ? "Dot" : command),
                   Protocol::Smtp,
                   [=](FakeServer& s) { ResetAfter(s, command, part); },
                   {kReset},
                   0,
                   {},
                   command == "."});
  return all;
}

class HostileTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    options.edtUserName = "Me";
    main.CheckMail(true, -1);  // opens what a check opens for good, before counting
    main.msSMTP.DataReplyWait = kTimeOut;
    descriptors = OpenDescriptors();
    auto account = std::make_unique<MailboxAccount>();
    account->Address = "me@example.org";
    account->Account = "user";
    account->Password = "secret";
    account->TimeOut = kTimeOut;
    main.BindClient(*account->Client);
    options.lsvAddress.push_back(std::move(account));
  }

  MailboxAccount& Account() { return *options.lsvAddress.front(); }

  // Queues a message in the outbox as the message window does.
  void Queue() {
    main.frmMsg->MsgWindowMode = 3;
    main.PrepareMsg();
    main.frmMsg->edtMsgTo = "you@example.org";
    main.frmMsg->edtMsgSubject = "hello";
    MessageListEntry entry;
    entry.Message = std::make_unique<TmsMessage>();
    entry.BodyRetrieved = true;
    main.frmMsg->BuildMessage(*entry.Message);
    main.ArchiveMsg(dir.File("$OutBox.TMA"), entry, false);
  }

  bool Listed(const std::string& subject) const {
    return std::any_of(main.lsvMail.begin(), main.lsvMail.end(), [&](const TListRow& row) {
      return !row.SubItems.empty() && row.SubItems[0] == subject;
    });
  }

  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  size_t descriptors = 0;
};

TEST_P(HostileTest, EndsInTimeWithTheReasonAndLeavesTheWindowUsable) {
  const Scenario& scenario = GetParam();
  const bool pop3 = scenario.protocol == Protocol::Pop3;
  const std::string prefix =
      pop3 ? "Last connection attempt unsuccessful. " : "The outbox could not be sent: ";
  {
    FakePop3 mailbox({Message("h1", "one"), Message("h2", "two"), Message("h3", "three")});
    FakeSmtp smtp;
    scenario.script(pop3 ? static_cast<FakeServer&>(mailbox) : smtp);
    Account().POP3Server = mailbox.Address();
    Account().SMTPServer = smtp.Address();
    if (!pop3) Queue();

    // A session that does not end is stopped as the user would, so that the test fails
    // instead of hanging.
    const auto start = std::chrono::steady_clock::now();
    bool stopped = false;
    desktop.OnPump = [&] {
      if (!stopped && std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
        stopped = true;
        main.StatusBarDblClick();
      }
    };
    main.CheckMail(true, -1);
    desktop.OnPump = nullptr;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(kTimeOut + 2));

    const std::string& status = main.StatusBar[4].Text;
    if (scenario.reasons.empty()) {
      EXPECT_EQ(status, "Closed connection...");
    } else {
      // The outbox's status names the message before the reason.
      EXPECT_TRUE(std::any_of(scenario.reasons.begin(), scenario.reasons.end(),
                              [&](const std::string& r) {
                                return pop3 ? status == prefix + r
                                            : status.starts_with(prefix) &&
                                                  status.find(r) != std::string::npos;
                              }))
          << status;
      if (scenario.setAside) {
        EXPECT_NE(status.find("(moved to $Failed.TMA)"), std::string::npos);
      }
    }
    // An SMTP peer has a sane POP3 mailbox beside it.
    ASSERT_EQ(main.lsvMail.size(), pop3 ? scenario.rows : 3u);
    if (!scenario.size.empty()) {
      for (const TListRow& row : main.lsvMail) EXPECT_EQ(row.SubItems.at(2), scenario.size);
    }
    EXPECT_FALSE(main.Busy);
    EXPECT_FALSE(Account().Client->IsOpen());
    EXPECT_FALSE(main.msSMTP.IsOpen());
    EXPECT_TRUE(desktop.Errors.empty());
  }
  // The same mailbox against sane servers: the check lists, the outbox goes.
  {
    FakePop3 mailbox({Message("s1", "sane")});
    FakeSmtp smtp;
    Account().POP3Server = mailbox.Address();
    Account().SMTPServer = smtp.Address();
    main.CheckMail(true, -1);
    EXPECT_TRUE(Listed("sane"));
    EXPECT_EQ(smtp.Data().size(), pop3 || scenario.setAside ? 0u : 1u);
    EXPECT_EQ(main.StatusBar[4].Text, "Closed connection...");
    EXPECT_FALSE(main.Busy);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Peers, HostileTest, ::testing::ValuesIn(Scenarios()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norva
