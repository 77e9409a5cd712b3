// The record store's item compression: blocks of up to 32768 bytes, each behind a 16-bit length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "store/Streams.h"

namespace norva {

constexpr size_t kCompressBlockSize = 32768;

// One block of at most kCompressBlockSize bytes: 0x40 and control-word groups of literals,
// copies and runs, or 0x80 and the raw bytes when that would be shorter.
std::string CompressBlock(const uint8_t* input, size_t length);

// Appends the block's bytes to output; false when the block is malformed or overruns.
bool ExpandBlock(const uint8_t* block, size_t length, std::string& output);

// Reads the source from its position to its end and writes length-prefixed compressed blocks.
// Returns the number of bytes written.
int64_t CompressStream(TStream& source, TStream& target);

// How far a compressed item may expand. The format declares no expanded size, so the bound is
// a ratio to the stored size with a floor for small items, under an absolute cap. Text mail
// compresses by well under 10 (its line breaks end every run), and this program writes no
// compressed items itself; a block can reach about 700, which only a crafted item needs.
constexpr size_t kMaxExpansionRatio = 100;
constexpr size_t kExpansionFloor = size_t(1) << 20;     // 1 MiB
constexpr size_t kMaxExpandedItem = size_t(256) << 20;  // 256 MiB
size_t ExpansionLimit(size_t compressedSize);

enum class TExpansion { Ok, Malformed, TooLarge };

// The number of bytes a compressed item expands to, counted without expanding it; stops at the
// first block that takes the total past limit.
TExpansion ExpandedSize(const uint8_t* data, size_t size, size_t limit, size_t& total);

// Expands a whole compressed item (its length words and blocks), refusing one that is malformed
// or would expand past ExpansionLimit(size); output grows only after both were checked.
TExpansion ExpandItem(const uint8_t* data, size_t size, std::string& output);

}  // namespace norva
