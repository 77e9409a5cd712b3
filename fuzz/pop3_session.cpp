// A POP3 session against a server that answers with the input's bytes: login, the message
// directory (LIST and TOP for every message), retrieving, decoding and deleting.
#include "FuzzInput.h"
#include "Peer.h"
#include "mail/msmsgcls.h"
#include "mail/mspop3cl.h"

using namespace norva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir();
  fuzz::TInput in(data, size);
  const uint8_t flags = in.Byte();
  fuzz::TScriptedPeer peer(in.Rest());
  TmsRemotePOP pop;
  pop.Server = peer.Address();
  pop.Blocking = true;
  pop.SetTimeOut(1);
  pop.SetWinsockLoaded(true);
  pop.UserName = "user";
  pop.Password = "secret";
  pop.OnUserMessageSave = [](TObject&, int32_t, TMemoryStream& contents) {
    TmsMessage message;
    try {
      message.LoadFromStream(contents);
    } catch (const EAddressError&) {
    }
  };
  try {
    if (flags & 1) {
      pop.UpdateInfo();  // connects, and logs out at its end
    } else {
      pop.Connect();
      for (int32_t num = 0; num < pop.MessageCount && num < 8; ++num) {
        pop.Retrieve(num);
        if (flags & 2) pop.Delete(num);
      }
      pop.Disconnect();
    }
  } catch (const Exception&) {
    // Refusals, broken replies and the end of the stream are reported to the caller.
  }
  pop.Close();
  return 0;
}
