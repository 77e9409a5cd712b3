// HTML as plain text: the text rendering of an HTML message, for the preview, quoting, printing
// and rules.
#pragma once

#include <string>
#include <string_view>

namespace norva {

// The text a browser would show for UTF-8 HTML, as UTF-8 lines joined by "\n": head, style and
// script go; block elements and <br> break lines; list items start with "- "; entities are
// decoded; a link shows as "text <url>"; white space collapses as in a browser (kept inside
// <pre>). At most two empty lines follow one another.
std::string HtmlToText(std::string_view html);

// The code point of a character reference ("amp", "#233", "#xE9"; without "&" and ";"), or -1
// when it names none. Numeric references to nothing usable give U+FFFD.
long HtmlEntity(std::string_view name);

// The charset an HTML document declares in a <meta> element, lower case; "" when none.
std::string HtmlMetaCharset(std::string_view html);

}  // namespace norva
