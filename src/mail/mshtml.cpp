// HTML as plain text: a small tag scanner that renders what a browser would show as lines.
#include "mail/mshtml.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "mail/mscharset.h"

namespace norva {
namespace {

// The entity names of U+00A0 to U+00FF, in order.
const char* const kLatin1Names[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

struct TNamedEntity {
  const char* name;
  long code;
};
const TNamedEntity kOtherNames[] = {
    {"amp", '&'},       {"lt", '<'},        {"gt", '>'},        {"quot", '"'},
    {"apos", '\''},     {"euro", 0x20AC},   {"ndash", 0x2013},  {"mdash", 0x2014},
    {"lsquo", 0x2018},  {"rsquo", 0x2019},  {"sbquo", 0x201A},  {"ldquo", 0x201C},
    {"rdquo", 0x201D},  {"bdquo", 0x201E},  {"hellip", 0x2026}, {"bull", 0x2022},
    {"trade", 0x2122},  {"dagger", 0x2020}, {"Dagger", 0x2021}, {"permil", 0x2030},
    {"lsaquo", 0x2039}, {"rsaquo", 0x203A}, {"ensp", 0x2002},   {"emsp", 0x2003},
    {"thinsp", 0x2009}, {"zwnj", 0x200C},   {"zwj", 0x200D},    {"lrm", 0x200E},
    {"rlm", 0x200F},    {"OElig", 0x152},   {"oelig", 0x153},   {"Scaron", 0x160},
    {"scaron", 0x161},  {"Yuml", 0x178},    {"fnof", 0x192},    {"circ", 0x2C6},
    {"tilde", 0x2DC},   {"larr", 0x2190},   {"uarr", 0x2191},   {"rarr", 0x2192},
    {"darr", 0x2193},   {"minus", 0x2212},  {"infin", 0x221E},  {"ne", 0x2260},
    {"le", 0x2264},     {"ge", 0x2265},     {"hearts", 0x2665}, {"prime", 0x2032},
};

// What browsers show for the references &#128; to &#159; (Windows-1252); 0 keeps the value.
const uint16_t kC1Characters[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}
bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAlnum(char c) {
  return IsAlpha(c) || (c >= '0' && c <= '9');
}
char LowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), LowerChar);
  return out;
}
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

// Text with its character references decoded: "&" starts one when a known name or a number
// follows, ended by ";" (which a name may also lack); anything else stays as written.
std::string DecodeEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    size_t end = i + 1;
    if (end < text.size() && text[end] == '#') ++end;
    while (end < text.size() && end - i < 34 && IsAlnum(text[end])) ++end;
    const long code = HtmlEntity(text.substr(i + 1, end - i - 1));
    if (code < 0) {
      out += '&';
      continue;
    }
    AppendCodePoint(uint32_t(code), out);
    i = end < text.size() && text[end] == ';' ? end : end - 1;
  }
  return out;
}

// One tag as scanned: its lower-case name and the attributes the renderer uses.
struct TTag {
  std::string name;
  bool end = false;
  bool selfClosing = false;
  bool hidden = false;  // display:none, mso-hide:all or the hidden attribute
  std::string href;
};

// Reads the tag that starts at text[pos] ("<" then a letter, or "</" then a letter) up to its
// ">"; returns the position after it (text.size() when it never ends).
size_t ReadTag(std::string_view text, size_t pos, TTag& tag) {
  size_t i = pos + 1;
  if (text[i] == '/') {
    tag.end = true;
    ++i;
  }
  const size_t nameStart = i;
  while (i < text.size() && !IsSpace(text[i]) && text[i] != '/' && text[i] != '>') ++i;
  tag.name = Lower(text.substr(nameStart, i - nameStart));
  for (;;) {
    while (i < text.size() && (IsSpace(text[i]) || text[i] == '/')) {
      if (text[i] == '/') tag.selfClosing = true;
      ++i;
    }
    if (i >= text.size()) return text.size();
    if (text[i] == '>') return i + 1;
    tag.selfClosing = false;
    const size_t attrStart = i;
    while (i < text.size() && !IsSpace(text[i]) && text[i] != '=' && text[i] != '>' &&
           (text[i] != '/' || i == attrStart))
      ++i;
    const std::string attr = Lower(text.substr(attrStart, i - attrStart));
    while (i < text.size() && IsSpace(text[i])) ++i;
    std::string_view value;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() && IsSpace(text[i])) ++i;
      if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
        const size_t close = text.find(text[i], i + 1);
        const size_t stop = close == std::string_view::npos ? text.size() : close;
        value = text.substr(i + 1, stop - i - 1);
        i = stop == text.size() ? stop : stop + 1;
      } else {
        const size_t valueStart = i;
        while (i < text.size() && !IsSpace(text[i]) && text[i] != '>') ++i;
        value = text.substr(valueStart, i - valueStart);
      }
    }
    if (attr == "href") tag.href = DecodeEntities(value);
    if (attr == "hidden") tag.hidden = true;
    if (attr == "style") {
      std::string style;
      for (char c : value)
        if (!IsSpace(c)) style += LowerChar(c);
      if (style.find("display:none") != std::string::npos ||
          style.find("mso-hide:all") != std::string::npos)
        tag.hidden = true;
    }
  }
}

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

bool IsVoid(const std::string& name) {
  return IsOneOf(name, {"br", "img", "hr", "meta", "link", "input", "area", "base", "col", "embed",
                        "param", "source", "track", "wbr"});
}

// The line breaks an element asks for at its start and end: 2 for one with margins (an empty
// line), 1 for other blocks, 0 for inline elements.
int BlockBreaks(const std::string& name) {
  if (IsOneOf(name, {"p", "h1", "h2", "h3", "h4", "h5", "h6", "blockquote", "pre", "hr"})) return 2;
  if (IsOneOf(name, {"div",        "tr",      "table",  "thead",   "tbody",    "tfoot",  "caption",
                     "dl",         "dt",      "dd",     "form",    "fieldset", "legend", "section",
                     "article",    "header",  "footer", "nav",     "aside",    "main",   "figure",
                     "figcaption", "address", "center", "details", "summary",  "li",     "option"}))
    return 1;
  return 0;
}

// Collects the rendered text: white space and line breaks wait until visible text follows, so
// that runs collapse and nothing dangles at the end.
class TRenderer {
 public:
  // At most this many line ends in a row (two empty lines).
  static constexpr int kMaxBreaks = 3;

  void Space() { space_ = true; }
  // Ensures that the next text starts at least that many line ends after the last.
  void Break(int lines) { breaks_ = std::max(breaks_, lines); }
  // One line end more (<br>, a line end inside <pre>).
  void LineEnd() { breaks_ = std::min(breaks_ + 1, kMaxBreaks); }
  void Prefix(std::string prefix) { prefix_ = std::move(prefix); }

  // Visible text; white space in it collapses unless it is preformatted.
  void Text(std::string_view text, bool preformatted) {
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\xC2' && i + 1 < text.size() && text[i + 1] == '\xA0') {
        Put(' ');  // a no-break space: a blank that does not collapse
        ++i;
      } else if (preformatted && c == '\n') {
        LineEnd();
      } else if (preformatted && c == '\r') {
        continue;
      } else if (!preformatted && IsSpace(c)) {
        space_ = true;
      } else {
        Put(c);
      }
    }
  }
  // Text written as it stands after what came before, without a space between.
  void Append(std::string_view text) {
    for (char c : text) Put(c);
  }
  size_t Written() const { return written_; }

  // The lines, blanks at their ends and empty lines at both ends removed, and no more than
  // two empty lines in a row (lines of blanks in <pre> become empty too).
  std::string Finish() {
    std::string result;
    int emptyRun = 0;
    for (size_t start = 0; start <= out_.size();) {
      size_t end = out_.find('\n', start);
      if (end == std::string::npos) end = out_.size();
      std::string_view line(out_.data() + start, end - start);
      start = end + 1;
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
      if (line.empty()) {
        if (result.empty() || emptyRun >= kMaxBreaks - 1) continue;
        ++emptyRun;
      } else {
        emptyRun = 0;
      }
      if (!result.empty()) result += '\n';
      result.append(line);
    }
    while (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
  }

 private:
  void Put(char c) {
    bool lineStart = out_.empty();
    if (!lineStart && breaks_ > 0) {
      out_.append(size_t(breaks_), '\n');
      lineStart = true;
    }
    breaks_ = 0;
    if (lineStart) {
      out_ += prefix_;
      prefix_.clear();
    } else if (space_ && out_.back() != ' ') {
      out_ += ' ';
    }
    space_ = false;
    out_ += c;
    ++written_;
  }

  std::string out_;
  std::string prefix_;
  int breaks_ = 0;
  bool space_ = false;
  size_t written_ = 0;
};

// A link's target as shown after its text; "" when it is not worth showing (a jump inside the
// page, a script, or the text already says it).
std::string ShownTarget(std::string_view href, std::string_view text) {
  std::string target(href);
  while (!target.empty() && IsSpace(target.back())) target.pop_back();
  target.erase(0, std::min(target.size(), target.find_first_not_of(" \t\r\n")));
  const std::string lower = Lower(target);
  if (target.empty() || target[0] == '#' || lower.starts_with("javascript:")) return "";
  auto bare = [](std::string s) {
    for (const char* scheme : {"mailto:", "http://", "https://"})
      if (StartsWithNoCase(s, scheme)) s.erase(0, std::string_view(scheme).size());
    while (!s.empty() && (s.back() == '/' || IsSpace(s.back()))) s.pop_back();
    s.erase(0, std::min(s.size(), s.find_first_not_of(" \t\r\n")));
    return Lower(s);
  };
  if (bare(target) == bare(std::string(text))) return "";
  return lower.starts_with("mailto:") ? target.substr(7) : target;
}

}  // namespace

long HtmlEntity(std::string_view name) {
  if (name.size() >= 2 && name[0] == '#') {
    const bool hex = name[1] == 'x' || name[1] == 'X';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return -1;
    long code = 0;
    for (char c : digits) {
      int value = c >= '0' && c <= '9'                       ? c - '0'
                  : hex && IsAlpha(c) && LowerChar(c) <= 'f' ? LowerChar(c) - 'a' + 10
                                                             : -1;
      if (value < 0) return -1;
      code = std::min(code * (hex ? 16 : 10) + value, 0x110000L);
    }
    if (code >= 0x80 && code < 0xA0 && kC1Characters[code - 0x80] != 0)
      return kC1Characters[code - 0x80];
    const bool control = code < 0x20 && code != '\t' && code != '\n' && code != '\r';
    if (control || code >= 0x110000 || (code >= 0xD800 && code < 0xE000)) return 0xFFFD;
    return code;
  }
  for (size_t i = 0; i < std::size(kLatin1Names); ++i)
    if (name == kLatin1Names[i]) return long(0xA0 + i);
  for (const TNamedEntity& entity : kOtherNames)
    if (name == entity.name) return entity.code;
  return -1;
}

std::string HtmlMetaCharset(std::string_view html) {
  const std::string head = Lower(html.substr(0, 4096));
  for (size_t meta = head.find("<meta"); meta != std::string::npos;
       meta = head.find("<meta", meta + 5)) {
    const size_t close = head.find('>', meta);
    const std::string_view tag =
        std::string_view(head).substr(meta, close == std::string::npos ? close : close - meta);
    size_t at = tag.find("charset=");
    if (at == std::string_view::npos) continue;
    at += 8;
    while (at < tag.size() && (tag[at] == '"' || tag[at] == '\'' || IsSpace(tag[at]))) ++at;
    size_t end = at;
    while (end < tag.size() &&
           (IsAlnum(tag[end]) || std::string_view("-_:.").find(tag[end]) != std::string_view::npos))
      ++end;
    if (end > at) return std::string(tag.substr(at, end - at));
  }
  return "";
}

namespace {

// Renders the HTML; with hide, the content of hidden elements is left out. unclosed tells that a
// hidden element never ended (and so hid the rest of the document).
std::string Render(std::string_view html, bool hide, bool& unclosed) {
  TRenderer out;
  bool inHead = false;
  int pre = 0;
  std::string hiddenTag;  // the element whose content is hidden, and its nesting
  int hiddenDepth = 0;
  std::vector<int> lists;  // per open list: the next number, or 0 for bullets
  bool inLink = false;
  std::string href;
  size_t linkStart = 0;
  std::string linkText;
  // Shows where the open link goes, after its text.
  auto closeLink = [&] {
    const std::string target = ShownTarget(href, linkText);
    if (inLink && out.Written() > linkStart && !target.empty()) out.Append(" <" + target + ">");
    inLink = false;
  };

  size_t i = 0;
  while (i < html.size()) {
    const size_t lt = html.find('<', i);
    const size_t textEnd = lt == std::string_view::npos ? html.size() : lt;
    if (textEnd > i && !inHead && hiddenDepth == 0) {
      const std::string text = DecodeEntities(html.substr(i, textEnd - i));
      out.Text(text, pre > 0);
      if (inLink) linkText += text;
    }
    if (lt == std::string_view::npos) break;
    i = lt;
    const char next = i + 1 < html.size() ? html[i + 1] : '\0';
    if (html.substr(i).starts_with("<!--")) {
      const size_t close = html.find("-->", i + 4);
      i = close == std::string_view::npos ? html.size() : close + 3;
      continue;
    }
    if (next == '!' || next == '?' ||
        (next == '/' && !(i + 2 < html.size() && IsAlpha(html[i + 2])))) {
      const size_t close = html.find('>', i);
      i = close == std::string_view::npos ? html.size() : close + 1;
      continue;
    }
    if (!IsAlpha(next) && next != '/') {
      if (!inHead && hiddenDepth == 0) out.Text("<", pre > 0);
      ++i;
      continue;
    }
    TTag tag;
    i = ReadTag(html, i, tag);
    const std::string& name = tag.name;

    // Elements whose content is never shown: skipped up to their end tag.
    if (!tag.end && !tag.selfClosing &&
        IsOneOf(name, {"script", "style", "title", "textarea", "xmp", "xml", "template"})) {
      size_t at = i;
      for (;;) {
        at = html.find("</", at);
        if (at == std::string_view::npos || StartsWithNoCase(html.substr(at + 2), name)) break;
        at += 2;
      }
      if (at == std::string_view::npos) break;
      const size_t close = html.find('>', at);
      i = close == std::string_view::npos ? html.size() : close + 1;
      continue;
    }
    if (name == "head") {
      inHead = !tag.end;
      continue;
    }
    if (name == "body") inHead = false;
    if (inHead) continue;
    if (hiddenDepth > 0) {
      if (name == hiddenTag && !IsVoid(name)) hiddenDepth += tag.end ? -1 : 1;
      continue;
    }
    if (hide && !tag.end && tag.hidden && !IsVoid(name) && !tag.selfClosing) {
      hiddenTag = name;
      hiddenDepth = 1;
      continue;
    }

    if (name == "br") {
      out.LineEnd();
    } else if (name == "td" || name == "th") {
      out.Space();
    } else if (name == "ul" || name == "ol" || name == "menu") {
      // A list inside a list has no margins of its own.
      if (tag.end && !lists.empty()) lists.pop_back();
      out.Break(lists.empty() ? 2 : 1);
      if (!tag.end) lists.push_back(name == "ol" ? 1 : 0);
    } else if (name == "li" && !tag.end) {
      out.Break(1);
      const size_t depth = std::min<size_t>(lists.empty() ? 1 : lists.size(), 6);
      std::string prefix((depth - 1) * 2, ' ');
      if (!lists.empty() && lists.back() > 0)
        prefix += std::to_string(lists.back()++) + ". ";
      else
        prefix += "- ";
      out.Prefix(prefix);
    } else if (name == "a") {
      closeLink();
      inLink = !tag.end;
      href = tag.href;
      linkText.clear();
      linkStart = out.Written();
    } else if (name == "pre") {
      out.Break(2);
      pre = std::max(0, pre + (tag.end ? -1 : 1));
      // A line end right after <pre> is not content.
      if (!tag.end && i < html.size() && html[i] == '\r') ++i;
      if (!tag.end && i < html.size() && html[i] == '\n') ++i;
    } else if (int breaks = BlockBreaks(name)) {
      out.Break(breaks);
    }
  }
  closeLink();  // a link the document never closes
  unclosed = hiddenDepth > 0;
  return out.Finish();
}

}  // namespace

std::string HtmlToText(std::string_view html) {
  bool unclosed = false;
  std::string text = Render(html, true, unclosed);
  // A hidden element without its end tag hides no more than a browser would guess: show all.
  if (unclosed) text = Render(html, false, unclosed);
  return text;
}

}  // namespace norva
