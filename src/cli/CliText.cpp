// How norva-cli writes texts: message text as JSON strings, and text made safe for a terminal.
#include "cli/CliText.h"

#include <cstdint>
#include <cstdio>

#include "mail/mscharset.h"

namespace norva::cli {

namespace {

void Escape(unsigned char c, std::string& out) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", c);
  out += hex;
}

}  // namespace

std::string ToJsonText(std::string_view text) {
  return ValidUtf8(text);
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      // Printable ASCII, nearly all of a list: the whole run at once.
      size_t end = i + 1;
      while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x20 &&
             static_cast<unsigned char>(text[end]) < 0x7F)
        ++end;
      out.append(text, i, end - i);
      i = end;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0 || c < 0x20 || c == 0x7F) {
      Escape(c, out);
      ++i;
    } else if (BidiControlLength(text, i) != 0) {
      // A direction control would turn the rest of the line around: "\u202E".
      const uint32_t cp = 0x2000u | uint32_t(static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6 |
                          uint32_t(static_cast<unsigned char>(text[i + 2]) & 0x3F);
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04X", unsigned(cp));
      out += hex;
      i += 3;
    } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      Escape(static_cast<unsigned char>(text[i + 1]), out);  // U+0080-U+009F
      i += 2;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string PrintableLines(std::string_view text) {
  std::string out;
  for (size_t start = 0;;) {
    const size_t end = text.find('\n', start);
    out += Printable(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    out += "\n  ";
    start = end + 1;
  }
}

double& LockWaitSeconds() {
  static double seconds = 0;
  return seconds;
}

}  // namespace norva::cli
