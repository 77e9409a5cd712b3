// TmsSMTP: the SMTP session: EHLO (or HELO), STARTTLS and AUTH, MAIL FROM, RCPT TO, DATA and
// QUIT.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/msmb.h"
#include "mail/msmsgcls.h"
#include "mail/msutils.h"

namespace norva {

// A recipient was refused; setting proceed skips it and goes on with the message.
using TmsAddressRejectedEvent = std::function<void(TObject& sender, const std::string& address,
                                                   const std::string& serverReply, bool& proceed)>;

// The server took the whole message but its reply to the final "." never came (a time-out, a
// lost connection or a stop): it may have been delivered, so it must not be sent again. The
// connection is closed.
class EDeliveryUnknown : public Exception {
 public:
  using Exception::Exception;
};

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
  // The least time in seconds to wait for the reply to the final ".": servers deliver before
  // they answer (RFC 5321 section 4.5.3.2 asks for 10 minutes).
  int32_t DataReplyWait = 600;
  // Log in with AUTH PLAIN (preferred) or LOGIN. Over a connection that Security leaves
  // unencrypted this sends the password in the clear: some local relays want just that.
  bool Authenticate = false;
  std::string AuthUser, AuthPassword;
  // The extensions of the last EHLO reply, upper-cased, one per line ("AUTH PLAIN LOGIN").
  std::vector<std::string> Extensions;

  // Without a port in Server: 25, or 465 for SslTls, 587 for StartTls.
  void Open() override;
  // Connects, reads the greeting and says "EHLO"; a server that refuses it (a 5xx reply) gets
  // "HELO" with the host name, or without it if that is refused too. Then it secures the
  // connection with STARTTLS when Security asks for it (says "EHLO" again and trusts only that
  // reply) and authenticates. In a secured or authenticated session any failure of these
  // closes the connection; a plain one stays open after a refusal. STARTTLS missing or refused
  // raises ETlsError.
  void Login() override;
  void Logout() override;
  // Sends MailMessage: the envelope of its sender and every Recipients, CC and BCC address,
  // then the encoded message, its text as 8bit where the server announced 8BITMIME (MAIL FROM
  // then says BODY=8BITMIME) and with SIZE= where it announced SIZE. A refusal raises
  // EServerError with the server's reply line and leaves the connection open. No reply to the
  // final "." raises EDeliveryUnknown, with the connection closed.
  void SendMail();
  // True when the last EHLO reply named the extension ("8BITMIME", "SIZE", "STARTTLS").
  bool HasExtension(const std::string& keyword) const;

 protected:
  // Reads a reply; raises EServerError with its last line unless its code is in the given
  // hundreds (2 for 2xx).
  void ExpectReply(int hundreds);
  // Says "EHLO" and fills Extensions; false when the server refused it and "HELO" was
  // taken instead.
  virtual bool Hello();
  bool OffersAuth(const std::string& mechanism) const;
  // With a token, OAuth 2.0 (OAUTHBEARER, else XOAUTH2); else PLAIN, else LOGIN.
  void SendAuth(const std::string& token);
};

}  // namespace norva
