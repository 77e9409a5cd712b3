// Charset conversion of any bytes in any charset, and the UTF-8 helpers over any bytes: what
// comes out is UTF-8, cuts never split a character, and text written in a charset that holds
// all of Unicode reads back as it was.
#include <algorithm>
#include <vector>

#include "FuzzInput.h"
#include "mail/mscharset.h"

using namespace norva;

namespace {

// Labels mail declares, the aliases the converter maps, charsets that are not ASCII-compatible
// and a few that iconv does not know.
constexpr const char* kCharsets[] = {
    "", "us-ascii", "utf-8", "UTF8", "unicode-1-1-utf-8", "iso-8859-1", "Windows-1252",
    "iso-8859-2", "iso-8859-15", "iso-8859-8-i", "koi8-r", "koi8-u", "windows-1251",
    "windows-1258", "tis-620", "viscii", "tscii", "iso-2022-jp", "iso-2022-kr", "iso-2022-cn",
    "shift_jis", "euc-jp", "gb2312", "gbk", "gb18030", "hz-gb-2312", "big5", "euc-kr",
    "ks_c_5601-1987", "utf-16", "utf-16le", "utf-16be", "utf16", "utf-32", "utf-32le", "ucs-2",
    "ucs-4", "iso-10646-ucs-2", "utf-7", "x-unknown", "unknown-8bit", "\"UTF-8\"", "utf-8*en",
    "no-such-charset", "utf-8//ignore", "ebcdic-us", "cp037"};
// Charsets that hold every character: text written in them reads back unchanged. (Not
// GB18030: glibc refuses some private-use characters in it.)
constexpr const char* kUnicode[] = {"utf-8", "utf-16", "utf-16le", "utf-16be", "utf-32",
                                    "utf-7"};

// The offsets at which the UTF-8 walk (a well-formed sequence, or one stray byte) starts a
// character, and the end.
std::vector<bool> Boundaries(std::string_view text) {
  std::vector<bool> at(text.size() + 1, false);
  for (size_t i = 0; i < text.size();) {
    at[i] = true;
    const size_t n = Utf8SequenceLength(text, i);
    i += n == 0 ? 1 : n;
  }
  at[text.size()] = true;
  return at;
}

void Convert(const std::string& bytes, const std::string& charset, bool listed) {
  const std::string text = ToUtf8(bytes, charset);
  if (!IsUtf8(text)) fuzz::Fail("ToUtf8 not UTF-8", bytes, text);
  if (text.size() > 16 * bytes.size() + 16) fuzz::Fail("ToUtf8 grew", bytes, text);
  const std::string raw = RawToUtf8(bytes);
  if (!IsUtf8(raw)) fuzz::Fail("RawToUtf8 not UTF-8", bytes, raw);
  const std::string valid = ValidUtf8(bytes);
  if (!IsUtf8(valid)) fuzz::Fail("ValidUtf8 not UTF-8", bytes, valid);
  if (IsUtf8(bytes) && (valid != bytes || raw != bytes)) fuzz::Fail("UTF-8 changed", bytes, raw);
  if (IsAscii(bytes) && !IsUtf8(bytes)) fuzz::Fail("ASCII not UTF-8", bytes);

  // Written in the charset and read back.
  std::string written;
  if (FromUtf8(valid, charset, written)) {
    if (!IsUtf8(ToUtf8(written, charset))) fuzz::Fail("written text reads as non-UTF-8", written);
  }
  for (const char* unicode : kUnicode) {
    if (!FromUtf8(valid, unicode, written)) fuzz::Fail(unicode, valid);
    const std::string back = ToUtf8(written, unicode);
    if (back != valid) fuzz::Fail(unicode, valid, back);
  }
  // Text of printable ASCII, blanks and line ends written in any charset that can hold it
  // reads back as it was. (Other controls are not text: ISO 2022 charsets use ESC, SO and SI as
  // their own escape and shifts, which iconv writes through as they are, and refuse DEL.)
  auto printable = [](char c) {
    return (c >= ' ' && c < 0x7f) || c == '\t' || c == '\r' || c == '\n';
  };
  // Only for the listed charsets: iconv knows others (JIS X 0201 Roman, national ISO 646
  // variants) in which "~" or "\\" are other characters yet writes them without a word.
  if (listed && std::all_of(bytes.begin(), bytes.end(), printable) &&
      FromUtf8(bytes, charset, written)) {
    const std::string back = ToUtf8(written, charset);
    if (back != bytes) fuzz::Fail(("ASCII through " + charset).c_str(), bytes, back);
  }
}

void Helpers(const std::string& bytes, size_t n) {
  const std::vector<bool> at = Boundaries(bytes);
  const bool utf8 = IsUtf8(bytes);

  const std::string prefix = Utf8Prefix(bytes, n);
  if (bytes.compare(0, prefix.size(), prefix) != 0) fuzz::Fail("Utf8Prefix not a prefix");
  if (!at[prefix.size()]) fuzz::Fail("Utf8Prefix split a character", bytes, prefix);
  if (Utf8Length(prefix) > n) fuzz::Fail("Utf8Prefix too long", bytes, prefix);
  if (prefix.size() < bytes.size() && Utf8Length(prefix) != n)
    fuzz::Fail("Utf8Prefix too short", bytes, prefix);

  const std::string_view cut = Utf8PrefixBytes(bytes, n);
  if (bytes.size() > n && cut.size() > n)
    fuzz::Fail("Utf8PrefixBytes too long", bytes, cut);
  if (bytes.size() <= n && cut.size() != bytes.size()) fuzz::Fail("Utf8PrefixBytes cut short text");
  if (!at[cut.size()]) fuzz::Fail("Utf8PrefixBytes split a character", bytes, cut);
  if (utf8 && !IsUtf8(cut)) fuzz::Fail("Utf8PrefixBytes not UTF-8", bytes, cut);
  if (utf8 && bytes.size() > n && cut.size() + 4 <= n) fuzz::Fail("Utf8PrefixBytes too short");

  const std::string lower = Utf8Lower(bytes);
  if (utf8 && !IsUtf8(lower)) fuzz::Fail("Utf8Lower not UTF-8", bytes, lower);
  if (Utf8Length(lower) != Utf8Length(bytes)) fuzz::Fail("Utf8Lower changed the length", bytes, lower);
  if (Utf8Lower(lower) != lower) fuzz::Fail("Utf8Lower not stable", lower, Utf8Lower(lower));
  // Any piece of the text between two character starts is found in it, letter case ignored.
  size_t from = n % (bytes.size() + 1);
  while (!at[from]) --from;
  size_t to = std::min(bytes.size(), from + n % 13 + 1);
  while (!at[to]) ++to;
  if (!ContainsNoCase(bytes, std::string_view(bytes).substr(from, to - from)))
    fuzz::Fail("piece not found", bytes, std::string_view(bytes).substr(from, to - from));

  for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
    uint32_t cp = 0;
    for (int k = 0; k < 4; ++k) cp = cp << 8 | uint8_t(bytes[i + size_t(k)]);
    std::string one;
    AppendCodePoint(cp % 0x120000, one);
    if (!IsUtf8(one) || Utf8Length(one) != 1) fuzz::Fail("AppendCodePoint", "", one);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput in(data, size);
  // A charset from the list or named in the input, a cut length, then the bytes.
  const uint8_t pick = in.Byte();
  std::string charset = pick < std::size(kCharsets) ? kCharsets[pick] : in.Until0(32);
  const size_t n = in.Byte();
  const std::string bytes = in.Rest();
  Convert(bytes, charset, pick < std::size(kCharsets));
  Helpers(bytes, n);
  return 0;
}
