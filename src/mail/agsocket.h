// TagSocket: a line-oriented TCP client that resolves a server, connects, sends lines and streams
// and reads reply lines and dot-terminated data blocks, in blocking or non-blocking mode.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mail/msutils.h"
#include "store/Exception.h"
#include "store/Object.h"
#include "store/Streams.h"

namespace norva {

class TagSocket;

using TNotifyEvent = std::function<void(TObject& sender)>;
using TmsErrorEvent = std::function<void(TObject& sender, std::string& msg)>;
using TmsProgressEvent = std::function<void(TObject& sender, int32_t perc, int32_t transferred)>;

// A socket-level failure; Code is the table's code (0 when none).
class ESocketError : public Exception {
 public:
  ESocketError(const std::string& message, int code) : Exception(message), Code(code) {}
  int Code;
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

  TagSocket();
  ~TagSocket() override;
  TagSocket(const TagSocket&) = delete;
  TagSocket& operator=(const TagSocket&) = delete;

  // ---- properties ----
  std::string Server;  // host name or dotted address, optionally ":" and a port
  uint16_t DefaultPort = 0;
  std::string ServiceName;
  bool Blocking = false;
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

  void SendLine(const std::string& text);
  int ReadLine(std::string& line);
  int ReadReply();
  // Appends the data block, up to and including its CR LF "." CR LF, to stream.
  void ReceiveData(int32_t expectedSize, TStream& stream);
  void SendStream(TStream& stream);
  bool IsOpen() const { return fd_ >= 0; }

 protected:
  void ConnectSocket();
  [[noreturn]] void RaiseSocketError(int code);
  [[noreturn]] void RaiseTimeout();
  [[noreturn]] void RaiseCanceled();

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
  void CheckCanceledOrExpired();

  int fd_ = -1;
  std::string rx_;  // received bytes not yet consumed
  size_t rxPos_ = 0;
  std::shared_ptr<TLookup> lookup_;  // a host lookup running off this thread
};

}  // namespace norva
