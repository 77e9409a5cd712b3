// SHA-1 through OpenSSL and the password scrambling sequence.
#include "store/QDBCrypt.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace norva {

TQDBKey Sha1(const void* data, size_t length) {
  TQDBKey digest{};
  unsigned int size = 0;
  if (!EVP_Digest(data, length, digest.data(), &size, EVP_sha1(), nullptr) || size != 20)
    throw std::runtime_error("SHA-1 is not available");
  return digest;
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr))
    throw std::runtime_error("SHA-256 is not available");
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

TQDBKey PasswordKey(const std::string& password) {
  return Sha1(password.data(), std::min<size_t>(password.size(), 255));
}

TQDBKey PasswordCheckValue(const TQDBKey& key) {
  return Sha1(key.data(), key.size());
}

namespace {

constexpr uint32_t kMultiplier = 1664525u, kIncrement = 1013904223u;

uint32_t Seed(const TQDBKey& key) {
  uint32_t s = 0;
  for (size_t w = 0; w < 5; ++w)
    s ^= uint32_t(key[4 * w]) | uint32_t(key[4 * w + 1]) << 8 | uint32_t(key[4 * w + 2]) << 16 |
         uint32_t(key[4 * w + 3]) << 24;
  return s;
}

// The generator's state after n steps from s, in O(log n): the step x -> a x + c composed with
// itself by repeated squaring.
uint32_t Advance(uint32_t s, uint64_t n) {
  uint32_t a = kMultiplier, c = kIncrement;  // one step, then 2, 4, 8... steps
  uint32_t ra = 1, rc = 0;                   // the steps taken so far
  for (; n; n >>= 1) {
    if (n & 1) {
      ra *= a;
      rc = rc * a + c;
    }
    c = c * a + c;
    a *= a;
  }
  return ra * s + rc;
}

}  // namespace

void ScrambleAt(uint8_t* bytes, size_t length, uint64_t position, uint64_t sectionLength,
                const TQDBKey& key) {
  const uint32_t seed = Seed(key);
  while (length > 0 && position < sectionLength) {
    const uint64_t chunkStart = position - position % kScrambleChunk;
    const uint64_t chunkLength = std::min(kScrambleChunk, sectionLength - chunkStart);
    const uint64_t wordBytes = chunkLength - chunkLength % 4;
    uint64_t at = position - chunkStart;
    const size_t take = size_t(std::min<uint64_t>(length, chunkLength - at));
    size_t i = 0;
    if (at < wordBytes) {
      uint32_t s = Advance(seed, at / 4 + 1);
      for (; i < take && at < wordBytes; ++i, ++at) {
        bytes[i] ^= uint8_t(s >> (8 * (at % 4)));
        if (at % 4 == 3) s = s * kMultiplier + kIncrement;
      }
    }
    if (i < take) {  // the tail: one step a byte after the last word's
      uint32_t s = Advance(seed, wordBytes / 4 + (at - wordBytes) + 1);
      for (; i < take; ++i, s = s * kMultiplier + kIncrement) bytes[i] ^= uint8_t(s);
    }
    bytes += take;
    length -= take;
    position += take;
  }
}

void ScrambleChunk(uint8_t* chunk, size_t length, const TQDBKey& key) {
  uint32_t s = Seed(key);
  size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    s = s * 1664525u + 1013904223u;
    chunk[i] ^= uint8_t(s);
    chunk[i + 1] ^= uint8_t(s >> 8);
    chunk[i + 2] ^= uint8_t(s >> 16);
    chunk[i + 3] ^= uint8_t(s >> 24);
  }
  for (; i < length; ++i) {
    s = s * 1664525u + 1013904223u;
    chunk[i] ^= uint8_t(s);
  }
}

}  // namespace norva
