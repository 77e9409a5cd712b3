// The message classes: the content type a message decides on, header fields, checks before
// sending, clearing, assignment, and saving or opening attachments safely.
#include "mail/msmsgcls.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

TmsAttItem& Attach(TmsMessage& m, const std::string& name, const std::string& bytes = "data") {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(name);
  item->Data.Assign(bytes);
  TmsAttItem& ref = *item;
  m.Attachments.Add(std::move(item));
  return ref;
}

TEST(MessageContentType, FollowsBodyAndAttachments) {
  TmsMessage m;
  m.Body = {"text"};
  EXPECT_EQ(m.ContentType(), "text/plain");
  m.SetContentType("TEXT/HTML");
  EXPECT_EQ(m.ContentType(), "text/html");
  Attach(m, "a.bin");
  EXPECT_EQ(m.ContentType(), "multipart/mixed");
  m.Body.clear();
  EXPECT_EQ(m.ContentType(), "application/octet-stream");  // the one attachment's type
  Attach(m, "b.bin");
  EXPECT_EQ(m.ContentType(), "multipart/mixed");

  TmsMessage html;
  Attach(html, "dir/_HTMBODY.htm");
  EXPECT_EQ(html.ContentType(), "text/html");
  TmsMessage alt;
  alt.Body = {"plain"};
  Attach(alt, "_alt.0");
  Attach(alt, "_Alt.1");
  EXPECT_EQ(alt.ContentType(), "multipart/alternative");
  alt.Encoding = meUU;
  EXPECT_EQ(alt.ContentType(), "");
}

TEST(MessageHeaderFields, FillTheTypedFields) {
  TmsMessage m;
  m.Subject = "kept";
  m.SetHeaderFields(TStringList{"From: \"Ann Smith\" <ann@example.org>", "To: a@x, b@x,", " c@x (Cee)",
                     "CC: Carl <c@y>", "X-Priority: 1", "Return-Receipt-To: <ann@example.org>"});
  EXPECT_EQ(m.Sender.Name, "Ann Smith");
  EXPECT_EQ(m.Sender.Address, "ann@example.org");
  ASSERT_EQ(m.Recipients.Count(), 3);
  EXPECT_EQ(m.Recipients.Items(2).Address, "c@x");
  EXPECT_EQ(m.Recipients.Items(2).Name, "");  // a comment is no display name
  EXPECT_EQ(m.CC.Items(0).Name, "Carl");
  EXPECT_EQ(m.Subject, "kept");  // an empty Subject leaves it
  EXPECT_EQ(m.Priority, ptHigh);
  EXPECT_TRUE(m.ReturnReceipt);
  EXPECT_EQ(m.Headers.size(), 6u);

  for (auto [value, priority] :
       {std::pair{"5", ptLow}, {"3", ptNormal}, {"1 (Highest)", ptNormal}}) {
    TmsMessage p;
    p.SetHeaderFields(TStringList{"From: a@b", std::string("X-Priority: ") + value});
    EXPECT_EQ(p.Priority, priority) << value;
  }
  // An address that does not parse is kept as text: the message is still read.
  TmsMessage bad;
  bad.SetHeaderFields(TStringList{"From: Ann <ann@example.org", "To: b@x, Carl <c@x", "Subject: s"});
  EXPECT_EQ(bad.Sender.Address, "Ann <ann@example.org");
  ASSERT_EQ(bad.Recipients.Count(), 2);
  EXPECT_EQ(bad.Recipients.Items(1).Address, "Carl <c@x");
  EXPECT_EQ(bad.Subject, "s");
}

TEST(MessageChecks, SenderAndOneRecipientAddressAreRequired) {
  TmsMessage m;
  const auto refusal = [&] { return testing::What([&] { m.CheckFields(); }); };
  m.BCC.AddAddress("hidden@example.org", "");
  EXPECT_EQ(refusal(), "The address of sender is required");
  m.Sender.Address = "me@example.org";
  m.CheckFields();  // a BCC address is enough
  m.BCC.Clear();
  m.Recipients.AddAddress("", "Nobody");
  EXPECT_EQ(refusal(), "At least one Recipient, CC or BCC must be entered");
}

TEST(MessageClearAndAssign, ClearKeepsPriorityAndAssignCopiesEverything) {
  TmsMessage m;
  m.Priority = ptHigh;
  m.ReturnReceipt = true;
  m.Subject = "s";
  m.Body = {"b"};
  m.Recipients.AddAddress("r@x", "R");
  Attach(m, "f.txt", "hello");

  TmsMessage copy;
  copy.Assign(m);
  EXPECT_EQ(copy.Recipients.Items(0).Address, "r@x");
  EXPECT_EQ(copy.Attachments.Items(0).Data.Bytes(), "hello");
  EXPECT_EQ(copy.ContentType(), "multipart/mixed");
  EXPECT_EQ(copy.Priority, ptHigh);

  m.Clear();
  EXPECT_TRUE(m.Body.empty());
  EXPECT_EQ(m.Recipients.Count(), 0);
  EXPECT_EQ(m.Attachments.Count(), 0);
  EXPECT_TRUE(m.Subject.empty());
  EXPECT_EQ(m.Priority, ptHigh);
  EXPECT_TRUE(m.ReturnReceipt);
}

// Addresses come from the fields as they stand; decoded encoded words are only ever names, and
// quoted names may hold commas and brackets.
TEST(MessageHeaderFields, EncodedWordsAreNamesNeverAddresses) {
  TmsMessage m;
  m.SetHeaderFields(TStringList{"From: =?us-ascii?Q?Eve=0D=0ARCPT_TO:<x@y>?= <eve@example.org>",
                     "To: \"Doe, <Jo>\" <jo@example.org>, =?utf-8?B?PHhAeT4=?= <al@example.org>,",
                     " bare@example.org", "Token: not@an.address", "Cc: =?us-ascii?Q?x=40y?="});
  EXPECT_EQ(m.Sender.Address.str(), "eve@example.org");
  EXPECT_EQ(m.Sender.Name.str(), "Eve\r\nRCPT TO:<x@y>");
  ASSERT_EQ(m.Recipients.Count(), 3);
  EXPECT_EQ(m.Recipients.Items(0).Address.str(), "jo@example.org");
  EXPECT_EQ(m.Recipients.Items(0).Name.str(), "Doe, <Jo>");
  EXPECT_EQ(m.Recipients.Items(1).Address.str(), "al@example.org");
  EXPECT_EQ(m.Recipients.Items(1).Name.str(), "<x@y>");
  EXPECT_EQ(m.Recipients.Items(2).Address.str(), "bare@example.org");
  ASSERT_EQ(m.CC.Count(), 1);
  EXPECT_EQ(m.CC.Items(0).Address.str(), "=?us-ascii?Q?x=40y?=");
}

TEST(MessageAttachments, NamesNeverLeaveTheChosenFolder) {
  testing::TempDir top;
  const std::string dir = top.File("a/b");
  std::filesystem::create_directories(dir);
  TmsMessage m;
  Attach(m, "../../escape.txt", "one");
  Attach(m, "C:\\Windows\\evil.exe", "two");
  Attach(m, "/etc/passwd", "three");
  Attach(m, "..\\..\\up.txt", "four");
  Attach(m, std::string("cut\0/../x.txt\0.exe", 18), "five");
  Attach(m, "line\r\nbreak.txt", "six");
  Attach(m, std::string("..\0", 3), "seven");
  for (int32_t i = 0; i < m.Attachments.Count(); ++i) m.SaveAttachment(i, dir);
  EXPECT_EQ(testing::ReadFile(dir + "/escape.txt"), "one");
  EXPECT_EQ(testing::ReadFile(dir + "/evil.exe"), "two");
  EXPECT_EQ(testing::ReadFile(dir + "/passwd"), "three");
  EXPECT_EQ(testing::ReadFile(dir + "/up.txt"), "four");
  EXPECT_EQ(testing::ReadFile(dir + "/x.txt_.exe"), "five");
  EXPECT_EQ(testing::ReadFile(dir + "/line__break.txt"), "six");
  EXPECT_EQ(testing::ReadFile(dir + "/.._"), "seven");
  size_t written = 0;
  for (const auto& file : std::filesystem::recursive_directory_iterator(top.Path())) {
    if (file.is_directory()) continue;
    ++written;
    EXPECT_EQ(file.path().parent_path(), dir);
  }
  EXPECT_EQ(written, 7u);

  for (const char* unusable : {"", ".", "..", "dir/", "dir/.."}) {
    TmsMessage n;
    Attach(n, unusable, "x");
    EXPECT_THROW(n.SaveAttachment(0, dir), EMessageError) << unusable;
  }
}

TEST(MessageAttachments, ExecuteOpensATemporaryCopyRemovedWithTheMessage) {
  testing::TempDir tmp;
  ::setenv("TMPDIR", tmp.Path().c_str(), 1);
  std::string opened;
  TmsCustomMessage::OpenWithDesktop = [&](const std::string& path) {
    opened = path;
    return opened.ends_with("fails.txt") ? 2 : 42;
  };
  {
    TmsMessage m;
    Attach(m, "", "nameless");
    Attach(m, "doc.txt", "content");
    Attach(m, "fails.txt", "x");
    EXPECT_EQ(testing::What([&] { m.ExecuteAttachment(0); }),
              "Unable to execute attachment #0\nbecause file name is blank");
    // A link planted under the attachment's name in the shared folder is never followed.
    { std::ofstream(tmp.File("victim")) << "keep"; }
    std::filesystem::create_symlink(tmp.File("victim"), tmp.File("doc.txt"));
    m.ExecuteAttachment(1);
    const std::filesystem::path folder = std::filesystem::path(opened).parent_path();
    EXPECT_EQ(folder.parent_path(), tmp.Path());
    EXPECT_EQ(std::filesystem::path(opened).filename(), "doc.txt");
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
    EXPECT_EQ(testing::ReadFile(opened), "content");
    EXPECT_EQ(testing::ReadFile(tmp.File("victim")), "keep");
    EXPECT_EQ(testing::What([&] { m.ExecuteAttachment(2); }),
              "Error executing ShellExec.  Error code 2");
  }
  EXPECT_FALSE(std::filesystem::exists(opened));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(opened).parent_path()));
  TmsCustomMessage::OpenWithDesktop = nullptr;
  ::unsetenv("TMPDIR");
}

// What a message is written as reads back as the same message: body lines with leading dots,
// text attachments in the middle of the list, binary data.
TEST(MessageRoundTrip, SaveThenLoadKeepsBodyAndAttachmentsExactly) {
  TmsMessage m;
  m.Sender.Address = "ann@example.org";
  m.Recipients.AddAddress("bob@example.org", "Bob");
  m.Subject = "round trip";
  m.Body = {".", "..", "...", ".NET", "", "last"};
  Attach(m, "a.txt", "one\r\ntwo\r\n");
  Attach(m, "b.txt", "no line end");
  std::string binary;
  for (int i = 0; i < 1000; ++i) binary += char(i * 7);
  Attach(m, "c.bin", binary);
  TMemoryStream stream;
  m.SaveToStream(stream);

  TmsMessage back;
  back.LoadFromStream(stream);
  EXPECT_EQ(back.Body, m.Body);
  ASSERT_EQ(back.Attachments.Count(), 3);
  EXPECT_EQ(back.Attachments.Items(0).Data.Bytes(), "one\r\ntwo\r\n");
  EXPECT_EQ(back.Attachments.Items(1).Data.Bytes(), "no line end");
  EXPECT_EQ(back.Attachments.Items(2).Data.Bytes(), binary);
  EXPECT_EQ(back.Recipients.Items(0).Name, "Bob");
}

}  // namespace
}  // namespace norva
