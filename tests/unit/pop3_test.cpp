// The POP3 client against a fake server on loopback: reply parsing, the line transport's limits
// and failures (in both socket modes), time-out and cancellation, and the message directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mail/mspop3cl.h"
#include "store/Pump.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace std::chrono_literals;
using testing::Concat;
using testing::FakePop3;
using testing::PeerConnection;
using testing::Raised;
using Lines = std::vector<std::string>;

const Lines kLogin = {"USER user", "PASS secret", "STAT"};
const std::string kDotted = "Subject: dots\r\n\r\n.starts with a dot\r\n..two\r\nend\r\n";

// A socket error that f raises, as its code, ": " and its message.
template <class F>
std::string SocketFailure(F&& f) {
  auto e = Raised<ESocketError>(f);
  return e ? std::to_string(e->Code) + ": " + e->what() : "";
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
      if (rewrite) msg = "rewritten";
    };
    SetMessagePump([this] { ++pumps; });
  }
  void TearDown() override { SetMessagePump(nullptr); }

  TmsRemotePOP pop;
  Lines errors;          // what OnError saw
  bool rewrite = false;  // OnError replaces the message
  int pumps = 0;
};

INSTANTIATE_TEST_SUITE_P(Modes, Pop3Test, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Blocking" : "NonBlocking"; });

// ---- replies ----

TEST_P(Pop3Test, StatParsesCountAndSizeAndKeepsThemWhenAbsent) {
  FakePop3 box({"a\r\n", "bb\r\n", "ccc\r\n"});
  // USER's reply and PASS's arrive in one write: they are still read one by one.
  box.On("USER", [](PeerConnection& c, const std::string&) { c.Send("+OK\r\n+OK early\r\n"); });
  box.On("PASS", [](PeerConnection&, const std::string&) {});
  pop.Server = box.Address();
  pop.Connect();
  EXPECT_EQ(box.Commands(), kLogin);
  ASSERT_EQ(pop.MessageCount, 3);
  ASSERT_EQ(pop.MailboxSize, 3 + 4 + 5);
  { TmsRemotePOP other; }  // a new client must not disturb the running session
  EXPECT_TRUE(pop.WinsockLoaded());
  struct {
    std::string reply;
    int count, size;  // count -1: not numbers
  } rows[] = {
      {"+OK 2 320\r\n", 2, 320},   {"+OK 5 640 octets\r\n", 5, 640},
      {"+OK 6 960\r\r\n", 6, 960},  // every CR before the LF goes
      {"+OK\r\n", 6, 960},          // no counts: the previous ones stay
      {"+OK two 320\r\n", -1, 0},  {"+OK 2 lots\r\n", -1, 0},
  };
  for (const auto& row : rows) {
    box.Reply("STAT", row.reply);
    if (row.count < 0) {
      EXPECT_THROW(pop.Stat(), EConvertError) << row.reply;
      continue;
    }
    pop.Stat();
    EXPECT_EQ(pop.MessageCount, row.count) << row.reply;
    EXPECT_EQ(pop.MailboxSize, row.size) << row.reply;
  }
  EXPECT_TRUE(errors.empty());
}

TEST_P(Pop3Test, RepliesThatAreNotPositiveRaiseTheLineAndKeepTheConnection) {
  struct {
    std::string command, reply, message;
  } rows[] = {
      {"GREETING", "* ready\r\n", "* ready"},  // neither "+" nor "-"
      {"GREETING", "\r\n", ""},
      {"USER", "-ERR who?\r\n", "-ERR who?"},
      {"PASS", "-ERR locked\r\n", "-ERR locked"},
      {"STAT", " +OK 1 2\r\n", " +OK 1 2"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + row.reply);
    FakePop3 box({});
    box.Reply(row.command, row.reply);
    pop.Server = box.Address();
    auto e = Raised<EServerError>([&] { pop.Connect(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e->what()), row.message);
    EXPECT_TRUE(pop.IsOpen());
    pop.Close();
  }
  EXPECT_TRUE(errors.empty());
}

// ---- retrieving and deleting ----

TEST_P(Pop3Test, RetrieveHandsOverTheMessageAsWrittenEvenWhenSplitIntoSingleBytes) {
  Lines events;
  auto log = [&](const char* what) {
    return [&events, what](TObject&, int32_t n) { events.push_back(what + std::to_string(n)); };
  };
  pop.OnRetrieving = log("retrieving ");
  pop.OnRetrieved = log("retrieved ");
  pop.OnUserMessageSave = [&](TObject&, int32_t n, TMemoryStream& s) {
    events.push_back("save " + std::to_string(n));
    EXPECT_EQ(s.Bytes(), kDotted);
  };
  for (bool trickle : {false, true}) {
    SCOPED_TRACE(trickle);
    FakePop3 box({kDotted, "other\r\n"});
    box.Trickle(trickle);
    pop.Server = box.Address();
    events.clear();
    pumps = 0;
    pop.Connect();
    pop.Retrieve(0);
    pop.Disconnect();
    EXPECT_EQ(events, (Lines{"retrieving 0", "save 0", "retrieved 0"}));
    EXPECT_EQ(box.Commands(), Concat({kLogin, {"LIST 1", "RETR 1", "QUIT"}}));
    EXPECT_EQ(pumps > 0, !GetParam()) << "only non-blocking waits pump messages";
  }
  // Without a save handler the message goes to the message directory.
  testing::TempDir dir;
  FakePop3 box({"1\r\n", kDotted});
  pop.OnUserMessageSave = nullptr;
  pop.SetMessageDirectory(dir.Path());
  pop.Server = box.Address();
  pop.Connect();
  pop.Retrieve(1);
  EXPECT_EQ(testing::ReadFile(dir.File("msg_1.eml")), kDotted);
}

// A LIST size that is not a number counts as unknown: size 0, progress without a percentage.
TEST_P(Pop3Test, ListSizesThatAreNotNumbers) {
  FakePop3 box({kDotted});
  pop.Server = box.Address();
  pop.Connect();
  std::vector<int> percs;
  pop.OnProgress = [&](TObject&, int32_t perc, int32_t) { percs.push_back(perc); };
  pop.OnUserMessageSave = [](TObject&, int32_t, TMemoryStream&) {};
  for (std::string size : {"1234", "big"}) {
    box.Reply("LIST", "+OK 1 " + size + "\r\n");
    TmsRemoteInfoItem item;
    pop.FetchItemInfo(0, item);
    EXPECT_EQ(item.Size, size == "big" ? 0 : 1234);
    percs.clear();
    pop.Retrieve(0);
    ASSERT_FALSE(percs.empty());
    size_t unknown = std::count(percs.begin(), percs.end(), -1);
    EXPECT_EQ(unknown, size == "big" ? percs.size() : 0) << size;
  }
}

TEST_P(Pop3Test, ANegativeDeleteDoesNotStopTheCaller) {
  FakePop3 box({"1\r\n", "2\r\n", "3\r\n"});
  box.Reply("DELE", "-ERR message 3 already deleted\r\n");
  pop.Server = box.Address();
  std::vector<int> deleting;
  pop.OnDeleting = [&](TObject&, int32_t n) { deleting.push_back(n); };
  pop.Connect();
  EXPECT_NO_THROW(pop.Delete(2));
  pop.Disconnect();
  EXPECT_EQ(deleting, std::vector<int>{2});
  EXPECT_EQ(box.Commands(), Concat({kLogin, {"DELE 3", "QUIT"}}));
}

// ---- the message directory ----

TEST_P(Pop3Test, UpdateInfoReadsEveryMessageInOrder) {
  const Lines texts = {"From: a\r\nSubject: one\r\n\r\nbody of one\r\nmore body\r\n",
                       "From: b\r\nSubject: two\r\n folded\r\n\r\n.dotted body\r\n",
                       "\r\nno headers at all\r\n"};
  FakePop3 box(texts), empty({});
  Lines events;
  pop.OnUpdatingInfo = [&](TObject&) { events.push_back("updating"); };
  pop.OnNextInfoUpdated = [&](TObject&, int32_t n) {
    events.push_back(std::to_string(n) + " of " + std::to_string(pop.MessageInfo.Count()));
  };
  pop.OnInfoUpdated = [&](TObject&) { events.push_back(pop.IsOpen() ? "open" : "updated"); };
  pop.Server = box.Address();
  pop.UpdateInfo();
  EXPECT_EQ(events, (Lines{"updating", "0 of 1", "1 of 2", "2 of 3", "updated"}));
  EXPECT_EQ(
      box.Commands(),
      Concat({kLogin, {"LIST 1", "TOP 1 1", "LIST 2", "TOP 2 1", "LIST 3", "TOP 3 1", "QUIT"}}));
  ASSERT_EQ(pop.MessageInfo.Count(), 3);
  const Lines headers[] = {{"From: a", "Subject: one"}, {"From: b", "Subject: two", " folded"}, {}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pop.MessageInfo.Items(i).Headers, headers[i]);
    EXPECT_EQ(pop.MessageInfo.Items(i).Size, int(texts[size_t(i)].size()));
  }
  // An empty mailbox: straight to QUIT, and the old entries are gone.
  pop.Server = empty.Address();
  events.clear();
  pop.UpdateInfo();
  EXPECT_EQ(events, (Lines{"updating", "updated"}));
  EXPECT_EQ(pop.MessageInfo.Count(), 0);
  EXPECT_EQ(empty.Commands(), Concat({kLogin, {"QUIT"}}));
}

// Blocks without an empty line: the terminating "." line is not a header line.
TEST_P(Pop3Test, TopBlocksWithoutAnEmptyLine) {
  FakePop3 box({"From: a\r\n\r\nbody\r\n"});
  pop.Server = box.Address();
  pop.Connect();
  for (std::string block : {".\r\n", "From: only headers\r\n.\r\n"}) {
    box.Reply("TOP", "+OK\r\n" + block);
    TmsRemoteInfoItem item;
    pop.FetchItemInfo(0, item);
    EXPECT_EQ(item.Headers, block == ".\r\n" ? Lines{} : Lines{"From: only headers"});
  }
}

TEST_P(Pop3Test, UpdateInfoFailingAtTheSecondMessageKeepsTheFirstAndTheSession) {
  FakePop3 box({"From: a\r\n\r\nx\r\n", "From: b\r\n\r\ny\r\n", "From: c\r\n\r\nz\r\n"});
  box.On("LIST", [](PeerConnection& c, const std::string& arg) {
    c.Send(arg == "2" ? "-ERR gone\r\n" : "+OK " + arg + " 14\r\n");
  });
  pop.Server = box.Address();
  bool updated = false;
  pop.OnInfoUpdated = [&](TObject&) { updated = true; };
  auto e = Raised<EServerError>([&] { pop.UpdateInfo(); });
  EXPECT_STREQ(e ? e->what() : "", "-ERR gone");
  EXPECT_FALSE(updated);
  EXPECT_EQ(pop.MessageInfo.Count(), 1);
  EXPECT_TRUE(pop.IsOpen());
  EXPECT_EQ(box.Commands(), Concat({kLogin, {"LIST 1", "TOP 1 1", "LIST 2"}}));
}

// Odd blocks read the same as undoing the dot-stuffing, splitting and cutting at the blank line.
TEST_P(Pop3Test, TopBlocksReadLineByLine) {
  FakePop3 box({"x\r\n"});
  pop.Server = box.Address();
  pop.Connect();
  for (std::string block : {"..\r\n.\r\n", "A: 1\r\r\n\r\n\r\n.\r\n", "A: 1\nB: 2\n\r\n.\r\n",
                            "..B: 2\r\n.. \r\n\r\nbody\r\n.\r\n", "\r\r\n.\r\n"}) {
    SCOPED_TRACE(block);
    box.Reply("TOP", "+OK\r\n" + block);
    TmsRemoteInfoItem item;
    pop.FetchItemInfo(0, item);
    Lines expected = SplitLines(RemoveDotStuffing(block));
    TruncateAtBlankLine(expected);
    EXPECT_EQ(item.Headers, expected);
  }
}

// ---- the pipelined walk ----

// n messages "From: k" / "Subject: s k" with a body line.
Lines Numbered(int n) {
  Lines texts;
  for (int k = 1; k <= n; ++k)
    texts.push_back("From: " + std::to_string(k) + "\r\nSubject: s " + std::to_string(k) +
                    "\r\n\r\nbody\r\n");
  return texts;
}

const std::string kPipelining = "+OK\r\nTOP\r\npipelining\r\n..dotted\r\n.\r\n";

// Over two batches: the directory and the events are the lock-step walk's, the commands of a
// whole batch reach the server before the first event, and a handler's own command, sent while
// the next batch is on its way, reads its own reply.
TEST_P(Pop3Test, PipelinedWalkGivesTheLockStepDirectory) {
  FakePop3 box(Numbered(70));
  box.Reply("CAPA", kPipelining);
  pop.Server = box.Address();
  Lines events, seenByFirstEvent;
  std::string saved;
  pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& m) { saved = m.Bytes().substr(0, 8); };
  pop.OnInfoUpdated = [&](TObject&) { events.push_back(pop.IsOpen() ? "open" : "updated"); };
  // Each handler command is the first one sent while the next batch is on its way, and must
  // read its own reply, not the batch's.
  const std::vector<std::pair<const char*, std::function<std::string()>>> actions = {
      {"DELE", [&] { pop.Delete(1); return pop.LastReply; }},
      {"LIST+TOP", [&] {
         TmsRemoteInfoItem item;
         pop.FetchItemInfo(22, item);
         return std::to_string(item.Size) + " " + item.Headers.at(0);
       }},
      {"RETR", [&] { pop.Retrieve(50); return saved; }},
      {"STAT", [&] { pop.Stat(); return std::to_string(pop.MessageCount); }},
  };
  for (const auto& [name, action] : actions) {
    std::vector<TmsRemoteInfoItem> entries[2];
    Lines walks[2];
    for (bool pipelined : {false, true}) {
      SCOPED_TRACE(std::string(name) + (pipelined ? " pipelined" : " lock-step"));
      pop.Pipelining = pipelined;
      events.clear();
      const size_t before = box.Commands().size();
      pop.OnNextInfoUpdated = [&](TObject&, int32_t n) {
        events.push_back(std::to_string(n) + " of " + std::to_string(pop.MessageInfo.Count()));
        if (n == 0) seenByFirstEvent = box.Commands();
        if (n == 1) events.push_back(action());
      };
      pop.UpdateInfo();
      ASSERT_EQ(pop.MessageInfo.Count(), 70);
      for (int i = 0; i < 70; ++i) entries[pipelined].push_back(pop.MessageInfo.Items(i));
      walks[pipelined] = events;
      const bool batchSent = std::count(seenByFirstEvent.begin() + ptrdiff_t(before),
                                        seenByFirstEvent.end(), "TOP 64 1") == 1;
      EXPECT_EQ(batchSent, pipelined);
    }
    SCOPED_TRACE(name);
    EXPECT_EQ(walks[0], walks[1]);
    EXPECT_EQ(walks[1].back(), "updated");
    for (int i = 0; i < 70; ++i) {
      EXPECT_EQ(entries[1][size_t(i)].Size, entries[0][size_t(i)].Size);
      EXPECT_EQ(entries[1][size_t(i)].Headers,
                (Lines{"From: " + std::to_string(i + 1), "Subject: s " + std::to_string(i + 1)}));
    }
  }
  const Lines commands = box.Commands();
  EXPECT_EQ(commands.back(), "QUIT");
}

// A failure in the middle of a batch: the entries before it, its error, and a session that is
// either in step again (a refusal) or closed.
TEST_P(Pop3Test, AFailureInTheMiddleOfABatch) {
  enum Fault { kRefused, kRefusedThenClosed, kClosed };
  struct {
    std::string command;
    Fault fault;
  } rows[] = {{"LIST", kRefused}, {"TOP", kRefused}, {"LIST", kRefusedThenClosed}, {"TOP", kClosed}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + std::to_string(row.fault));
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
    pop.Pipelining = true;
    Lines events;
    pop.OnNextInfoUpdated = [&](TObject&, int32_t n) { events.push_back(std::to_string(n)); };
    pop.OnInfoUpdated = [&](TObject&) { events.push_back("updated"); };
    if (row.fault == kClosed) {
      EXPECT_EQ(SocketFailure([&] { pop.UpdateInfo(); }), "57009: Connection closed by the server");
    } else {
      auto e = Raised<EServerError>([&] { pop.UpdateInfo(); });
      EXPECT_STREQ(e ? e->what() : "", "-ERR gone");
    }
    EXPECT_EQ(events, (Lines{"0", "1", "2", "3"}));
    EXPECT_EQ(pop.MessageInfo.Count(), 4);
    EXPECT_EQ(pop.IsOpen(), row.fault == kRefused);
    if (row.fault == kRefused) {
      // The next command reads its own reply, not one owed to the walk.
      pop.Delete(0);
      EXPECT_EQ(pop.LastReply, "+OK marked");
      pop.Disconnect();
      EXPECT_EQ(box.Commands().end()[-3], "TOP 10 1");
    }
  }
}

// Lock-step for a server without CAPA, one whose CAPA lacks PIPELINING, and, whatever the
// server says, with pipelining off: then no CAPA either.
TEST_P(Pop3Test, LockStepWithoutPipelining) {
  const Lines walk = {"LIST 1", "TOP 1 1", "LIST 2", "TOP 2 1", "QUIT"};
  struct {
    std::string capa;  // "" for the fake's "-ERR unknown command"
    bool pipelining;
    Lines commands;
  } rows[] = {{"", true, Concat({kLogin, {"CAPA"}, walk})},
              {"+OK\r\nTOP\r\nPIPELINING-LIKE\r\n.\r\n", true, Concat({kLogin, {"CAPA"}, walk})},
              {kPipelining, false, Concat({kLogin, walk})}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.capa);
    FakePop3 box(Numbered(2));
    if (!row.capa.empty()) box.Reply("CAPA", row.capa);
    pop.Server = box.Address();
    pop.Pipelining = row.pipelining;
    Lines seenByFirstEvent;
    pop.OnNextInfoUpdated = [&](TObject&, int32_t n) {
      if (n == 0) seenByFirstEvent = box.Commands();
    };
    pop.UpdateInfo();
    EXPECT_EQ(pop.MessageInfo.Count(), 2);
    EXPECT_EQ(seenByFirstEvent.back(), "TOP 1 1");
    EXPECT_EQ(box.Commands(), row.commands);
  }
}

// ---- credentials and commands ----

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
    EXPECT_EQ(SocketFailure([&] { pop.Connect(); }), row.failure);
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

// ---- transport limits and failures ----

TEST_P(Pop3Test, ReplyLinesUpTo1024BytesWithTheLineEnd) {
  FakePop3 box({"x\r\n"});
  pop.Server = box.Address();
  pop.Connect();
  box.Reply("STAT", "+OK " + std::string(1018, 'x') + "\r\n");  // 1024 bytes with CR LF
  pop.Stat();
  EXPECT_EQ(pop.LastReply, "+OK " + std::string(1018, 'x'));
  for (std::string reply : {"+OK " + std::string(1019, 'x') + "\r\n", std::string(5000, 'x')}) {
    box.On("LIST", [reply](PeerConnection& c, const std::string&) {
      c.Send(reply);
      c.Stall();
    });
    pop.Connect();  // a new session after the first error
    EXPECT_EQ(SocketFailure([&] { pop.Retrieve(0); }), "57006: Reply line longer than 1024 bytes");
    EXPECT_FALSE(pop.IsOpen());
  }
}

TEST_P(Pop3Test, APeerClosingEarlyIsAnError) {
  struct {
    std::string command, bytes;
    bool inLogin;
  } rows[] = {
      {"GREETING", "+OK hel", true},
      {"USER", "", true},
      {"STAT", "", false},
      {"RETR", "+OK\r\nSubject: cut\r\n\r\nhalf a bo", false},
      {"RETR", "+OK\r\nSubject: cut\r\n.\r", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " " + row.bytes);
    FakePop3 box({"x\r\n"});
    box.On(row.command, [bytes = row.bytes](PeerConnection& c, const std::string&) {
      c.Send(bytes);
      c.Close();
    });
    pop.Server = box.Address();
    pop.OnUserMessageSave = [](TObject&, int32_t, TMemoryStream&) { ADD_FAILURE() << "saved"; };
    errors.clear();
    EXPECT_EQ(SocketFailure([&] {
                pop.Connect();
                if (row.command == "STAT") pop.Stat();
                if (row.command == "RETR") pop.Retrieve(0);
              }),
              "57009: Connection closed by the server");
    EXPECT_EQ(errors, Lines{"Connection closed by the server"});
    if (row.inLogin) {
      EXPECT_FALSE(pop.IsOpen()) << "a socket error in Login closes";
    }
    pop.Close();
  }
}

TEST_P(Pop3Test, SocketErrorsCloseAfterOnError) {
  FakePop3 box({});
  pop.Server = box.Address();
  pop.Connect();
  box.On("STAT", [](PeerConnection& c, const std::string&) { c.Reset(); });
  bool openInHandler = false;
  pop.OnError = [&](TObject&, std::string& msg) {
    openInHandler = pop.IsOpen();
    msg = "<" + msg + ">";
  };
  EXPECT_EQ(SocketFailure([&] { pop.Stat(); }), "10054: <[10054] Connection reset by peer>");
  EXPECT_TRUE(openInHandler);
  EXPECT_FALSE(pop.IsOpen());
  // A refused connection ends at once.
  testing::ClosedPort port;
  pop.Server = "127.0.0.1:" + std::to_string(port.Port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketFailure([&] { pop.Connect(); }), "10061: <[10061] Connection refused>");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(pop.IsOpen());
}

TEST_P(Pop3Test, ServerNamesAndPorts) {
  FakePop3 box({"x\r\n"});
  pop.Server = "localhost:" + std::to_string(box.Port());
  pop.Connect();
  pop.Disconnect();
  // No port in Server and a service the system does not know: DefaultPort, without blocking.
  pop.Server = "127.0.0.1";
  pop.ServiceName = "norva-no-such-service";
  pop.DefaultPort = box.Port();
  if (GetParam()) {
    EXPECT_THROW(pop.Connect(), ESocketError);
  } else {
    pop.Connect();
    pop.Disconnect();
  }
  EXPECT_EQ(box.Connections(), GetParam() ? 1 : 2);
}

// ---- time-out and cancellation ----

// The time-out is idle time: a peer that goes silent times out, one whose bytes keep coming,
// however long the whole block takes, does not.
TEST_P(Pop3Test, TimeOutCountsSilenceNotTheWholeBlock) {
  std::string large;
  while (large.size() < 240000) large += "Subject: a line of a large message\r\n";
  const std::string listed = "+OK 1 " + std::to_string(large.size()) + "\r\n";
  struct {
    std::string name;
    std::function<void(PeerConnection&, const std::string&)> retr;  // nullptr: a silent greeting
    bool timesOut;
  } rows[] = {
      {"silent greeting", nullptr, true},
      {"silent after the first bytes",
       [](PeerConnection& c, const std::string&) {
         c.Send("+OK\r\nSubject: slow\r\n");
         c.Stall(5s);
       },
       true},
      {"240 KB in 10 KB steps 100 ms apart",
       [&](PeerConnection& c, const std::string&) {
         c.Send("+OK\r\n");
         for (size_t at = 0; at < large.size(); at += 10000) {
           if (!c.Send(large.substr(at, 10000))) return;
           std::this_thread::sleep_for(100ms);
         }
         c.Send(".\r\n");
       },
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakePop3 box({large});
    box.Reply("LIST", listed);
    if (row.retr)
      box.On("RETR", row.retr);
    else
      box.On("GREETING", [](PeerConnection& c, const std::string&) { c.Stall(5s); });
    pop.Server = box.Address();
    pop.SetTimeOut(1);
    std::string saved;
    pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& m) { saved = m.Bytes(); };
    errors.clear();
    auto start = std::chrono::steady_clock::now();
    auto run = [&] {
      pop.Connect();
      pop.Retrieve(0);
    };
    if (row.timesOut) {
      auto e = Raised<ETimedOutError>(run);
      EXPECT_STREQ(e ? e->what() : "", "Operation timed out");
      EXPECT_EQ(errors, Lines{"Operation timed out"});
      EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
      EXPECT_FALSE(pop.IsOpen());
    } else {
      run();
      EXPECT_GT(std::chrono::steady_clock::now() - start, 2s);
      EXPECT_TRUE(saved == large);
      pop.Disconnect();
    }
  }
}

TEST_P(Pop3Test, CancelEndsAWaitWithCanceledError) {
  enum Stage { kGreeting, kStat, kEndlessData };
  for (Stage stage : {kGreeting, kStat, kEndlessData}) {
    SCOPED_TRACE(stage);
    // Only the endless block reports progress, so only it can be canceled in blocking mode.
    if (GetParam() && stage != kEndlessData) continue;
    std::string large;  // listed large enough for 20 blocks of the endless data
    while (large.size() < 400000) large += "x\r\n";
    FakePop3 box({large});
    auto stall = [](PeerConnection& c, const std::string&) { c.Stall(); };
    if (stage == kGreeting) box.On("GREETING", stall);
    if (stage == kStat) box.On("STAT", stall);
    box.On("RETR", [](PeerConnection& c, const std::string&) {
      c.Send("+OK\r\n");
      c.SendForever("an endless line of data\r\n");
    });
    pop.Server = box.Address();
    int progress = 0, canceled = 0;
    pop.OnCancel = [&](TObject&) { ++canceled; };
    pop.OnProgress = [&](TObject&, int32_t, int32_t) {
      if (++progress == 20) pop.Cancel();
    };
    pop.SetTimeOut(3);
    rewrite = true;
    SetMessagePump([&] {
      if (stage == kGreeting ? ++pumps == 3 : stage == kStat && box.Commands().size() == 3) {
        pop.Cancel();
      }
    });
    errors.clear();
    auto e = Raised<ECanceledError>([&] {
      pop.Connect();
      pop.Retrieve(0);
    });
    EXPECT_STREQ(e ? e->what() : "", "Operation has been canceled");
    EXPECT_EQ(errors, Lines{"Operation has been canceled"});
    EXPECT_EQ(canceled, 1);
    EXPECT_FALSE(pop.IsOpen());
  }
}

}  // namespace
}  // namespace norva
