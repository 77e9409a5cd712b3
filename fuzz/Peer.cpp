#include "Peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace norva::fuzz {
namespace {

// One listening socket for the whole process: each run's client connects to it afresh.
struct TListener {
  int fd = -1;
  uint16_t port = 0;
  TListener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::perror("fuzz peer: listen");
      std::abort();
    }
    port = ntohs(a.sin_port);
  }
};

TListener& Listener() {
  static TListener listener;
  return listener;
}

// Waits at most ms for fd to become readable.
bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

TScriptedPeer::TScriptedPeer(std::string bytes) : bytes_(std::move(bytes)) {
  Listener();
  thread_ = std::thread([this] { Serve(); });
}

TScriptedPeer::~TScriptedPeer() {
  thread_.join();
}

std::string TScriptedPeer::Address() const {
  return "127.0.0.1:" + std::to_string(Listener().port);
}

void TScriptedPeer::Serve() {
  // A client that never connects (it failed before) leaves the wait after a while.
  if (!Readable(Listener().fd, 5000)) return;
  const int fd = ::accept4(Listener().fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  for (size_t sent = 0; sent < bytes_.size();) {
    const ssize_t n = ::send(fd, bytes_.data() + sent, bytes_.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the client has gone
    sent += size_t(n);
  }
  ::shutdown(fd, SHUT_WR);
  char buffer[4096];
  // The client closes at the end of its run; the limit only guards against a client that hangs.
  while (Readable(fd, 10000)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received_.append(buffer, size_t(n));
  }
  ::close(fd);
}

}  // namespace norva::fuzz
