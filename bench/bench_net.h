// Small socket helpers shared by the benchmark's own network tools.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

[[noreturn]] inline void Fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

// Nagle off: a command-sized write leaves at once instead of waiting for more to fill a segment.
inline void NoDelay(int fd) {
  int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) Fail("TCP_NODELAY");
}

}  // namespace bench
