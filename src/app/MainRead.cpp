// TfrmMain: reading whole messages ("RETR") into the rows' entries and showing them in the
// message window.
#include <cstdio>
#include <exception>
#include <vector>

#include "app/Main.h"
#include "app/Msg.h"
#include "app/ServerMessages.h"
#include "mail/agConst.h"

namespace norva {

void TfrmMain::LeggiMsg(MessageListEntry& entry, bool connect) {
  if (entry.BodyRetrieved) {
    CurrentMessage = entry.Message.get();
    return;
  }
  if (entry.DeletedOnServer || !entry.Client) return;
  TmsRemotePOP& client = *entry.Client;
  client.MaxMessageSize = frmOptions.MaxMessageBytes();
  bool cut = false;
  client.OnUserMessageSave = [this, &cut](TObject& s, int32_t n, TMemoryStream& c) {
    cut = static_cast<TmsRemotePOP&>(s).Spooled();
    msRPOPUserMessageSave(s, n, c);
  };
  client.OnProgress = [this](TObject& s, int32_t p, int32_t t) { msRPOPProgress(s, p, t); };
  struct Unbind {
    TmsRemotePOP& client;
    ~Unbind() {
      client.OnUserMessageSave = nullptr;
      client.OnProgress = nullptr;
    }
  } unbind{client};

  try {
    if (connect) {
      if (MailboxAccount* account = AccountOf(client)) CurrentAccount = account;
      client.SetWinsockLoaded(true);
      client.Connect();
    }
    entry.Message = std::make_unique<TmsMessage>();
    CurrentMessage = entry.Message.get();
    // The row's number is where the message was when the list was built; the mailbox or the
    // list's order may have changed since, so the message is looked up by what identifies it.
    const int32_t num =
        ServerMessages(client).Find({entry.MessageNumber, entry.MessageId, entry.Size});
    if (num < 0) throw Exception("The message is no longer on the server.");
    client.Retrieve(num);
    entry.BodyRetrieved = true;
    entry.BodyCut = cut;
    if (TListRow* row = RowOf(&entry)) row->StateIndex = 5;
  } catch (...) {
    if (!entry.BodyRetrieved) {
      if (CurrentMessage == entry.Message.get()) CurrentMessage = nullptr;
      entry.Message.reset();
    }
    if (connect && client.IsOpen()) {
      try {
        client.Disconnect();
      } catch (const std::exception&) {
        client.Close();
      }
    }
    throw;
  }
  if (connect) client.Disconnect();
}

void TfrmMain::msRPOPUserMessageSave(TObject& sender, int32_t, TMemoryStream& contents) {
  if (!CurrentMessage) return;
  CurrentMessage->Clear();
  contents.SetPosition(0);
  CurrentMessage->LoadFromStream(contents);
  // A message too large to hold is read from its head: the window, the preview and the rules
  // that look at the text see that much, and say so.
  const auto& client = static_cast<const TmsCustomPOP&>(sender);
  if (client.Spooled())
    CurrentMessage->Body.push_back(SpooledNote(client.SpooledSize()));
}

std::string SpooledNote(int64_t size) {
  char text[160];
  std::snprintf(text, sizeof text,
                "[This message is %.1f MB, too large to read whole: shown is its first %.1f MB. "
                "The whole message stays on the server.]",
                double(size) / (1024.0 * 1024.0),
                double(TmsCustomPOP::kSpooledHead) / (1024.0 * 1024.0));
  return text;
}

void TfrmMain::ReadSelected() {
  for (auto& account : frmOptions.lsvAddress) {
    TmsRemotePOP& client = *account->Client;
    std::vector<MessageListEntry*> unread;  // in list order
    for (TListRow& row : lsvMail)
      if (row.Selected && row.Data && row.Data->Client == &client && !row.Data->BodyRetrieved &&
          !row.Data->DeletedOnServer)
        unread.push_back(row.Data.get());
    if (unread.empty()) continue;
    CurrentAccount = account.get();
    client.SetWinsockLoaded(true);
    client.Connect();
    try {
      for (MessageListEntry* entry : unread)
        if (RowOf(entry)) LeggiMsg(*entry, false);  // rows may go while the session waits
    } catch (...) {
      // The command ends here; the session is closed rather than left open.
      if (client.IsOpen()) client.Close();
      throw;
    }
    client.Disconnect();
  }
}

bool TfrmMain::RunLocked(const std::function<void()>& command) {
  LockWindow();
  try {
    command();
  } catch (const std::exception& e) {
    UnlockWindow();
    ShowError(ErrorText(e));
    return false;
  }
  UnlockWindow();
  return true;
}

void TfrmMain::btnReadMsgClick() {
  if (Busy) return;
  RunLocked([this] { ReadSelected(); });
  // Even after a failure, what was read before it is there to show.
  for (TListRow& row : lsvMail) {
    if (row.Selected && row.Data && row.Data->BodyRetrieved && row.Data->Message) {
      BrowseMsg(*row.Data);
      break;
    }
  }
}

void TfrmMain::lsvMailDblClick() {
  if (Busy) return;
  const int32_t index = SelectedIndex();
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  MessageListEntry& entry = *lsvMail[size_t(index)].Data;
  if (!frmMsg->MayDiscard()) return;  // asked before anything is retrieved
  RunLocked([&] {
    LeggiMsg(entry, true);
    if (entry.BodyRetrieved && entry.Message) BrowseMsg(entry);
  });
}

void TfrmMain::BrowseMsg(MessageListEntry& entry) {
  if (!entry.Message || !frmMsg->MayDiscard()) return;
  CurrentEntry = &entry;
  CurrentMessage = entry.Message.get();
  frmMsg->FillFromMessage(*entry.Message);
  desktop.ProcessMessages();
  frmMsg->Show();
}

}  // namespace norva
