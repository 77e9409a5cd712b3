// TagWinsock: the process-wide "socket library ready" state, and the socket calls made through it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "store/Exception.h"

namespace norva {

// The socket library is missing, not loaded, or lacks a function.
class EWinsockDLLError : public Exception {
 public:
  using Exception::Exception;
};

// Every socket call goes through the one process-wide instance, which refuses calls while the
// library is not loaded ("Winsock is not loaded").
class TagWinsock {
 public:
  static TagWinsock& Instance();

  void Load();
  void Unload() { handle_ = 0; }
  bool IsLoaded() const { return handle_ > 0; }

  // Library start-up and clean-up; Startup returns 0 when the version is supported.
  int Startup(uint16_t version);
  void Cleanup();

  // Forwarded socket calls: each checks that the library is loaded, then makes the POSIX call.
  int Socket();
  int Connect(int fd, const sockaddr* address, socklen_t length);
  ssize_t Send(int fd, const void* buffer, size_t length);
  ssize_t Recv(int fd, void* buffer, size_t length);
  int CloseSocket(int fd);
  int GetHostName(char* name, size_t length);
  // The port of a service ("pop3", "tcp") in host order; 0 when unknown.
  uint16_t GetServByName(const std::string& service, const std::string& protocol);

 private:
  TagWinsock() = default;
  void Require(const char* function) const;

  int32_t handle_ = 0;
  int32_t startups_ = 0;
};

}  // namespace norva
