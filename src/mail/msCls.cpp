// Operations on header lines, mail addresses, address and attachment lists.
#include "mail/msCls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <unordered_map>

#include <openssl/evp.h>

namespace norva {

const char* const kAttEncodingNames[3] = {"7 bit", "Base64", "Quoted-Printable"};

std::function<bool(TmsMailAddress& address)> TmsMailAddress::EditHook;

namespace {

constexpr size_t kShort = TShortString::kCapacity;
constexpr const char* kOctetStream = "application/octet-stream";

// Fields whose values are structured and come back as they stand, at full length: their
// parameters and identifiers are read by their own rules, never as display text.
constexpr const char* kRawFields[] = {"Content-Type", "Content-Disposition", "X-UIDL",
                                      "Message-ID",   "In-Reply-To",         "References"};

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

char UpChar(char c) {
  return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// ASCII upper case, like the letter-case-insensitive comparisons of the text.
std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpChar(c);
  return result;
}

std::string Lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return result;
}

// A charset label compared without letter case.
std::string Normalized(std::string_view charset) {
  return Lower(Trim(charset));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (UpChar(text[i]) != UpChar(prefix[i])) return false;
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

std::string WithColon(std::string_view name) {
  std::string result(name);
  if (result.empty() || result.back() != ':') result += ':';
  return result;
}

std::string Cut255(std::string text) {
  if (text.size() > kShort) text.resize(kShort);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The "Q" text of an encoded word: "=XX" gives the byte XX; an "=" that is not followed by two
// hexadecimal digits stays as it is, except a final "=" (a soft line break), which is dropped.
std::string DecodeQ(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i] == '_' ? ' ' : text[i];  // "_" stands for a space in a Q word
      continue;
    }
    if (i + 1 == text.size()) break;  // soft line break
    if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += '=';
    }
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The "B" text of an encoded word; decoding stops at the first "=", other characters outside
// the alphabet are skipped (a header lookup never fails).
std::string DecodeB(std::string_view text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = Base64Value(c);
    if (v < 0) continue;
    bits = (bits << 6) | uint32_t(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += char((bits >> count) & 0xFF);
    }
  }
  return out;
}

// Marks each comma inside double quotes (as the byte 0x01) so that splitting passes it over.
void ProtectQuotedCommas(std::string& s) {
  bool inside = false;
  for (char& c : s) {
    if (c == '"')
      inside = !inside;
    else if (c == ',' && inside)
      c = '\x01';
  }
}

// Adds the comma-separated items of s to list.
void SplitItems(std::string s, TStringList& list) {
  for (size_t comma; (comma = s.find(',')) != std::string::npos;) {
    list.push_back(DecodeHeaderText(Trim(std::string_view(s).substr(0, comma))));
    s.erase(0, comma + 1);
  }
  if (!s.empty()) list.push_back(Trim(DecodeHeaderText(Trim(s))));
}

// The extension-to-type table of /etc/mime.types, keys in lower case; read once.
const std::unordered_map<std::string, std::string>& MimeTypes() {
  static const std::unordered_map<std::string, std::string> table = [] {
    std::unordered_map<std::string, std::string> map;
    std::ifstream in("/etc/mime.types");
    for (std::string line; std::getline(in, line);) {
      if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
      std::vector<std::string> words;
      size_t i = 0;
      while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
      }
      for (size_t w = 1; w < words.size(); ++w) map.emplace(Lower(words[w]), words[0]);
    }
    return map;
  }();
  return table;
}

// A time of "hh:nn" or "hh:nn:ss" (one or two digits per part) as a fraction of a day.
bool ConvertTime(std::string_view text, TDateTime& result) {
  int parts[3] = {0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (true) {
    if (count == 3) return false;
    size_t start = i;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 2)
      value = value * 10 + (text[i++] - '0');
    if (i == start) return false;
    parts[count++] = value;
    if (i == text.size()) break;
    if (text[i] != ':') return false;
    ++i;
  }
  if (count < 2) return false;
  return TryEncodeTime(parts[0], parts[1], parts[2], 0, result);
}

size_t FirstDigit(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] >= '0' && s[i] <= '9') return i;
  return std::string_view::npos;
}

// s without its first n bytes (all of them when n is past the end).
std::string_view DropFront(std::string_view s, size_t n) {
  return n >= s.size() ? std::string_view() : s.substr(n);
}

}  // namespace

// ---- header operations ----

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string GetFieldValue(THeaderLines lines, std::string_view name) {
  if (lines.empty()) return std::string();
  std::string field = WithColon(name);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!StartsWithNoCase(lines[i], field)) continue;
    std::string value = Trim(std::string_view(lines[i]).substr(lines[i].find(':') + 1));
    for (size_t k = i + 1; k < lines.size(); ++k) {
      const std::string_view next = lines[k];
      if (next.empty() || (next[0] != ' ' && next[0] != '\t')) break;
      value += ' ';
      value += Trim(next);
    }
    std::string_view bare = std::string_view(field).substr(0, field.size() - 1);
    for (const char* raw : kRawFields)
      if (EqualsNoCase(bare, raw)) return Trim(value);
    return DecodeHeaderText(value);
  }
  return std::string();
}

std::string MessageKey(THeaderLines headers) {
  // The ID as earlier versions stored it in the seen lists: unfolded, cut at 255 bytes.
  std::string id;
  for (size_t i = 0; i < headers.size() && id.empty(); ++i) {
    if (!StartsWithNoCase(headers[i], "Message-ID:")) continue;
    id = Trim(std::string_view(headers[i]).substr(headers[i].find(':') + 1));
    for (size_t k = i + 1; k < headers.size(); ++k) {
      const std::string_view next = headers[k];
      if (next.empty() || (next[0] != ' ' && next[0] != '\t')) break;
      (id += ' ') += Trim(next);
    }
    if (id.size() > kShort) id.resize(kShort);
    if (id.empty()) break;
  }
  if (!id.empty()) return id;
  static const char* const kRewritten[] = {
      "status:", "x-status:", "x-uid:", "x-keywords:", "x-imap:", "x-imapbase:", "content-length:"};
  std::string block;
  bool skipping = false;  // within a rewritten field, its continuation lines included
  for (const std::string_view line : headers) {
    const bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continued) {
      skipping = false;
      for (const char* name : kRewritten)
        if (line.size() >= std::strlen(name) &&
            std::equal(name, name + std::strlen(name), line.begin(),
                       [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); }))
          skipping = true;
    }
    if (skipping) continue;
    (block += line) += "\r\n";
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(block.data(), block.size(), digest, &length, EVP_sha1(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  id = "<sha1-";
  for (unsigned int i = 0; i < length; ++i) (id += kHex[digest[i] >> 4]) += kHex[digest[i] & 15];
  return id += "@norva.invalid>";
}

void GetFieldValues(THeaderLines lines, std::string_view name, TStringList& list) {
  list.clear();
  size_t i = 0;
  while (i < lines.size()) {
    if (!StartsWithNoCase(lines[i], name)) {
      ++i;
      continue;
    }
    size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos) break;
    std::string s(lines[i].substr(colon + 1));
    ProtectQuotedCommas(s);
    SplitItems(std::move(s), list);
    // A folded line (starting with a blank) or a line without a colon continues the field; any
    // other line is scanned again. Commas inside quotes are protected on every line.
    for (++i; i < lines.size(); ++i) {
      const std::string_view line = lines[i];
      bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
      if (!folded && line.find(':') != std::string_view::npos) break;
      std::string more(line);
      ProtectQuotedCommas(more);
      SplitItems(std::move(more), list);
    }
  }
  for (std::string& item : list) std::replace(item.begin(), item.end(), '\x01', ',');
}

namespace {

template <class Lines>
void RemoveFieldFrom(Lines& lines, std::string_view name) {
  if (lines.empty()) return;
  std::string field = WithColon(name);
  auto it = std::find_if(lines.begin(), lines.end(),
                         [&](std::string_view line) { return StartsWithNoCase(line, field); });
  if (it == lines.end()) return;
  auto end = it + 1;
  while (end != lines.end()) {
    const std::string_view line = *end;
    if (line.empty() || (line[0] != ' ' && line[0] != '\t')) break;
    ++end;
  }
  lines.erase(it, end);
}

template <class Lines>
void TruncateAtBlankLineOf(Lines& lines) {
  auto blank = std::find_if(lines.begin(), lines.end(), [](std::string_view line) { return line.empty(); });
  lines.erase(blank, lines.end());
}

}  // namespace

void RemoveField(TStringList& lines, std::string_view name) { RemoveFieldFrom(lines, name); }
void RemoveField(TmsHeaders& lines, std::string_view name) { RemoveFieldFrom(lines, name); }
void TruncateAtBlankLine(TStringList& lines) { TruncateAtBlankLineOf(lines); }
void TruncateAtBlankLine(TmsHeaders& lines) { TruncateAtBlankLineOf(lines); }

void TmsHeaders::erase(const_iterator first, const_iterator last) {
  const size_t from = first.index(), to = last.index();
  if (from >= to) return;
  const size_t begin = from == 0 ? 0 : ends_[from - 1], removed = ends_[to - 1] - begin;
  text_.erase(begin, removed);
  ends_.erase(ends_.begin() + std::ptrdiff_t(from), ends_.begin() + std::ptrdiff_t(to));
  for (size_t i = from; i < ends_.size(); ++i) ends_[i] -= uint32_t(removed);
}

namespace {

// One encoded word found in a header text: where it stands and what it holds.
struct TEncodedWord {
  size_t begin = 0, end = 0;  // "=?" to just after "?="
  std::string charset;        // without an RFC 2231 language ("utf-8*en" -> "utf-8")
  std::string bytes;          // the decoded bytes, in charset
};

// The encoded word "=?charset?B|Q?text?=" that starts at from or later; false when none does.
// The letters B and Q count in either case; the text may not hold "?" or a blank.
bool FindEncodedWord(std::string_view s, size_t from, TEncodedWord& word) {
  for (size_t st; (st = s.find("=?", from)) != std::string_view::npos; from = st + 1) {
    const size_t q1 = s.find('?', st + 2);
    if (q1 == std::string_view::npos) return false;
    if (q1 + 3 >= s.size() || s[q1 + 2] != '?') continue;
    const char letter = s[q1 + 1];
    if (letter != 'B' && letter != 'b' && letter != 'Q' && letter != 'q') continue;
    const size_t close = s.find("?=", q1 + 3);
    if (close == std::string_view::npos) return false;
    std::string_view charset = s.substr(st + 2, q1 - st - 2);
    std::string_view text = s.substr(q1 + 3, close - q1 - 3);
    if (charset.empty() || charset.find_first_of(" \t") != std::string_view::npos ||
        text.find_first_of(" \t") != std::string_view::npos)
      continue;
    word.begin = st;
    word.end = close + 2;
    word.charset = std::string(charset.substr(0, charset.find('*')));
    word.bytes = letter == 'B' || letter == 'b' ? DecodeB(text) : DecodeQ(text);
    return true;
  }
  return false;
}

}  // namespace

std::string DecodeHeaderText(std::string_view text) {
  // Text between encoded words is raw header bytes; blanks between two encoded words go. The
  // bytes of adjacent words in one charset are joined before conversion, as a character may be
  // split between them.
  std::string out;
  std::string pending, pendingCharset;
  auto flush = [&] {
    if (!pending.empty()) out += ToUtf8(pending, pendingCharset);
    pending.clear();
  };
  size_t pos = 0;
  bool afterWord = false;
  for (TEncodedWord word; FindEncodedWord(text, pos, word); pos = word.end) {
    std::string_view between = text.substr(pos, word.begin - pos);
    const bool blanksOnly = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!(afterWord && blanksOnly)) {
      flush();
      out += RawToUtf8(between);
    } else if (Normalized(word.charset) != Normalized(pendingCharset)) {
      flush();
    }
    pendingCharset = word.charset;
    pending += word.bytes;
    afterWord = true;
  }
  flush();
  out += RawToUtf8(text.substr(pos));
  return Utf8Prefix(out, kShort);
}

std::string StripQuotes(std::string_view text) {
  std::string s = Trim(text);
  size_t begin = 0, end = s.size();
  while (begin < end && s[begin] == '"') ++begin;
  while (end > begin && s[end - 1] == '"') --end;
  return s.substr(begin, end - begin);
}

namespace {

// The parameters of a structured value ("type/sub; a=1; b="x y""), names in lower case, values
// unquoted (backslash pairs undone), in order. The media type before the first ";" is skipped.
std::vector<std::pair<std::string, std::string>> Parameters(std::string_view value) {
  std::vector<std::pair<std::string, std::string>> params;
  size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    ++i;  // past the ";"
    const size_t eq = value.find_first_of("=;", i);
    if (eq == std::string_view::npos) break;
    if (value[eq] == ';') {  // a parameter without "="
      i = eq;
      continue;
    }
    std::string name = Lower(Trim(value.substr(i, eq - i)));
    size_t k = eq + 1;
    while (k < value.size() && IsBlank(value[k])) ++k;
    std::string text;
    if (k < value.size() && value[k] == '"') {
      for (++k; k < value.size() && value[k] != '"'; ++k) {
        if (value[k] == '\\' && k + 1 < value.size()) ++k;
        text += value[k];
      }
      i = value.find(';', k);
    } else {
      const size_t semi = value.find(';', k);
      text = Trim(value.substr(k, semi == std::string_view::npos ? semi : semi - k));
      i = semi;
    }
    params.emplace_back(std::move(name), std::move(text));
  }
  return params;
}

// "%XX" escapes undone.
std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// An RFC 2231 extended value "charset'language'%XX...": its charset, and the rest.
std::string_view SplitCharset(std::string_view text, std::string& charset) {
  const size_t q1 = text.find('\'');
  const size_t q2 = q1 == std::string_view::npos ? q1 : text.find('\'', q1 + 1);
  if (q2 == std::string_view::npos) return text;
  charset = std::string(text.substr(0, q1));
  return text.substr(q2 + 1);
}

}  // namespace

std::string GetParameter(std::string_view paramName, std::string_view value) {
  if (paramName.empty()) return std::string();
  const std::string wanted = Lower(paramName);
  const auto params = Parameters(value);
  auto find = [&params](const std::string& name) -> const std::string* {
    for (const auto& param : params)
      if (param.first == name) return &param.second;
    return nullptr;
  };
  // RFC 2231: "name*=charset'lang'%XX", or sections "name*0", "name*1*", ... joined in order,
  // the charset given by the first.
  std::string charset;
  if (const std::string* text = find(wanted + "*"))
    return Trim(ToUtf8(PercentDecode(SplitCharset(*text, charset)), charset));
  std::string bytes;
  bool sections = false;
  for (int n = 0;; ++n) {
    const std::string section = wanted + "*" + std::to_string(n);
    if (const std::string* text = find(section + "*")) {
      bytes += PercentDecode(n == 0 ? SplitCharset(*text, charset) : std::string_view(*text));
    } else if (const std::string* plain = find(section)) {
      bytes += *plain;
    } else {
      break;
    }
    sections = true;
  }
  if (sections) return Trim(ToUtf8(bytes, charset));
  const std::string* text = find(wanted);
  return text ? Trim(*text) : std::string();
}

std::string GetMediaType(std::string_view value) {
  return Trim(Cut255(std::string(value.substr(0, value.find_first_of(" ;")))));
}

std::string ExtractWord(std::string_view text, int n, bool firstOnly) {
  std::string s(text);
  for (int i = 0; i < n; ++i) {
    size_t space = s.find(' ');
    if (space == std::string::npos) return std::string();
    s = Trim(std::string_view(s).substr(space + 1));
  }
  if (firstOnly) s = Trim(std::string_view(s).substr(0, s.find(' ')));
  return Trim(s);
}

void ParseMailDate(std::string_view text, TDateTime& dateTime, std::string& zone) {
  dateTime = 0;
  zone.clear();
  std::string s = Upper(StripQuotes(text));
  if (s.empty()) return;
  s = Trim(DropFront(s, std::min(FirstDigit(s), s.size())));
  try {
    // Day.
    size_t space = s.find(' ');
    int day = StrToInt(Trim(std::string_view(s).substr(0, space)));
    s = Trim(DropFront(s, space == std::string::npos ? s.size() : space + 1));
    // Month.
    static const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    int month = 0;
    for (int m = 0; m < 12 && month == 0; ++m)
      if (s.find(kMonths[m]) != std::string::npos) month = m + 1;
    if (month == 0) return;
    s = Trim(DropFront(s, std::min(FirstDigit(s), s.size())));
    // Year.
    size_t delim = s.find_first_of(" ,");
    std::string yearText = Trim(std::string_view(s).substr(0, delim));
    if (!yearText.empty() && yearText.back() == ',') yearText.pop_back();
    int year = StrToInt(yearText);
    if (year >= 0 && year <= 50)
      year += 2000;
    else if (year >= 51 && year <= 99)
      year += 1900;
    s = Trim(DropFront(s, delim == std::string::npos ? s.size() : delim + 1));
    // Time.
    space = s.find(' ');
    std::string timeText = Trim(std::string_view(s).substr(0, space));
    if (!timeText.empty() && timeText.back() == ',') timeText.pop_back();
    if (timeText.size() == 8) timeText[2] = timeText[5] = ':';
    TDateTime time = 0;
    if (!ConvertTime(timeText, time)) time = 0;
    TDateTime date = 0;
    if (!TryEncodeDate(year, month, day, date)) return;
    dateTime = date + time;
    zone = space == std::string::npos ? std::string() : Trim(DropFront(s, space + 1));
  } catch (const EConvertError&) {
    dateTime = 0;
    zone.clear();
  }
}

std::optional<int> MailZoneOffset(std::string_view zone) {
  std::string word = Upper(Trim(zone));
  word = word.substr(0, word.find_first_of(" \t("));
  static const std::pair<const char*, int> kNames[] = {
      {"GMT", 0},       {"UT", 0},        {"UTC", 0},       {"Z", 0},
      {"EST", -5 * 60}, {"EDT", -4 * 60}, {"CST", -6 * 60}, {"CDT", -5 * 60},
      {"MST", -7 * 60}, {"MDT", -6 * 60}, {"PST", -8 * 60}, {"PDT", -7 * 60}};
  for (const auto& [name, minutes] : kNames)
    if (word == name) return minutes;
  for (const char* prefix : {"GMT", "UTC"})
    if (word.starts_with(prefix)) word.erase(0, std::strlen(prefix));
  if (word.size() == 6 && word[3] == ':') word.erase(3, 1);
  if (word.size() != 5 || (word[0] != '+' && word[0] != '-') ||
      word.find_first_not_of("0123456789", 1) != std::string::npos)
    return std::nullopt;
  const int hours = (word[1] - '0') * 10 + (word[2] - '0');
  const int minutes = (word[3] - '0') * 10 + (word[4] - '0');
  if (hours > 23 || minutes > 59) return std::nullopt;
  return (word[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

int MailZoneMinutes(std::string_view zone) {
  return MailZoneOffset(zone).value_or(0);
}

TDateTime MailDateToUtc(std::string_view text) {
  TDateTime written = 0;
  std::string zone;
  ParseMailDate(text, written, zone);
  if (written == 0) return 0;
  // In whole seconds, so that one instant written in two zones gives the same value.
  const int64_t seconds = std::llround(written * 86400) - int64_t(MailZoneMinutes(zone)) * 60;
  return double(seconds) / 86400;
}

TDateTime MailDateToLocal(std::string_view text) {
  const TDateTime utc = MailDateToUtc(text);
  if (utc == 0) return 0;
  constexpr double kEpoch = 25569;  // 1 January 1970
  const std::time_t seconds = std::time_t(std::llround((utc - kEpoch) * 86400));
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return utc;
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec);
}

std::string LocalTimeZone() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return "GMT";
  return FormatZoneOffset(int(local.tm_gmtoff / 60));
}

std::string FormatZoneOffset(int minutes) {
  const long long magnitude = minutes < 0 ? -(long long)(minutes) : (long long)(minutes);
  char text[32];
  std::snprintf(text, sizeof text, "%c%02lld%02lld", minutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

std::string ContentTypeOfFile(std::string_view fileName) {
  std::string name = ExtractFileName(fileName);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return kOctetStream;
  const auto& table = MimeTypes();
  auto found = table.find(Lower(std::string_view(name).substr(dot + 1)));
  return found == table.end() || found->second.empty() ? kOctetStream : found->second;
}

std::string IncludeTrailingBackslash(std::string_view dir) {
  std::string result(dir);
  if (!result.empty() && result.back() != '/') result += '/';
  return result;
}

std::string ExtractFileName(std::string_view path) {
  size_t separator = path.find_last_of("/\\");
  return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

// ---- addresses ----

bool TmsMailAddress::Edit() {
  if (!EditHook) return false;
  TmsMailAddress edited;  // the dialog's own copy: Cancel leaves this address as it was
  edited.Assign(*this);
  if (!EditHook(edited)) return false;
  Assign(edited);
  return true;
}

void ParseAddress(std::string_view text, TmsMailAddress& address) {
  // The address is the last "<" outside quotes: a quoted name may hold "<" of its own.
  size_t l = std::string_view::npos;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && text[i] == '<') {
      l = i;
    }
  }
  if (l == std::string_view::npos) l = text.find('<');
  if (l != std::string_view::npos) {
    size_t r = text.find('>', l);
    if (r == std::string_view::npos) throw EAddressError("Unable to parse email address");
    address.Address = StripQuotes(text.substr(l + 1, r - l - 1));
    std::string rest = std::string(text.substr(0, l)) + std::string(text.substr(r + 1));
    address.Name = StripQuotes(rest);
    return;
  }
  size_t q = text.find('(');
  if (q != std::string_view::npos) {
    address.Address = StripQuotes(text.substr(0, q));
    size_t count = text.size() - q - 1;  // after "(", without the last character
    address.Name = StripQuotes(count > 0 ? text.substr(q + 1, count - 1) : std::string_view());
    return;
  }
  address.Address = text;
  address.Name.clear();
}

namespace {

bool IsMailbox(std::string_view address) {
  const size_t at = address.find('@');
  if (at == 0 || at == std::string_view::npos || at + 1 == address.size()) return false;
  if (address.find('@', at + 1) != std::string_view::npos) return false;
  for (char c : address)
    if (static_cast<unsigned char>(c) <= 32 || c == 127 ||
        std::string_view("<>()[],;:\\\"").find(c) != std::string_view::npos)
      return false;
  return true;
}

}  // namespace

std::vector<std::string> SplitAddressList(std::string_view raw, bool semicolons) {
  std::vector<std::string> items;
  std::string item;
  bool quoted = false, angled = false;
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (quoted && c == '\\' && i + 1 < raw.size()) {
      (item += c) += raw[++i];
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '<') angled = true;
    if (!quoted && c == '>') angled = false;
    if ((c == ',' || c == ';') && !quoted && !angled) {
      // A ";" separates like a comma; in a header field it also ends a group.
      items.push_back(Trim(item));
      item.clear();
      continue;
    }
    if (c == ':' && !semicolons && !quoted && !angled) {
      // A group's display name ("undisclosed-recipients:;") names no address.
      item.clear();
      continue;
    }
    item += c;
  }
  items.push_back(Trim(item));
  std::erase_if(items, [](const std::string& text) { return text.empty(); });
  return items;
}

void ParseAddressList(std::string_view text, TmsAddressList& list) {
  std::vector<std::string> items = SplitAddressList(text, true);
  // An unquoted name with a comma ("Nair, Priya <p@x>", as a decoded From reads) is one item.
  for (size_t i = 0; i + 1 < items.size(); ++i)
    if (items[i].find_first_of("@<") == std::string::npos &&
        items[i + 1].find('<') != std::string::npos) {
      items[i + 1] = items[i] + ", " + items[i + 1];
      items.erase(items.begin() + std::ptrdiff_t(i));
      --i;
    }
  if (items.empty()) throw EAddressError(std::string(kInvalidAddress) + "\n" + std::string(text));
  TmsAddressList parsed;
  for (const std::string& entry : items) {
    TmsMailAddress address;
    try {
      ParseAddress(entry, address);
    } catch (const EAddressError&) {
      address.Clear();
    }
    if (!IsMailbox(address.Address.str()))
      throw EAddressError(std::string(kInvalidAddress) + "\n" + entry);
    parsed.AddAddress(address.Address.str(), address.Name.str());
  }
  for (int32_t i = 0; i < parsed.Count(); ++i)
    list.AddAddress(parsed.Items(i).Address.str(), parsed.Items(i).Name.str());
}

TmsMailAddress& TmsAddressList::AddAddress(std::string_view address, std::string_view name) {
  auto item = std::make_unique<TmsMailAddress>();
  item->Address = address;
  item->Name = name;
  items_.push_back(std::move(item));
  return *items_.back();
}

void TmsAddressList::Clear() {
  while (!items_.empty()) items_.pop_back();
}

void TmsAddressList::Assign(const TmsAddressList& source) {
  if (&source == this) return;
  Clear();
  for (const auto& item : source.items_) {
    auto copy = std::make_unique<TmsMailAddress>();
    copy->Assign(*item);
    items_.push_back(std::move(copy));
  }
}

TStringList TmsAddressList::WriteItems() const {
  TStringList values;
  for (const auto& item : items_) {
    values.push_back(item->Name.str());
    values.push_back(item->Address.str());
  }
  return values;
}

void TmsAddressList::ReadItems(const TStringList& values) {
  Clear();
  for (size_t i = 0; i + 1 < values.size(); i += 2) AddAddress(values[i + 1], values[i]);
}

// ---- attachments ----

void TmsAttItem::SetFileName(std::string_view fileName) {
  fileName_ = fileName;
  if (fileName_.empty()) return;
  ContentType = ContentTypeOfFile(fileName_.str());
  std::string type = Upper(ContentType.str());
  if (type == "TEXT/PLAIN" || type == "TEXT/RTF" || type == "TEXT/HTML")
    TransferEncoding = aeQuotedPrintable;
  else if (type == "MESSAGE/RFC822")
    TransferEncoding = aeSevenBit;
  else
    TransferEncoding = aeBase64;
}

void TmsAttItem::Assign(const TmsAttItem& source) {
  if (&source == this) return;
  Data.Assign(source.Data.Bytes());
  ContentType = source.ContentType;
  TransferEncoding = source.TransferEncoding;
  fileName_ = source.fileName_;
}

void TmsAttList::Clear() {
  while (!items_.empty()) items_.pop_back();
}

void TmsAttList::Assign(const TmsAttList& source) {
  if (&source == this) return;
  Clear();
  for (const auto& item : source.items_) {
    auto copy = std::make_unique<TmsAttItem>();
    copy->Assign(*item);
    items_.push_back(std::move(copy));
  }
}

TmsAttItem& TmsAttList::AddFile(const std::string& fileName) {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(fileName);
  item->Data.LoadFromFile(fileName);
  items_.push_back(std::move(item));
  return *items_.back();
}

std::vector<TmsAttList::TStoredItem> TmsAttList::WriteItems() const {
  std::vector<TStoredItem> values;
  for (const auto& item : items_)
    values.push_back(
        {item->FileName().str(), item->ContentType.str(), int(item->TransferEncoding)});
  return values;
}

void TmsAttList::ReadItems(const std::vector<TStoredItem>& values) {
  Clear();
  for (const TStoredItem& value : values) {
    auto item = std::make_unique<TmsAttItem>();
    item->SetFileName(value.FileName);
    item->ContentType = value.ContentType;
    // A stored value outside the enumeration (a damaged store) is taken as base64, which
    // carries any bytes.
    item->TransferEncoding = value.TransferEncoding >= 0 && value.TransferEncoding <= 2
                                 ? TAttEncoding(value.TransferEncoding)
                                 : aeBase64;
    items_.push_back(std::move(item));
  }
}

}  // namespace norva
