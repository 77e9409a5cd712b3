// Text inside the message model is UTF-8. These are the conversions into it (from a declared
// charset, from raw header bytes), the cuts that never split a character, and the letter-case
// folding used by comparisons that ignore case in any script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norva {

// True when bytes are well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool IsUtf8(std::string_view bytes);
// The length of the well-formed UTF-8 sequence at text[i], or 0 when a stray byte stands there.
size_t Utf8SequenceLength(std::string_view text, size_t i);
// Valid UTF-8 kept; each byte that starts no well-formed sequence becomes U+FFFD.
std::string ValidUtf8(std::string_view bytes);
// The length of an explicit direction control at text[i] (U+202A-U+202E embeddings and
// overrides, U+2066-U+2069 isolates), else 0. Such a control in a name or subject turns the text
// after it around: "invoice<U+202E>fdp.exe" shows as "invoiceexe.pdf".
size_t BidiControlLength(std::string_view text, size_t i);
// Text to show: each direction control becomes U+FFFD, so that what other people wrote shows in
// the order it was written. Right-to-left scripts need no controls and show as before.
std::string WithoutBidiControls(std::string_view text);
// True when every byte is below 0x80.
bool IsAscii(std::string_view bytes);

// Bytes written in the named charset (any letter case, IANA names and their common aliases),
// as UTF-8. Bytes that do not convert become U+FFFD. An empty, "us-ascii" or unknown charset
// keeps valid UTF-8 and reads anything else as Windows-1252, as does "iso-8859-1" (which
// mailers use for Windows-1252 text).
std::string ToUtf8(std::string_view bytes, std::string_view charset);
// Raw header bytes (8-bit text outside encoded words): kept when valid UTF-8, else read as
// Windows-1252.
std::string RawToUtf8(std::string_view bytes);
// UTF-8 text in the named charset; false when the charset is unknown or a character has no
// form in it.
bool FromUtf8(std::string_view text, std::string_view charset, std::string& out);

// Appends a code point as UTF-8; one that has no UTF-8 form (a surrogate, past U+10FFFF)
// becomes U+FFFD.
void AppendCodePoint(uint32_t cp, std::string& out);
// The number of characters (code points) of UTF-8 text; a stray byte counts as one.
size_t Utf8Length(std::string_view text);
// The longest start of text with at most maxChars characters; a character is never split.
std::string Utf8Prefix(std::string_view text, size_t maxChars);
// The longest start of text with at most maxBytes bytes that ends between two characters.
std::string_view Utf8PrefixBytes(std::string_view text, size_t maxBytes);
// The lower-case form of UTF-8 text in every script, for comparisons that ignore letter case.
std::string Utf8Lower(std::string_view text);
// True when needle occurs in text, letter case ignored in every script.
bool ContainsNoCase(std::string_view text, std::string_view needle);

}  // namespace norva
