// The fake TCP peer, the fake POP3 mailbox and the fake SMTP server.
#include "support/FakePeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace norva::testing {
namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A TCP socket bound to 127.0.0.1 on a port the kernel picks; returns the port.
int BoundSocket(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
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
  pollfd p[2] = {{fd_, events, 0}, {peer_.wake_[0], POLLIN, 0}};
  for (;;) {
    int n = ::poll(p, 2, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && p[1].revents == 0;
  }
}

bool PeerConnection::Pause(std::chrono::milliseconds pause) {
  pollfd p{peer_.wake_[0], POLLIN, 0};
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
  peer_.Record(line);
  return true;
}

bool PeerConnection::Fill(int timeoutMs) {
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
    size_t through = std::string::npos;
    if (input_.starts_with(".\r\n"))
      through = 3;
    else if (size_t at = input_.find("\r\n.\r\n"); at != std::string::npos)
      through = at + 5;
    if (through != std::string::npos) {
      block = input_.substr(0, through);
      input_.erase(0, through);
      return true;
    }
    if (!Fill(-1)) return false;
  }
}

bool PeerConnection::SendRaw(std::string_view bytes) {
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
  if (chunk_ == 0) return SendRaw(bytes);
  while (!bytes.empty()) {
    size_t n = std::min(chunk_, bytes.size());
    if (!SendRaw(bytes.substr(0, n))) return false;
    bytes.remove_prefix(n);
    if (!bytes.empty() && !Pause(pause_)) return false;
  }
  return true;
}

void PeerConnection::SetPacing(size_t chunk, std::chrono::milliseconds pause) {
  chunk_ = chunk;
  pause_ = pause;
}

void PeerConnection::SendForever(std::string_view pattern) {
  while (SendRaw(pattern)) {
  }
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

void PeerConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

// ---- FakePeer ----

FakePeer::FakePeer(Handler handler) : handler_(std::move(handler)) {
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  listenFd_ = BoundSocket(port_);
  if (::listen(listenFd_, 8) != 0) throw std::runtime_error("listen failed");
  thread_ = std::thread([this] { Serve(); });
}

FakePeer::~FakePeer() {
  Stop();
  if (listenFd_ >= 0) ::close(listenFd_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void FakePeer::Stop() {
  if (!thread_.joinable()) return;
  char b = 0;
  while (::write(wake_[1], &b, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
}

std::string FakePeer::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> FakePeer::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

int FakePeer::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void FakePeer::Record(const std::string& line) {
  std::lock_guard lock(mutex_);
  commands_.push_back(line);
}

void FakePeer::Serve() {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard lock(mutex_);
      ++connections_;
    }
    PeerConnection c(*this, fd);
    try {
      handler_(c);
    } catch (...) {
      // A failing handler ends its connection only; the test sees the client's side of it.
    }
  }
}

// ---- ClosedPort ----

ClosedPort::ClosedPort() : fd_(BoundSocket(port_)) {}
ClosedPort::~ClosedPort() {
  ::close(fd_);
}

// ---- FakePop3 ----

FakePop3::FakePop3(std::vector<std::string> messages, std::string user, std::string password)
    : messages_(std::move(messages)),
      user_(std::move(user)),
      password_(std::move(password)),
      peer_([this](PeerConnection& c) { Serve(c); }) {}

void FakePop3::On(const std::string& command, Override handler) {
  std::lock_guard lock(mutex_);
  overrides_[command] = std::move(handler);
}

void FakePop3::Reply(const std::string& command, std::string bytes) {
  On(command, [bytes](PeerConnection& c, const std::string&) { c.Send(bytes); });
}

void FakePop3::SetPacing(size_t chunk, std::chrono::milliseconds pause) {
  std::lock_guard lock(mutex_);
  chunk_ = chunk;
  pause_ = pause;
}

void FakePop3::Serve(PeerConnection& c) {
  {
    std::lock_guard lock(mutex_);
    c.SetPacing(chunk_, pause_);
  }
  Answer(c, "GREETING", "");
  std::string line;
  while (c.IsOpen() && c.ReadLine(line)) {
    size_t blank = line.find(' ');
    Answer(c, line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
  }
}

const std::string* FakePop3::Message(const std::string& arg) const {
  size_t n = 0;
  for (char ch : arg.substr(0, arg.find(' '))) {
    if (ch < '0' || ch > '9') return nullptr;
    n = n * 10 + size_t(ch - '0');
  }
  return n >= 1 && n <= messages_.size() ? &messages_[n - 1] : nullptr;
}

void FakePop3::Answer(PeerConnection& c, const std::string& word, const std::string& arg) {
  Override custom;
  {
    std::lock_guard lock(mutex_);
    if (auto it = overrides_.find(word); it != overrides_.end()) custom = it->second;
  }
  if (custom) return custom(c, arg);

  const std::string* msg = Message(arg);
  if (word == "GREETING") {
    c.Send("+OK fake POP3 server ready\r\n");
  } else if (word == "USER") {
    givenUser_ = arg;
    c.Send("+OK\r\n");
  } else if (word == "PASS") {
    c.Send(givenUser_ == user_ && arg == password_ ? "+OK logged in\r\n"
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

FakeSmtp::FakeSmtp() : peer_([this](PeerConnection& c) { Serve(c); }) {}

void FakeSmtp::On(const std::string& command, Override handler) {
  std::lock_guard lock(mutex_);
  overrides_[command] = std::move(handler);
}

void FakeSmtp::Reply(const std::string& command, std::string bytes) {
  On(command, [bytes](PeerConnection& c, const std::string&) { c.Send(bytes); });
}

std::vector<std::string> FakeSmtp::Data() const {
  std::lock_guard lock(mutex_);
  return data_;
}

void FakeSmtp::Serve(PeerConnection& c) {
  Answer(c, "GREETING", "");
  std::string line;
  while (c.IsOpen() && c.ReadLine(line)) {
    size_t blank = line.find(' ');
    Answer(c, line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
  }
}

void FakeSmtp::Answer(PeerConnection& c, const std::string& word, const std::string& arg) {
  Override custom;
  {
    std::lock_guard lock(mutex_);
    if (auto it = overrides_.find(word); it != overrides_.end()) custom = it->second;
  }
  if (custom) return custom(c, arg);

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
