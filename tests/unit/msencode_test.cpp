// The message encoder: header block, address layout, body layouts, attachment data.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mail/msmime.h"
#include "mail/msmsgcls.h"
#include "mail/msuucode.h"
#include "support/Helpers.h"

namespace norva {
namespace {

using testing::Crlf;

std::string Encode(TmsCustomMessage& message) {
  TMemoryStream stream;
  message.SaveToStream(stream);
  return stream.Bytes();
}

// The message of the simplest case: Ann writes Hi to R.
void MakeAnn(TmsMessage& m) {
  m.Sender.Name = "Ann";
  m.Sender.Address = "A";
  m.Recipients.AddAddress("R", "");
  m.Subject = "Hi";
  m.Body = {"line one", "line two"};
}

const std::string kAnnHeaders = Crlf({"From:     Ann <A>", "To:        <R>", "Subject: Hi"});
const std::string kAnnPlain =
    Crlf({"Mime-Version: 1.0", "Content-Type: text/plain; charset=\"us-ascii\"",
          "Content-Transfer-Encoding: 7bit", ""});

TmsAttItem& Attach(TmsCustomMessage& m, const std::string& name, const std::string& type,
                   TAttEncoding encoding, const std::string& data) {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(name);
  item->ContentType = type;
  item->TransferEncoding = encoding;
  item->Data.Assign(data);
  TmsAttItem& result = *item;
  m.Attachments.Add(std::move(item));
  return result;
}

// The boundary given in the output's first boundary parameter after from.
std::string BoundaryIn(const std::string& out, size_t from = 0) {
  size_t at = out.find("boundary=\"", from);
  return at == std::string::npos ? "" : out.substr(at + 10, 8);
}

TEST(EncodeHeaders, SimpleMessageByteForByte) {
  TmsMessage m;
  MakeAnn(m);
  TMemoryStream stream;
  stream.Assign(std::string(4096, 'x'));  // earlier content does not survive
  stream.Seek(0, TSeekOrigin::soEnd);
  m.SaveToStream(stream);
  EXPECT_EQ(stream.Bytes(), kAnnHeaders + kAnnPlain + Crlf({"line one", "line two"}));
}

// Address lines in columns, display names quoted where they need it, receipt and priority after
// them; BCC and stale copies of the encoder's own fields are never written.
TEST(EncodeHeaders, AddressAndFlagLines) {
  TmsMessage m;
  MakeAnn(m);
  m.Sender.Name = "Doe, John";
  m.Recipients.Clear();
  m.Recipients.AddAddress("r1@x", "John Q. Public");
  m.Recipients.AddAddress("r2@x", "");
  m.Recipients.AddAddress("r3@x", "Say \"Hi\" Jr.");
  m.CC.AddAddress("c@x", "\"Dr. Who\"");
  m.BCC.AddAddress("secret@x", "Hidden");
  m.Priority = ptHigh;
  m.ReturnReceipt = true;
  m.Headers = {"Bcc: secret@x", "Date: today", "BCC: other-secret@x", "To: stale@x"};
  const std::string out = Encode(m);
  EXPECT_EQ(
      out.substr(0, out.find("Subject:")),
      Crlf({"From:     \"Doe, John\" <A>", "To:       \"John Q. Public\" <r1@x>,",
            "           <r2@x>,", "          Say \"Hi\" Jr. <r3@x>", "CC:       \"Dr. Who\" <c@x>",
            "Return-Receipt-To: <A>", "X-Priority: 1", "Date: today"}));
  EXPECT_EQ(out.find("secret"), std::string::npos);
  EXPECT_EQ(out.find("stale"), std::string::npos);
  m.ReturnReceipt = false;
  for (auto [priority, lines] :
       {std::pair{ptLow, "<c@x>\r\nX-Priority: 5\r\nDate"}, {ptNormal, "<c@x>\r\nDate"}}) {
    m.Priority = priority;
    EXPECT_NE(Encode(m).find(lines), std::string::npos) << lines;
  }
}

TEST(EncodeHeaders, JisWordsOnlyForIso2022jpMime) {
  const std::string jis = "\x1b$B$3$s\x1b(B";  // two double-byte characters
  const std::string word = "=?ISO-2022-JP?B?" + Base64Encode(jis) + "?=";
  TmsMessage m;
  MakeAnn(m);
  m.CharSet = csISO2022jp;
  m.Sender.Name = jis + ".";  // a full stop does not keep the name from being encoded
  m.Subject = jis;
  std::string out = Encode(m);
  EXPECT_NE(out.find("From:     =?ISO-2022-JP?B?" + Base64Encode(jis + ".") + "?= <A>\r\n"),
            std::string::npos);
  EXPECT_NE(out.find("Subject: " + word + "\r\n"), std::string::npos);
  EXPECT_NE(out.find("charset=\"iso-2022-jp\""), std::string::npos);

  m.Encoding = meUU;
  out = Encode(m);
  EXPECT_NE(out.find("Subject: " + jis + "\r\n"), std::string::npos);
}

TEST(EncodeHeaders, OwnFieldsRemovedFromHeadersAndNoLineInjected) {
  TmsMessage m;
  MakeAnn(m);
  m.Subject = "Re: x\r\nBcc: victim@x";
  // Every field the encoder writes itself goes, with its continuation lines; a continuation
  // line without its field would join the To line.
  const TStringList headers = SplitLines(
      " orphan\nFrom: old@x\nReceived: by a\n  via b\nTo: t@x\n  u@x\nX-Priority: 3\n"
      "Content-Type: multipart/mixed;\n\tboundary=\"q\"\nMime-Version: 1.0\n"
      "Content-Type: text/html\nX-Encoding: 1\nSubject: old\nContent-Transfer-Encoding: base64\n"
      "\nReturn-Receipt-To: <old@x>\nCC: c@x");
  m.Headers.assign(headers.begin(), headers.end());
  const std::string out = Encode(m);
  EXPECT_EQ(out, Crlf({"From:     Ann <A>", "To:        <R>", "Received: by a", "  via b",
                       "Subject: Re: x  Bcc: victim@x"}) +
                     kAnnPlain + Crlf({"line one", "line two"}));
  EXPECT_EQ(m.Headers, (TmsHeaders{" orphan", "Received: by a", "  via b", ""}));
}

TEST(EncodeBody, LinesWrittenAsTheyAre) {
  TmsMessage m;
  MakeAnn(m);
  m.Body = {".", "..", "...", ".NET", ""};
  EXPECT_EQ(Encode(m), kAnnHeaders + kAnnPlain + Crlf({".", "..", "...", ".NET", ""}));
  EXPECT_EQ(m.Body, (TStringList{".", "..", "...", ".NET", ""}));

  TMemoryStream stream;
  TmsMessageEncoder encoder(m);
  encoder.Stream = &stream;
  encoder.WriteLine(".");
  encoder.WriteLine(std::string("ab\0cd", 5));
  encoder.WriteLine("");
  EXPECT_EQ(stream.Bytes(), Crlf({".", "ab", ""}));
}

TEST(EncodeBody, LongLineSwitchesToQuotedPrintable) {
  TmsMessage m;
  MakeAnn(m);
  m.Body = {std::string(256, 'a'), std::string(100, 'b'), "x=y"};
  const std::string a65 = std::string(65, 'a') + "=";
  EXPECT_EQ(
      Encode(m),
      kAnnHeaders +
          Crlf({"Mime-Version: 1.0", "Content-Type: text/plain; charset=\"us-ascii\"",
                "Content-Transfer-Encoding: quoted-printable", "", a65, a65, a65,
                std::string(61, 'a'), std::string(65, 'b') + "=", std::string(35, 'b'), "x=3Dy"}));

  m.Body = {std::string(255, 'a')};  // 255 is not long
  EXPECT_NE(Encode(m).find("7bit\r\n\r\n" + std::string(255, 'a') + "\r\n"), std::string::npos);

  m.CharSet = csISO8859;  // always quoted-printable
  m.Body = {"Caf\xe9"};
  EXPECT_NE(Encode(m).find("charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: quoted-printable"
                           "\r\n\r\nCaf=E9\r\n"),
            std::string::npos);
}

// A stored text/html type gets a layout of its own, every time, and leaves the body as it was;
// other stored types get the plain layout.
TEST(EncodeBody, StoredContentTypes) {
  for (std::string type :
       {"text/html", "text/enriched", "multipart/mixed", "multipart/alternative"}) {
    TmsMessage m;
    MakeAnn(m);
    m.Body = {"<p>a=b</p>"};
    m.SetContentType(type);
    const std::string first = Encode(m);
    EXPECT_EQ(first, kAnnHeaders + (type == "text/html"
                                        ? Crlf({"Mime-Version: 1.0", "Content-Type: text/html",
                                                "Content-Transfer-Encoding: quoted-printable", "",
                                                "<p>a=3Db</p>"})
                                        : kAnnPlain + Crlf({"<p>a=b</p>"})))
        << type;
    EXPECT_EQ(m.Body, TStringList{"<p>a=b</p>"});
    EXPECT_EQ(Encode(m), first);
  }
}

TEST(EncodeAttachments, BodyAndOneBase64Attachment) {
  TmsMessage m;
  MakeAnn(m);
  m.Body = {"see attached"};
  const std::string data(57, '\xff');
  Attach(m, "/home/ann/../pics/p.png", "image/png", aeBase64, data);
  const std::string out = Encode(m);
  const std::string b = BoundaryIn(out);
  EXPECT_EQ(out, kAnnHeaders + Crlf({"Mime-Version: 1.0",
                                     "Content-Type: multipart/mixed; boundary=\"" + b + "\"",
                                     "",
                                     "This is a multipart message in MIME format",
                                     "",
                                     "--" + b,
                                     "Content-Type: text/plain; charset=\"us-ascii\"",
                                     "Content-Transfer-Encoding: 7bit",
                                     "",
                                     "see attached",
                                     "",
                                     "--" + b,
                                     "Content-Type: image/png; name=\"p.png\"",
                                     "Content-Transfer-Encoding: Base64",
                                     "Content-Disposition: attachment; filename=\"p.png\"",
                                     "",
                                     std::string(76, '/'),
                                     "",
                                     "",
                                     "--" + b + "--"}));
}

TEST(EncodeAttachments, DataByTransferEncoding) {
  struct Case {
    TAttEncoding encoding;
    std::string data, lines, name;
  } cases[] = {
      {aeSevenBit, "a\r\nb\rc\nd\r\n", Crlf({"a", "b", "c", "d"}), "7 bit"},
      {aeSevenBit, ".\n", Crlf({"."}), "7 bit"},
      {aeBase64, std::string(58, '\xff'), Crlf({std::string(76, '/'), "/w=="}), "Base64"},
      {aeBase64, "", Crlf({""}), "Base64"},
      {aeQuotedPrintable, "x=\xe9\r\n", Crlf({"x=3D=E9"}), "Quoted-Printable"},
  };
  for (const Case& c : cases) {
    TmsMessage m;
    MakeAnn(m);
    m.Body.clear();
    Attach(m, "C:\\Users\\ann\\f.bin", "application/x-test", c.encoding, c.data);
    EXPECT_EQ(Encode(m),
              kAnnHeaders +
                  Crlf({"Mime-Version: 1.0", "Content-Type: application/x-test; name=\"f.bin\"",
                        "Content-Transfer-Encoding: " + c.name,
                        "Content-Disposition: attachment; filename=\"f.bin\"", ""}) +
                  c.lines)
        << c.name;
  }
}

TEST(EncodeAttachments, BodyFileIsTheBody) {
  TmsMessage m;
  MakeAnn(m);
  m.Body.clear();
  Attach(m, "_HtmBody.htm", "text/html", aeQuotedPrintable, "<b>hi</b>");
  EXPECT_EQ(Encode(m),
            kAnnHeaders + Crlf({"Mime-Version: 1.0", "Content-Type: text/html",
                                "Content-Transfer-Encoding: Quoted-Printable", "", "<b>hi</b>="}));
}

TEST(EncodeAttachments, QuoteInFileNameCannotEndTheParameter) {
  TmsMessage m;
  MakeAnn(m);
  Attach(m, "a\".exe", "application/octet-stream", aeBase64, "z");
  const std::string out = Encode(m);
  EXPECT_NE(out.find("; name=\"a_.exe\"\r\n"), std::string::npos);
  EXPECT_NE(out.find("; filename=\"a_.exe\"\r\n"), std::string::npos);
}

TEST(EncodeAttachments, NestedAlternativeInsideMixed) {
  TmsMessage m;
  MakeAnn(m);
  m.Body = {"plain"};
  Attach(m, "_alt.0", "text/html", aeQuotedPrintable, "<p>x</p>");
  Attach(m, "r.pdf", "application/pdf", aeBase64, "abc");
  const std::string out = Encode(m);
  const std::string b = BoundaryIn(out);
  const std::string inner = BoundaryIn(out, out.find(b) + 8);
  EXPECT_NE(b, inner);
  // The full layout of a mixed message is pinned above: here the alternative part within it.
  const std::string alternative =
      Crlf({"--" + b, "Content-Type:  multipart/alternative; boundary=\"" + inner + "\"",
            "Content-Transfer-Encoding: 7bit", "", "--" + inner,
            "Content-Type: text/plain; charset=\"us-ascii\"", "Content-Transfer-Encoding: 7bit", "",
            "plain", "", "--" + inner, "Content-Type: text/html",
            "Content-Transfer-Encoding: Quoted-Printable", "",
            "<p>x</p>=",  // no final line end: a soft break
            "", "--" + inner + "--", "--" + b, "Content-Type: application/pdf; name=\"r.pdf\""});
  EXPECT_NE(out.find(alternative), std::string::npos) << out;
}

TEST(EncodeAttachments, AlternativeMessage) {
  TmsMessage m;
  MakeAnn(m);
  m.Body = {"plain"};
  Attach(m, "_ALT.0", "text/html", aeSevenBit, "<p>x</p>");
  const std::string out = Encode(m);
  const std::string b = BoundaryIn(out);
  EXPECT_NE(out.find("Content-Type: multipart/alternative; boundary=\"" + b + "\"\r\n"),
            std::string::npos);
  EXPECT_NE(
      out.find(Crlf({"plain", "", "--" + b, "Content-Type: text/html",
                     "Content-Transfer-Encoding: 7 bit", "", "<p>x</p>", "", "--" + b + "--"})),
      std::string::npos)
      << out;
}

TEST(EncodeUU, BodyThenBeginBlocksWithoutMimeLines) {
  TmsMessage m;
  MakeAnn(m);
  m.Encoding = meUU;
  const std::string data(46, 'q');
  Attach(m, "dir/f.txt", "text/plain", aeQuotedPrintable, data);
  EXPECT_EQ(Encode(m), kAnnHeaders + Crlf({"", "line one", "line two", "", "begin 600 f.txt",
                                           UUEncodeLine(data.substr(0, 45)),
                                           UUEncodeLine(data.substr(45)), "`", "end"}));
}

TEST(EncodeArticle, NewsHeaders) {
  TmsArticle a;
  a.Sender.Name = "J. Doe";
  a.Sender.Address = "j@x";
  a.NewsGroups = "comp.lang";
  a.Subject = "Q";
  a.Headers = {"Newsgroups: old.group", "Path: p"};
  a.Body = {"b"};
  EXPECT_EQ(Encode(a),
            Crlf({"From:     J. Doe <j@x>", "Newsgroups: comp.lang", "Path: p", "Subject:  Q",
                  "Mime-Version: 1.0", "Content-Type: text/plain; charset=\"us-ascii\"",
                  "Content-Transfer-Encoding: 7bit", "", "b"}));
}

}  // namespace
}  // namespace norva
