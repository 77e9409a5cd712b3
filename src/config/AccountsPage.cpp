// TAccountsPage: adding, changing and deleting mailboxes on the preferences window.
#include "config/AccountsPage.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <tuple>

namespace norva {

TAccountsPage::TAccountsPage(TfrmOptions& options, TScheduleControls& schedule, ErrorBox errorBox)
    : options_(options),
      schedule_(schedule),
      errorBox_(std::move(errorBox)),
      firstMoved_(std::numeric_limits<size_t>::max()) {}

void TAccountsPage::lsvAddressChange(int32_t index) {
  if (index < 0 || size_t(index) >= options_.lsvAddress.size()) {
    Selected = -1;
    return;
  }
  Selected = index;
  const MailboxAccount& a = *options_.lsvAddress[size_t(index)];
  edtMailAddress = a.Address;
  edtMailAccount = a.Account;
  edtMailPOP3 = a.POP3Server;
  edtMailSMTP = a.SMTPServer;
  edtMailPassword = a.Password;
  edtMailTimeOut = std::to_string(a.TimeOut);
  chkIsDefault = a.IsDefault;
  cmbMailSecurity = a.Security;
  cmbSMTPSecurity = a.SMTPSecurity;
  chkSMTPAuth = a.SMTPAuth;
  edtSMTPUser = a.SMTPUser;
  edtSMTPPassword = a.SMTPPassword;
  chkPipelining = a.Pipelining;
  chkPlainPassword = a.PlainPassword != kPlainRefused;
  edtTokenCommand = a.TokenCommand;
  // While checking together the widgets show the common schedule, not the mailbox's.
  if (!options_.chkCheckTogether) schedule_.ShowSchedule(a);
}

bool TAccountsPage::btnAddAddressClick() {
  Focused.clear();
  if (edtMailTimeOut.empty()) edtMailTimeOut = "60";
  if (edtMailAddress.empty()) {
    Error("Please insert a correct Mail Address.", "edtMailAddress");
    return false;
  }
  if (edtMailPOP3.empty()) {
    Error("Please insert a correct POP3 Server name.", "edtMailPOP3");
    return false;
  }
  const int32_t timeOut = TimeOutField();
  if (timeOut == 0) return false;

  auto a = std::make_unique<MailboxAccount>();
  Assign(*a, timeOut);
  if (chkIsDefault)
    for (auto& other : options_.lsvAddress) other->IsDefault = false;
  a->Client->Blocking = options_.chkBlocking;
  a->ApplyToClient();
  // The new row's stored seen list, if any, is a deleted mailbox's: it is written empty.
  firstMoved_ = std::min(firstMoved_, options_.lsvAddress.size());
  options_.lsvAddress.push_back(std::move(a));
  if (options_.OnClientCreated) options_.OnClientCreated(*options_.lsvAddress.back());
  btnClearClick();
  return true;
}

bool TAccountsPage::btnUpdateAddressClick() {
  Focused.clear();
  if (Selected < 0 || size_t(Selected) >= options_.lsvAddress.size()) return false;
  const int32_t timeOut = TimeOutField();
  if (timeOut == 0) return false;
  if (chkIsDefault)
    for (auto& other : options_.lsvAddress) other->IsDefault = false;
  // The client and the seen list stay; saving hands the new settings to the client.
  Assign(*options_.lsvAddress[size_t(Selected)], timeOut);
  return true;
}

void TAccountsPage::btnDeleteAddressClick() {
  if (Selected < 0 || size_t(Selected) >= options_.lsvAddress.size()) return;
  const size_t n = size_t(Selected);
  if (OnAccountDeleting) OnAccountDeleting(*options_.lsvAddress[n]);
  options_.lsvAddress.erase(options_.lsvAddress.begin() + ptrdiff_t(n));
  firstMoved_ = std::min(firstMoved_, n);
  Selected = -1;
}

bool TAccountsPage::FillAccount(MailboxAccount& account) {
  Focused.clear();
  if (edtMailTimeOut.empty()) edtMailTimeOut = "60";
  const int32_t timeOut = TimeOutField();
  if (timeOut == 0) return false;
  if (Selected >= 0 && size_t(Selected) < options_.lsvAddress.size()) {
    const MailboxAccount& row = *options_.lsvAddress[size_t(Selected)];
    std::tie(account.POP3Server, account.SMTPServer) = std::tie(row.POP3Server, row.SMTPServer);
    account.POP3Certificate = row.POP3Certificate;
    account.SMTPCertificate = row.SMTPCertificate;
  }
  Assign(account, timeOut);
  account.Client->Blocking = options_.chkBlocking;
  return true;
}

void TAccountsPage::btnClearClick() {
  edtMailAddress.clear();
  edtMailAccount.clear();
  edtMailPOP3.clear();
  edtMailSMTP.clear();
  edtMailPassword.clear();
  edtMailTimeOut.clear();
  cmbMailSecurity = cmbSMTPSecurity = 1;
  chkSMTPAuth = false;
  edtSMTPUser.clear();
  edtSMTPPassword.clear();
  chkPipelining = true;
  chkPlainPassword = false;
  edtTokenCommand.clear();
}

void TAccountsPage::Save() {
  options_.Save();
  StoreSeenLists();
}

int32_t TAccountsPage::TimeOutField() {
  size_t begin = edtMailTimeOut.find_first_not_of(' ');
  size_t end = edtMailTimeOut.find_last_not_of(' ');
  int32_t value = 0;
  bool ok = begin != std::string::npos;
  if (ok) {
    const char* first = edtMailTimeOut.data() + begin;
    const char* last = edtMailTimeOut.data() + end + 1;
    // Digits only: from_chars alone would take a minus sign.
    ok = *first >= '0' && *first <= '9';
    const auto [ptr, ec] = std::from_chars(first, last, value);
    ok = ok && ec == std::errc() && ptr == last && value > 0;
  }
  if (!ok) {
    Error("Please insert the timeout as a whole number of seconds, 1 or more.", "edtMailTimeOut");
    return 0;
  }
  return value;
}

void TAccountsPage::Assign(MailboxAccount& a, int32_t timeOut) const {
  // A certificate accepted for one server says nothing about another.
  if (a.POP3Server != edtMailPOP3) a.POP3Certificate.clear();
  if (a.SMTPServer != edtMailSMTP) a.SMTPCertificate.clear();
  a.Security = std::clamp(cmbMailSecurity, 0, 2);
  a.SMTPSecurity = std::clamp(cmbSMTPSecurity, 0, 2);
  a.SMTPAuth = chkSMTPAuth;
  a.SMTPUser = edtSMTPUser;
  a.SMTPPassword = edtSMTPPassword;
  a.Pipelining = chkPipelining;
  // An older mailbox not yet asked stays so until the user changes the box.
  if (chkPlainPassword != (a.PlainPassword != kPlainRefused))
    a.PlainPassword = chkPlainPassword ? kPlainAllowed : kPlainRefused;
  a.TokenCommand = edtTokenCommand;
  a.Address = edtMailAddress;
  a.Account = edtMailAccount;
  a.POP3Server = edtMailPOP3;
  a.SMTPServer = edtMailSMTP;
  a.Password = edtMailPassword;
  a.TimeOut = timeOut;
  a.CheckOnStartup = options_.chkCheckOnStartup;
  a.CheckManually = options_.radCheckManual;
  a.CheckFreqUnit = options_.cmbFreq.ItemIndex;
  a.CheckFreq = options_.tbaFreq;
  a.IsDefault = chkIsDefault;
}

void TAccountsPage::Error(const std::string& text, const std::string& field) {
  if (errorBox_) errorBox_(text, "Error");
  Focused = field;
}

void TAccountsPage::StoreSeenLists() {
  TQDB& db = options_.QDB1;
  db.SetFileName(options_.ConfigFileName());
  try {
    const auto& rows = options_.lsvAddress;
    for (size_t n = firstMoved_; n < rows.size(); ++n) {
      const std::string prefix = "Address/UIDL-" + std::to_string(n) + "-";
      for (size_t m = 0; m < rows[n]->SeenIds.size(); ++m)
        db.SetAdminString(prefix + std::to_string(m), rows[n]->SeenIds[m]);
      db.SetAdminInteger("Address/UIDC-" + std::to_string(n), int32_t(rows[n]->SeenIds.size()));
    }
    db.SetFileName("");
  } catch (...) {
    // Leave the file as Save wrote it.
    db.SetSaveOnClose(false);
    try {
      db.SetFileName("");
    } catch (...) {
    }
    db.SetSaveOnClose(true);
    throw;
  }
  firstMoved_ = std::numeric_limits<size_t>::max();
}

}  // namespace norva
