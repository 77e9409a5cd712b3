// TAccountsPage: the mailbox page of the preferences window — editing the list of mailboxes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/Options.h"
#include "config/Schedule.h"

namespace norva {

// The choices of the security drop-downs, by value.
inline constexpr const char* kSecurityNames[3] = {"None", "SSL/TLS", "STARTTLS"};

// Edits TfrmOptions::lsvAddress in memory; TfrmOptions::Save (the OK button) writes it.
class TAccountsPage {
 public:
  // Shows an error box with an OK button: text, caption.
  using ErrorBox = std::function<void(const std::string& text, const std::string& caption)>;

  TAccountsPage(TfrmOptions& options, TScheduleControls& schedule, ErrorBox errorBox);

  std::string edtMailAddress;
  std::string edtMailAccount;
  std::string edtMailPassword;
  std::string edtMailPOP3;
  std::string edtMailSMTP;
  std::string edtMailTimeOut;
  bool chkIsDefault = false;
  // Secured connections: 0 "None", 1 "SSL/TLS", 2 "STARTTLS" (kSecurityNames). A new mailbox
  // starts with SSL/TLS, so no password goes out in clear unless the user picks None.
  int32_t cmbMailSecurity = 1;
  int32_t cmbSMTPSecurity = 1;
  bool chkSMTPAuth = false;
  std::string edtSMTPUser;  // "" means the POP3 account's
  std::string edtSMTPPassword;
  // Pipeline commands when the server allows it.
  bool chkPipelining = true;
  // "Allow my password over an unencrypted connection".
  bool chkPlainPassword = false;
  // OAuth 2.0: the command printing the access token ("" for a password login).
  std::string edtTokenCommand;
  // The selected row of lsvAddress, -1 for none.
  int32_t Selected = -1;
  // The field a failed check put the focus on ("" when none did).
  std::string Focused;

  // Called before a mailbox is removed, while its client still exists: the main window drops
  // the message rows that point at that client.
  std::function<void(MailboxAccount&)> OnAccountDeleting;

  // Selects a row (-1 for none) and shows it in the fields.
  void lsvAddressChange(int32_t index);
  // Each returns false when a check refused the input; nothing was changed then.
  bool btnAddAddressClick();
  bool btnUpdateAddressClick();
  void btnDeleteAddressClick();
  void btnClearClick();
  TfrmOptions& Options() { return options_; }
  // The fields as a mailbox to try ("Test connection"): the selected row's accepted
  // certificates carried over while its servers stay. False (after the error box) when the
  // timeout field is refused.
  bool FillAccount(MailboxAccount& account);

  // The OK button's store part: TfrmOptions::Save, then the seen lists of the mailboxes that
  // moved or were added since the last save. Seen lists are stored by row position and Save
  // leaves them alone, so without this a mailbox after a deleted one would take over the list
  // stored for the one that stood at its place.
  void Save();

 private:
  // The timeout field as seconds, or 0 (after the error box) when it is no whole number > 0.
  int32_t TimeOutField();
  void Assign(MailboxAccount& account, int32_t timeOut) const;
  void Error(const std::string& text, const std::string& field);
  void StoreSeenLists();

  TfrmOptions& options_;
  TScheduleControls& schedule_;
  ErrorBox errorBox_;
  // The first row whose stored seen list no longer belongs to it.
  size_t firstMoved_;
};

}  // namespace norva
