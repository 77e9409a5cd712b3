// TmsMailBase: connect and disconnect around a protocol session.
#include "mail/msmb.h"

namespace norva {

void TmsMailBase::Connect() {
  if (IsOpen()) return;
  loggedOut_ = false;
  Open();
  Login();
}

void TmsMailBase::Disconnect() {
  if (!IsOpen()) return;
  // The socket is closed however the logout ends, so that the next Connect starts afresh.
  try {
    Logout();
  } catch (...) {
    Close();
    throw;
  }
  loggedOut_ = true;
  Close();
}

void TmsMailBase::GuardPassword() {
  if (TlsActive() || PeerIsLoopback()) return;
  if (AllowPasswordInClear) {
    passwordInClear_ = true;
    return;
  }
  const std::string host = Host();
  Close();
  throw EPasswordInClear("The connection to " + host +
                         " is not encrypted, so Norva did not send the password. Choose SSL/TLS "
                         "or STARTTLS for this mailbox, or tick \"" +
                         std::string(kAllowPasswordInClear) + "\".");
}

}  // namespace norva
