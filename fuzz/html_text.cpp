// HTML of any bytes as text, and the charset its <meta> declares: UTF-8 in gives UTF-8 out, the
// text is never much larger than the HTML, and the scan stays linear (run under -timeout).
#include "FuzzInput.h"
#include "mail/mscharset.h"
#include "mail/mshtml.h"

using namespace norva;

namespace {

void Render(const std::string& html) {
  const std::string text = HtmlToText(html);
  if (text.size() > 4 * html.size() + 64) fuzz::Fail("text grew", html, text);
  if (IsUtf8(html) && !IsUtf8(text)) fuzz::Fail("text not UTF-8", html, text);
  // Lines end in visible text, and no more than two empty lines follow one another.
  if (text.find("\n\n\n\n") != std::string::npos) fuzz::Fail("three empty lines", html, text);
  if (!text.empty() && (text.back() == '\n' || text.front() == '\n'))
    fuzz::Fail("empty line at an end", html, text);
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', end + 1))
    if (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t'))
      fuzz::Fail("blank at a line end", html, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string charset = HtmlMetaCharset(bytes);
  if (charset.size() > 4096 || !IsAscii(charset)) fuzz::Fail("meta charset", bytes, charset);
  for (char c : charset)
    if (c >= 'A' && c <= 'Z') fuzz::Fail("meta charset not lower case", bytes, charset);
  // As the decoder hands it over: in UTF-8, from its declared charset; and as the bytes stand.
  Render(ToUtf8(bytes, charset));
  Render(bytes);
  for (std::string_view name : {std::string_view(bytes).substr(0, 40), std::string_view("#x1F600"),
                                std::string_view(bytes).substr(0, 3)}) {
    const long code = HtmlEntity(name);
    if (code == 0 || code >= 0x110000 || (code >= 0xD800 && code < 0xE000) || code < -1)
      fuzz::Fail("entity code", name);
  }
  return 0;
}
