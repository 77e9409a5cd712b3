// The message decoder and the transfer codecs.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

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

TStringList Names(TmsMessage& m) {
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

TEST(CodecBase64, KnownValuesRoundTripAndInvalidBytes) {
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
  // An unpadded last group gives the whole bytes it carries.
  // So does a padded group in the middle of a line, and the groups after it.
  for (auto [line, bytes] : {std::pair{"Zm8", "fo"}, {"Zg", "f"}, {"Z", ""}, {"Zm9vYg", "foob"},
                             {"Zm9vZg==Zm8=Zm9v", "fooffofoo"}}) {
    Base64DecodeLine(line, decoded = "");
    EXPECT_EQ(decoded, bytes) << line;
  }
  const std::string invalid[] = {"Zm9v!", "Zm 9v", "Zm9v\r", std::string("Zm\0v", 4), "Zm\xc3\xa9"};
  for (const std::string& bad : invalid) {
    auto e = testing::Raised<Exception>([&] { Base64DecodeLine(bad, decoded); });
    EXPECT_STREQ(e ? e->what() : "", "Invalid Character") << bad;
  }
}

TEST(CodecUU, RoundTripsEveryLengthAndPadsStrippedLines) {
  std::mt19937 random(7);
  for (size_t length = 0; length <= 45; ++length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) bytes += char(random());
    std::string line = UUEncodeLine(bytes);
    EXPECT_EQ(line.find(' '), std::string::npos) << "zero bits are written as grave accents";
    std::string decoded;
    UUDecodeLine(line, decoded);
    EXPECT_EQ(decoded, bytes);
  }
  EXPECT_EQ(UUEncodeLine("Cat"), "#0V%T");
  // Trailing zero bits written as spaces and stripped in transport still count.
  std::string decoded;
  UUDecodeLine("#", decoded);
  EXPECT_EQ(decoded, std::string(3, '\0'));
}

TEST(CodecQuotedPrintable, DecodesLines) {
  struct Case {
    TStringList lines;
    std::string bytes;
  } cases[] = {
      {{"soft=", "break"}, "softbreak\r\n"},
      {{"ends in =3D", "next"}, "ends in =\r\nnext\r\n"},
      {{"caf=E9 =c3=a9"}, "caf\xe9 \xc3\xa9\r\n"},
      {{"kept: =G1 =4", "a=", ""}, "kept: =G1 =4\r\na\r\n"},
      {{"blank after soft =  ", "x"}, "blank after soft x\r\n"},
      {{"soft before CR=\r", "x"}, "soft before CRx\r\n"},
      {{"trailing  "}, "trailing  \r\n"},
      {{"dos end=1A", "x"}, "dos end\x1ax\r\n"},
      {{"", ""}, "\r\n\r\n"},
      {{"open at the end="}, "open at the end"},
  };
  for (auto& c : cases) EXPECT_EQ(QPDecode(c.lines), c.bytes) << c.lines[0];
}

// Decoding reads paragraphs of any length (HTML mail has long soft-broken paragraphs).
TEST(CodecQuotedPrintable, LongParagraphs) {
  TStringList soft(1000, std::string(65, 'p') + "=");
  soft.push_back("end");
  EXPECT_EQ(QPDecode(soft), std::string(65000, 'p') + "end\r\n");
}

// ---- the decoder ----

class DecodeTest : public ::testing::Test {
 protected:
  TmsMessage message;
  const std::string header = Crlf(
      {"From: Ann <ann@example.org>", "To: bob@example.org", "Subject: Test", "MIME-Version: 1.0"});

  std::string Multipart(std::string_view type, std::initializer_list<std::string_view> body) {
    return header +
           Crlf({std::string("Content-Type: ") + std::string(type) + "; boundary=\"XX\"", "",
                 "preamble"}) +
           Crlf(body);
  }
};

// A uuencoded file in a plain message, or in a text/plain one, which restarts as plain.
TEST_F(DecodeTest, UuencodedFiles) {
  const std::string data =
      "uuencoded \x01\x02\xff bytes, more than one line of them: " + std::string(40, '*');
  const std::string lines = Crlf(
      {UUEncodeLine(data.substr(0, 45)), UUEncodeLine(data.substr(45)), "`", "end", "text after"});
  const std::string plain = Crlf({"From: a@b", "To: b@x, c@x", "CC: d@x", ""});
  const std::string mime = header + Crlf({"CC: d@x", "Content-Type: text/plain", ""});
  for (auto [head, begin, name] : {std::tuple{plain, "begin 644 pic.gif", "pic.gif"},
                                   {plain, "begin 644 \"my pic.gif\"", "my pic.gif"},
                                   {plain, "begin 644", "att.0"},
                                   {mime, "begin 600 a.txt", "a.txt"}}) {
    TmsMessage m;
    Load(m, head + Crlf({"text before", begin}) + lines);
    EXPECT_EQ(m.Encoding, meUU);
    EXPECT_EQ(m.Body, (TStringList{"text before"}));
    EXPECT_EQ(m.CC.Count(), 1) << "the header survives a restart";
    ASSERT_EQ(m.Attachments.Count(), 1);
    EXPECT_EQ(m.Attachments.Items(0).FileName().str(), name);
    EXPECT_EQ(m.Attachments.Items(0).Data.Bytes(), data);
  }
}

TEST_F(DecodeTest, MixedWithNamedAndNamelessParts) {
  int pumped = 0;
  SetMessagePump([&] { ++pumped; });
  std::string pdf("%PDF binary \x00\xff\x80 data", 20);
  pdf.resize(100, 'z');
  std::string b64 = Base64Encode(pdf);
  Load(message, Multipart("multipart/mixed",
                          {"--XX", "Content-Type: text/plain", "", "Hello", "", "Bye", "", "--XX",
                           "Content-Type: application/pdf; name=\"report.pdf\"",
                           "Content-Transfer-Encoding: base64", "",
                           // wrapped at an odd width: the decoder carries the rest over
                           b64.substr(0, 73), b64.substr(73), "--XX", "Content-Type: text/plain",
                           "", "seven", "bit", "", "--XX--", "epilogue"}));
  SetMessagePump({});
  EXPECT_EQ(message.Body, (TStringList{"Hello", "", "Bye"}));
  EXPECT_EQ(Names(message), (TStringList{"report.pdf", "att.1"}));
  EXPECT_EQ(message.Attachments.Items(0).TransferEncoding, aeBase64);
  EXPECT_EQ(message.Attachments.Items(0).Data.Bytes(), pdf);
  EXPECT_EQ(message.Attachments.Items(1).ContentType.str(), "text/plain");
  EXPECT_EQ(message.Attachments.Items(1).Data.Bytes(), "seven\r\nbit\r\n");
  EXPECT_GE(pumped, 2);
}

// The HTML alternative becomes an "_alt.N" attachment, at the top or nested in a mixed message.
TEST_F(DecodeTest, AlternativeAtTopAndNested) {
  const std::string start =
      header + Crlf({"Content-Type: multipart/mixed; boundary=XX", "", "--XX",
                     "Content-Type: multipart/alternative; boundary=YY", "", "--YY", "", "plain"});
  const std::string html = Crlf({"--YY", "Content-Type: text/html", "", "<p>html</p>", "--YY--"});
  const std::string png = Crlf({"--XX", "Content-Type: image/png; name=a.png", "", "png"});
  const std::pair<std::string, TStringList> cases[] = {
      {Multipart("multipart/alternative", {"--XX", "Content-Type: text/plain", "", "plain", "--XX",
                                           "Content-Type: text/html", "", "<p>html</p>", "--XX--"}),
       {"_alt.0"}},
      {html + png + "--XX--", {"_alt.0", "a.png"}},
      {html + "--XX--", {"_alt.0"}},               // the alternative is all the message holds
      {"--YY--\r\n" + png + "--XX--", {"a.png"}},  // an alternative of one part
  };
  for (auto& [tail, names] : cases) {
    SCOPED_TRACE(tail);
    TmsMessage m;
    Load(m, tail.starts_with("--") ? start + tail : tail);
    EXPECT_EQ(m.Body, (TStringList{"plain"}));
    EXPECT_EQ(Names(m), names);
    EXPECT_EQ(m.Attachments.Items(0).ContentType.str(),
              names[0] == "a.png" ? "image/png" : "text/html");
  }
}

// A first part that is not plain text becomes an attachment; a mailer known to mislabel its
// plain messages is read as text.
TEST_F(DecodeTest, WhatBecomesTheBody) {
  const std::string pdf(200, '\x93');
  struct {
    std::string raw;
    TStringList body, names;
    std::string bytes;
  } rows[] = {
      {Multipart("multipart/mixed",
                 {"--XX", "Content-Type: text/plain", "Content-Transfer-Encoding: base64", "",
                  Base64Encode("line one\r\nline two\r\n"), "--XX--"}),
       {},
       {"att.0"},
       "line one\r\nline two\r\n"},
      // The name is kept as sent (saving takes the last path step only); only the media type
      // says multipart, not a word in the file name.
      {header + Crlf({"Content-Type: application/pdf; name=\"../../etc/multipart-notes.pdf\"",
                      "Content-Transfer-Encoding: base64", "", Base64Encode(pdf), "."}),
       {},
       {"../../etc/multipart-notes.pdf"},
       pdf},
      {header + Crlf({"X-Mailer: V Mailsystem R #0001",
                      "Content-Type: multipart/mixed; boundary=XX", "", "just text"}),
       {"just text"},
       {},
       ""},
  };
  for (const auto& row : rows) {
    TmsMessage m;
    Load(m, row.raw);
    EXPECT_EQ(m.Body, row.body);
    EXPECT_EQ(Names(m), row.names);
    if (!row.names.empty()) {
      EXPECT_EQ(m.Attachments.Items(0).Data.Bytes(), row.bytes);
    }
  }
}

TEST_F(DecodeTest, QuotedPrintableBodies) {
  Load(message, header + Crlf({"Content-Type: text/plain; charset=iso-8859-1",
                               "Content-Transfer-Encoding: quoted-printable", "",
                               "joined=", " here", "a=3D", "b", "caf=E9", "long=",
                               "begin 644 is no file here"}));
  EXPECT_EQ(message.Body,
            (TStringList{"joined here", "a=", "b", "caf\xe9", "longbegin 644 is no file here"}));
  EXPECT_EQ(message.CharSet, csISO8859);

  TmsMessage m;
  Load(m, Multipart("multipart/mixed", {"--XX", "Content-Transfer-Encoding: quoted-printable", "",
                                        "x=", "y =3D z", "--XX--"}));
  EXPECT_EQ(m.Body, (TStringList{"xy = z"}));
}

// The POP3 client has already undone the dot-stuffing and taken the final "." away.
TEST_F(DecodeTest, DotLinesAreText) {
  const std::string dots = Crlf({".", "..", "...", ".NET", "."});
  for (const std::string& raw :
       {Crlf({"From: a@b", ""}) + dots, header + Crlf({"Content-Type: text/plain", ""}) + dots,
        header + Crlf({"Content-Type: multipart/mixed; boundary=XX", "", "--XX", ""}) + dots +
            "--XX--\r\n"}) {
    TmsMessage m;
    Load(m, raw);
    EXPECT_EQ(m.Body, (TStringList{".", "..", "...", ".NET", "."}));
  }
}

// A missing boundary, a message cut off in its first part and undecodable attachment data: the
// body says so, keeps what was decoded, and the original message becomes the attachment.
TEST_F(DecodeTest, DamagedMessagesKeepTheOriginal) {
  std::string raw = Multipart("multipart/mixed", {"--other", "", "text", "--other--"});
  Load(message, raw);
  EXPECT_EQ(message.Body,
            (TStringList{"The following error has been occured while processing the message:",
                         "Cannot find boundary",
                         "The original message will be stored as an attachment"}));
  ASSERT_EQ(Names(message), TStringList{"original.eml"});
  const TmsAttItem& original = message.Attachments.Items(0);
  EXPECT_EQ(original.ContentType.str(), "message/rfc822");
  EXPECT_EQ(original.TransferEncoding, aeSevenBit);
  EXPECT_EQ(original.Data.Bytes(), raw);

  for (auto [raw, lines, line, text] :
       {std::tuple{Multipart("multipart/mixed", {"--XX", "", "body", "more"}), 5, 1, "more"},
        {Multipart("multipart/mixed",
                   {"--XX", "", "body", "--XX", "Content-Type: image/png; name=a.png",
                    "Content-Transfer-Encoding: base64", "", "not base64!", "--XX--"}),
         4, 2, "Error decoding the attachment"},
        {header + Crlf({"Content-Type: text/plain", "Content-Transfer-Encoding: base64", "",
                        "not base64!"}),
         3, 1, "Error decoding the message text"}}) {
    TmsMessage m;
    Load(m, raw);
    EXPECT_EQ(m.Body.size(), size_t(lines));
    EXPECT_EQ(m.Body.at(size_t(line)), text);
    EXPECT_EQ(Names(m), TStringList{"original.eml"});
  }
}

// Mutated multipart messages: every load ends quickly, with a message or a norva::Exception.
TEST_F(DecodeTest, MutatedMessagesNeverHangOrCrash) {
  const std::string seed =
      header +
      "Content-Type: multipart/mixed; boundary=\"XX\"\n\n--XX\n"
      "Content-Type: multipart/alternative; boundary=YY\n\n--YY\n"
      "Content-Transfer-Encoding: quoted-printable\n\nsoft=\nline =3D\n--YY\n"
      "Content-Type: text/html\n\n<b>x</b>\n--YY--\n--XX\n"
      "Content-Type: application/zip; name=\"a.zip\"\nContent-Transfer-Encoding: base64\n\n"
      "BwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcH"
      "BwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcH"
      "\n--XX\nContent-Transfer-Encoding: x-uuencode\n\nbegin 644 u.bin\n'=74@9&%T80``\n`\nend\n"
      "--XX\nContent-Transfer-Encoding: quoted-printable\n\n=41=4\n--XX--\n";
  const char* const pieces[] = {"\r\n", "\n",     "\r",          "--XX",     "--XX--",
                                "--YY", "--YY--", "begin 644 x", "\r\n\r\n", "\xff\xff\xff\xff"};
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
    // A uuencoded line may stand for up to 63 bytes, whatever its length.
    int64_t total = 0;
    for (int i = 0; i < m.Attachments.Count(); ++i) total += m.Attachments.Items(i).Data.Size();
    EXPECT_LE(total, int64_t(raw.size()) * 64);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace norva
