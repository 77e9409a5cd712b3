// Transfer codecs: base64 and uuencoding line by line, and quoted-printable between text lines
// and bytes (TQuotedPrintable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/msutils.h"
#include "store/Exception.h"
#include "store/Streams.h"

namespace norva {

// The base64 form of bytes, padded with "=" to a multiple of four.
std::string Base64Encode(std::string_view bytes);
// Appends the bytes of base64 text (one line or many): characters outside the alphabet are
// skipped, as RFC 2045 asks; "=" ends a group.
void Base64DecodeLine(std::string_view line, std::string& output);

// One uuencoded line for at most 45 bytes (the first character gives the count).
std::string UUEncodeLine(std::string_view bytes);
// Appends the bytes of one uuencoded line.
void UUDecodeLine(std::string_view line, std::string& output);
// True for a well-formed uuencoded line: its first character gives the length it has.
bool IsUULine(std::string_view line);
// The bytes of quoted-printable text: soft breaks joined, "=XX" decoded (malformed escapes kept
// as they stand), every other line end kept as it is written; the text's last line gets none.
std::string QuotedPrintableDecode(std::string_view text);

// Converts between text lines and a byte stream in quoted-printable form.
class TQuotedPrintable {
 public:
  TQuotedPrintable(TStream& stream, TStringList& lines) : stream_(stream), lines_(lines) {}
  // Stops the conversion after the current paragraph.
  bool Cancel = false;
  // Lines (quoted-printable) -> bytes appended to the stream.
  void Decode();
  // The stream's bytes from its start -> quoted-printable lines appended to the list (see
  // EncodeQuotedPrintable). Any line length is taken.
  void Encode();

 private:
  TStream& stream_;
  TStringList& lines_;
};

// The longest quoted-printable line, soft break included.
inline constexpr size_t kQuotedPrintableLine = 76;

// Appends the quoted-printable lines of one paragraph (bytes without line ends): "=", control
// bytes, DEL, bytes from 128 up and a blank at the paragraph's end become "=XX". Lines hold at
// most kQuotedPrintableLine characters and never cut an "=XX"; soft gives the last line a soft
// break too, for a paragraph that the data does not end with a line end.
void EncodeQuotedPrintable(std::string_view paragraph, bool soft, TStringList& lines);

}  // namespace norva
