// The message encoder: header block (encoded words, folded lines, Date and Message-ID), the
// message's parts as MIME entities with the transfer encoding each one's bytes need, and the
// uuencoded layout.
#include "mail/msmime.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

#include "mail/mscharset.h"
#include "mail/msuucode.h"

namespace norva {
namespace {

constexpr const char* kPreamble = "This is a multipart message in MIME format";
constexpr size_t kBase64Block = 57;  // 76 characters per line
constexpr size_t kUUBlock = 45;      // the most one uuencoded line holds
// The shortest encoded word worth starting on a line: its frame and one character of any size.
constexpr size_t kMinWord = 24;
// A reply's References keep the first and the latest identifiers, so that a long thread does
// not give an endless field.
constexpr size_t kMaxReferences = 20;

// The fields the encoder writes itself (or never writes, BCC), dropped from the raw headers.
constexpr const char* kOwnFields[] = {"From",
                                      "To",
                                      "CC",
                                      "BCC",
                                      "Return-Receipt-To",
                                      "X-Priority",
                                      "Subject",
                                      "Mime-Version",
                                      "Content-Type",
                                      "X-Encoding",
                                      "Content-Transfer-Encoding",
                                      "Content-Disposition"};

enum TTransfer { kSevenBit, kEightBit, kBase64, kQuoted };
constexpr const char* kTransferNames[] = {"7bit", "8bit", "base64", "quoted-printable"};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

bool IsAsciiAlnum(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The bytes of the UTF-8 character that starts at pos (a stray byte counts alone).
size_t CharBytes(std::string_view text, size_t pos) {
  const uint8_t c = uint8_t(text[pos]);
  const size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  return std::min(n, text.size() - pos);
}

// Characters an encoded word in a phrase may hold as they are (RFC 2047 section 5 (3)).
bool QLiteral(uint8_t c) {
  return IsAsciiAlnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

size_t QLength(std::string_view bytes) {
  size_t length = 0;
  for (char c : bytes) length += QLiteral(uint8_t(c)) || c == ' ' ? 1 : 3;
  return length;
}

void AppendHex(uint8_t c, char mark, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  out += mark;
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

std::string QEncode(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const uint8_t c = uint8_t(ch);
    if (c == ' ')
      out += '_';
    else if (QLiteral(c))
      out += ch;
    else
      AppendHex(c, '=', out);
  }
  return out;
}

// The next encoded word of at most maxWord characters from text at pos (one character at
// least); pos moves past what it holds. Characters are never split between words.
std::string NextWord(std::string_view text, size_t& pos, bool base64, size_t maxWord) {
  const std::string frame = base64 ? "=?utf-8?B?" : "=?utf-8?Q?";
  const size_t payload = maxWord > frame.size() + 2 ? maxWord - frame.size() - 2 : 0;
  const size_t maxBytes = payload / 4 * 3;
  size_t end = pos, used = 0;
  while (end < text.size()) {
    const size_t n = CharBytes(text, end);
    const size_t cost = base64 ? n : QLength(text.substr(end, n));
    if (end > pos && used + cost > (base64 ? maxBytes : payload)) break;
    used += cost;
    end += n;
  }
  // A word that does not take the rest ends after a blank where it has one: some readers put
  // a blank between encoded words, which then only doubles one.
  if (end < text.size()) {
    const size_t blank = text.substr(pos, end - pos).rfind(' ');
    if (blank != std::string_view::npos && blank > 0) end = pos + blank + 1;
  }
  const std::string_view chunk = text.substr(pos, end - pos);
  pos = end;
  return frame + (base64 ? Base64Encode(chunk) : QEncode(chunk)) + "?=";
}

// RFC 2231 attribute characters stand as they are; all else is %XX.
std::string Percent(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const uint8_t c = uint8_t(ch);
    if (IsAsciiAlnum(c) || std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos)
      out += ch;
    else
      AppendHex(c, '%', out);
  }
  return out;
}

// The last path component of the attachment's name: names come from received messages.
std::string FilePart(const TmsAttItem& item) {
  return ExtractFileName(item.FileName().str());
}

// What an attachment's bytes hold, for the choice of its transfer encoding.
struct TByteScan {
  bool eightBit = false;     // a byte from 128 up
  bool nul = false;          // a zero byte
  bool bareEnd = false;      // a CR or LF that is not part of CR LF
  bool substitute = false;   // the byte 26, which the quoted-printable reader may take for an end
  bool longLine = false;     // a line longer than kMaxBodyLine
  bool endsWithLine = true;  // empty, or ends with CR LF

  // One pass over the bytes. Most bytes are above 26 and only tell whether the data is 8-bit;
  // the rest take the slow path, which also ends the scan once every flag it can set is set
  // (binary data does so within a few KB).
  explicit TByteScan(std::string_view d) {
    bool high = false, zero = false, sub = false, bare = false, tooLong = false;
    size_t lineStart = 0;
    const size_t n = d.size();
    for (size_t i = 0; i < n; ++i) {
      const uint8_t c = uint8_t(d[i]);
      if (c > 26) {
        high |= c >= 0x80;
        continue;
      }
      zero |= c == 0;
      sub |= c == 26;
      if (i - lineStart > kMaxBodyLine) tooLong = true;  // the line is too long wherever it ends
      if (c == '\r' && i + 1 < n && d[i + 1] == '\n') {
        lineStart = i + 2;
        ++i;
      } else if (c == '\r' || c == '\n') {
        bare = true;
      }
      if (high && zero && sub && bare && tooLong) break;
    }
    if (n - lineStart > kMaxBodyLine) tooLong = true;
    eightBit = high;
    nul = zero;
    bareEnd = bare;
    substitute = sub;
    longLine = tooLong;
    endsWithLine = d.empty() || d.ends_with("\r\n");
  }
};

// The boundary of a multipart body kept whole as an attachment's bytes: its first delimiter
// line, when a closing delimiter of the same boundary follows. "" when there is none.
std::string FindBoundary(std::string_view d) {
  for (size_t pos = 0; pos < d.size();) {
    size_t end = d.find("\r\n", pos);
    if (end == std::string_view::npos) end = d.size();
    std::string_view line = d.substr(pos, end - pos);
    if (line.starts_with("--") && line.size() > 2) {
      std::string boundary(line.substr(2));
      while (!boundary.empty() && (boundary.back() == ' ' || boundary.back() == '\t'))
        boundary.pop_back();
      if (boundary.empty() || boundary.ends_with("--")) return "";
      return d.find("\r\n--" + boundary + "--", end) != std::string_view::npos ? boundary : "";
    }
    pos = end + 2;
  }
  return "";
}

// The message identifiers ("<...>") in a field value. A value without brackets that is one
// word with an "@" counts as one identifier.
std::vector<std::string> MessageIDs(std::string_view value) {
  std::vector<std::string> ids;
  for (size_t open = value.find('<'); open != std::string_view::npos;
       open = value.find('<', open + 1)) {
    const size_t close = value.find('>', open);
    if (close == std::string_view::npos) break;
    const std::string_view id = value.substr(open + 1, close - open - 1);
    const bool printable = !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
      return c > ' ' && c < 127 && c != '<';
    });
    if (printable) ids.push_back("<" + std::string(id) + ">");
  }
  const std::string bare = Trim(value);
  if (ids.empty() && bare.find('@') != std::string::npos &&
      std::all_of(bare.begin(), bare.end(),
                  [](char c) { return c > ' ' && c < 127 && c != '<' && c != '>'; }))
    ids.push_back("<" + bare + ">");
  return ids;
}

// A domain fit to stand after the "@" of a Message-ID: dot-separated atoms.
bool UsableDomain(std::string_view domain) {
  if (domain.empty() || domain.front() == '.' || domain.back() == '.' ||
      domain.find("..") != std::string_view::npos)
    return false;
  return std::all_of(domain.begin(), domain.end(), [](char c) {
    return IsAsciiAlnum(uint8_t(c)) ||
           std::string_view(".-_!#$%&'*+/=?^`{|}~").find(c) != std::string_view::npos;
  });
}

std::mt19937_64& Random() {
  static thread_local std::mt19937_64 engine = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  return engine;
}

}  // namespace

// ---- header forms ----

std::string CleanHeaderText(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if ((uint8_t(c) < 32 && c != '\t') || c == 127) c = ' ';
  return out;
}

bool NeedsEncodedWords(std::string_view text) {
  for (char c : text)
    if ((uint8_t(c) < 32 && c != '\t') || uint8_t(c) >= 127) return true;
  const size_t open = text.find("=?");
  return open != std::string_view::npos && text.find("?=", open + 2) != std::string_view::npos;
}

void THeaderField::Add(std::string_view token, bool blank) {
  if (!blank) {
    lines_.back() += token;
  } else if (tokens_ && !token.empty() && lines_.back().size() + 1 + token.size() > kHeaderFoldAt) {
    lines_.push_back(" " + std::string(token));
  } else {
    lines_.back() += ' ';
    lines_.back() += token;
  }
  tokens_ = true;
}

void THeaderField::NewLine(std::string indent) {
  lines_.push_back(std::move(indent));
  tokens_ = false;
}

void THeaderField::AddWords(std::string_view text, std::string_view prefix,
                            std::string_view suffix) {
  if (text.empty()) {
    Add(std::string(prefix) + std::string(suffix));
    return;
  }
  const bool base64 = (text.size() + 2) / 3 * 4 < QLength(text);
  for (size_t pos = 0; pos < text.size();) {
    const size_t frame = (pos == 0 ? prefix.size() : 0) + suffix.size() + 1;  // and the blank
    const size_t used = lines_.back().size() + frame;
    const size_t room = used < kHeaderFoldAt ? kHeaderFoldAt - used : 0;
    // A fresh line where the word is short of room, or where the rest would fit in one word
    // there but not here.
    const size_t rest = base64 ? (text.size() - pos + 2) / 3 * 4 : QLength(text.substr(pos));
    const size_t whole = rest + 12;  // "=?utf-8?Q?" and "?="
    if (tokens_ && (room < kMinWord || (whole > room && whole + frame <= kHeaderFoldAt))) {
      NewLine("");
      continue;
    }
    std::string token(pos == 0 ? prefix : std::string_view());
    token += NextWord(text, pos, base64, std::clamp(room, kMinWord, kMaxEncodedWord));
    if (pos == text.size()) token += suffix;
    lines_.back() += ' ';
    lines_.back() += token;
    tokens_ = true;
  }
}

void THeaderField::AddText(std::string_view text) {
  // Tokens between single blanks. Folds go only where one blank stands alone: readers that
  // join folded lines with one blank then read the text as it was.
  bool single = true;
  for (size_t start = 0;;) {
    const size_t blank = text.find(' ', start);
    const std::string_view token = text.substr(
        start, blank == std::string_view::npos ? std::string_view::npos : blank - start);
    const bool last = blank == std::string_view::npos;
    if (single && !token.empty()) {
      Add(token);
    } else {
      lines_.back() += ' ';
      lines_.back() += token;
      tokens_ = true;
    }
    single = !token.empty();
    if (last) break;
    start = blank + 1;
  }
}

void THeaderField::AddParameter(std::string_view name, std::string_view value) {
  Add(";", false);
  const std::string quoted = std::string(name) + "=\"" + std::string(value) + "\"";
  const bool plain = !NeedsEncodedWords(value) && value.find_first_of("\"\\") == std::string::npos;
  if (plain && quoted.size() + 2 <= kHeaderFoldAt) return Add(quoted);
  const std::string whole = std::string(name) + "*=utf-8''" + Percent(value);
  if (whole.size() + 2 <= kHeaderFoldAt) return Add(whole);
  // Continuations of whole characters, each on a line of its own.
  for (size_t n = 0, pos = 0; pos < value.size(); ++n) {
    const std::string head =
        std::string(name) + "*" + std::to_string(n) + "*=" + (n == 0 ? "utf-8''" : "");
    std::string chunk;
    while (pos < value.size()) {
      const size_t bytes = CharBytes(value, pos);
      const std::string escaped = Percent(value.substr(pos, bytes));
      if (!chunk.empty() && head.size() + chunk.size() + escaped.size() + 2 > kHeaderFoldAt) break;
      chunk += escaped;
      pos += bytes;
    }
    if (n > 0) Add(";", false);
    Add(head + chunk);
  }
}

std::string FormatMailDate(TDateTime value) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int year, month, day, hour, minute, second;
  DecodeDateTime(value, year, month, day, hour, minute, second);
  // The day of the week of a Gregorian date, 0 for Sunday.
  static const int kMonthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  const int y = month < 3 ? year - 1 : year;
  const int weekday =
      ((y + y / 4 - y / 100 + y / 400 + kMonthOffsets[(month + 11) % 12] + day) % 7 + 7) % 7;
  // The zone in force at that local time, summer time included.
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  std::string zone = "+0000";
  const std::time_t instant = std::mktime(&local);
  std::tm resolved{};
  if (instant != std::time_t(-1) && localtime_r(&instant, &resolved) != nullptr)
    zone = FormatZoneOffset(int(resolved.tm_gmtoff / 60));
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %s", kDays[weekday], day,
                kMonths[(month + 11) % 12], year, hour, minute, second, zone.c_str());
  return text;
}

std::string MakeMessageID(std::string_view address) {
  const size_t at = address.rfind('@');
  std::string domain(at == std::string_view::npos ? std::string_view() : address.substr(at + 1));
  if (!UsableDomain(domain)) domain = "norva.invalid";
  char random[40];
  std::snprintf(random, sizeof random, "%016llx%016llx", (unsigned long long)Random()(),
                (unsigned long long)Random()());
  return "<" + std::string(random) + "@" + domain + ">";
}

TStringList ReplyHeaderLines(THeaderLines originalHeaders) {
  const std::vector<std::string> own = MessageIDs(GetFieldValue(originalHeaders, "Message-ID"));
  if (own.empty()) return {};
  const std::string& id = own.front();
  std::vector<std::string> references = MessageIDs(GetFieldValue(originalHeaders, "References"));
  if (references.empty()) {
    std::vector<std::string> parent = MessageIDs(GetFieldValue(originalHeaders, "In-Reply-To"));
    if (parent.size() == 1) references = parent;
  }
  std::erase(references, id);
  references.push_back(id);
  if (references.size() > kMaxReferences)
    references.erase(references.begin() + 1, references.end() - (kMaxReferences - 1));
  THeaderField inReplyTo("In-Reply-To:");
  inReplyTo.Add(id);
  THeaderField field("References:");
  for (const std::string& reference : references) field.Add(reference);
  TStringList lines = inReplyTo.Lines();
  lines.insert(lines.end(), field.Lines().begin(), field.Lines().end());
  return lines;
}

// ---- the encoder ----

namespace {

size_t CharCount(std::string_view text) {
  return size_t(
      std::count_if(text.begin(), text.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

// The leading ">" marks of a line.
size_t QuoteDepth(std::string_view line) {
  const size_t depth = line.find_first_not_of('>');
  return depth == std::string_view::npos ? line.size() : depth;
}

// text cut after blanks into pieces of at most width characters where it can be; the pieces
// give text again, joined.
std::vector<std::string> WrapPieces(const std::string& text, size_t width) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (CharCount(std::string_view(text).substr(start)) > width) {
    size_t cut = std::string::npos, chars = 0;
    for (size_t i = start; i < text.size(); ++i) {
      if ((uint8_t(text[i]) & 0xC0) != 0x80) ++chars;
      if (i == start || text[i - 1] != ' ' || text[i] == ' ') continue;
      if (chars - 1 <= width) {
        cut = i;  // the piece [start, i) fits; a later cut may fit too
      } else {
        if (cut == std::string::npos) cut = i;  // a long word: the first cut after it
        break;
      }
    }
    if (cut == std::string::npos) break;  // no blank to break at
    pieces.push_back(text.substr(start, cut - start));
    start = cut;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace

TStringList FlowText(const TStringList& lines, size_t width) {
  TStringList out;
  for (const std::string& line : lines) {
    if (line == "-- ") {
      out.push_back(line);
      continue;
    }
    std::string text = line.substr(0, line.find_last_not_of(' ') + 1);
    const size_t depth = QuoteDepth(text);
    std::string prefix = text.substr(0, depth);
    if (depth > 0 && depth < text.size() && text[depth] == ' ') prefix += ' ';
    const std::string content = text.substr(prefix.size());
    const size_t room = std::max<size_t>(width > prefix.size() ? width - prefix.size() : 0, 20);
    std::vector<std::string> pieces = WrapPieces(content, room);
    // A soft-broken "-- " would read as the signature mark, which ends no paragraph: it stays
    // with the word after it.
    for (size_t i = 0; i + 1 < pieces.size();) {
      if (pieces[i] == "-- ") {
        pieces[i] += pieces[i + 1];
        pieces.erase(pieces.begin() + std::ptrdiff_t(i) + 1);
      } else {
        ++i;
      }
    }
    for (const std::string& piece : pieces) {
      // A blank or ">" right after the quote marks would change the depth or be taken for
      // stuffing, and "From " opens a line that mailbox files mark: each gets a stuffing blank.
      const bool spaced = !prefix.empty() && prefix.back() == ' ';
      const bool stuff = !spaced && (piece.starts_with(' ') || piece.starts_with('>') ||
                                     (depth == 0 && piece.starts_with("From ")));
      out.push_back(prefix + (stuff ? " " : "") + piece);
    }
  }
  return out;
}

TStringList UnflowText(const TStringList& lines, bool delSp) {
  TStringList out;
  bool open = false;  // the last line out ended with a soft break
  size_t openDepth = 0;
  for (const std::string& line : lines) {
    const size_t depth = QuoteDepth(line);
    const bool stuffed = depth < line.size() && line[depth] == ' ';
    std::string text = line.substr(depth + (stuffed ? 1 : 0));
    const bool signature = text == "-- ";
    const bool soft = !signature && !text.empty() && text.back() == ' ';
    if (soft && delSp) text.pop_back();
    if (open && depth == openDepth && !signature)
      out.back() += text;
    else
      out.push_back(depth > 0 ? line.substr(0, depth) + (stuffed ? " " : "") + text : text);
    open = soft;
    openDepth = depth;
  }
  return out;
}

TmsCustomEncoder::TmsCustomEncoder(TmsCustomMessage& message) : message_(message) {}

void TmsCustomEncoder::WriteLine(std::string_view text) {
  if (Stream == nullptr) throw Exception("The encoder has no destination stream");
  std::string line(text.substr(0, text.find('\0')));
  line += "\r\n";
  Stream->WriteString(line);
}

void TmsCustomEncoder::WriteHeaderLine(std::string_view text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  WriteLine(line);
}

void TmsCustomEncoder::WriteField(const THeaderField& field) {
  for (const std::string& line : field.Lines()) WriteHeaderLine(line);
}

std::string TmsCustomEncoder::MakeBoundary() {
  static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<int> pick(0, 61);
  std::string boundary = "=_";
  for (int i = 0; i < 24; ++i) boundary += kChars[pick(Random())];
  return boundary;
}

std::string TmsCustomEncoder::ModelText(std::string_view text) const {
  if (message_.CharSet == csISO2022jp && text.find('\x1b') != std::string_view::npos)
    return ToUtf8(text, "iso-2022-jp");
  return IsUtf8(text) ? std::string(text) : RawToUtf8(text);
}

void TmsCustomEncoder::Encode() {
  if (Stream == nullptr) throw Exception("The encoder has no destination stream");
  // The stream holds exactly this message afterwards, whatever it held before.
  Stream->SetPosition(0);
  Stream->SetSize(0);
  boundaries_.clear();
  mime_ = message_.Encoding != meUU || !message_.Html.empty() || NeedsMime(message_.Body);
  WriteHeaders();
  if (mime_)
    WriteEntity(Layout(), true);
  else
    WriteUUEncoded();
}

// ---- header block ----

void TmsCustomEncoder::AddAddress(THeaderField& field, const TmsMailAddress& address,
                                  bool more) const {
  std::string name = CleanHeaderText(ModelText(address.Name.str()));
  const std::string tail = "<" + CleanHeaderText(address.Address.str()) + ">" + (more ? "," : "");
  if (NeedsEncodedWords(name)) {
    // Quotes the name carries are no part of it inside encoded words.
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
      name = name.substr(1, name.size() - 2);
    field.AddWords(name);
  } else if (name.find('"') == std::string::npos &&
             name.find_first_of(".,;:<>@()[]") != std::string::npos) {
    // A full stop (a middle initial) or another character that would split or end the address
    // is quoted, unless the name carries its own quotes.
    field.AddText("\"" + name + "\"");
  } else {
    field.AddText(name);
  }
  field.Add(tail);
}

void TmsCustomEncoder::WriteAddressField(std::string_view label, const TmsMailAddress& address) {
  std::string start(label);
  if (start.size() < 9) start.resize(9, ' ');
  THeaderField field(start);
  AddAddress(field, address, false);
  WriteField(field);
}

void TmsCustomEncoder::WriteAddressList(std::string_view label, const TmsAddressList& list) {
  if (list.Count() == 0) return;
  std::string start(label);
  if (start.empty() || start.back() != ':') start += ':';
  if (start.size() < 9) start.resize(9, ' ');
  THeaderField field(start);
  for (int32_t i = 0; i < list.Count(); ++i) {
    if (i > 0) field.NewLine(std::string(9, ' '));
    AddAddress(field, list.Items(i), i + 1 < list.Count());
  }
  WriteField(field);
}

void TmsCustomEncoder::WriteSubject(std::string_view label) {
  const std::string subject = CleanHeaderText(ModelText(message_.Subject.str()));
  if (subject.empty()) return;
  THeaderField field{std::string(label)};
  if (NeedsEncodedWords(subject))
    field.AddWords(subject);
  else
    field.AddText(subject);
  WriteField(field);
}

void TmsCustomEncoder::WriteOtherHeaders(std::string_view extraField) {
  TmsHeaders& headers = message_.Headers;
  auto removeAll = [&headers](std::string_view name) {
    for (size_t count = headers.size() + 1; headers.size() < count;) {
      count = headers.size();
      RemoveField(headers, name);
    }
  };
  for (const char* name : kOwnFields) removeAll(name);
  if (!extraField.empty()) removeAll(extraField);
  bool fieldStarted = false;
  for (const std::string_view line : headers) {
    // An empty line would end the header block; a continuation line before any field would
    // join the field written before it.
    if (line.empty()) continue;
    if (line[0] == ' ' || line[0] == '\t') {
      if (!fieldStarted) continue;
    } else {
      fieldStarted = true;
    }
    WriteHeaderLine(line);
  }
}

void TmsCustomEncoder::AddDateAndMessageID(std::string_view messageID) {
  // A message read from somewhere is written as it came: an identity of its own would make
  // the copy another message.
  if (!message_.Original.empty()) return;
  AddMissingDateAndMessageID(message_, messageID);
}

void AddMissingDateAndMessageID(TmsCustomMessage& message, std::string_view messageID) {
  TmsHeaders& headers = message.Headers;
  const auto missing = [&headers](std::string_view name) {
    if (!Trim(GetFieldValue(headers, name)).empty()) return false;
    RemoveField(headers, name);  // an empty one
    return true;
  };
  if (missing("Date")) headers.push_back("Date: " + FormatMailDate(Now()));
  if (missing("Message-ID")) {
    const std::vector<std::string> given = MessageIDs(messageID);
    headers.push_back("Message-ID: " +
                      (given.empty() ? MakeMessageID(message.Sender.Address) : given.front()));
  }
}

void TmsCustomEncoder::WriteMimeVersion() {
  if (mime_) WriteLine("Mime-Version: 1.0");
}

void TmsMessageEncoder::WriteHeaders() {
  auto* message = dynamic_cast<TmsMessage*>(&message_);
  if (message == nullptr) throw EMessageError("The mail encoder needs a mail message");
  AddDateAndMessageID();
  WriteAddressField("From:", message->Sender);
  WriteAddressList("To", message->Recipients);
  WriteAddressList("CC", message->CC);
  if (message->ReturnReceipt)
    WriteHeaderLine("Return-Receipt-To: <" + CleanHeaderText(message->Sender.Address.str()) + ">");
  if (message->Priority == ptHigh) WriteLine("X-Priority: 1");
  if (message->Priority == ptLow) WriteLine("X-Priority: 5");
  WriteOtherHeaders();
  WriteSubject("Subject:");
  WriteMimeVersion();
}

void TmsArticleEncoder::WriteHeaders() {
  auto* article = dynamic_cast<TmsArticle*>(&message_);
  if (article == nullptr) throw EMessageError("The news encoder needs a news article");
  AddDateAndMessageID(article->MessageID);
  WriteAddressField("From:", article->Sender);
  WriteHeaderLine("Newsgroups: " + article->NewsGroups);
  // The raw headers of a loaded article hold its Newsgroups field too.
  WriteOtherHeaders("Newsgroups");
  WriteSubject("Subject: ");
  WriteMimeVersion();
}

// ---- the parts ----

bool TmsCustomEncoder::NeedsMime(const TStringList& lines) const {
  for (const std::string& line : lines) {
    const std::string text = ModelText(line);
    if (text.size() > kMaxBodyLine || !IsAscii(text) || text.find('\0') != std::string::npos)
      return true;
  }
  for (int32_t i = 0; i < message_.Attachments.Count(); ++i)
    if (!IsAscii(FilePart(message_.Attachments.Items(i)))) return true;
  return false;
}

TmsCustomEncoder::TEntity TmsCustomEncoder::TextEntity(const TStringList& lines,
                                                       const std::string& type, bool flowed) {
  TStringList text;
  text.reserve(lines.size());
  for (const std::string& line : lines) text.push_back(ModelText(line));
  if (flowed) text = FlowText(text);
  bool ascii = true, fit = true;  // fit: goes as it stands, line by line
  for (const std::string& t : text) {
    if (!IsAscii(t)) ascii = false;
    if (t.size() > kMaxBodyLine ||
        t.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos)
      fit = false;
  }
  const bool quoted = !fit || (!ascii && !EightBit);
  const TTransfer transfer = quoted ? kQuoted : ascii ? kSevenBit : kEightBit;
  TEntity entity;
  THeaderField contentType("Content-Type: " + type);
  contentType.AddParameter("charset", ascii ? "us-ascii" : "utf-8");
  if (flowed) contentType.AddParameter("format", "flowed");
  entity.headers = contentType.Lines();
  entity.headers.push_back(std::string("Content-Transfer-Encoding: ") + kTransferNames[transfer]);
  entity.write = [this, text = std::move(text), quoted] { WriteTextLines(text, quoted); };
  return entity;
}

void TmsCustomEncoder::WriteTextLines(const TStringList& lines, bool quoted) {
  TStringList encoded;
  for (const std::string& line : lines) {
    if (!quoted) {
      WriteLine(line);
      continue;
    }
    encoded.clear();
    EncodeQuotedPrintable(line, false, encoded);
    for (const std::string& part : encoded) WriteLine(part);
  }
}

// The transfer encoding follows what the bytes need: the item's own choice where it carries them
// exactly, else quoted-printable for text, else base64. Messages and multiparts go as they are
// (they may not be encoded), or as plain bytes where they cannot.
TmsCustomEncoder::TEntity TmsCustomEncoder::AttachmentEntity(TmsAttItem& item, bool named,
                                                             const std::string& type) {
  const std::string& data = item.Data.Bytes();
  const TByteScan scan(data);
  std::string media = GetMediaType(type.empty() ? item.ContentType.str() : type);
  if (media.empty()) media = "application/octet-stream";
  const std::string lower = Lower(media);
  std::string charset = GetParameter("charset", item.ContentType.str()), boundary;
  TTransfer transfer = kBase64;
  if (lower.starts_with("message/") || lower.starts_with("multipart/")) {
    const bool whole = !scan.nul && !scan.bareEnd && !scan.longLine && (!scan.eightBit || EightBit);
    if (lower.starts_with("multipart/")) {
      boundary = GetParameter("boundary", item.ContentType.str());
      if (boundary.empty()) boundary = FindBoundary(data);
    }
    if (whole && (lower.starts_with("message/") || !boundary.empty())) {
      transfer = scan.eightBit ? kEightBit : kSevenBit;
    } else {
      media = "application/octet-stream";
      boundary.clear();
    }
  } else {
    const TAttEncoding wanted =
        item.TransferEncoding <= aeQuotedPrintable ? item.TransferEncoding : aeBase64;
    const bool sevenBit =
        !scan.eightBit && !scan.nul && !scan.bareEnd && !scan.longLine && scan.endsWithLine;
    const bool quoted = !scan.nul && !scan.bareEnd && !scan.substitute;
    const bool text = lower.starts_with("text/");
    if (wanted == aeSevenBit && sevenBit)
      transfer = kSevenBit;
    else if (wanted != aeBase64 && quoted && (text || wanted == aeQuotedPrintable))
      transfer = kQuoted;
    if (text && charset.empty() && scan.eightBit && IsUtf8(data)) charset = "utf-8";
  }

  const std::string name = CleanHeaderText(ModelText(FilePart(item)));
  TEntity entity;
  THeaderField contentType("Content-Type: " + media);
  if (!charset.empty() && lower.starts_with("text/"))
    contentType.AddParameter("charset", CleanHeaderText(charset));
  if (!boundary.empty()) contentType.AddParameter("boundary", boundary);
  if (named && !name.empty()) {
    // The name for readers that know no RFC 2231 parameters: as it stands where a quoted
    // string carries it, else as encoded words.
    contentType.Add(";", false);
    if (NeedsEncodedWords(name) || name.find_first_of("\"\\") != std::string::npos)
      contentType.AddWords(name, "name=\"", "\"");
    else
      contentType.Add("name=\"" + name + "\"");
  }
  entity.headers = contentType.Lines();
  entity.headers.push_back(std::string("Content-Transfer-Encoding: ") + kTransferNames[transfer]);
  if (named) {
    THeaderField disposition("Content-Disposition: attachment");
    if (!name.empty()) disposition.AddParameter("filename", name);
    entity.headers.insert(entity.headers.end(), disposition.Lines().begin(),
                          disposition.Lines().end());
  }
  entity.write = [this, &item, transfer] {
    const std::string& bytes = item.Data.Bytes();
    switch (transfer) {
      case kBase64:
        for (size_t pos = 0; pos < bytes.size(); pos += kBase64Block)
          WriteLine(Base64Encode(std::string_view(bytes).substr(pos, kBase64Block)));
        break;
      case kQuoted: {
        const int64_t position = item.Data.Position();
        TStringList lines;
        TQuotedPrintable(item.Data, lines).Encode();
        item.Data.SetPosition(position);
        for (const std::string& line : lines) WriteLine(line);
        break;
      }
      default:
        // Its line ends are CR LF already; a message that does not end with one gets it.
        Stream->WriteString(bytes);
        if (!bytes.empty() && !bytes.ends_with("\r\n")) Stream->WriteString("\r\n");
        break;
    }
  };
  return entity;
}

TmsCustomEncoder::TEntity TmsCustomEncoder::Layout() {
  TmsAttList& attachments = message_.Attachments;
  const std::string storedType = message_.ContentType();
  const bool noBody = message_.Body.empty();
  // "_alt.N" items are alternatives of the text; "_HtmBody.htm" or "_RtfBody.rtf" first, with
  // no text, is the text.
  std::vector<TmsAttItem*> alternatives, files;
  TmsAttItem* bodyFile = nullptr;
  for (int32_t i = 0; i < attachments.Count(); ++i) {
    TmsAttItem& item = attachments.Items(i);
    const std::string name = Lower(FilePart(item));
    if (name.starts_with("_alt."))
      alternatives.push_back(&item);
    else if (i == 0 && noBody && (name == "_htmbody.htm" || name == "_rtfbody.rtf"))
      bodyFile = &item;
    else
      files.push_back(&item);
  }

  std::vector<TEntity> texts;  // the message's text in its forms, plain first
  if (!noBody || (attachments.Count() == 0 && message_.Html.empty())) {
    // Without Html, a text stored as html or rtf holds that markup.
    const bool markup = attachments.Count() == 0 && message_.Html.empty() &&
                        (storedType == "text/html" || storedType == "text/rtf");
    // Plain text goes flowed: lines of at most 72 characters that readers join again into
    // the paragraphs as typed.
    texts.push_back(TextEntity(message_.Body, markup ? storedType : "text/plain", !markup));
  }
  if (!message_.Html.empty()) texts.push_back(TextEntity(SplitLines(message_.Html), "text/html"));
  if (bodyFile)
    texts.push_back(AttachmentEntity(
        *bodyFile, false, Lower(FilePart(*bodyFile)) == "_rtfbody.rtf" ? "text/rtf" : "text/html"));
  for (TmsAttItem* item : alternatives) texts.push_back(AttachmentEntity(*item, false, ""));

  const bool hasText = !texts.empty();
  TEntity text;
  if (texts.size() == 1) {
    text = std::move(texts.front());
  } else if (texts.size() > 1) {
    text.multipart = "alternative";
    text.parts = std::move(texts);
  }
  if (files.empty()) return hasText ? text : TextEntity({}, "text/plain");
  if (!hasText && files.size() == 1) return AttachmentEntity(*files.front(), true, "");
  TEntity mixed;
  mixed.multipart = "mixed";
  if (hasText) mixed.parts.push_back(std::move(text));
  for (TmsAttItem* item : files) mixed.parts.push_back(AttachmentEntity(*item, true, ""));
  return mixed;
}

void TmsCustomEncoder::WriteEntity(const TEntity& entity, bool top) {
  if (entity.multipart.empty()) {
    for (const std::string& line : entity.headers) WriteHeaderLine(line);
    WriteLine("");
    entity.write();
    return;
  }
  std::string boundary = MakeBoundary();
  while (std::find(boundaries_.begin(), boundaries_.end(), boundary) != boundaries_.end())
    boundary = MakeBoundary();
  boundaries_.push_back(boundary);
  THeaderField contentType("Content-Type: multipart/" + entity.multipart);
  contentType.AddParameter("boundary", boundary);
  WriteField(contentType);
  WriteLine("");
  if (top) {
    WriteLine(kPreamble);
    WriteLine("");
  }
  // The line end before each delimiter belongs to the delimiter, so each part ends with an
  // empty line of its own.
  for (const TEntity& part : entity.parts) {
    WriteLine("--" + boundary);
    WriteEntity(part, false);
    WriteLine("");
  }
  WriteLine("--" + boundary + "--");
}

// ---- uuencoded ----

void TmsCustomEncoder::WriteUUEncoded() {
  WriteLine("");
  for (const std::string& line : message_.Body) WriteLine(ModelText(line));
  for (int32_t i = 0; i < message_.Attachments.Count(); ++i) {
    const TmsAttItem& item = message_.Attachments.Items(i);
    WriteLine("");
    WriteHeaderLine("begin 600 " + FilePart(item));
    const std::string& bytes = item.Data.Bytes();
    for (size_t pos = 0;;) {
      const size_t length = std::min(kUUBlock, bytes.size() - pos);
      WriteLine(UUEncodeLine(std::string_view(bytes).substr(pos, length)));
      pos += length;
      if (length < kUUBlock) break;
    }
    WriteLine("`");
    WriteLine("end");
  }
}

}  // namespace norva
