// The POP3 client against a fake server on loopback: reply parsing, the line transport's limits
// and failures (in both socket modes), time-out and cancellation, and the message directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/mspop3cl.h"
#include "store/Pump.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/MailFailure.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace std::chrono_literals;
using testing::Concat;
using testing::Failure;
using testing::FakePop3;
using testing::PeerConnection;
using Lines = std::vector<std::string>;

const Lines kLogin = {"USER user", "PASS secret", "STAT"};
const std::string kDotted = "Subject: dots\r\n\r\n.starts with a dot\r\n..two\r\nend\r\n";
const std::string kPipelining = "+OK\r\nTOP\r\npipelining\r\n..dotted\r\n.\r\n";

// n messages "From: k" / "Subject: s k" with a body line.
Lines Numbered(int n) {
  Lines texts;
  for (int k = 1; k <= n; ++k)
    texts.push_back("From: " + std::to_string(k) + "\r\nSubject: s " + std::to_string(k) +
                    "\r\n\r\nbody\r\n");
  return texts;
}

// Parameter: the socket's Blocking mode.
class Pop3Test : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    pop.UserName = "user";
    pop.Password = "secret";
    pop.Blocking = GetParam();
    pop.SetTimeOut(10);  // a fault makes a test fail, never hang
    pop.SetWinsockLoaded(true);
    pop.OnError = [this](TObject&, std::string& msg) {
      errors.push_back(msg);
      openAtError = pop.IsOpen();
      if (rewrite) msg = "rewritten";
    };
    SetMessagePump([this] { ++pumps; });
  }
  void TearDown() override { SetMessagePump(nullptr); }
  void Open(FakePop3& box) {
    pop.Server = box.Address();
    pop.Connect();
  }

  TmsRemotePOP pop;
  Lines errors;              // what OnError saw
  bool openAtError = false;  // the connection was still open when OnError last ran
  bool rewrite = false;      // OnError replaces the message
  int pumps = 0;
};

INSTANTIATE_TEST_SUITE_P(Modes, Pop3Test, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Blocking" : "NonBlocking"; });

TEST_P(Pop3Test, StatParsesCountAndSizeAndKeepsThemWhenAbsent) {
  FakePop3 box({"a\r\n", "bb\r\n", "ccc\r\n"});
  // USER's reply and PASS's arrive in one write: they are still read one by one.
  box.On("USER", [](PeerConnection& c, const std::string&) { c.Send("+OK\r\n+OK early\r\n"); });
  box.On("PASS", [](PeerConnection&, const std::string&) {});
  Open(box);
  EXPECT_EQ(box.Commands(), kLogin);
  ASSERT_EQ(pop.MessageCount, 3);
  ASSERT_EQ(pop.MailboxSize, 3 + 4 + 5);
  { TmsRemotePOP other; }  // a new client must not disturb the running session
  EXPECT_TRUE(pop.WinsockLoaded());
  struct {
    std::string reply;
    int count, size;  // count -1: not numbers
  } rows[] = {
      {"+OK 2 320\r\n", 2, 320},
      {"+OK 5 640 octets\r\n", 5, 640},
      {"+OK 6 960\r\r\n", 6, 960},                           // every CR before the LF goes
      {"+OK\r\n", 6, 960},                                   // no counts: the previous ones stay
      {"+OK 7 9 " + std::string(1014, 'x') + "\r\n", 7, 9},  // the longest line: 1024 bytes
      {"+OK two 320\r\n", -1, 0},
      {"+OK 2 lots\r\n", -1, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reply);
    box.Reply("STAT", row.reply);
    if (row.count < 0) {
      EXPECT_THROW(pop.Stat(), EConvertError);
      continue;
    }
    pop.Stat();
    EXPECT_EQ(pop.MessageCount, row.count);
    EXPECT_EQ(pop.MailboxSize, row.size);
    EXPECT_EQ(pop.LastReply, row.reply.substr(0, row.reply.find('\r')));
  }
  EXPECT_TRUE(errors.empty());
}

// A refusal raises its line and keeps the connection. A reply cut by the peer closing or
// resetting, or a line over 1024 bytes with its line end, is a socket error: OnError sees it
// (and may rewrite it) while the connection is still open, then it is closed.
TEST_P(Pop3Test, RefusedCutAndOverlongReplies) {
  const std::string closed = "57009: Connection closed by the server",
                    tooLong = "57006: Reply line longer than 1024 bytes";
  struct {
    std::string command, bytes, failure;  // bytes "RST": a reset
  } rows[] = {
      {"GREETING", "* ready\r\n", "server: * ready"},  // neither "+" nor "-"
      {"GREETING", "\r\n", "server: "},
      {"USER", "-ERR who?\r\n", "server: -ERR who?"},
      {"PASS", "-ERR locked\r\n", "server: -ERR locked"},
      {"STAT", " +OK 1 2\r\n", "server:  +OK 1 2"},
      {"GREETING", "+OK hel", closed},
      {"USER", "", closed},
      {"STAT", "", closed},
      {"STAT", "RST", "10054: [10054] Connection reset by peer"},
      {"RETR", "+OK\r\nSubject: cut\r\n\r\nhalf a bo", closed},
      {"RETR", "+OK\r\nSubject: cut\r\n.\r", closed},
      {"LIST", "+OK " + std::string(1019, 'x') + "\r\n", tooLong},
      {"LIST", std::string(5000, 'x'), tooLong},
  };
  rewrite = true;
  pop.OnUserMessageSave = [](TObject&, int32_t, TMemoryStream&) { ADD_FAILURE() << "saved"; };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + row.bytes);
    const bool refused = row.failure.starts_with("server: ");
    FakePop3 box({"x\r\n"});
    box.On(row.command, [&row, refused](PeerConnection& c, const std::string&) {
      if (row.bytes == "RST") return c.Reset();
      c.Send(row.bytes);
      if (row.failure.starts_with("57006")) c.Stall();
      if (!refused) c.Close();
    });
    pop.Server = box.Address();
    errors.clear();
    openAtError = false;
    EXPECT_EQ(Failure([&] {
                pop.Connect();
                if (row.command == "RETR" || row.command == "LIST") pop.Retrieve(0);
              }),
              refused ? row.failure : row.failure.substr(0, 7) + "rewritten");
    EXPECT_EQ(errors, refused ? Lines{} : Lines{row.failure.substr(7)});
    EXPECT_EQ(openAtError, !refused);
    EXPECT_EQ(pop.IsOpen(), refused);
    pop.Close();
  }
}

TEST_P(Pop3Test, RetrieveHandsOverTheMessageAsWrittenAndANegativeDeleteGoesOn) {
  Lines events;
  auto log = [&](const char* what) {
    return [&events, what](TObject&, int32_t n) { events.push_back(what + std::to_string(n)); };
  };
  pop.OnRetrieving = log("retrieving ");
  pop.OnRetrieved = log("retrieved ");
  pop.OnDeleting = log("deleting ");
  pop.OnUserMessageSave = [&](TObject&, int32_t n, TMemoryStream& s) {
    events.push_back("save " + std::to_string(n));
    EXPECT_EQ(s.Bytes(), kDotted);
  };
  for (bool trickle : {false, true}) {  // true: the server writes single bytes
    SCOPED_TRACE(trickle);
    FakePop3 box({kDotted, "other\r\n"});
    box.Trickle(trickle);
    box.Reply("DELE", "-ERR message 2 already deleted\r\n");
    events.clear();
    pumps = 0;
    Open(box);
    pop.Retrieve(0);
    EXPECT_NO_THROW(pop.Delete(1));
    pop.Disconnect();
    EXPECT_EQ(events, (Lines{"retrieving 0", "save 0", "retrieved 0", "deleting 1"}));
    EXPECT_EQ(box.Commands(), Concat({kLogin, {"LIST 1", "RETR 1", "DELE 2", "QUIT"}}));
    EXPECT_EQ(pumps > 0, !GetParam()) << "only non-blocking waits pump messages";
  }
  // Without a save handler the message goes to the message directory.
  testing::TempDir dir;
  FakePop3 box({"1\r\n", kDotted});
  pop.OnUserMessageSave = nullptr;
  pop.SetMessageDirectory(dir.Path());
  Open(box);
  pop.Retrieve(1);
  EXPECT_EQ(testing::ReadFile(dir.File("msg_1.eml")), kDotted);
}

// Lock-step, whether the server has no CAPA, a CAPA without PIPELINING, or pipelining is off
// (then no CAPA is sent): one message's commands, then its event. The header lines end at the
// first empty line or the terminating ".", which is not one of them; dots are unstuffed. An
// empty mailbox goes straight to QUIT, and the old entries are gone.
TEST_P(Pop3Test, UpdateInfoReadsEveryMessageInOrderInLockStep) {
  const std::pair<std::string, Lines> texts[] = {
      {"From: a\r\nSubject: one\r\n\r\nbody of one\r\nmore body\r\n", {"From: a", "Subject: one"}},
      {"From: b\r\nSubject: two\r\n folded\r\n\r\n.dotted body\r\n",
       {"From: b", "Subject: two", " folded"}},
      {"\r\nno headers at all\r\n", {}},
      {"", {}},
      {"From: only headers\r\n", {"From: only headers"}},
      {".\r\n", {"."}},
      {".B: 2\r\n. \r\n\r\nbody\r\n", {".B: 2", ". "}},
      {"A: 1\nB: 2\n\r\nbody\r\n", {"A: 1", "B: 2"}},
  };
  Lines mailbox, walk, walked = {"updating"};
  for (const auto& [text, headers] : texts) {
    const std::string k = std::to_string(mailbox.size() + 1);
    mailbox.push_back(text);
    walk = Concat({walk, {"LIST " + k, "TOP " + k + " 1"}});
    walked.push_back(std::to_string(mailbox.size() - 1) + " of " + k);
  }
  struct {
    std::string capa;  // "" for the fake's "-ERR unknown command"; "empty" for no messages
    bool pipelining;
    Lines commands;
  } rows[] = {
      {kPipelining, false, Concat({kLogin, walk, {"QUIT"}})},
      {"", true, Concat({kLogin, {"CAPA"}, walk, {"QUIT"}})},
      {"+OK\r\nTOP\r\nPIPELINING-LIKE\r\n.\r\n", true, Concat({kLogin, {"CAPA"}, walk, {"QUIT"}})},
      {"empty", false, Concat({kLogin, {"QUIT"}})},
  };
  Lines events, seenByFirstEvent;
  pop.OnUpdatingInfo = [&](TObject&) { events.push_back("updating"); };
  pop.OnInfoUpdated = [&](TObject&) { events.push_back(pop.IsOpen() ? "open" : "updated"); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.capa + " " + std::to_string(row.pipelining));
    const bool empty = row.capa == "empty";
    FakePop3 box(empty ? Lines{} : mailbox);
    if (!row.capa.empty() && !empty) box.Reply("CAPA", row.capa);
    pop.OnNextInfoUpdated = [&](TObject&, int32_t n) {
      events.push_back(std::to_string(n) + " of " + std::to_string(pop.MessageInfo.Count()));
      if (n == 0) seenByFirstEvent = box.Commands();
    };
    pop.Server = box.Address();
    pop.Pipelining = row.pipelining;
    events.clear();
    pop.UpdateInfo();
    EXPECT_EQ(box.Commands(), row.commands);
    EXPECT_EQ(events, (empty ? Lines{"updating", "updated"} : Concat({walked, {"updated"}})));
    ASSERT_EQ(pop.MessageInfo.Count(), empty ? 0 : int(mailbox.size()));
    if (empty) continue;
    EXPECT_EQ(seenByFirstEvent.back(), "TOP 1 1");
    for (int i = 0; i < pop.MessageInfo.Count(); ++i) {
      EXPECT_EQ(pop.MessageInfo.Items(i).Headers, texts[i].second);
      EXPECT_EQ(pop.MessageInfo.Items(i).Size, int(mailbox[size_t(i)].size()));
    }
  }
}

// A server announcing UTF8 hands out a message whose header holds raw UTF-8 only to a session
// that sent "UTF8", and a stand-in to others, as Courier does. Capabilities are asked only with
// pipelining on; a later session with the same server and user sends UTF8 before STAT.
TEST_P(Pop3Test, Utf8IsSentWhereTheServerAnnouncesIt) {
  const std::string raw = "Subject: Grüße\r\n\r\nbody\r\n";
  const std::string standIn = "Subject: Cannot display Unicode content\r\n\r\n";
  const std::string announced = "+OK\r\nUTF8 USER\r\nPIPELINING\r\n.\r\n";
  const Lines walk = {"LIST 1", "TOP 1 1", "QUIT"}, read = {"LIST 1", "RETR 1", "QUIT"};
  const Lines afterLogin = {"USER user", "PASS secret", "UTF8", "STAT"};
  struct {
    const char* name;
    std::string capa, utf8Reply;
    bool pipelining, otherServer;
    Lines walked, readBack;
    bool intact;
  } rows[] = {
      {"announced", announced, "+OK UTF8 enabled\r\n", true, false,
       Concat({kLogin, {"CAPA", "UTF8"}, walk}), Concat({afterLogin, read}), true},
      {"announced, refused", announced, "-ERR not now\r\n", true, false,
       Concat({kLogin, {"CAPA", "UTF8"}, walk}), Concat({afterLogin, read}), false},
      {"announced, read from another server", announced, "+OK\r\n", true, true,
       Concat({kLogin, {"CAPA", "UTF8"}, walk}), Concat({kLogin, read}), false},
      {"not announced", "+OK\r\nTOP\r\nUTF8-LIKE\r\n.\r\n", "+OK\r\n", true, false,
       Concat({kLogin, {"CAPA"}, walk}), Concat({kLogin, read}), false},
      {"pipelining off", announced, "+OK\r\n", false, false, Concat({kLogin, walk}),
       Concat({kLogin, read}), false},
  };
  std::vector<std::unique_ptr<FakePop3>> boxes;  // all kept: every server has a port of its own
  std::string saved;
  pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& m) { saved = m.Bytes(); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    bool utf8 = false;  // the session sent UTF8 and the server took it
    const auto serve = [&] {
      auto& box = *boxes.emplace_back(std::make_unique<FakePop3>(Lines{raw}));
      box.Reply("CAPA", row.capa);
      box.On("PASS", [&utf8](PeerConnection& c, const std::string&) {
        utf8 = false;
        c.Send("+OK logged in\r\n");
      });
      box.On("UTF8", [&](PeerConnection& c, const std::string&) {
        utf8 = row.utf8Reply[0] == '+';
        c.Send(row.utf8Reply);
      });
      box.On("RETR", [&](PeerConnection& c, const std::string&) {
        c.Send("+OK\r\n" + (utf8 ? raw : standIn) + ".\r\n");
      });
      return &box;
    };
    FakePop3* box = serve();
    pop.Server = box->Address();
    pop.Pipelining = row.pipelining;
    pop.UpdateInfo();
    EXPECT_EQ(box->Commands(), row.walked);
    if (row.otherServer) pop.Server = (box = serve())->Address();
    pop.Connect();
    pop.Retrieve(0);
    EXPECT_EQ(pop.Utf8Mode(), row.intact);
    pop.Disconnect();
    EXPECT_EQ(box->Commands(), Concat({row.otherServer ? Lines{} : row.walked, row.readBack}));
    EXPECT_EQ(saved, row.intact ? raw : standIn);
  }
}

// A LIST size that is not a number counts as unknown: size 0, progress without a percentage.
TEST_P(Pop3Test, ListSizesThatAreNotNumbers) {
  FakePop3 box({kDotted});
  Open(box);
  std::vector<int> percs;
  pop.OnProgress = [&](TObject&, int32_t perc, int32_t) { percs.push_back(perc); };
  pop.OnUserMessageSave = [](TObject&, int32_t, TMemoryStream&) {};
  for (std::string size : {"1234", "big"}) {
    SCOPED_TRACE(size);
    box.Reply("LIST", "+OK 1 " + size + "\r\n");
    TmsRemoteInfoItem item;
    pop.FetchItemInfo(0, item);
    EXPECT_EQ(item.Size, size == "big" ? 0 : 1234);
    percs.clear();
    pop.Retrieve(0);
    ASSERT_FALSE(percs.empty());
    EXPECT_EQ(size_t(std::count(percs.begin(), percs.end(), -1)), item.Size ? 0 : percs.size());
  }
}

// Over two batches: the directory and the events are the lock-step walk's, the commands of a
// whole batch reach the server before the first event, and a handler's own command, the first
// one sent while the next batch is on its way, reads its own reply, not the batch's.
TEST_P(Pop3Test, PipelinedWalkGivesTheLockStepDirectory) {
  const Lines texts = Numbered(70);
  FakePop3 box(texts);
  box.Reply("CAPA", kPipelining);
  pop.Server = box.Address();
  Lines events, seenByFirstEvent;
  std::string saved;
  pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& m) {
    saved = m.Bytes().substr(0, 8);
  };
  pop.OnInfoUpdated = [&](TObject&) { events.push_back(pop.IsOpen() ? "open" : "updated"); };
  auto act = [&](const std::string& name) -> std::string {
    TmsRemoteInfoItem item;
    if (name == "DELE") return pop.Delete(1), pop.LastReply;
    if (name == "RETR") return pop.Retrieve(50), saved;
    if (name == "STAT") return pop.Stat(), std::to_string(pop.MessageCount);
    pop.FetchItemInfo(22, item);  // LIST and TOP
    return std::to_string(item.Size) + " " + std::string(item.Headers[0]);
  };
  for (std::string name : {"DELE", "LIST+TOP", "RETR", "STAT"}) {
    Lines walks[2];
    for (bool pipelined : {false, true}) {
      SCOPED_TRACE(name + (pipelined ? " pipelined" : " lock-step"));
      pop.Pipelining = pipelined;
      events.clear();
      const size_t before = box.Commands().size();
      pop.OnNextInfoUpdated = [&](TObject&, int32_t n) {
        events.push_back(std::to_string(n) + " of " + std::to_string(pop.MessageInfo.Count()));
        if (n == 0) seenByFirstEvent = box.Commands();
        if (n == 1) events.push_back(act(name));
      };
      pop.UpdateInfo();
      ASSERT_EQ(pop.MessageInfo.Count(), 70);
      for (int i = 0; i < 70; ++i) {
        const std::string k = std::to_string(i + 1);
        EXPECT_EQ(pop.MessageInfo.Items(i).Size, int(texts[size_t(i)].size()));
        EXPECT_EQ(pop.MessageInfo.Items(i).Headers, (Lines{"From: " + k, "Subject: s " + k}));
      }
      walks[pipelined] = events;
      EXPECT_EQ(std::count(seenByFirstEvent.begin() + ptrdiff_t(before), seenByFirstEvent.end(),
                           "TOP 64 1"),
                pipelined ? 1 : 0);
    }
    EXPECT_EQ(walks[0], walks[1]) << name;
  }
  EXPECT_EQ(box.Commands().back(), "QUIT");
}

// A failure in the middle of the walk: the entries before it, its error, and a session that is
// either in step again (a refusal) or closed. Pipelined, it comes in the middle of a batch.
TEST_P(Pop3Test, AFailureInTheMiddleOfTheWalk) {
  enum Fault { kRefused, kRefusedThenClosed, kClosed };
  struct {
    bool pipelined;
    std::string command;
    Fault fault;
  } rows[] = {{false, "LIST", kRefused},          {false, "TOP", kClosed},
              {true, "LIST", kRefused},           {true, "TOP", kRefused},
              {true, "LIST", kRefusedThenClosed}, {true, "TOP", kClosed}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.pipelined << " " << row.command << " " << row.fault);
    FakePop3 box(Numbered(10));
    box.Reply("CAPA", kPipelining);
    box.On(row.command, [row](PeerConnection& c, const std::string& arg) {
      const std::string n = arg.substr(0, arg.find(' '));
      if (n != "5")
        c.Send(row.command == "LIST" ? "+OK " + n + " 40\r\n"
                                     : "+OK\r\nFrom: " + n + "\r\n\r\nbody\r\n.\r\n");
      else if (row.fault == kClosed)
        c.Close();
      else if (c.Send("-ERR gone\r\n") && row.fault == kRefusedThenClosed)
        c.Close();
    });
    pop.Server = box.Address();
    pop.Pipelining = row.pipelined;
    Lines events;
    pop.OnNextInfoUpdated = [&](TObject&, int32_t n) { events.push_back(std::to_string(n)); };
    pop.OnInfoUpdated = [&](TObject&) { events.push_back("updated"); };
    EXPECT_EQ(Failure([&] { pop.UpdateInfo(); }), row.fault == kClosed
                                                      ? "57009: Connection closed by the server"
                                                      : "server: -ERR gone");
    EXPECT_EQ(events, (Lines{"0", "1", "2", "3"}));
    EXPECT_EQ(pop.MessageInfo.Count(), 4);
    EXPECT_EQ(pop.IsOpen(), row.fault == kRefused);
    if (row.fault != kRefused) continue;
    // The next command reads its own reply, not one owed to the walk; lock-step sent nothing
    // after the refused command.
    pop.Delete(0);
    EXPECT_EQ(pop.LastReply, "+OK marked");
    pop.Disconnect();
    EXPECT_EQ(box.Commands().end()[-3], row.pipelined ? "TOP 10 1" : "LIST 5");
  }
}

// Empty credentials are refused before connecting; a line break never reaches the wire.
TEST_P(Pop3Test, CredentialsThatCannotBeSentAreRefused) {
  struct {
    std::string user, password, failure;
    Lines sent;
  } rows[] = {
      {"", "secret", "57103: UserName property is required", {}},
      {"user", "", "57104: Password property is required", {}},
      {"user\r\nDELE 1", "secret", "57007: Command contains a line break", {}},
      {"user", "sec\nDELE 1", "57007: Command contains a line break", {"USER user"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.user + "/" + row.password);
    FakePop3 box({"x\r\n"});
    pop.Server = box.Address();
    pop.UserName = row.user;
    pop.Password = row.password;
    errors.clear();
    EXPECT_EQ(Failure([&] { pop.Connect(); }), row.failure);
    EXPECT_EQ(errors, Lines{row.failure.substr(7)});
    EXPECT_FALSE(pop.IsOpen());
    // A second session in order: the server has read everything of the first one.
    pop.UserName = "user";
    pop.Password = "secret";
    pop.Connect();
    pop.Close();
    EXPECT_EQ(box.Commands(), Concat({row.sent, kLogin}));
    EXPECT_EQ(box.Connections(), row.failure.starts_with("5710") ? 1 : 2);
  }
}

TEST_P(Pop3Test, ServerNamesPortsAndARefusedConnection) {
  FakePop3 box({"x\r\n"});
  pop.Server = "localhost:" + std::to_string(box.Port());
  pop.Connect();
  pop.Disconnect();
  // No port in Server and a service the system does not know: DefaultPort, without blocking.
  pop.Server = "127.0.0.1";
  pop.ServiceName = "norva-no-such-service";
  pop.DefaultPort = box.Port();
  EXPECT_EQ(Failure([&] { pop.Connect(), pop.Disconnect(); }).substr(0, 5),
            GetParam() ? "11004" : "");
  EXPECT_EQ(box.Connections(), GetParam() ? 1 : 2);
  // A refused connection ends at once.
  testing::ClosedPort port;
  pop.Server = "127.0.0.1:" + std::to_string(port.Port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Failure([&] { pop.Connect(); }), "10061: [10061] Connection refused");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(pop.IsOpen());
}

// The time-out is idle time: a peer that goes silent times out, one whose bytes keep coming,
// however long the whole block takes, does not. Cancel ends a wait; without message pumping
// (blocking mode) only a block that reports progress can be canceled.
TEST_P(Pop3Test, TimeOutCountsSilenceNotTheWholeBlockAndCancelEndsAWait) {
  std::string large;
  while (large.size() < 240000) large += "Subject: a line of a large message\r\n";
  enum Cancel { kNever, kByPump, kByProgress };
  struct {
    std::string name, command, how;  // how: "" silence, "partial", "steady" or "endless"
    Cancel cancel;
  } rows[] = {
      {"silent greeting", "GREETING", "", kNever},
      {"silent after the first bytes", "RETR", "partial", kNever},
      {"240 KB in 10 KB steps 100 ms apart", "RETR", "steady", kNever},
      {"canceled at the greeting", "GREETING", "", kByPump},
      {"canceled at STAT", "STAT", "", kByPump},
      {"canceled in endless data", "RETR", "endless", kByProgress},
  };
  std::atomic<bool> stalled = false;
  pop.SetTimeOut(1);
  rewrite = true;  // the message raised stays the client's own
  std::string saved;
  pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& m) { saved = m.Bytes(); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (GetParam() && row.cancel == kByPump) continue;
    FakePop3 box({large});
    box.Reply("LIST", "+OK 1 400000\r\n");  // enough for 20 progress steps of endless data
    box.On(row.command, [&](PeerConnection& c, const std::string&) {
      if (row.how != "") c.Send("+OK\r\n");
      if (row.how == "endless") return c.SendForever("an endless line of data\r\n");
      for (size_t at = 0; row.how == "steady" && at < large.size(); at += 10000) {
        if (!c.Send(large.substr(at, 10000))) return;
        std::this_thread::sleep_for(100ms);
      }
      if (row.how == "steady") return void(c.Send(".\r\n"));
      if (row.how == "partial") c.Send("Subject: slow\r\n");
      stalled = true;
      c.Stall(5s);
    });
    pop.Server = box.Address();
    int progress = 0, cancels = 0;
    stalled = false;
    pop.OnCancel = [&](TObject&) { ++cancels; };
    pop.OnProgress = [&](TObject&, int32_t, int32_t) {
      if (++progress == 20 && row.cancel == kByProgress) pop.Cancel();
    };
    SetMessagePump([&] {
      if (stalled && row.cancel == kByPump) pop.Cancel();
    });
    errors.clear();
    saved.clear();
    auto start = std::chrono::steady_clock::now();
    const std::string failure = Failure([&] {
      pop.Connect();
      pop.Retrieve(0);
    });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(cancels, row.cancel == kNever ? 0 : 1);
    if (row.how == "steady") {
      EXPECT_EQ(failure, "");
      EXPECT_GT(took, 2s);
      EXPECT_TRUE(saved == large);
      pop.Disconnect();
      continue;
    }
    const std::string message =
        row.cancel == kNever ? "Operation timed out" : "Operation has been canceled";
    EXPECT_EQ(failure, (row.cancel == kNever ? "timed out: " : "canceled: ") + message);
    EXPECT_EQ(errors, Lines{message});
    EXPECT_LT(took, 4s);
    EXPECT_FALSE(pop.IsOpen());
  }
}

}  // namespace
}  // namespace norva
