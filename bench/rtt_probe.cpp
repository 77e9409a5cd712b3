// rtt_probe: the loopback figures behind the header scan's round-trip limit. A ping-pong of
// command-sized messages over a TCP connection on 127.0.0.1 (Nagle off, like the clients) gives
// the round-trip time; a bulk transfer gives the bandwidth. Prints one JSON line.
// Usage: rtt_probe [--round-trips N (20000)] [--megabytes M (256)]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::Fail;
using bench::NoDelay;

// A connected pair of TCP sockets over loopback.
std::pair<int, int> ConnectedPair() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) Fail("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("bind");
  if (listen(listener, 1) != 0) Fail("listen");
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) Fail("getsockname");
  int client = socket(AF_INET, SOCK_STREAM, 0);
  if (client < 0) Fail("socket");
  if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("connect");
  int server = accept(listener, nullptr, nullptr);
  if (server < 0) Fail("accept");
  close(listener);
  NoDelay(client);
  NoDelay(server);
  return {client, server};
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) Fail("send");
    data += n;
    size -= size_t(n);
  }
}

void ReadExactly(int fd, char* data, size_t size) {
  while (size > 0) {
    ssize_t n = recv(fd, data, size, 0);
    if (n <= 0) Fail("recv");
    data += n;
    size -= size_t(n);
  }
}

// Median of batches of round trips, in microseconds per round trip: a batch the scheduler
// disturbed does not move the figure.
double RoundTripMicros(int rounds) {
  auto [client, server] = ConnectedPair();
  const char request[] = "TOP 12345 1\r\n";               // what a client sends
  const char reply[] = "+OK 12345 octets follow.\r\n";    // what a server answers first
  std::thread echo([fd = server, total = rounds + rounds / 10, &request, &reply] {
    char buffer[sizeof request - 1];
    for (int i = 0; i < total; ++i) {
      ReadExactly(fd, buffer, sizeof buffer);
      WriteAll(fd, reply, sizeof reply - 1);
    }
  });
  char buffer[sizeof reply - 1];
  auto one = [&] {
    WriteAll(client, request, sizeof request - 1);
    ReadExactly(client, buffer, sizeof buffer);
  };
  for (int i = 0; i < rounds / 10; ++i) one();  // warm-up
  const int batches = 10, per_batch = rounds / batches;
  std::vector<double> micros;
  for (int b = 0; b < batches; ++b) {
    auto start = Clock::now();
    for (int i = 0; i < per_batch; ++i) one();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                     per_batch);
  }
  for (int i = batches * per_batch; i < rounds; ++i) one();
  echo.join();
  close(client);
  close(server);
  std::sort(micros.begin(), micros.end());
  return (micros[batches / 2 - 1] + micros[batches / 2]) / 2;
}

// Megabytes (10^6 bytes) per second, one direction, 64 KiB writes and reads.
double BandwidthMBps(size_t megabytes) {
  auto [client, server] = ConnectedPair();
  const size_t total = megabytes * 1000000, chunk = 65536;
  std::thread sender([fd = server, total, chunk] {
    std::vector<char> data(chunk, 'x');
    for (size_t sent = 0; sent < total; sent += chunk)
      WriteAll(fd, data.data(), std::min(chunk, total - sent));
    shutdown(fd, SHUT_WR);
  });
  std::vector<char> buffer(chunk);
  size_t received = 0;
  auto start = Clock::now();
  for (;;) {
    ssize_t n = recv(client, buffer.data(), buffer.size(), 0);
    if (n < 0) Fail("recv");
    if (n == 0) break;
    received += size_t(n);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  close(client);
  close(server);
  if (received != total) throw std::runtime_error("short transfer");
  return double(received) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20000;
  size_t megabytes = 256;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--round-trips" && i + 1 < argc) {
      rounds = std::max(100, std::atoi(argv[++i]));
    } else if (arg == "--megabytes" && i + 1 < argc) {
      megabytes = size_t(std::max(1, std::atoi(argv[++i])));
    } else {
      std::fprintf(stderr, "usage: rtt_probe [--round-trips N] [--megabytes M]\n");
      return 2;
    }
  }
  double rtt = RoundTripMicros(rounds);
  double bandwidth = BandwidthMBps(megabytes);
  std::printf("{\"round_trips\": %d, \"rtt_us\": %.2f, \"megabytes\": %zu, \"bandwidth_mb_s\": %.1f}\n",
              rounds, rtt, megabytes, bandwidth);
  return 0;
}
