// The record store's file layout, byte for byte. Every expected file is assembled here from
// its parts (tags, little-endian integers, zero-terminated keys), never by the store itself.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "store/QDB.h"
#include "store/QDBCrypt.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using Digest = std::array<uint8_t, 20>;
using testing::ReadFile;
using testing::WriteFile;

std::string B(std::initializer_list<int> bytes) {
  return std::string(bytes.begin(), bytes.end());
}
std::string Tag(const char* three) {
  return std::string(three, 3) + '\0';
}
std::string I32(int32_t v) {
  return B({v & 0xFF, v >> 8 & 0xFF, v >> 16 & 0xFF, v >> 24 & 0xFF});
}
// One index record: the key and its zero byte, Pos, Size, Flags.
std::string Rec(const std::string& key, int32_t pos, int32_t size, int32_t flags) {
  return key + '\0' + I32(pos) + I32(size) + I32(flags);
}

Digest Sha1(const std::string& s) {
  Digest d{};
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d.data(), &n, EVP_sha1(), nullptr);
  return d;
}

// Scrambles a section: the generator starts from the seed at offset 0 and again every 524288 bytes.
std::string Scrambled(std::string s, const Digest& key) {
  uint32_t seed = 0;
  for (int w = 0; w < 5; ++w)
    for (int b = 0; b < 4; ++b) seed ^= uint32_t(key[size_t(4 * w + b)]) << (8 * b);
  for (size_t start = 0; start < s.size(); start += 524288) {
    const size_t end = std::min(s.size(), start + 524288);
    uint32_t x = seed;
    size_t i = start;
    for (; i + 4 <= end; i += 4) {
      x = x * 1664525u + 1013904223u;
      for (int b = 0; b < 4; ++b) s[i + size_t(b)] ^= char(x >> (8 * b));
    }
    for (; i < end; ++i) {
      x = x * 1664525u + 1013904223u;
      s[i] ^= char(x & 0xFF);
    }
  }
  return s;
}

std::string Container(std::string data, std::string index, const std::string& password = "") {
  std::string out = Tag("QDB");
  if (!password.empty()) {
    const Digest key = Sha1(password);
    const Digest check = Sha1(std::string(key.begin(), key.end()));
    out += Tag("QPW") + std::string(check.begin(), check.end());
    data = Scrambled(data, key);
    index = Scrambled(index, key);
  }
  return out + I32(int32_t(data.size())) + data + Tag("QIX") + I32(int32_t(index.size())) + index;
}

class QdbFormat : public ::testing::Test {
 protected:
  void Add(const std::string& key, const std::string& bytes) {
    TMemoryStream s;
    s.Assign(bytes);
    db.AddItem(s, key);
  }
  std::string Item() {
    TMemoryStream s;
    db.GetItem(s);
    return s.Bytes();
  }

  testing::TempDir dir;
  std::string path = dir.File("store.QDB");
  TQDB db;
};

TEST_F(QdbFormat, NewStoreIsTheEmptyContainer) {
  db.SetFileName(dir.File("fresh"));
  const std::string created = Tag("QDB") + I32(0) + Tag("QIX") + I32(5) + I32(0) + '\0';
  EXPECT_EQ(ReadFile(dir.File("fresh.QDB")), created);
  EXPECT_EQ(db.Count(), 0);
  // Closing an unchanged store leaves its bytes alone.
  db.SetFileName("");
  EXPECT_EQ(ReadFile(dir.File("fresh.QDB")), created);
  // Rebuilt after a change, the index section holds just the count.
  db.SetFileName(dir.File("fresh"));
  TMemoryStream item;
  db.AddItem(item, "x");
  db.WarnNoData = [](TQDB&) {};
  db.KillItem();  // empties the store again
  db.SetFileName("");
  EXPECT_EQ(ReadFile(dir.File("fresh.QDB")), Container("", I32(0)));
}

TEST_F(QdbFormat, ItemsAreWrittenInDescendingKeyOrder) {
  db.SetFileName(path);
  Add("b", "BB");
  Add("a", "A1");
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), Container("BBA1", I32(2) + Rec("b", 0, 2, 0) + Rec("a", 2, 2, 0)));

  db.SetFileName(path);
  EXPECT_EQ(db.ItemIndex(), 0);
  EXPECT_EQ(db.Key(), "a");
  EXPECT_EQ(Item(), "A1");
}

TEST_F(QdbFormat, AdminEntriesPrecedeItemsAndKeepTheirSizes) {
  db.SetFileName(path);
  db.SetAdminBoolean("flag", true);
  db.SetAdminInteger("count", -2);
  db.SetAdminString("name", "Ann");
  db.SetAdminString("long", std::string(300, 'x'));  // keeps 255 characters, occupies 301 bytes
  Add("m", "hello");
  db.SetFileName("");

  const std::string data = B({1}) + I32(-2) + std::string("Ann\0", 4) + std::string(255, 'x') +
                           std::string(46, '\0') + "hello";
  const std::string index = I32(5) + Rec("name", 5, 4, 1) + Rec("long", 9, 301, 1) +
                            Rec("flag", 0, 1, 1) + Rec("count", 1, 4, 1) + Rec("m", 310, 5, 0);
  EXPECT_EQ(ReadFile(path), Container(data, index));

  db.SetFileName(path);
  EXPECT_TRUE(db.AdminAsBoolean("flag"));
  EXPECT_EQ(db.AdminAsInteger("count"), -2);
  EXPECT_EQ(db.AdminAsString("name"), "Ann");
  EXPECT_EQ(db.AdminAsString("long"), std::string(255, 'x'));
}

TEST_F(QdbFormat, CompressedItemsAreLengthPrefixedBlocks) {
  db.SetFileName(path);
  db.SetCompression(true);
  Add("r", std::string(20, 'A') + "xyzxyz");
  Add("s", "abcdefgh");
  Add("t", std::string(32769, 'A'));
  db.SetFileName("");

  // r: a run of 20 'A', three literals, a copy of 3 from 3 back (control bits 10001).
  const std::string r = B({12, 0, 0x40, 0x88, 0x00, 0, 0, 4, 'A', 'x', 'y', 'z', 0x00, 0x30});
  // s: nothing repeats, so the block is stored.
  const std::string s = B({9, 0, 0x80}) + "abcdefgh";
  // t: eight runs of 4095, a literal and a copy of 7 from 1 back; then a stored 1-byte block.
  std::string t = B({38, 0, 0x40, 0xFF, 0x40});
  for (int i = 0; i < 8; ++i) t += B({0x00, 0x0F, 0xEF, 'A'});
  t += B({'A', 0x00, 0x14, 2, 0, 0x80, 'A'});
  const std::string index = I32(3) + Rec("t", 25, 44, 2) + Rec("s", 14, 11, 2) + Rec("r", 0, 14, 2);
  EXPECT_EQ(ReadFile(path), Container(r + s + t, index));

  db.SetFileName(path);
  EXPECT_EQ(Item(), std::string(20, 'A') + "xyzxyz");
  db.LastItem();
  EXPECT_EQ(Item(), std::string(32769, 'A'));
}

TEST(QdbScramble, SeedIsTheXorOfTheKeysLittleEndianWords) {
  TQDBKey key{};
  key[0] = 0x03, key[3] = 0x10;    // word 0 = 0x10000003
  key[16] = 0x02, key[19] = 0x10;  // word 4 = 0x10000002, so the seed is 1
  uint8_t chunk[5] = {};
  ScrambleChunk(chunk, 5, key);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(chunk), 5), B({0x6C, 0x59, 0x88, 0x3C, 0xDB}));
}

TEST_F(QdbFormat, PasswordScramblesBothSections) {
  db.SetPassword("secret");
  db.SetFileName(path);
  Add("k", "payload!!");  // two whole words and one byte
  db.SetAdminInteger("n", 7);
  db.SetFileName("");
  const std::string file = ReadFile(path);
  EXPECT_EQ(file, Container("payload!!" + I32(7), I32(2) + Rec("n", 9, 4, 1) + Rec("k", 0, 9, 0),
                            "secret"));

  db.SetPassword("wrong");
  EXPECT_THROW(db.SetFileName(path), EQDBInvalidPW);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(ReadFile(path), file);
  db.SetPassword("secret");
  db.SetFileName(path);
  EXPECT_EQ(Item(), "payload!!");
  EXPECT_EQ(db.AdminAsInteger("n"), 7);
}

TEST_F(QdbFormat, LongSectionRestartsTheSequenceAt524288) {
  std::string big(600001, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 131 + (i >> 9));
  db.SetPassword("pw");
  db.SetFileName(path);
  Add("big", big);
  db.SetFileName("");
  EXPECT_TRUE(ReadFile(path) == Container(big, I32(1) + Rec("big", 0, 600001, 0), "pw"));

  db.SetPassword("pw");
  db.SetFileName(path);
  EXPECT_TRUE(Item() == big);
}

TEST_F(QdbFormat, ReadsRecordsInAnyOrder) {
  // Items ascending, admin records between them, string padding that is not zero.
  const std::string data = std::string("onetwothree") + std::string("Ann\0junk", 8) + I32(42);
  const std::string index = I32(5) + Rec("a", 0, 3, 0) + Rec("name", 11, 8, 1) + Rec("b", 3, 3, 0) +
                            Rec("c", 6, 5, 0) + Rec("id", 19, 4, 1);
  WriteFile(path, Container(data, index));
  db.SetFileName(path);
  ASSERT_EQ(db.Count(), 3);
  EXPECT_EQ(db.ItemIndex(), 0);
  EXPECT_EQ(db.Key(), "a");
  EXPECT_EQ(Item(), "one");
  EXPECT_EQ(db.KeyAt(1), "b");
  db.LastItem();
  EXPECT_EQ(Item(), "three");
  EXPECT_EQ(db.AdminAsString("name"), "Ann");
  EXPECT_EQ(db.AdminAsInteger("id"), 42);
}

TEST_F(QdbFormat, CaseSensitiveEntryKeepsKeysThatDifferInCase) {
  const std::string index =
      I32(3) + Rec("QDBCaseSensitive", 0, 1, 1) + Rec("a", 1, 5, 0) + Rec("A", 6, 5, 0);
  WriteFile(path, Container(B({1}) + "lowerUPPER", index));
  db.SetFileName(path);
  ASSERT_EQ(db.Count(), 2);
  EXPECT_EQ(db.KeyAt(0), "A");
  EXPECT_EQ(db.KeyAt(1), "a");
  ASSERT_TRUE(db.ExactMatch("a"));
  EXPECT_EQ(Item(), "lower");
  ASSERT_TRUE(db.ExactMatch("A"));
  EXPECT_EQ(Item(), "UPPER");
}

}  // namespace
}  // namespace norva
