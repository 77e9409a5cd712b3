// The process-wide socket library state and the socket calls made through it.
#include "mail/agwsock.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include "mail/agConst.h"

namespace norva {

TagWinsock& TagWinsock::Instance() {
  static TagWinsock instance;
  return instance;
}

// POSIX sockets are always there; loading only marks the library ready.
void TagWinsock::Load() {
  handle_ = 1;
}

void TagWinsock::Require(const char*) const {
  if (!IsLoaded()) throw EWinsockDLLError(MailMessageText(msgNotLoaded));
}

int TagWinsock::Startup(uint16_t version) {
  Require("WSAStartup");
  if ((version & 0xFF) < 1) return 10092;
  ++startups_;
  return 0;
}

void TagWinsock::Cleanup() {
  if (startups_ > 0) --startups_;
}

int TagWinsock::Socket() {
  Require("socket");
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

int TagWinsock::Connect(int fd, const sockaddr* address, socklen_t length) {
  Require("connect");
  return ::connect(fd, address, length);
}

ssize_t TagWinsock::Send(int fd, const void* buffer, size_t length) {
  Require("send");
  return ::send(fd, buffer, length, MSG_NOSIGNAL);
}

ssize_t TagWinsock::Recv(int fd, void* buffer, size_t length) {
  Require("recv");
  return ::recv(fd, buffer, length, 0);
}

int TagWinsock::CloseSocket(int fd) {
  return ::close(fd);
}

int TagWinsock::GetHostName(char* name, size_t length) {
  Require("gethostname");
  return ::gethostname(name, length);
}

uint16_t TagWinsock::GetServByName(const std::string& service, const std::string& protocol) {
  Require("getservbyname");
  servent entry;
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyname_r(service.c_str(), protocol.c_str(), &entry, buffer, sizeof buffer, &found) !=
          0 ||
      !found)
    return 0;
  return ntohs(uint16_t(found->s_port));
}

}  // namespace norva
