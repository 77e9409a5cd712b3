// The message encoder: header block, address layout, body layouts, attachment data.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mail/msmime.h"
#include "mail/msmsgcls.h"
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
// The MIME lines of a single-part message.
std::string Mime(const std::string& type, const std::string& encoding) {
  return Crlf({"Mime-Version: 1.0", "Content-Type: " + type,
               "Content-Transfer-Encoding: " + encoding, ""});
}
const std::string kAnnPlain = Mime("text/plain; charset=\"us-ascii\"", "7bit");

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

// Body lines go out as they are: the SMTP client does the dot-stuffing.
TEST(EncodeHeaders, SimpleMessageByteForByte) {
  TmsMessage m;
  MakeAnn(m);
  m.Body = {".", "..", "...", ".NET", ""};
  TMemoryStream stream;
  stream.Assign(std::string(4096, 'x'));  // earlier content does not survive
  stream.Seek(0, TSeekOrigin::soEnd);
  m.SaveToStream(stream);
  EXPECT_EQ(stream.Bytes(), kAnnHeaders + kAnnPlain + Crlf({".", "..", "...", ".NET", ""}));
  EXPECT_EQ(m.Body, (TStringList{".", "..", "...", ".NET", ""}));

  TmsMessageEncoder encoder(m);
  encoder.Stream = &stream;
  stream.Assign("");
  encoder.WriteLine(".");
  encoder.WriteLine(std::string("ab\0cd", 5));  // cut at a NUL byte
  encoder.WriteLine("");
  EXPECT_EQ(stream.Bytes(), Crlf({".", "ab", ""}));
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
  TmsMessage m;
  MakeAnn(m);
  m.CharSet = csISO2022jp;
  m.Sender.Name = jis + ".";  // a full stop does not keep the name from being encoded
  m.Subject = jis;
  std::string out = Encode(m);
  EXPECT_NE(out.find("From:     =?ISO-2022-JP?B?GyRCJDMkcxsoQi4=?= <A>\r\n"), std::string::npos);
  EXPECT_NE(out.find("Subject: =?ISO-2022-JP?B?GyRCJDMkcxsoQg==?=\r\n"), std::string::npos);
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

// Encoding gives the expected bytes, the same every time, and leaves the body as it was.
void ExpectEncoded(TmsMessage& m, const std::string& expected) {
  const TStringList body = m.Body;
  const std::string first = Encode(m);
  EXPECT_EQ(first, kAnnHeaders + expected);
  EXPECT_EQ(Encode(m), first);
  EXPECT_EQ(m.Body, body);
}

TEST(EncodeBody, Layouts) {
  const std::string ascii = "text/plain; charset=\"us-ascii\"", a65 = std::string(65, 'a') + "=";
  const std::string plain = Mime(ascii, "7bit") + "<p>a=b</p>\r\n";
  struct Case {
    TStringList body;
    TCharSet charset;
    std::string storedType, expected;  // expected: what follows the address lines
  } cases[] = {
      // A line over 255 characters switches the body to quoted-printable.
      {{std::string(256, 'a'), std::string(100, 'b'), "x=y"}, csUSASCII, "",
       Mime(ascii, "quoted-printable") + Crlf({a65, a65, a65, std::string(61, 'a'),
                                               std::string(65, 'b') + "=", std::string(35, 'b'),
                                               "x=3Dy"})},
      {{std::string(255, 'a')}, csUSASCII, "",  // 255 is not long
       Mime(ascii, "7bit") + std::string(255, 'a') + "\r\n"},
      {{"Caf\xe9"}, csISO8859, "",  // ISO 8859-1 is always quoted-printable
       Mime("text/plain; charset=\"iso-8859-1\"", "quoted-printable") + "Caf=E9\r\n"},
      // A stored text/html type gets a layout of its own; other stored types the plain one.
      {{"<p>a=b</p>"}, csUSASCII, "text/html",
       Mime("text/html", "quoted-printable") + "<p>a=3Db</p>\r\n"},
      {{"<p>a=b</p>"}, csUSASCII, "text/enriched", plain},
      {{"<p>a=b</p>"}, csUSASCII, "multipart/mixed", plain},
      {{"<p>a=b</p>"}, csUSASCII, "multipart/alternative", plain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    TmsMessage m;
    MakeAnn(m);
    m.Body = c.body;
    m.CharSet = c.charset;
    if (!c.storedType.empty()) m.SetContentType(c.storedType);
    ExpectEncoded(m, c.expected);
  }
}

// A lone attachment is the whole message; the body file is the body, with no name of its own.
TEST(EncodeAttachments, LoneAttachment) {
  const auto file = [](const std::string& type, const std::string& name, const std::string& cte) {
    return Crlf({"Mime-Version: 1.0", "Content-Type: " + type + "; name=\"" + name + "\"",
                 "Content-Transfer-Encoding: " + cte,
                 "Content-Disposition: attachment; filename=\"" + name + "\"", ""});
  };
  const std::string bin = "C:\\Users\\ann\\f.bin", test = "application/x-test";
  struct Case {
    std::string name, type;
    TAttEncoding encoding;
    std::string data, expected;
  } cases[] = {
      {bin, test, aeSevenBit, "a\r\nb\rc\nd\r\n",
       file(test, "f.bin", "7 bit") + Crlf({"a", "b", "c", "d"})},
      {bin, test, aeSevenBit, ".\n", file(test, "f.bin", "7 bit") + ".\r\n"},
      {bin, test, aeBase64, std::string(58, '\xff'),
       file(test, "f.bin", "Base64") + Crlf({std::string(76, '/'), "/w=="})},
      {bin, test, aeBase64, "", file(test, "f.bin", "Base64") + "\r\n"},
      {bin, test, aeQuotedPrintable, "x=\xe9\r\n",
       file(test, "f.bin", "Quoted-Printable") + "x=3D=E9\r\n"},
      // A quote in the file name cannot end the parameter.
      {"a\".exe", "application/octet-stream", aeBase64, "z",
       file("application/octet-stream", "a_.exe", "Base64") + "eg==\r\n"},
      {"_HtmBody.htm", "text/html", aeQuotedPrintable, "<b>hi</b>",
       Mime("text/html", "Quoted-Printable") + "<b>hi</b>=\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + c.data);
    TmsMessage m;
    MakeAnn(m);
    m.Body.clear();
    Attach(m, c.name, c.type, c.encoding, c.data);
    ExpectEncoded(m, c.expected);
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
  EXPECT_EQ(out,
            kAnnHeaders +
                Crlf({"Mime-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"" + b + "\"",
                      "", "This is a multipart message in MIME format", ""}) +
                Crlf({"--" + b, "Content-Type: text/plain; charset=\"us-ascii\"",
                      "Content-Transfer-Encoding: 7bit", "", "see attached", ""}) +
                Crlf({"--" + b, "Content-Type: image/png; name=\"p.png\"",
                      "Content-Transfer-Encoding: Base64",
                      "Content-Disposition: attachment; filename=\"p.png\"", "",
                      std::string(76, '/'), "", "", "--" + b + "--"}));
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
  Attach(m, "dir/f.txt", "text/plain", aeQuotedPrintable, std::string(46, 'q'));
  std::string full = "M";
  for (int i = 0; i < 15; ++i) full += "<7%Q";
  EXPECT_EQ(Encode(m), kAnnHeaders + Crlf({"", "line one", "line two", "", "begin 600 f.txt", full,
                                           "!<0``", "`", "end"}));
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
