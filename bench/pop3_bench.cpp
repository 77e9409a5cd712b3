// Times one header scan with TmsRemotePOP: login, UpdateInfo (STAT, then the size and header
// block of every message), QUIT, against a POP3 server on 127.0.0.1. Prints one JSON line.
// Lock-step by default; --pipelined sends CAPA and, when the server announces PIPELINING, the
// commands of 64 messages at a time ("pipelined" in the output says whether it did).
// Usage: pop3_bench PORT [--user NAME] [--password PASS] [--blocking] [--pipelined]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "mail/mspop3cl.h"
#include "store/Pump.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s PORT [--user NAME] [--password PASS] [--blocking] [--pipelined]\n",
                 argv[0]);
    return 2;
  }
  norva::TmsRemotePOP pop;
  pop.Server = std::string("127.0.0.1:") + argv[1];
  pop.UserName = "test";
  pop.Password = "secret";
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--user") && i + 1 < argc) {
      pop.UserName = argv[++i];
    } else if (!std::strcmp(argv[i], "--password") && i + 1 < argc) {
      pop.Password = argv[++i];
    } else if (!std::strcmp(argv[i], "--blocking")) {
      pop.Blocking = true;
    } else if (!std::strcmp(argv[i], "--pipelined")) {
      pop.Pipelining = true;
    } else {
      std::fprintf(stderr, "pop3_bench: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  norva::SetMessagePump({});
  pop.SetTimeOut(60);
  pop.SetWinsockLoaded(true);

  try {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    pop.Connect();
    pop.UpdateInfo();
    pop.Disconnect();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;

    // A scan that lost messages or header blocks would be fast for the wrong reason.
    const int32_t count = pop.MessageInfo.Count();
    long headerLines = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (pop.MessageInfo.Items(i).Headers.empty() || pop.MessageInfo.Items(i).Size <= 0) {
        std::fprintf(stderr, "pop3_bench: message %d has no header block or size\n", i);
        return 1;
      }
      headerLines += long(pop.MessageInfo.Items(i).Headers.size());
    }
    if (count != pop.MessageCount) {
      std::fprintf(stderr, "pop3_bench: %d messages listed, STAT said %d\n", count,
                   pop.MessageCount);
      return 1;
    }
    std::printf(
        "{\"client\": \"norva\", \"messages\": %d, \"seconds\": %.4f, \"cpu_seconds\": %.4f, "
        "\"header_lines\": %ld, \"pipelined\": %s}\n",
        count, wall, cpu, headerLines, pop.WalkedPipelined() ? "true" : "false");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pop3_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
