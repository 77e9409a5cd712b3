// TmsRemotePOP against a real Dovecot POP3 server on loopback, started by the pop3_server CTest
// fixture (tests/interop/pop3_fixture.sh), which writes the server's settings to a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "mail/mspop3cl.h"
#include "store/Pump.h"
#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;

struct Stored {
  std::string crlf;     // the file with CRLF line ends: what POP3 serves
  TStringList headers;  // lines before the first empty one
};

// The Maildir's messages in Dovecot's numbering, which follows the file names here.
std::vector<Stored> ReadMaildir(const std::string& maildir) {
  std::vector<fs::path> files;
  for (const char* sub : {"cur", "new"})
    for (const auto& entry : fs::directory_iterator(fs::path(maildir) / sub))
      files.push_back(entry.path());
  std::sort(files.begin(), files.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  std::vector<Stored> out;
  for (const auto& file : files) {
    Stored m;
    bool inHeader = true;
    for (const std::string& line : SplitLines(ReadFile(file))) {
      m.crlf += line + "\r\n";
      inHeader = inHeader && !line.empty();
      if (inHeader) m.headers.push_back(line);
    }
    out.push_back(std::move(m));
  }
  return out;
}

class Pop3Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("NORVA_POP3_SETTINGS");  // to run the binary by hand
    settings_ = testing::ReadSettings(path ? path : NORVA_POP3_SETTINGS);
    if (settings_.count("POP3_SKIP")) GTEST_SKIP() << settings_["POP3_SKIP"];
    if (!settings_.count("POP3_PORT")) GTEST_SKIP() << "no server: run through ctest";
    SetMessagePump({});
    pop_.Server = "127.0.0.1:" + settings_["POP3_PORT"];
    pop_.UserName = settings_["POP3_USER"];
    pop_.Password = settings_["POP3_PASS"];
    pop_.SetTimeOut(10);
    pop_.SetWinsockLoaded(true);
  }
  void TearDown() override {
    if (pop_.IsOpen()) pop_.Close();
  }
  // UpdateInfo logs in and out by itself.
  int32_t Walk() {
    pop_.UpdateInfo();
    EXPECT_FALSE(pop_.IsOpen());
    return pop_.MessageInfo.Count();
  }
  std::vector<Stored> Maildir() { return ReadMaildir(settings_["POP3_MAILDIR"]); }

  std::map<std::string, std::string> settings_;
  TmsRemotePOP pop_;
};

class Pop3Walk : public Pop3Interop, public ::testing::WithParamInterface<bool> {};

// Dovecot announces PIPELINING: the walk that sends the commands of 64 messages at a time and
// the one that waits for each reply both list every message's size and header block.
TEST_P(Pop3Walk, BothWalksListEverySizeAndHeaderBlock) {
  pop_.Blocking = GetParam();
  int32_t events = 0;
  pop_.OnNextInfoUpdated = [&](TObject&, int32_t) { ++events; };
  const auto stored = Maildir();
  for (bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "lock-step");
    pop_.Pipelining = pipelined;
    events = 0;
    const int32_t count = Walk();
    ASSERT_EQ(count, int32_t(stored.size()));
    ASSERT_GT(count, 128) << "three batches, the last one short";
    EXPECT_GE(count, std::stoi(settings_["POP3_COUNT"]));
    EXPECT_EQ(pop_.MessageCount, count);
    EXPECT_EQ(events, count);
    EXPECT_EQ(pop_.WalkedPipelined(), pipelined);
    for (int32_t i = 0; i < count; ++i) {
      EXPECT_EQ(pop_.MessageInfo.Items(i).Size, int32_t(stored[i].crlf.size())) << "message " << i;
      EXPECT_EQ(pop_.MessageInfo.Items(i).Headers, stored[i].headers) << "message " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Pop3Walk, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Blocking" : "NonBlocking"; });

TEST_F(Pop3Interop, RetrieveGivesTheStoredBytesToTheHandlerOrAFile) {
  std::string block;
  int32_t handed = -1;
  pop_.OnUserMessageSave = [&](TObject&, int32_t num, TMemoryStream& contents) {
    handed = num;
    block = contents.Bytes();
  };
  ASSERT_GT(Walk(), 2);
  const auto stored = Maildir();
  pop_.Connect();
  for (int32_t num : {0, 2}) {  // a plain message and one with attachments
    pop_.Retrieve(num);
    EXPECT_EQ(handed, num);
    EXPECT_EQ(block, stored[num].crlf) << "message " << num;
  }
  testing::TempDir dir;
  pop_.OnUserMessageSave = nullptr;
  pop_.SetMessageDirectory(dir.Path());
  pop_.Retrieve(2);
  EXPECT_EQ(ReadFile(dir.File("msg_2.eml")), block);
}

TEST_F(Pop3Interop, DotLinesRoundTripAndDeleteRemovesTheRightMessage) {
  // Appended after the generated messages, so deleting it leaves them as they were.
  const std::string message =
      "From: Dots <dots@test.example>\nSubject: Dot lines\nMessage-ID: <dots@test.example>\n\n"
      ".\n..\n.leading dot\n" +
      std::string(1500, 'x') + "\nlast\n.\n";
  const std::string maildir = settings_["POP3_MAILDIR"];
  const std::string tmp = maildir + "/tmp/1800000000.M0Pdots.norva";
  testing::WriteFile(tmp, message);
  struct stat owner {};
  ASSERT_EQ(::stat(maildir.c_str(), &owner), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(tmp.c_str(), owner.st_uid, owner.st_gid), 0);
  }
  fs::rename(tmp, maildir + "/new/1800000000.M0Pdots.norva");

  std::string block;
  pop_.OnUserMessageSave = [&](TObject&, int32_t, TMemoryStream& contents) {
    block = contents.Bytes();
  };
  const int32_t count = Walk();
  ASSERT_GT(count, 1);
  const int32_t last = count - 1;
  const TmsHeaders& headers = pop_.MessageInfo.Items(last).Headers;
  EXPECT_EQ(std::count(headers.begin(), headers.end(), "Subject: Dot lines"), 1);
  pop_.Connect();
  pop_.Retrieve(last);
  // Dovecot stuffs the dot lines; the handler gets them back as written, the last "." line too.
  EXPECT_NE(block.find("\r\n.\r\n..\r\n.leading dot\r\n"), std::string::npos);
  EXPECT_EQ(block, Maildir()[last].crlf);

  std::vector<TmsHeaders> before;
  for (int32_t i = 0; i < last; ++i) before.push_back(pop_.MessageInfo.Items(i).Headers);
  pop_.Delete(last);
  EXPECT_TRUE(pop_.LastReply.starts_with("+OK")) << pop_.LastReply;
  pop_.Disconnect();
  ASSERT_EQ(Walk(), count - 1);
  for (int32_t i = 0; i < last; ++i) EXPECT_EQ(pop_.MessageInfo.Items(i).Headers, before[i]);
  EXPECT_EQ(Maildir().size(), size_t(count - 1));
}

TEST_F(Pop3Interop, WrongPasswordRaisesTheServerReplyAndARetryLogsIn) {
  pop_.Password = "wrong";
  auto e = testing::Raised<EServerError>([&] { pop_.Connect(); });
  EXPECT_STREQ(e ? e->what() : "", "-ERR [AUTH] Authentication failed.");
  pop_.Disconnect();  // a refused login leaves the connection open
  pop_.Password = settings_["POP3_PASS"];
  EXPECT_EQ(Walk(), int32_t(Maildir().size()));
}

}  // namespace
}  // namespace norva
