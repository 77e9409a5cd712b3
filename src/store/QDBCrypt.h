// The record store's password: its SHA-1 key and check value, and the scrambling of sections.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norva {

using TQDBKey = std::array<uint8_t, 20>;

TQDBKey Sha1(const void* data, size_t length);
// K = SHA-1 of the password's characters (at most 255).
TQDBKey PasswordKey(const std::string& password);
// The value stored in the file: SHA-1 of K.
TQDBKey PasswordCheckValue(const TQDBKey& key);

// The SHA-256 digest of bytes as lower-case hexadecimal (attachment fingerprints in listings).
std::string Sha256Hex(std::string_view bytes);

// Scrambles (and, applied again, unscrambles) one chunk of a section. The sequence restarts
// from the key's seed at every chunk, so callers pass each chunk separately.
void ScrambleChunk(uint8_t* chunk, size_t length, const TQDBKey& key);

// Scrambles (and unscrambles) bytes that lie at a position of a section of the given length,
// as scrambling the whole section chunk by chunk would. Every chunk starts at a multiple of
// kScrambleChunk, so a byte's mask depends on its position only, except in the last
// sectionLength % 4 bytes (the tail of the last chunk), whose mask depends on the length too.
constexpr uint64_t kScrambleChunk = 524288;
void ScrambleAt(uint8_t* bytes, size_t length, uint64_t position, uint64_t sectionLength,
                const TQDBKey& key);

}  // namespace norva
