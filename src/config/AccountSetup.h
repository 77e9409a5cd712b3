// TAccountSetup: the first-run dialog's logic — one mailbox from a name, an address and a
// password, the servers guessed from the address's domain.
#pragma once

#include <string>

#include "config/AccountsPage.h"
#include "config/ConnectionTest.h"

namespace norva {

// True when the configuration holds no mailbox: Norva then offers the setup dialog.
bool NeedsAccountSetup(const TfrmOptions& options);

// The hint the main window shows while no mailbox is set up.
inline constexpr const char* kNoMailboxHint =
    "No mailbox is set up yet: choose Configure to add one.";

class TAccountSetup {
 public:
  // Adds through page, so the checks and the stored form are the accounts page's own.
  explicit TAccountSetup(TAccountsPage& page) : page_(page) {}

  std::string edtName;
  std::string edtAddress;
  std::string edtPassword;
  std::string edtAccount;
  std::string edtPOP3;
  std::string edtSMTP;
  int32_t cmbMailSecurity = 1;  // kSecurityNames: SSL/TLS
  int32_t cmbSMTPSecurity = 1;

  // The address changed: the account and server fields the user has not edited follow it.
  void edtAddressChange(const std::string& address);
  // The user edited one of the guessed fields ("edtAccount", "edtPOP3", "edtSMTP"): it no longer
  // follows the address.
  void FieldEdited(const std::string& field);

  // OK: adds the mailbox and stores the configuration; false (nothing changed) when the
  // accounts page's checks refused the input. page.Focused names the refused field then.
  bool btnOKClick();
  // Test connection: the fields as a mailbox, without storing it; false when refused.
  bool FillAccount(MailboxAccount& account);
  // Tests account (filled by FillAccount). When SMTP over SSL/TLS on its default port cannot
  // be reached and the field names no port, the same host is tried on the submission port with
  // STARTTLS, where many providers take mail; if that connects, the field and its security
  // take it. Returns the lines to show, the second try's after the first.
  std::vector<std::string> TestConnection(TConnectionTest& test, MailboxAccount& account);
  uint16_t SubmissionPort = 587;

 private:
  // Hands the fields to the accounts page.
  void ToPage();

  TAccountsPage& page_;
  bool accountEdited_ = false, pop3Edited_ = false, smtpEdited_ = false;
};

// The domain part of an address ("" when it has none), lower case, surrounding blanks and a
// trailing dot dropped.
std::string AddressDomain(const std::string& address);

}  // namespace norva
