// Writes the seed corpora: fuzz-corpus-maker FOLDER writes FOLDER/<target>/<seed> for every
// target, from messages, stores and server conversations the program itself produces or meets.
// Run it again after changing a format; the files are small and kept in the repository.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/Learner.h"
#include "mail/msmsgcls.h"
#include "mail/msuucode.h"
#include "store/QDB.h"

using namespace norva;
namespace fs = std::filesystem;

namespace {

fs::path root;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::create_directories(root / target);
  std::ofstream(root / target / name, std::ios::binary) << bytes;
}

std::string Encoded(TmsMessage& m) {
  TMemoryStream s;
  m.SaveToStream(s);
  return s.Bytes();
}

void Attach(TmsMessage& m, const std::string& name, const std::string& bytes) {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(name);
  item->Data.Assign(bytes);
  m.Attachments.Add(std::move(item));
}

std::string Binary(size_t n) {
  std::string b;
  for (size_t i = 0; i < n; ++i) b += char(i * 37 + 11);
  return b;
}

void Messages() {
  TmsMessage m;
  m.Sender = TmsMailAddress();
  m.Sender.Name = "Ann Example";
  m.Sender.Address = "ann@example.org";
  m.Recipients.AddAddress("bob@example.org", "Bob B. Bobson");
  m.CC.AddAddress("carl@example.org", "");
  m.Subject = "Seed";
  m.Body = {"Hello,", "", ".leading dot", "the end"};
  Write("message_load", "plain", std::string("\0", 1) + Encoded(m));
  m.CharSet = csISO8859;
  m.Body.push_back("caf\xe9 " + std::string(300, 'w'));
  Write("message_load", "latin1-long", std::string("\0", 1) + Encoded(m));
  Attach(m, "notes.txt", "line one\r\nline two\r\n");
  Attach(m, "data.bin", Binary(200));
  Write("message_load", "mixed", std::string("\0", 1) + Encoded(m));
  m.Encoding = meUU;
  Write("message_load", "uuencoded", std::string("\0", 1) + Encoded(m));
  TmsMessage alt;
  alt.Sender.Address = "ann@example.org";
  alt.Body = {"text"};
  Attach(alt, "_alt.0", "<p>text</p>");
  Attach(alt, "report.pdf", Binary(90));
  Write("message_load", "nested-alternative", std::string("\0", 1) + Encoded(alt));
  Write("message_load", "received",
        std::string("\0", 1) +
            "Return-Path: <x@y.test>\r\nFrom: =?iso-8859-1?Q?Andr=E9?= <andre@y.test>\r\n"
            "To: a@b.test, \"Last, First\" <c@d.test>, e@f.test (Eve)\r\n"
            "Subject: =?utf-8?B?w6l0w6k=?= and more\r\nDate: Tue, 4 Mar 2003 10:11:12 +0100\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n boundary=\"b1\"\r\n\r\n"
            "--b1\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\nsoft=\r\nbreak =E9\r\n"
            "--b1\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"x.bin\"\r\n"
            "Content-Transfer-Encoding: x-uuencode\r\n\r\nbegin 644 x.bin\r\n#86)C\r\n`\r\nend\r\n"
            "--b1--\r\n");
  // As today's programs write mail: nested multiparts, base64 text, HTML, an inline image, an
  // attached message, RFC 2231 names, a signature.
  Write(
      "message_load", "today",
      std::string("\0", 1) +
          "From: =?utf-8?q?Ann_=C3=84ker?= <ann@y.test>\r\nTo: b@y.test\r\n"
          "Subject: =?utf-8?b?R3LDvMOfZQ==?=\r\nMIME-Version: 1.0\r\n"
          "Content-Type: multipart/signed; protocol=\"application/pgp-signature\";\r\n"
          " boundary=\"s\"\r\n\r\n--s\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n"
          "--m\r\nContent-Type: multipart/alternative; boundary=\"a\"\r\n\r\n"
          "--a\r\nContent-Type: text/plain; charset=\"utf-8\"\r\n"
          "Content-Transfer-Encoding: base64\r\n\r\nR3LDvMOfZQo= \r\n\r\n"
          "--a\r\nContent-Type: multipart/related; boundary=\"r\"\r\n\r\n"
          "--r\r\nContent-Type: text/html; charset=\"windows-1252\"\r\n"
          "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
          "<html><head><style>p{}</style></head><body><p>Gr=FC=DFe &amp; <a href=3D\"h\">x</a>"
          "<ul><li>a<br><img src=3D\"cid:i\"></ul></body></html>\r\n\r\n"
          "--r\r\nContent-Type: image/png\r\nContent-ID: <i>\r\n"
          "Content-Disposition: inline; filename*=utf-8''%C3%9C.png\r\n"
          "Content-Transfer-Encoding: base64\r\n\r\niVBORw0KGgo=\r\n--r--\r\n\r\n--a--\r\n\r\n"
          "--m\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\nhi\r\n\r\n"
          "--m--\r\n\r\n--s\r\nContent-Type: application/pgp-signature; name=\"signature.asc\"\r\n"
          "\r\n-----BEGIN PGP SIGNATURE-----\r\n\r\n--s--\r\n");
  Write("message_load", "article",
        std::string("\1", 1) +
            "From: a@b.test\r\nNewsgroups: comp.test\r\nPath: x!y\r\nMessage-ID: <1@b>\r\n"
            "Subject: hi\r\n\r\nbody\r\nbegin 600 f.txt\r\n#86)C\r\n`\r\nend\r\n");

  // The round trip's input: flags, then the fields in the order the target reads them.
  auto b = [](std::string s) { return std::string(1, char(s.size())) + s; };
  Write("message_roundtrip", "simple",
        std::string("\0", 1) + b("ann") + b("example") + b("Ann Example") + b("Hello there") +
            "\2" + b("bob") + b("example") + b("Bob") + b("carl") + b("example") + b("") +
            "\1" + b("dee") + b("example") + b("Dee") + "\3" + b("first line") + "\0" + b("") +
            "\0" + b(".") + "\0" + "\2" + b("data") + "\0" + b(Binary(100)) + "\0" + b("notes") +
            "\1" + b("text\r\nlines\r\n") + "\0");
  Write("message_roundtrip", "uu-latin1",
        std::string("\3", 1) + b("ann") + b("example") + b("") + b("uu") + "\1" + b("bob") +
            b("example") + b("") + "\0" + "\1" + b("caf\xe9") + "\xff" + "\1" + b("blob") +
            "\0" + b(Binary(120)) + "\0");

  Write("header_ops", "fields",
        std::string("To\0boundary\0", 12) +
            "From: \"Ann\" <ann@example.org>\r\nTo: a@b.test,\r\n \"Last, First\" <c@d.test>\r\n"
            "Subject: =?iso-8859-1?q?caf=E9?= =?utf-8?b?w6k=?=\r\n"
            "Date: Tue, 04 Mar 2003 10:11:12 -0230 (NST)\r\n"
            "Content-Type: multipart/mixed; boundary=\"=_b\"; name*=x\r\nX-UIDL: abc\r\n\r\n");
  Write("header_ops", "dates",
        std::string("Date\0charset\0", 13) +
            "Date: 1 Jan 70 00:00 GMT\r\nDate: Sun, 31 Dec 2023 23:59:60 EST\r\n"
            "Date: Mon Feb 29 12:00:00 2016\r\nReceived: from x; 5 May 2005 05:05:05 +9999\r\n");
}

void Codecs() {
  Write("codecs", "text", "Hello, world = 1 + 1\r\n\ttab\r\nlong " + std::string(100, 'z') + "\n");
  Write("codecs", "binary", Binary(300));
  Write("codecs", "encoded", "Zm9vYmFy\n=3D=E9=\n#86)C\nM86)C86)C86)C\n");
}

void Stores() {
  const std::string dir = fs::temp_directory_path() / ("norva-corpus-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto make = [&](const std::string& name, const std::string& password, bool compression,
                  bool caseSensitive, int flags) {
    const std::string path = dir + "/" + name + ".QDB";
    {
      TQDB db;
      db.SetPassword(password);
      db.SetCompression(compression);
      db.SetFileName(path);
      if (caseSensitive) db.SetAdminBoolean("QDBCaseSensitive", true);
      db.SetAdminString("Version", "1");
      db.SetAdminInteger("Count", 42);
      for (int i = 0; i < 4; ++i) {
        TMemoryStream s;
        s.Assign(i == 3 ? Binary(400) : "item " + std::to_string(i) + std::string(50, 'a' + i));
        db.AddItem(s, (i % 2 ? "Key" : "key") + std::to_string(i));
      }
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Write("store_open", name, std::string(1, char(flags)) + bytes);
  };
  make("plain", "", false, false, 0);
  make("compressed", "", true, true, 2 | 8);
  make("protected", "secret", true, false, 1 | 8 | 16);
  fs::remove_all(dir);

  // flags, a password, then operations: op, key and its zero, and a length and the bytes.
  Write("store_roundtrip", "ops",
        std::string("\3\6secret", 8) + std::string("\0k1\0\5hello", 10) +
            std::string("\x81K2\0\3abc", 8) + std::string("\2admin\0\2xy", 10) +
            std::string("\2ADMIN\0\1z", 9) + std::string("\3k1\0", 4) + std::string("\4p\0", 3));
}

void Sessions() {
  Write("pop3_session", "mailbox",
        std::string("\2", 1) +
            "+OK ready\r\n+OK\r\n+OK\r\n+OK 2 320\r\n+OK message follows\r\n"
            "Subject: one\r\n\r\n..dot\r\nbody\r\n.\r\n+OK\r\n+OK 120 octets\r\n"
            "From: a@b.test\r\n\r\n.\r\n+OK\r\n+OK bye\r\n");
  Write("pop3_session", "directory",
        std::string("\1", 1) +
            "+OK ready\r\n+OK\r\n+OK\r\n+OK 2 320\r\n+OK 1 100\r\n+OK\r\nSubject: one\r\n"
            "\r\nbody\r\n.\r\n+OK 2 220\r\n+OK\r\nSubject: two\r\n.\r\n+OK bye\r\n");
  Write("pop3_session", "refusal", std::string("\0", 1) + "+OK\r\n-ERR who?\r\n");
  Write("smtp_session", "accepted",
        std::string("\3", 1) +
            "220-fake greets\r\n220 ready\r\n250 hi\r\n250 ok\r\n250 ok\r\n550 no\r\n250 ok\r\n"
            "354 go\r\n250 queued\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n"
            "250 queued\r\n221 bye\r\n");
  Write("smtp_session", "helo-refused",
        std::string("\0", 1) + "220 ready\r\n501 name\r\n250-x\r\n250 HELP\r\n554 no\r\n");
}


// The received mail in tests/corpus/eml, as mailers of today write it (Python's email package,
// Thunderbird, Outlook, Gmail, phones).
std::vector<std::pair<std::string, std::string>> Mail() {
  std::vector<std::pair<std::string, std::string>> mail;
  for (const auto& entry : fs::directory_iterator(NORVA_EML_DIR))
    if (entry.path().extension() == ".eml") {
      std::ifstream in(entry.path(), std::ios::binary);
      mail.emplace_back(entry.path().stem().string(),
                        std::string((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>()));
    }
  std::sort(mail.begin(), mail.end());
  return mail;
}

// A multipart nested depth times, a text part at the bottom.
std::string Nested(int depth, const std::string& kind) {
  std::string head = "From: a@b.test\r\nSubject: deep\r\nMIME-Version: 1.0\r\n", tail;
  for (int i = 0; i < depth; ++i) {
    const std::string b = "b" + std::to_string(i);
    head += "Content-Type: multipart/" + kind + "; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
    tail = "\r\n--" + b + "--\r\n" + tail;
  }
  return head + "Content-Type: text/plain; charset=utf-8\r\n\r\nbottom \xc3\xa9\r\n" + tail;
}

void Walks() {
  std::vector<std::pair<std::string, std::string>> mail = Mail();
  for (const auto& [name, bytes] : mail) Write("mime_walk", name, bytes);
  Write("mime_walk", "nested-40-mixed", Nested(40, "mixed"));
  Write("mime_walk", "nested-33-alternative", Nested(33, "alternative"));
  Write("mime_walk", "broken-boundaries",
        "From: a@b.test\r\nContent-Type: multipart/mixed; boundary=\"x\"\r\n\r\npreamble\r\n"
        "--x \r\nContent-Type: multipart/alternative; boundary=x\r\n\r\n--x\r\n"
        "Content-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\nPGI+aGk8L2I+\r\n"
        "--xx\r\n--x--junk\r\n--x\r\nContent-Type: multipart/related; boundary=\"\"\r\n\r\n"
        "--\r\n--x\r\nContent-Type: message/rfc822\r\n\r\nContent-Type: multipart/mixed;"
        " boundary=y\r\n\r\n--y\r\nSubject: inner\r\n\r\ntext\r\n");
  Write("mime_walk", "qp-latin1-flowed",
        "From: a@b.test\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"iso-8859-1\";"
        " format=flowed; delsp=yes\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "caf=E9 soft=\r\nbreak and a =\r\nlong line \r\nnext\r\n=\r\n");
  Write("mime_walk", "digest",
        "From: a@b.test\r\nContent-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\n"
        "Subject: one\r\n\r\nbody one\r\n--d\r\nContent-Type: text/plain\r\n\r\ntwo\r\n--d--\r\n");

  // rfc2231_params: a pick, a parameter name, two values for the encoder, then header lines
  // (the Content- fields of the received mail among them).
  auto params = [](const std::string& name, uint8_t pick, const std::string& param,
                   const std::string& first, const std::string& second, const std::string& lines) {
    Write("rfc2231_params", name,
          std::string(1, char(pick)) + param + '\0' + first + '\0' + second + '\0' + lines);
  };
  for (const auto& [name, bytes] : mail) {
    std::string fields;
    for (size_t at = 0; (at = bytes.find("\nContent-", at)) != std::string::npos; ++at) {
      size_t end = bytes.find('\n', at + 1);
      while (end != std::string::npos && end + 1 < bytes.size() &&
             (bytes[end + 1] == ' ' || bytes[end + 1] == '\t'))
        end = bytes.find('\n', end + 1);
      fields.append(bytes, at + 1, end == std::string::npos ? end : end - at);
    }
    if (fields.find("name") != std::string::npos)
      params(name, uint8_t(fields.size()), "filename", "", "", fields);
  }
  params("sections", 0, "title",
         "Rahmenvertrag M\xc3\xbcller & S\xc3\xb6hne GmbH \xe2\x80\x93 \xc3\x84nderungsfassung "
         "2026 mit einem sehr langen Namen.docx",
         "plain.txt",
         "Content-Type: text/plain;\r\n title*0*=us-ascii'en'This%20is%20even%20more%20;\r\n"
         " title*1*=%2A%2A%2Afun%2A%2A%2A%20;\r\n title*2=\"isn't it!\"\r\n"
         "Content-Disposition: attachment; filename*=iso-8859-1'de'caf%E9.txt\r\n");
  params("broken", 3, "name", "  \"quoted\\\" ;name\t", "=?utf-8?q?x?=",
         "Content-Type: text/plain; name*0*=utf-8''%E2%82; name*1*=%AC%; name*3=gap;"
         " name=\"unclosed\r\n\tfolded; charset*=koi8-r''%F0%D2; x=\r\nContent-Disposition: ;;"
         " filename*=\"'''\"; filename*0=a; filename*0*=b\r\n");

  // charset_convert: a charset (its index in the target's list, 255 for one named), a cut
  // length, then the bytes.
  auto text = [](const std::string& name, uint8_t charset, const std::string& bytes) {
    Write("charset_convert", name, std::string(1, char(charset)) + "\x07" + bytes);
  };
  const std::string sample =
      "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac \xe6\x97\xa5\xe6\x9c\xac \xd0\x9f\xd1\x80\xd0\xb8 "
      "\xf0\x9f\x98\x80 ~+\r\n";
  text("utf-8", 2, sample);
  text("latin1", 5, "caf\xe9 \x80\x81\x9f\xff");
  text("iso-2022-jp", 17, "\x1b$B$3$s$K$A$O\x1b(B hello");
  text("shift_jis", 20, "\x82\xb1\x82\xf1\x5c\x7e");
  text("gb2312", 22, "\xc4\xe3\xba\xc3");
  text("hz", 25, "~{<:Ky2;S{#,NpJ)l6HK!#~} ~~");
  text("utf-16", 29, std::string("\xff\xfe" "A\0\xe9\0\x3d\xd8\x00\xde", 10));
  text("ucs-2", 35, std::string("\0A\0B", 4));
  text("utf-7", 38, "Hi Mom -+Jjo--! +ZeVnLIqe-");
  text("named", 255, std::string("ISO_8859-7:1987\0\xe1\xe2\xe3", 19));
  text("broken-utf-8", 2, "\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82 \x80\xbf end");

  // html_text: HTML as mailers send it, and the HTML parts of the received mail.
  Write("html_text", "newsletter",
        "<!DOCTYPE html><html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
        "charset=windows-1252\"><title>t</title><style>p{color:red}</style></head><body>"
        "<div style=\"display: none\">preheader</div><table><tr><td>Gr\xfc\xdf\x65</td><td>&euro;"
        "&nbsp;5&#8364;&#x20AC;&#128;</td></tr></table><p>One<br>two<br/><br>three</p><ul><li>a"
        "<ol><li>b<li>c</ol></ul><a href=\"https://x.test/?a=1&amp;b=2\">link</a> <a href=\"mailto:"
        "a@b.test\">a@b.test</a><pre>\n  keep   this\n\n\n\n</pre><script>x<1</script>"
        "<!-- comment --> &lt;tag&gt; &amp &unknown; &#xD800; &#0;</body></html>");
  Write("html_text", "unclosed",
        "<meta charset='UTF-8'><div hidden>hidden<p>text<a href=x>link<textarea>t</textarea"
        "<b>bold <i>it<li>item&#x1F600;<!-- never closed");
  for (const auto& [name, bytes] : mail) {
    const size_t at = bytes.find("<html");
    const size_t end = at == std::string::npos ? at : bytes.find("</html>", at);
    if (end != std::string::npos) Write("html_text", name, bytes.substr(at, end + 7 - at));
  }
}

// The learner: header blocks of the mail corpus (first byte 0), and the state learned from
// them (first byte 1).
void Learners() {
  TLearner learner;
  int n = 0;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(NORVA_EML_DIR)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    if (file.extension() != ".eml" || n == 6) continue;
    std::ifstream in(file, std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = raw.find("\r\n\r\n");
    Write("learner", "headers-" + file.stem().string(),
          std::string(1, '\0') + raw.substr(0, end == std::string::npos ? raw.size() : end + 4));
    learner.Mark(HeaderBlockOf(raw), n % 2 ? TLearner::TMark::Spam : TLearner::TMark::Safe, 20600);
    ++n;
  }
  Write("learner", "state", "\x01" + learner.Save());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  root = argv[1];
  Messages();
  Codecs();
  Stores();
  Sessions();
  Walks();
  Learners();
  return 0;
}
