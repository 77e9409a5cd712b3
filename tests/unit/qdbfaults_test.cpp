// TQDB under failure: a close that fails at any write or rename keeps the old file whole, and
// truncated or damaged files are refused cleanly without touching them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>

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
  std::string MakeStore(const std::string& password = "") {
    std::filesystem::remove(path);
    TQDB w;
    w.SetPassword(password);
    w.SetFileName(path);
    w.SetAdminBoolean("Flag", true);
    w.SetAdminInteger("Count", 42);
    w.SetAdminString("Name", "Norva");
    Add(w, "000000000000001", "From: someone\r\nSubject: hello\r\n\r\nbody\r\n");
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

TEST_F(QdbFaultTest, FailureAtAnyStepOfCloseKeepsTheOldFileWhole) {
  const std::string old = MakeStore("pw");

  int ops = 0;  // how many writes, syncs, opens and renames a close makes
  db.SetPassword("pw");
  Change();
  fileio::SetFaultHook([&](fileio::Op op, const std::string&) {
    if (op != fileio::Op::Read && op != fileio::Op::Unlink) ++ops;
    return 0;
  });
  db.SetFileName("");
  fileio::SetFaultHook(nullptr);
  const std::string changed = ReadFile(path);
  ASSERT_GT(ops, 4);

  for (int failAt = 1; failAt <= ops; ++failAt) {
    SCOPED_TRACE("failing operation " + std::to_string(failAt));
    WriteFile(path, old);
    db.SetPassword("pw");
    Change();
    int seen = 0;
    fileio::SetFaultHook([&](fileio::Op op, const std::string&) {
      if (op == fileio::Op::Read || op == fileio::Op::Unlink) return 0;
      return ++seen == failAt ? (failAt % 2 ? ENOSPC : EIO) : 0;
    });
    try {
      db.SetFileName("");
      fileio::SetFaultHook(nullptr);
      // Only a failed rename of the index rewrite may be recovered from (by copying).
      EXPECT_EQ(ReadFile(path), changed);
      continue;
    } catch (const EQDBFileError& e) {
      EXPECT_STREQ(e.what(), failAt % 2 ? "The drive is full" : "Unidentified problem -  5");
    } catch (const EQDBIndexError& e) {  // the index rewrite file could not be created
      EXPECT_STREQ(e.what(), "Could not create a necessary temporary file");
    }
    fileio::SetFaultHook(nullptr);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_TRUE(db.IsOpen());
    EXPECT_EQ(CountFiles(dir.Path()), 1) << "no temporary file left beside the store";
    db.SetFileName("");  // the retry succeeds with nothing lost
    EXPECT_EQ(ReadFile(path), changed);
  }
  EXPECT_EQ(CountFiles(tmp.Path()), 0) << "working files are removed";
}

TEST_F(QdbFaultTest, FailuresWhileOpeningLeaveTheStoreClosed) {
  MakeStore();
  fileio::SetFaultHook([](fileio::Op op, const std::string& p) {
    return op == fileio::Op::Open && p.find("/QIX") != std::string::npos ? EMFILE : 0;
  });
  EXPECT_THROW(db.SetFileName(path), EQDBFileError);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_THROW(db.FindAdmin("Flag"), EQDBNoFile);
  EXPECT_EQ(CountFiles(tmp.Path()), 0);
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
