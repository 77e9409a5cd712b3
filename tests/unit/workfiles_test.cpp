// Working files: they stay in the program folder's private working folder, and what a killed
// process left there goes at the next start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "store/FileIO.h"
#include "store/FolderLock.h"
#include "store/QDB.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {

namespace fs = std::filesystem;
using namespace testing;

unsigned Mode(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& e : fs::recursive_directory_iterator(folder, ignored))
    names.push_back(fs::relative(e.path(), folder).string());
  return names;
}

class WorkFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    oldTmp_ = old ? old : "";
    ::setenv("TMPDIR", tmp.Path().c_str(), 1);
    work = folder.File(fileio::kWorkingFolderName);
    oldMask_ = ::umask(0);  // modes as the program asks for them
  }
  void TearDown() override {
    ::umask(oldMask_);
    if (oldTmp_.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", oldTmp_.c_str(), 1);
  }
  TempDir folder, tmp;
  std::string work;

 private:
  std::string oldTmp_;
  mode_t oldMask_ = 0;
};

// While a store is open its working copies lie in this process's folder inside the private
// working folder, never in TMPDIR; afterwards nothing of them is left.
TEST_F(WorkFiles, WorkingCopiesStayInThePrivateFolder) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      {"new", [] {}},
      {"too wide", [&] { fs::create_directory(work), ::chmod(work.c_str(), 0755); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    {
      FolderLock lock(folder.Path(), "test");
      EXPECT_EQ(Mode(work), 0700u);
      const std::string own = fileio::TempDirectory();
      EXPECT_EQ(fs::path(own).parent_path(), fs::path(work));
      EXPECT_EQ(Mode(own), 0700u);
      TQDB store;
      store.SetFileName(folder.File("Config.QDB"));
      store.SetAdminString("Address/Password-0", "secret");
      store.Pack();
      EXPECT_EQ(Entries(own).size(), 1u);  // the lock: the store keeps no working copies
      for (const std::string& name : Entries(own)) EXPECT_EQ(Mode(own + "/" + name), 0600u);
      EXPECT_TRUE(Entries(tmp.Path()).empty());
      store.SetFileName("");
    }
    EXPECT_EQ(fileio::TempDirectory(), tmp.Path());
    EXPECT_FALSE(fs::exists(work));  // the last one out removes it
  }
  // A working folder that is not a folder of this user's own is refused, and the lock with it.
  fs::create_directory(folder.File("elsewhere"));
  fs::create_directory_symlink(folder.File("elsewhere"), work);
  EXPECT_THROW(FolderLock(folder.Path(), "test"), std::runtime_error);
  EXPECT_EQ(fileio::TempDirectory(), tmp.Path());
  fs::remove(work);
  FolderLock again(folder.Path(), "test");  // the lock itself was let go
}

// A child that is killed while it spools a big message leaves its working file and an uncommitted
// store change; the next start removes the file, keeps a living reader's folder and finds the
// store as it was. The store itself keeps no working copies.
TEST_F(WorkFiles, LeftoversOfAKilledProcessGoAtTheNextStart) {
  {
    TQDB store;
    store.SetFileName(folder.File("Config.QDB"));
    store.SetAdminString("Address/Password-0", "secret");
    Add(store, "kept", "a message");
    store.SetFileName("");
  }
  const std::string config = ReadFile(folder.File("Config.QDB"));

  auto child = [&](bool writer) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) try {
      ::close(ready[0]);
      if (writer) {
        FolderLock lock(folder.Path(), "writer");
        TQDB store;
        store.SetFileName(folder.File("Config.QDB"));
        TMemoryStream big;
        big.Assign(std::string(8 << 20, 'x'));
        store.AddItem(big, "big");
        std::string spool;
        const int fd = fileio::CreateUnique(fileio::TempDirectory(), "spool", spool);
        if (fd < 0 || !fileio::WriteAll(fd, big.Bytes().data(), big.Bytes().size(), spool))
          ::_exit(1);
        [[maybe_unused]] ssize_t n = ::write(ready[1], "w", 1);
        ::pause();
      }
      fileio::WorkingFolder reader(folder.Path());  // a reader takes no folder lock
      TQDB store;
      store.SetReadOnly(true);
      store.SetFileName(folder.File("Config.QDB"));
      [[maybe_unused]] ssize_t n = ::write(ready[1], "r", 1);
      ::pause();
      ::_exit(0);
    } catch (...) {
      ::_exit(1);
    }
    ::close(ready[1]);
    char c = 0;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    return pid;
  };
  const pid_t writer = child(true);
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  const pid_t reader = child(false);
  ASSERT_EQ(Entries(work).size(), 2u + 2 + 1);  // two folders; the writer's spool; two locks
  EXPECT_TRUE(ReadFile(folder.File("Config.QDB")) == config);

  {
    FolderLock lock(folder.Path(), "the next start");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(work)) left.push_back(e.path().filename());
    ASSERT_EQ(left.size(), 2u);  // the reader's folder and this process's own
    for (const std::string& name : left)
      EXPECT_TRUE(name.rfind(std::to_string(reader) + ".", 0) == 0 ||
                  name.rfind(std::to_string(::getpid()) + ".", 0) == 0)
          << name;
    TQDB store;
    store.SetFileName(folder.File("Config.QDB"));
    EXPECT_EQ(store.AdminAsString("Address/Password-0"), "secret");
    EXPECT_EQ(store.Count(), 1);
    store.SetFileName("");
  }
  ::kill(reader, SIGKILL);
  ::waitpid(reader, nullptr, 0);
  EXPECT_TRUE(ReadFile(folder.File("Config.QDB")) == config);
  FolderLock last(folder.Path(), "the start after");
  EXPECT_EQ(Entries(work).size(), 2u);  // only this process's folder and its lock
}

}  // namespace
}  // namespace norva
