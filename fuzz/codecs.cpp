// The transfer codecs: base64, uuencoded and quoted-printable lines decoded from hostile bytes,
// and each encoder's output decoded back to exactly what went in.
#include "FuzzInput.h"
#include "mail/msutils.h"
#include "mail/msuucode.h"
#include "store/Exception.h"

using namespace norva;

namespace {

// The bytes with every line end (CR LF, lone CR, lone LF) written as CR LF: what
// quoted-printable text reads back as. A line that ends in the DOS end-of-file byte (0x1A) is
// read as continuing on the next line, so its line end is lost.
std::string CrLfLines(std::string_view bytes) {
  std::string out;
  for (size_t i = 0, lineStart = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' || bytes[i] == '\n') {
      if (i == lineStart || bytes[i - 1] != '\x1A') out += "\r\n";
      if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      lineStart = i + 1;
    } else {
      out += bytes[i];
    }
  }
  return out;
}

void DecodeHostile(const std::string& bytes) {
  std::string out;
  try {
    Base64DecodeLine(bytes, out);
  } catch (const Exception&) {
  }
  for (const auto& line : SplitLines(bytes)) UUDecodeLine(line, out);
  TStringList lines = SplitLines(bytes);
  TMemoryStream decoded;
  TQuotedPrintable(decoded, lines).Decode();
}

void RoundTrips(const std::string& bytes) {
  std::string back;
  Base64DecodeLine(Base64Encode(bytes), back);
  if (back != bytes) fuzz::Fail("base64", bytes, back);

  back.clear();
  for (size_t pos = 0; pos < bytes.size(); pos += 45)
    UUDecodeLine(UUEncodeLine(std::string_view(bytes).substr(pos, 45)), back);
  if (back != bytes) fuzz::Fail("uuencoding", bytes, back);

  TMemoryStream plain;
  plain.Assign(bytes);
  TStringList lines;
  try {
    TQuotedPrintable(plain, lines).Encode();
  } catch (const Exception&) {
    return;  // a paragraph too long to encode
  }
  TMemoryStream decoded;
  TQuotedPrintable(decoded, lines).Decode();
  if (decoded.Bytes() != CrLfLines(bytes))
    fuzz::Fail("quoted-printable", CrLfLines(bytes), decoded.Bytes());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  DecodeHostile(bytes);
  RoundTrips(bytes);
  return 0;
}
