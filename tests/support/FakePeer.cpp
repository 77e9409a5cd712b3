// The fake POP3 mailbox and SMTP server on loopback.
#include "support/FakePeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace norva::testing {
namespace {

// A TCP socket bound to 127.0.0.1 on a port the kernel picks; returns the port.
int BoundSocket(uint16_t& port, const std::string& host = "127.0.0.1") {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  port = ntohs(a.sin_port);
  return fd;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The lines as a data block: CR LF after each, a "." before lines that start with one, and the
// terminating "." line.
std::string DataBlock(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += (l.starts_with(".") ? "." : "") + l + "\r\n";
  return out + ".\r\n";
}

}  // namespace

// ---- PeerConnection ----

bool PeerConnection::Wait(short events, int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p[2] = {{fd_, events, 0}, {server_.wake_[0], POLLIN, 0}};
  for (;;) {
    int n = ::poll(p, 2, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && p[1].revents == 0;
  }
}

bool PeerConnection::Pause(std::chrono::milliseconds pause) {
  pollfd p{server_.wake_[0], POLLIN, 0};
  while (::poll(&p, 1, int(pause.count())) < 0 && errno == EINTR) {
  }
  return p.revents == 0;
}

bool PeerConnection::TakeLine(std::string& line) {
  size_t lf = input_.find('\n');
  if (lf == std::string::npos) return false;
  line = input_.substr(0, lf);
  input_.erase(0, lf + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::lock_guard lock(server_.mutex_);
  server_.commands_.push_back(line);
  return true;
}

bool PeerConnection::Fill(int timeoutMs) {
  while (ssl_) {
    char buf[4096];
    int n = SSL_read(ssl_, buf, sizeof buf);
    if (n > 0) {
      input_.append(buf, size_t(n));
      return true;
    }
    int e = SSL_get_error(ssl_, n);
    ERR_clear_error();
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    if (!Wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeoutMs)) return false;
  }
  for (;;) {
    if (!Wait(POLLIN, timeoutMs)) return false;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    input_.append(buf, size_t(n));
    return true;
  }
}

bool PeerConnection::ReadLine(std::string& line) {
  while (!TakeLine(line)) {
    if (!Fill(-1)) return false;
  }
  return true;
}

bool PeerConnection::ReadData(std::string& block) {
  // The block begins right after a line end, so a "." line at its very start ends it too.
  for (;;) {
    if (size_t at = ("\r\n" + input_).find("\r\n.\r\n"); at != std::string::npos) {
      block = input_.substr(0, at + 3);
      input_.erase(0, at + 3);
      return true;
    }
    if (!Fill(-1)) return false;
  }
}

bool PeerConnection::SendRaw(std::string_view bytes) {
  while (ssl_ && !bytes.empty()) {
    int n = SSL_write(ssl_, bytes.data(), int(bytes.size()));
    if (n > 0) {
      bytes.remove_prefix(size_t(n));
      continue;
    }
    int e = SSL_get_error(ssl_, n);
    ERR_clear_error();
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    if (!Wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1)) return false;
  }
  while (!bytes.empty()) {
    if (!Wait(POLLOUT, -1)) return false;
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return false;
    bytes.remove_prefix(size_t(n));
  }
  return true;
}

bool PeerConnection::Send(std::string_view bytes) {
  for (bool first = true; trickle_ && !bytes.empty(); first = false) {
    if (!first && !Pause(std::chrono::milliseconds(1))) return false;
    if (!SendRaw(bytes.substr(0, 1))) return false;
    bytes.remove_prefix(1);
  }
  return SendRaw(bytes);
}

void PeerConnection::SendForever(std::string_view pattern) {
  while (SendRaw(pattern)) {
  }
}

void PeerConnection::Drip(std::string_view pattern, std::chrono::milliseconds gap) {
  for (size_t i = 0; !pattern.empty() && SendRaw(pattern.substr(i, 1)) && Pause(gap);)
    i = (i + 1) % pattern.size();
}

void PeerConnection::Stall(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::string line;
  for (;;) {
    while (TakeLine(line)) {
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Fill(int(left.count()))) break;
  }
  Close();
}

bool PeerConnection::StartTls() {
  ssl_ctx_st* context;
  {
    std::lock_guard lock(server_.mutex_);
    context = server_.tls_;
  }
  if (!context || fd_ < 0 || ssl_) return false;
  input_.clear();
  ssl_ = SSL_new(context);
  SSL_set_fd(ssl_, fd_);
  for (;;) {
    int r = SSL_accept(ssl_);
    if (r == 1) return true;
    int e = SSL_get_error(ssl_, r);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ && Wait(POLLIN, 30000)) continue;
    if (e == SSL_ERROR_WANT_WRITE && Wait(POLLOUT, 30000)) continue;
    Close();
    return false;
  }
}

void PeerConnection::Close() {
  if (ssl_) {
    if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ERR_clear_error();
    ssl_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  SSL_free(ssl_);
  ssl_ = nullptr;
  Close();
}

// ---- ClosedPort ----

// In the body: port_'s own initialiser would reset it after an init-list BoundSocket.
ClosedPort::ClosedPort() { fd_ = BoundSocket(port_); }
ClosedPort::~ClosedPort() {
  ::close(fd_);
}

// ---- FakeServer ----

FakeServer::FakeServer() {
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  host_ = ListenHost();
  listenFd_ = BoundSocket(port_, host_);
  if (::listen(listenFd_, 8) != 0) throw std::runtime_error("listen failed");
  thread_ = std::thread([this] { Serve(); });
}

std::string& ListenHost() {
  static std::string host = "127.0.0.1";
  return host;
}

std::string OtherThanLoopback() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    found = text;
  }
  ::freeifaddrs(list);
  return found;
}

FakeServer::~FakeServer() {
  Stop();
  SSL_CTX_free(tls_);
  ::close(listenFd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void FakeServer::Stop() {
  if (!thread_.joinable()) return;
  char b = 0;
  while (::write(wake_[1], &b, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
}

std::vector<std::string> FakeServer::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

int FakeServer::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void FakeServer::On(const std::string& command, Override handler) {
  std::lock_guard lock(mutex_);
  overrides_[command] = std::move(handler);
}

void FakeServer::Reply(const std::string& command, std::string bytes) {
  On(command, [bytes](PeerConnection& c, const std::string&) { c.Send(bytes); });
}

void FakeServer::Trickle(bool on) {
  std::lock_guard lock(mutex_);
  trickle_ = on;
}

void FakeServer::UseTls(const std::string& certFile, const std::string& keyFile, bool implicit) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context || SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(context);
    throw std::runtime_error("cannot load " + certFile + " and " + keyFile);
  }
  std::lock_guard lock(mutex_);
  SSL_CTX_free(tls_);
  tls_ = context;
  implicitTls_ = implicit;
}

void FakeServer::Serve() {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    PeerConnection c(*this, fd);
    bool implicitTls;
    {
      std::lock_guard lock(mutex_);
      ++connections_;
      c.trickle_ = trickle_;
      implicitTls = implicitTls_;
    }
    if (implicitTls && !c.StartTls()) continue;
    try {
      Answer(c, "GREETING", "");
      std::string line;
      while (c.IsOpen() && c.ReadLine(line)) {
        size_t blank = line.find(' ');
        Answer(c, line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
      }
    } catch (...) {
      // A failing handler ends its connection only; the test sees the client's side of it.
    }
  }
}

void FakeServer::Answer(PeerConnection& c, const std::string& word, const std::string& arg) {
  Override custom;
  {
    std::lock_guard lock(mutex_);
    if (auto it = overrides_.find(word); it != overrides_.end()) custom = it->second;
  }
  custom ? custom(c, arg) : Default(c, word, arg);
}

// ---- FakePop3 ----

void FakePop3::Default(PeerConnection& c, const std::string& word, const std::string& arg) {
  const std::string num = arg.substr(0, arg.find(' '));
  const bool digits =
      !num.empty() && num.size() < 9 && num.find_first_not_of("0123456789") == num.npos;
  const size_t n = digits ? std::stoul(num) : 0;
  const std::string* msg = n >= 1 && n <= messages_.size() ? &messages_[n - 1] : nullptr;

  if (word == "GREETING") {
    c.Send("+OK fake POP3 server ready\r\n");
  } else if (word == "USER") {
    givenUser_ = arg;
    c.Send("+OK\r\n");
  } else if (word == "PASS") {
    c.Send(givenUser_ == "user" && arg == "secret" ? "+OK logged in\r\n"
                                                   : "-ERR invalid login\r\n");
  } else if (word == "STAT") {
    size_t total = 0;
    for (const auto& m : messages_) total += m.size();
    c.Send("+OK " + std::to_string(messages_.size()) + " " + std::to_string(total) + "\r\n");
  } else if (word == "QUIT") {
    c.Send("+OK bye\r\n");
    c.Close();
  } else if (word != "LIST" && word != "TOP" && word != "RETR" && word != "DELE") {
    c.Send("-ERR unknown command\r\n");
  } else if (!msg) {
    c.Send("-ERR no such message\r\n");
  } else if (word == "LIST") {
    c.Send("+OK " + arg + " " + std::to_string(msg->size()) + "\r\n");
  } else if (word == "DELE") {
    c.Send("+OK marked\r\n");
  } else if (word == "RETR") {
    c.Send("+OK " + std::to_string(msg->size()) + " octets\r\n" + DataBlock(SplitCrLf(*msg)));
  } else {  // TOP n k: the header lines, the empty line and k body lines
    size_t blank = arg.find(' ');
    size_t k = blank == std::string::npos ? 0 : size_t(std::atoi(arg.c_str() + blank + 1));
    std::vector<std::string> lines = SplitCrLf(*msg), top;
    size_t i = 0;
    while (i < lines.size() && !lines[i].empty()) top.push_back(lines[i++]);
    for (size_t end = std::min(lines.size(), i + 1 + k); i < end; ++i) top.push_back(lines[i]);
    c.Send("+OK\r\n" + DataBlock(top));
  }
}

// ---- FakeSmtp ----

std::vector<std::string> FakeSmtp::Data() const {
  std::lock_guard lock(mutex_);
  return data_;
}

void FakeSmtp::Default(PeerConnection& c, const std::string& word, const std::string&) {
  if (word == "GREETING") {
    c.Send("220 fake.test SMTP ready\r\n");
  } else if (word == "HELO") {
    c.Send("250 fake.test\r\n");
  } else if (word == "MAIL" || word == "RCPT") {
    c.Send("250 OK\r\n");
  } else if (word == "DATA") {
    std::string block;
    if (!c.Send("354 end data with <CR><LF>.<CR><LF>\r\n") || !c.ReadData(block)) return;
    {
      std::lock_guard lock(mutex_);
      data_.push_back(block);
    }
    Answer(c, ".", "");
  } else if (word == ".") {
    c.Send("250 OK queued\r\n");
  } else if (word == "QUIT") {
    c.Send("221 bye\r\n");
    c.Close();
  } else {
    c.Send("500 unknown command\r\n");
  }
}

}  // namespace norva::testing
