// The message decoder, the HTML text rendering and the transfer codecs.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "mail/mshtml.h"
#include "mail/msmsgcls.h"
#include "mail/mspars.h"
#include "mail/msuucode.h"
#include "store/Pump.h"
#include "support/Helpers.h"

namespace norva {
namespace {

using testing::Crlf;

void Load(TmsCustomMessage& message, const std::string& raw) {
  TMemoryStream stream;
  stream.Assign(raw);
  message.LoadFromStream(stream);
}

TStringList Names(const TmsMessage& m) {
  TStringList names;
  for (int i = 0; i < m.Attachments.Count(); ++i)
    names.push_back(m.Attachments.Items(i).FileName());
  return names;
}

std::string QPDecode(TStringList lines) {
  TMemoryStream out;
  TQuotedPrintable(out, lines).Decode();
  return out.Bytes();
}

// ---- codecs ----

TEST(CodecBase64, KnownValuesRoundTripAndForeignCharacters) {
  const std::pair<std::string, std::string> table[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}};
  std::string all, decoded;
  for (auto& [plain, encoded] : table) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    Base64DecodeLine(encoded, decoded = "");
    EXPECT_EQ(decoded, plain) << encoded;
  }
  for (int c = 0; c < 256; ++c) all += char(c);
  Base64DecodeLine(Base64Encode(all), decoded = "");
  EXPECT_EQ(decoded, all);
  // Characters outside the alphabet are skipped; "=" ends a group, and pieces encoded one after
  // the other decode alike; an unpadded last group gives the whole bytes it carries.
  for (auto [line, bytes] : {std::pair{"Zm8", "fo"},
                             {"Zg", "f"},
                             {"Z", ""},
                             {"Zm9vYg", "foob"},
                             {"Zm9v!", "foo"},
                             {"Zm 9v", "foo"},
                             {"Zm9v\r", "foo"},
                             {"Zmé9v", "foo"},
                             {"Zm9v \r\nYmFy\t\r\n", "foobar"},
                             {"Zm9vZg==Zm8=Zm9v", "fooffofoo"}}) {
    Base64DecodeLine(line, decoded = "");
    EXPECT_EQ(decoded, bytes) << line;
  }
  Base64DecodeLine(std::string("Zm\0"
                               "9v",
                               5),
                   decoded = "");
  EXPECT_EQ(decoded, "foo");
}

TEST(CodecUU, RoundTripsEveryLengthAndPadsStrippedLines) {
  std::mt19937 random(7);
  for (size_t length = 0; length <= 45; ++length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) bytes += char(random());
    std::string line = UUEncodeLine(bytes);
    EXPECT_EQ(line.find(' '), std::string::npos) << "zero bits are written as grave accents";
    EXPECT_TRUE(IsUULine(line)) << line;
    std::string decoded;
    UUDecodeLine(line, decoded);
    EXPECT_EQ(decoded, bytes);
  }
  EXPECT_EQ(UUEncodeLine("Cat"), "#0V%T");
  // Trailing zero bits written as spaces and stripped in transport still count.
  std::string decoded;
  UUDecodeLine("#", decoded);
  EXPECT_EQ(decoded, std::string(3, '\0'));
  for (auto [line, valid] : {std::pair{"#0V%T", true},
                             {"#0V%TX", true},
                             {"#0V%", false},
                             {"`", true},
                             {"1. one", false},
                             {"", false},
                             {"#0v%T", false}})
    EXPECT_EQ(IsUULine(line), valid) << line;
}

TEST(CodecQuotedPrintable, DecodesText) {
  const std::pair<std::string, std::string> cases[] = {
      {"soft=\r\nbreak", "softbreak"},
      {"ends in =3D\r\nnext\r\n", "ends in =\r\nnext\r\n"},
      {"caf=E9 =c3=a9\nLF kept\n", "caf\xe9 \xc3\xa9\nLF kept\n"},
      {"kept: =G1 =4\r\na=\r\n", "kept: =G1 =4\r\na"},
      {"blank after soft =  \r\nx", "blank after soft x"},
      {"trailing  \r\n", "trailing  \r\n"},
      {"\r\n\r\n", "\r\n\r\n"},
      {"open at the end=", "open at the end"},
  };
  for (auto& [text, bytes] : cases) EXPECT_EQ(QuotedPrintableDecode(text), bytes) << text;
  // The line-list form, used on its own, ends every hard line with CR LF.
  EXPECT_EQ(QPDecode({"a=", "b", "caf=E9", "dos end=1A", "x"}),
            "ab\r\ncaf\xe9\r\ndos end\x1ax\r\n");
  // Paragraphs of any length (HTML mail has long soft-broken paragraphs).
  TStringList soft(1000, std::string(65, 'p') + "=");
  soft.push_back("end");
  EXPECT_EQ(QPDecode(soft), std::string(65000, 'p') + "end\r\n");
}

// ---- HTML as text ----

TEST(HtmlText, RendersWhatABrowserShows) {
  const std::pair<std::string, std::string> cases[] = {
      {"<html><head><title>T</title><style>p{color:red}</style></head><body><h1>Hello</h1><p>One "
       "&amp; two&nbsp;three</p><script>alert('x')</script>bye</body>",
       "Hello\n\nOne & two three\n\nbye"},
      {"a \r\n\t  b<br>c<br><br><br><br><br>d", "a b\nc\n\n\nd"},
      {"<pre>\n  x  y\n  z</pre>after", "  x  y\n  z\n\nafter"},
      {"<pre> \nx\n\n\n \t\n\n\ny</pre>", "x\n\n\ny"},  // lines of blanks are empty lines
      {"<ul><li>one<li>two<ul><li>deep</li></ul></li></ul><ol><li>a</li><li>b</li></ol>",
       "- one\n- two\n  - deep\n\n1. a\n2. b"},
      {"<a href=\"https://x.org/?a=1&amp;b=2\">Shop</a> <a href=\"https://x.org\">x.org</a> <a "
       "href=\"mailto:ann@x.org\">ann@x.org</a> <a href=\"#top\">top</a> <a href=y><img src=i></a>",
       "Shop <https://x.org/?a=1&b=2> x.org ann@x.org top"},
      {"<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>", "a b\nc"},
      {"&#233;&#xE9;&#150;&#0;&#x110000;&euro;&hellip; &foo; &amp &lt;b&gt; a < b",
       "\u00e9\u00e9\u2013\ufffd\ufffd\u20ac\u2026 &foo; & <b> a < b"},
      {"<!DOCTYPE html><!--[if mso]>hidden<![endif]--><?xml x?>text</br>", "text"},
      {"<span style=\"display: none\">preheader<span>x</span></span><div hidden>no</div>shown",
       "shown"},
      {"<td style=\"display:none\">never closed, so shown", "never closed, so shown"},
      {"<div>a</div><div>b</div><p>c</p><a href=\"https://u.org/\">open link",
       "a\nb\n\nc\n\nopen link <https://u.org/>"},
  };
  for (auto& [html, text] : cases) EXPECT_EQ(HtmlToText(html), text) << html;
  for (auto [html, charset] :
       {std::pair{"<meta charset=\"UTF-8\">", "utf-8"},
        {"<META http-equiv=Content-Type content=\"text/html; charset=windows-1252\">",
         "windows-1252"},
        {"<p>charset=koi8-r</p>", ""}})
    EXPECT_EQ(HtmlMetaCharset(html), charset) << html;
}

// ---- the decoder ----

const std::string kHead =
    Crlf({"From: =?utf-8?q?Ann_=C3=84ker?= <ann@example.org>",
          "To: Bob <bob@example.org>, p@example.org", "CC: z@example.org", "Subject: Test",
          "Date: Mon, 02 Feb 2026 10:00:00 +0100", "MIME-Version: 1.0"});

// A part as Python's email package writes one: its header lines, an empty line, its body.
std::string Part(std::initializer_list<std::string_view> headers, std::string_view body) {
  return Crlf(headers) + "\r\n" + std::string(body);
}

// A multipart: the header line, then each part after a delimiter line of its own boundary.
std::string Multi(std::string_view type, std::initializer_list<std::string> parts,
                  std::string_view params = "") {
  static int serial = 0;
  const std::string b = "===============" + std::to_string(++serial) + "==";
  std::string text = "Content-Type: " + std::string(type) + "; boundary=\"" + b + "\"" +
                     std::string(params) + "\r\n\r\n";
  for (const std::string& part : parts) text += "--" + b + "\r\n" + part + "\r\n";
  return text + "--" + b + "--\r\n";
}

std::string Text(std::string_view body, std::string_view charset = "utf-8",
                 std::string_view cte = "7bit", std::string_view subtype = "plain") {
  return Part(
      {"Content-Type: text/" + std::string(subtype) + "; charset=\"" + std::string(charset) + "\"",
       "Content-Transfer-Encoding: " + std::string(cte)},
      body);
}

std::string File(std::string_view type, std::string_view disposition, std::string_view bytes) {
  return Part({"Content-Type: " + std::string(type), "Content-Transfer-Encoding: base64",
               "Content-Disposition: " + std::string(disposition)},
              Base64Encode(bytes) + "\r\n");
}

const std::string kPng = std::string("\x89PNG\r\n\x1a\n\0\xff", 10);
const std::string kPdf = std::string("%PDF-1.4 \0\x80\xff", 12);

TEST(Decode, StructureAsMailIsWrittenToday) {
  struct Row {
    const char* what;
    std::string raw;
    TStringList body;
    std::string html;                                              // the start of Html
    std::vector<std::pair<std::string, std::string>> attachments;  // name, type
  } rows[] = {
      {"alternative of base64 and quoted-printable text",
       kHead +
           Multi("multipart/alternative",
                 {Text(Base64Encode("Grüße\nline 2\n"), "utf-8", "base64"),
                  Text("<p>Gr=C3=BC=C3=9Fe</p>=\r\n\r\n", "utf-8", "quoted-printable", "html")}),
       {"Grüße", "line 2"},
       "<p>Grüße</p>",
       {}},
      {"HTML only, Windows-1252",
       kHead +
           Text("<p>Caf=E9 =96 <b>5 =80</b></p>\r\n", "windows-1252", "quoted-printable", "html"),
       {"Café – 5 €"},
       "<p>Café",
       {}},
      {"mixed, alternative, related with an inline image; RFC 2231 name",
       kHead +
           Multi("multipart/mixed",
                 {Multi("multipart/alternative",
                        {Text("Plain\n"),
                         Multi("multipart/related",
                               {Text("<img src=cid:i1>\n", "utf-8", "7bit", "html"),
                                File("image/png", "inline; filename=\"bild.png\"", kPng)})}),
                  File("application/pdf",
                       "attachment;\r\n filename*=utf-8''%C3%9Cbersicht%20M%C3%A4rz.pdf", kPdf)}),
       {"Plain"},
       "<img",
       {{"bild.png", "image/png"}, {"Übersicht März.pdf", "application/pdf"}}},
      {"signed; the signature is an attachment",
       kHead + Multi("multipart/signed",
                     {Multi("multipart/alternative",
                            {Text("c2lnbmVkCg==\n", "utf-8", "base64"),
                             Text("<b>signed</b>\n", "utf-8", "7bit", "html")}),
                      Part({"Content-Type: application/pgp-signature; name=\"signature.asc\""},
                           "-----BEGIN PGP SIGNATURE-----\n")},
                     "; protocol=\"application/pgp-signature\""),
       {"signed"},
       "<b>signed",
       {{"signature.asc", "application/pgp-signature"}}},
      {"attached messages are named by filename, subject, or message.eml; a plain part that is no "
       "attachment stays an attachment, a text/html beside the body is its view",
       kHead + Multi("multipart/mixed",
                     {Text("See attached.\n"),
                      Part({"Content-Type: message/rfc822"},
                           Crlf({"Subject: =?koi8-r?b?8NLJ18XU?= a/b", "", "x"})),
                      Part({"Content-Type: message/rfc822",
                            "Content-Disposition: attachment; filename=\"fwd.eml\""},
                           "Subject: s\r\n\r\nx\r\n"),
                      Part({"Content-Type: message/rfc822"}, "\r\nno header\r\n"),
                      Text("second text\n"), Text("<p>more</p>", "utf-8", "7bit", "html")}),
       {"See attached."},
       "<p>more</p>",
       {{"Привет a_b.eml", "message/rfc822"},
        {"fwd.eml", "message/rfc822"},
        {"message.eml", "message/rfc822"},
        {"att.3", "text/plain"}}},
      {"a delivery report and a digest",
       kHead + Multi("multipart/report",
                     {Text("Delivery failed.\n"),
                      Part({"Content-Type: message/delivery-status"}, "Action: failed\r\n"),
                      Multi("multipart/digest", {Part({}, "Subject: one\r\n\r\n1\r\n")})},
                     "; report-type=delivery-status"),
       {"Delivery failed."},
       "",
       {{"att.0", "message/delivery-status"}, {"one.eml", "message/rfc822"}}},
      {"related with a start parameter; an attached text is not the body",
       kHead +
           Multi("multipart/mixed",
                 {Part({"Content-Type: text/plain",
                        "Content-Disposition: attachment; filename=\"notes.txt\""},
                       "notes"),
                  Multi("multipart/related",
                        {File("image/gif", "inline", "GIF89a"),
                         Part({"Content-Type: text/html", "Content-ID: <root@x>"}, "<i>root</i>")},
                        "; start=\"<root@x>\"")}),
       {"root"},
       "<i>root</i>",
       {{"notes.txt", "text/plain"}, {"att.1", "image/gif"}}},
      {"no closing boundary, and a part whose headers run straight into its text",
       kHead +
           Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain",
                 "body text", "--b", "Content-Type: text/plain; name=\"a.txt\"",
                 "Content-Disposition: attachment", "", "attached"}),
       {"body text"},
       "",
       {{"a.txt", "text/plain"}}},
      {"a multipart without its delimiter lines is text",
       kHead + Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--other", "text"}),
       {"--other", "text"},
       "",
       {}},
      {"KOI8-R in base64",
       kHead + Text(Base64Encode("\xf0\xd2\xc9\xd7\xc5\xd4"), "KOI8-R", "base64"),
       {"Привет"},
       "",
       {}},
      {"ISO-2022-JP", kHead + Text("\x1b$B$3$s\x1b(B\r\n", "iso-2022-jp"), {"こん"}, "", {}},
      {"not MIME: 8-bit text is Windows-1252 unless it is UTF-8",
       Crlf({"From: a@b", "",
             "Gr\xfc\xdf"
             "e",
             "Grüße"}),
       {"Grüße", "Grüße"},
       "",
       {}},
      {"text around uuencoded files stays; begin lines that start none are text",
       Crlf({"From: a@b", "", "Begin 2026 with a clear plan:", "begin 644 plan.txt", "1. one", "",
             "begin 0644 \"my file.bin\"", UUEncodeLine("Cat"), "`", "end", "after",
             "begin 600 b.gif", UUEncodeLine(kPng), "end"}),
       {"Begin 2026 with a clear plan:", "begin 644 plan.txt", "1. one", "after"},
       "",
       {{"my file.bin", "application/octet-stream"}, {"b.gif", "image/gif"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TmsMessage m;
    Load(m, row.raw);
    EXPECT_EQ(m.Body, row.body);
    EXPECT_TRUE(m.Html.starts_with(row.html) && m.Html.empty() == row.html.empty()) << m.Html;
    std::vector<std::pair<std::string, std::string>> attachments;
    for (int i = 0; i < m.Attachments.Count(); ++i)
      attachments.emplace_back(m.Attachments.Items(i).FileName(),
                               m.Attachments.Items(i).ContentType);
    EXPECT_EQ(attachments, row.attachments);
    EXPECT_EQ(m.Original, row.raw);
  }
}

// Attachments hold their bytes exactly: no line end is added or lost, whatever the encoding,
// the line ends of the message or a missing closing delimiter.
TEST(Decode, AttachmentsAreByteExact) {
  const std::string binary = kPdf + std::string(300, '\xee');
  struct Row {
    std::string part, bytes;
    TAttEncoding stored;
  } rows[] = {
      {Part({"Content-Type: text/plain; name=n.txt"}, "line one\r\nline two"),
       "line one\r\nline two", aeSevenBit},
      {Part({"Content-Type: text/plain; name=n.txt"}, "ends in a line end\r\n"),
       "ends in a line end\r\n", aeSevenBit},
      {Part({"Content-Type: text/plain; name=n.txt", "Content-Transfer-Encoding: quoted-printable"},
            "a=3D\r\nb=\r\nc"),
       "a=\r\nbc", aeQuotedPrintable},
      {Part({"Content-Type: application/pdf; name=n.pdf", "Content-Transfer-Encoding: base64"},
            Base64Encode(binary).insert(40, " \t\r\n") + " \r\n"),
       binary, aeBase64},
      {Part({"Content-Type: application/pdf; name=n.pdf", "Content-Transfer-Encoding: binary"},
            binary),
       binary, aeBase64},
      {Part({"Content-Type: application/octet-stream; name=n.bin",
             "Content-Transfer-Encoding: x-uuencode"},
            Crlf({"begin 644 n.bin", UUEncodeLine(kPng), "`", "end"})),
       kPng, aeBase64},
  };
  // Each as it is, with LF line ends, and without the closing delimiter.
  for (const Row& row : rows) {
    for (const int form : {0, 1, 2}) {
      std::string raw = kHead + Multi("multipart/mixed", {Text("body\n"), row.part});
      std::string bytes = row.bytes;
      if (form == 2) raw.resize(raw.rfind("--="));
      if (form == 1) {
        for (std::string* text : {&raw, &bytes})
          for (size_t at; (at = text->find("\r\n")) != std::string::npos;) text->erase(at, 1);
        if (row.stored == aeBase64) bytes = row.bytes;  // encoded: its line ends are data
      }
      TmsMessage m;
      Load(m, raw);
      ASSERT_EQ(Names(m).size(), 1u) << raw;
      EXPECT_EQ(m.Attachments.Items(0).Data.Bytes(), bytes) << raw;
      EXPECT_EQ(m.Attachments.Items(0).TransferEncoding, row.stored) << raw;
      EXPECT_EQ(m.Body, TStringList{"body"});
    }
  }
}

// The model is filled afresh by every load; a failure while decoding one part keeps the others,
// explains itself in the body and attaches the original message.
TEST(Decode, LoadsAfreshAndRecoversFromFailures) {
  const std::string raw =
      kHead +
      Multi("multipart/mixed", {Text("body\n"), File("image/png", "inline; filename=a.png", kPng),
                                File("image/png", "inline; filename=b.png", kPng)});
  TmsMessage m;
  Load(m, raw);
  Load(m, raw);
  EXPECT_EQ(m.Sender.Name, "Ann Äker");
  EXPECT_EQ(m.Recipients.Count(), 2);
  EXPECT_EQ(m.CC.Count(), 1);
  EXPECT_EQ(Names(m), (TStringList{"a.png", "b.png"}));
  int pumped = 0;
  SetMessagePump([&] {
    if (++pumped == 2) throw Exception("the part could not be read");
  });
  Load(m, raw);
  SetMessagePump({});
  EXPECT_EQ(
      m.Body,
      (TStringList{"body", "The following error has been occured while processing the message:",
                   "the part could not be read",
                   "The original message will be stored as an attachment"}));
  EXPECT_EQ(Names(m), (TStringList{"original.eml", "b.png"}));
  EXPECT_EQ(m.Attachments.Items(0).Data.Bytes(), raw);
}

// Hostile shapes: deep nesting, many tiny parts, many short lines. Each load ends soon and
// keeps no more than a few times the message size.
TEST(Decode, HostileMessagesStaySmallAndQuick) {
  std::string deep = kHead;
  for (int i = 0; i < 2000; ++i)
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  std::string parts = kHead + "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 200000; ++i) parts += "--b\r\n";
  const std::string rows[] = {
      deep, parts, kHead + "\r\n" + std::string(1 << 20, '\n'),
      kHead + "Content-Type: text/html\r\n\r\n" +
          [] {
            std::string html;
            for (int i = 0; i < 200000; ++i) html += "<br>x";
            return html;
          }(),
      [] {
        std::string uu = Crlf({"From: a@b", "", "begin 644 a", UUEncodeLine("Cat")});
        for (int i = 0; i < 300000; ++i) uu += "M\r\n";  // stripped lines of 45 zero bytes
        return uu;
      }()};
  for (const std::string& raw : rows) {
    const auto start = std::chrono::steady_clock::now();
    auto heap = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    const size_t before = heap();
    auto m = std::make_unique<TmsMessage>();
    Load(*m, raw);
    // (Sanitizer builds keep their own heap, which mallinfo2 does not see.)
    const int64_t held = int64_t(heap()) - int64_t(before);
    EXPECT_LT(held, int64_t(raw.size() * 6 + (4u << 20))) << raw.substr(0, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  TmsMessage m;
  Load(m, deep);
  EXPECT_EQ(Names(m), TStringList{"att.0"});  // the multipart nested too deep, kept whole
  EXPECT_EQ(m.Attachments.Items(0).ContentType.str(), "message/rfc822");
}

// Mutated multipart messages: every load ends quickly, with a message or a norva::Exception.
TEST(Decode, MutatedMessagesNeverHangOrCrash) {
  const std::string seed =
      kHead +
      "Content-Type: multipart/mixed; boundary=\"XX\"\n\n--XX\nContent-Type: "
      "multipart/alternative; boundary=YY\n\n--YY\nContent-Transfer-Encoding: "
      "quoted-printable\n\nsoft=\nline =3D\n--YY\nContent-Type: text/html\n\n<b>x</b><ul><li>a<a "
      "href=x>y</a></ul>&#x41;\n--YY--\n--XX\nContent-Type: application/zip; "
      "name=\"a.zip\"\nContent-Transfer-Encoding: "
      "base64\n\nBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcH\n--XX\nContent-"
      "Transfer-Encoding: x-uuencode\n\nbegin 644 "
      "u.bin\n'=74@9&%T80``\n`\nend\n--XX\nContent-Type: message/rfc822\n\nSubject: "
      "=?utf-8?q?x?=\n\nx\n--XX--\n";
  const char* const pieces[] = {"\r\n",  "\n",       "\r",          "--XX",     "--XX--",
                                "--YY",  "--YY--",   "begin 644 x", "\r\n\r\n", "\xff\xff",
                                "<pre>", "<script>", "&#",          "<li>"};
  std::mt19937 random(2024);
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 3000; ++round) {
    std::string raw = seed;
    for (int edits = 1 + int(random() % 4); edits > 0; --edits) {
      size_t at = random() % (raw.size() + 1);
      int kind = int(random() % 4);
      if (kind == 0) raw.resize(at);
      if (kind == 1) raw.erase(at, random() % 40);
      if (kind == 2) raw.insert(at, pieces[random() % std::size(pieces)]);
      if (kind == 3 && !raw.empty()) raw[at % raw.size()] = char(random());
    }
    TmsMessage m;
    try {
      Load(m, raw);
    } catch (const Exception&) {
      continue;
    }
    int64_t total = 0;
    for (int i = 0; i < m.Attachments.Count(); ++i) total += m.Attachments.Items(i).Data.Size();
    EXPECT_LE(total, int64_t(raw.size()));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace norva
