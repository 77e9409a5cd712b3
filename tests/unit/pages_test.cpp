// The preferences window's mailbox page (validation, add/update/delete, default mailbox, seen
// lists kept with their mailbox) and its connection and alarm page.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <utility>
#include <vector>

#include "config/AccountsPage.h"
#include "config/ConnectionPage.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::TempDir;

class AccountsPageTest : public ::testing::Test {
 protected:
  void Fill(const std::string& address, const std::string& pop3, bool isDefault = false) {
    page.edtMailAddress = address;
    page.edtMailAccount = "user";
    page.edtMailPOP3 = pop3;
    page.chkIsDefault = isDefault;
  }
  std::vector<bool> Defaults() const {
    std::vector<bool> d;
    for (auto& a : o.lsvAddress) d.push_back(a->IsDefault);
    return d;
  }

  TempDir dir;
  TfrmOptions o{dir.Path()};
  TScheduleControls schedule{o};
  std::vector<std::pair<std::string, std::string>> errors;
  TAccountsPage page{o, schedule, [this](const std::string& text, const std::string& caption) {
                       errors.emplace_back(text, caption);
                     }};
};

TEST_F(AccountsPageTest, AddRefusesMissingFieldsAndBadTimeoutsWithoutAddingAnything) {
  struct Case {
    const char *address, *pop3, *timeout, *focus;
  } cases[] = {
      {"a@x", "pop.x", "12x", "edtMailTimeOut"}, {"a@x", "pop.x", "-5", "edtMailTimeOut"},
      {"a@x", "pop.x", "+5", "edtMailTimeOut"},  {"a@x", "pop.x", "0", "edtMailTimeOut"},
      {"a@x", "pop.x", " ", "edtMailTimeOut"},   {"a@x", "pop.x", "99999999999", "edtMailTimeOut"},
      {"", "pop.x", "", "edtMailAddress"},       {"a@x", "", "", "edtMailPOP3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + "|" + c.pop3 + "|" + c.timeout);
    Fill(c.address, c.pop3);
    page.edtMailTimeOut = c.timeout;
    EXPECT_FALSE(page.btnAddAddressClick());
    EXPECT_EQ(page.Focused, c.focus);
  }
  ASSERT_EQ(errors.size(), std::size(cases));
  EXPECT_EQ(errors[6].first, "Please insert a correct Mail Address.");
  EXPECT_EQ(errors[7].first, "Please insert a correct POP3 Server name.");
  EXPECT_EQ(page.edtMailTimeOut, "60");  // an empty one is filled in before the check, and kept
  EXPECT_TRUE(o.lsvAddress.empty());
}

TEST_F(AccountsPageTest, AddTakesFieldsAndScheduleThenClearsTheEditFields) {
  int created = 0;
  o.OnClientCreated = [&](MailboxAccount&) { ++created; };
  std::tie(o.chkBlocking, o.chkCheckOnStartup, o.radCheckManual, o.tbaFreq) =
      std::make_tuple(true, false, true, 7);
  o.cmbFreq.Select(2);
  Fill("a@example.org", "pop.example.org");
  std::tie(page.edtMailSMTP, page.edtMailPassword, page.edtMailTimeOut, page.chkPipelining) =
      std::make_tuple("smtp.example.org", "secret", " 45 ", false);
  ASSERT_TRUE(page.btnAddAddressClick());

  ASSERT_EQ(o.lsvAddress.size(), 1u);
  const MailboxAccount& a = *o.lsvAddress[0];
  EXPECT_EQ(std::tie(a.Address, a.Account, a.POP3Server, a.SMTPServer, a.Password, a.TimeOut),
            std::make_tuple("a@example.org", "user", "pop.example.org", "smtp.example.org",
                            "secret", 45));
  EXPECT_EQ(std::tie(a.CheckOnStartup, a.CheckManually, a.CheckFreqUnit, a.CheckFreq),
            std::make_tuple(false, true, 2, 7));
  EXPECT_TRUE(a.Client->Blocking);
  EXPECT_FALSE(a.Pipelining || a.Client->Pipelining);
  EXPECT_TRUE(page.chkPipelining);  // cleared to its default
  EXPECT_EQ(created, 1);
  EXPECT_EQ(page.edtMailAddress + page.edtMailAccount + page.edtMailPOP3 + page.edtMailSMTP +
                page.edtMailPassword + page.edtMailTimeOut,
            "");

  Fill("b@example.org", "pop.example.org");  // an empty timeout means 60
  ASSERT_TRUE(page.btnAddAddressClick());
  EXPECT_EQ(o.lsvAddress[1]->TimeOut, 60);
}

TEST_F(AccountsPageTest, ExactlyOneDefaultAfterAddOrUpdateAndClearingTouchesOnlyTheSelected) {
  for (const char* address : {"a@x", "b@x", "c@x"}) {
    Fill(address, "pop.x", std::string(address) == "a@x");
    ASSERT_TRUE(page.btnAddAddressClick());
  }
  Fill("d@x", "pop.x", true);
  ASSERT_TRUE(page.btnAddAddressClick());
  EXPECT_EQ(Defaults(), (std::vector<bool>{false, false, false, true}));

  page.lsvAddressChange(1);
  page.chkIsDefault = true;
  ASSERT_TRUE(page.btnUpdateAddressClick());
  EXPECT_EQ(Defaults(), (std::vector<bool>{false, true, false, false}));

  page.lsvAddressChange(2);
  page.chkIsDefault = false;
  ASSERT_TRUE(page.btnUpdateAddressClick());
  EXPECT_EQ(Defaults(), (std::vector<bool>{false, true, false, false}));
}

TEST_F(AccountsPageTest, SelectingShowsTheMailboxAndUpdateKeepsClientAndSeenList) {
  Fill("a@x", "pop.x");
  page.edtMailTimeOut = "30";
  o.radCheckManual = true;
  ASSERT_TRUE(page.btnAddAddressClick());
  o.lsvAddress[0]->SeenIds = {"<1@x>"};
  const TmsRemotePOP* client = o.lsvAddress[0]->Client.get();

  // Checking together: the schedule widgets keep showing the common schedule.
  o.radCheckManual = false;
  page.lsvAddressChange(0);
  EXPECT_EQ(std::tie(page.edtMailAddress, page.edtMailTimeOut), std::make_tuple("a@x", "30"));
  EXPECT_FALSE(o.radCheckManual);
  o.chkCheckTogether = false;
  page.lsvAddressChange(0);
  EXPECT_TRUE(o.radCheckManual);
  EXPECT_FALSE(schedule.tbaFreqVisible);

  page.edtMailPOP3 = "pop2.x";
  page.edtMailTimeOut = "";  // Update does not fill in 60: refused, nothing changes
  EXPECT_FALSE(page.btnUpdateAddressClick());
  EXPECT_EQ(o.lsvAddress[0]->POP3Server, "pop.x");
  page.edtMailTimeOut = "90";
  page.chkPipelining = false;
  ASSERT_TRUE(page.btnUpdateAddressClick());
  const MailboxAccount& a = *o.lsvAddress[0];
  EXPECT_EQ(std::tie(a.POP3Server, a.TimeOut, a.Pipelining), std::make_tuple("pop2.x", 90, false));
  page.btnClearClick();
  page.lsvAddressChange(0);
  EXPECT_FALSE(page.chkPipelining);
  EXPECT_EQ(a.Client.get(), client);
  EXPECT_EQ(a.SeenIds, std::vector<std::string>{"<1@x>"});

  page.lsvAddressChange(-1);
  EXPECT_FALSE(page.btnUpdateAddressClick());
}

TEST_F(AccountsPageTest, DeletedMailboxTakesItsSeenListAlongAndNewOnesStartEmpty) {
  for (const char* address : {"a@x", "b@x", "c@x"}) {
    Fill(address, "pop.x");
    ASSERT_TRUE(page.btnAddAddressClick());
    o.lsvAddress.back()->SeenIds = {std::string("<") + address + ">"};
  }
  page.Save();

  const MailboxAccount* deleting = nullptr;
  page.OnAccountDeleting = [&](MailboxAccount& a) { deleting = &a; };
  const MailboxAccount* first = o.lsvAddress[0].get();
  page.lsvAddressChange(0);
  page.btnDeleteAddressClick();
  EXPECT_EQ(deleting, first);
  EXPECT_EQ(page.Selected, -1);
  page.btnDeleteAddressClick();  // nothing selected: nothing happens
  ASSERT_EQ(o.lsvAddress.size(), 2u);
  Fill("d@x", "pop.x");
  ASSERT_TRUE(page.btnAddAddressClick());
  page.Save();

  TfrmOptions loaded(dir.Path());
  loaded.Load();
  ASSERT_EQ(loaded.lsvAddress.size(), 3u);
  EXPECT_EQ(loaded.lsvAddress[0]->Address, "b@x");
  EXPECT_EQ(loaded.lsvAddress[0]->SeenIds, std::vector<std::string>{"<b@x>"});
  EXPECT_EQ(loaded.lsvAddress[1]->SeenIds, std::vector<std::string>{"<c@x>"});
  EXPECT_TRUE(loaded.lsvAddress[2]->SeenIds.empty());  // not c@x's old list at that position
}

class ConnectionPageTest : public ::testing::Test {
 protected:
  TempDir dir;
  TfrmOptions o{dir.Path()};
  std::vector<std::string> dialogs;
  std::string picked;  // "" cancels the dialog
  TConnectionPage page{
      o, [this](const std::string& title, const std::string& filter, std::string& file) {
        dialogs.push_back(title + "|" + filter + "|" + file);
        if (picked.empty()) return false;
        file = picked;
        return true;
      }};
};

// The dial-up widgets show for dial-up only, the entry and its password with auto-dial only;
// showing them selects the first entry when none is.
TEST_F(ConnectionPageTest, DialUpWidgetsFollowTheConnectionAndAutoDial) {
  o.RasEntries = [] { return std::vector<std::string>{"Work", "Home"}; };
  o.Load();
  o.cmbRas.ItemIndex = -1;
  struct Case {
    bool direct, autoDial;
    void (TConnectionPage::*click)();
    const char* shown;  // auto-dial, entry, password
  } cases[] = {
      {true, true, &TConnectionPage::radDirectConnectionClick, "000"},
      {false, false, &TConnectionPage::radDirectConnectionClick, "100"},
      {false, true, &TConnectionPage::chkAutoDialClick, "111"},
      {true, false, &TConnectionPage::AfterLoad, "000"},
      {false, true, &TConnectionPage::radDirectConnectionClick, "111"},
  };
  for (const Case& c : cases) {
    std::tie(o.radDirectConnection, o.chkAutoDial) = std::tie(c.direct, c.autoDial);
    (page.*c.click)();
    EXPECT_EQ(std::string({char('0' + page.chkAutoDialVisible), char('0' + page.cmbRasVisible),
                           char('0' + page.edtRASPasswordVisible)}),
              c.shown)
        << "row " << &c - cases;
  }
  EXPECT_EQ(o.cmbRas.ItemIndex, 0);
}

TEST_F(ConnectionPageTest, DialUpPasswordIsReadPerEntryAndOnlyTheSelectedOneIsSaved) {
  o.RasEntries = [] { return std::vector<std::string>{"Work", "Home"}; };
  page.cmbRasChange(1);  // no store yet: empty, and none is created
  EXPECT_EQ(o.edtRASPassword, "");
  EXPECT_FALSE(std::filesystem::exists(o.ConfigFileName()));

  o.Load();
  page.cmbRasChange(1);
  o.edtRASPassword = "home-pw";
  o.Save();
  page.cmbRasChange(0);
  EXPECT_EQ(o.edtRASPassword, "");
  o.edtRASPassword = "typed, not saved";
  page.cmbRasChange(1);
  EXPECT_EQ(o.edtRASPassword, "home-pw");
  page.cmbRasChange(0);
  EXPECT_EQ(o.edtRASPassword, "");
  EXPECT_FALSE(o.QDB1.IsOpen());
}

TEST_F(ConnectionPageTest, ChoosingASound) {
  picked = "/sounds/urgent.wav";
  page.btnNewSoundClick(true);
  EXPECT_EQ(o.edtUrgentSound, "/sounds/urgent.wav");
  EXPECT_EQ(o.edtNewSound, "");
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0], "Select WAV File|Sound Files|*.WAV|All Files|*.*|" + dir.Path());
  picked.clear();
  page.btnNewSoundClick(false);
  EXPECT_EQ(o.edtNewSound, "");
}

}  // namespace
}  // namespace norva
