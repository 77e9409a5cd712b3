// TagSocket: resolving, connecting, and the waits for lines, data blocks and sends.
#include "mail/agsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "mail/agConst.h"
#include "mail/agtls.h"
#include "mail/agwsock.h"
#include "store/Pump.h"

namespace norva {
namespace {
constexpr int kSliceMs = 50;  // non-blocking waits poll this long between pumps
constexpr size_t kChunk = 16384;
// A data block's wait restarts only once this many more bytes have come: a peer that drips a
// byte at a time, each just within the time-out, still runs into it.
constexpr int64_t kProgressStep = 16384;
constexpr std::string_view kTerminator = "\r\n.\r\n";
}  // namespace

// A host lookup running on its own thread while the waiting thread pumps messages. The thread
// owns a share of it, so abandoning the lookup never leaves the thread writing freed memory.
struct TagSocket::TLookup {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  int gaiError = 0;
  int err = 0;
  uint32_t address = 0;
};

// The library state is process-wide: creating a socket leaves it alone, so that a new client
// never breaks one that is in the middle of a session.
TagSocket::TagSocket() = default;

TagSocket::~TagSocket() {
  tls_.reset();
  if (fd_ >= 0) TagWinsock::Instance().CloseSocket(fd_);
  for (; StartupCount > 0; --StartupCount) TagWinsock::Instance().Cleanup();
}

bool TagSocket::WinsockLoaded() const {
  return TagWinsock::Instance().IsLoaded();
}

void TagSocket::SetWinsockLoaded(bool value) {
  if (value && !WinsockLoaded()) TagWinsock::Instance().Load();
  if (!value) TagWinsock::Instance().Unload();
}

void TagSocket::ResetState() {
  Canceled = false;
  Counter.Reset();
  lookup_.reset();
  NotifyError = false;
  NotifyErrorCode = 0;
}

int TagSocket::GetReplyCode(const std::string& line) {
  return StrToIntDef(line.substr(0, 3), -1);
}

// ---- raising errors ----

void TagSocket::RaiseSocketError(int code) {
  Counter.Stop();
  std::string msg = SocketErrorText(code);
  if (OnError) OnError(*this, msg);
  // After a reset, an over-long line or a closed connection the session cannot go on.
  if (code == 10054 || code == msgLineTooLong || code == msgConnectionClosed ||
      code == msgDataTooLong)
    Close();
  throw ESocketError(msg, code);
}

void TagSocket::RaiseTimeout() {
  Counter.Stop();
  std::string msg = MailMessageText(msgTimedOut);
  if (OnError) OnError(*this, msg);
  lookup_.reset();
  Close();
  throw ETimedOutError(MailMessageText(msgTimedOut));
}

void TagSocket::RaiseCanceled() {
  Counter.Stop();
  std::string msg = MailMessageText(msgCanceled);
  if (OnError) OnError(*this, msg);
  throw ECanceledError(MailMessageText(msgCanceled));
}

void TagSocket::RaiseTlsError(const std::string& message, bool untrusted) {
  Counter.Stop();
  std::string fingerprint = tls_ ? tls_->Fingerprint() : "";
  std::string msg = message;
  if (OnError) OnError(*this, msg);
  Close();
  throw ETlsError(msg, untrusted, std::move(fingerprint));
}

void TagSocket::RaiseTlsFailure() {
  // A broken session cannot carry on, whatever broke it.
  if (tls_ && tls_->SysError() != 0) {
    const int code = SocketCodeFromErrno(tls_->SysError());
    Close();
    RaiseSocketError(code);
  }
  RaiseTlsError(
      "The TLS connection with " + Host() + " failed: " + (tls_ ? tls_->Reason() : "closed"),
      false);
}

void TagSocket::CheckCanceledOrExpired() {
  if (Counter.Expired()) RaiseTimeout();
  if (Canceled) RaiseCanceled();
}

void TagSocket::RequireOpen() {
  if (!IsOpen()) RaiseSocketError(msgNotConnected);
}

// ---- opening and connecting ----

void TagSocket::Open() {
  if (RAS) RAS->Dial();
  if (OnOpen) OnOpen(*this);
  if (Server.empty()) RaiseSocketError(msgServerRequired);
  if (TagWinsock::Instance().Startup(0x0101) != 0) RaiseSocketError(msgInvalidVersion);
  ++StartupCount;

  const size_t colon = Server.find(':');
  const std::string host = Server.substr(0, colon);
  char name[512] = {};
  LocalHostName =
      TagWinsock::Instance().GetHostName(name, sizeof name - 1) == 0 ? std::string(name) : host;
  ResolveHost(host);

  int32_t port = colon == std::string::npos ? 0 : StrToIntDef(Server.substr(colon + 1), 0);
  if (port > 0 && port <= 65535)
    RemotePort = uint16_t(port);
  else
    ResolvePort();

  int fd = TagWinsock::Instance().Socket();
  if (fd < 0) RaiseSocketError(SocketCodeFromErrno(errno));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);  // every wait polls, in both modes
  // Commands are small writes answered one by one: do not hold them back for coalescing.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  tls_.reset();
  fd_ = fd;
  rx_.clear();
  rxPos_ = 0;
}

void TagSocket::ResolveHost(const std::string& host) {
  in_addr numeric{};
  if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
    RemoteAddress = numeric.s_addr;
    return;
  }
  auto lookup = std::make_shared<TLookup>();
  auto resolve = [lookup, host] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    int err = errno;
    uint32_t address = 0;
    if (rc == 0 && found) address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    if (found) ::freeaddrinfo(found);
    std::lock_guard lock(lookup->mutex);
    lookup->gaiError = rc;
    lookup->err = err;
    lookup->address = address;
    lookup->done = true;
    lookup->changed.notify_all();
  };

  if (Blocking) {
    resolve();
  } else {
    lookup_ = lookup;
    std::thread(resolve).detach();
    Counter.Start();
    for (;;) {
      ProcessMessages();
      std::unique_lock lock(lookup->mutex);
      if (lookup->done || Counter.Expired() || Canceled) break;
      lookup->changed.wait_for(lock, std::chrono::milliseconds(kSliceMs));
    }
    Counter.Stop();
    lookup_.reset();
  }
  std::unique_lock lock(lookup->mutex);
  if (lookup->done && lookup->gaiError != 0) {
    NotifyError = true;
    NotifyErrorCode = uint16_t(SocketCodeFromResolver(lookup->gaiError, lookup->err));
    int code = NotifyErrorCode;
    lock.unlock();
    RaiseSocketError(code);
  }
  if (!lookup->done) {
    lock.unlock();
    if (Counter.Expired()) RaiseTimeout();
    RaiseCanceled();
  }
  if (lookup->address == 0) {
    lock.unlock();
    RaiseSocketError(msgResolveError);
  }
  RemoteAddress = lookup->address;
}

void TagSocket::ResolvePort() {
  if (ServiceName.empty()) RaiseSocketError(msgServiceRequired);
  if (Canceled) RaiseCanceled();
  // The services database is a local file: looked up at once in both modes.
  uint16_t port = TagWinsock::Instance().GetServByName(ServiceName, "tcp");
  if (port == 0) {
    if (Blocking) RaiseSocketError(11004);
    port = DefaultPort;
  }
  RemotePort = port;
}

void TagSocket::ConnectSocket() {
  if (Canceled) RaiseCanceled();
  RequireOpen();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(RemotePort);
  address.sin_addr.s_addr = RemoteAddress;
  Counter.Start();
  if (TagWinsock::Instance().Connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    if (errno != EINPROGRESS && errno != EAGAIN) RaiseSocketError(SocketCodeFromErrno(errno));
    TWait result = Wait(POLLOUT);
    if (result == TWait::Canceled) RaiseCanceled();
    if (result == TWait::Expired) RaiseTimeout();
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      NotifyError = true;
      NotifyErrorCode = uint16_t(SocketCodeFromErrno(error));
      RaiseSocketError(NotifyErrorCode);
    }
  }
  Counter.Stop();
  if (Security == TSecurity::SslTls) StartTLS();
}

std::string TagSocket::Host() const {
  return Server.substr(0, Server.find(':'));
}

// ---- TLS ----

void TagSocket::StartTLS() {
  if (Canceled) RaiseCanceled();
  RequireOpen();
  const std::string host = Host();
  if (tls_) RaiseTlsError("TLS is already active with " + host, false);
  // Anything that came in the clear after the reply that let TLS begin was not sent by the
  // server: someone on the path put it there. It must never be read as a reply over TLS.
  rx_.clear();
  rxPos_ = 0;
  tls_ = std::make_unique<TagTls>(fd_, host, AcceptedFingerprint);
  Counter.Start();
  for (;;) {
    const TagTls::TStatus status = tls_->Handshake();
    if (status == TagTls::TStatus::Done) break;
    if (status == TagTls::TStatus::WantRead || status == TagTls::TStatus::WantWrite) {
      // A cancel here closes the connection and frees the session: nothing of it is used after.
      WaitFor(status == TagTls::TStatus::WantRead ? POLLIN : POLLOUT);
      continue;
    }
    if (tls_->Untrusted()) {
      const std::string fingerprint = tls_->Fingerprint();
      RaiseTlsError("The certificate of " + host + " could not be verified: " + tls_->Reason() +
                        (fingerprint.empty() ? "" : " (SHA-256 " + fingerprint + ")"),
                    true);
    }
    RaiseTlsError("TLS handshake with " + host + " failed: " + tls_->Reason(), false);
  }
  Counter.Stop();
}

bool TagSocket::TlsActive() const {
  return fd_ >= 0 && tls_ && tls_->Established();
}

bool TagSocket::PeerIsLoopback() const {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  if (peer.ss_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr) >> 24) == 127;
  if (peer.ss_family != AF_INET6) return false;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

std::string TagSocket::PeerFingerprint() const {
  return TlsActive() ? tls_->Fingerprint() : "";
}

// ---- waiting ----

TagSocket::TWait TagSocket::Wait(short events) {
  for (;;) {
    if (!Blocking) ProcessMessages();
    // The pump (or, in blocking mode, an event handler) may have canceled us.
    if (Canceled || fd_ < 0) return TWait::Canceled;
    if (Counter.Expired()) return TWait::Expired;
    int64_t ms = Counter.RemainingMs();
    if (!Blocking) ms = std::min<int64_t>(ms, kSliceMs);
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, int(std::max<int64_t>(ms, 1)));
    if (r > 0) return TWait::Ready;
    if (r < 0 && errno != EINTR) RaiseSocketError(SocketCodeFromErrno(errno));
  }
}

void TagSocket::WaitFor(short events) {
  TWait result = Wait(events);
  if (result == TWait::Canceled) RaiseCanceled();
  if (result == TWait::Expired) RaiseTimeout();
}

void TagSocket::Receive() {
  short events = POLLIN;
  for (;;) {
    // Bytes already inside the TLS session never show on the socket: take them first.
    if (!tls_ || !tls_->HasPending()) WaitFor(events);
    char buffer[kChunk];
    ssize_t n;
    if (tls_) {
      size_t got = 0;
      switch (tls_->Read(buffer, sizeof buffer, got)) {
        case TagTls::TStatus::Done:
          n = ssize_t(got);
          break;
        case TagTls::TStatus::WantRead:
          events = POLLIN;
          continue;
        case TagTls::TStatus::WantWrite:
          events = POLLOUT;
          continue;
        case TagTls::TStatus::Closed:
          RaiseSocketError(msgConnectionClosed);
        default:
          RaiseTlsFailure();
      }
    } else {
      n = TagWinsock::Instance().Recv(fd_, buffer, sizeof buffer);
      if (n == 0) RaiseSocketError(msgConnectionClosed);
      if (n < 0 && errno != EAGAIN && errno != EINTR) RaiseSocketError(SocketCodeFromErrno(errno));
    }
    if (n > 0) {
      // Consumed bytes go before the buffer grows: with replies queued behind each other it is
      // rarely empty, and would otherwise hold the whole session.
      if (rxPos_ == rx_.size()) {
        rx_.clear();
        rxPos_ = 0;
      } else if (rxPos_ >= kChunk) {
        rx_.erase(0, rxPos_);
        rxPos_ = 0;
      }
      rx_.append(buffer, size_t(n));
      return;
    }
  }
}

void TagSocket::SendAll(const char* data, size_t length) {
  while (length > 0) {
    if (!Blocking) {
      ProcessMessages();
      if (Canceled) RaiseCanceled();
    }
    if (Counter.Expired()) RaiseTimeout();
    RequireOpen();
    ssize_t n = -1;
    short events = POLLOUT;
    if (tls_) {
      size_t sent = 0;
      switch (tls_->Write(data, length, sent)) {
        case TagTls::TStatus::Done:
          n = ssize_t(sent);
          break;
        case TagTls::TStatus::WantRead:
          events = POLLIN;
          break;
        case TagTls::TStatus::WantWrite:
          break;
        case TagTls::TStatus::Closed:
          RaiseSocketError(msgConnectionClosed);
        default:
          RaiseTlsFailure();
      }
    } else {
      n = TagWinsock::Instance().Send(fd_, data, length);
      if (n < 0 && errno != EAGAIN && errno != EINTR) RaiseSocketError(SocketCodeFromErrno(errno));
    }
    if (n > 0) {
      data += n;
      length -= size_t(n);
      continue;
    }
    WaitFor(events);
  }
}

// ---- lines and data ----

void TagSocket::SendLine(const std::string& text) {
  BeforeSend();
  RequireOpen();
  // A line break would let the text smuggle in commands of its own.
  if (text.find_first_of("\r\n") != std::string::npos) RaiseSocketError(msgLineBreakInCommand);
  const std::string line = text + "\r\n";
  Counter.Start();
  SendAll(line.data(), line.size());
  Counter.Stop();
  if (!Blocking) CheckCanceledOrExpired();
}

void TagSocket::SendLines(const std::vector<std::string>& lines) {
  BeforeSend();
  SendLinesAhead(lines);
}

void TagSocket::SendLinesAhead(const std::vector<std::string>& lines) {
  RequireOpen();
  std::string text;
  for (const std::string& line : lines) {
    if (line.find_first_of("\r\n") != std::string::npos) RaiseSocketError(msgLineBreakInCommand);
    (text += line) += "\r\n";
  }
  Counter.Start();
  SendAll(text.data(), text.size());
  Counter.Stop();
  if (!Blocking) CheckCanceledOrExpired();
}

int TagSocket::ReadLine(std::string& line) {
  Counter.Start();
  const int code = ReadNextLine(line);
  Counter.Stop();
  return code;
}

int TagSocket::ReadNextLine(std::string& line) {
  RequireOpen();
  size_t lf;
  for (;;) {
    lf = rx_.find('\n', rxPos_);
    if (lf != std::string::npos && lf - rxPos_ < kMaxLine) break;
    if (lf != std::string::npos || rx_.size() - rxPos_ >= kMaxLine)
      RaiseSocketError(msgLineTooLong);
    Receive();
  }
  size_t end = lf + 1;
  size_t stop = end;
  while (stop > rxPos_ && (rx_[stop - 1] == '\r' || rx_[stop - 1] == '\n')) --stop;
  line.assign(rx_, rxPos_, stop - rxPos_);
  rxPos_ = end;
  return GetReplyCode(line);
}

void TagSocket::RaiseReplyTooLong() {
  Counter.Stop();
  Close();
  throw ESocketError("The server's reply is too long (more than " +
                         std::to_string(kMaxReplyLines) + " lines).",
                     0);
}

int TagSocket::ReadReply() {
  // The whole reply, however many lines, within one time-out.
  Counter.Start();
  const int code = ReadNextLine(LastReply);
  if (code > 0 && LastReply.find('-') == 3) {
    std::string line;
    for (int lines = 1;; ++lines) {
      if (lines > kMaxReplyLines) RaiseReplyTooLong();
      int next = ReadNextLine(line);
      LastReply = line;
      // The last line has the code and a space, or the code alone.
      if (next == code && (line.find(' ') == 3 || line.size() == 3)) break;
    }
  }
  Counter.Stop();
  return code;
}

void TagSocket::ReceiveData(int32_t expectedSize, TStream& stream, int64_t limit,
                            int64_t pacedUpTo) {
  RequireOpen();
  const int64_t initial = stream.Size();
  int64_t received = 0, restartedAt = 0;
  // The status line's end comes right before the block, so a block of "." alone ends at once.
  std::string tail = "\r\n";
  Counter.Start();
  for (;;) {
    if (rxPos_ < rx_.size()) {
      std::string_view fresh(rx_.data() + rxPos_, rx_.size() - rxPos_);
      // The terminator may begin in the bytes already taken (tail) or lie within the fresh ones.
      size_t through = std::string_view::npos;
      std::string probe = tail + std::string(fresh.substr(0, 4));
      if (size_t at = probe.find(kTerminator); at != std::string::npos)
        through = at + kTerminator.size() - tail.size();
      else if (size_t in = fresh.find(kTerminator); in != std::string_view::npos)
        through = in + kTerminator.size();
      size_t take = through == std::string_view::npos ? fresh.size() : through;
      stream.WriteBuffer(fresh.data(), int64_t(take));
      rxPos_ += take;
      received += int64_t(take);
      tail = (tail + std::string(fresh.substr(take > 4 ? take - 4 : 0, std::min<size_t>(take, 4))));
      if (tail.size() > 4) tail.erase(0, tail.size() - 4);
      if (OnProgress) {
        int64_t size = initial + received;
        int32_t perc =
            expectedSize > 0 ? int32_t(std::lround(double(size) * 100.0 / expectedSize)) : -1;
        OnProgress(*this, perc, int32_t(std::min<int64_t>(size, INT32_MAX)));
      }
      if (through != std::string_view::npos) break;
      if (limit >= 0 && received > limit) RaiseSocketError(msgDataTooLong);
      // Enough bytes arrived: the wait for the next ones starts now.
      if (received <= pacedUpTo && received - restartedAt >= kProgressStep) {
        restartedAt = received;
        Counter.Start();
      }
    }
    Receive();
  }
  Counter.Stop();
  if (!Blocking) CheckCanceledOrExpired();
}

void TagSocket::SendStream(TStream& stream) {
  BeforeSend();
  RequireOpen();
  stream.SetPosition(0);
  const int64_t size = stream.Size();
  char buffer[2048];
  for (;;) {
    int64_t n = stream.Read(buffer, 2047);
    Counter.Start();
    SendAll(buffer, size_t(n));
    Counter.Stop();
    const int64_t position = stream.Position();
    if (OnProgress)
      OnProgress(*this, size > 0 ? int32_t(std::lround(double(position) * 100.0 / size)) : 100,
                 int32_t(std::min<int64_t>(position, INT32_MAX)));
    if (n < 2047) break;
  }
  // No stop or time-out check here: once the last byte is out the server may have the whole
  // message, and only the reply that follows can say whether it did.
  if (OnProgress) OnProgress(*this, 0, 0);
}

// ---- closing and canceling ----

void TagSocket::Close() {
  if (fd_ >= 0) {
    if (OnClosing) OnClosing(*this);
    if (tls_) tls_->Shutdown();
    tls_.reset();
    TagWinsock::Instance().CloseSocket(fd_);
    fd_ = -1;
    rx_.clear();
    rxPos_ = 0;
    if (OnClosed) OnClosed(*this);
  }
  if (RAS) RAS->HangUp();
}

void TagSocket::Cancel() {
  Canceled = true;
  if (OnCancel) OnCancel(*this);
  lookup_.reset();
  Close();
}

}  // namespace norva
