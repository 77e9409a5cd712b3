// TmsMailBase: connect and disconnect around a protocol session.
#include "mail/msmb.h"

#include "mail/mstoken.h"
#include "mail/msuucode.h"

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

std::string TmsMailBase::AccessToken() {
  return RunTokenCommand(TokenCommand, TimeOut(), [this] { return Canceled; });
}

void TmsMailBase::RaiseTokenRefused(const std::string& challenge) {
  std::string detail;
  Base64DecodeLine(challenge, detail);
  for (char& c : detail)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  const std::string reply = LastReply;
  if (IsOpen()) Close();
  throw EServerError("The server refused the access token: " + reply +
                     (detail.empty() ? std::string() : " (" + detail + ")"));
}

}  // namespace norva
