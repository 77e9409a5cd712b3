// The first-run setup: server guesses, first-run detection, the stored mailbox, and the
// defaults of a new configuration versus one that holds the keys.
#include <gtest/gtest.h>

#include <tuple>

#include "config/AccountSetup.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::TempDir;

class AccountSetupTest : public ::testing::Test {
 protected:
  TempDir dir;
  TfrmOptions o{dir.Path()};
  TScheduleControls schedule{o};
  int errors = 0;
  TAccountsPage page{o, schedule, [this](const std::string&, const std::string&) { ++errors; }};
  TAccountSetup setup{page};
};

TEST_F(AccountSetupTest, GuessesServersFromTheDomain) {
  struct Case {
    const char* address;
    const char* account;
    const char* pop3;
    const char* smtp;
  } cases[] = {
      {"ann@Example.ORG", "ann@Example.ORG", "pop.example.org", "mail.example.org"},
      {"  bob@mail.example.net. ", "bob@mail.example.net.", "pop.mail.example.net",
       "mail.mail.example.net"},
      {"\"a@b\"@example.com", "\"a@b\"@example.com", "pop.example.com", "mail.example.com"},
      {"nobody", "nobody", "", ""},             // no domain yet: no guess
      {"ann@", "ann@", "", ""},
      {"ann@exa mple.org", "ann@exa mple.org", "", ""},  // not a host name
      {"ann@-x.org;rm", "ann@-x.org;rm", "", ""},
  };
  for (const Case& c : cases) {
    setup.edtAddressChange(c.address);
    EXPECT_EQ(std::tie(setup.edtAccount, setup.edtPOP3, setup.edtSMTP),
              std::make_tuple(std::string(c.account), std::string(c.pop3), std::string(c.smtp)))
        << c.address;
  }
}

TEST_F(AccountSetupTest, EditedFieldsStopFollowingTheAddress) {
  setup.edtAddressChange("ann@example.org");
  setup.edtPOP3 = "mx.example.org";
  setup.FieldEdited("edtPOP3");
  setup.edtAddressChange("ann@example.net");
  EXPECT_EQ(std::tie(setup.edtAccount, setup.edtPOP3, setup.edtSMTP),
            std::make_tuple("ann@example.net", "mx.example.org", "mail.example.net"));
}

TEST_F(AccountSetupTest, OkStoresTheMailboxAsTheAccountsPageWould) {
  o.Load();
  ASSERT_TRUE(NeedsAccountSetup(o));
  setup.edtName = "Ann Example";
  setup.edtAddressChange("ann@example.org");
  setup.edtPassword = "secret";
  ASSERT_TRUE(setup.btnOKClick());
  EXPECT_FALSE(NeedsAccountSetup(o));

  TfrmOptions again(dir.Path());
  again.Load();
  ASSERT_EQ(again.lsvAddress.size(), 1u);
  const MailboxAccount& a = *again.lsvAddress[0];
  EXPECT_EQ(std::tie(a.Address, a.Account, a.Password, a.POP3Server, a.SMTPServer),
            std::make_tuple("ann@example.org", "ann@example.org", "secret", "pop.example.org",
                            "mail.example.org"));
  EXPECT_EQ(std::tie(a.Security, a.SMTPSecurity, a.SMTPAuth, a.IsDefault),
            std::make_tuple(1, 1, true, true));
  EXPECT_EQ(again.edtUserName, "Ann Example");
  EXPECT_TRUE(again.radDirectConnection);
}

TEST_F(AccountSetupTest, RefusedInputChangesNothing) {
  o.Load();
  struct Case {
    const char* address;
    const char* pop3;
    const char* focused;
  } cases[] = {{"", "pop.example.org", "edtMailAddress"}, {"ann@x", "", "edtMailPOP3"}};
  for (const Case& c : cases) {
    setup.edtAddress = c.address;
    setup.edtPOP3 = c.pop3;
    EXPECT_FALSE(setup.btnOKClick());
    EXPECT_EQ(page.Focused, c.focused);
  }
  EXPECT_EQ(errors, 2);
  EXPECT_TRUE(NeedsAccountSetup(o));
  TfrmOptions again(dir.Path());
  again.Load();
  EXPECT_TRUE(again.lsvAddress.empty());
}

TEST_F(AccountSetupTest, StoredConnectionChoiceIsKept) {
  for (bool direct : {false, true}) {
    {
      TfrmOptions first(dir.Path());
      first.Load();
      first.radDirectConnection = direct;
      first.Save();
    }
    TfrmOptions again(dir.Path());
    again.Load();
    EXPECT_EQ(again.radDirectConnection, direct);
  }
}

TEST_F(AccountSetupTest, AccountsPageStartsNewMailboxesWithSslTls) {
  page.cmbMailSecurity = page.cmbSMTPSecurity = 0;
  page.btnClearClick();
  EXPECT_EQ(std::tie(page.cmbMailSecurity, page.cmbSMTPSecurity), std::make_tuple(1, 1));
}

}  // namespace
}  // namespace norva
