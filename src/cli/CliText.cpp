// How norva-cli writes texts: bytes as JSON text and back, and bytes made safe for a terminal.
#include "cli/CliText.h"

#include <cstdio>
#include <stdexcept>

namespace norva::cli {

std::string ToJsonText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string FromJsonText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += char(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      out += char(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
    } else {
      throw std::runtime_error("text holds a character above U+00FF: texts are bytes");
    }
  }
  return out;
}

namespace {

bool IsUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const size_t more = c < 0x80                ? 0
                        : c >= 0xC2 && c < 0xE0 ? 1
                        : c >= 0xE0 && c < 0xF0 ? 2
                        : c >= 0xF0 && c < 0xF5 ? 3
                                                : 4;
    if (more == 4 || more > bytes.size() - 1 - i) return false;
    for (size_t k = 1; k <= more; ++k)
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    i += more;
  }
  return true;
}

void Escape(unsigned char c, std::string& out) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", c);
  out += hex;
}

}  // namespace

std::string Printable(std::string_view bytes) {
  const bool utf8 = IsUtf8(bytes);
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (utf8 && c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0) {
      Escape(static_cast<unsigned char>(bytes[++i]), out);  // U+0080-U+009F
    } else if (c < 0x20 || c == 0x7F || (!utf8 && c >= 0x80 && c < 0xA0)) {
      Escape(c, out);
    } else if (utf8 || c < 0x80) {
      out += char(c);
    } else {
      out += ToJsonText(std::string_view(bytes).substr(i, 1));  // Latin-1 as UTF-8
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
