// Helpers shared by the fuzz targets: a reader that carves typed values out of the input bytes,
// a fast folder for the files a target writes, and the entry point every target defines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace norva::fuzz {

// Takes values from the front of the input; once it is used up every value is empty or zero,
// so a target never has to check the length itself.
class TInput {
 public:
  TInput(const uint8_t* data, size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  bool Empty() const { return rest_.empty(); }
  uint8_t Byte() {
    if (rest_.empty()) return 0;
    const uint8_t b = uint8_t(rest_[0]);
    rest_.remove_prefix(1);
    return b;
  }
  bool Bool() { return Byte() & 1; }
  // A length byte (at most max), then that many bytes.
  std::string Bytes(size_t max) {
    size_t n = Byte();
    if (n > max) n %= max + 1;
    return Take(n);
  }
  // Bytes up to the next zero byte (which is dropped), at most max of them.
  std::string Until0(size_t max) {
    size_t end = rest_.find('\0');
    const bool found = end != std::string_view::npos && end <= max;
    if (!found) end = std::min(rest_.size(), max);
    std::string out(rest_.substr(0, end));
    rest_.remove_prefix(end + (found ? 1 : 0));
    return out;
  }
  std::string Take(size_t n) {
    n = std::min(n, rest_.size());
    std::string out(rest_.substr(0, n));
    rest_.remove_prefix(n);
    return out;
  }
  std::string Rest() { return Take(rest_.size()); }

 private:
  std::string_view rest_;
};

// A folder for files that live only during one run: /dev/shm when it can be written, else the
// usual temporary folder. The first call also points TMPDIR there, so that the working files
// the code under test makes land in it too.
const std::string& ScratchDir();

// Aborts with a message: a broken round trip is a finding like a crash.
[[noreturn]] void Fail(const char* what, std::string_view expected = {},
                       std::string_view actual = {});

}  // namespace norva::fuzz
