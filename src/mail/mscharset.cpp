// Charset conversion through iconv, Windows-1252 by table (iconv refuses its five unused bytes),
// and UTF-8 walking for cuts and case folding.
#include "mail/mscharset.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace norva {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t SequenceAt(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return length;
}

uint32_t CodePointAt(std::string_view text, size_t i, size_t length) {
  const auto byte = [&](size_t k) { return uint32_t(static_cast<unsigned char>(text[i + k])); };
  switch (length) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default:
      return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
             (byte(3) & 0x3F);
  }
}

// Windows-1252's 0x80-0x9F; the five unused bytes keep their C1 code points, as browsers do.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string Windows1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4);
  for (unsigned char c : bytes)
    AppendCodePoint(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c, out);
  return out;
}

// Valid UTF-8 kept; each byte that starts no well-formed sequence becomes U+FFFD.
std::string RepairedUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = SequenceAt(bytes, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string Normalized(std::string_view charset) {
  std::string name;
  for (char c : charset) {
    if (c == '"' || c == '\'' || static_cast<unsigned char>(c) <= 32) continue;
    name += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  }
  return name;
}

// The iconv name for a charset label, or "" for the labels read as "UTF-8 if valid, else
// Windows-1252".
std::string IconvName(const std::string& name) {
  if (name.empty() || name == "us-ascii" || name == "ascii" || name == "default" ||
      name == "unknown-8bit" || name == "x-unknown" || name == "unknown" || name == "8bit")
    return "";
  if (name == "gb2312" || name == "gbk" || name == "x-gbk" || name == "cp936" ||
      name == "euc-cn")
    return "GB18030";
  if (name == "ks_c_5601-1987" || name == "ks_c_5601" || name == "euc-kr") return "CP949";
  if (name == "shift_jis" || name == "x-sjis" || name == "sjis" || name == "ms_kanji")
    return "CP932";
  if (name == "iso-8859-8-i") return "ISO-8859-8";
  if (name == "big5") return "BIG5-HKSCS";
  return name;
}

bool IsWindows1252(const std::string& name) {
  return name == "iso-8859-1" || name == "iso8859-1" || name == "latin1" ||
         name == "iso_8859-1" || name == "l1" || name == "windows-1252" || name == "cp1252" ||
         name == "x-cp1252" || name == "iso-8859-1:1987";
}

bool IsUtf8Label(const std::string& name) {
  return name == "utf-8" || name == "utf8" || name == "x-utf8" || name == "unicode-1-1-utf-8";
}

// True for the charsets mail commonly declares in which ASCII bytes stand for themselves, so
// that ASCII text needs no conversion. Others (UTF-16, UCS-2, UTF-7, ISO 2022, EBCDIC, names not
// known here) go through iconv even then.
bool ExtendsAscii(const std::string& name) {
  if (IconvName(name).empty() || IsUtf8Label(name) || IsWindows1252(name)) return true;
  for (const char* family : {"iso-8859-", "iso8859-", "windows-125", "cp125", "koi8-", "euc-"})
    if (name.starts_with(family)) return true;
  return name == "gb2312" || name == "gbk" || name == "gb18030" || name == "big5" ||
         name == "shift_jis" || name == "ks_c_5601-1987" || name == "tis-620";
}

// Converts with iconv; false when the charset is unknown to it. Once the input is used up, the
// converter is flushed: a stateful charset (UTF-7, ISO-2022-JP) writes its last bits and the
// return to ASCII only then.
bool Iconv(std::string_view bytes, const std::string& from, const std::string& to,
           bool replace, std::string& out) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == iconv_t(-1)) return false;
  out.clear();
  out.reserve(bytes.size() * 2);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    const bool flushing = inLeft == 0;
    const size_t result = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                                   : iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(buffer, size_t(dst - buffer));
    if (result != size_t(-1)) {
      if (flushing) break;
      continue;
    }
    if (errno == E2BIG) continue;
    if (flushing) break;
    // A byte that does not convert (EILSEQ), or a sequence cut off at the end (EINVAL).
    if (!replace) {
      ok = false;
      break;
    }
    out += kReplacement;
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  return ok;
}

locale_t Utf8Locale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return l != locale_t(0) ? l : newlocale(LC_CTYPE_MASK, "en_US.UTF-8", locale_t(0));
  }();
  return locale;
}

}  // namespace

void AppendCodePoint(uint32_t cp, std::string& out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

size_t Utf8SequenceLength(std::string_view text, size_t i) {
  return i < text.size() ? SequenceAt(text, i) : 0;
}

size_t BidiControlLength(std::string_view text, size_t i) {
  if (i + 2 >= text.size() || text[i] != '\xE2') return 0;
  const auto second = static_cast<unsigned char>(text[i + 1]);
  const auto third = static_cast<unsigned char>(text[i + 2]);
  return (second == 0x80 && third >= 0xAA && third <= 0xAE) ||
                 (second == 0x81 && third >= 0xA6 && third <= 0xA9)
             ? 3
             : 0;
}

std::string WithoutBidiControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (const size_t length = BidiControlLength(text, i)) {
      out += "\xEF\xBF\xBD";
      i += length;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string ValidUtf8(std::string_view bytes) {
  return IsUtf8(bytes) ? std::string(bytes) : RepairedUtf8(bytes);
}

bool IsUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = SequenceAt(bytes, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool IsAscii(std::string_view bytes) {
  // Eight bytes at a time: the rules ask this of every header text, nearly all of it ASCII.
  const char* p = bytes.data();
  size_t left = bytes.size();
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080u) return false;
  }
  for (; left > 0; ++p, --left)
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  return true;
}

std::string ToUtf8(std::string_view bytes, std::string_view charset) {
  const std::string name = Normalized(charset);
  if (IsAscii(bytes) && ExtendsAscii(name)) return std::string(bytes);
  if (IsUtf8Label(name)) return RepairedUtf8(bytes);
  if (IsWindows1252(name)) return Windows1252(bytes);
  const std::string iconvName = IconvName(name);
  if (!iconvName.empty()) {
    std::string out;
    // iconv writes the code points some charsets (UCS-4) reach past U+10FFFF as UTF-8's old
    // five- and six-byte forms: those become U+FFFD too.
    if (Iconv(bytes, iconvName, "UTF-8", true, out)) return ValidUtf8(out);
  }
  return RawToUtf8(bytes);
}

std::string RawToUtf8(std::string_view bytes) {
  return IsUtf8(bytes) ? std::string(bytes) : Windows1252(bytes);
}

bool FromUtf8(std::string_view text, std::string_view charset, std::string& out) {
  const std::string name = Normalized(charset);
  if (IsUtf8Label(name)) {
    out.assign(text);
    return IsUtf8(text);
  }
  const std::string iconvName = IconvName(name);
  return Iconv(text, "UTF-8", iconvName.empty() ? "US-ASCII" : iconvName, false, out);
}

size_t Utf8Length(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++count) {
    const size_t length = SequenceAt(text, i);
    i += length == 0 ? 1 : length;
  }
  return count;
}

std::string Utf8Prefix(std::string_view text, size_t maxChars) {
  size_t i = 0;
  for (size_t count = 0; i < text.size() && count < maxChars; ++count) {
    const size_t length = SequenceAt(text, i);
    i += length == 0 ? 1 : length;
  }
  return std::string(text.substr(0, i));
}

std::string_view Utf8PrefixBytes(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  const auto continuation = [&](size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  // Back off over at most three continuation bytes to the start of the character cut in two.
  size_t end = maxBytes;
  while (end > 0 && maxBytes - end < 3 && continuation(end)) --end;
  return text.substr(0, continuation(end) ? maxBytes : end);
}

std::string Utf8Lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const locale_t locale = Utf8Locale();
  for (size_t i = 0; i < text.size();) {
    const size_t length = SequenceAt(text, i);
    if (length == 0) {
      out += text[i++];
      continue;
    }
    if (length == 1) {
      const char c = text[i++];
      out += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
      continue;
    }
    uint32_t cp = CodePointAt(text, i, length);
    if (locale != locale_t(0)) cp = uint32_t(towlower_l(wint_t(cp), locale));
    AppendCodePoint(cp, out);
    i += length;
  }
  return out;
}

bool ContainsNoCase(std::string_view text, std::string_view needle) {
  return Utf8Lower(text).find(Utf8Lower(needle)) != std::string::npos;
}

}  // namespace norva
