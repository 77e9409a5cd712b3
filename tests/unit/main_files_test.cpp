// Damaged configuration and archive files: a clear error, no crash, no allocation beyond what the
// file could hold, and a configuration that could not be read is never written over.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>

#include "app/Main.h"
#include "app/Msg.h"
#include "store/FileIO.h"
#include "support/FakeDesktop.h"
#include "support/Helpers.h"
#include "support/StoreHelpers.h"
#include "support/TempDir.h"

namespace {

// The largest single allocation while tracking is on.
std::atomic<bool> tracking{false};
std::atomic<size_t> largest{0};

}  // namespace

// Replaced for the whole test program; GCC cannot see that these pair with each other.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (tracking.load(std::memory_order_relaxed)) {
    size_t seen = largest.load(std::memory_order_relaxed);
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
// Every other form goes through the same pair, so that nothing allocated here is freed by the
// runtime's own operator (or the other way round).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace norva {
namespace {

using testing::FakeDesktop;
using namespace testing;

// Stored integers claiming far more than any file holds.
constexpr int32_t kHuge = 0x7ffffff0;

class DamagedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TMPDIR", tmp.Path().c_str(), 1);
    options.edtUserName = "Me";
    auto account = std::make_unique<MailboxAccount>();
    account->Address = "me@example.org";
    account->Password = "secret";
    options.lsvAddress.push_back(std::move(account));
    options.lsvRule = {{19, "", 1, ""}};
    options.Save();
    config = ReadFile(options.ConfigFileName());

    TQDB archive;
    archive.SetFileName(dir.File("Archive.TMA"));
    archive.SetAdminInteger("Max", 1);
    Add(archive, std::string(15, '0'), "From: a@b\r\nSubject: one\r\n\r\nbody\r\n");
    Add(archive, std::string(14, ' ') + "1", "From: c@d\r\nSubject: two\r\n\r\n" +
                                                 std::string(2000, 'x') + "\r\n");
    archive.SetFileName("");
    archiveBytes = ReadFile(dir.File("Archive.TMA"));
  }
  void TearDown() override {
    tracking = false;
    fileio::SetFaultHook(nullptr);
    ::unsetenv("TMPDIR");
  }

  // Damaged variants of a store file: cut short at many lengths, bytes changed at random, and
  // small files whose sections, counts and sizes claim gigabytes.
  static std::vector<std::pair<std::string, std::string>> Damaged(const std::string& whole) {
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t len = 0; len < whole.size(); len += 1 + len / 8)
      out.push_back({"cut at " + std::to_string(len), whole.substr(0, len)});
    std::mt19937 rng(11);
    for (int round = 0; round < 60; ++round) {
      std::string bytes = whole;
      for (int f = 0; f < 1 + int(rng() % 3); ++f) bytes[rng() % bytes.size()] = char(rng());
      out.push_back({"changed, round " + std::to_string(round), bytes});
    }
    const std::string record = Rec("k", 0, kHuge, 0);
    out.push_back({"data section too long", Tag("QDB") + I32(kHuge) + "abc"});
    out.push_back({"index section too long", Container("abc", "") + I32(kHuge)});
    out.push_back({"index count too high", Container("abc", I32(kHuge) + record)});
    out.push_back({"item too large", Container("abc", I32(1) + record)});
    out.push_back({"admin value too large",
                   Container("abc", I32(1) + Rec("Address/Count", 0, kHuge, 1))});
    return out;
  }

  // The file is as it was and no allocation was larger than a few times the file.
  void ExpectUntouchedAndSmall(const std::string& path, const std::string& bytes) {
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_LT(largest.load(), 64 * 1024 + 4 * bytes.size());
  }

  TempDir dir, tmp;
  FakeDesktop desktop;
  TfrmOptions options{dir.Path()};
  std::string config, archiveBytes;
};

TEST_F(DamagedFileTest, AnUnreadableConfigurationIsReportedAndNeverWrittenOver) {
  for (const auto& [what, bytes] : Damaged(config)) {
    SCOPED_TRACE(what);
    WriteFile(options.ConfigFileName(), bytes);
    TfrmOptions loaded(dir.Path());
    largest = 0;
    tracking = true;
    const std::string error = What([&] { loaded.Load(); });
    const bool failed = !error.empty();
    tracking = false;
    EXPECT_TRUE(!failed || error.find("Config.QDB") != std::string::npos) << error;
    EXPECT_EQ(failed, !loaded.LoadError().empty());
    ExpectUntouchedAndSmall(loaded.ConfigFileName(), bytes);
    if (!failed) continue;

    // Nothing of what the program holds now may replace the user's file.
    const std::string refused = What([&] { loaded.Save(); });
    EXPECT_NE(refused.find("could not be read"), std::string::npos) << refused;
    EXPECT_THROW(loaded.SalvaUIDs({}), Exception);
    TfrmMain main(desktop, loaded);
    main.Left = 77;
    EXPECT_TRUE(main.FormCloseQuery());
    main.frmMsg->MsgWindowMode = 0;
    main.frmMsg->Close();
    EXPECT_EQ(ReadFile(loaded.ConfigFileName()), bytes);
  }
}

// The file is sound but a read fails once: what the program then holds are defaults, which must
// not replace the user's settings when the file can be written again.
TEST_F(DamagedFileTest, AFailedReadOfASoundConfigurationKeepsIt) {
  fileio::SetFaultHook([](fileio::Op op, const std::string& path) {
    return op == fileio::Op::Read && path.ends_with("Config.QDB") ? EIO : 0;
  });
  TfrmOptions loaded(dir.Path());
  EXPECT_THROW(loaded.Load(), Exception);
  fileio::SetFaultHook(nullptr);
  EXPECT_TRUE(loaded.lsvAddress.empty());
  EXPECT_THROW(loaded.Save(), Exception);
  TfrmMain main(desktop, loaded);
  main.FormCloseQuery();
  EXPECT_EQ(ReadFile(options.ConfigFileName()), config);

  // Loaded again, it saves as before.
  loaded.Load();
  EXPECT_EQ(loaded.lsvAddress.size(), 1u);
  EXPECT_TRUE(loaded.LoadError().empty());
  loaded.Save();
  EXPECT_TRUE(main.FormCloseQuery());
  TfrmOptions again(dir.Path());
  again.Load();
  EXPECT_EQ(again.lsvAddress.at(0)->Password, "secret");
}

TEST_F(DamagedFileTest, ADamagedArchiveIsReportedWhenOpened) {
  const std::string path = dir.File("Archive.TMA");
  TfrmMain main(desktop, options);
  for (const auto& [what, bytes] : Damaged(archiveBytes)) {
    SCOPED_TRACE(what);
    WriteFile(path, bytes);
    desktop.Errors.clear();
    main.LoadFolders();
    main.trvFolderIndex = 0;
    largest = 0;
    tracking = true;
    main.trvFolderDblClick();
    tracking = false;
    EXPECT_FALSE(main.Busy);
    EXPECT_LT(largest.load(), 64 * 1024 + 4 * bytes.size());
    if (desktop.Errors.empty()) continue;  // damage the store could live with
    EXPECT_NE(desktop.Errors[0].find("Archive.TMA"), std::string::npos) << desktop.Errors[0];
    EXPECT_EQ(ReadFile(path), bytes);
  }
}

}  // namespace
}  // namespace norva
