// A whole received message through the loader and the depth-first MIME walk: nested
// multiparts, attached messages, broken boundaries, encoded text parts. The walk ends on any
// nesting, the body it picks is UTF-8 lines, and what the message holds afterwards stays within
// a small multiple of what arrived.
#include "FuzzInput.h"
#include "mail/mscharset.h"
#include "mail/msmsgcls.h"

using namespace norva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  TMemoryStream source;
  source.Assign(bytes);
  TmsMessage message;
  try {
    message.LoadFromStream(source);
  } catch (const EAddressError&) {
    return 0;  // a From line with "<" and no ">": the caller reports it
  }
  if (message.Original != bytes) fuzz::Fail("original bytes not kept");

  size_t held = message.Html.size();
  if (!IsUtf8(message.Html)) fuzz::Fail("HTML not UTF-8", "", message.Html);
  for (const std::string& line : message.Body) {
    if (!IsUtf8(line)) fuzz::Fail("body line not UTF-8", "", line);
    if (line.find('\n') != std::string::npos) fuzz::Fail("body line holds a line end", "", line);
    held += line.size() + 1;
  }
  const int32_t count = message.Attachments.Count();
  for (int32_t i = 0; i < count; ++i) {
    const TmsAttItem& item = message.Attachments.Items(i);
    const std::string name = item.FileName().str();
    if (name.empty() || !IsUtf8(name)) fuzz::Fail("attachment name", "", name);
    held += item.Data.Bytes().size();
  }
  // Every part costs at least a delimiter line, and the walk stops splitting at a budget; text
  // at most triples in UTF-8 (and is kept as text and as an attachment when it is too long).
  if (size_t(count) > 1100 + size / 2) fuzz::Fail("too many parts");
  if (held > 8 * size + 1024 * (size_t(count) + 1)) fuzz::Fail("message grew");

  // The walk is a function of the bytes: loading again gives the same message.
  TMemoryStream again;
  again.Assign(bytes);
  TmsMessage twice;
  twice.LoadFromStream(again);
  if (twice.Body != message.Body || twice.Html != message.Html ||
      twice.Attachments.Count() != count)
    fuzz::Fail("a second load differs");
  return 0;
}
