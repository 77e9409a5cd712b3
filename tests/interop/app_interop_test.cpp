// The main window's logic end to end against real servers: a Dovecot mailbox of its own filled by
// fill-mailbox.py (the app_pop3_server CTest fixture) and the aiosmtpd sink (smtp_sink). Checking
// with rules, composing in the message window, and archiving, with the fake desktop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "app/Main.h"
#include "app/Msg.h"
#include "mail/msCls.h"
#include "support/FakeDesktop.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;

// The value of a string field of a JSON object on one line, as json.dumps writes it.
std::string JsonString(const std::string& line, const std::string& key) {
  size_t i = line.find("\"" + key + "\": \"");
  if (i == std::string::npos) return "";
  std::string value;
  for (i += key.size() + 5; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\') {
      value += line[i];
      continue;
    }
    switch (char c = line[++i]) {
      case 't': value += '\t'; break;
      case 'n': value += '\n'; break;
      case 'u': value += char(std::stoi(line.substr(i + 1, 4), nullptr, 16)); i += 4; break;
      default: value += c;  // \" \\ \/
    }
  }
  return value;
}

// The text between open and the next close after it ("" when absent).
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const size_t start = text.find(open);
  if (start == std::string::npos) return "";
  const size_t end = text.find(close, start + open.size());
  return end == std::string::npos ? "" : text.substr(start + open.size(), end - start - open.size());
}

// One line of fill-mailbox.py's manifest: what message n of the mailbox is.
struct Generated {
  std::string Subject, From;
  std::string MessageId;  // "" for a message without one
  std::string File;       // its Maildir file as written, flags included
  std::string Kind;       // plain, alternative or mixed
  bool Spam = false;
};

// The manifest's messages in POP3 order.
std::vector<Generated> ReadManifest(const std::string& path) {
  std::vector<Generated> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    out.push_back({JsonString(line, "subject"), JsonString(line, "from"),
                   JsonString(line, "message_id"), JsonString(line, "file"),
                   JsonString(line, "kind"), line.find("\"spam\": true") != std::string::npos});
  return out;
}

// The subject as the client decodes it: UTF-8 whatever its charset, and a fold reads as one
// space (the manifest keeps a folding tab).
std::string SubjectAsRead(std::string generated, const TmsRemoteInfoItem&) {
  std::replace(generated.begin(), generated.end(), '\t', ' ');
  return generated;
}

// One message the sink stored: the decoded message, its raw bytes and its compacted envelope.
struct Delivered {
  std::unique_ptr<TmsMessage> Message;
  std::string Raw, Envelope;
};

std::unique_ptr<TmsMessage> Decode(const std::string& bytes) {
  TMemoryStream stream;
  stream.Assign(bytes);
  stream.SetPosition(0);
  auto message = std::make_unique<TmsMessage>();
  message->LoadFromStream(stream);
  return message;
}

// An archive's items, decoded, in the store's order; none for a missing file.
std::vector<std::unique_ptr<TmsMessage>> ReadArchive(const std::string& path) {
  std::vector<std::unique_ptr<TmsMessage>> items;
  if (!fs::exists(path)) return items;
  TQDB db;
  db.SetReadOnly(true);
  db.WarnNoData = [](TQDB&) {};
  db.SetFileName(path);
  for (int32_t i = 0; i < db.Count(); ++i) {
    db.GoToItem(i);
    TMemoryStream stream;
    db.GetItem(stream);
    items.push_back(Decode(stream.Bytes()));
  }
  db.SetFileName("");
  return items;
}

// An archive's items as stored, sorted; with CR LF line ends, as POP3 carries them, for files.
std::vector<std::string> SortedBytes(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}
std::vector<std::string> ArchiveBytes(const std::string& path) {
  std::vector<std::string> items;
  TQDB db;
  db.SetReadOnly(true);
  db.SetFileName(path);
  for (int32_t i = 0; i < db.Count(); ++i) {
    db.GoToItem(i);
    TMemoryStream stream;
    db.GetItem(stream);
    items.push_back(stream.Bytes());
  }
  db.SetFileName("");
  return SortedBytes(items);
}
std::vector<std::string> MaildirBytes(const std::string& maildir) {
  std::vector<std::string> items;
  for (const char* sub : {"cur", "new"})
    for (const auto& file : fs::directory_iterator(fs::path(maildir) / sub)) {
      std::string crlf;
      for (char c : ReadFile(file.path().string())) {
        if (c == '\n') crlf += '\r';
        crlf += c;
      }
      items.push_back(crlf);
    }
  return SortedBytes(items);
}

// The number of messages the sink stored in dir.
size_t SinkCount(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) count += entry.path().extension() == ".eml";
  return count;
}

// What the sink stored in dir after its first `before` messages, in arrival order.
std::vector<Delivered> SinkReceived(const std::string& dir, size_t before) {
  std::vector<Delivered> out;
  for (size_t n = before + 1, count = SinkCount(dir); n <= count; ++n) {
    char base[16];
    std::snprintf(base, sizeof base, "%06zu", n);
    const fs::path file = fs::path(dir) / base;
    std::string envelope = ReadFile(file.string() + ".json");
    std::erase_if(envelope, [](char c) { return c == ' ' || c == '\n'; });
    const std::string raw = ReadFile(file.string() + ".eml");
    out.push_back({Decode(raw), raw, envelope});
  }
  return out;
}

// The servers' settings, both fixtures' files merged (each file may be named by an environment
// variable instead); empty with the reason in skip when the tests cannot run.
std::map<std::string, std::string> ServerSettings(const char* pop3Variable, const char* pop3File,
                                                  std::string& skip) {
  const char* pop3 = std::getenv(pop3Variable);  // to run the binary by hand
  const char* smtp = std::getenv("NORVA_SMTP_SETTINGS");
  auto settings = testing::ReadSettings(pop3 ? pop3 : pop3File);
  settings.merge(testing::ReadSettings(smtp ? smtp : NORVA_SMTP_SETTINGS));
  for (const char* key : {"POP3_SKIP", "SMTP_SKIP"})
    if (settings.count(key)) skip = settings[key];
  if (skip.empty() && (!settings.count("POP3_PORT") || !settings.count("SMTP_PORT")))
    skip = "no servers: run through ctest";
  if (!skip.empty()) settings.clear();
  return settings;
}

// The fixture's mailbox as the only (so the default) account, sending through the sink.
MailboxAccount& AddTestMailbox(TfrmOptions& options, TfrmMain& main,
                               const std::map<std::string, std::string>& settings) {
  options.radDirectConnection = true;
  options.edtUserName = "Test User";
  auto account = std::make_unique<MailboxAccount>();
  account->Address = "test@test.example";
  account->Account = settings.at("POP3_USER");
  account->Password = settings.at("POP3_PASS");
  account->POP3Server = "127.0.0.1:" + settings.at("POP3_PORT");
  account->SMTPServer = "127.0.0.1:" + settings.at("SMTP_PORT");
  account->TimeOut = 10;
  main.BindClient(*account->Client);
  options.lsvAddress.push_back(std::move(account));
  return *options.lsvAddress.back();
}

class AppInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string skip;
    settings_ = ServerSettings("NORVA_POP3_SETTINGS", NORVA_POP3_SETTINGS, skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    AddTestMailbox(options, main, settings_);
    sinkBefore_ = SinkCount(settings_["SMTP_DIR"]);
  }

  // What the sink received since the test began, in arrival order.
  std::vector<Delivered> SinkReceived() const {
    return norva::SinkReceived(settings_.at("SMTP_DIR"), sinkBefore_);
  }
  void Select(std::initializer_list<size_t> rows) {
    for (auto& row : main.lsvMail) row.Selected = false;
    for (size_t i : rows) main.lsvMail.at(i).Selected = true;
  }

  std::map<std::string, std::string> settings_;
  size_t sinkBefore_ = 0;
  testing::TempDir dir;
  testing::FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
};

TEST_F(AppInterop, ComposeWithAttachmentAndHighPrioritySendsThroughTheSink) {
  // A second mailbox marked default: the message goes out from its address.
  auto other = std::make_unique<MailboxAccount>();
  other->Address = "boss@test.example";
  other->SMTPServer = options.lsvAddress[0]->SMTPServer;
  other->IsDefault = true;
  options.lsvAddress.push_back(std::move(other));

  std::mt19937 random(7);
  std::string bytes(20000, '\0');
  for (char& c : bytes) c = char(random());
  testing::WriteFile(dir.File("photo.bin"), bytes);

  main.btnSendMsgClick();
  TfrmMsg& window = *main.frmMsg;
  ASSERT_TRUE(window.Visible);
  window.edtMsgTo = "Bob <bob@example.org>";
  window.edtMsgSubject = "Photos";
  window.redMsg = {"Here they are.", ".", "Bye"};
  desktop.FileAnswers = {dir.File("photo.bin")};
  window.btnAttachClick();
  window.N1LowestPriority1Click(24);
  window.btnSendClick();
  EXPECT_TRUE(desktop.Errors.empty()) << desktop.Errors.front();
  EXPECT_FALSE(window.Visible);

  const std::vector<Delivered> received = SinkReceived();
  ASSERT_EQ(received.size(), 1u);
  const Delivered& got = received[0];
  EXPECT_NE(got.Envelope.find(R"("mail_from":"boss@test.example","rcpt_tos":["bob@example.org"])"),
            std::string::npos)
      << got.Envelope;
  EXPECT_NE(got.Raw.find("\r\nX-Priority: 1"), std::string::npos);
  EXPECT_EQ(got.Message->Subject.str(), "Photos");
  EXPECT_EQ(got.Message->Priority, ptHigh);
  EXPECT_EQ(got.Message->Body, (TStringList{"Here they are.", ".", "Bye"}));
  ASSERT_EQ(got.Message->Attachments.Count(), 1);
  EXPECT_EQ(got.Message->Attachments.Items(0).FileName().str(), "photo.bin");
  EXPECT_TRUE(got.Message->Attachments.Items(0).Data.Bytes() == bytes);
  EXPECT_EQ(ReadArchive(dir.File("$Sent.TMA")).size(), 1u);
  EXPECT_TRUE(ReadArchive(dir.File("$OutBox.TMA")).empty());
}

TEST_F(AppInterop, ArchivedRowsReadBackWithoutTheServer) {
  main.CheckMail(true, -1);
  ASSERT_GE(main.lsvMail.size(), 3u);
  Select({0, 2});  // a plain message and one with attachments
  main.btnArchiveClick();
  EXPECT_TRUE(desktop.Errors.empty()) << desktop.Errors.front();
  EXPECT_EQ(main.lsvMail[0].StateIndex, 5);
  EXPECT_EQ(main.lsvMail[1].StateIndex, -1);
  const std::vector<std::string> archived = {main.lsvMail[0].SubItems[0],
                                             main.lsvMail[2].SubItems[0]};
  const TmsAttList& attached = main.lsvMail[2].Data->Message->Attachments;
  const int32_t attachments = attached.Count();
  ASSERT_GT(attachments, 0);
  const std::string firstAttachment = attached.Items(0).Data.Bytes();

  // With the server out of reach the archive still lists and shows its messages.
  testing::ClosedPort closed;
  options.lsvAddress[0]->POP3Server = "127.0.0.1:" + std::to_string(closed.Port());
  options.lsvAddress[0]->ApplyToClient();
  main.LoadArchive(dir.File("Archive.TMA"));
  ASSERT_EQ(main.lsvMail.size(), 2u);
  std::vector<std::string> listed = {main.lsvMail[0].SubItems[0], main.lsvMail[1].SubItems[0]};
  // Running-number keys padded with blanks sort before the first item's key of zeros.
  EXPECT_EQ(listed, (std::vector<std::string>{archived[1], archived[0]}));
  Select({0});
  main.lsvMailDblClick();
  EXPECT_TRUE(desktop.Errors.empty()) << desktop.Errors.front();
  EXPECT_EQ(main.frmMsg->edtMsgSubject, archived[1]);
  const TmsAttList& stored = main.lsvMail[0].Data->Message->Attachments;
  ASSERT_EQ(stored.Count(), attachments);
  EXPECT_TRUE(stored.Items(0).Data.Bytes() == firstAttachment);
}

// What only one of the sorted lists has: "unexpected" items only in got, "missing" ones only in
// expected.
std::vector<std::string> Unmatched(const std::vector<std::string>& got,
                                   const std::vector<std::string>& expected) {
  std::vector<std::string> extra, missing, out;
  std::set_difference(got.begin(), got.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(),
                      std::back_inserter(missing));
  for (const std::string& item : extra) out.push_back("unexpected: " + item);
  for (const std::string& item : missing) out.push_back("missing: " + item);
  return out;
}

// The check at the scale where the pipelined header scan runs several batches, with rules that
// read, delete and queue replies while the next batch's replies are on their way. Each of the
// four connection modes gets a mailbox filled afresh (the previous mode deleted some of it) and a
// program folder of its own.
struct ScaleMode {
  const char* Name;
  bool Pipelining, Blocking;
  const char* Seed;  // fill-mailbox.py's: every mode has other messages
};

void CheckAtScale(const std::map<std::string, std::string>& settings, const ScaleMode& mode) {
  testing::TempDir dir;
  const std::string maildir = settings.at("POP3_MAILDIR");
  const std::string manifest = dir.File("manifest.jsonl");
  const std::string fill = "python3 '" NORVA_FILL_MAILBOX "' '" + maildir + "' -n " +
                           settings.at("POP3_COUNT") + " --seed " + mode.Seed +
                           " --clear --manifest '" + manifest + "'";
  ASSERT_EQ(std::system(fill.c_str()), 0) << fill;
  const std::vector<Generated> generated = ReadManifest(manifest);
  const size_t n = generated.size();
  ASSERT_EQ(n, size_t(std::stoi(settings.at("POP3_COUNT"))));
  const std::vector<std::string> served = MaildirBytes(maildir);

  testing::FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  TfrmMain main{desktop, options};
  AddTestMailbox(options, main, settings).Pipelining = mode.Pipelining;
  options.chkBlocking = mode.Blocking;   // the POP3 client takes it when the check starts
  main.msSMTP.Blocking = mode.Blocking;  // as storing the preferences sets it
  options.lstTemplate = {{"Thanks", 4}};
  testing::WriteFile(dir.File("FN4.txt"), "Thank you for writing.\r\nI am away.\r\n");
  // Everything is archived, the spam (known by its mailer) deleted, and messages with
  // attachments answered: the two overlap, so some messages are answered and deleted.
  options.lsvRule = {
      {19, "", 5, "All.TMA"}, {10, "BulkSender", 0, ""}, {9, "multipart/mixed", 6, "Thanks"}};
  const std::string sinkDir = settings.at("SMTP_DIR");
  const size_t sinkBefore = SinkCount(sinkDir);

  main.CheckMail(true, -1);
  EXPECT_TRUE(desktop.Errors.empty()) << desktop.Errors.front();
  EXPECT_EQ(main.MessageFailures, 0);
  EXPECT_FALSE(main.SessionHadErrors);
  EXPECT_EQ(main.StatusBar[4].Text, "Closed connection...");  // the outbox's session, last

  // One row per message, in the server's (the manifest's) order.
  ASSERT_EQ(main.lsvMail.size(), n);
  const auto applied = [](const MessageListEntry& entry, const std::string& action) {
    return std::find(entry.AppliedRules.begin(), entry.AppliedRules.end(), "----> " + action) !=
           entry.AppliedRules.end();
  };
  std::set<std::string> ids;
  std::vector<std::string> read, replies, kept;
  for (size_t i = 0; i < n; ++i) {
    const Generated& g = generated[i];
    const MessageListEntry& entry = *main.lsvMail[i].Data;
    const TmsRemoteInfoItem* listed = main.DirectoryEntry(entry);
    ASSERT_NE(listed, nullptr) << i;
    ASSERT_TRUE(entry.BodyRetrieved && entry.Message) << i;
    EXPECT_EQ(main.lsvMail[i].StateIndex, g.Spam ? 3 : 5) << i;
    if (!g.MessageId.empty()) {
      EXPECT_EQ(entry.MessageId, g.MessageId) << i;
    }
    ids.insert(entry.MessageId);
    const std::string subject = SubjectAsRead(g.Subject, *listed);
    EXPECT_EQ(entry.Message->Subject.str(), subject) << i;
    EXPECT_EQ(entry.Message->Sender.Address.str(), g.From) << i;
    EXPECT_TRUE(applied(entry, "Archive message to file: All.TMA")) << i;
    EXPECT_EQ(applied(entry, "Delete the message"), g.Spam) << i;
    EXPECT_EQ(entry.DeletedOnServer, g.Spam) << i;
    EXPECT_EQ(applied(entry, "Reply with template: Thanks"), g.Kind == "mixed") << i;
    read.push_back(g.MessageId + " | " + subject);
    if (g.Kind == "mixed") replies.push_back(g.From + " | re: " + subject);
    if (!g.Spam) kept.push_back(g.File.substr(0, g.File.find(':')));
  }
  EXPECT_EQ(ids.size(), n) << "rows share a Message-ID";

  // The archive holds every message once.
  std::vector<std::string> archived;
  for (const auto& item : ReadArchive(dir.File("All.TMA")))
    archived.push_back(GetFieldValue(item->Headers, "Message-ID") + " | " + item->Subject.str());
  // Exactly the spam left the Maildir; the others are there, read (renamed) or not.
  std::vector<std::string> stored;
  for (const char* sub : {"cur", "new"})
    for (const auto& file : fs::directory_iterator(fs::path(maildir) / sub)) {
      const std::string name = file.path().filename().string();
      stored.push_back(name.substr(0, name.find(':')));
    }
  // Every answered message's sender got its reply, and nobody else one.
  std::vector<std::string> sent;
  for (const Delivered& reply : SinkReceived(sinkDir, sinkBefore)) {
    EXPECT_NE(reply.Envelope.find(R"("mail_from":"test@test.example")"), std::string::npos);
    EXPECT_EQ(reply.Message->Body, (TStringList{"Thank you for writing.", "I am away."}));
    sent.push_back(Between(reply.Envelope, R"("rcpt_tos":[")", R"("])") + " | " +
                   reply.Message->Subject.str());
  }
  for (auto* list : {&read, &archived, &kept, &stored, &replies, &sent})
    std::sort(list->begin(), list->end());
  EXPECT_EQ(Unmatched(archived, read), std::vector<std::string>()) << "archived";
  EXPECT_EQ(archived.size(), n);
  // The archive holds each message as the server handed it out, byte for byte.
  EXPECT_TRUE(ArchiveBytes(dir.File("All.TMA")) == served);
  EXPECT_EQ(Unmatched(stored, kept), std::vector<std::string>()) << "in the Maildir";
  EXPECT_EQ(stored.size(), kept.size());
  EXPECT_EQ(Unmatched(sent, replies), std::vector<std::string>()) << "replies";
  EXPECT_EQ(sent.size(), replies.size());
  EXPECT_EQ(ReadArchive(dir.File("$Sent.TMA")).size(), replies.size());
  EXPECT_TRUE(ReadArchive(dir.File("$OutBox.TMA")).empty());
}

TEST(AppScaleInterop, ArchiveDeleteAndReplyOverSeveralBatchesInEveryMode) {
  std::string skip;
  const auto settings =
      ServerSettings("NORVA_APP300_POP3_SETTINGS", NORVA_APP300_POP3_SETTINGS, skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  const ScaleMode modes[] = {{"pipelined, non-blocking", true, false, "301"},
                             {"pipelined, blocking", true, true, "302"},
                             {"lock-step, non-blocking", false, false, "303"},
                             {"lock-step, blocking", false, true, "304"}};
  for (const ScaleMode& mode : modes) {
    SCOPED_TRACE(mode.Name);
    CheckAtScale(settings, mode);
  }
}

}  // namespace
}  // namespace norva
