// TmsSMTP: the SMTP session: HELO, MAIL FROM, RCPT TO, DATA and QUIT.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mail/msmb.h"
#include "mail/msmsgcls.h"
#include "mail/msutils.h"

namespace norva {

// A recipient was refused; setting proceed skips it and goes on with the message.
using TmsAddressRejectedEvent = std::function<void(TObject& sender, const std::string& address,
                                                   const std::string& serverReply, bool& proceed)>;

// Callers bracket one or more SendMail calls with Connect and Disconnect.
class TmsSMTP : public TmsMailBase {
 public:
  // The longest MAIL FROM or RCPT TO command; a longer one would cut its address.
  static constexpr size_t kMaxCommand = 255;

  TmsSMTP();

  TmsMessage* MailMessage = nullptr;  // the message to send, not owned
  TNotifyEvent OnPrepare;             // before the message is encoded
  TNotifyEvent OnSending;             // before the envelope is sent
  TNotifyEvent OnMailSent;            // after the server accepted the data
  TmsAddressRejectedEvent OnAddressRejected;
  // The data block as it goes on the wire, "." line included; exists during SendMail only.
  std::unique_ptr<TTempFileStream> DataStream;

  void Open() override;
  // Connects, reads the greeting and says "HELO" with the host name, or without it if refused.
  void Login() override;
  void Logout() override;
  // Sends MailMessage: the envelope of its sender and every Recipients, CC and BCC address,
  // then the encoded message. A refusal raises EServerError with the server's reply line and
  // leaves the connection open.
  void SendMail();

 protected:
  // Reads a reply; raises EServerError with its last line unless its code is in the given
  // hundreds (2 for 2xx).
  void ExpectReply(int hundreds);
};

}  // namespace norva
