// SHA-1 through OpenSSL and the password scrambling sequence.
#include "store/QDBCrypt.h"

#include <openssl/evp.h>

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

void ScrambleChunk(uint8_t* chunk, size_t length, const TQDBKey& key) {
  uint32_t s = 0;
  for (size_t w = 0; w < 5; ++w)
    s ^= uint32_t(key[4 * w]) | uint32_t(key[4 * w + 1]) << 8 | uint32_t(key[4 * w + 2]) << 16 |
         uint32_t(key[4 * w + 3]) << 24;
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
