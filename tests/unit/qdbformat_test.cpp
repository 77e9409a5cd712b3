// The record store's file layout, byte for byte, and damaged files. Every expected file is
// assembled here from its parts, never by the store itself.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "store/FileIO.h"
#include "store/QDB.h"
#include "store/QDBCrypt.h"
#include "support/Helpers.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace testing;
using Digest = std::array<uint8_t, 20>;

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

// A password-protected file: the check value after the first tag, both sections scrambled.
std::string Protected(const std::string& data, const std::string& index, const std::string& pw) {
  const Digest key = Sha1(pw), check = Sha1(std::string(key.begin(), key.end()));
  return Container(Scrambled(data, key), Scrambled(index, key))
      .insert(4, Tag("QPW") + std::string(check.begin(), check.end()));
}

unsigned Mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class QdbFormat : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.File("store.QDB");
  TQDB db;
};

TEST_F(QdbFormat, NewStoreIsTheEmptyContainerForItsOwnerOnly) {
  db.SetFileName(dir.File("fresh"));  // the extension is added
  const std::string fresh = dir.File("fresh.QDB");
  EXPECT_EQ(ReadFile(fresh), Tag("QDB") + I32(0) + Tag("QIX") + I32(5) + I32(0) + '\0');
  EXPECT_EQ(Mode(fresh), 0600u);
  // Rebuilt after a change, the index section holds just the count, and the mode stays.
  Add(db, "x", "");
  db.WarnNoData = [](TQDB&) {};
  db.KillItem();  // empties the store again
  db.SetFileName("");
  EXPECT_EQ(ReadFile(fresh), Container("", I32(0)));
  EXPECT_EQ(Mode(fresh), 0600u);
}

// What the store writes, byte for byte, and that it reads it back.
TEST_F(QdbFormat, WrittenFilesMatchTheirHandAssembledBytes) {
  // Compressed: eight runs of 4095, a literal and a copy of 7 from 1 back; then a stored 1-byte
  // block. The blocks themselves are pinned in the compression tests.
  std::string packed = B({38, 0, 0x40, 0xFF, 0x40});
  for (int i = 0; i < 8; ++i) packed += B({0x00, 0x0F, 0xEF, 'A'});
  packed += B({'A', 0x00, 0x14, 2, 0, 0x80, 'A'});
  std::string big(600001, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 131 + (i >> 9));
  struct Case {
    const char* what;
    std::string password;
    std::function<void(TQDB&)> fill, reread;
    std::string bytes;
  } cases[] = {
      {"items in descending key order", "", [](TQDB& s) { Add(s, "b", "BB"), Add(s, "a", "A1"); },
       [](TQDB& s) { EXPECT_EQ(s.Count(), 2); },
       Container("BBA1", I32(2) + Rec("b", 0, 2, 0) + Rec("a", 2, 2, 0))},
      {"admin entries precede items and keep their sizes", "",
       [](TQDB& s) {
         s.SetAdminBoolean("flag", true);
         s.SetAdminInteger("count", -2);
         s.SetAdminString("name", "Ann");
         s.SetAdminString("long", std::string(300, 'x'));  // keeps 255, occupies 301 bytes
         Add(s, "m", "hello");
       },
       [](TQDB& s) { EXPECT_EQ(s.AdminAsString("long"), std::string(255, 'x')); },
       Container(B({1}) + I32(-2) + std::string("Ann\0", 4) + std::string(255, 'x') +
                     std::string(46, '\0') + "hello",
                 I32(5) + Rec("name", 5, 4, 1) + Rec("long", 9, 301, 1) + Rec("flag", 0, 1, 1) +
                     Rec("count", 1, 4, 1) + Rec("m", 310, 5, 0))},
      {"compressed items are length-prefixed blocks", "",
       [](TQDB& s) { s.SetCompression(true), Add(s, "t", std::string(32769, 'A')); },
       [](TQDB& s) { EXPECT_EQ(Item(s), std::string(32769, 'A')); },
       Container(packed, I32(1) + Rec("t", 0, 44, 2))},
      {"an item that packs past the readers' bound is stored as it is", "",
       [](TQDB& s) { s.SetCompression(true), Add(s, "t", std::string(4 << 20, 'A')); },
       [](TQDB& s) { EXPECT_EQ(Item(s), std::string(4 << 20, 'A')); },
       Container(std::string(4 << 20, 'A'), I32(1) + Rec("t", 0, 4 << 20, 0))},
      {"a password scrambles both sections", "secret",
       [](TQDB& s) { Add(s, "k", "payload!!"), s.SetAdminInteger("n", 7); },  // 2 words, 1 byte
       [](TQDB& s) {
         EXPECT_EQ(Item(s), "payload!!");
         EXPECT_EQ(s.AdminAsInteger("n"), 7);
       },
       // The data section is padded to whole words.
       Protected("payload!!" + I32(7) + std::string(3, '\0'),
                 I32(2) + Rec("n", 9, 4, 1) + Rec("k", 0, 9, 0), "secret")},
      {"a long section restarts the sequence at 524288", "pw", [&](TQDB& s) { Add(s, "big", big); },
       [&](TQDB& s) { EXPECT_TRUE(Item(s) == big); },
       Protected(big + std::string(3, '\0'), I32(1) + Rec("big", 0, 600001, 0), "pw")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(path);
    TQDB store;
    store.SetPassword(c.password);
    store.SetFileName(path);
    c.fill(store);
    store.SetFileName("");
    EXPECT_TRUE(ReadFile(path) == c.bytes);  // not EXPECT_EQ: a failure would print 600 KB
    if (!c.password.empty()) {  // closing forgets it; a wrong one is refused, the file untouched
      store.SetPassword("wrong");
      EXPECT_THROW(store.SetFileName(path), EQDBInvalidPW);
      EXPECT_FALSE(store.IsOpen());
      EXPECT_TRUE(ReadFile(path) == c.bytes);
      store.OnDemandPassword = [&](TQDB&, TPassword& pw) { pw = c.password; };
    }
    store.SetFileName(path);
    c.reread(store);
  }
}

// Records in any order (items ascending, admin records between them), string padding that is
// not zero, and the case-sensitive entry, which keeps keys that differ in case apart.
TEST_F(QdbFormat, ReadsHandWrittenFiles) {
  const std::string data = B({1}) + "lowerUPPERthree" + std::string("Ann\0junk", 8) + I32(42);
  const std::string index = I32(6) + Rec("a", 1, 5, 0) + Rec("name", 16, 8, 1) + Rec("A", 6, 5, 0) +
                            Rec("QDBCaseSensitive", 0, 1, 1) + Rec("c", 11, 5, 0) +
                            Rec("id", 24, 4, 1);
  WriteFile(path, Container(data, index));
  db.SetFileName(path);
  ASSERT_EQ(db.Count(), 3);
  EXPECT_EQ(db.ItemIndex(), 0);
  EXPECT_EQ(Item(db), "UPPER");
  EXPECT_EQ(db.KeyAt(1), "a");
  db.LastItem();
  EXPECT_EQ(Item(db), "three");
  ASSERT_TRUE(db.ExactMatch("a"));
  EXPECT_EQ(Item(db), "lower");
  EXPECT_EQ(db.AdminAsString("name"), "Ann");
  EXPECT_EQ(db.AdminAsInteger("id"), 42);
}

// A commit appends the new bytes and a whole new index after the old one: admin records last to
// first, then items last to first, whatever order, duplicates or case the file had, with the
// records it keeps unchanged and the replaced admin value zeroed. A large item keeps what turns
// unreferenced under a quarter of the file, so the store is not packed instead.
TEST_F(QdbFormat, AppendedIndexIsCanonicalWhateverTheFileHad) {
  const std::string big(4000, 'B');
  struct Case {
    const char* what;
    std::string data, index;
    std::function<void(TQDB&)> change;
    std::string appended;
    std::function<std::string(int32_t at)> newIndex;  // at: where the appended bytes start
    size_t zeroFrom, zeroCount;                        // in the old data section
  } cases[] = {
      {"our own order: items added first, last and between", big + "bbdd" + I32(7),
       I32(4) + Rec("n", 4004, 4, 1) + Rec("d", 4002, 2, 0) + Rec("big", 0, 4000, 0) +
           Rec("b", 4000, 2, 0),
       [](TQDB& s) { Add(s, "a", "1"), Add(s, "e", "2"), Add(s, "c", "3"); }, "123",
       [](int32_t at) {
         return I32(7) + Rec("n", 4004, 4, 1) + Rec("e", at + 1, 1, 0) + Rec("d", 4002, 2, 0) +
                Rec("c", at + 2, 1, 0) + Rec("big", 0, 4000, 0) + Rec("b", 4000, 2, 0) +
                Rec("a", at, 1, 0);
       },
       0, 0},
      {"a foreign order, a key twice, a deletion and a longer admin value",
       big + "xxXXyy" + std::string("Ann\0", 4),
       I32(5) + Rec("big", 0, 4000, 0) + Rec("name", 4006, 4, 1) + Rec("x", 4000, 2, 0) +
           Rec("X", 4002, 2, 0) + Rec("y", 4004, 2, 0),
       [](TQDB& s) {
         ASSERT_TRUE(s.ExactMatch("y"));
         s.KillItem();
         s.SetAdminString("name", "Bob!");
       },
       std::string("Bob!\0", 5),
       [](int32_t at) {
         return I32(3) + Rec("name", at, 5, 1) + Rec("X", 4002, 2, 0) + Rec("big", 0, 4000, 0);
       },
       4006, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(path, Container(c.data, c.index));
    db.SetFileName(path);
    c.change(db);
    db.SetFileName("");
    std::string old = c.data;
    old.replace(c.zeroFrom, c.zeroCount, std::string(c.zeroCount, '\0'));
    const int32_t at = int32_t(c.data.size() + 8 + c.index.size());
    EXPECT_EQ(ReadFile(path),
              Container(old + Tag("QIX") + I32(int32_t(c.index.size())) + c.index + c.appended,
                        c.newIndex(at)));
  }
}

// Any piece of a section, unscrambled where it lies, matches the section scrambled whole: across
// the chunk boundaries at 524288 and in the tail of the last chunk.
TEST_F(QdbFormat, PiecesUnscrambleWhereTheyLie) {
  const Digest key = Sha1("pw");
  std::mt19937 rng(19);
  for (const size_t length : {3, 1030, 524288, 524291, 1048579}) {
    std::string plain(length, '\0');
    for (char& c : plain) c = char(rng());
    const std::string scrambled = Scrambled(plain, key);
    for (int round = 0; round < 40; ++round) {
      size_t from = rng() % length, count = 1 + rng() % std::min<size_t>(length - from, 70000);
      if (round == 0) from = 0, count = length;
      if (round == 1) from = length - 1, count = 1;
      SCOPED_TRACE(std::to_string(length) + ": " + std::to_string(from) + "+" + std::to_string(count));
      std::string piece = scrambled.substr(from, count);
      ScrambleAt(reinterpret_cast<uint8_t*>(piece.data()), count, from, length, key);
      ASSERT_TRUE(piece == plain.substr(from, count));
    }
  }
}

// A protected file from elsewhere may end its data section inside a word, whose mask changes as
// the section grows: a commit appends the entry lying there again and pads the section, and
// leaves every other byte as it was.
TEST_F(QdbFormat, ProtectedFileWithAPartWordIsAppendedTo) {
  const std::string big(4000, 'B');
  const std::string data = big + I32(7) + "tail!";  // 4009 bytes: the last one a part word
  const std::string index =
      I32(3) + Rec("n", 4000, 4, 1) + Rec("t", 4004, 5, 0) + Rec("big", 0, 4000, 0);
  const std::string old = Protected(data, index, "pw");
  WriteFile(path, old);
  db.SetPassword("pw");
  db.SetFileName(path);
  Add(db, "a", "new item");
  db.SetFileName("");
  const std::string now = ReadFile(path);
  int32_t d = 0;
  std::memcpy(&d, now.data() + 28, 4);
  EXPECT_EQ(d % 4, 0);
  EXPECT_GT(d, int32_t(data.size() + 8 + index.size()));
  EXPECT_TRUE(now.substr(0, 28) == old.substr(0, 28));
  EXPECT_TRUE(now.substr(32, 4008) == old.substr(32, 4008)) << "the whole words stay as they are";
  db.SetPassword("pw");
  db.SetFileName(path);
  EXPECT_EQ(db.AdminAsInteger("n"), 7);
  const std::pair<const char*, std::string> items[] = {
      {"a", "new item"}, {"big", big}, {"t", "tail!"}};
  ASSERT_EQ(db.Count(), 3);
  for (const auto& [key, bytes] : items) {
    ASSERT_TRUE(db.ExactMatch(key));
    EXPECT_EQ(Item(db), bytes) << key;
  }
  EXPECT_GE(db.ItemEntry(2).Pos, int32_t(data.size() + 8 + index.size()))
      << "the entry in the part word was appended again";
}

// Damaged files are refused cleanly and left as they are: the message names the file and says
// what is wrong.
TEST_F(QdbFormat, DamagedFilesAreRefused) {
  struct Case {
    std::string bytes, detail;
  };
  const std::vector<Case> cases = {
      {Container("abcd", I32(1) + Rec("k", 0, 5, 0)), ": the entry 'k' lies outside the data"},
      {Container("abcd", I32(1) + Rec("k", -1, 1, 0)), ": the entry 'k' lies outside the data"},
      {Container("abcd", I32(2) + Rec("a", 0, 3, 0) + Rec("b", 2, 2, 0)),  // overlapping items
       ": two index records share the bytes at offset 2"},
      {Container("abcd", I32(2) + Rec("a", 1, 2, 0) + Rec("n", 0, 4, 1)),  // an admin over an item
       ": two index records share the bytes at offset 1"},
      {Container("abcd", I32(0x7FFFFFFF) + Rec("k", 0, 1, 0)), ""},  // count beyond the index
      {Container("abcd", I32(-3) + Rec("k", 0, 1, 0)), ""},          // negative count
      {Container("abcd", I32(1) + "unterminated" + I32(0) + I32(1) + I32(0)), ""},  // key, no zero
      {Tag("QDB") + I32(0x7FFFFFFF), ""},                               // data length past the end
      {Tag("QDX") + I32(0) + Tag("QIX") + I32(5) + I32(0) + '\0', ""},  // bad signature
  };
  for (const Case& c : cases) {
    WriteFile(path, c.bytes);
    auto e = Raised<EQDBFileError>([&] { db.SetFileName(path); });
    const std::string text = e ? e->what() : "";
    EXPECT_EQ(text.substr(0, text.find(':')), "The file " + path + " is not a valid QDB file");
    EXPECT_NE(text.find(c.detail), std::string::npos) << text;
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(ReadFile(path), c.bytes);
  }
  // What is no regular file is refused at once: a FIFO nobody writes would block the open.
  fileio::Unlink(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::promise<void> returned;
  std::thread unblock([&, done = returned.get_future()] {
    if (done.wait_for(std::chrono::seconds(2)) == std::future_status::ready) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);  // a writer ends a blocked open
    if (fd >= 0) ::close(fd);
  });
  const auto start = std::chrono::steady_clock::now();
  auto fifo = Raised<EQDBFileError>([&] { db.SetFileName(path); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  returned.set_value();
  unblock.join();
  EXPECT_NE(std::string(fifo ? fifo->what() : "").find(": it is not a regular file"),
            std::string::npos);
  fileio::Unlink(path);
  // Empty entries own no bytes and may sit anywhere.
  WriteFile(path, Container("abcd", I32(3) + Rec("a", 0, 4, 0) + Rec("b", 2, 0, 0) + Rec("c", 2, 0, 0)));
  db.SetFileName(path);
  EXPECT_EQ(db.Count(), 3);
  db.SetFileName("");
  // A copy 9 bytes back when only one byte has been produced is refused when read.
  const std::string data = B({6, 0, 0x40, 0x40, 0x00, 'a', 0x00, 0x90});
  WriteFile(path, Container(data, I32(1) + Rec("k", 0, int32_t(data.size()), 2)));
  db.SetFileName(path);
  TMemoryStream s;
  EXPECT_THROW(db.GetItem(s), EQDBFileError);
  EXPECT_TRUE(db.IsOpen());
}

}  // namespace
}  // namespace norva
