// A message written and read back keeps its sender, recipients, subject, body and attachments.
// The input builds the message; texts are UTF-8 and kept to what a header line or a body line
// can carry: no line ends or zero bytes, subjects and names without blanks at their ends or
// encoded words, no body line that could be taken for a boundary or the start of a uuencoded
// file.
#include <strings.h>

#include <cctype>
#include <cstring>

#include "FuzzInput.h"
#include "mail/mscharset.h"
#include "mail/msmsgcls.h"

using namespace norva;

namespace {

// Keeps the bytes for which keep is true.
template <class Keep>
std::string Only(std::string text, Keep keep) {
  std::erase_if(text, [&](char c) { return !keep(static_cast<unsigned char>(c)); });
  return text;
}

std::string AddressText(fuzz::TInput& in) {
  std::string local = Only(in.Bytes(20), [](unsigned char c) { return std::isalnum(c) != 0; });
  std::string domain = Only(in.Bytes(20), [](unsigned char c) { return std::isalnum(c) != 0; });
  if (local.empty()) local = "a";
  if (domain.empty()) domain = "b";
  return local + "@" + domain + ".test";
}

// Words of letters and digits (and, with eightBit, letters of other scripts) with one blank
// between them.
std::string NameText(fuzz::TInput& in, bool eightBit) {
  std::string name;
  for (char c : in.Bytes(30)) {
    if (std::isalnum(static_cast<unsigned char>(c)) || (eightBit && (c & 0x80)))
      name += c;
    else if (!name.empty() && name.back() != ' ')
      name += ' ';
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return RawToUtf8(name);
}

std::string SubjectText(fuzz::TInput& in, bool eightBit) {
  std::string s = Only(in.Bytes(255), [&](unsigned char c) {
    return c >= 32 && (c < 127 || (eightBit && c >= 0xA0));
  });
  for (size_t at; (at = s.find("=?")) != std::string::npos;) s.erase(at, 1);
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return Utf8Prefix(RawToUtf8(s.substr(first, s.find_last_not_of(' ') - first + 1)), 255);
}

std::string BodyLine(fuzz::TInput& in, bool eightBit) {
  std::string line = Only(in.Bytes(255), [&](unsigned char c) {
    return c == '\t' || (c >= 32 && (c < 127 || (eightBit && c >= 0xA0)));
  });
  line = RawToUtf8(line);
  if (in.Byte() == 0xFF) line += std::string(300, 'x');  // long lines go quoted-printable
  if (line.starts_with("--") || (line.size() >= 5 && strncasecmp(line.c_str(), "begin", 5) == 0))
    line.insert(0, ">");
  return line;
}

const char* const kExtensions[] = {".bin", ".txt", ".jpg", ".pdf", ".html", ""};

void Expect(bool ok, const char* what, std::string_view expected = {},
            std::string_view actual = {}) {
  if (!ok) fuzz::Fail(what, expected, actual);
}

void ExpectAddresses(const TmsAddressList& want, const TmsAddressList& got) {
  Expect(want.Count() == got.Count(), "recipient count", std::to_string(want.Count()),
         std::to_string(got.Count()));
  for (int32_t i = 0; i < want.Count(); ++i) {
    Expect(want.Items(i).Address == got.Items(i).Address, "recipient address",
           want.Items(i).Address, got.Items(i).Address);
    Expect(want.Items(i).Name == got.Items(i).Name, "recipient name", want.Items(i).Name,
           got.Items(i).Name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir();
  fuzz::TInput in(data, size);
  const uint8_t flags = in.Byte();
  TmsMessage m;
  m.Encoding = flags & 1 ? meUU : meMIME;
  const bool eightBit = flags & 2;  // text beyond ASCII
  m.Priority = flags & 4 ? ptHigh : ptNormal;
  m.ReturnReceipt = flags & 8;
  m.Sender.Address = AddressText(in);
  m.Sender.Name = NameText(in, eightBit);
  m.Subject = SubjectText(in, eightBit);
  for (int n = in.Byte() % 4; n > 0; --n)
    m.Recipients.AddAddress(AddressText(in), NameText(in, eightBit));
  for (int n = in.Byte() % 3; n > 0; --n) m.CC.AddAddress(AddressText(in), NameText(in, eightBit));
  for (int n = in.Byte() % 20; n > 0; --n) m.Body.push_back(BodyLine(in, eightBit));
  for (int n = in.Byte() % 4; n > 0; --n) {
    auto item = std::make_unique<TmsAttItem>();
    std::string name = Only(in.Bytes(12), [](unsigned char c) { return std::isalnum(c) != 0; });
    item->SetFileName((name.empty() ? "file" : name) + kExtensions[in.Byte() % 6]);
    item->TransferEncoding = aeBase64;
    item->Data.Assign(in.Bytes(255) + (in.Byte() & 1 ? in.Rest() : ""));
    m.Attachments.Add(std::move(item));
  }

  TMemoryStream wire;
  m.SaveToStream(wire);
  TmsMessage back;
  back.LoadFromStream(wire);

  Expect(back.Sender.Address == m.Sender.Address, "sender address", m.Sender.Address,
         back.Sender.Address);
  Expect(back.Sender.Name == m.Sender.Name, "sender name", m.Sender.Name, back.Sender.Name);
  Expect(back.Subject == m.Subject, "subject", m.Subject, back.Subject);
  ExpectAddresses(m.Recipients, back.Recipients);
  ExpectAddresses(m.CC, back.CC);
  Expect(back.Priority == m.Priority, "priority");
  Expect(back.ReturnReceipt == m.ReturnReceipt, "return receipt");

  std::string want, got;
  // Text sent as format=flowed drops the blanks that end a line (but the signature mark's); a
  // uuencoded message's plain ASCII text goes as typed.
  const std::string& bytes = wire.Bytes();
  const size_t type = bytes.find("\nContent-Type: text/plain");  // a field, not a subject's text
  const bool flowed = type != std::string::npos &&
                      bytes.substr(type + 1, bytes.find('\n', type + 1) - type - 1)
                              .find("flowed") != std::string::npos;
  for (const auto& l : m.Body)
    want += (!flowed || l == "-- " ? l : l.substr(0, l.find_last_not_of(' ') + 1)) + "\n";
  for (const auto& l : back.Body) got += l + "\n";
  Expect(want == got, "body", want, got);

  Expect(back.Attachments.Count() == m.Attachments.Count(), "attachment count",
         std::to_string(m.Attachments.Count()), std::to_string(back.Attachments.Count()));
  for (int32_t i = 0; i < m.Attachments.Count(); ++i) {
    const TmsAttItem& a = m.Attachments.Items(i);
    const TmsAttItem& b = back.Attachments.Items(i);
    Expect(a.FileName() == b.FileName(), "attachment name", a.FileName(), b.FileName());
    Expect(a.Data.Bytes() == b.Data.Bytes(), "attachment data", a.Data.Bytes(), b.Data.Bytes());
  }
  return 0;
}
