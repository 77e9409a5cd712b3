// Hostile servers end to end: a check (POP3) or the outbox (SMTP) through the main window against
// a peer that misbehaves. Every session ends within the mailbox's time-out plus two seconds, with
// the failure named in the status bar, the window unlocked and usable for a check against a sane
// server, and no socket or file left open. Against peers that send without end or send huge
// blocks, the real norva-cli check runs as a child process whose peak memory is measured.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>

#include "app/Main.h"
#include "app/Msg.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/ScopedEnv.h"
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
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
const std::string kTimedOut = "Operation timed out";
const std::string kReset = "[10054] Connection reset by peer";
const std::string kClosed = "Connection closed by the server";
const std::string kTooManyLines = "The server's reply is too long (more than 1000 lines).";

std::string Message(const std::string& id, const std::string& subject) {
  return "Message-ID: <" + id + "@test>\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

size_t OpenDescriptors() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                              std::filesystem::directory_iterator()));
}

using Script = std::function<void(FakeServer&)>;
using P = PeerConnection;
using S = const std::string;

struct Scenario {
  std::string name;
  bool pop3;  // else SMTP
  Script script;
  // What the status bar may end with, none when the session ends well; a closing peer shows as
  // a reset when the client's data was still unread.
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

Scenario Pop3(const std::string& name, Script script, std::vector<std::string> reasons,
              size_t rows = 0, std::string size = {}) {
  return {"Pop3" + name, true, std::move(script), std::move(reasons), rows, size};
}

Scenario Smtp(const std::string& name, Script script, std::vector<std::string> reasons,
              bool setAside = false) {
  return {"Smtp" + name, false, std::move(script), std::move(reasons), 0, {}, setAside};
}

Script On(const std::string& command, FakeServer::Override handler) {
  return [=](FakeServer& s) { s.On(command, handler); };
}

Script Replies(const std::string& command, const std::string& bytes) {
  return [=](FakeServer& s) { s.Reply(command, bytes); };
}

// Answers `command` with `head`, then does `rest` to the connection.
Script Then(const std::string& command, const std::string& head, std::function<void(P&)> rest) {
  return On(command, [=](P& c, S&) {
    if (c.Send(head)) rest(c);
  });
}

Script Sizes(const std::string& total, const std::string& each) {
  return [=](FakeServer& s) {
    s.Reply("STAT", "+OK 3 " + total + "\r\n");
    s.On("LIST", [each](P& c, S& n) { c.Send("+OK " + n + " " + each + "\r\n"); });
  };
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> all = {
      Pop3("EndlessLine", On("GREETING", [](P& c, S&) { c.SendForever("+OK and on "); }),
           {"Reply line longer than 1024 bytes"}),
      Pop3("GreetingOneBytePerSecond",
           On("GREETING", [](P& c, S&) { c.Drip("+OK fake POP3 server ready\r\n", 1s); }),
           {kTimedOut}),
      Pop3("EndlessHeaderBlock",
           Then("TOP", "+OK\r\n",
                [](P& c) { c.SendForever("X-Filler: 0123456789abcdef0123456789\r\n"); }),
           {"The server sent more than the message's size"}),
      // A block waits the time-out for each next bytes, not for the whole block.
      Pop3("HeaderBlockPausingLongerThanTheTimeOut",
           Then("TOP", "+OK\r\nX: y\r\n", [](P& c) { c.Drip("X: y\r\n", 3s); }), {kTimedOut}),
      Pop3("GarbageGreeting", Replies("GREETING", "\x01\x7f garbage \xff\r\n"),
           {"\x01\x7f garbage \xff"}),
      Pop3("GarbageStat", Replies("STAT", "+OK lots of mail\r\n"),
           {"'lots' is not a valid integer value"}),
      Pop3("GarbageList", Replies("LIST", "HTTP/1.1 400 Bad Request\r\n"),
           {"HTTP/1.1 400 Bad Request"}),
      // STAT says 5, messages 4 and 5 do not exist: what exists is listed.
      Pop3("StatPromisesMoreThanExist", Replies("STAT", "+OK 5 500\r\n"), {"-ERR no such message"},
           3),
      // Sizes past 32 bits or below zero are nothing to allocate by: the messages are listed.
      Pop3("HugeSizes", Sizes("99999999999", "99999999999"), {}, 3, "0"),
      Pop3("NegativeSizes", Sizes("-1", "-2147483648"), {}, 3, "0"),
      Smtp("AcceptsDataAndCloses", Then("DATA", "354 go ahead\r\n", [](P& c) { c.Close(); }),
           {kClosed, kReset}, true),
      Smtp("NeverAnswersTheData", On(".", [](P& c, S&) { c.Stall(); }), {kTimedOut}, true),
      Smtp("EndlessMultiLineGreeting",
           On("GREETING", [](P& c, S&) { c.SendForever("220-more\r\n"); }), {kTooManyLines}),
      Smtp("MultiLineReplyTricklingForever",
           On("MAIL", [](P& c, S&) { c.Drip("250-wait\r\n", 50ms); }), {kTimedOut}),
      Smtp("GreetingOneBytePerSecond",
           On("GREETING", [](P& c, S&) { c.Drip("220 ready\r\n", 1s); }), {kTimedOut}),
      Smtp("GarbageGreeting", Replies("GREETING", "\x16\x03\x01 garbage\r\n"),
           {"\x16\x03\x01 garbage"}),
      Smtp("GarbageReplyToMail", Replies("MAIL", "999 what\r\n"), {"999 what"}),
  };
  // A reset in the middle of every command's reply.
  const auto reset = [](P& c) { c.Reset(); };
  const std::pair<std::string, std::string> pop3Cuts[] = {
      {"GREETING", "+O"}, {"USER", "+OK us"}, {"PASS", "+"},
      {"STAT", "+OK 3"},  {"LIST", "+OK 1"},  {"TOP", "+OK\r\nSubject: cut sh"}};
  for (const auto& [command, part] : pop3Cuts)
    all.push_back(Pop3("ResetIn" + command, Then(command, part, reset), {kReset}));
  const std::pair<std::string, std::string> smtpCuts[] = {
      {"GREETING", "22"}, {"HELO", "250 fa"},       {"MAIL", "2"},
      {"RCPT", "250 O"},  {"DATA", "354 end data"}, {".", "250 queu"}};
  for (const auto& [command, part] : smtpCuts)
    all.push_back(Smtp("ResetIn" + (command == "." ? "Dot" : command), Then(command, part, reset),
                       {kReset}, command == "."));
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

  void Use(const FakePop3& pop3, const FakeSmtp& smtp) {
    Account().POP3Server = pop3.Address();
    Account().SMTPServer = smtp.Address();
  }

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

  testing::TempDir dir;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  size_t descriptors = 0;
};

TEST_P(HostileTest, EndsInTimeWithTheReasonAndLeavesTheWindowUsable) {
  const Scenario& scenario = GetParam();
  const std::string& status = main.StatusBar[4].Text;
  {
    FakePop3 mailbox({Message("h1", "one"), Message("h2", "two"), Message("h3", "three")});
    FakeSmtp smtp;
    scenario.script(scenario.pop3 ? static_cast<FakeServer&>(mailbox) : smtp);
    Use(mailbox, smtp);
    if (!scenario.pop3) Queue();

    // A session that does not end is stopped as the user would, so that the test fails
    // instead of hanging.
    const auto start = std::chrono::steady_clock::now();
    bool stopped = false;
    desktop.OnPump = [&] {
      if (!stopped && std::chrono::steady_clock::now() - start > 10s) {
        stopped = true;
        main.StatusBarDblClick();
      }
    };
    main.CheckMail(true, -1);
    desktop.OnPump = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kTimeOut + 2));

    // The outbox's status names the message before the reason.
    const auto shows = [&](const std::string& reason) {
      return scenario.pop3 ? status == "Last connection attempt unsuccessful. " + reason
                           : status.starts_with("The outbox could not be sent: ") &&
                                 status.find(reason) != std::string::npos;
    };
    EXPECT_TRUE(scenario.reasons.empty() ? status == "Closed connection..."
                                         : std::ranges::any_of(scenario.reasons, shows))
        << status;
    EXPECT_EQ(status.find("(moved to $Failed.TMA)") != std::string::npos, scenario.setAside)
        << status;
    // An SMTP peer has a sane POP3 mailbox beside it.
    ASSERT_EQ(main.lsvMail.size(), scenario.pop3 ? scenario.rows : 3u);
    for (const TListRow& row : main.lsvMail)
      EXPECT_TRUE(scenario.size.empty() || row.SubItems.at(2) == scenario.size) << row.SubItems[2];
    EXPECT_FALSE(main.Busy);
    EXPECT_FALSE(Account().Client->IsOpen());
    EXPECT_FALSE(main.msSMTP.IsOpen());
    EXPECT_TRUE(desktop.Errors.empty());
  }
  // The same mailbox against sane servers: the check lists, the outbox goes.
  {
    FakePop3 mailbox({Message("s1", "sane")});
    FakeSmtp smtp;
    Use(mailbox, smtp);
    main.CheckMail(true, -1);
    EXPECT_TRUE(std::ranges::any_of(main.lsvMail, [](const TListRow& row) {
      return !row.SubItems.empty() && row.SubItems[0] == "sane";
    }));
    EXPECT_EQ(smtp.Data().size(), scenario.pop3 || scenario.setAside ? 0u : 1u);
    EXPECT_EQ(status, "Closed connection...");
    EXPECT_FALSE(main.Busy);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Peers, HostileTest, ::testing::ValuesIn(Scenarios()),
                         [](const auto& info) { return info.param.name; });

// ---- memory: norva-cli check in a child process ----

constexpr int64_t kMB = 1024 * 1024;

// Sends "+OK", then size bytes of header-like lines (after the given first lines), then the
// terminator, in 64 KB writes.
void SendBlock(P& c, const std::string& first, int64_t size) {
  std::string chunk;
  while (chunk.size() < 64 * 1024) chunk += "X-Filler: 0123456789abcdefghijklmnopqrstuvwxyz0123\r\n";
  if (!c.Send("+OK\r\n" + first)) return;
  for (int64_t sent = 0; sent < size; sent += int64_t(chunk.size()))
    if (!c.Send(chunk)) return;
  c.Send(".\r\n");
}

struct MemoryCase {
  std::string name;
  Script script;
  bool readRule = false;  // a rule reads every message ("RETR")
  int64_t limits = 0;     // what the client may hold beyond the 64 MB base
  std::string shows;      // in the CLI's output (stdout and stderr)
  int exitCode = 0;
  int messages = 3;  // in the mailbox
  size_t times = 1;  // how often the output shows it, at least
};

void PrintTo(const MemoryCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<MemoryCase> MemoryCases() {
  const int64_t head = TmsRemotePOP::kMaxHeaderBlock;
  const int64_t inMemory = TmsCustomPOP::kInMemoryLimit + TmsCustomPOP::kSpooledHead;
  const auto listed = [](const std::string& size) {
    return On("LIST", [size](P& c, S& n) { c.Send("+OK " + n + " " + size + "\r\n"); });
  };
  const auto both = [](Script a, Script b) {
    return [=](FakeServer& s) {
      a(s);
      b(s);
    };
  };
  return {
      // A large listed size lets the block run; only the time-out ends it.
      {"EndlessTopBlock",
       both(listed("104857600"),
            Then("TOP", "+OK\r\n", [](P& c) { c.SendForever("X-Filler: 0123456789abcdef\r\n"); })),
       false, head, "Operation timed out", 1},
      // No size to judge the block by: the same.
      {"EndlessTopBlockOfUnknownSize",
       both(listed("many"),
            Then("TOP", "+OK\r\n", [](P& c) { c.SendForever("X-Filler: 0123456789abcdef\r\n"); })),
       false, head, "Operation timed out", 1},
      {"HundredMegabyteTopReplies",
       both(listed("104857600"), On("TOP",
                                    [](P& c, S& arg) {
                                      SendBlock(c, "Message-ID: <big" + arg.substr(0, 1) +
                                                       "@test>\r\nSubject: big\r\n",
                                                100 * kMB);
                                    })),
       false, head, "\"headers_cut\": true", 0, 3, 3},
      {"TwoHundredMegabyteRetrThroughAReadRule",
       both(listed("209715200"),
            On("RETR", [](P& c, S&) { SendBlock(c, "Subject: huge\r\n\r\n", 200 * kMB); })),
       true, inMemory, "\"new\": true", 0, 1},
      {"RetrOverTheLargestMessage", listed("2147483647"), true, 0,
       "The message is 2048.0 MB; the largest message to retrieve is 1024.0 MB"},
      {"EndlessLine", On("GREETING", [](P& c, S&) { c.SendForever("+OK and on "); }), false, 0,
       "Reply line longer than 1024 bytes", 1},
      // Bytes that come just faster than the time-out, one at a time, do not hold the session:
      // the wait restarts only as a good part of a block arrives.
      {"TopBlockDrippingUnderTheTimeOut",
       Then("TOP", "+OK\r\n", [](P& c) { c.Drip("X-Filler: slow\r\n", 1500ms); }), false, 0,
       "Operation timed out", 1},
      {"RetrDrippingUnderTheTimeOut",
       Then("RETR", "+OK\r\n", [](P& c) { c.Drip("Subject: slow\r\n", 1500ms); }), true, 0,
       "Operation timed out", 1},
      // The client sends no "UIDL"; "CAPA" is its one multi-line list.
      {"EndlessCapabilityList", Then("CAPA", "+OK\r\n", [](P& c) { c.SendForever("X-CAP\r\n"); }),
       false, 0, kTooManyLines, 1},
  };
}

class HostileMemoryTest : public ::testing::TestWithParam<MemoryCase> {
 protected:
  // Runs norva-cli with args; stdout and stderr go to one file, returned in output, and its
  // peak resident memory in bytes to peak. A child forked from this process would start out
  // with all this process holds, so a small Python launcher forks it and reads its rusage.
  static int Run(const std::vector<std::string>& args, std::string& output, int64_t* peak,
                 const std::string& outFile) {
    static const char kLauncher[] =
        "import os, sys\n"
        "out, peak, argv = sys.argv[1], sys.argv[2], sys.argv[3:]\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)\n"
        "    os.dup2(fd, 1); os.dup2(fd, 2)\n"
        "    os.execv(argv[0], argv)\n"
        "_, status, usage = os.wait4(pid, 0)\n"
        "open(peak, 'w').write(str(usage.ru_maxrss * 1024))\n"
        "sys.exit(os.waitstatus_to_exitcode(status) & 255)\n";
    const std::string peakFile = outFile + ".peak";
    std::vector<std::string> all = {"python3", "-c", kLauncher, outFile, peakFile, NORVA_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {  // only calls that are safe after fork in a threaded process
      ::execvp(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    output = testing::ReadFile(outFile);
    if (peak) *peak = std::atoll(testing::ReadFile(peakFile).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_P(HostileMemoryTest, CheckEndsInTimeWithinItsMemoryBound) {
  const MemoryCase& c = GetParam();
  testing::TempDir dir;
  const std::string folder = dir.File("norva"), spool = dir.File("tmp");  // TMPDIR
  std::filesystem::create_directory(folder);
  std::filesystem::create_directory(spool);
  const testing::ScopedEnv tmp("TMPDIR", spool);

  std::vector<std::string> messages;
  for (int n = 0; n < c.messages; ++n)
    messages.push_back(Message("h" + std::to_string(n), "message " + std::to_string(n)));
  FakePop3 mailbox(messages);
  c.script(mailbox);
  std::string output;
  const std::string log = dir.File("out.txt");
  ASSERT_EQ(Run({"config", "--folder", folder, "add-account", "--address", "me@example.org",
                 "--user", "user", "--password", "secret", "--pop3", mailbox.Address(),
                 "--timeout", std::to_string(kTimeOut)},
                output, nullptr, log),
            0)
      << output;
  if (c.readRule) {
    ASSERT_EQ(Run({"config", "--folder", folder, "add-rule", "19", "", "7", ""}, output, nullptr,
                  log),
              0)
        << output;
  }

  const auto start = std::chrono::steady_clock::now();
  int64_t peak = 0;
  const int code = Run({"check", "--folder", folder, "--json"}, output, &peak, log);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(code, c.exitCode) << output.substr(0, 4000);
  size_t shown = 0;
  for (size_t at = output.find(c.shows); at != std::string::npos; at = output.find(c.shows, at + 1))
    ++shown;
  EXPECT_GE(shown, c.times) << output.substr(0, 4000);
  EXPECT_EQ(output.find("bad_alloc"), std::string::npos);
  // A sanitized build's shadow memory and slowness say nothing about the bounds: it checks the
  // outcome only.
  if (!kSanitized) {
    EXPECT_LT(took, std::chrono::seconds(kTimeOut + 2));
    EXPECT_LT(peak, 64 * kMB + c.limits) << "peak " << peak / kMB << " MB";
  }
  RecordProperty("peak_kb", std::to_string(peak / 1024));
  // Nothing spooled stays behind, wherever the temporary files go.
  for (const auto& file : std::filesystem::recursive_directory_iterator(dir.Path()))
    EXPECT_FALSE(file.path().filename().string().starts_with("RETR")) << file.path();
}

INSTANTIATE_TEST_SUITE_P(Peers, HostileMemoryTest, ::testing::ValuesIn(MemoryCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norva

namespace norva {
namespace {

// A message over the in-memory limit reaches its file byte for byte, dot-stuffed lines and line
// ends across the move to the spool included; a save handler gets its head and finds the whole
// message in the spool file while it runs.
TEST(HostileSpoolTest, LargeMessageArrivesWholeThroughTheSpool) {
  testing::TempDir dir;
  const testing::ScopedEnv tmp("TMPDIR", dir.Path());
  std::string message = "Message-ID: <large@test>\r\nSubject: large\r\n\r\n";
  for (int n = 0; message.size() <= size_t(TmsCustomPOP::kInMemoryLimit) + 3 * 1024 * 1024; ++n)
    message += (n % 7 == 0 ? ".dotted line " : n % 11 == 0 ? "." : "line ") + std::to_string(n) +
               "\r\n";
  FakePop3 mailbox({message});
  TmsRemotePOP pop;
  pop.Server = mailbox.Address();
  pop.UserName = "user";
  pop.Password = "secret";
  // Nothing here waits on purpose: the time-out only has to outlast a busy machine moving 4 MB
  // through a sanitized fake server (under load, 2 s did not).
  pop.SetTimeOut(30);
  pop.SetWinsockLoaded(true);
  pop.SetMessageDirectory(dir.Path());

  std::string head, spooled;
  int64_t size = 0;
  pop.Connect();
  pop.Retrieve(0);  // no handler: msg_0.eml
  pop.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& contents) {
    head = contents.Bytes();
    size = pop.SpooledSize();
    spooled = testing::ReadFile(pop.SpoolFile());
  };
  pop.Retrieve(0);
  pop.Disconnect();

  EXPECT_TRUE(testing::ReadFile(dir.File("msg_0.eml")) == message);
  EXPECT_EQ(size, int64_t(message.size()));
  EXPECT_TRUE(spooled == message);
  EXPECT_LE(head.size(), size_t(TmsCustomPOP::kSpooledHead));
  EXPECT_TRUE(message.starts_with(head) && head.ends_with("\r\n"));
  for (const auto& file : std::filesystem::directory_iterator(dir.Path()))
    EXPECT_FALSE(file.path().filename().string().starts_with("RETR")) << file.path();
}

}  // namespace
}  // namespace norva
