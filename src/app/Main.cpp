// TfrmMain: construction, the window lock and animation, and the mailbox check cycle.
#include "app/Main.h"

#include <algorithm>
#include <new>

#include "app/Msg.h"
#include "config/AccountSetup.h"

#include "mail/msCls.h"
#include "store/Pump.h"

namespace norva {

TfrmMain::TfrmMain(Desktop& desktop_, TfrmOptions& options)
    : desktop(desktop_), frmOptions(options) {
  msSMTP.SetTimeOut(600);
  agRas.ForceService = false;
  agRas.MinimizeAtConnect = true;
  agRas.OnErrorDialog = [this](const std::string& text) {
    desktop.MessageBox(text, "Error", Desktop::mbOK, Desktop::iconError);
  };
  for (TQDB* db : {&QDB1, &QDB2}) {
    db->SetCacheSize(4096);
    db->WarnNoData = [](TQDB&) {};
  }
  // The preferences window builds the mailboxes; the main window binds and schedules them.
  frmOptions.SMTPClient = &msSMTP;
  frmOptions.RasEntries = [this] {
    agRas.EnumEntries();
    return agRas.Entries;
  };
  frmOptions.OnClientCreated = [this](MailboxAccount& account) { BindClient(*account.Client); };
  frmOptions.OnScheduleChanged = [this](MailboxAccount& account) { CNextCheck(account); };
  frmOptions.OnAllScheduleChanged = [this](TCheckSchedule& schedule) { CNextCheck(schedule); };
  frmOptions.OnNextCheckCalc = [this] { NextCheckCalc(); };
  for (auto& account : frmOptions.lsvAddress) BindClient(*account->Client);
  frmMsg = std::make_unique<TfrmMsg>(desktop, frmOptions, *this);
  frmOptions.OnFillEdtMsgTo = [this] { frmMsg->FillEdtMsgTo(); };
  TmsCustomMessage::OpenWithDesktop = [this](const std::string& path) {
    return desktop.OpenWithDesktop(path);
  };
  // The outbox reports every step of its session in the status bar.
  msSMTP.OnOpen = [this](TObject&) { PutStatusMessage("Opening connection..."); };
  msSMTP.OnPrepare = [this](TObject&) { PutStatusMessage("Preparing..."); };
  msSMTP.OnSending = [this](TObject&) { PutStatusMessage("Sending message..."); };
  msSMTP.OnProgress = [this](TObject&, int32_t perc, int32_t transferred) {
    PutStatusMessage("Sent " + std::to_string(transferred) + " bytes (" + std::to_string(perc) +
                     "%)");
  };
  msSMTP.OnMailSent = [this](TObject&) { PutStatusMessage("Message sent."); };
  msSMTP.OnClosing = [this](TObject&) { PutStatusMessage("Closing connection..."); };
  msSMTP.OnClosed = [this](TObject&) { PutStatusMessage("Closed connection..."); };
  msSMTP.OnError = [this](TObject& sender, std::string& msg) { msSMTPError(sender, msg); };
  StatusBar[0].Width = 22;
  StatusBar[4].Width = 300;
  // Socket waits and long store work let the desktop's events run.
  SetMessagePump([this] { desktop.ProcessMessages(); });
}

TfrmMain::~TfrmMain() {
  SetMessagePump(nullptr);
  frmOptions.OnClientCreated = nullptr;
  frmOptions.OnScheduleChanged = nullptr;
  frmOptions.OnAllScheduleChanged = nullptr;
  frmOptions.OnNextCheckCalc = nullptr;
  frmOptions.OnFillEdtMsgTo = nullptr;
  TmsCustomMessage::OpenWithDesktop = nullptr;
  frmOptions.RasEntries = nullptr;
  frmOptions.SMTPClient = nullptr;
}

// ---- lock and animation ----

void TfrmMain::LockWindow() {
  Busy = true;
  PopMailAttached = false;
  desktop.SetBusyCursor(true);
  StatusIcon = 1;
}

void TfrmMain::UnlockWindow() {
  Busy = false;
  PopMailAttached = true;
  desktop.SetBusyCursor(false);
  StatusIcon = 0;
}

void TfrmMain::StartAnim(int32_t mode) {
  AnimFrame = 0;
  AnimMode = mode;
  AnimEnabled = true;
}

void TfrmMain::StopAnim() {
  AnimEnabled = false;
  WindowIcon = 55;
  desktop.SetTrayIcon(WindowIcon);
}

void TfrmMain::AnimTimer() {
  int32_t first, frames;
  switch (AnimMode) {
    case 1:
      AnimInterval = 120, first = 36, frames = 18;
      break;
    case 2:
      AnimInterval = 500, first = 34, frames = 2;
      break;
    case 3:
      AnimInterval = 500, first = 32, frames = 2;
      break;
    default:
      return;
  }
  AnimFrame %= frames;
  WindowIcon = first + AnimFrame;
  desktop.SetTrayIcon(WindowIcon);
  AnimFrame = (AnimFrame + 1) % frames;
}

// ---- the check cycle ----

void TfrmMain::btnCheckMailboxClick() {
  if (Busy) return;
  if (frmOptions.lsvAddress.empty()) {
    if (OnNoMailbox)
      OnNoMailbox();
    else
      PutStatusMessage(kNoMailboxHint);
    return;
  }
  const int32_t k = std::max(cmbSelAddressIndex, 0);
  CheckMail(k == 0, k - 1);
}

void TfrmMain::CheckMail(bool together, int32_t accountIndex) {
  LockWindow();
  StartAnim(1);
  std::string error, outboxError;
  try {
    NewMailFound = UrgentMailFound = SessionHadErrors = false;
    MessageFailures = 0;
    unfinished_.clear();
    for (auto& row : lsvMail)
      if (row.Data) row.Data->Presence = 0;
    ++rowsGeneration_;
    if (together) {
      StopRequested = false;
      for (int32_t i = 0; i < int32_t(frmOptions.lsvAddress.size()); ++i) {
        CheckMailBox(i);
        if (StopRequested) break;
      }
    } else if (accountIndex >= 0 && accountIndex < int32_t(frmOptions.lsvAddress.size())) {
      CheckMailBox(accountIndex);
    }
    SistemaContatori();
    // A server that refuses the outbox must not cost the seen lists or the alarm: the queue
    // stays as it is and goes with the next run.
    try {
      SendOutBox();
    } catch (const std::exception& e) {
      outboxError = ErrorText(e);
    }
    std::vector<SeenIdRow> seen;
    for (const auto& row : lsvMail)
      if (row.Data)
        seen.push_back(
            {row.Data->Client, row.Data->DeletedOnServer, row.Data->Presence, row.Data->MessageId});
    frmOptions.SalvaUIDs(seen, unfinished_);
    if (NewMailFound) Alarm();
  } catch (const std::exception& e) {
    error = ErrorText(e);
  }
  // Always, also after a failure: unlock, and blink for what arrived.
  UnlockWindow();
  if (NewMailFound && UrgentMailFound)
    StartAnim(3);
  else if (NewMailFound)
    StartAnim(2);
  else
    StopAnim();
  std::string status;
  if (MessageFailures > 0)
    status = "The rules could not finish with " + std::to_string(MessageFailures) +
             (MessageFailures == 1 ? " message: its rule log says why."
                                   : " messages: their rule logs say why.");
  if (!outboxError.empty())
    status += (status.empty() ? "" : " ") + ("The outbox could not be sent: " + outboxError);
  if (!status.empty()) PutStatusMessage(status);
  if (!error.empty()) ShowError(error);
}

void TfrmMain::CheckMailBox(int32_t accountIndex) {
  MailboxAccount& account = *frmOptions.lsvAddress.at(size_t(accountIndex));
  TmsRemotePOP& client = *account.Client;
  ArchiveView = false;
  ArchiveViewFile.clear();
  if (!agRas.Connected && frmOptions.radDialUp() && !client.IsOpen() && frmOptions.chkAutoDial) {
    if (!frmOptions.edtRASPassword.empty()) agRas.Password = frmOptions.edtRASPassword;
    const auto& ras = frmOptions.cmbRas;
    agRas.SetService(ras.ItemIndex >= 0 && ras.ItemIndex < int32_t(ras.Items.size())
                         ? ras.Items[size_t(ras.ItemIndex)]
                         : std::string());
    agRas.Dial();
  }
  client.Blocking = frmOptions.chkBlocking;
  account.ApplyToClient();
  client.SetWinsockLoaded(true);
  seen_.account = nullptr;  // the seen list is read afresh for every session
  CheckListFiles.NewCheck();  // and the check lists are looked at again
  const bool hadErrors = SessionHadErrors;
  for (bool retried = false;; retried = true) {
    try {
      PutStatusMessage("Total Messages : " + std::to_string(client.MessageCount) +
                       " Octects : " + std::to_string(client.MailboxSize));
      CurrentAccount = &account;
      ruleDeletions_.clear();
      client.UpdateInfo();
      if (client.LoggedOut()) {
        for (MessageListEntry* entry : ruleDeletions_)
          if (TListRow* row = RowOf(entry)) {
            entry->DeletedOnServer = true;
            row->StateIndex = 3;
          }
      }
      ruleDeletions_.clear();
      MailboxChecked(account, nullptr);
      NotePlainPassword(account, client);
      AskPlainPasswords();
      return;
    } catch (const ETlsError& e) {
      // A certificate the user now accepts gets one more attempt, which alone counts.
      if (!retried && TrustCertificate(account, false, e)) {
        account.ApplyToClient();
        SessionHadErrors = hadErrors;
        continue;
      }
      LastErrorText = ErrorText(e);
    } catch (const std::exception& e) {
      // A server's refusal or a bad rule parameter reaches no OnError: take its text here, so
      // that the status never shows a stale reason or none.
      LastErrorText = ErrorText(e);
    }
    ruleDeletions_.clear();  // not carried out: each stays requested for the next session
    unfinished_.push_back(&client);
    client.Cancel();
    PutStatusMessage("Last connection attempt unsuccessful. " + LastErrorText);
    MailboxChecked(account, &LastErrorText);
    NotePlainPassword(account, client);
    AskPlainPasswords();
    return;
  }
}

bool TfrmMain::TrustCertificate(const MailboxAccount& account, bool smtp, const ETlsError& e) {
  if (!e.Untrusted || e.Fingerprint.empty()) return false;
  MailboxAccount* stored = nullptr;
  for (auto& row : frmOptions.lsvAddress)
    if (row.get() == &account) stored = row.get();
  if (!stored) return false;
  const std::string server = smtp ? account.SMTPServer : account.POP3Server;
  if (desktop.MessageBox(
          std::string(e.what()) + "\n\nDo you want to trust exactly this certificate for " +
              server + " from now on?",
          "Certificate", Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo,
          Desktop::iconWarning) != Desktop::mrYes)
    return false;
  (smtp ? stored->SMTPCertificate : stored->POP3Certificate) = e.Fingerprint;
  // Kept for this run even when the file cannot take it; the next run asks again then.
  try {
    frmOptions.SaveCertificate(*stored, smtp);
  } catch (const std::exception& error) {
    PutStatusMessage("The certificate could not be stored: " + std::string(error.what()));
  }
  return true;
}

void TfrmMain::NotePlainPassword(MailboxAccount& account, const TmsMailBase& client) {
  if (account.PlainPassword == kPlainAskOnce && client.PasswordWentInClear() &&
      std::find(plainNoted_.begin(), plainNoted_.end(), &account) == plainNoted_.end())
    plainNoted_.push_back(&account);
}

void TfrmMain::AskPlainPasswords() {
  std::vector<MailboxAccount*> noted;
  noted.swap(plainNoted_);
  for (MailboxAccount* account : noted) {
    bool listed = false;  // it may have been removed meanwhile
    for (const auto& row : frmOptions.lsvAddress) listed = listed || row.get() == account;
    if (!listed || account->PlainPassword != kPlainAskOnce) continue;
    const bool secure =
        desktop.MessageBox(
            "The password of " + account->Address +
                " went over an unencrypted connection, where anyone on the way can read it.\n\n"
                "Secure this mailbox's connections with STARTTLS from now on?\n\nNo keeps "
                "sending the password unencrypted; \"" + kAllowPasswordInClear +
                "\" on the Mail Boxes page changes this later.",
            "Unencrypted password", Desktop::mbYes | Desktop::mbNo, Desktop::iconWarning) ==
        Desktop::mrYes;
    if (secure) {
      if (account->Security == int32_t(TSecurity::None))
        account->Security = int32_t(TSecurity::StartTls);
      if (account->SMTPSecurity == int32_t(TSecurity::None))
        account->SMTPSecurity = int32_t(TSecurity::StartTls);
    }
    account->PlainPassword = secure ? kPlainRefused : kPlainAllowed;
    account->ApplyToClient();
    try {
      frmOptions.SaveSecurity(*account);
    } catch (const std::exception& error) {
      PutStatusMessage("The choice could not be stored: " + std::string(error.what()));
    }
  }
}

std::string TfrmMain::WithoutSecrets(std::string text) const {
  const auto mask = [&text](const std::string& secret) {
    if (secret.size() < 3) return;  // shorter ones would mask ordinary words
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
      text.replace(at, secret.size(), "***");
  };
  mask(frmOptions.edtRASPassword);
  for (const auto& account : frmOptions.lsvAddress) {
    mask(account->Password);
    mask(account->SMTPPassword);
  }
  return text;
}

std::string ErrorText(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e))
    return "Not enough memory to finish; the operation was stopped.";
  return e.what();
}

void TfrmMain::ShowError(const std::string& text) {
  desktop.ShowError(WithoutSecrets(text));
}

void TfrmMain::PutStatusMessage(const std::string& text) {
  StatusBar[4].Text = WithoutSecrets(text);
  // A panel's width is measured again only when its text changed in more than the value of its
  // digits: a check counts "n of N" at every header, and desktop fonts give every digit one
  // width, while measuring means laying the text out.
  const auto sameButDigits = [](const std::string& a, const std::string& b) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i] && !(digit(a[i]) && digit(b[i]))) return false;
    return true;
  };
  for (size_t panel : {2, 3}) {
    TStatusPanel& shown = StatusBar[panel];
    TStatusPanel& measured = measuredPanels_[panel];
    if (shown.Width != measured.Width || !sameButDigits(shown.Text, measured.Text))
      shown.Width = desktop.TextWidth(shown.Text) + 10;
    measured = shown;
  }
  desktop.ProcessMessages();
}

void TfrmMain::SistemaContatori() {
  for (auto& account : frmOptions.lsvAddress) {
    account->MessageCounter = 0;
    for (auto& row : lsvMail)
      if (row.Data && !row.Data->DeletedOnServer && row.Data->Client == account->Client.get())
        row.Data->MessageNumber = account->MessageCounter++;
  }
}

// ---- session handlers ----

void TfrmMain::BindClient(TmsRemotePOP& client) {
  client.OnOpen = [this](TObject& s) { msRPOPOpen(s); };
  client.OnUpdatingInfo = [this](TObject& s) { msRPOPUpdatingInfo(s); };
  client.OnNextInfoUpdated = [this](TObject& s, int32_t n) { msRPOPNextInfoUpdated(s, n); };
  client.OnRetrieving = [this](TObject& s, int32_t) { msRPOPRetrieving(s); };
  client.OnRetrieved = [this](TObject& s, int32_t) { msRPOPRetrieved(s); };
  client.OnClosing = [this](TObject& s) { msRPOPClosing(s); };
  client.OnClosed = [this](TObject& s) { msRPOPClosed(s); };
  client.OnError = [this](TObject& s, std::string& m) { msRPOPError(s, m); };
}

void TfrmMain::msRPOPOpen(TObject&) {
  StatusBar[2].Text = CurrentAccount ? CurrentAccount->POP3Server : std::string();
  StatusBar[3].Text.clear();
  PutStatusMessage("Opening connection...");
}

void TfrmMain::msRPOPUpdatingInfo(TObject&) {
  PutStatusMessage("Retriving message headers...");
}
void TfrmMain::msRPOPRetrieving(TObject&) {
  PutStatusMessage("Retrieving message...");
}
void TfrmMain::msRPOPRetrieved(TObject&) {
  PutStatusMessage("Message retrieved...");
}

void TfrmMain::msRPOPProgress(TObject&, int32_t perc, int32_t transferred) {
  PutStatusMessage("Received " + std::to_string(transferred) + " bytes (" + std::to_string(perc) +
                   "%)");
}

void TfrmMain::msRPOPDeleting(TObject&, int32_t num) {
  StatusBar[3].Text = std::to_string(num);
  PutStatusMessage("Deleting message...");
}

void TfrmMain::msRPOPClosing(TObject&) {
  PutStatusMessage("Closing Connection...");
}

void TfrmMain::msRPOPClosed(TObject&) {
  StatusBar[2].Text.clear();
  StatusBar[3].Text.clear();
  PutStatusMessage(SessionHadErrors
                       ? "Closed connection... There were errors (" + LastErrorText + ")"
                       : "Closed connection...");
}

void TfrmMain::msRPOPError(TObject&, std::string& msg) {
  LastErrorText = msg;
  SessionHadErrors = true;
}

void TfrmMain::msRPOPNextInfoUpdated(TObject& sender, int32_t num) {
  auto& client = static_cast<TmsRemotePOP&>(sender);
  StatusBar[3].Text = std::to_string(num + 1) + " of " + std::to_string(client.MessageCount);
  PutStatusMessage("Received header...");
  const TmsRemoteInfoItem& item = client.MessageInfo.Items(num);
  const std::string id = MessageKey(item.Headers);

  if (TListRow* known = KnownRow(client, id)) {
    MessageListEntry& entry = *known->Data;
    if (!entry.DeletedOnServer) {
      const bool same = entry.Size == item.Size;
      entry.Presence = 1;
      entry.MessageNumber = entry.InfoIndex = num;
      entry.Size = item.Size;
      entry.HeadersCut = item.HeadersCut;
      // A rule's deletion that an earlier session did not commit goes out again.
      if (same && entry.DeleteRequested) RequestDeletion(entry);
    }
  } else {
    TListRow row;
    row.Caption = GetFieldValue(item.Headers, "From");
    row.SubItems = {GetFieldValue(item.Headers, "Subject"),
                    FormatDateTime(MailDateToLocal(GetFieldValue(item.Headers, "Date"))),
                    std::to_string(item.Size)};
    row.ImageIndex = 1;
    auto entry = std::make_unique<MessageListEntry>();
    entry->Client = &client;
    entry->MessageNumber = entry->InfoIndex = num;
    entry->Status = 1;
    entry->Presence = 2;
    entry->MessageId = id;
    entry->Size = item.Size;
    entry->HeadersCut = item.HeadersCut;
    row.Data = std::move(entry);
    lsvMail.push_back(std::move(row));
    // The list may grow while rules run (nothing re-enters here), so keep the entry pointer.
    MessageListEntry* added = lsvMail.back().Data.get();
    if (CurrentAccount && SeenBefore(*CurrentAccount, id))
      added->Presence = 1;
    else if (CurrentAccount)
      NewMailFound = added->Unread = true;
    SpamCheckMsg(*added);
    if (added->Urgent) UrgentMailFound = true;
    if (TListRow* r = RowOf(added)) r->SubItems.push_back(std::to_string(added->SpamPound));
  }
  desktop.ProcessMessages();
}

TListRow* TfrmMain::KnownRow(const TmsRemotePOP& client, const std::string& id) {
  KnownRows& known = knownRows_;
  if (known.client != &client || known.generation != rowsGeneration_ ||
      known.rows > lsvMail.size()) {
    known.client = &client;
    known.generation = rowsGeneration_;
    known.rows = 0;
    known.byId.clear();
  }
  // Rows added since the last look come after all the others.
  for (; known.rows < lsvMail.size(); ++known.rows) {
    const MessageListEntry* entry = lsvMail[known.rows].Data.get();
    if (entry && entry->Client == &client && entry->Presence == 0)
      known.byId[entry->MessageId].at.push_back(known.rows);
  }
  const auto found = known.byId.find(id);
  if (found == known.byId.end()) return nullptr;
  KnownRows::Positions& positions = found->second;
  for (; positions.next < positions.at.size(); ++positions.next) {
    TListRow& row = lsvMail[positions.at[positions.next]];
    if (row.Data && row.Data->Client == &client && row.Data->MessageId == id &&
        row.Data->Presence == 0)
      return &row;
  }
  return nullptr;
}

bool TfrmMain::SeenBefore(MailboxAccount& account, const std::string& id) {
  std::vector<std::string>& list = account.SeenIds;
  if (seen_.account != &account || seen_.count > list.size()) {
    seen_.account = &account;
    seen_.count = 0;
    seen_.ids.clear();
  }
  for (; seen_.count < list.size(); ++seen_.count) seen_.ids.insert(list[seen_.count]);
  if (seen_.ids.count(id)) return true;
  list.push_back(id);
  seen_.ids.insert(id);
  ++seen_.count;
  return false;
}

void TfrmMain::ForgetAccount(const MailboxAccount& account) {
  for (int32_t i = int32_t(lsvMail.size()) - 1; i >= 0; --i)
    if (lsvMail[size_t(i)].Data && lsvMail[size_t(i)].Data->Client == account.Client.get())
      lsvMailDelete(i);
  if (CurrentAccount == &account) CurrentAccount = nullptr;
  failing_.erase(&account);
}

// ---- helpers ----

const TmsRemoteInfoItem* TfrmMain::DirectoryEntry(const MessageListEntry& entry) const {
  if (!entry.Client || entry.InfoIndex < 0 || entry.InfoIndex >= entry.Client->MessageInfo.Count())
    return nullptr;
  const TmsRemoteInfoItem& item = entry.Client->MessageInfo.Items(entry.InfoIndex);
  // The entry is only the row's when it still describes the row's message.
  if (MessageKey(item.Headers) != entry.MessageId) return nullptr;
  return &item;
}

MailboxAccount* TfrmMain::AccountOf(const TObject& sender) const {
  for (auto& account : frmOptions.lsvAddress)
    if (account->Client.get() == &sender) return account.get();
  return nullptr;
}

int32_t TfrmMain::SelectedIndex() const {
  for (size_t i = 0; i < lsvMail.size(); ++i)
    if (lsvMail[i].Selected) return int32_t(i);
  return -1;
}

}  // namespace norva
