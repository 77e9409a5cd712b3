// Behaviour of TQDB: items, navigation, admin values, packing, read-only files, the cache,
// events and overwrite protection. The file layout itself is pinned in qdbformat_test.
#include "store/QDB.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <vector>

#include "store/FileIO.h"

#include "support/Helpers.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using namespace testing;

void Backdate(const std::string& path) {
  struct utimbuf t {
    1000000000, 1000000000
  };
  ::utime(path.c_str(), &t);
}

class QdbTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.File("store.QDB");
  TQDB db;
};

TEST_F(QdbTest, ItemsInKeyOrderAndNavigationAtBothEnds) {
  db.SetFileName(path);
  Add(db, "k2", "second");
  Add(db, "k1", "first");
  Add(db, "k3", std::string("bin\0ary", 7));
  EXPECT_EQ(db.ItemIndex(), 2);
  db.SetFileName("");
  db.SetFileName(path);
  ASSERT_EQ(db.Count(), 3);
  EXPECT_EQ(db.ItemIndex(), 0);
  EXPECT_EQ(Item(db), "first");
  ASSERT_TRUE(db.ExactMatch("K3"));  // keys ignore case by default
  EXPECT_EQ(Item(db), std::string("bin\0ary", 7));
  EXPECT_THROW(Add(db, "K2", "dup"), EQDBListError);
  db.FirstItem();
  EXPECT_TRUE(db.Bof());
  db.NextItem();
  db.NextItem();
  EXPECT_FALSE(db.Eof());
  db.NextItem();
  EXPECT_TRUE(db.Eof());
  EXPECT_EQ(db.ItemIndex(), 2);
  db.PrevItem();
  EXPECT_EQ(db.Key(), "k2");
  EXPECT_THROW(db.GoToItem(3), EQDBOutOfBounds);
  int warned = 0;
  db.WarnOutOfBounds = [&](TQDB&) { ++warned; };
  db.GoToItem(-1);
  EXPECT_EQ(warned, 1);
  EXPECT_EQ(db.ItemIndex(), 1);
  db.SetFilter("<k3");
  db.FirstItem();
  EXPECT_EQ(db.Key(), "k3");
  db.NextItem();
  EXPECT_TRUE(db.Eof());
}

TEST_F(QdbTest, KillItemMovesToThePreviousItemAndEmptyStoreReportsNoData) {
  db.SetFileName(path);
  for (auto k : {"a", "b", "c"}) Add(db, k, k);
  db.GoToItem(0);
  db.KillItem();
  EXPECT_EQ(db.Key(), "b");
  db.GoToItem(1);
  db.KillItem();
  EXPECT_EQ(db.Key(), "b");
  auto e = Raised<EQDBNoData>([&] { db.KillItem(); });  // the only item
  EXPECT_EQ(e ? e->what() : "", "File " + path + " is empty");
  EXPECT_EQ(db.Count(), 0);
  EXPECT_THROW(db.FirstItem(), EQDBNoData);
  TMemoryStream s;
  EXPECT_THROW(db.GetItem(s), EQDBNoData);
  int warned = 0;
  db.WarnNoData = [&](TQDB&) { ++warned; };
  db.FirstItem();
  EXPECT_TRUE(db.Eof());  // a read loop up to Eof() ends on an empty store
  db.GetItem(s);
  EXPECT_EQ(warned, 2);
}

TEST_F(QdbTest, ClosingAnUnchangedStoreLeavesTheFileAlone) {
  db.SetFileName(path);
  Add(db, "x", "1");
  db.SetFileName("");
  Backdate(path);
  db.SetFileName(path);
  EXPECT_EQ(Item(db), "1");
  db.SetFileName("");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  db.SetFileName(path);
  db.SetPassword("now protected");  // a new password alone is a change
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path).substr(4, 4), Tag("QPW"));
  db.SetPassword("now protected");  // closing forgets it
  db.SetFileName(path);
  EXPECT_EQ(Item(db), "1");
}

TEST_F(QdbTest, AdminValuesAreTypedBySize) {
  db.SetFileName(path);
  db.SetAdminBoolean("Flag", true);
  db.SetAdminInteger("Number", -7);
  db.SetAdminString("Text", "hello");
  EXPECT_TRUE(db.AdminAsBoolean("flag"));
  EXPECT_EQ(db.AdminAsInteger("Flag"), 0);  // a boolean is 1 byte, not 4
  EXPECT_FALSE(db.AdminAsBoolean("Number"));
  auto e = Raised<EQDBBadKey>([&] { db.AdminAsString("Missing"); });
  EXPECT_STREQ(e ? e->what() : "", "The key 'Missing' does not exist");
  db.SetFileName("");
  db.SetFileName(path);
  EXPECT_EQ(db.AdminAsInteger("NUMBER"), -7);
  EXPECT_EQ(db.AdminAsString("Text"), "hello");
}

TEST_F(QdbTest, ChangeAdminMovesALongerValueAndPackRemovesTheGap) {
  db.SetFileName(path);
  db.SetAdminString("A", "short");
  Add(db, "item", std::string(1000, 'i'));
  ASSERT_TRUE(db.FindAdmin("A"));
  const int32_t before = db.AdminEntry(0).Pos;
  db.SetAdminString("A", "tiny");
  EXPECT_EQ(db.AdminEntry(0).Pos, before);  // shorter: in place
  EXPECT_EQ(db.AdminEntry(0).Size, 5);
  db.SetAdminString("A", "a much longer value");
  EXPECT_GT(db.AdminEntry(0).Pos, db.ItemEntry(0).Pos);  // longer: moved to the end
  db.SetFileName("");
  db.SetFileName(path);
  db.Pack();
  db.SetFileName("");
  // Packed: the data section holds the live bytes only, "a much longer value" and the item.
  EXPECT_EQ(ReadFile(path).substr(4, 4), std::string("\xfc\x03\x00\x00", 4));
  db.SetFileName(path);
  EXPECT_EQ(db.AdminAsString("A"), "a much longer value");
  EXPECT_EQ(Item(db), std::string(1000, 'i'));
}

// A read-only file refuses writes; with SaveOnClose off, changes are dropped. Neither is
// ever rewritten.
TEST_F(QdbTest, ReadOnlyAndUnsavedStoresLeaveTheFileAsItWas) {
  db.SetFileName(path);
  Add(db, "x", "1");
  db.SetFileName("");
  const std::string bytes = ReadFile(path);
  db.SetSaveOnClose(false);
  db.SetFileName(path);
  Add(db, "y", "2");
  db.SetAdminString("x", "long enough to move");
  db.Pack();
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), bytes);

  ::chmod(path.c_str(), 0444);
  db.SetSaveOnClose(true);
  db.SetFileName(path);
  EXPECT_TRUE(db.ReadOnly());
  auto e = Raised<EQDBReadOnly>([&] { Add(db, "y", "2"); });
  EXPECT_EQ(e ? e->what() : "", path + " is marked as read-only");
  int warned = 0;
  db.WarnReadOnly = [&](TQDB&) { ++warned; };
  db.KillItem();
  db.SetAdminInteger("n", 1);
  EXPECT_EQ(warned, 2);
  EXPECT_EQ(db.Count(), 1);
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), bytes);
}

TEST_F(QdbTest, CacheServesSmallItemsOnly) {
  db.SetFileName(path);
  Add(db, "big", std::string(5000, 'b'));
  Add(db, "small", "s");
  db.SetFileName("");
  db.SetCacheSize(4096);
  db.SetFileName(path);
  db.SetCacheFrequency(0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(db.ExactMatch("big"));
    EXPECT_EQ(Item(db).size(), 5000u);
  }
  EXPECT_EQ(db.CacheFrequency(), 0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(db.ExactMatch("small"));
    EXPECT_EQ(Item(db), "s");
  }
  EXPECT_EQ(db.CacheFrequency(), 75);  // one read from the file, three hits
}

TEST_F(QdbTest, EventsAndProgress) {
  db.SetFileName(path);
  std::vector<std::string> events;
  db.OnAdded = [&](TQDB&) { events.push_back("added"); };
  db.OnNavigate = [&](TQDB& s) { events.push_back("navigate " + s.Key()); };
  db.OnFound = [&](TQDB&) { events.push_back("found"); };
  db.OnDeleted = [&](TQDB&) { events.push_back("deleted"); };
  Add(db, "a", "1");
  Add(db, "b", "2");
  db.ExactMatch("a");
  db.KillItem();
  EXPECT_EQ(events, (std::vector<std::string>{"added", "navigate a", "added", "navigate b",
                                              "navigate a", "found", "navigate b", "deleted"}));
  for (int i = 0; i < 99; ++i) Add(db, "k" + std::to_string(i), "v");
  db.SetFileName("");
  std::vector<std::pair<int, int>> progress, loading;
  db.ProgressUpdate = [&](TQDB&, TPercentage p, TProgressOrigin o) { progress.push_back({p, o}); };
  db.SetFileName(path);
  for (int p = 10; p <= 90; p += 10) loading.push_back({p, poLoading});
  loading.push_back({0, poLoading});
  EXPECT_EQ(progress, loading);
  db.ProgressUpdate = nullptr;  // the handler's vector dies before the store
}

// The seen-ID pattern: ten thousand small admin values read back one by one, then all set again.
// Reading takes a handful of system calls and unchanged values write nothing. Here the index is
// most of the file, so any change leaves over a quarter of it unreferenced and packs the store:
// still a few large writes, not one per value.
TEST_F(QdbTest, ManySmallValuesCostLittleToReadAndToSetAgain) {
  auto id = [](int i) { return "UID-" + std::to_string(i); };
  db.SetFileName(path);
  for (int i = 0; i < 10000; ++i) db.SetAdminString(id(i), "seen " + std::to_string(i));
  db.SetFileName("");
  const std::string written = ReadFile(path);

  for (const int changed : {0, 10, 9000}) {
    SCOPED_TRACE(changed);
    auto value = [&](int i) { return "seen " + std::to_string(i < changed ? -i : i); };
    WriteFile(path, written);
    int reads = 0, writes = 0;
    fileio::SetFaultHook([&](fileio::Op op, const std::string&) {
      reads += op == fileio::Op::Read;
      writes += op == fileio::Op::Write;
      return 0;
    });
    db.SetFileName(path);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(db.AdminAsString(id(i)), "seen " + std::to_string(i));
    EXPECT_LT(reads, 20) << "values are read through the read-ahead window";
    for (int i = 0; i < 10000; ++i) db.SetAdminString(id(i), value(i));
    db.SetFileName("");
    fileio::SetFaultHook(nullptr);
    if (changed == 0) {
      EXPECT_EQ(writes, 0);
      EXPECT_TRUE(ReadFile(path) == written);
    } else {
      EXPECT_LE(writes, 8);
      EXPECT_LT(ReadFile(path).size(), written.size() + 10000) << "packed";
    }
    db.SetFileName(path);
    for (int i = 0; i < 10000; i += 997) EXPECT_EQ(db.AdminAsString(id(i)), value(i));
    db.SetFileName("");
  }
}

TEST_F(QdbTest, ChangedBehindOurBackIsWrittenBeside) {
  db.SetFileName(path);
  Add(db, "mine", "1");
  db.SetFileName("");
  db.SetFileName(path);
  Add(db, "more", "2");
  const std::string theirs = ReadFile(path);
  Backdate(path);
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), theirs);  // not overwritten without consent
  TQDB other;
  other.SetFileName(dir.File("1.store.QDB"));
  EXPECT_EQ(other.Count(), 2);
  other.SetFileName("");

  db.SetFileName(path);
  Add(db, "third", "3");
  Backdate(path);
  db.BeforeOverWrite = [](TQDB&, bool& ok) { ok = true; };
  db.SetFileName("");
  db.SetFileName(path);
  EXPECT_EQ(db.Count(), 2);
}

TEST_F(QdbTest, OperationsWithoutAFileRaiseNoFile) {
  TMemoryStream s;
  EXPECT_THROW(db.AddItem(s, "k"), EQDBNoFile);
  EXPECT_THROW(db.FindAdmin("k"), EQDBNoFile);
  EXPECT_THROW(db.Pack(), EQDBNoFile);
  auto e = Raised<EQDBNoFile>([&] { db.KillItem(); });
  EXPECT_STREQ(e ? e->what() : "", "Illegal operation - no file assigned");
  db.SetFileName("");  // closing a closed store does nothing
}

}  // namespace
}  // namespace norva
