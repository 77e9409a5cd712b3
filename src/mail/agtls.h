// TagTls: the client side of a TLS session over an open, non-blocking socket. Its bytes move
// through TagWinsock like every other socket call. No call ever waits: each does what it can and
// says what it needs next, so the caller's waits (and their pump, time-out and cancel) apply.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

struct ssl_st;
struct bio_st;
struct x509_store_ctx_st;

namespace norva {

class TagTls {
 public:
  enum class TStatus { Done, WantRead, WantWrite, Closed, Failed };

  // Prepares a session with host (a name, or an IPv4 literal: no SNI then, and the address is
  // checked instead of a name). A server certificate whose fingerprint equals accepted (in the
  // FingerprintOf format, case and ':' aside) is taken even when it fails verification.
  TagTls(int fd, const std::string& host, const std::string& accepted);
  ~TagTls();
  TagTls(const TagTls&) = delete;
  TagTls& operator=(const TagTls&) = delete;

  // Each of these rethrows a socket-library failure (say, an unloaded library) raised while
  // moving bytes.
  TStatus Handshake();
  // Done: transferred holds the bytes moved (at least one).
  TStatus Read(char* buffer, size_t length, size_t& transferred);
  TStatus Write(const char* data, size_t length, size_t& transferred);
  // Decrypted or received bytes are waiting inside the session: read before polling.
  bool HasPending() const;
  bool Established() const;
  // Sends close_notify when it can go out at once; never waits for the peer's.
  void Shutdown();

  // After Failed: the certificate failed verification; the reason; the errno of a failing
  // socket call (0 when the failure was not the socket's).
  bool Untrusted() const { return verifyError_ != 0; }
  const std::string& Reason() const { return reason_; }
  int SysError() const { return sysError_; }
  // The server certificate's SHA-256 as upper-case hex bytes joined by ':'; "" before it came.
  std::string Fingerprint() const;

 private:
  static int BioRead(bio_st* bio, char* buffer, int length);
  static int BioWrite(bio_st* bio, const char* data, int length);
  static int Verify(int ok, x509_store_ctx_st* store);
  // Sorts out the result of an SSL call that returned result.
  TStatus Status(int result, bool handshaking);
  void RethrowFault();

  int fd_;
  ssl_st* ssl_ = nullptr;
  std::string host_;
  std::string accepted_;  // normalised: upper-case hex digits only
  std::string fingerprint_;
  long verifyError_ = 0;
  int sysError_ = 0;
  std::string reason_;
  std::exception_ptr fault_;  // raised by TagWinsock inside a BIO call
};

}  // namespace norva
