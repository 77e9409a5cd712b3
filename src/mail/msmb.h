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
  // The last session opened by Connect ended with an acknowledged logout (for POP3: the reply
  // to "QUIT", which is when the server carries out the session's deletions).
  bool LoggedOut() const { return loggedOut_; }

  virtual void Login() = 0;
  virtual void Logout() = 0;

 private:
  bool loggedOut_ = false;
};

}  // namespace norva
