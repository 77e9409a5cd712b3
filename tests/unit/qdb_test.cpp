// Behaviour of TQDB: items, navigation, admin values, case rules, compression, passwords,
// read-only files, cache, events and overwrite protection.
#include "store/QDB.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <vector>

#include "support/TempDir.h"

namespace norva {
namespace {

using testing::ReadFile;
using testing::TempDir;

std::string Item(TQDB& db) {
  TMemoryStream s;
  db.GetItem(s);
  return s.Bytes();
}

void Add(TQDB& db, const std::string& key, const std::string& bytes) {
  TMemoryStream s;
  s.Assign(bytes);
  db.AddItem(s, key);
}

class QdbTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.File("store.QDB");
  TQDB db;
};

TEST_F(QdbTest, NewStoreGetsExtensionAndOwnerOnlyMode) {
  db.SetFileName(dir.File("Config"));
  EXPECT_EQ(db.FileName(), dir.File("Config.QDB"));
  EXPECT_TRUE(db.IsOpen());
  EXPECT_EQ(db.Count(), 0);
  struct stat st;
  ASSERT_EQ(::stat(dir.File("Config.QDB").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 21);
  db.SetFileName("");
  ASSERT_EQ(::stat(dir.File("Config.QDB").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(QdbTest, ItemsAreKeptInKeyOrderAndSurviveReopening) {
  db.SetFileName(path);
  Add(db, "b", "second");
  Add(db, "a", "first");
  Add(db, "c", std::string("bin\0ary", 7));
  EXPECT_EQ(db.ItemIndex(), 2);
  db.SetFileName("");
  db.SetFileName(path);
  ASSERT_EQ(db.Count(), 3);
  EXPECT_EQ(db.ItemIndex(), 0);
  EXPECT_EQ(db.Key(), "a");
  EXPECT_EQ(Item(db), "first");
  ASSERT_TRUE(db.ExactMatch("C"));  // keys ignore case by default
  EXPECT_EQ(Item(db), std::string("bin\0ary", 7));
  EXPECT_THROW(Add(db, "B", "dup"), EQDBListError);
  EXPECT_EQ(db.KeyAt(1), "b");
}

TEST_F(QdbTest, NavigationAtBothEnds) {
  db.SetFileName(path);
  for (auto k : {"k1", "k2", "k3"}) Add(db, k, k);
  db.FirstItem();
  EXPECT_TRUE(db.Bof());
  EXPECT_EQ(db.Key(), "k1");
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
  EXPECT_EQ(db.ItemIndex(), 0);
  EXPECT_EQ(db.Key(), "b");
  db.GoToItem(1);
  db.KillItem();
  EXPECT_EQ(db.Key(), "b");
  EXPECT_EQ(db.Count(), 1);
  try {
    db.KillItem();
    FAIL() << "killing the only item reports no data";
  } catch (const EQDBNoData& e) {
    EXPECT_EQ(std::string(e.what()), "File " + path + " is empty");
  }
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
  struct utimbuf t {
    1000000000, 1000000000
  };
  ::utime(path.c_str(), &t);
  db.SetFileName(path);
  EXPECT_EQ(Item(db), "1");
  db.SetFileName("");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);

  db.SetFileName(path);
  db.SetPassword("now protected");  // a new password alone is a change
  db.SetFileName("");
  db.SetPassword("now protected");
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
  EXPECT_EQ(db.AdminAsInteger("NUMBER"), -7);
  EXPECT_EQ(db.AdminAsString("Text"), "hello");
  try {
    db.AdminAsString("Missing");
    FAIL();
  } catch (const EQDBBadKey& e) {
    EXPECT_STREQ(e.what(), "The key 'Missing' does not exist");
  }
  db.SetFileName("");
  db.SetFileName(path);
  EXPECT_EQ(db.AdminAsInteger("Number"), -7);
  EXPECT_EQ(db.AdminAsString("Text"), "hello");
}

TEST_F(QdbTest, ChangeAdminMovesALongerValueAndPackRemovesTheGap) {
  db.SetFileName(path);
  db.SetAdminString("A", "short");
  Add(db, "item", std::string(1000, 'i'));
  ASSERT_TRUE(db.FindAdmin("A"));
  int32_t before = db.AdminEntry(0).Pos;
  db.SetAdminString("A", "tiny");
  EXPECT_EQ(db.AdminEntry(0).Pos, before);  // shorter: in place
  EXPECT_EQ(db.AdminEntry(0).Size, 5);
  db.SetAdminString("A", "a much longer value");
  EXPECT_GT(db.AdminEntry(0).Pos, db.ItemEntry(0).Pos);  // longer: moved to the end
  db.SetFileName("");
  auto unpacked = std::filesystem::file_size(path);

  db.SetFileName(path);
  db.Pack();
  EXPECT_EQ(db.AdminEntry(0).Pos, 0);  // admin entries first
  EXPECT_EQ(db.ItemEntry(0).Pos, 20);
  db.SetFileName("");
  EXPECT_EQ(std::filesystem::file_size(path), unpacked - 6);
  db.SetFileName(path);
  EXPECT_EQ(db.AdminAsString("A"), "a much longer value");
  EXPECT_EQ(Item(db), std::string(1000, 'i'));
}

TEST_F(QdbTest, PasswordProtectsTheFile) {
  db.SetPassword("secret");
  db.SetFileName(path);
  Add(db, "mail", "private words");
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path).find("private words"), std::string::npos);

  db.SetPassword("wrong");
  EXPECT_THROW(db.SetFileName(path), EQDBInvalidPW);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_THROW(db.FirstItem(), EQDBNoFile);

  int asked = 0;
  db.OnDemandPassword = [&](TQDB&, TPassword& pw) {
    ++asked;
    pw = "secret";
  };
  db.SetFileName(path);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(Item(db), "private words");
}

TEST_F(QdbTest, ReadOnlyFileRefusesWritesAndIsNeverRewritten) {
  db.SetFileName(path);
  Add(db, "x", "1");
  db.SetFileName("");
  ::chmod(path.c_str(), 0444);
  const std::string bytes = ReadFile(path);

  db.SetFileName(path);
  EXPECT_TRUE(db.ReadOnly());
  try {
    Add(db, "y", "2");
    FAIL();
  } catch (const EQDBReadOnly& e) {
    EXPECT_EQ(std::string(e.what()), path + " is marked as read-only");
  }
  int warned = 0;
  db.WarnReadOnly = [&](TQDB&) { ++warned; };
  db.KillItem();
  db.SetAdminInteger("n", 1);
  EXPECT_EQ(warned, 2);
  EXPECT_EQ(db.Count(), 1);
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), bytes);
}

TEST_F(QdbTest, SaveOnCloseOffLeavesTheFileAsItWas) {
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

  std::vector<std::pair<int, int>> progress;
  db.ProgressUpdate = [&](TQDB&, TPercentage p, TProgressOrigin o) { progress.push_back({p, o}); };
  db.SetFileName(path);
  std::vector<std::pair<int, int>> load;
  for (int p = 10; p <= 90; p += 10) load.push_back({p, poLoading});
  load.push_back({0, poLoading});
  EXPECT_EQ(progress, load);
  db.ProgressUpdate = nullptr;  // the handler's vector dies before the store
}

TEST_F(QdbTest, ChangedBehindOurBackIsWrittenBeside) {
  db.SetFileName(path);
  Add(db, "mine", "1");
  db.SetFileName("");
  db.SetFileName(path);
  Add(db, "more", "2");
  const std::string theirs = ReadFile(path);
  struct utimbuf t {
    1000000000, 1000000000
  };
  ::utime(path.c_str(), &t);
  db.SetFileName("");
  EXPECT_EQ(ReadFile(path), theirs);  // not overwritten without consent
  TQDB other;
  other.SetFileName(dir.File("1.store.QDB"));
  EXPECT_EQ(other.Count(), 2);
  other.SetFileName("");

  db.SetFileName(path);
  Add(db, "third", "3");
  ::utime(path.c_str(), &t);
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
  try {
    db.KillItem();
  } catch (const EQDBNoFile& e) {
    EXPECT_STREQ(e.what(), "Illegal operation - no file assigned");
  }
  db.SetFileName("");  // closing a closed store does nothing
}

}  // namespace
}  // namespace norva
