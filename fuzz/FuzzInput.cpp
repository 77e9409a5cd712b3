#include "FuzzInput.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "store/FileIO.h"

namespace norva::fuzz {

const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string d = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fileio::TempDirectory();
    ::setenv("TMPDIR", d.c_str(), 1);
    return d;
  }();
  return dir;
}

namespace {
void Print(const char* label, std::string_view bytes) {
  std::fprintf(stderr, "%s (%zu bytes): ", label, bytes.size());
  for (unsigned char c : bytes.substr(0, 400)) {
    if (c >= 32 && c < 127 && c != '\\')
      std::fputc(c, stderr);
    else
      std::fprintf(stderr, "\\x%02x", c);
  }
  std::fputc('\n', stderr);
}
}  // namespace

void Fail(const char* what, std::string_view expected, std::string_view actual) {
  std::fprintf(stderr, "round trip broken: %s\n", what);
  if (!expected.empty() || !actual.empty()) {
    Print("expected", expected);
    Print("actual  ", actual);
  }
  std::abort();
}

}  // namespace norva::fuzz
