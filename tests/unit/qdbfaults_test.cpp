// TQDB under failure: a close that fails at any write or rename keeps the old file whole, and
// truncated or damaged files are refused cleanly without touching them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "store/FileIO.h"
#include "store/QDB.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace testing;

int CountFiles(const std::string& dir) {
  return int(std::distance(std::filesystem::directory_iterator(dir), {}));
}

class QdbFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TMPDIR", tmp.Path().c_str(), 1);
    db.WarnNoData = [](TQDB&) {};
  }
  void TearDown() override {
    fileio::SetFaultHook(nullptr);
    ::unsetenv("TMPDIR");
  }

  // A store with admin entries of each kind, a plain and a compressed item.
  // A large item makes what a change leaves unreferenced small enough not to pack the file.
  std::string MakeStore(const std::string& password = "", size_t large = 0) {
    std::filesystem::remove(path);
    TQDB w;
    w.SetPassword(password);
    w.SetFileName(path);
    w.SetAdminBoolean("Flag", true);
    w.SetAdminInteger("Count", 42);
    w.SetAdminString("Name", "Norva");
    Add(w, "000000000000001", "From: someone\r\nSubject: hello\r\n\r\nbody\r\n" + std::string(large, 'b'));
    w.SetCompression(true);
    Add(w, "000000000000002", std::string(3000, 'z') + "tail of a compressed item");
    w.SetFileName("");
    return ReadFile(path);
  }

  void Change() {
    db.SetFileName(path);
    Add(db, "000000000000003", "a new message");
    db.SetAdminString("Name", "a longer name than before");
  }

  TempDir dir, tmp;
  std::string path = dir.File("Archive.TMA");
  TQDB db;
};

// Every entry of a store, as "key=bytes" lines, admin entries first.
std::string Contents(const std::string& path, const std::string& password) {
  TQDB r;
  r.SetPassword(password);
  r.SetReadOnly(true);
  r.SetFileName(path);
  std::string all;
  for (int32_t i = 0; i < r.AdminCount(); ++i) all += r.AdminKeyAt(i) + "=" + r.AdminBytesAt(i) + "\n";
  for (int32_t i = 0; i < r.Count(); ++i) {
    r.GoToItem(i);
    all += r.Key() + "=" + Item(r) + "\n";
  }
  r.SetFileName("");
  return all;
}

// A store commits by appending (write, sync, D, sync, zeroing of the replaced value, sync), with
// or without a password. A failure at any step leaves the old file whole and the store open, and
// the retry saves everything; the replaced value is gone from the file in its plain and in its
// scrambled form.
TEST_F(QdbFaultTest, FailureAtAnyStepOfCloseKeepsTheOldFileWhole) {
  for (const std::string password : {"", "pw"}) {
    SCOPED_TRACE("password '" + password + "'");
    const std::string old = MakeStore(password, 20000);
    const size_t start = password.empty() ? 8 : 32;  // the data section
    std::string oldValue;                              // "Norva" as the file holds it
    {
      TQDB r;
      r.SetPassword(password);
      r.SetReadOnly(true);
      r.SetFileName(path);
      ASSERT_TRUE(r.FindAdmin("Name"));
      for (int32_t i = 0; i < r.AdminCount(); ++i)
        if (r.AdminKeyAt(i) == "Name")
          oldValue = old.substr(start + size_t(r.AdminEntry(i).Pos), size_t(r.AdminEntry(i).Size));
    }
    auto valueGone = [&] {
      const std::string now = ReadFile(path);
      return now.find("Norva") == std::string::npos && now.find(oldValue) == std::string::npos;
    };
    std::vector<fileio::Op> ops;  // what a close does besides reading
    db.SetPassword(password);
    Change();
    fileio::SetFaultHook([&](fileio::Op op, const std::string&) {
      if (op != fileio::Op::Read && op != fileio::Op::Unlink) ops.push_back(op);
      return 0;
    });
    db.SetFileName("");
    fileio::SetFaultHook(nullptr);
    const std::string changed = Contents(path, password);
    EXPECT_EQ(ops, (std::vector<fileio::Op>{fileio::Op::Write, fileio::Op::Fsync,
                                            fileio::Op::Write, fileio::Op::Fsync,
                                            fileio::Op::Write, fileio::Op::Fsync}));
    EXPECT_TRUE(valueGone());
    const std::string now = ReadFile(path);
    std::string kept = old.substr(start);
    const size_t at = old.find(oldValue, start) - start;
    kept.replace(at, oldValue.size(), now.substr(start + at, oldValue.size()));
    EXPECT_TRUE(now.substr(start, kept.size()) == kept)
        << "bytes the old index refers to are never moved nor rescrambled";

    for (size_t failAt = 1; failAt <= ops.size(); ++failAt) {
      SCOPED_TRACE("failing operation " + std::to_string(failAt));
      WriteFile(path, old);
      db.SetPassword(password);
      Change();
      size_t seen = 0;
      fileio::SetFaultHook([&](fileio::Op op, const std::string&) {
        if (op == fileio::Op::Read || op == fileio::Op::Unlink) return 0;
        return ++seen == failAt ? (failAt % 2 ? ENOSPC : EIO) : 0;
      });
      try {
        db.SetFileName("");
        fileio::SetFaultHook(nullptr);
        // Saved all the same: a failed zeroing packs the file instead, a failed rename copies.
        EXPECT_EQ(Contents(path, password), changed);
        EXPECT_TRUE(valueGone());
        continue;
      } catch (const EQDBFileError& e) {
        EXPECT_STREQ(e.what(), failAt % 2 ? "The drive is full" : "Unidentified problem -  5");
      }
      fileio::SetFaultHook(nullptr);
      EXPECT_EQ(ReadFile(path), old);
      EXPECT_TRUE(db.IsOpen());
      EXPECT_EQ(CountFiles(dir.Path()), 1) << "no temporary file left beside the store";
      db.SetFileName("");  // the retry succeeds with nothing lost
      EXPECT_EQ(Contents(path, password), changed);
    }
  }
  EXPECT_EQ(CountFiles(tmp.Path()), 0) << "no working files";
}

// A crash between the two steps of a commit leaves the old container and bytes past its index:
// a read-only open ignores them, a writable one cuts them; a failed open leaves the store closed.
TEST_F(QdbFaultTest, TrailingBytesAndFailedOpens) {
  const std::string old = MakeStore();
  const std::string before = Contents(path, "");
  WriteFile(path, old + std::string(5000, 'x'));
  db.SetReadOnly(true);
  db.SetFileName(path);
  EXPECT_EQ(db.Count(), 2);
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path).size(), old.size() + 5000);
  db.SetFileName(path);
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(Contents(path, ""), before);

  for (const fileio::Op failing : {fileio::Op::Open, fileio::Op::Read}) {
    fileio::SetFaultHook([&](fileio::Op op, const std::string& p) {
      return op == failing && p == path ? EMFILE : 0;
    });
    EXPECT_THROW(db.SetFileName(path), EQDBFileError);
    fileio::SetFaultHook(nullptr);
    EXPECT_FALSE(db.IsOpen());
    EXPECT_THROW(db.FindAdmin("Flag"), EQDBNoFile);
  }
  EXPECT_EQ(ReadFile(path), old);
}

TEST_F(QdbFaultTest, TruncatedFilesAreRefusedAndLeftUntouched) {
  for (const std::string password : {"", "pw"}) {
    const std::string whole = MakeStore(password);
    for (size_t len = 0; len < whole.size(); ++len) {
      SCOPED_TRACE("length " + std::to_string(len) + " password '" + password + "'");
      WriteFile(path, whole.substr(0, len));
      db.SetPassword(password);
      EXPECT_THROW(db.SetFileName(path), EQDBFileError);
      EXPECT_FALSE(db.IsOpen());
      EXPECT_EQ(ReadFile(path), whole.substr(0, len));
    }
  }
  EXPECT_EQ(CountFiles(tmp.Path()), 0);
}

TEST_F(QdbFaultTest, RandomDamageNeverCrashes) {
  const std::string whole = MakeStore();
  std::mt19937 rng(7);
  for (int round = 0; round < 1500; ++round) {
    std::string bytes = whole;
    int flips = 1 + int(rng() % 4);
    for (int f = 0; f < flips; ++f) bytes[rng() % bytes.size()] = char(rng());
    WriteFile(path, bytes);
    try {
      db.SetFileName(path);
      for (int32_t i = 0; i < db.AdminCount(); ++i) db.AdminBytesAt(i);
      for (int32_t i = 0; i < db.Count(); ++i) {
        TMemoryStream s;
        db.GoToItem(i);
        db.GetItem(s);
      }
    } catch (const EQDBError&) {
    }
    db.SetReadOnly(true);  // leave the damaged file as it is
    db.SetFileName("");
  }
  EXPECT_EQ(CountFiles(tmp.Path()), 0);
}

}  // namespace
}  // namespace norva
