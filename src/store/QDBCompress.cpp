// Item compression: literals, back-references of 3..18 bytes up to 4095 back, runs of 16..4095.
#include "store/QDBCompress.h"

#include <algorithm>
#include <array>
#include <vector>

namespace norva {
namespace {
constexpr uint16_t kEmpty = 0xFFFF;
constexpr uint8_t kCompressed = 0x40;
constexpr uint8_t kStored = 0x80;

std::string Stored(const uint8_t* input, size_t length) {
  std::string block(1, char(kStored));
  block.append(reinterpret_cast<const char*>(input), length);
  return block;
}
}  // namespace

std::string CompressBlock(const uint8_t* in, size_t n) {
  std::array<uint16_t, 4096> table;
  table.fill(kEmpty);
  std::string out(1, char(kCompressed));
  out.reserve(n + 3);
  size_t controlAt = 0;
  uint16_t control = 0;
  int bits = 0;

  // Reserves the group's control word before its first code and fills it after its 16th.
  auto code = [&](bool isCopyOrRun) {
    if (bits == 16) {
      out[controlAt] = char(control >> 8);
      out[controlAt + 1] = char(control);
      bits = 0;
    }
    if (bits == 0) {
      controlAt = out.size();
      out.append(2, '\0');
      control = 0;
    }
    control = uint16_t(control << 1 | (isCopyOrRun ? 1 : 0));
    ++bits;
  };

  size_t i = 0;
  while (i < n) {
    if (out.size() > n) return Stored(in, n);
    size_t count = 1;
    while (i + count < n && in[i + count] == in[i] && count < 4095) ++count;
    if (count >= 16) {
      code(true);
      size_t c = count - 16;
      out += char(0);
      out += char(c >> 8);
      out += char(c & 0xFF);
      out += char(in[i]);
      i += count;
      continue;
    }
    if (i + 2 < n) {
      uint32_t h = ((((uint32_t(in[i]) << 4) ^ in[i + 1]) << 4 ^ in[i + 2]) * 40543u >> 4) & 0xFFF;
      uint16_t candidate = table[h];
      table[h] = uint16_t(i);
      if (candidate != kEmpty && i - candidate < 4096) {
        size_t limit = std::min<size_t>(18, n - i);
        size_t len = 0;
        while (len < limit && in[candidate + len] == in[i + len]) ++len;
        if (len >= 3) {
          code(true);
          uint16_t word = uint16_t((i - candidate) << 4 | (len - 3));
          out += char(word >> 8);
          out += char(word & 0xFF);
          i += len;
          continue;
        }
      }
    }
    code(false);
    out += char(in[i]);
    ++i;
  }
  if (bits > 0) {
    control = uint16_t(control << (16 - bits));
    out[controlAt] = char(control >> 8);
    out[controlAt + 1] = char(control);
  }
  if (out.size() > n) return Stored(in, n);
  return out;
}

namespace {

// Walks one block, appending to out when given; otherwise it only counts what the block would
// produce, so that an item's expanded size is known before any of it is held in memory.
bool DecodeBlock(const uint8_t* in, size_t n, std::string* out, size_t& produced) {
  if (n == 0) return false;
  if (in[0] == kStored) {
    if (n - 1 > kCompressBlockSize) return false;
    if (out) out->append(reinterpret_cast<const char*>(in + 1), n - 1);
    produced = n - 1;
    return true;
  }
  if (in[0] != kCompressed) return false;
  const size_t start = out ? out->size() : 0;
  produced = 0;
  size_t p = 1;
  while (p < n) {
    if (p + 2 > n) return false;
    uint16_t control = uint16_t(in[p] << 8 | in[p + 1]);
    p += 2;
    for (int bit = 0; bit < 16 && p < n; ++bit, control = uint16_t(control << 1)) {
      if (!(control & 0x8000)) {
        if (produced + 1 > kCompressBlockSize) return false;
        if (out) *out += char(in[p]);
        ++p;
        ++produced;
        continue;
      }
      if (p + 2 > n) return false;
      uint16_t word = uint16_t(in[p] << 8 | in[p + 1]);
      size_t offset = word >> 4;
      if (offset == 0) {  // a run
        if (p + 4 > n) return false;
        size_t count = (size_t(in[p + 1] & 0x0F) << 8 | in[p + 2]) + 16;
        if (produced + count > kCompressBlockSize) return false;
        if (out) out->append(count, char(in[p + 3]));
        produced += count;
        p += 4;
      } else {  // a copy, possibly overlapping what it produces
        size_t len = (word & 0x0F) + 3;
        if (offset > produced || produced + len > kCompressBlockSize) return false;
        if (out) {
          size_t from = start + produced - offset;
          for (size_t k = 0; k < len; ++k) *out += (*out)[from + k];
        }
        produced += len;
        p += 2;
      }
    }
  }
  return true;
}

}  // namespace

bool ExpandBlock(const uint8_t* in, size_t n, std::string& output) {
  size_t produced = 0;
  return DecodeBlock(in, n, &output, produced);
}

int64_t CompressStream(TStream& source, TStream& target) {
  std::vector<uint8_t> buffer(kCompressBlockSize);
  int64_t written = 0;
  for (;;) {
    int64_t n = source.Read(buffer.data(), int64_t(buffer.size()));
    if (n <= 0) break;
    std::string block = CompressBlock(buffer.data(), size_t(n));
    uint8_t length[2] = {uint8_t(block.size()), uint8_t(block.size() >> 8)};
    target.WriteBuffer(length, 2);
    target.WriteString(block);
    written += 2 + int64_t(block.size());
  }
  return written;
}

size_t ExpansionLimit(size_t compressedSize) {
  const size_t byRatio = compressedSize > kMaxExpandedItem / kMaxExpansionRatio
                             ? kMaxExpandedItem
                             : compressedSize * kMaxExpansionRatio;
  return std::min(kMaxExpandedItem, std::max(kExpansionFloor, byRatio));
}

TExpansion ExpandedSize(const uint8_t* data, size_t size, size_t limit, size_t& total) {
  total = 0;
  size_t p = 0;
  while (p < size) {
    if (p + 2 > size) return TExpansion::Malformed;
    size_t length = size_t(data[p]) | size_t(data[p + 1]) << 8;
    p += 2;
    size_t produced = 0;
    if (length > size - p || !DecodeBlock(data + p, length, nullptr, produced))
      return TExpansion::Malformed;
    total += produced;
    if (total > limit) return TExpansion::TooLarge;
    p += length;
  }
  return TExpansion::Ok;
}

TExpansion ExpandItem(const uint8_t* data, size_t size, std::string& output) {
  size_t total = 0;
  if (TExpansion e = ExpandedSize(data, size, ExpansionLimit(size), total); e != TExpansion::Ok)
    return e;
  output.reserve(output.size() + total);
  for (size_t p = 0; p < size;) {
    size_t length = size_t(data[p]) | size_t(data[p + 1]) << 8;
    ExpandBlock(data + p + 2, length, output);  // checked by the sizing pass
    p += 2 + length;
  }
  return TExpansion::Ok;
}

}  // namespace norva
