// An SMTP session against a server that answers with the input's bytes: greeting, HELO, the
// envelope of several recipients, the data block and QUIT.
#include "FuzzInput.h"
#include "Peer.h"
#include "mail/mssmtp.h"

using namespace norva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir();
  fuzz::TInput in(data, size);
  const uint8_t flags = in.Byte();
  fuzz::TScriptedPeer peer(in.Rest());
  TmsMessage message;
  message.Sender.Address = "ann@from.test";
  message.Recipients.AddAddress("rob@to.test", "Rob");
  message.CC.AddAddress("carl@cc.test", "Carl");
  message.BCC.AddAddress("bea@bcc.test", "");
  message.Subject = "fuzz";
  message.Body = {"one", ".two", ""};
  TmsSMTP smtp;
  smtp.Server = peer.Address();
  smtp.Blocking = true;
  smtp.SetTimeOut(1);
  smtp.SetWinsockLoaded(true);
  smtp.MailMessage = &message;
  // Refused recipients are skipped when the flag says so, as the outbox may.
  smtp.OnAddressRejected = [flags](TObject&, const std::string&, const std::string&,
                                   bool& proceed) { proceed = flags & 1; };
  try {
    smtp.Connect();
    smtp.SendMail();
    if (flags & 2) smtp.SendMail();
    smtp.Disconnect();
  } catch (const Exception&) {
    // Refusals, broken replies and the end of the stream are reported to the caller.
  }
  smtp.Close();
  return 0;
}
