// TagSocket: a line-oriented TCP client that resolves a server, connects, sends lines and streams
// and reads reply lines and dot-terminated data blocks, in blocking or non-blocking mode.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mail/msutils.h"
#include "store/Exception.h"
#include "store/Object.h"
#include "store/Streams.h"

namespace norva {

class TagSocket;
class TagTls;

// How a connection is secured.
enum class TSecurity : uint8_t { None = 0, SslTls = 1, StartTls = 2 };

using TNotifyEvent = std::function<void(TObject& sender)>;
using TmsErrorEvent = std::function<void(TObject& sender, std::string& msg)>;
using TmsProgressEvent = std::function<void(TObject& sender, int32_t perc, int32_t transferred)>;

// A socket-level failure; Code is the table's code (0 when none).
class ESocketError : public Exception {
 public:
  ESocketError(const std::string& message, int code) : Exception(message), Code(code) {}
  int Code;
};
// TLS could not be set up. Untrusted: the server's certificate failed verification (the user
// may choose to accept that certificate); Fingerprint: its SHA-256, upper-case hex bytes joined
// by ':' ("" when the server sent none).
class ETlsError : public ESocketError {
 public:
  ETlsError(const std::string& message, bool untrusted, std::string fingerprint)
      : ESocketError(message, 0), Untrusted(untrusted), Fingerprint(std::move(fingerprint)) {}
  bool Untrusted;
  std::string Fingerprint;
};
// The server refused a command; the message is its reply line.
class EServerError : public Exception {
 public:
  using Exception::Exception;
};
// "Operation has been canceled".
class ECanceledError : public Exception {
 public:
  using Exception::Exception;
};
// "Operation timed out".
class ETimedOutError : public Exception {
 public:
  using Exception::Exception;
};

// What a socket needs of a dial-up connection: dialled when the socket opens, hung up when it
// closes.
class TagDialUp {
 public:
  virtual ~TagDialUp() = default;
  virtual void Dial() = 0;
  virtual void HangUp() = 0;
};

class TagSocket : public TObject {
 public:
  // The longest reply line, its line end included.
  static constexpr size_t kMaxLine = 1024;
  // The most lines a multi-line reply (not a data block) may have.
  static constexpr int kMaxReplyLines = 1000;

  TagSocket();
  ~TagSocket() override;
  TagSocket(const TagSocket&) = delete;
  TagSocket& operator=(const TagSocket&) = delete;

  // ---- properties ----
  std::string Server;  // host name or dotted address, optionally ":" and a port
  uint16_t DefaultPort = 0;
  std::string ServiceName;
  bool Blocking = false;
  // SslTls: TLS from the first byte, set up as the connection is made. StartTls: the client
  // asks for it with its protocol's command, then calls StartTLS.
  TSecurity Security = TSecurity::None;
  // The certificate with this SHA-256 fingerprint (the PeerFingerprint format; case and ':'
  // aside) is taken even when it fails verification: the user has accepted it.
  std::string AcceptedFingerprint;
  TagDialUp* RAS = nullptr;
  int32_t TimeOut() const { return Counter.TimeOut; }
  void SetTimeOut(int32_t seconds) { Counter.TimeOut = seconds; }
  // The process-wide library state: setting true loads it, false unloads it.
  bool WinsockLoaded() const;
  void SetWinsockLoaded(bool value);

  TNotifyEvent OnOpen, OnClosing, OnClosed, OnCancel;
  TmsProgressEvent OnProgress;
  TmsErrorEvent OnError;

  // ---- state ----
  TTimeCounter Counter;
  uint32_t RemoteAddress = 0;  // IPv4, network order
  std::string LocalHostName;
  uint16_t RemotePort = 0;  // host order
  int32_t StartupCount = 0;
  bool Canceled = false;
  bool NotifyError = false;
  uint16_t NotifyErrorCode = 0;
  std::string LastReply;

  // ---- operations ----
  virtual void ResetState();
  virtual int GetReplyCode(const std::string& line);
  // Resolves the server and creates the socket; connecting is the client's first login step.
  virtual void Open();
  virtual void Close();
  // Cancels the running operation: a wait in progress ends with ECanceledError.
  virtual void Cancel();

  // A reply (one line or several) has TimeOut seconds in all; a data block waits at most TimeOut
  // seconds for each next 16 KB and a send for each next bytes, so a large message on a slow
  // link arrives while a silent or dripping peer still ends the wait. Every send first runs
  // BeforeSend.
  void SendLine(const std::string& text);
  // Sends the lines, each followed by CR LF, in one write (commands sent ahead of their
  // replies); a line holding CR or LF is refused before anything is sent.
  void SendLines(const std::vector<std::string>& lines);
  int ReadLine(std::string& line);
  // A reply of one line or several ("250-" lines up to the "250 " one).
  int ReadReply();
  // Appends the data block, up to and including its CR LF "." CR LF, to stream. A block that
  // grows past limit bytes (when limit >= 0) ends the session: bytes that keep coming never end
  // the wait by themselves. Past pacedUpTo bytes the wait no longer restarts as bytes come: the
  // rest of the block has one time-out in all.
  void ReceiveData(int32_t expectedSize, TStream& stream, int64_t limit = -1,
                   int64_t pacedUpTo = INT64_MAX);
  void SendStream(TStream& stream);
  bool IsOpen() const { return fd_ >= 0; }

  // Secures the open connection: a TLS handshake (1.2 at least) with the host part of Server,
  // its certificate verified against the system's trusted authorities and for that host.
  // Raises ETlsError when TLS cannot be set up; the connection is closed then.
  void StartTLS();
  bool TlsActive() const;
  // The connected peer is this machine (127.0.0.0/8, ::1 or an IPv4-mapped loopback).
  bool PeerIsLoopback() const;
  // The server certificate's SHA-256 fingerprint; "" without TLS.
  std::string PeerFingerprint() const;

 protected:
  void ConnectSocket();
  // Server without its port.
  std::string Host() const;
  // Runs before SendLine, SendLines and SendStream send anything: a client with replies still
  // owed to commands sent ahead reads them here, so that the next command reads its own.
  virtual void BeforeSend() {}
  // SendLines without BeforeSend: commands sent ahead, whose replies the caller reads later.
  void SendLinesAhead(const std::vector<std::string>& lines);
  // ReadLine within the time the caller started Counter for: one line of a longer reply.
  int ReadNextLine(std::string& line);
  [[noreturn]] void RaiseSocketError(int code);
  // A reply of more than kMaxReplyLines lines: closes the connection, whose next bytes would be
  // read as the rest of it, and raises ESocketError.
  [[noreturn]] void RaiseReplyTooLong();
  [[noreturn]] void RaiseTimeout();
  [[noreturn]] void RaiseCanceled();
  [[noreturn]] void RaiseTlsError(const std::string& message, bool untrusted);
  // A TLS session that broke after its handshake.
  [[noreturn]] void RaiseTlsFailure();

 private:
  struct TLookup;
  enum class TWait { Ready, Canceled, Expired };

  void RequireOpen();
  // Waits until the socket is ready for events, the counter expires or the operation is
  // canceled; non-blocking mode pumps messages between short polls.
  TWait Wait(short events);
  // Waits for bytes (raising on cancellation, time-out or a socket error) and receives them.
  void Receive();
  void SendAll(const char* data, size_t length);
  void ResolveHost(const std::string& host);
  void ResolvePort();
  // Waits for what a TLS call needs; raises on cancellation or time-out.
  void WaitFor(short events);
  void CheckCanceledOrExpired();

  int fd_ = -1;
  std::string rx_;  // received bytes not yet consumed
  size_t rxPos_ = 0;
  std::shared_ptr<TLookup> lookup_;  // a host lookup running off this thread
  std::unique_ptr<TagTls> tls_;      // the TLS session, once StartTLS has begun one
};

}  // namespace norva
