// Item compression: round trips, exact blocks for small inputs, and malformed input.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "store/QDBCompress.h"
#include "support/StoreHelpers.h"

namespace norva {
namespace {

using testing::B;

const uint8_t* U(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

std::string Compress(const std::string& in) {
  return CompressBlock(U(in), in.size());
}
bool Expand(const std::string& block, std::string& out) {
  return ExpandBlock(U(block), block.size(), out);
}

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(gen());
  return s;
}
std::string Text(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i)
    s += "Message " + std::to_string(i * i % 977) + " checked. ";
  return s.substr(0, n);
}

// A compressed block of runs of 4095 bytes followed by single literals.
std::string Runs(int runs, int literals) {
  std::string block = B({0x40});
  for (int code = 0; code < runs + literals; code += 16) {
    uint16_t control = 0;
    for (int k = code; k < code + 16; ++k) control = uint16_t(control << 1 | (k < runs ? 1 : 0));
    block += B({control >> 8, control & 0xFF});
    for (int k = code; k < code + 16 && k < runs + literals; ++k)
      block += k < runs ? B({0x00, 0x0F, 0xEF, 'r'}) : "l";
  }
  return block;
}

TEST(QdbCompress, BlocksRoundTrip) {
  std::vector<std::string> inputs = {"", "Z", Text(5000), Random(3000, 1), Random(32768, 3)};
  for (size_t n : {15, 16, 4095, 4096, 4111}) inputs.push_back(std::string(n, 'r') + "tail");
  inputs.push_back(Text(700) + std::string(300, '\0') + Random(200, 2) + Text(32768 - 1200));
  for (const std::string& in : inputs) {
    SCOPED_TRACE(in.size());
    const std::string block = Compress(in);
    EXPECT_LE(block.size(), in.size() + 1);
    std::string out = "kept";  // ExpandBlock appends
    ASSERT_TRUE(Expand(block, out));
    EXPECT_TRUE(out == "kept" + in);
  }
  EXPECT_EQ(Compress(Random(3000, 1))[0], '\x80');
  EXPECT_LT(Compress(Text(5000)).size(), 2500u);
}

TEST(QdbCompress, SmallBlocksByHand) {
  struct Case {
    std::string input, block;
  };
  const std::vector<Case> cases = {
      // Three literals, then a copy of 9 from 3 back (overlapping); free control bits low.
      {"abcabcabcabc", B({0x40, 0x10, 0x00, 'a', 'b', 'c', 0x00, 0x36})},
      // A run of 20 (count - 16 = 4), three literals, a copy of 3 from 3 back.
      {std::string(20, 'A') + "xyzxyz",
       B({0x40, 0x88, 0x00, 0x00, 0x00, 0x04, 'A', 'x', 'y', 'z', 0x00, 0x30})},
      // Fifteen literals and a run of 16 fill the first control word; a literal opens a second.
      {"abcdefghijklmno" + std::string(16, 'z') + "q",
       B({0x40, 0x00, 0x01}) + "abcdefghijklmno" + B({0x00, 0x00, 0x00, 'z', 0x00, 0x00, 'q'})},
      // The longest copy (18 from 2 back), then a copy of 4 from 18 back.
      {"abababababababababababab", B({0x40, 0x30, 0x00, 'a', 'b', 0x00, 0x2F, 0x01, 0x21})},
      // A match 4095 back is copied; one 4096 back is not.
      {"abc" + std::string(4092, 'z') + "abc",
       B({0x40, 0x18, 0x00, 'a', 'b', 'c', 0x00, 0x0F, 0xEC, 'z', 0xFF, 0xF0})},
      {"abc" + std::string(4093, 'z') + "abc",
       B({0x40, 0x10, 0x00, 'a', 'b', 'c', 0x00, 0x0F, 0xED, 'z', 'a', 'b', 'c'})},
      // Nothing repeats: stored.
      {"abcdefgh", B({0x80}) + "abcdefgh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 24));
    EXPECT_EQ(Compress(c.input), c.block);
    std::string out;
    ASSERT_TRUE(Expand(c.block, out));
    EXPECT_EQ(out, c.input);
  }
  // Decoding limits: a copy of 18 from 1 back and a run of 4095.
  std::string out;
  ASSERT_TRUE(Expand(B({0x40, 0x60, 0x00, 'a', 0x00, 0x1F, 0x00, 0x0F, 0xEF, 'b'}), out));
  EXPECT_EQ(out, std::string(19, 'a') + std::string(4095, 'b'));
}

TEST(QdbCompress, StreamsSplitIntoLengthPrefixedBlocks) {
  for (size_t n : {size_t(0), size_t(1), size_t(32768), size_t(32769), size_t(100000)}) {
    SCOPED_TRACE(n);
    const std::string in = Random(n / 2, 7) + Text(n - n / 2);
    TMemoryStream source, target;
    source.Assign("skip" + in);
    source.SetPosition(4);
    const int64_t written = CompressStream(source, target);
    EXPECT_EQ(written, target.Size());
    const std::string& packed = target.Bytes();
    size_t blocks = 0;
    for (size_t p = 0; p + 2 <= packed.size(); ++blocks)
      p += 2 + (uint8_t(packed[p]) | size_t(uint8_t(packed[p + 1])) << 8);
    EXPECT_EQ(blocks, (n + 32767) / 32768);
    std::string out;
    ASSERT_EQ(ExpandItem(U(packed), packed.size(), out), TExpansion::Ok);
    EXPECT_TRUE(out == in);
  }
  // A full incompressible block is stored: length 32769, then 0x80.
  TMemoryStream source, target;
  source.Assign(Random(32768, 9));
  CompressStream(source, target);
  EXPECT_EQ(target.Bytes().substr(0, 3), B({0x01, 0x80, 0x80}));
}

TEST(QdbCompress, MalformedBlocksAreRejected) {
  const std::vector<std::string> bad = {
      "",
      B({0x00, 'a'}),                           // unknown flag byte
      B({0x40, 0x80}),                          // truncated control word
      B({0x40, 0x80, 0x00, 0x00, 0x10}),        // copy from before the block
      B({0x40, 0x40, 0x00, 'a', 0x00, 0x20}),   // copy 2 back after 1 byte
      B({0x40, 0x80, 0x00, 0x00}),              // truncated copy word
      B({0x40, 0x80, 0x00, 0x00, 0x00, 0x05}),  // truncated run
      Runs(9, 0),                               // 36855 bytes
      Runs(8, 9),                               // 32769 bytes
      B({0x80}) + std::string(32769, 's'),      // stored block too long
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    std::string out;
    EXPECT_FALSE(Expand(bad[i], out));
  }
  std::string out;
  EXPECT_TRUE(Expand(Runs(8, 8), out));  // exactly 32768 bytes
  EXPECT_EQ(out.size(), 32768u);
}

// A whole item of full blocks of runs: about 46 stored bytes per 32768 expanded ones.
std::string Bomb(size_t blocks) {
  const std::string block = Runs(8, 8);
  std::string item;
  for (size_t i = 0; i < blocks; ++i) item += B({int(block.size() & 0xFF), int(block.size() >> 8)}) + block;
  return item;
}

TEST(QdbCompress, ItemsAreCheckedWholeBeforeTheyExpand) {
  const size_t bombBlocks = (size_t(1) << 20) / (Runs(8, 8).size() + 2);  // a 1 MB item
  struct Case {
    std::string item;
    TExpansion result;
  };
  const std::vector<Case> cases = {
      {B({0x05, 0x00, 0x80, 'a'}), TExpansion::Malformed},                         // past the end
      {B({0x02, 0x00, 0x80, 'a', 0x07}), TExpansion::Malformed},                   // half a word
      {B({0x02, 0x00, 0x80, 'a', 0x02, 0x00, 0x41, 'b'}), TExpansion::Malformed},  // bad 2nd block
      {Bomb(32), TExpansion::Ok},               // 1 MiB from 1.5 KB: within the floor
      {Bomb(33), TExpansion::TooLarge},         // past the floor and 100 times its size
      {Bomb(bombBlocks), TExpansion::TooLarge},  // 1 MB that would be 740 MB
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    std::string out;
    EXPECT_EQ(ExpandItem(U(cases[i].item), cases[i].item.size(), out), cases[i].result);
    if (cases[i].result != TExpansion::Ok) {
      EXPECT_LT(out.capacity(), 4096u);
    }
  }
  // Ordinary text expands well within its bound.
  TMemoryStream source, packed;
  source.Assign(Text(3 << 20));
  CompressStream(source, packed);
  std::string out;
  EXPECT_EQ(ExpandItem(U(packed.Bytes()), packed.Bytes().size(), out), TExpansion::Ok);
  EXPECT_EQ(out.size(), size_t(3) << 20);
  EXPECT_EQ(ExpansionLimit(size_t(1) << 30), kMaxExpandedItem);
}

}  // namespace
}  // namespace norva
