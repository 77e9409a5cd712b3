// TmsMailBase: connect and disconnect around a protocol session.
#include "mail/msmb.h"

namespace norva {

void TmsMailBase::Connect() {
  if (IsOpen()) return;
  Open();
  Login();
}

void TmsMailBase::Disconnect() {
  if (!IsOpen()) return;
  Logout();
  Close();
}

}  // namespace norva
