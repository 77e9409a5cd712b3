// Transfer codecs: base64 and uuencoding line by line, quoted-printable between lines and bytes.
#include "mail/msuucode.h"

#include <algorithm>
#include <array>
#include <vector>

#include "store/Pump.h"

namespace norva {
namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of every byte in the base64 alphabet, -1 for the others.
const std::array<int8_t, 256> kBase64Values = [] {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 64; ++i) values[uint8_t(kBase64Alphabet[i])] = int8_t(i);
  return values;
}();

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

char UUChar(uint32_t value) {
  value &= 63;
  return value == 0 ? '`' : char(value + 32);
}

uint32_t UUValue(char c) {
  return (uint32_t(uint8_t(c)) - 32) & 63;
}

// Reads a stream byte by byte through a buffer, with one byte of look-ahead.
class TByteReader {
 public:
  explicit TByteReader(TStream& stream) : stream_(stream), buffer_(65536) {}

  // The next byte, or -1 at the end of the data.
  int Next() {
    int c = Peek();
    if (c >= 0) ++pos_;
    return c;
  }
  int Peek() {
    if (pos_ == len_) {
      len_ = size_t(std::max<int64_t>(0, stream_.Read(buffer_.data(), int64_t(buffer_.size()))));
      pos_ = 0;
      if (len_ == 0) return -1;
    }
    return uint8_t(buffer_[pos_]);
  }

 private:
  TStream& stream_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

// The bytes of one quoted-printable line without its soft break. Malformed escapes are kept as
// they stand, so that a stray "=" never costs the reader the whole text.
std::string DecodeQPText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=' && i + 2 < text.size()) {
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += char(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  char* o = out.data();
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    o[0] = kBase64Alphabet[v >> 18];
    o[1] = kBase64Alphabet[(v >> 12) & 63];
    o[2] = kBase64Alphabet[(v >> 6) & 63];
    o[3] = kBase64Alphabet[v & 63];
    o += 4;
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {  // the padding "=" is already there
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    o[0] = kBase64Alphabet[v >> 18];
    o[1] = kBase64Alphabet[(v >> 12) & 63];
    if (rest == 2) o[2] = kBase64Alphabet[(v >> 6) & 63];
  }
  return out;
}

// Decodes four alphabet characters at a time; every other character is skipped (line ends,
// blanks a transport added). "=" ends a group early: its characters give the whole bytes they
// carry (two characters one byte, three two), and decoding goes on after it, so that pieces
// encoded one after the other decode alike. An incomplete last group counts the same way.
void Base64DecodeLine(std::string_view line, std::string& output) {
  ProcessMessages();
  // Whole groups of four alphabet characters, the bulk of any line, three bytes at a time; the
  // first group with another character, and what follows it, takes the careful way.
  size_t done = 0;
  {
    const size_t start = output.size();
    output.resize(start + line.size() / 4 * 3);
    char* out = output.data() + start;
    for (; done + 4 <= line.size(); done += 4) {
      const int a = kBase64Values[uint8_t(line[done])], b = kBase64Values[uint8_t(line[done + 1])],
                c = kBase64Values[uint8_t(line[done + 2])],
                d = kBase64Values[uint8_t(line[done + 3])];
      if ((a | b | c | d) < 0) break;
      const uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
      out[0] = char(v >> 16);
      out[1] = char(v >> 8);
      out[2] = char(v);
      out += 3;
    }
    output.resize(size_t(out - output.data()));
  }
  uint32_t bits = 0;
  int count = 0;
  auto flush = [&] {
    bits <<= 6 * (4 - count);
    for (int k = 0; k < count * 6 / 8; ++k) output += char((bits >> (16 - 8 * k)) & 0xFF);
    bits = 0;
    count = 0;
  };
  for (char ch : line.substr(done)) {
    const int value = kBase64Values[uint8_t(ch)];
    if (value >= 0) {
      bits = bits << 6 | uint32_t(value);
      if (++count == 4) flush();
    } else if (ch == '=') {
      flush();
    }
  }
  flush();
}

std::string UUEncodeLine(std::string_view bytes) {
  bytes = bytes.substr(0, 45);
  std::string out(1, UUChar(uint32_t(bytes.size())));
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) v |= uint8_t(bytes[i + 2]);
    out += UUChar(v >> 18);
    out += UUChar(v >> 12);
    out += UUChar(v >> 6);
    out += UUChar(v);
  }
  return out;
}

// Characters missing at the end of a short line count as zero bits (transports strip trailing
// spaces, which encode zero in older encoders).
void UUDecodeLine(std::string_view line, std::string& output) {
  if (line.empty()) return;
  size_t count = UUValue(line[0]);
  size_t pos = 1;
  while (count > 0) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k, ++pos) v = v << 6 | (pos < line.size() ? UUValue(line[pos]) : 0);
    size_t n = std::min<size_t>(count, 3);
    for (size_t k = 0; k < n; ++k) output += char((v >> (16 - 8 * k)) & 0xFF);
    count -= n;
  }
}

bool IsUULine(std::string_view line) {
  if (line == "`") return true;
  if (line.empty()) return false;
  for (char c : line)
    if (c < ' ' || c > '`') return false;
  const size_t length = 1 + (UUValue(line[0]) + 2) / 3 * 4;
  // Some encoders add a check character after the data.
  return line.size() == length || line.size() == length + 1;
}

std::string QuotedPrintableDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    const bool lineEnd = lf != std::string_view::npos;
    if (!lineEnd) lf = text.size();
    std::string_view line = text.substr(start, lf - start);
    const bool crlf = lineEnd && !line.empty() && line.back() == '\r';
    if (crlf) line.remove_suffix(1);
    const size_t last = line.find_last_not_of(" \t\r");
    const bool soft = last != std::string_view::npos && line[last] == '=';
    out += DecodeQPText(soft ? line.substr(0, last) : line);
    if (lineEnd && !soft) out += crlf ? "\r\n" : "\n";
    start = lf + 1;
  }
  return out;
}

// A line ending in "=" (blanks or a stray CR after it allowed) continues the paragraph; any other
// line ends it with CR LF, unless the paragraph ends in the byte 26.
void TQuotedPrintable::Decode() {
  std::string paragraph;
  auto finish = [&] {
    stream_.WriteString(paragraph);
    paragraph.clear();
    ProcessMessages();
  };
  for (const std::string& line : lines_) {
    std::string_view text(line);
    size_t end = text.find_last_not_of(" \t\r");
    bool soft = end != std::string_view::npos && text[end] == '=';
    if (soft) text = text.substr(0, end);
    // No paragraph limit here: the message is in memory already, and long soft-broken
    // paragraphs (HTML mail) must stay readable.
    paragraph += DecodeQPText(text);
    if (soft) continue;
    if (paragraph.empty() || paragraph.back() != '\x1A') paragraph += "\r\n";
    finish();
    if (Cancel) return;
  }
  if (!paragraph.empty()) finish();
}

// CR LF, a lone CR and a lone LF each end one paragraph (so LF LF is an empty paragraph).
void TQuotedPrintable::Encode() {
  stream_.SetPosition(0);
  TByteReader in(stream_);
  std::string paragraph;
  for (;;) {
    paragraph.clear();
    bool lineEnd = false;
    for (int c = in.Next(); c >= 0; c = in.Next()) {
      if (c == '\r' || c == '\n') {
        if (c == '\r' && in.Peek() == '\n') in.Next();
        lineEnd = true;
        break;
      }
      paragraph += char(c);
    }
    if (!lineEnd && paragraph.empty()) return;
    // Data that does not end with a line end ends with a soft break, so that decoding adds none.
    EncodeQuotedPrintable(paragraph, !lineEnd, lines_);
    ProcessMessages();
    if (!lineEnd || Cancel) return;
  }
}

void EncodeQuotedPrintable(std::string_view paragraph, bool soft, TStringList& lines) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line;
  char escape[3] = {'=', 0, 0};
  for (size_t i = 0; i < paragraph.size(); ++i) {
    const uint8_t c = uint8_t(paragraph[i]);
    const bool last = i + 1 == paragraph.size();
    // A blank that ends a line would be lost to transports that strip trailing blanks.
    const bool literal = c >= 32 && c < 127 && c != '=' && !(c == ' ' && last && !soft);
    std::string_view token(escape, 3);
    if (literal) {
      token = std::string_view(paragraph.data() + i, 1);
    } else {
      escape[1] = kHex[c >> 4];
      escape[2] = kHex[c & 15];
    }
    // A line that goes on ends with "=": 75 characters and the soft break at most. The last
    // line of a hard-broken paragraph may use all 76.
    const size_t limit = last && !soft ? kQuotedPrintableLine : kQuotedPrintableLine - 1;
    if (line.size() + token.size() > limit) {
      lines.push_back(line + '=');
      line.clear();
    }
    line += token;
  }
  if (soft) line += '=';
  lines.push_back(std::move(line));
}

}  // namespace norva
