// The buffered index stream and its temporary-file variant.
#include "store/QDBStream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "store/FileIO.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace testing;

std::string Key(const std::string& k) {
  return k + '\0';
}

// Slides records across the end of the 1023-byte buffer: the "m" key's zero byte lands on
// 984..1029 and the "t" key's on 1015..1060, so each ends just before, on and just after the
// buffer's last byte, and the int straddles it.
TEST(BFStream, RecordsAcrossTheBufferEdgeRoundTrip) {
  TempDir dir;
  const std::string path = dir.File("index"), filler(200, 'k');
  for (size_t m = 180; m <= 225; ++m) {
    const std::string keys[] = {
        filler, filler, filler, filler, std::string(m, 'm'), std::string(30, 't')};
    std::string expected;
    {
      TBFStream out(path, TFileStream::fmCreate, 1024);
      for (const auto& k : keys) out.WriteKey(k), expected += Key(k);
      out.WriteInt(-2);
      out.WriteKey(std::string(300, 'z'));  // cut to 255
    }
    ASSERT_EQ(ReadFile(path), expected + I32(-2) + Key(std::string(255, 'z'))) << m;
    // -1 sizes the buffer to the file, one byte short of holding it whole.
    for (int64_t size : {1024, -1}) {
      TBFStream in(path, TFileStream::fmOpenRead, size);
      TKey key;
      int32_t n = 0;
      for (const auto& k : keys) ASSERT_TRUE(in.ReadKey(key) && key == k) << m << " " << size;
      ASSERT_TRUE(in.ReadInt(n) && n == -2) << m << " " << size;
      ASSERT_TRUE(in.ReadKey(key) && key == std::string(255, 'z')) << m << " " << size;
      EXPECT_FALSE(in.ReadKey(key));
    }
  }
}

TEST(BFStream, TruncatedRecordIsEndOfData) {
  TempDir dir;
  // A key longer than 255 bytes is cut but consumed whole; the last one has no zero byte.
  WriteFile(dir.File("f"), I32(7) + Key(std::string(300, 'k')) + "cd");
  TBFStream in(dir.File("f"), TFileStream::fmOpenRead, -1);
  TKey key;
  int32_t n = 0;
  ASSERT_TRUE(in.ReadInt(n) && in.ReadKey(key));
  EXPECT_EQ(in.Position(), 305);  // the logical position, not the read-ahead
  EXPECT_FALSE(in.ReadKey(key));
  EXPECT_FALSE(in.ReadInt(n));            // two bytes left
  EXPECT_EQ(key, std::string(255, 'k'));  // failed reads leave the value alone
  EXPECT_EQ(n, 7);
}

// A read right after a write, with no seek between, continues with the file's next record.
TEST(BFStream, ReadAfterWriteContinuesInTheFile) {
  TempDir dir;
  WriteFile(dir.File("f"), Key("aaaa") + Key("bbbb"));
  TBFStream s(dir.File("f"), TFileStream::fmOpenReadWrite, 1024);
  s.WriteKey("cccc");
  TKey key;
  EXPECT_TRUE(s.ReadKey(key));
  EXPECT_EQ(key, "bbbb");
}

// Runs with TMPDIR pointing at a test folder; the parameter makes rename fail, as across file
// systems, so that Commit copies the bytes instead.
class TempBFStream : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) oldTmp_ = old;
    ::setenv("TMPDIR", tmp_.Path().c_str(), 1);
    if (GetParam())
      fileio::SetFaultHook(
          [](fileio::Op op, const std::string&) { return op == fileio::Op::Rename ? EXDEV : 0; });
    WriteFile(target_, "old contents, longer than the new ones");
  }
  void TearDown() override {
    fileio::SetFaultHook(nullptr);
    oldTmp_.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", oldTmp_.c_str(), 1);
  }
  bool TmpEmpty() const { return std::filesystem::is_empty(tmp_.Path()); }

  TempDir tmp_, dir_;
  std::string oldTmp_, target_ = dir_.File("store.idx");
};

TEST_P(TempBFStream, CommitReplacesTheTargetAndAbandoningLeavesIt) {
  {
    TTempBFStream s(target_);
    s.WriteKey("lost");
    EXPECT_FALSE(TmpEmpty());
  }
  EXPECT_EQ(ReadFile(target_), "old contents, longer than the new ones");
  EXPECT_TRUE(TmpEmpty());
  {
    TTempBFStream s(target_);
    s.WriteInt(1);
    s.WriteKey("k");
    s.Commit();
  }
  EXPECT_EQ(ReadFile(target_), I32(1) + Key("k"));
  EXPECT_TRUE(TmpEmpty());
}

INSTANTIATE_TEST_SUITE_P(Rename, TempBFStream, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "CopyFallback" : "Renamed"; });

}  // namespace
}  // namespace norva
