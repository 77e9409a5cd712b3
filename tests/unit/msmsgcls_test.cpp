// The message classes: the content type a message decides on, header fields, checks before
// sending, clearing, assignment, and saving or opening attachments safely.
#include "mail/msmsgcls.h"

#include <gtest/gtest.h>

#include <filesystem>

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
  m.SetHeaderFields({"From: \"Ann Smith\" <ann@example.org>", "To: a@x, b@x,", " c@x",
                     "CC: Carl <c@y>", "X-Priority: 1", "Return-Receipt-To: <ann@example.org>"});
  EXPECT_EQ(m.Sender.Name, "Ann Smith");
  EXPECT_EQ(m.Sender.Address, "ann@example.org");
  ASSERT_EQ(m.Recipients.Count(), 3);
  EXPECT_EQ(m.Recipients.Items(2).Address, "c@x");
  EXPECT_EQ(m.CC.Items(0).Name, "Carl");
  EXPECT_EQ(m.Subject, "kept");  // an empty Subject leaves it
  EXPECT_EQ(m.Priority, ptHigh);
  EXPECT_TRUE(m.ReturnReceipt);
  EXPECT_EQ(m.Headers.size(), 6u);

  for (auto [value, priority] :
       {std::pair{"5", ptLow}, {"3", ptNormal}, {"1 (Highest)", ptNormal}}) {
    TmsMessage p;
    p.SetHeaderFields({"From: a@b", std::string("X-Priority: ") + value});
    EXPECT_EQ(p.Priority, priority) << value;
  }
  TmsMessage bad;
  EXPECT_THROW(bad.SetHeaderFields({"From: Ann <ann@example.org"}), EAddressError);
}

TEST(MessageChecks, SenderAndOneRecipientAddressAreRequired) {
  TmsMessage m;
  m.BCC.AddAddress("hidden@example.org", "");
  try {
    m.CheckFields();
    FAIL();
  } catch (const EMessageError& e) {
    EXPECT_STREQ(e.what(), "The address of sender is required");
  }
  m.Sender.Address = "me@example.org";
  m.CheckFields();  // a BCC address is enough
  m.BCC.Clear();
  m.Recipients.AddAddress("", "Nobody");
  try {
    m.CheckFields();
    FAIL();
  } catch (const EMessageError& e) {
    EXPECT_STREQ(e.what(), "At least one Recipient, CC or BCC must be entered");
  }
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

TEST(MessageAttachments, NamesNeverLeaveTheChosenFolder) {
  testing::TempDir dir;
  TmsMessage m;
  Attach(m, "../../escape.txt", "one");
  Attach(m, "C:\\Windows\\evil.exe", "two");
  Attach(m, "..", "three");
  m.SaveAttachment(0, dir.Path());
  m.SaveAttachment(1, dir.Path());
  EXPECT_EQ(testing::ReadFile(dir.File("escape.txt")), "one");
  EXPECT_EQ(testing::ReadFile(dir.File("evil.exe")), "two");
  EXPECT_THROW(m.SaveAttachment(2, dir.Path()), EMessageError);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/../escape.txt"));
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
    try {
      m.ExecuteAttachment(0);
      FAIL();
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "Unable to execute attachment #0\nbecause file name is blank");
    }
    m.ExecuteAttachment(1);
    EXPECT_EQ(opened, tmp.File("doc.txt"));
    EXPECT_EQ(testing::ReadFile(opened), "content");
    try {
      m.ExecuteAttachment(2);
      FAIL();
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "Error executing ShellExec.  Error code 2");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(tmp.File("doc.txt")));
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
