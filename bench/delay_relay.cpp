// delay_relay: a TCP relay on loopback that holds every chunk of bytes for a fixed time in each
// direction, so a client on the same machine sees a slow link's round trips. Bytes keep their
// order; Nagle is off on both legs, so nothing waits for more data to fill a segment.
// Usage: delay_relay --to HOST:PORT [--listen PORT (0: any free port)] [--delay-ms D (10)]
// Prints "listening on 127.0.0.1:PORT" once it accepts connections, then runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::Fail;
using bench::NoDelay;

// One direction of a connection: a reader thread stamps each chunk with the time it may leave,
// a writer thread sends the chunks in order when their time comes. An empty chunk is the end.
struct Direction {
  int from = -1, to = -1;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::pair<Clock::time_point, std::string>> queue;

  void Push(Clock::time_point due, std::string bytes) {
    {
      std::lock_guard lock(mutex);
      queue.emplace_back(due, std::move(bytes));
    }
    ready.notify_one();
  }
};

// Both directions of one client connection; the sockets close when both writers are done.
struct Connection {
  int client, server;
  Direction up, down;
  std::atomic<int> writers{2};

  Connection(int c, int s) : client(c), server(s) {
    up.from = client;
    up.to = server;
    down.from = server;
    down.to = client;
  }
  ~Connection() {
    close(client);
    close(server);
  }
};

void Read(std::shared_ptr<Connection> /*kept alive*/, Direction& d, Clock::duration delay) {
  std::vector<char> buffer(65536);
  for (;;) {
    ssize_t n = recv(d.from, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    d.Push(Clock::now() + delay, std::string(buffer.data(), size_t(n)));
  }
  d.Push(Clock::now() + delay, {});
}

void Write(std::shared_ptr<Connection> connection, Direction& d) {
  bool broken = false;
  for (;;) {
    std::unique_lock lock(d.mutex);
    d.ready.wait(lock, [&] { return !d.queue.empty(); });
    auto [due, bytes] = std::move(d.queue.front());
    d.queue.pop_front();
    lock.unlock();
    std::this_thread::sleep_until(due);
    if (bytes.empty()) break;
    for (size_t sent = 0; !broken && sent < bytes.size();) {
      ssize_t n = send(d.to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        // The receiving side is gone: stop reading from the sender too, so both ends finish.
        broken = true;
        shutdown(d.from, SHUT_RD);
      } else {
        sent += size_t(n);
      }
    }
  }
  shutdown(d.to, SHUT_WR);
  if (--connection->writers == 0) {
    shutdown(connection->client, SHUT_RDWR);
    shutdown(connection->server, SHUT_RDWR);
  }
}

sockaddr_in Address(const std::string& host, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "delay_relay: not an IPv4 address: %s\n", host.c_str());
    std::exit(2);
  }
  return addr;
}

}  // namespace

int main(int argc, char** argv) {
  std::string target;
  int listen_port = 0, delay_ms = 10;
  bool usage = argc % 2 == 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--to") target = argv[i + 1];
    else if (arg == "--listen") listen_port = std::atoi(argv[i + 1]);
    else if (arg == "--delay-ms") delay_ms = std::atoi(argv[i + 1]);
    else usage = true;
  }
  size_t colon = target.rfind(':');
  if (usage || colon == std::string::npos || delay_ms < 0) {
    std::fprintf(stderr, "usage: delay_relay --to HOST:PORT [--listen PORT] [--delay-ms D]\n");
    return 2;
  }
  const sockaddr_in upstream = Address(target.substr(0, colon), std::atoi(target.c_str() + colon + 1));
  const auto delay = std::chrono::milliseconds(delay_ms);
  std::signal(SIGPIPE, SIG_IGN);

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) Fail("socket");
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = Address("127.0.0.1", listen_port);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("bind");
  if (listen(listener, 16) != 0) Fail("listen");
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) Fail("getsockname");
  std::printf("listening on 127.0.0.1:%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  for (;;) {
    int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    if (server < 0 ||
        connect(server, reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream) != 0) {
      std::perror("delay_relay: connect");
      if (server >= 0) close(server);
      close(client);
      continue;
    }
    NoDelay(client);
    NoDelay(server);
    auto connection = std::make_shared<Connection>(client, server);
    std::thread(Read, connection, std::ref(connection->up), delay).detach();
    std::thread(Read, connection, std::ref(connection->down), delay).detach();
    std::thread(Write, connection, std::ref(connection->up)).detach();
    std::thread(Write, connection, std::ref(connection->down)).detach();
  }
}
