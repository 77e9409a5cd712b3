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

// Expands a whole compressed item (its length words and blocks); false when malformed.
bool ExpandItem(const uint8_t* data, size_t size, std::string& output);

}  // namespace norva
