// The header and address model: header lookups, message keys, encoded words, addresses,
// dates, zone texts, attachment items and lists.
#include "mail/msCls.h"
#include "mail/mscharset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "support/Helpers.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace norva {
namespace {

struct TextRow {
  std::string input, expected;
};

TEST(ClsDecodeHeaderText, EncodedWordsBecomeUtf8) {
  const TextRow rows[] = {
      {"", ""},
      {"plain_text_keeps_underscores", "plain_text_keeps_underscores"},
      {std::string(300, 'x'), std::string(255, 'x')},
      {"=?iso-8859-1?Q?Caf=E9?=", "Caf\u00e9"},
      {"=?iso-8859-1?q?caf=e9?=", "caf\u00e9"},  // lower-case letter and hex digits
      {"=?utf-8?B?SGVsbG8=?=", "Hello"},
      {"=?utf-8?b?SGVsbG8=?=", "Hello"},
      {"=?iso-8859-1?Q?=E9t=E9?=", "\u00e9t\u00e9"},  // "?Q?=" is not the closing marker
      {"=?iso-8859-1?q?=e9t=e9?=", "\u00e9t\u00e9"},
      {"=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?=", "Gr\u00fc\u00dfe aus M\u00fcnchen"},
      {"=?windows-1252?Q?=93quoted=94_=80?=", "\u201cquoted\u201d \u20ac"},
      {"=?koi8-r?B?8NLJ18XU?=", "\u041f\u0440\u0438\u0432\u0435\u0442"},
      {"=?ISO-2022-JP?B?GyRCJEskWyRzGyhC?=", "\u306b\u307b\u3093"},
      {"=?utf-8?q?Caf=C3=A9?= =?iso-8859-1?q?_cr=E8me?=", "Caf\u00e9 cr\u00e8me"},  // two charsets
      {"=?utf-8?B?w6k=?= =?utf-8?B?w6k=?=", "\u00e9\u00e9"},
      {"=?utf-8?q?=C3?= =?utf-8?q?=A9?=", "\u00e9"},  // a character split between two words
      {"=?utf-8*en?q?hi?=", "hi"},                    // RFC 2231 language
      {"=?x?Q?a?= =?x?Q?b?=", "ab"},                  // space between two words disappears
      {"=?x?Q?a?= tail", "a tail"},                   // ...but stays before plain text
      {"a_b =?x?Q?c_d?=", "a_b c d"},                 // "_" is a space only inside a Q word
      {"=?x?Q?=3D=3Fx=3FQ=3Fy=3F=3D?= z", "=?x?Q?y?= z"},  // decoded text is not decoded again
      {"Hello =?iso-8859-1?Q?abc", "Hello =?iso-8859-1?Q?abc"},  // unterminated: kept as text
      {"abc=?", "abc=?"},
      {"=?x?X?abc?=", "=?x?X?abc?="},  // unknown letter: not an encoded word
      {"=?x?Q?a=ZZb?=", "a=ZZb"},      // not an escape: kept
      {"=?x?B?!!SGk=?=", "Hi"},        // characters outside base64 are skipped
      {"M\xC3\xBCller", "M\u00fcller"},  // raw UTF-8 stays
      {"M\xFCller \x93x\x94", "M\u00fcller \u201cx\u201d"},  // raw 8-bit: Windows-1252
      {std::string(250, 'a') + "=?x?Q?0123456789?=", std::string(250, 'a') + "01234"},
  };
  for (const auto& row : rows) EXPECT_EQ(DecodeHeaderText(row.input), row.expected) << row.input;
  // The cut counts characters of the decoded text, and never splits one.
  std::string cyrillic;
  for (int i = 0; i < 300; ++i) cyrillic += "\u0416";
  const std::string word = DecodeHeaderText(cyrillic);
  EXPECT_EQ(Utf8Length(word), 255u);
  EXPECT_TRUE(IsUtf8(word));
  TmsMailAddress a;
  a.Name = cyrillic;
  EXPECT_EQ(a.Name.str(), word);
}

// Conversion in charsets that do not extend ASCII, and the state a stateful charset must end in.
TEST(ClsCharset, EveryCharsetReadsAsUtf8AndWritesWhole) {
  const TextRow read[] = {
      {"=?ucs-2be?B?AEEAQg==?=", "AB"},  // ASCII bytes that are not ASCII text
      {"=?cp037?B?TUtO?=", "(.+"},
      {"=?ucs-4?B?f////w==?=", std::string(6 * 3, 'x')},  // past U+10FFFF: replaced
  };
  for (const auto& row : read) {
    const std::string text = DecodeHeaderText(row.input);
    EXPECT_TRUE(IsUtf8(text)) << row.input;
    if (row.expected[0] == 'x')
      EXPECT_EQ(Utf8Length(text), row.expected.size() / 3) << row.input;
    else
      EXPECT_EQ(text, row.expected) << row.input;
  }
  const TextRow written[] = {
      {"utf-7", "+//0-"},                                     // its last bits
      {"iso-2022-jp", "\x1b$BF|K\\\x1b(B"},                 // back to ASCII at the end
  };
  const std::string texts[] = {"\ufffd", "\u65e5\u672c"};
  for (size_t i = 0; i < std::size(written); ++i) {
    std::string out;
    ASSERT_TRUE(FromUtf8(texts[i], written[i].input, out)) << written[i].input;
    EXPECT_EQ(out, written[i].expected) << written[i].input;
    EXPECT_EQ(ToUtf8(out, written[i].input), texts[i]) << written[i].input;
  }
  // A byte beyond ASCII is found wherever it stands: in a step of eight bytes or after them.
  for (size_t length = 0; length <= 19; ++length) {
    const std::string ascii(length, '\x7f');
    EXPECT_TRUE(IsAscii(ascii)) << length;
    for (size_t at = 0; at < length; ++at) {
      std::string text = ascii;
      text[at] = '\x80';
      EXPECT_FALSE(IsAscii(text)) << length << " " << at;
    }
  }
}

TEST(ClsHeader, TrimAndStripQuotes) {
  EXPECT_EQ(Trim("\x01\t a b \r\n "), "a b");
  EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(StripQuotes("  \"\"Ann Smith\"\"  "), "Ann Smith");
  EXPECT_EQ(StripQuotes("\""), "");
  EXPECT_EQ(StripQuotes(" \" a \" "), " a ");  // not trimmed again
}

const std::string kLong(300, 'v');
const TStringList kHeaders = {
    "Received: from a",
    "\t   by b   ",
    "Received: from c",
    "Subject: =?iso-8859-1?Q?Caf=E9?=",
    "\t=?iso-8859-1?Q?_au_lait?=",
    "To-Do: x",
    "Subject : wrong",
    "X-Folded: first",
    "X-Long: " + kLong,
    "Content-Type: " + kLong,
    "X-UIDL: " + kLong,
    "",
    " not a continuation after the blank line",
};

TEST(ClsHeader, GetFieldValue) {
  const TextRow rows[] = {
      {"Subject", "Caf\u00e9 au lait"},  // folded words joined, underscores become spaces
      {"subject:", "Caf\u00e9 au lait"},
      {"Received", "from a by b"},  // the first field only, one space for the TAB fold
      {"To", ""},                   // To-Do is another field
      {"To-Do", "x"},
      {"X-Folded", "first"},
      {"X-Long", std::string(255, 'v')},  // cut, except Content-Type and X-UIDL
      {"content-type", kLong},
      {"X-Uidl:", kLong},
      {"Missing", ""},
  };
  // A plain list and the same lines as one block read alike.
  const TmsHeaders block(kHeaders);
  for (const auto& row : rows) {
    EXPECT_EQ(GetFieldValue(kHeaders, row.input), row.expected) << row.input;
    EXPECT_EQ(GetFieldValue(block, row.input), row.expected) << row.input;
  }
  EXPECT_EQ(GetFieldValue(TmsHeaders{"Subject : wrong"}, "Subject"), "");
  EXPECT_EQ(GetFieldValue(TmsHeaders{}, "Subject"), "");
  // Content-Type comes back undecoded, underscores and all.
  EXPECT_EQ(GetFieldValue(TmsHeaders{"Content-Type: text/plain; name=\"=?x?Q?a_b?=\""},
                          "Content-Type"),
            "text/plain; name=\"=?x?Q?a_b?=\"");
}

struct ValuesRow {
  TStringList lines;
  std::string name;
  TStringList expected;
};

TEST(ClsHeader, GetFieldValues) {
  const ValuesRow rows[] = {
      {{"To: \"Doe, John\" <john@x.org>, jane@y.org"},
       "To",
       {"\"Doe, John\" <john@x.org>", "jane@y.org"}},
      {{"To-Do: a, b"}, "To", {"a", "b"}},  // the name as passed, no colon appended
      {{"To: a@x,", " b@x", "Cc: c@x", "To: d@x"}, "To", {"a@x", "b@x", "d@x"}},
      {{"Cc: c@x", "to: a@x"}, "TO", {"a@x"}},
      {{"To: a, , b"}, "To", {"a", "", "b"}},
      {{"To: =?x?Q?Ann?= <a@x>, b@x"}, "To", {"Ann <a@x>", "b@x"}},
      {{"To a@x", "To: b@x"}, "To", {}},  // a matching line without ":" ends everything
      {{"To:"}, "To", {}},
      // Folded lines keep quoted commas and may hold a colon.
      {{"To: a@x,", " \"Silva, Tara\" <t@x>,", "\t\"Dr: Who\" <w@x>"},
       "To",
       {"a@x", "\"Silva, Tara\" <t@x>", "\"Dr: Who\" <w@x>"}},
      {{}, "To", {}},
  };
  for (const auto& row : rows) {
    TStringList list = {"stale"};
    GetFieldValues(row.lines, row.name, list);
    EXPECT_EQ(list, row.expected) << (row.lines.empty() ? "" : row.lines[0]);
  }
}

// On a plain list and on a header block alike.
TEST(ClsHeader, RemoveFieldAndTruncate) {
  const ValuesRow rows[] = {
      {{"Subject: a", " more", "\tmore2", "To: x", "Subject: b", " c"},
       "subject",
       {"To: x", "Subject: b", " c"}},  // the first field only, with its continuation lines
      {{"A: 1", "To: x", " y", "B: 2"}, "To", {"A: 1", "B: 2"}},
      {{"A: 1", "To: x", "\ty"}, "To", {"A: 1"}},
      {{"To: x"}, "Missing:", {"To: x"}},
      {{}, "To", {}},
  };
  for (auto row : rows) {
    TmsHeaders block(row.lines);
    RemoveField(row.lines, row.name);
    RemoveField(block, row.name);
    EXPECT_EQ(row.lines, row.expected) << row.name;
    EXPECT_EQ(block.Lines(), row.expected) << row.name;
  }
  const TStringList truncated[][2] = {
      {{"A: 1", "B: 2", "", "body", ""}, {"A: 1", "B: 2"}},
      {{"", "A: 1"}, {}},
      {{"A: 1"}, {"A: 1"}},
  };
  for (const auto& [lines, expected] : truncated) {
    TStringList list = lines;
    TmsHeaders block(lines);
    TruncateAtBlankLine(list);
    TruncateAtBlankLine(block);
    EXPECT_EQ(list, expected);
    EXPECT_EQ(block.Lines(), expected);
  }
}

// A header block edited line by line holds what a list of strings edited the same way holds:
// its lines keep their bytes (empty ones included) through appends, middle inserts and erases.
struct BlockEdit {
  char kind;  // 'a'ppend the lines, 'i'nsert them before at, 'e'rase count lines from at
  size_t at, count;
  TStringList lines;
};

template <class Lines>
void ApplyEdit(Lines& lines, const BlockEdit& edit) {
  const auto at = lines.begin() + std::ptrdiff_t(edit.at);
  if (edit.kind == 'a')
    for (const std::string& line : edit.lines) lines.push_back(line);
  else if (edit.kind == 'i')
    lines.insert(at, edit.lines.begin(), edit.lines.end());
  else
    lines.erase(at, at + std::ptrdiff_t(edit.count));
}

TEST(ClsHeader, HeaderBlockEditsLikeAList) {
  const std::vector<BlockEdit> runs[] = {
      {{'a', 0, 0, {"A: 1", "", " folded", "B: 2"}},
       {'e', 1, 1, {}},
       {'i', 0, 0, {"X: 0"}},
       {'i', 2, 0, {"", "Y: y", std::string(300, 'y')}},
       {'e', 0, 2, {}},
       {'a', 0, 0, {"Z: z"}},
       {'e', 5, 1, {}},
       {'i', 5, 0, {"end"}}},
      {{'a', 0, 0, {"A", "B", "C"}}, {'e', 0, 3, {}}, {'a', 0, 0, {"D"}}, {'e', 1, 0, {}}},
      {{'a', 0, 0, {""}}, {'i', 0, 0, {}}, {'a', 0, 0, {"", ""}}, {'e', 1, 2, {}}},
  };
  for (const auto& run : runs) {
    TStringList list;
    TmsHeaders block;
    for (size_t step = 0; step < run.size(); ++step) {
      ApplyEdit(list, run[step]);
      ApplyEdit(block, run[step]);
      ASSERT_EQ(block.Lines(), list) << "step " << step;
      ASSERT_EQ(block, TmsHeaders(list)) << "step " << step;
    }
  }
  // Lines inserted from the block itself, and a block made of lines of another.
  TmsHeaders block = {"A: 1", " 2"};
  block.insert(block.begin() + 1, block.begin(), block.end());
  EXPECT_EQ(block.Lines(), (TStringList{"A: 1", "A: 1", " 2", " 2"}));
  block.insert(block.end(), block.begin(), block.begin() + 2);
  EXPECT_EQ(block.Lines(), (TStringList{"A: 1", "A: 1", " 2", " 2", "A: 1", "A: 1"}));
}

// Without a Message-ID the key is a digest of the header block that leaves out the fields a
// mailbox server rewrites, so the same message keeps its key from one session to the next.
TEST(ClsHeader, MessageKey) {
  const TStringList base = {"From: a@x", "Subject: s", "Date: d"};
  const std::string key = MessageKey(base);
  // The SHA-1 of the lines, each ended by CR LF: keys stored by earlier sessions still match.
  EXPECT_EQ(key, "<sha1-f04befcafffc1badee4d7b44adf4d17e7c407e49@norva.invalid>");
  EXPECT_EQ(MessageKey(TmsHeaders{"From: a@x", "Message-ID: <id@x>"}), "<id@x>");
  struct Case {
    TStringList lines;
    bool same;
  } cases[] = {
      {{"Status: RO", "X-IMAP: 1 2", "X-IMAPbase: 3 4", "From: a@x", "X-Status: A", "X-UID: 17",
        "Subject: s", "x-keywords: $x", "Date: d", "Content-Length: 99", " folded"},
       true},
      {{"From: a@x", "Subject: t", "Date: d"}, false},
      {{"From: a@x", "Subject: s", "Date: d", "X-UIDL: 17"}, false},  // not a rewritten field
      {{"From: a@x", "Subject: s", " more", "Date: d"}, false},
      {{"From: a@x", "Statuses: s", "Subject: s", "Date: d"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.lines));
    EXPECT_EQ(MessageKey(c.lines) == key, c.same);
    EXPECT_EQ(MessageKey(TmsHeaders(c.lines)), MessageKey(c.lines));
  }
}

TEST(ClsHeader, GetParameterMediaTypeAndExtractWord) {
  struct Row {
    std::string param, value, expected;
  };
  const Row rows[] = {
      {"boundary", "multipart/mixed; boundary=\"----=_Part_1\"", "----=_Part_1"},
      {"BOUNDARY", "multipart/mixed; boundary=abc", "abc"},
      {"boundary", "multipart/mixed; x-boundary=1; boundary=abc", "abc"},  // whole names only
      {"name", "attachment; filename=report.pdf;", ""},
      {"filename", "attachment; filename=report.pdf;", "report.pdf"},
      {"charset", "text/plain; charset=iso-8859-1", "iso-8859-1"},
      {"charset", "text/plain;charset=\"utf-8\";format=flowed", "utf-8"},
      {"name", "x; name=a.txt; size=3", "a.txt"},
      {"name", "x; name=\"a; b \\\"c\\\".txt\"", "a; b \"c\".txt"},  // quoted ";" and escapes
      {"name", "x; name=\"unterminated", "unterminated"},
      {"name", "text/plain", ""},
      {"name", "x; name", ""},
      {"name", "x; name=", ""},
      {"", "x; name=a", ""},
      // RFC 2231: charset, language, continuations.
      {"filename", "attachment; filename*=utf-8''%C3%9Cbersicht%202026.pdf",
       "\u00dcbersicht 2026.pdf"},
      {"filename", "attachment; filename*=iso-8859-1'de'M%FCnchen.txt", "M\u00fcnchen.txt"},
      {"filename", "attachment; filename*0*=utf-8''%C3%9C; filename*1=ber; filename*2*=%C3%A9.doc",
       "\u00dcber\u00e9.doc"},
      {"name", "x; name*0=\"long \"; name*1=\"name.txt\"", "long name.txt"},
      {"filename", "attachment; filename=\"old.txt\"; filename*=utf-8''new.txt", "new.txt"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(GetParameter(row.param, row.value), row.expected) << row.value;
  EXPECT_EQ(GetMediaType("text/plain; charset=us-ascii"), "text/plain");
  EXPECT_EQ(ExtractWord("+OK 12   3456 ", 1, false), "12   3456");
  EXPECT_EQ(ExtractWord("+OK 12 3456", 2, true), "3456");
  EXPECT_EQ(ExtractWord("single", 1, false), "");
}

TEST(ClsAddress, ParseAddressForms) {
  struct Row {
    std::string text, name, address;
  };
  const Row rows[] = {
      {"\"John Doe\" <john@x.org>", "John Doe", "john@x.org"},
      {"john@x.org (John Doe)", "John Doe", "john@x.org"},
      {"john@x.org", "", "john@x.org"},
      {"<john@x.org>", "", "john@x.org"},
      {"Ann<a@x>", "Ann", "a@x"},
      {"john@x.org (", "", "john@x.org"},
      {"(", "", ""},
      {"", "", ""},
      {std::string(300, 'n') + " <a@x>", std::string(255, 'n'), "a@x"},
  };
  for (const auto& row : rows) {
    TmsMailAddress a;
    a.Name = "old";
    ParseAddress(row.text, a);
    EXPECT_EQ(a.Name.str(), row.name) << row.text;
    EXPECT_EQ(a.Address.str(), row.address) << row.text;
  }
  for (const char* bad : {"John <john@x.org", "a>b <c", "<"}) {
    TmsMailAddress a;
    auto e = testing::Raised<EAddressError>([&] { ParseAddress(bad, a); });
    EXPECT_STREQ(e ? e->what() : "", "Unable to parse email address") << bad;
  }
}

TEST(ClsAddress, HeaderAddressListsAndGroups) {
  using Items = std::vector<std::string>;
  const std::pair<std::string, Items> rows[] = {
      {"\"Nair, Priya\" <p@x>, m@y", {"\"Nair, Priya\" <p@x>", "m@y"}},
      {"undisclosed-recipients:;", {}},
      {"Team: a@x, \"B: b\" <b@y>;, c@z", {"a@x", "\"B: b\" <b@y>", "c@z"}},
      {"a@x; b@y", {"a@x", "b@y"}},
      {"<@relay:a@x>", {"<@relay:a@x>"}},
  };
  for (const auto& [raw, items] : rows) EXPECT_EQ(SplitAddressList(raw), items) << raw;
}

TEST(ClsAddress, ParseAddressListTakesEveryAddressOrNone) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;  // address, name
  const std::pair<std::string, Pairs> rows[] = {
      {"Priya Nair <p@x.org>, Mark Jensen <m@x.org>",
       {{"p@x.org", "Priya Nair"}, {"m@x.org", "Mark Jensen"}}},
      {"a@x; b@y ,, c@z;", {{"a@x", ""}, {"b@y", ""}, {"c@z", ""}}},
      {"\"Nair, Priya; PhD\" <p@x>", {{"p@x", "Nair, Priya; PhD"}}},
      {"Nair, Priya <p@x>, m@y", {{"p@x", "Nair, Priya"}, {"m@y", ""}}},  // a decoded From
  };
  for (const auto& [text, addresses] : rows) {
    TmsAddressList list;
    ParseAddressList(text, list);
    Pairs got;
    for (int32_t i = 0; i < list.Count(); ++i)
      got.emplace_back(list.Items(i).Address.str(), list.Items(i).Name.str());
    EXPECT_EQ(got, addresses) << text;
  }
  // The first item that is no address is named, and nothing is added.
  const std::pair<std::string, std::string> bad[] = {
      {"a@x, priya", "priya"},
      {"a@x, Priya <p@x", "Priya <p@x"},
      {"", ""},
      {" ; ", " ; "},
      {"a b@x", "a b@x"},
      {"@x, a@x", "@x"},
      {"a@x@y", "a@x@y"},
      {"Ann <a@>", "Ann <a@>"},
  };
  for (const auto& [text, named] : bad) {
    TmsAddressList list;
    list.AddAddress("kept@x", "");
    auto e = testing::Raised<EAddressError>([&] { ParseAddressList(text, list); });
    EXPECT_EQ(e ? e->what() : "", "Invalid address, please check!\n" + named) << text;
    EXPECT_EQ(list.Count(), 1) << text;
  }
}

TEST(ClsAddress, ListStoredFormAssignAndEdit) {
  TmsAddressList list;
  list.AddAddress("a@x", "Ann");
  list.AddAddress("b@x", "");
  EXPECT_EQ(list.WriteItems(), (TStringList{"Ann", "a@x", "", "b@x"}));
  TmsAddressList read;
  read.AddAddress("stale@x", "");
  read.ReadItems({"Ann", "a@x", "", "b@x", "lone"});  // a lone last value makes no item
  ASSERT_EQ(read.Count(), 2);
  EXPECT_EQ(read.Items(1).Address.str(), "b@x");
  TmsAddressList copy;
  copy.Assign(list);
  copy.Assign(copy);
  list.Items(0).Name = "changed";
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(0).Name.str(), "Ann");

  // Edit works on a copy: a canceled edit changes nothing.
  TmsMailAddress& a = copy.Items(0);
  for (bool ok : {false, true}) {
    TmsMailAddress::EditHook = [ok](TmsMailAddress& e) {
      EXPECT_EQ(e.Address.str(), "a@x");  // preloaded
      e.Name = "Edited";
      return ok;
    };
    EXPECT_EQ(a.Edit(), ok);
    EXPECT_EQ(a.Name.str(), ok ? "Edited" : "Ann");
  }
  TmsMailAddress::EditHook = nullptr;
  EXPECT_FALSE(a.Edit());
}

TEST(ClsDate, ParseMailDate) {
  struct Row {
    std::string text;
    int y, mo, d, h, mi, s;
    std::string zone;
  };
  const Row rows[] = {
      {"Tue, 5 Dec 2000 14:03:07 +0100", 2000, 12, 5, 14, 3, 7, "+0100"},
      {"\"Tue, 5 Dec 2000 14:03:07 +0100\"", 2000, 12, 5, 14, 3, 7, "+0100"},
      {"5 Dec 99 14:03:07 GMT", 1999, 12, 5, 14, 3, 7, "GMT"},
      {"5 Dec 50 00:00:00 GMT", 2050, 12, 5, 0, 0, 0, "GMT"},  // two-digit years pivot at 50
      {"5 Dec 51 00:00:00 GMT", 1951, 12, 5, 0, 0, 0, "GMT"},
      {"Tue, 5 Dec 2000 14:03 +0100", 2000, 12, 5, 14, 3, 0, "+0100"},
      {"5 Dec 2000 14.03.07 +0100", 2000, 12, 5, 14, 3, 7, "+0100"},  // 8 characters
      {"5 Dec 2000 25:61:00 +0100", 2000, 12, 5, 0, 0, 0, "+0100"},   // bad time: 0
      {"Mon, 5 Dec 2000, 14:03:07 -0500 (est)", 2000, 12, 5, 14, 3, 7, "-0500 (EST)"},
      {"5 Dec 2000", 2000, 12, 5, 0, 0, 0, ""},
      // Not dates: DateTime 0 and no zone.
      {"no digits here", 0, 0, 0, 0, 0, 0, ""},
      {"", 0, 0, 0, 0, 0, 0, ""},
      {"Tue, 31 Feb 2000 10:00:00 +0000", 0, 0, 0, 0, 0, 0, ""},
      {"5 Foo 2000 10:00:00 +0000", 0, 0, 0, 0, 0, 0, ""},
      {"5 Dec", 0, 0, 0, 0, 0, 0, ""},
      {"5x Dec 2000 10:00:00 +0000", 0, 0, 0, 0, 0, 0, ""},
      {"99999999999 Dec 2000 10:00:00 +0000", 0, 0, 0, 0, 0, 0, ""},
      {"5 Dec 99999 10:00:00 +0000", 0, 0, 0, 0, 0, 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    TDateTime dt = 123;
    std::string zone = "stale";
    ParseMailDate(row.text, dt, zone);
    EXPECT_NEAR(dt, row.y ? EncodeDateTime(row.y, row.mo, row.d, row.h, row.mi, row.s) : 0, 1e-9);
    EXPECT_EQ(zone, row.zone);
  }
}

TEST(ClsDate, FormatZoneOffsetAndLocalZone) {
  const std::pair<int, std::string> rows[] = {
      {60, "+0100"},  {-300, "-0500"}, {0, "+0000"},    {570, "+0930"},
      {-90, "-0130"}, {780, "+1300"},  {-720, "-1200"}, {6000, "+10000"},
  };
  for (const auto& [minutes, text] : rows) EXPECT_EQ(FormatZoneOffset(minutes), text) << minutes;

  testing::ScopedZone zone("IST-5:30");  // POSIX: five and a half hours east of UTC
  EXPECT_EQ(LocalTimeZone(), "+0530");
}

TEST(ClsAtt, FileNamesTypesAndEncodings) {
  const TextRow names[] = {
      {"../../etc/passwd", "passwd"}, {"..\\..\\win.ini", "win.ini"}, {"a/b\\c.txt", "c.txt"},
      {"dir/", ""},                   {"", ""},                       {"..", ".."},
  };
  for (const auto& row : names) EXPECT_EQ(ExtractFileName(row.input), row.expected);
  for (const char* name : {"", "file.", "noext", "x.zzqxnotatype", "dir.txt/file", "a.txt\\b"})
    EXPECT_EQ(ContentTypeOfFile(name), "application/octet-stream") << name;

  TmsAttItem kept;
  kept.ContentType = "image/png";
  kept.TransferEncoding = aeBase64;
  kept.SetFileName("");  // changes nothing else
  EXPECT_EQ(kept.ContentType.str(), "image/png");
  EXPECT_EQ(kept.TransferEncoding, aeBase64);
  if (!std::filesystem::exists("/etc/mime.types")) GTEST_SKIP() << "no /etc/mime.types";
  struct Row {
    std::string name, type;
    TAttEncoding encoding;
  };
  const Row rows[] = {
      {"/home/u/NOTES.TXT", "text/plain", aeQuotedPrintable},
      {"page.html", "text/html", aeQuotedPrintable},
      {"c:\\mail\\saved.eml", "message/rfc822", aeSevenBit},
      {"data.zzqxnotatype", "application/octet-stream", aeBase64},
  };
  for (const auto& row : rows) {
    TmsAttItem item;
    item.SetFileName(row.name);
    EXPECT_EQ(item.ContentType.str(), row.type) << row.name;
    EXPECT_EQ(item.TransferEncoding, row.encoding) << row.name;
  }
}

TEST(ClsAtt, ListAddFileAssignAndStoredForm) {
  testing::TempDir dir;
  const std::string bytes("a\0b", 3);
  testing::WriteFile(dir.File("note.txt"), bytes);
  TmsAttList list;
  TmsAttItem& added = list.AddFile(dir.File("note.txt"));
  EXPECT_EQ(added.Data.Bytes(), bytes);
  EXPECT_THROW(list.AddFile(dir.File("missing.bin")), Exception);
  EXPECT_EQ(list.Count(), 1);

  added.ContentType = "x/stored";  // Assign copies as stored, derives nothing
  TmsAttList copy;
  copy.Assign(list);
  copy.Assign(copy);
  added.Data.Assign("changed");
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(copy.Items(0).ContentType.str(), "x/stored");
  EXPECT_EQ(copy.Items(0).Data.Bytes(), bytes);

  auto stored = copy.WriteItems();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].ContentType, "x/stored");
  EXPECT_EQ(stored[0].TransferEncoding, int(aeQuotedPrintable));
  TmsAttList read;
  read.ReadItems({{"a.txt", "image/gif", 1}, {"b.bin", "x/y", 7}, {"", "z/z", -1}});
  ASSERT_EQ(read.Count(), 3);
  EXPECT_EQ(read.Items(0).ContentType.str(), "image/gif");  // stored values win
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read.Items(i).TransferEncoding, aeBase64) << i;  // 7, -1
  read.Delete(0);
  EXPECT_EQ(read.Items(0).FileName().str(), "b.bin");
}

}  // namespace
}  // namespace norva
