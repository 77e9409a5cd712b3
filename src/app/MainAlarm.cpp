// TfrmMain: the alarm at the end of a check, the notices of failing mailboxes and the tray's
// tooltip.
#include "app/Main.h"

namespace norva {

namespace {

std::string MailboxName(const MailboxAccount& account) {
  return account.Address.empty() ? account.Account : account.Address;
}

// A message that counts as news: new in this check, not spam, not on its way out.
bool IsNews(const MessageListEntry& entry) {
  return entry.Presence == 2 && entry.Status != 0 && !entry.DeletedOnServer &&
         !entry.DeleteRequested;
}

}  // namespace

std::vector<MailboxNews> TfrmMain::NewMail() const {
  std::vector<MailboxNews> news;
  for (const auto& account : frmOptions.lsvAddress) {
    MailboxNews box{MailboxName(*account), {}};
    for (const auto& row : lsvMail)
      if (row.Data && row.Data->Client == account->Client.get() && IsNews(*row.Data))
        box.Items.push_back({row.Caption, row.SubItems.empty() ? "" : row.SubItems[0]});
    if (!box.Items.empty()) news.push_back(std::move(box));
  }
  return news;
}

void TfrmMain::Alarm() {
  const std::vector<MailboxNews> news = NewMail();
  size_t count = 0;
  for (const MailboxNews& box : news) count += box.Items.size();
  const bool dialog = frmOptions.radAlarmDialog;
  // A notification is about mail worth reading: spam alone raises none. The box keeps its old
  // rule and comes for any new message.
  if (!dialog && count == 0) return;
  UnseenNew += int32_t(count);
  const bool urgent = UrgentMailFound;
  const bool alarm = frmOptions.chkNewPopUp || (urgent && frmOptions.chkUrgentPopUp);
  // The sound (or a beep), then the box that silences it.
  if (frmOptions.chkNewPlay || (frmOptions.chkUrgentPlay && urgent)) {
    if (frmOptions.chkUrgentPlay && urgent)
      desktop.PlaySound(frmOptions.edtUrgentSound, frmOptions.chkUrgentPlayLoop);
    else
      desktop.PlaySound(frmOptions.edtNewSound, frmOptions.chkNewPlayLoop);
  } else if (alarm) {
    desktop.Beep();
  }
  if (!alarm) return;
  // A looping sound under a notification lasts until the user brings the window up.
  if (!dialog && desktop.Notify(NewMessagesTitle(count), NewMailText(news)))
    return;
  // Over the desktop, but the window stays where it is (in the tray when it is there).
  if (desktop.MessageBox("New Messages in MailBox", "New Messages", Desktop::mbOK,
                         Desktop::iconInformation, true) == Desktop::mrOK)
    desktop.StopSound();
}

void TfrmMain::AlarmSeen() {
  UnseenNew = 0;
  // A check under way keeps its animation.
  if (Busy) return;
  if (AnimEnabled && AnimMode >= 2) desktop.StopSound();
  StopAnim();
}

bool TfrmMain::MailboxFailing(const MailboxAccount& account) const {
  return failing_.count(&account) > 0;
}

void TfrmMain::MailboxChecked(const MailboxAccount& account, const std::string* failure) {
  if (StopRequested) return;
  const std::string name = MailboxName(account);
  if (failure) {
    if (!failing_.insert(&account).second) return;  // said once already
    // A server may echo the password in its reply; the mailbox's own name stays as it is,
    // also when the password is a part of it (demo@example.org, password "demo").
    desktop.Notify("Norva", "Norva cannot check " + name + ": " + WithoutSecrets(*failure));
  } else if (failing_.erase(&account) > 0) {
    desktop.Notify("Norva", name + " works again");
  }
}

std::string TfrmMain::TrayHint() const {
  std::vector<MailboxCounts> counts;
  for (const auto& account : frmOptions.lsvAddress) {
    MailboxCounts box{MailboxName(*account)};
    for (const auto& row : lsvMail) {
      const MessageListEntry* entry = row.Data.get();
      if (!entry || entry->Client != account->Client.get() || entry->DeletedOnServer) continue;
      ++box.Total;
      if (entry->Status == 0) ++box.Spam;
      if (IsNews(*entry)) ++box.New;
    }
    box.Failing = MailboxFailing(*account);
    counts.push_back(std::move(box));
  }
  return TrayHintText(counts, StatusBar[1].Text);
}

}  // namespace norva
