// Behaviour of TfrmOptions: defaults, the save/load round trip, stale keys, seen identifiers and
// reads that must not fail.
#include "config/Options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "store/FileIO.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::ReadFile;
using testing::TempDir;

class OptionsTest : public ::testing::Test {
 protected:
  void TearDown() override { fileio::SetFaultHook(nullptr); }

  MailboxAccount& AddAccount(TfrmOptions& o, const std::string& address) {
    auto a = std::make_unique<MailboxAccount>();
    a->Address = address;
    a->Account = "user-" + address;
    a->POP3Server = "pop." + address;
    o.lsvAddress.push_back(std::move(a));
    return *o.lsvAddress.back();
  }

  // The settings as a fresh window reads them from the file.
  std::unique_ptr<TfrmOptions> Loaded() {
    auto r = std::make_unique<TfrmOptions>(dir.Path());
    r->Load();
    return r;
  }

  // Runs f on the store file opened directly.
  template <typename F>
  void WithStore(F f) {
    TQDB db;
    db.SetFileName(dir.File("Config.QDB"));
    f(db);
    db.SetFileName("");
  }

  TempDir dir;
};

TEST_F(OptionsTest, MissingFileIsCreatedAndEverySettingTakesItsDefault) {
  TfrmOptions o(dir.Path());
  int notified = 0;
  o.OnAllScheduleChanged = [&](TCheckSchedule&) { ++notified; };
  o.OnNextCheckCalc = [&] { ++notified; };
  o.Load();
  EXPECT_TRUE(std::filesystem::exists(dir.File("Config.QDB")));
  EXPECT_FALSE(o.QDB1.IsOpen());
  EXPECT_EQ(notified, 2);
  const TCheckSchedule& all = o.AllMailboxesSchedule;
  EXPECT_EQ(std::tie(all.CheckOnStartup, all.CheckManually, all.CheckFreqUnit, all.CheckFreq),
            std::make_tuple(true, false, 0, 10));
  EXPECT_EQ(std::tie(o.chkCheckTogether, o.chkBlocking, o.radDirectConnection, o.chkAutoDial,
                     o.cmbRas.ItemIndex),
            std::make_tuple(true, false, true, true, -1));  // a new file: direct
  EXPECT_EQ(std::tie(o.chkNewPopUp, o.chkUrgentPopUp, o.chkNewPlay, o.chkUrgentPlay,
                     o.chkNewPlayLoop, o.chkUrgentPlayLoop, o.radAlarmDialog),
            std::make_tuple(true, true, false, false, false, false, false));  // notifications

  // With no dial-up entry, the index is stored as -1.
  o.Save();
  WithStore([](TQDB& db) { EXPECT_EQ(db.AdminAsInteger("Connection/RAS"), -1); });
}

// The stored fields of an account and the scalar settings, for whole comparisons.
auto Fields(const MailboxAccount& a) {
  return std::tie(a.Address, a.Account, a.POP3Server, a.SMTPServer, a.Password, a.CheckOnStartup,
                  a.CheckManually, a.CheckFreqUnit, a.CheckFreq, a.IsDefault, a.TimeOut, a.Security,
                  a.SMTPSecurity, a.SMTPAuth, a.SMTPUser, a.SMTPPassword, a.POP3Certificate,
                  a.SMTPCertificate, a.Pipelining);
}
auto Settings(const TfrmOptions& o) {
  return std::tie(o.chkBlocking, o.edtUserName, o.chkCheckOnStartup, o.radCheckManual,
                  o.cmbFreq.ItemIndex, o.tbaFreq, o.radDirectConnection, o.chkAutoDial,
                  o.cmbRas.ItemIndex, o.edtRASPassword, o.chkNewPopUp, o.chkUrgentPopUp,
                  o.chkNewPlay, o.chkUrgentPlay, o.chkNewPlayLoop, o.chkUrgentPlayLoop,
                  o.edtNewSound, o.edtUrgentSound, o.radAlarmDialog, o.lsvRule, o.lstTemplate, o.lstCList, o.lsvBook,
                  o.BookSort);
}

TEST_F(OptionsTest, EverySettingSurvivesSaveAndLoad) {
  TfrmOptions o(dir.Path());
  o.RasEntries = [] { return std::vector<std::string>{"Office", "Home"}; };
  o.Load();
  std::tie(o.chkBlocking, o.chkCheckOnStartup, o.radCheckManual, o.cmbFreq.ItemIndex, o.tbaFreq,
           o.cmbRas.ItemIndex) = std::make_tuple(true, false, true, 2, 3, 1);
  std::tie(o.radDirectConnection, o.chkAutoDial, o.chkNewPopUp, o.chkUrgentPlay,
           o.chkUrgentPlayLoop, o.radAlarmDialog) = std::make_tuple(true, false, false, true, true,
                                                                    true);
  std::tie(o.edtUserName, o.edtRASPassword, o.edtNewSound, o.edtUrgentSound) =
      std::make_tuple("Ann Example", "dialpw", "/snd/new.wav", "/snd/urgent.wav");
  MailboxAccount& a = AddAccount(o, "ann@example.org");
  std::tie(a.SMTPServer, a.Password, a.SMTPUser, a.SMTPPassword, a.POP3Certificate,
           a.SMTPCertificate) =
      std::make_tuple("smtp.example.org", "secret", "ann.smtp", "smtp-secret", "AB:CD", "EF:01");
  std::tie(a.CheckOnStartup, a.CheckManually, a.IsDefault, a.SMTPAuth, a.Pipelining) =
      std::make_tuple(false, true, true, true, false);
  std::tie(a.CheckFreqUnit, a.CheckFreq, a.TimeOut, a.Security, a.SMTPSecurity) =
      std::make_tuple(1, 7, 30, 1, 2);
  AddAccount(o, "bob@example.net");
  o.lsvRule = {{14, "Safe List", 2, ""}, {2, "viagra", 0, ""}, {kLearnedFilter, "90%", 4, "30"}};
  o.lstTemplate = {{"Thanks", 1}, {"Away", 4}};
  o.lstCList = {{"Safe List", 2}};
  o.lsvBook = {{"Ann", "ann@example.org", ""}, {"Bob", "bob@example.net", "colleague"}};
  o.BookSort = 1;
  int fills = 0;
  o.OnFillEdtMsgTo = [&] { ++fills; };
  o.Save();
  EXPECT_EQ(fills, 1);
  EXPECT_FALSE(o.AllMailboxesSchedule.CheckOnStartup);  // copied from the check widgets
  EXPECT_EQ(o.AllMailboxesSchedule.CheckFreqUnit, 2);

  WithStore([](TQDB& db) {
    // A boolean is one byte, an integer four, a text its characters and a zero byte.
    for (auto [key, size] : {std::pair{"Connection/Blocking", 1},
                             {"Address/Count", 4},
                             {"Rules/FT-0", 4},
                             {"Address/Address-0", 16}}) {
      ASSERT_TRUE(db.FindAdmin(key)) << key;
      EXPECT_EQ(db.AdminSize(), size) << key;
    }
    EXPECT_EQ(db.AdminAsInteger("Address/Count"), 2);
    EXPECT_EQ(db.AdminAsInteger("Rules/FT-0"), 14);
    EXPECT_EQ(db.AdminAsString("Connection/RASPSW-Home"), "dialpw");
    EXPECT_EQ(db.AdminAsString("Address/Password-0"), "secret");  // plain text
    EXPECT_EQ(db.AdminAsInteger("ALL/Check Freq"), 3);
  });

  TfrmOptions r(dir.Path());
  r.RasEntries = o.RasEntries;
  TagSocket smtp;
  r.SMTPClient = &smtp;
  std::vector<std::string> scheduled, created;
  r.OnClientCreated = [&](MailboxAccount& m) { created.push_back(m.Address); };
  r.OnScheduleChanged = [&](MailboxAccount& m) { scheduled.push_back(m.Address); };
  r.Load();
  EXPECT_EQ(created, (std::vector<std::string>{"ann@example.org", "bob@example.net"}));
  EXPECT_EQ(scheduled, created);
  EXPECT_TRUE(smtp.Blocking);
  EXPECT_EQ(Settings(r), Settings(o));
  EXPECT_EQ(r.TemplateCounter, 4);
  EXPECT_EQ(r.CListCounter, 2);
  ASSERT_EQ(r.lsvAddress.size(), 2u);
  EXPECT_EQ(Fields(*r.lsvAddress[0]), Fields(a));
  EXPECT_EQ(Fields(*r.lsvAddress[1]), Fields(*o.lsvAddress[1]));
  const TmsRemotePOP& client = *r.lsvAddress[0]->Client;
  EXPECT_EQ(std::make_tuple(client.Server, client.UserName, client.Password, client.TimeOut(),
                            client.Security, client.AcceptedFingerprint, client.Blocking,
                            client.Pipelining),
            std::make_tuple(a.POP3Server, a.Account, a.Password, 30, TSecurity::SslTls,
                            std::string("AB:CD"), true, false));
  EXPECT_TRUE(r.lsvAddress[1]->Client->Pipelining);
}

TEST(MailboxAccountTest, TheSmtpLoginDefaultsToThePop3AccountsPartByPart) {
  MailboxAccount a;
  std::tie(a.Account, a.Password, a.SMTPServer, a.SMTPCertificate, a.SMTPSecurity, a.SMTPAuth) =
      std::make_tuple("pop-user", "pop-secret", "smtp.a.test", "EF:01", 2, true);
  struct Case {
    const char *user, *password, *wantUser, *wantPassword;
  } cases[] = {
      {"", "", "pop-user", "pop-secret"},
      {"sender", "", "sender", "pop-secret"},
      {"", "smtp-secret", "pop-user", "smtp-secret"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    a.SMTPUser = c.user;
    a.SMTPPassword = c.password;
    TmsSMTP smtp;
    a.ApplyToSMTP(smtp);
    EXPECT_EQ(std::make_tuple(smtp.Server, smtp.Security, smtp.AcceptedFingerprint,
                              smtp.Authenticate, smtp.AuthUser, smtp.AuthPassword),
              std::make_tuple("smtp.a.test", TSecurity::StartTls, "EF:01", true, c.wantUser,
                              c.wantPassword));
  }
}

TEST_F(OptionsTest, SavingACertificateWritesThatKeyOnly) {
  TfrmOptions o(dir.Path());
  AddAccount(o, "a.test");
  MailboxAccount& b = AddAccount(o, "b.test");
  o.Save();
  b.Account = "changed, not saved";
  b.SMTPCertificate = "12:34";
  EXPECT_TRUE(o.SaveCertificate(b, true));
  MailboxAccount stranger;
  EXPECT_FALSE(o.SaveCertificate(stranger, true));
  auto r = Loaded();
  ASSERT_EQ(r->lsvAddress.size(), 2u);
  EXPECT_EQ(r->lsvAddress[1]->SMTPCertificate, "12:34");
  EXPECT_EQ(r->lsvAddress[1]->Account, "user-b.test");
  EXPECT_EQ(r->lsvAddress[1]->POP3Certificate + r->lsvAddress[0]->SMTPCertificate, "");
}

TEST_F(OptionsTest, SeparateSchedulesLeaveTheAllKeysAlone) {
  TfrmOptions o(dir.Path());
  o.chkCheckTogether = false;
  o.radCheckManual = true;
  o.Save();
  EXPECT_FALSE(o.AllMailboxesSchedule.CheckManually);
  WithStore([](TQDB& db) {
    EXPECT_FALSE(db.ExistsAdmin("ALL/Check Manually"));
    EXPECT_FALSE(db.AdminAsBoolean("Connection/Check Together"));
  });
}

TEST_F(OptionsTest, ReadBackSkipsTheKeysOfRemovedRowsAndCutsLongTexts) {
  TfrmOptions o(dir.Path());
  for (auto name : {"a", "b", "c"}) AddAccount(o, name);
  o.lsvRule = {{1, "x", 1, ""}, {2, "y", 1, ""}};
  o.Save();
  o.lsvAddress.erase(o.lsvAddress.begin() + 1);
  o.lsvRule.pop_back();
  o.lsvAddress[0]->Address = o.edtNewSound = std::string(300, 'x');
  o.Save();
  WithStore([](TQDB& db) {  // the removed rows' keys stay in the file
    EXPECT_EQ(db.AdminAsString("Address/Address-2"), "c");
    EXPECT_EQ(db.AdminAsString("Rules/FParam-1"), "y");
  });
  auto r = Loaded();
  ASSERT_EQ(r->lsvAddress.size(), 2u);
  EXPECT_EQ(r->lsvAddress[0]->Address, std::string(255, 'x'));
  EXPECT_EQ(r->lsvAddress[1]->Address, "c");
  EXPECT_EQ(r->lsvRule.size(), 1u);
  EXPECT_EQ(r->edtNewSound, std::string(255, 'x'));
}

TEST_F(OptionsTest, SeenIdentifiersComeFromTheMailboxsLiveRows) {
  TfrmOptions o(dir.Path());
  const TmsRemotePOP* c0 = AddAccount(o, "a").Client.get();
  const TmsRemotePOP* c1 = AddAccount(o, "b").Client.get();
  o.Save();
  o.SalvaUIDs({{c0, false, 1, "<1@a>"},
               {c1, false, 2, "<1@b>"},
               {c0, true, 1, "<deleted@a>"},
               {c0, false, 0, "<gone@a>"},
               {c0, false, 2, ""},
               {c1, false, 1, "<2@b>"},
               {nullptr, false, 1, "<archive>"}});
  // Next check: mailbox 0 has one row left, mailbox 1 has none (all deleted on the server).
  o.SalvaUIDs({{c0, false, 1, "<1@a>"}, {c1, true, 1, "<1@b>"}});
  EXPECT_FALSE(o.QDB1.IsOpen());

  auto r = Loaded();
  ASSERT_EQ(r->lsvAddress.size(), 2u);
  EXPECT_EQ(r->lsvAddress[0]->SeenIds, std::vector<std::string>{"<1@a>"});
  EXPECT_EQ(r->lsvAddress[1]->SeenIds, (std::vector<std::string>{"<1@b>", "<2@b>"}));
  WithStore([](TQDB& db) { EXPECT_EQ(db.AdminAsString("Address/UIDL-0-1"), ""); });

  TfrmOptions none(dir.File("other"));
  std::filesystem::create_directory(none.Folder());
  EXPECT_NO_THROW(none.SalvaUIDs({{c0, false, 1, "<1@a>"}}));
}

// An older file (no security keys) and damaged values: every read falls back, none fails.
TEST_F(OptionsTest, OlderAndDamagedFilesLoad) {
  WithStore([](TQDB& db) {
    db.SetAdminInteger("Address/Count", 1);
    db.SetAdminString("Address/Address-0", "old@example.org");
    db.SetAdminBoolean("Templates/Count", true);         // a boolean where a count belongs
    db.SetAdminInteger("Connection/Check Together", 1);  // an integer where a boolean belongs
    db.SetAdminInteger("Rules/Count", 2);
    db.SetAdminInteger("Rules/FT-0", kFilterTypeCount);  // no such filter
    db.SetAdminInteger("Rules/FT-1", 5);
    db.SetAdminInteger("Book/Count", 1'000'000'000);
    db.SetAdminInteger("Book/Sort", 7);
    db.SetAdminInteger("Connection/RAS", 5);
    db.SetAdminString("Connection/RASPSW-", "orphan");
    db.SetAdminBoolean("Alarm/NewPopUp", true);  // stored before the alarm had a style
  });
  TfrmOptions o(dir.Path());
  o.Load();
  ASSERT_EQ(o.lsvAddress.size(), 1u);  // plain connections without login
  const MailboxAccount& a = *o.lsvAddress[0];
  EXPECT_EQ(std::tie(a.Security, a.SMTPSecurity, a.SMTPAuth), std::make_tuple(0, 0, false));
  EXPECT_EQ(a.SMTPUser + a.SMTPPassword + a.POP3Certificate + a.SMTPCertificate, "");
  EXPECT_EQ(a.Client->Security, TSecurity::None);
  EXPECT_TRUE(a.Pipelining && a.Client->Pipelining);  // a missing key means on
  // The password goes unencrypted as it did, until the user has been asked once.
  EXPECT_EQ(a.PlainPassword, kPlainAskOnce);
  EXPECT_TRUE(a.Client->AllowPasswordInClear);
  TmsSMTP smtp;
  a.ApplyToSMTP(smtp);
  EXPECT_EQ(std::tie(smtp.Security, smtp.Authenticate), std::make_tuple(TSecurity::None, false));

  EXPECT_TRUE(o.lstTemplate.empty());
  EXPECT_FALSE(o.chkCheckTogether);
  ASSERT_EQ(o.lsvRule.size(), 1u);  // the rule with an unknown filter is dropped, and said so
  EXPECT_EQ(o.lsvRule[0].FilterType, 5);
  EXPECT_EQ(o.LoadWarnings,
            (std::vector<std::string>{"Rule 1 skipped: its filter or action type is unknown"}));
  EXPECT_LE(o.lsvBook.size(), 12u);  // a damaged count builds no more rows than the 12 entries
  EXPECT_EQ(o.BookSort, 0);
  EXPECT_EQ(o.cmbRas.ItemIndex, -1);
  EXPECT_EQ(o.edtRASPassword, "");
  EXPECT_TRUE(o.radAlarmDialog) << "an older configuration keeps its dialog box";

  o.QDB1.SetFileName(o.ConfigFileName());
  // Wrong sizes read as false and 0, not as the default.
  EXPECT_FALSE(o.QReadBoolean("Rules/Count", true));
  EXPECT_EQ(o.QReadInteger("Templates/Count", 9), 0);
  EXPECT_EQ(o.QReadInteger("Connection/Check Together", 9), 1);
  o.QDB1.SetFileName("");
  EXPECT_EQ(o.QReadInteger("Rules/Count", 3), 3);  // store closed
}

TEST_F(OptionsTest, FailuresOfTheStoreReachTheCallerAndLeaveTheFileAlone) {
  TfrmOptions missing(dir.File("no/such/folder"));
  EXPECT_THROW(missing.Load(), EQDBError);
  EXPECT_FALSE(missing.QDB1.IsOpen());

  TfrmOptions o(dir.Path());
  AddAccount(o, "a");
  o.Save();
  const std::string before = ReadFile(o.ConfigFileName());
  AddAccount(o, "b");
  fileio::SetFaultHook([](fileio::Op op, const std::string&) {
    return op == fileio::Op::Write || op == fileio::Op::Rename ? ENOSPC : 0;
  });
  EXPECT_THROW(o.Save(), EQDBError);
  fileio::SetFaultHook(nullptr);
  EXPECT_FALSE(o.QDB1.IsOpen());
  EXPECT_EQ(ReadFile(o.ConfigFileName()), before);
  EXPECT_EQ(Loaded()->lsvAddress.size(), 1u);
}

TEST(ProgramFolderTest, OverrideAndFallback) {
  SetProgramFolder("/some/where");
  EXPECT_EQ(TfrmOptions().ConfigFileName(), "/some/where/Config.QDB");
  SetProgramFolder("");
  EXPECT_TRUE(std::filesystem::is_directory(ProgramFolder()));

  // An installed program (root may write /usr/bin) keeps the user's mail out of the system.
  testing::TempDir dir;
  const std::pair<std::string, bool> folders[] = {
      {dir.Path(), true},        {"/usr/bin", false},   {"/usr/local/bin", false},
      {"/opt/norva", false},     {"/bin", false},       {"/no/such/folder", false},
      {"relative/folder", false}, {"", false}};
  for (const auto& [folder, beside] : folders) EXPECT_EQ(KeepsFilesBeside(folder), beside) << folder;
}

}  // namespace
}  // namespace norva
