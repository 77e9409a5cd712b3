// A received message of any bytes: decoded as a mail message or a news article, then encoded
// again, as replying to or forwarding it does.
#include "FuzzInput.h"
#include "mail/msmsgcls.h"
#include "mail/msuucode.h"

using namespace norva;

namespace {

template <class TMessage>
void LoadAndSave(const std::string& bytes) {
  TMemoryStream source;
  source.Assign(bytes);
  TMessage message;
  try {
    message.LoadFromStream(source);
  } catch (const EAddressError&) {
    return;  // a From line with "<" and no ">": the caller reports it
  }
  message.ContentType();
  TMemoryStream again;
  try {
    message.SaveToStream(again);
  } catch (const Exception&) {
    // A quoted-printable paragraph too long to encode.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir();
  if (size == 0) return 0;
  // The first byte picks the kind of message.
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1)
    LoadAndSave<TmsArticle>(bytes);
  else
    LoadAndSave<TmsMessage>(bytes);
  return 0;
}
