// TmsMailBase: the common base of the POP3 and SMTP clients.
#pragma once

#include "mail/agsocket.h"

namespace norva {

class TmsMailBase : public TagSocket {
 public:
  // Opens and logs in unless the socket is already open.
  void Connect();
  // Logs out and closes when the socket is open.
  void Disconnect();

  virtual void Login() = 0;
  virtual void Logout() = 0;
};

}  // namespace norva
