// The message encoder: header forms (encoded words, folding, parameters, Date, Message-ID, reply
// fields), text bodies and their transfer encodings, attachments, the MIME structure, the
// quoted-printable encoder, the uuencoded layout and news articles.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>

#include "mail/msmime.h"
#include "mail/msmsgcls.h"
#include "mail/msuucode.h"
#include "support/Helpers.h"

namespace norva {
namespace {

using testing::Crlf;
using Lines = std::vector<std::string>;

std::string Encode(TmsCustomMessage& message, bool eightBit = false) {
  TMemoryStream stream;
  message.EightBitTransport = eightBit;
  message.SaveToStream(stream);
  return stream.Bytes();
}

// Ann writes to R; Date and Message-ID are given, so that the output is fixed.
void MakeAnn(TmsMessage& m) {
  m.Sender.Name = "Ann";
  m.Sender.Address = "ann@a.test";
  m.Recipients.AddAddress("r@r.test", "");
  m.Subject = "Hi";
  m.Body = {"line one", "line two"};
  m.Headers = {"Date: Tue, 03 Mar 2026 14:05:09 +0100", "Message-ID: <1@a.test>"};
}

const std::string kAnnHeaders =
    Crlf({"From:     Ann <ann@a.test>", "To:        <r@r.test>",
          "Date: Tue, 03 Mar 2026 14:05:09 +0100", "Message-ID: <1@a.test>", "Subject: Hi"});

TmsAttItem& Attach(TmsCustomMessage& m, const std::string& name, const std::string& type,
                   TAttEncoding encoding, const std::string& data) {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(name);
  if (!type.empty()) item->ContentType = type;
  item->TransferEncoding = encoding;
  item->Data.Assign(data);
  TmsAttItem& result = *item;
  m.Attachments.Add(std::move(item));
  return result;
}

// The header block's lines, and the value of a field with its folds undone.
Lines HeaderLines(const std::string& out) {
  Lines lines;
  for (const std::string& line : SplitLines(out.substr(0, out.find("\r\n\r\n"))))
    lines.push_back(line);
  return lines;
}
std::string Unfolded(std::string out, const std::string& field) {
  out = "\r\n" + out;
  const size_t at = out.find("\r\n" + field + ":");
  if (at == std::string::npos) return "";
  std::string value;
  for (size_t pos = at + field.size() + 3;; pos += 2) {
    const size_t end = out.find("\r\n", pos);
    value += out.substr(pos, end - pos);
    pos = end;
    if (out[end + 2] != ' ' && out[end + 2] != '\t') break;
  }
  return value;
}

// Every line of the output within the limits of its kind: header lines at most 78 characters
// unless a single token is longer, body lines at most 998, quoted-printable lines at most 76.
void ExpectLineLimits(const std::string& out) {
  bool quoted = false, header = true;
  for (const std::string& line : SplitLines(out)) {
    if (line.empty()) header = false;
    if (line.starts_with("Content-Transfer-Encoding:")) quoted = line.ends_with("quoted-printable");
    if (line.starts_with("--")) header = true;
    const bool oneToken = line.find(' ', 1) == std::string::npos;
    if (header && !oneToken) {
      EXPECT_LE(line.size(), kHeaderFoldAt) << line;
    }
    EXPECT_LE(line.size(), kMaxBodyLine) << line;
    if (!header && quoted) {
      EXPECT_LE(line.size(), kQuotedPrintableLine) << line;
    }
  }
}

// ---- header forms ----

// Text that needs them goes out as utf-8 encoded words of at most 75 characters, folded at 78,
// and reads back as it was; other text as it stands, folded at its blanks.
TEST(EncodeHeaders, SubjectsAndNamesAsEncodedWords) {
  const std::string cyrillic =
      "\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82 \xd0\xbe \xd0\xbf\xd1\x80\xd0\xbe\xd0\xb4\xd0\xb0"
      "\xd0\xb6\xd0\xb0\xd1\x85 \xd0\xb7\xd0\xb0 \xd1\x82\xd1\x80\xd0\xb5\xd1\x82\xd0\xb8\xd0\xb9 "
      "\xd0\xba\xd0\xb2\xd0\xb0\xd1\x80\xd1\x82\xd0\xb0\xd0\xbb";
  const std::string emoji = "Party \xf0\x9f\x8e\x89\xf0\x9f\x8e\x89\xf0\x9f\x8e\x89 tonight";
  struct Case {
    std::string text, expectStart, decoded;  // decoded: "" for text itself
    TCharSet charset = csUSASCII;
  } cases[] = {
      {"Plans", "Plans", ""},
      {std::string(50, 'a') + " " + std::string(40, 'b') + "  c", "aaaa", ""},  // folded at a blank
      {"Gr\u00fc\u00dfe aus M\xc3\xbcnchen", "=?utf-8?B?R3LDvMOfZSBhdXMgTcO8bmNoZW4=?=", ""},
      {"Caf\xc3\xa9 au lait avec Zo\xc3\xab", "=?utf-8?Q?Caf=C3=A9_au_lait_avec_Zo=C3=AB?=", ""},
      {cyrillic + " " + cyrillic, "=?utf-8?B?", ""},
      {emoji + emoji + emoji, "=?utf-8?", ""},
      {"not =?us-ascii?Q?a_word?= here", "=?utf-8?", ""},  // read as text
      {"Caf\xe9 cr\xe8me", "=?utf-8?", "Caf\xc3\xa9 cr\xc3\xa8me"},
      {"\x1b$B$3$s\x1b(B", "=?utf-8?B?", "\xe3\x81\x93\xe3\x82\x93", csISO2022jp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string want = c.decoded.empty() ? c.text : c.decoded;
    TmsMessage m;
    MakeAnn(m);
    m.CharSet = c.charset;
    m.Subject = c.text;
    m.Sender.Name = c.text;
    m.CC.AddAddress("c@c.test", c.text);
    const std::string out = Encode(m);
    ExpectLineLimits(out);
    for (const std::string field : {"Subject", "From", "CC"}) {
      std::string value = Unfolded(out, field);
      if (field != "Subject") value = value.substr(0, value.rfind(" <"));
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      EXPECT_TRUE(value.starts_with(c.expectStart)) << field << ": " << value;
      EXPECT_EQ(DecodeHeaderText(value), want) << field;
    }
    const std::regex word(R"(=\?[^ ]*\?=)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), word); it != std::sregex_iterator();
         ++it)
      EXPECT_LE(it->length(), kMaxEncodedWord) << it->str();
  }
}

// Address lines in columns, display names quoted where they need it, receipt and priority after
// them; BCC, stale copies of the encoder's own fields and line breaks in texts never go out.
TEST(EncodeHeaders, AddressLinesFlagsAndOwnFields) {
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
  m.Subject = "Re: x\r\nBcc: victim@x";
  const TStringList stale = SplitLines(
      " orphan\nBcc: secret@x\nFrom: old@x\nReceived: by a\n  via b\nTo: stale@x\n  u@x\n"
      "X-Priority: 3\nContent-Type: multipart/mixed;\n\tboundary=\"q\"\nMime-Version: 1.0\n"
      "Content-Disposition: inline\nSubject: old\nContent-Transfer-Encoding: base64\n\nCC: c@x");
  m.Headers.insert(m.Headers.begin(), stale.begin(), stale.end());
  const std::string out = Encode(m);
  EXPECT_EQ(
      HeaderLines(out),
      (Lines{"From:     \"Doe, John\" <ann@a.test>", "To:       \"John Q. Public\" <r1@x>,",
             "           <r2@x>,", "          Say \"Hi\" Jr. <r3@x>", "CC:       \"Dr. Who\" <c@x>",
             "Return-Receipt-To: <ann@a.test>", "X-Priority: 1", "Received: by a", "  via b",
             "Date: Tue, 03 Mar 2026 14:05:09 +0100", "Message-ID: <1@a.test>",
             "Subject: Re: x  Bcc: victim@x", "Mime-Version: 1.0",
             "Content-Type: text/plain; charset=\"us-ascii\"; format=\"flowed\"",
             "Content-Transfer-Encoding: 7bit"}));
  for (auto [priority, line] : {std::pair{ptLow, "X-Priority: 5\r\n"}, {ptNormal, "X-Priority"}}) {
    m.Priority = priority;
    EXPECT_EQ(Encode(m).find(line) != std::string::npos, priority == ptLow) << line;
  }
}

// Date and Message-ID are added once, to the message itself, so that saving it again writes the
// same message; fields already there stay.
TEST(EncodeHeaders, DateAndMessageIdWhereMissing) {
  EXPECT_EQ(FormatMailDate(EncodeDateTime(2026, 3, 3, 14, 5, 9)).substr(0, 26),
            "Tue, 03 Mar 2026 14:05:09 ");
  EXPECT_TRUE(std::regex_match(FormatMailDate(EncodeDateTime(2024, 2, 29)),
                               std::regex(R"(Thu, 29 Feb 2024 00:00:00 [+-]\d{4})")));
  const std::regex id(R"(<[0-9a-f]{32}@([^>]+)>)");
  std::smatch match;
  for (auto [address, domain] : {std::pair{"ann@mail.example.org", "mail.example.org"},
                                 {"ann", "norva.invalid"},
                                 {"ann@bad..domain", "norva.invalid"}}) {
    const std::string made = MakeMessageID(address);
    ASSERT_TRUE(std::regex_match(made, match, id)) << made;
    EXPECT_EQ(match[1], domain);
  }
  EXPECT_NE(MakeMessageID("a@b"), MakeMessageID("a@b"));

  TmsMessage m;
  MakeAnn(m);
  m.Headers = {"Date: ", "X-Mailer: N o r v a"};  // an empty Date is none
  const std::string first = Encode(m);
  EXPECT_EQ(Encode(m), first);
  EXPECT_TRUE(std::regex_search(first, std::regex("\r\nX-Mailer: N o r v a\r\nDate: \\w{3}, "
                                                  "\\d\\d \\w{3} \\d{4} [0-9:]{8} [+-]\\d{4}\r\n"
                                                  "Message-ID: <[0-9a-f]{32}@a.test>\r\n")))
      << first;
  // A message read from somewhere keeps the identity it has, or none.
  TmsMessage read;
  MakeAnn(read);
  read.Headers.clear();
  read.Original = "From: ann@a.test\r\n\r\nline one\r\n";
  EXPECT_EQ(Encode(read).find("Message-ID"), std::string::npos);
  TmsArticle article;
  article.MessageID = "<news@a.test>";
  article.Sender.Address = "j@a.test";
  EXPECT_NE(Encode(article).find("\r\nMessage-ID: <news@a.test>\r\n"), std::string::npos);
}

// A reply names the message it answers, and the thread before it.
TEST(EncodeHeaders, ReplyFields) {
  struct Case {
    TStringList original;
    Lines expected;
  } cases[] = {
      {{"Message-ID: <a@x>"}, {"In-Reply-To: <a@x>", "References: <a@x>"}},
      {{"Message-Id:", " <b@x>", "References: <r1@x>\t<r2@x>"},
       {"In-Reply-To: <b@x>", "References: <r1@x> <r2@x> <b@x>"}},
      // Without References, a single In-Reply-To is the thread.
      {{"Message-ID: <c@x>", "In-Reply-To: <p@x>"},
       {"In-Reply-To: <c@x>", "References: <p@x> <c@x>"}},
      {{"Message-ID: <c@x>", "In-Reply-To: <p@x> <q@x>"},
       {"In-Reply-To: <c@x>", "References: <c@x>"}},
      {{"Message-ID: bare@x"}, {"In-Reply-To: <bare@x>", "References: <bare@x>"}},
      {{"Subject: no id"}, {}},
      {{"Message-ID: <a@x\r\nBcc: v@x>"}, {}},  // no identifier
  };
  for (const Case& c : cases) EXPECT_EQ(ReplyHeaderLines(c.original), c.expected) << c.original[0];
  // A long thread keeps its first and latest identifiers, folded at 78.
  std::string references = "References:";
  for (int i = 0; i < 40; ++i) references += " <" + std::to_string(i) + "-thread@example.org>";
  const Lines lines = ReplyHeaderLines(TStringList{"Message-ID: <last@x>", references});
  std::string joined;
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), kHeaderFoldAt);
    joined += lines[i];
  }
  EXPECT_TRUE(joined.starts_with("References: <0-thread@example.org> <22-thread@"));
  EXPECT_TRUE(joined.ends_with("<39-thread@example.org> <last@x>"));
}

// ---- bodies ----

TEST(EncodeBody, CharsetAndTransferEncodingFollowTheText) {
  const std::string ascii = "charset=\"us-ascii\"", utf8 = "charset=\"utf-8\"";
  const std::string umlauts = "Gr\u00fc\u00dfe";
  struct Case {
    TStringList body;
    bool eightBit;
    std::string charset, transfer;
    TStringList lines;  // the body as written
    std::string storedType = "";
  } cases[] = {
      {{".", "..", ".NET", ""}, false, ascii, "7bit", {".", "..", ".NET", ""}},
      {{std::string(998, 'a')}, false, ascii, "7bit", {std::string(998, 'a')}},
      {{std::string(999, 'a')}, false, ascii, "quoted-printable", {}},
      // Blanks that end a line go; the blank of a soft break stays (as "=20" where quoted).
      {{umlauts, "a=b "}, false, utf8, "quoted-printable", {"Gr=C3=BC=C3=9Fe", "a=3Db"}},
      {{umlauts, "a=b "}, true, utf8, "8bit", {umlauts, "a=b"}},
      {{std::string(70, 'a') + " bbb"}, false, ascii, "7bit", {std::string(70, 'a') + " ", "bbb"}},
      {{umlauts + " " + std::string(70, 'x')},
       false,
       utf8,
       "quoted-printable",
       {"Gr=C3=BC=C3=9Fe=20", std::string(70, 'x')}},
      {{umlauts + std::string(1000, 'x')}, true, utf8, "quoted-printable", {}},
      {{std::string("nul\0byte", 8)}, false, ascii, "quoted-printable", {"nul=00byte"}},
      // Text from the old 8-bit forms is written as UTF-8.
      {{"Caf\xe9"}, false, utf8, "quoted-printable", {"Caf=C3=A9"}},
      // A text stored as HTML without Html holds the markup.
      {{"<p>Gr\u00fc\u00dfe</p>"},
       false,
       utf8,
       "quoted-printable",
       {"<p>Gr=C3=BC=C3=9Fe</p>"},
       "text/html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body[0].substr(0, 20) + " " + std::to_string(c.eightBit));
    TmsMessage m;
    MakeAnn(m);
    m.Body = c.body;
    if (!c.storedType.empty()) m.SetContentType(c.storedType);
    const std::string out = Encode(m, c.eightBit);
    ExpectLineLimits(out);
    const std::string type = c.storedType.empty() ? "text/plain" : c.storedType;
    const std::string head =
        kAnnHeaders + Crlf({"Mime-Version: 1.0",
                            "Content-Type: " + type + "; " + c.charset +
                                (c.storedType.empty() ? "; format=\"flowed\"" : ""),
                            "Content-Transfer-Encoding: " + c.transfer, ""});
    ASSERT_EQ(out.substr(0, head.size()), head);
    if (!c.lines.empty()) {
      std::string body;
      for (const std::string& line : c.lines) body += line + "\r\n";
      EXPECT_EQ(out.substr(head.size()), body);
    }
    EXPECT_EQ(m.Body, c.body);
  }
}

// format=flowed: what goes out has lines of at most 72 characters (a word longer stays whole),
// stuffed where a reader would misread them, and reads back as the paragraphs typed, whatever
// the transfer encoding.
TEST(EncodeBody, FlowedTextReadsBackAsTyped) {
  std::string paragraph, umlauts;
  for (int i = 0; i < 40; ++i) paragraph += "word" + std::to_string(i) + " ";
  paragraph += "end.";
  for (int i = 0; i < 30; ++i) umlauts += "Gr\u00fc\u00dfe ";
  umlauts += "!";
  const std::string url = "https://example.org/" + std::string(100, 'u');
  const struct {
    Lines typed;
    Lines wire;  // the flowed lines, where the case pins them
  } cases[] = {
      {{"short line", "", "-- ", "Ann"}, {"short line", "", "-- ", "Ann"}},
      // Stuffed: a reader would take these for a mailbox separator or a stuffing.
      {{"From here", " indented", ">quote"}, {" From here", "  indented", ">quote"}},
      {{paragraph, "", umlauts}, {}},
      {{"see " + url + " now"}, {"see ", url + " ", "now"}},
      // A piece starting with ">" under unspaced quote marks is stuffed, not quoted deeper.
      {{">>" + std::string(40, 'a') + " " + std::string(28, 'b') + " >>z"},
       {">>" + std::string(40, 'a') + " " + std::string(28, 'b') + " ", ">> >>z"}},
      // A break after "-- " would make a signature mark, which ends no paragraph.
      {{"-- " + url, "> -- " + url}, {"-- " + url, "> -- " + url}},
      // Quoted lines break under their own prefix.
      {{"> " + paragraph, ">> " + paragraph, ">", "> > nested"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed[0].substr(0, 30));
    const Lines wire = FlowText(c.typed);
    if (!c.wire.empty()) {
      EXPECT_EQ(wire, c.wire);
    }
    for (const std::string& line : wire) {
      const size_t chars = size_t(std::count_if(
          line.begin(), line.end(), [](char ch) { return (uint8_t(ch) & 0xC0) != 0x80; }));
      if (line.find(url) == std::string::npos) {
        EXPECT_LE(chars, 73u) << line;
      }
      if (line.starts_with("From ")) ADD_FAILURE() << line;
    }
    for (bool eightBit : {false, true}) {
      TmsMessage m;
      MakeAnn(m);
      m.Body = c.typed;
      TMemoryStream stream;
      stream.WriteString(Encode(m, eightBit));
      TmsMessage back;
      stream.SetPosition(0);
      back.LoadFromStream(stream);
      EXPECT_EQ(back.Body, c.typed) << eightBit;
    }
  }
  // Another program's flowed text: DelSp removes the blank of each soft break; a line of
  // another quote depth, or the signature mark, is never joined.
  EXPECT_EQ(UnflowText({"Hel ", "lo", "> a ", "b", "x ", "-- ", "sig"}, true),
            (Lines{"Hello", "> a", "b", "x", "-- ", "sig"}));
}

// Lines of at most 76 characters with the soft break, an "=XX" never cut; line ends as CR LF,
// a lone CR or a lone LF each end a paragraph; a paragraph of any length is taken.
TEST(EncodeBody, QuotedPrintableLines) {
  const auto lines = [](const std::string& bytes) {
    TMemoryStream in;
    in.Assign(bytes);
    TStringList out;
    TQuotedPrintable(in, out).Encode();
    return out;
  };
  const std::string x75(75, 'x');
  struct Case {
    std::string bytes;
    TStringList lines;
  } cases[] = {
      {std::string(76, 'x') + "\r\n", {std::string(76, 'x')}},
      {std::string(77, 'x') + "\r\n", {x75 + "=", "xx"}},
      {std::string(74, 'x') + "\xe9\r\n", {std::string(74, 'x') + "=", "=E9"}},
      {std::string(73, 'x') + "\xe9\r\n", {std::string(73, 'x') + "=E9"}},
      {"a=b\tc\x7f\x80 \xff\x01\n", {"a=3Db=09c=7F=80 =FF=01"}},
      {"trailing  \r\nblank\t\n", {"trailing =20", "blank=09"}},
      {"a\r\nb\n\nc\r\rd\n\re\n", {"a", "b", "", "c", "", "d", "", "e"}},
      {"", {}},
      {"last", {"last="}},
      {x75 + "x", {x75 + "=", "x="}},
  };
  for (const Case& c : cases) EXPECT_EQ(lines(c.bytes), c.lines) << c.bytes;
  const std::string big(100000, '\xc3');
  const TStringList many = lines(big);
  EXPECT_EQ(many.size(), big.size() * 3 / 75);
  TMemoryStream back;
  TStringList copy = many;
  TQuotedPrintable(back, copy).Decode();
  EXPECT_EQ(back.Bytes(), big);
}

// ---- attachments and structure ----

// Each attachment's transfer encoding carries its bytes exactly; names that are not plain ASCII
// go as RFC 2231 parameters, with encoded words in name= for older readers.
TEST(EncodeAttachments, TransferEncodingsAndNames) {
  const std::string ct = "Content-Type: ", cte = "Content-Transfer-Encoding: ";
  const std::string cd = "Content-Disposition: attachment; ";
  struct Case {
    std::string name, type;
    TAttEncoding encoding;
    std::string data;
    Lines headers;  // the part's header lines
    bool eightBit = false;
  } cases[] = {
      // clang-format off
      {"C:\\Users\\ann\\notes.txt", "", aeSevenBit, "a\r\nb\r\n",
       {ct + "text/plain; name=\"notes.txt\"", cte + "7bit", cd + "filename=\"notes.txt\""}},
      // Text that a 7bit part would change: no final line end, lone LFs.
      {"n.txt", "", aeSevenBit, "a\r\nb", {ct + "text/plain; name=\"n.txt\"", cte + "quoted-printable"}},
      {"n.txt", "", aeQuotedPrintable, "unix\nlines\n", {ct + "text/plain; name=\"n.txt\"", cte + "base64"}},
      {"n.txt", "", aeQuotedPrintable, "na\xc3\xafve\r\n",
       {ct + "text/plain; charset=\"utf-8\"; name=\"n.txt\"", cte + "quoted-printable"}},
      {"f.bin", "application/x-test", aeSevenBit, "\x01\xff\r\n",
       {ct + "application/x-test; name=\"f.bin\"", cte + "base64"}},
      {"a\".exe", "application/octet-stream", aeBase64, "z",
       {ct + "application/octet-stream; name=\"=?utf-8?B?YSIuZXhl?=\"", cte + "base64",
        cd + "filename*=utf-8''a%22.exe"}},
      {"\u00dcbersicht 2026.pdf", "", aeBase64, "%PDF",
       {ct + "application/pdf; name=\"=?utf-8?Q?=C3=9Cbersicht_2026=2Epdf?=\"", cte + "base64",
        cd + "filename*=utf-8''%C3%9Cbersicht%202026.pdf"}},
      // Messages go as they are, or as plain bytes where the transport cannot carry them.
      {"fwd.eml", "", aeSevenBit, "Subject: x\r\n\r\nb\r\n",
       {ct + "message/rfc822; name=\"fwd.eml\"", cte + "7bit"}},
      {"fwd.eml", "", aeSevenBit, "Subject: \xc3\xa4\r\n\r\nb\r\n",
       {ct + "message/rfc822; name=\"fwd.eml\"", cte + "8bit"}, true},
      {"fwd.eml", "", aeSevenBit, "Subject: \xc3\xa4\r\n\r\nb\r\n",
       {ct + "application/octet-stream; name=\"fwd.eml\"", cte + "base64"}},
      // A multipart kept whole gets its boundary back.
      {"_alt.1", "multipart/related", aeSevenBit, "--in\r\nContent-Type: text/html\r\n\r\nx\r\n--in--\r\n",
       {ct + "multipart/related; boundary=\"in\"", cte + "7bit"}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + c.data);
    TmsMessage m;
    MakeAnn(m);
    Attach(m, c.name, c.type, c.encoding, c.data);
    const std::string out = Encode(m, c.eightBit);
    ExpectLineLimits(out);
    std::string headers;
    for (const std::string& line : c.headers) headers += line + "\r\n";
    EXPECT_NE(out.find("\r\n" + headers), std::string::npos) << out;
  }
  // Long names are cut into continuations of whole characters.
  TmsMessage m;
  MakeAnn(m);
  std::string longName;
  for (int i = 0; i < 30; ++i) longName += "\xd0\x96";
  Attach(m, longName + ".txt", "", aeBase64, "x");
  const std::string out = Encode(m);
  ExpectLineLimits(out);
  EXPECT_EQ(GetParameter("filename", Unfolded(out, "Content-Disposition")), longName + ".txt");
  EXPECT_NE(out.find("\r\n filename*1*=%D0%96"), std::string::npos) << out;
}

// The layouts: alternatives of the text in a multipart/alternative, files after them in a
// multipart/mixed, each multipart with a boundary of its own; a lone file is the whole message.
TEST(EncodeAttachments, Structure) {
  struct Case {
    TStringList body;
    std::string html;
    Lines files;  // names; "_alt.N" and "_HtmBody.htm" are forms of the text
    Lines types;  // the Content-Type media types in order
  } cases[] = {
      {{"plain"}, "<p>x</p>", {}, {"multipart/alternative", "text/plain", "text/html"}},
      {{}, "<p>x</p>", {}, {"text/html"}},
      {{"plain"},
       "<p>x</p>",
       {"r.pdf"},
       {"multipart/mixed", "multipart/alternative", "text/plain", "text/html", "application/pdf"}},
      {{"plain"},
       "",
       {"_alt.0", "r.pdf"},
       {"multipart/mixed", "multipart/alternative", "text/plain", "text/html", "application/pdf"}},
      {{"plain"}, "", {"_ALT.0"}, {"multipart/alternative", "text/plain", "text/html"}},
      {{}, "", {"_HtmBody.htm"}, {"text/html"}},
      {{}, "", {"_HtmBody.htm", "a.png"}, {"multipart/mixed", "text/html", "image/png"}},
      {{}, "", {"a.png"}, {"image/png"}},
      {{}, "", {"a.png", "b.png"}, {"multipart/mixed", "image/png", "image/png"}},
      {{"see attached"}, "", {"a.png"}, {"multipart/mixed", "text/plain", "image/png"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.types.back());
    TmsMessage m;
    MakeAnn(m);
    m.Body = c.body;
    m.Html = c.html;
    for (const std::string& name : c.files)
      Attach(m, name, name.starts_with("_") ? "text/html" : "", aeBase64, "<p>y</p>");
    const std::string out = Encode(m);
    Lines types, boundaries;
    const std::regex type(R"re(\r\nContent-Type: ([^;\r]+)(;\s*boundary="([^"]+)")?)re");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), type); it != std::sregex_iterator();
         ++it) {
      types.push_back((*it)[1]);
      if ((*it)[3].matched) boundaries.push_back((*it)[3]);
      if (types.back().starts_with("multipart/")) {
        EXPECT_TRUE((*it)[3].matched);
      }
    }
    EXPECT_EQ(types, c.types) << out;
    for (const std::string& b : boundaries) {
      EXPECT_TRUE(b.starts_with("=_") && b.size() == 26) << b;
      EXPECT_NE(out.find("\r\n--" + b + "--\r\n"), std::string::npos) << b;
      EXPECT_EQ(std::count(boundaries.begin(), boundaries.end(), b), 1);
    }
    // Forms of the text carry no name; files do.
    EXPECT_EQ(out.find("name=\"_"), std::string::npos);
  }
}

// ---- the old layouts ----

TEST(EncodeUU, PlainTextKeepsTheLayoutOtherTextGoesAsMime) {
  TmsMessage m;
  MakeAnn(m);
  m.Encoding = meUU;
  Attach(m, "dir/f.txt", "text/plain", aeQuotedPrintable, std::string(46, 'q'));
  std::string full = "M";
  for (int i = 0; i < 15; ++i) full += "<7%Q";
  EXPECT_EQ(Encode(m), kAnnHeaders + Crlf({"", "line one", "line two", "", "begin 600 f.txt", full,
                                           "!<0``", "`", "end"}));
  m.Body.push_back("Gr\u00fc\u00dfe");
  const std::string out = Encode(m);
  EXPECT_NE(out.find("Mime-Version: 1.0\r\nContent-Type: multipart/mixed"), std::string::npos);
  EXPECT_EQ(out.find("begin 600"), std::string::npos);
}

TEST(EncodeArticle, NewsHeaders) {
  TmsArticle a;
  a.Sender.Name = "J. Doe";
  a.Sender.Address = "j@x";
  a.NewsGroups = "comp.lang";
  a.Subject = "Q";
  a.Headers = {"Newsgroups: old.group", "Path: p", "Date: d", "Message-ID: <m@x>"};
  a.Body = {"b"};
  EXPECT_EQ(Encode(a), Crlf({"From:     \"J. Doe\" <j@x>", "Newsgroups: comp.lang", "Path: p",
                             "Date: d", "Message-ID: <m@x>", "Subject:  Q", "Mime-Version: 1.0",
                             "Content-Type: text/plain; charset=\"us-ascii\"; format=\"flowed\"",
                             "Content-Transfer-Encoding: 7bit", "", "b"}));
}

}  // namespace
}  // namespace norva
