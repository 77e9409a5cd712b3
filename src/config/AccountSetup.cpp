// TAccountSetup: the first-run dialog's logic.
#include "config/AccountSetup.h"

#include <algorithm>
#include <cctype>

#include "mail/msCls.h"

namespace norva {

bool NeedsAccountSetup(const TfrmOptions& options) {
  return options.lsvAddress.empty();
}

std::string AddressDomain(const std::string& address) {
  const std::string a = Trim(address);
  const size_t at = a.rfind('@');
  if (at == std::string::npos || at == 0) return "";
  std::string domain = a.substr(at + 1);
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  // A host name holds letters, digits, hyphens and dots only; anything else is no guess.
  const bool plain = !domain.empty() && domain.front() != '.' &&
                     std::all_of(domain.begin(), domain.end(), [](unsigned char c) {
                       return std::isalnum(c) || c == '-' || c == '.';
                     });
  if (!plain) return "";
  std::transform(domain.begin(), domain.end(), domain.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return domain;
}

void TAccountSetup::edtAddressChange(const std::string& address) {
  edtAddress = address;
  const std::string domain = AddressDomain(address);
  if (!accountEdited_) edtAccount = Trim(address);
  if (!pop3Edited_) edtPOP3 = domain.empty() ? "" : "pop." + domain;
  if (!smtpEdited_) edtSMTP = domain.empty() ? "" : "mail." + domain;
}

void TAccountSetup::FieldEdited(const std::string& field) {
  if (field == "edtAccount") accountEdited_ = true;
  if (field == "edtPOP3") pop3Edited_ = true;
  if (field == "edtSMTP") smtpEdited_ = true;
}

void TAccountSetup::ToPage() {
  page_.btnClearClick();
  page_.edtMailAddress = Trim(edtAddress);
  page_.edtMailAccount = Trim(edtAccount).empty() ? Trim(edtAddress) : Trim(edtAccount);
  page_.edtMailPassword = edtPassword;
  page_.edtMailPOP3 = Trim(edtPOP3);
  page_.edtMailSMTP = Trim(edtSMTP);
  page_.cmbMailSecurity = cmbMailSecurity;
  page_.cmbSMTPSecurity = cmbSMTPSecurity;
  // Most providers want a login before they relay: authenticate when there is a password.
  page_.chkSMTPAuth = !edtPassword.empty();
}

bool TAccountSetup::FillAccount(MailboxAccount& account) {
  ToPage();
  page_.Selected = -1;
  return page_.FillAccount(account);
}

std::vector<std::string> TAccountSetup::TestConnection(TConnectionTest& test,
                                                      MailboxAccount& account) {
  std::vector<std::string> lines = test.Run(account);
  const std::string host = Trim(edtSMTP);
  if (test.Canceled() || host.empty() || host.find(':') != std::string::npos ||
      cmbSMTPSecurity != 1 || test.SMTPConnected())
    return lines;
  account.SMTPServer = host + ":" + std::to_string(SubmissionPort);
  account.SMTPSecurity = 2;  // STARTTLS
  lines.push_back(test.TestSMTP(account));
  if (test.SMTPConnected()) {
    edtSMTP = account.SMTPServer;
    cmbSMTPSecurity = account.SMTPSecurity;
    smtpEdited_ = true;  // found, so it no longer follows the address
  }
  return lines;
}

bool TAccountSetup::btnOKClick() {
  TfrmOptions& options = page_.Options();
  ToPage();
  page_.chkIsDefault = options.lsvAddress.empty();
  if (!page_.btnAddAddressClick()) return false;
  if (options.edtUserName.empty()) options.edtUserName = Trim(edtName);
  page_.Save();
  return true;
}

}  // namespace norva
