// TmsMailBase: the common base of the POP3 and SMTP clients.
#pragma once

#include "mail/agsocket.h"

namespace norva {

// The login stopped before the password went unencrypted to another machine.
class EPasswordInClear : public Exception {
 public:
  using Exception::Exception;
};

// What EPasswordInClear says, and the setting that lifts it.
inline constexpr const char* kAllowPasswordInClear =
    "Allow my password over an unencrypted connection";

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

  // A password (or a token) may go unencrypted to a server on another machine only when this is
  // set; otherwise the login stops before sending it, with EPasswordInClear.
  bool AllowPasswordInClear = false;
  // The last login sent its password unencrypted to another machine (because it was allowed).
  bool PasswordWentInClear() const { return passwordInClear_; }
  // When set, the login is OAuth 2.0: this command, run before each session, prints the access
  // token, which goes instead of the password (OAUTHBEARER or XOAUTH2).
  std::string TokenCommand;

 protected:
  // Called right before a login sends anything secret; closes the connection and raises
  // EPasswordInClear when the secret would cross the network unencrypted unasked.
  void GuardPassword();
  // Called as a login begins.
  void ResetPasswordState() { passwordInClear_ = false; }
  // Runs TokenCommand within the time-out; a stop ends it.
  std::string AccessToken();
  // Why the server refused a token: its last reply, and the error it sent as a challenge.
  [[noreturn]] void RaiseTokenRefused(const std::string& challenge);

 private:
  bool loggedOut_ = false;
  bool passwordInClear_ = false;
};

}  // namespace norva
