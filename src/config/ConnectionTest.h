// TConnectionTest: logs in to a mailbox's POP3 and SMTP servers and reports, per server, which
// stage worked and which failed: name resolution, connection, certificate, login. Nothing is
// fetched, deleted or sent.
#pragma once

#include <string>
#include <vector>

#include "config/Options.h"
#include "mail/mssmtp.h"

namespace norva {

class TConnectionTest {
 public:
  // One line per server: "POP3 pop.example.org:995 SSL/TLS: connected, certificate OK, login OK".
  // The clients are set up by MailboxAccount::ApplyToClient and ApplyToSMTP, as a check and a
  // send set them up; their waits pump the desktop's events, so Cancel can be called meanwhile.
  std::vector<std::string> Run(MailboxAccount& account);
  // Ends the running test: the server being tried reports "canceled", the next is not tried.
  void Cancel();
  bool Running() const { return current_ != nullptr; }
  bool Canceled() const { return canceled_; }
  // The SMTP server alone: Run's second line. SMTPConnected tells whether the last SMTP test
  // got a connection, whatever happened after it.
  std::string TestSMTP(const MailboxAccount& account);
  bool SMTPConnected() const { return smtpConnected_; }

 private:
  std::string TestPOP3(MailboxAccount& account);

  TagSocket* current_ = nullptr;
  bool canceled_ = false;
  bool smtpConnected_ = false;
};

}  // namespace norva
