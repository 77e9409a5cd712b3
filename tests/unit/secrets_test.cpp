// Passwords and the keyring: markers in Config.QDB, the move at the next save, removal, and a
// keyring that is missing or fails part-way.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <tuple>

#include "config/Options.h"
#include "config/SecretStore.h"
#include "store/FileIO.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::ReadFile;
using testing::TempDir;

// A keyring in memory that can be absent, or refuse from a given call on.
class FakeKeyring : public TSecretStore {
 public:
  void Store(const TSecretKey& key, const std::string& secret) override {
    Fail();
    items[key] = secret;
  }
  std::optional<std::string> Lookup(const TSecretKey& key) override {
    Fail();
    auto it = items.find(key);
    return it == items.end() ? std::nullopt : std::optional(it->second);
  }
  void Clear(const TSecretKey& key) override {
    Fail();
    items.erase(key);
  }

  std::map<TSecretKey, std::string> items;
  bool unavailable = false;
  int callsBeforeError = -1;  // -1: never fails

 private:
  void Fail() {
    if (unavailable) throw ESecretStoreError("no service", true);
    if (callsBeforeError == 0) throw ESecretStoreError("the keyring refused");
    if (callsBeforeError > 0) --callsBeforeError;
  }
};

const TSecretKey kPop3A{"pop3", "a@x.org", "pop.x.org", "alice"};
const TSecretKey kSmtpA{"smtp", "a@x.org", "smtp.x.org", "alice"};
const TSecretKey kDialUp{"dialup", "", "Office", ""};

class SecretsTest : public ::testing::Test {
 protected:
  void TearDown() override { fileio::SetFaultHook(nullptr); }

  std::unique_ptr<TfrmOptions> Window(std::shared_ptr<TSecretStore> store) {
    auto o = std::make_unique<TfrmOptions>(dir.Path());
    o->Keyring = std::move(store);
    o->RasEntries = [] { return std::vector<std::string>{"Office", "Home"}; };
    return o;
  }

  MailboxAccount& Add(TfrmOptions& o, const std::string& address, const std::string& password) {
    auto a = std::make_unique<MailboxAccount>();
    a->Address = address;
    a->Account = "user-" + address;
    a->POP3Server = "pop." + address;
    a->Password = password;
    o.lsvAddress.push_back(std::move(a));
    return *o.lsvAddress.back();
  }

  // One account with a POP3 and an SMTP password, and the Office dial-up password.
  std::unique_ptr<TfrmOptions> Saved(std::shared_ptr<TSecretStore> store) {
    auto o = Window(store);
    o->Load();
    MailboxAccount& a = Add(*o, "a@x.org", "pop-secret-1");
    a.Account = "alice";
    a.POP3Server = "pop.x.org";
    a.SMTPServer = "smtp.x.org";
    a.SMTPPassword = "smtp-secret-2";
    o->cmbRas.Select(0);
    o->edtRASPassword = "dial-secret-3";
    o->Save();
    return o;
  }

  std::string Stored(const std::string& key) {
    TQDB db;
    db.SetReadOnly(true);
    db.SetFileName(dir.File("Config.QDB"));
    std::string value = db.ExistsAdmin(key) ? db.AdminAsString(key) : "(none)";
    db.SetFileName("");
    return value;
  }

  // Whether the file holds the secret, or what an overwrite shorter than it left of it.
  bool FileHolds(const std::string& secret) {
    return ReadFile(dir.File("Config.QDB")).find(secret.substr(1)) != std::string::npos;
  }

  std::shared_ptr<FakeKeyring> keyring = std::make_shared<FakeKeyring>();
  TempDir dir;
};

TEST_F(SecretsTest, AKeyringKeepsThePasswordsAndTheFileOnlyMarkersElseTheFileKeepsThem) {
  auto absent = std::make_shared<FakeKeyring>();
  absent->unavailable = true;
  const struct {
    std::shared_ptr<TSecretStore> store;
    bool inKeyring;
  } cases[] = {{keyring, true}, {nullptr, false}, {absent, false}};
  for (const auto& c : cases) {
    std::filesystem::remove(dir.File("Config.QDB"));
    EXPECT_TRUE(Saved(c.store)->SaveWarnings.empty());
    const std::pair<const char*, const char*> stored[] = {
        {"Address/Password-0", "pop-secret-1"},
        {"Address/SMTP Password-0", "smtp-secret-2"},
        {"Connection/RASPSW-Office", "dial-secret-3"}};
    for (const auto& [key, secret] : stored) {
      EXPECT_EQ(Stored(key), c.inKeyring ? kKeyringMarker : secret) << key;
      EXPECT_EQ(FileHolds(secret), !c.inKeyring) << key;
    }
    auto r = Window(c.store);
    r->Load();
    EXPECT_TRUE(r->LoadWarnings.empty());
    EXPECT_EQ(std::tie(r->lsvAddress[0]->Client->Password, r->lsvAddress[0]->SMTPPassword,
                       r->edtRASPassword),
              std::make_tuple("pop-secret-1", "smtp-secret-2", "dial-secret-3"));
  }
  EXPECT_EQ(keyring->items,
            (std::map<TSecretKey, std::string>{
                {kPop3A, "pop-secret-1"}, {kSmtpA, "smtp-secret-2"}, {kDialUp, "dial-secret-3"}}));
}

TEST_F(SecretsTest, PasswordsInTheFileMoveToTheKeyringAtTheNextSave) {
  Saved(nullptr);
  {  // another dial-up entry's password, never selected in this session
    TQDB db;
    db.SetFileName(dir.File("Config.QDB"));
    db.SetAdminString("Connection/RASPSW-Home", "home-secret-4");
    db.SetFileName("");
  }
  auto o = Window(keyring);
  o->Load();
  EXPECT_EQ(o->lsvAddress[0]->Password, "pop-secret-1");
  EXPECT_TRUE(keyring->items.empty());  // loading alone moves nothing
  o->Save();
  EXPECT_EQ(keyring->items.size(), 4u);
  EXPECT_EQ(keyring->items[(TSecretKey{"dialup", "", "Home", ""})], "home-secret-4");
  for (const char* secret : {"pop-secret-1", "smtp-secret-2", "dial-secret-3", "home-secret-4"})
    EXPECT_FALSE(FileHolds(secret)) << secret;
}

TEST_F(SecretsTest, AKeyringThatCannotBeReadKeepsTheMarkerAndItsItem) {
  Saved(keyring);
  keyring->unavailable = true;
  auto o = Window(keyring);
  o->Load();
  MailboxAccount& a = *o->lsvAddress[0];
  EXPECT_EQ(a.Password, "");
  EXPECT_TRUE(a.PasswordUnread);
  EXPECT_EQ(o->LoadWarnings.size(), 3u);  // POP3, SMTP, dial-up
  // Saved untouched, nothing is lost; and a new password typed meanwhile is kept in the file.
  a.SMTPPassword = "smtp-new-5";
  o->Save();
  EXPECT_EQ(Stored("Address/Password-0"), kKeyringMarker);
  EXPECT_EQ(Stored("Connection/RASPSW-Office"), kKeyringMarker);
  EXPECT_EQ(Stored("Address/SMTP Password-0"), "smtp-new-5");
  keyring->unavailable = false;
  auto r = Window(keyring);
  r->Load();
  EXPECT_EQ(std::tie(r->lsvAddress[0]->Password, r->lsvAddress[0]->SMTPPassword, r->edtRASPassword),
            std::make_tuple("pop-secret-1", "smtp-new-5", "dial-secret-3"));
}

TEST_F(SecretsTest,
       RemovingAMailboxRemovesItsPasswordEverywhereAndKeepsTheOthersWithTheirAccounts) {
  for (bool withKeyring : {true, false}) {
    SCOPED_TRACE(withKeyring);
    std::filesystem::remove(dir.File("Config.QDB"));
    keyring->items.clear();
    std::shared_ptr<TSecretStore> store = withKeyring ? keyring : nullptr;
    auto o = Window(store);
    o->Load();
    Add(*o, "a", "secret-a");
    Add(*o, "b", "secret-b").SMTPPassword = "smtp-b";
    Add(*o, "c", "secret-c").SMTPPassword = "smtp-c";
    o->Save();
    o->lsvAddress.erase(o->lsvAddress.begin() + 1);
    o->lsvAddress[0]->POP3Server = "pop.moved";  // a's item moves to the new server
    o->Save();
    // The old row 2 is now row 1; its keys at 2 are left, but no password among them.
    EXPECT_EQ(Stored("Address/Address-2"), "c");
    EXPECT_EQ(Stored("Address/Password-2"), "");
    EXPECT_EQ(Stored("Address/SMTP Password-2"), "");
    for (const char* secret : {"secret-b", "smtp-b"}) EXPECT_FALSE(FileHolds(secret)) << secret;
    if (withKeyring) {
      EXPECT_EQ(keyring->items.size(), 3u);
      for (const auto& [key, secret] : keyring->items) EXPECT_NE(key.Address, "b");
      EXPECT_EQ(keyring->items[(TSecretKey{"pop3", "a", "pop.moved", "user-a"})], "secret-a");
    }
    auto r = Window(store);
    r->Load();
    ASSERT_EQ(r->lsvAddress.size(), 2u);
    const MailboxAccount& c = *r->lsvAddress[1];
    EXPECT_EQ(std::tie(c.Address, c.Password, c.SMTPPassword),
              std::make_tuple("c", "secret-c", "smtp-c"));
  }
}

TEST_F(SecretsTest, AKeyringFailingMidSaveLeavesEveryPasswordReadable) {
  auto o = Saved(keyring);
  o->lsvAddress[0]->Password = "pop-new-6";
  o->lsvAddress[0]->SMTPPassword = "smtp-new-7";
  Add(*o, "b", "secret-b");
  keyring->callsBeforeError = 1;  // the POP3 password goes in; everything after is refused
  o->Save();
  EXPECT_EQ(o->SaveWarnings.size(), 3u);  // the SMTP password, b's and the dial-up one
  EXPECT_EQ(Stored("Address/Password-0"), kKeyringMarker);
  EXPECT_EQ(Stored("Address/SMTP Password-0"), "smtp-new-7");
  EXPECT_EQ(Stored("Address/Password-1"), "secret-b");
  keyring->callsBeforeError = -1;
  auto r = Window(keyring);
  r->Load();
  EXPECT_EQ(std::tie(r->lsvAddress[0]->Password, r->lsvAddress[0]->SMTPPassword,
                     r->lsvAddress[1]->Password, r->edtRASPassword),
            std::make_tuple("pop-new-6", "smtp-new-7", "secret-b", "dial-secret-3"));
}

TEST_F(SecretsTest, ARemovalWhoseFileCannotBeWrittenKeepsTheItem) {
  auto o = Saved(keyring);
  o->lsvAddress.clear();
  fileio::SetFaultHook([](fileio::Op op, const std::string&) {
    return op == fileio::Op::Write || op == fileio::Op::Rename ? ENOSPC : 0;
  });
  EXPECT_THROW(o->Save(), Exception);
  fileio::SetFaultHook(nullptr);
  auto r = Window(keyring);
  r->Load();
  ASSERT_EQ(r->lsvAddress.size(), 1u);
  EXPECT_EQ(r->lsvAddress[0]->Password, "pop-secret-1");
}

}  // namespace
}  // namespace norva
