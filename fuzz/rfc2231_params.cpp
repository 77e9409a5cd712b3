// Header parameters (Content-Type, Content-Disposition) of hostile header lines: quoted and
// bare values, RFC 2231 extended values and sections, folded lines and broken forms. What the
// reader returns for UTF-8 header text is UTF-8, and what the encoder writes reads back as the
// value it was given.
#include "FuzzInput.h"
#include "mail/msCls.h"
#include "mail/mscharset.h"
#include "mail/msmime.h"
#include "mail/msutils.h"

using namespace norva;

namespace {

constexpr const char* kNames[] = {"filename", "name", "charset", "boundary", "format", "x"};

// Parameters of a field as received: whatever the lines say.
void Hostile(const std::string& param, const std::string& block) {
  const TStringList lines = SplitLines(block);
  for (const char* field : {"Content-Type", "Content-Disposition"}) {
    const std::string value = GetFieldValue(lines, field);
    GetMediaType(value);
    for (std::string_view name : {std::string_view(param), std::string_view("filename"),
                                  std::string_view("name"), std::string_view("charset")}) {
      const std::string got = GetParameter(name, value);
      // The joined value never costs more than a few bytes per byte of the field.
      if (got.size() > 16 * value.size() + 16) fuzz::Fail("parameter grew", value, got);
      if (IsUtf8(value) && !IsUtf8(got)) fuzz::Fail("parameter of UTF-8 text not UTF-8", value, got);
      // As the decoder names an attachment.
      const std::string shown = DecodeHeaderText(got);
      if (!IsUtf8(shown)) fuzz::Fail("decoded parameter not UTF-8", got, shown);
    }
  }
}

// Two parameters as the encoder writes them, read back from the folded lines.
void RoundTrip(const std::string& first, const std::string& second, int pick) {
  const char* nameA = kNames[pick % std::size(kNames)];
  const char* nameB = kNames[(pick / 8 + 1 + pick % std::size(kNames)) % std::size(kNames)];
  if (std::string_view(nameA) == nameB) nameB = "y";
  THeaderField field("Content-Disposition: attachment");
  field.AddParameter(nameA, first);
  field.AddParameter(nameB, second);
  for (const std::string& line : field.Lines())
    if (line.size() > kHeaderFoldAt + 2 && line.find(' ', 1) != std::string::npos &&
        line.find("*=") != std::string::npos)
      fuzz::Fail("encoded parameter line too long", "", line);
  const std::string value = GetFieldValue(field.Lines(), "Content-Disposition");
  for (const auto& [name, sent] : {std::pair{nameA, &first}, std::pair{nameB, &second}}) {
    const std::string expected = Trim(*sent);
    const std::string got = GetParameter(name, value);
    if (got != expected) fuzz::Fail(name, expected, got);
    if (sent->find("=?") == std::string::npos && DecodeHeaderText(got) != Utf8Prefix(expected, 255))
      fuzz::Fail("attachment name", Utf8Prefix(expected, 255), DecodeHeaderText(got));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput in(data, size);
  // A parameter name, two values for the encoder, then header lines.
  const int pick = in.Byte();
  const std::string param = in.Until0(24);
  const std::string first = ValidUtf8(in.Until0(400));
  const std::string second = ValidUtf8(in.Until0(400));
  RoundTrip(first, second, pick);
  Hostile(param, in.Rest());
  return 0;
}
