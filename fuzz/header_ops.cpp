// The header operations on hostile header lines: field lookup and unfolding, comma-separated
// values, addresses, dates, encoded words and parameters.
#include "FuzzInput.h"
#include "mail/msCls.h"
#include "mail/msutils.h"

using namespace norva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput in(data, size);
  // The first bytes pick a field and a parameter name; the rest are header lines.
  const std::string field = in.Until0(40);
  const std::string param = in.Until0(40);
  const TStringList lines = SplitLines(in.Rest());

  for (std::string_view name : {std::string_view(field), std::string_view("Subject"),
                                std::string_view("Content-Type"), std::string_view("X-UIDL"),
                                std::string_view("Date:")}) {
    const std::string value = GetFieldValue(lines, name);
    GetParameter(param, value);
    GetParameter("boundary", value);
    GetMediaType(value);
    StripQuotes(value);
    TDateTime when = 0;
    std::string zone;
    ParseMailDate(value, when, zone);
  }
  TStringList values;
  GetFieldValues(lines, field.empty() ? "To" : field, values);
  for (const auto& value : values) {
    TmsMailAddress address;
    try {
      ParseAddress(value, address);
    } catch (const EAddressError&) {
    }
  }
  for (const auto& line : lines) {
    DecodeHeaderText(line);
    TDateTime when = 0;
    std::string zone;
    ParseMailDate(line, when, zone);
    ExtractWord(line, 1, true);
    ExtractWord(line, 2, false);
  }
  TStringList copy = lines;
  RemoveField(copy, field);
  TruncateAtBlankLine(copy);
  return 0;
}
