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

}  // namespace norva
