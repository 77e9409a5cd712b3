// TmsCustomPOP: the POP3 session: USER/PASS login (over TLS from the first byte, or after STLS,
// as Security says), UTF8, STAT, LIST and RETR, DELE, QUIT.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "mail/msmb.h"

namespace norva {

using TmsNumNotifyEvent = std::function<void(TObject& sender, int32_t num)>;

// A message is larger than the largest one the user lets the program retrieve.
class EMessageTooLarge : public Exception {
 public:
  using Exception::Exception;
};

// Messages are addressed by a 0-based Num; on the wire the number is Num + 1.
class TmsCustomPOP : public TmsMailBase {
 public:
  TmsCustomPOP();

  std::string UserName;
  std::string Password;
  int32_t MessageCount = -1;
  int32_t MailboxSize = -1;
  TmsNumNotifyEvent OnRetrieving, OnRetrieved, OnDeleting;
  // The largest message Retrieve takes, in bytes (0: no limit). A larger one is refused with
  // EMessageTooLarge before "RETR" when "LIST" says so, and ends the session (ESocketError)
  // when it grows past the limit on its way.
  int64_t MaxMessageSize = int64_t(1024) * 1024 * 1024;
  // A retrieved message up to this size is kept in memory; a larger one goes to a temporary file
  // as it arrives, and SaveMessage gets only its head.
  static constexpr int64_t kInMemoryLimit = int64_t(32) * 1024 * 1024;
  // The head of a spooled message handed to SaveMessage: up to this many bytes, whole lines.
  static constexpr int64_t kSpooledHead = int64_t(1024) * 1024;

  // "+" gives 1, "-" gives -1, anything else (and an empty line) 0.
  int GetReplyCode(const std::string& line) override;
  // Without a port in Server: 995 for SslTls, else 110.
  void Open() override;
  // Reads the greeting; with StartTls sends "STLS" and secures the connection before USER and
  // PASS, and raises ETlsError (closing the connection) when the server refuses.
  void Login() override;
  // OAuth 2.0: AUTH OAUTHBEARER where CAPA offers it, else AUTH XOAUTH2, with token.
  void TokenLogin(const std::string& token);
  void Logout() override;
  virtual void CheckCredentials();
  // Receives each retrieved message as it was written (dot-stuffing and final "." removed); of
  // a spooled message (Spooled()), only its head.
  virtual void SaveMessage(int32_t num, TMemoryStream& stream) = 0;
  // While SaveMessage runs: the message was larger than kInMemoryLimit. SpoolFile() holds it
  // whole (removed once Retrieve returns) and SpooledSize() is its size.
  bool Spooled() const { return !spoolFile_.empty(); }
  const std::string& SpoolFile() const { return spoolFile_; }
  int64_t SpooledSize() const { return spooledSize_; }

  void Stat();
  void Retrieve(int32_t num);
  // Sends "DELE"; a negative reply is not an error.
  void Delete(int32_t num);
  // Sends "UTF8" (RFC 6856): a server that takes it hands out messages whose headers hold raw
  // UTF-8 as they are, instead of a stand-in. A refusal is no error.
  void StartUtf8();
  // The server took "UTF8" in this session.
  bool Utf8Mode() const { return utf8Mode_; }

 protected:
  // Runs once the server has accepted the login, before "STAT".
  virtual void LoggedIn() {}
  // Reads one reply line; raises EServerError with it unless it is positive.
  void ExpectPositive();
  // The size in a "LIST" reply: the number after the first blank of the text; 0 (unknown) when
  // it is not a number, does not fit 32 bits or is negative.
  int32_t ListedSize() const;
  // The most a data block of a message of the listed size may hold: every line end doubled
  // (LF sent as CR LF, dot-stuffing) and some slack; no limit when the size is unknown (0).
  static int64_t DataLimit(int32_t listed) { return listed > 0 ? 2 * int64_t(listed) + 65536 : -1; }

 private:
  bool utf8Mode_ = false;
  std::string spoolFile_;
  int64_t spooledSize_ = 0;
};

// Why a message of size bytes (-1: more than limit, size unknown) is not retrieved.
std::string MessageTooLargeText(int64_t size, int64_t limit);

}  // namespace norva
