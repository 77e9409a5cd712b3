// TfrmMain: archive files ("*.TMA"): storing messages and template replies under running-number
// keys, the folder list, and showing an archive in the message list.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/Main.h"
#include "mail/msCls.h"
#include "mail/msutils.h"

namespace norva {

namespace {

bool IsArchiveName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  for (char& c : extension) c = char(std::toupper(static_cast<unsigned char>(c)));
  return extension == ".TMA";
}

}  // namespace

const MailboxAccount* TfrmMain::DefaultAccount() const {
  const auto& accounts = frmOptions.lsvAddress;
  if (accounts.empty()) return nullptr;
  for (const auto& account : accounts)
    if (account->IsDefault) return account.get();
  return accounts.front().get();
}

void TfrmMain::StoreMessage(TQDB& store, const std::string& fileName, TStream& message) {
  store.SetFileName(fileName);
  try {
    std::string key(15, '0');
    if (!store.ExistsAdmin("Max")) {
      store.SetAdminInteger("Max", 0);
    } else {
      const int32_t last = store.AdminAsInteger("Max");
      if (last < 0 || last == INT32_MAX)
        throw Exception(fileName + ": the archive's running number is used up (" +
                        std::to_string(last) + ").");
      store.SetAdminInteger("Max", last + 1);
      char text[32];
      std::snprintf(text, sizeof text, "%15d", last + 1);
      key = text;
    }
    message.SetPosition(0);
    store.AddItem(message, key);
  } catch (...) {
    CloseWithoutSaving(store);
    throw;
  }
  CloseOrDiscard(store);
}

void TfrmMain::ArchiveMsg(const std::string& fileName, MessageListEntry& entry, bool connect) {
  if (!entry.BodyRetrieved) LeggiMsg(entry, connect);
  if (!entry.BodyRetrieved || !entry.Message) return;
  PutStatusMessage("Archiving...");
  TMemoryStream stream;
  entry.Message->SaveToStream(stream);
  StoreMessage(QDB1, fileName, stream);
}

void TfrmMain::ArchiveReplyMsg(const std::string& fileName, MessageListEntry& entry, bool connect) {
  const MailboxAccount* from = DefaultAccount();
  if (!entry.BodyRetrieved) LeggiMsg(entry, connect);
  if (!entry.BodyRetrieved || !entry.Message) return;
  const TmsMessage& answered = *entry.Message;
  // A reply nobody can receive would stay at the head of the outbox and hold back every message
  // queued after it.
  const std::string& to = answered.Sender.Address;
  if (to.empty() || to.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    entry.AppliedRules.push_back("----> No reply: the sender has no usable address.");
    return;
  }
  PutStatusMessage("Archiving...");
  msMsg.Clear();
  msMsg.Subject = "re: " + answered.Subject.str();
  msMsg.Recipients.AddAddress(to, answered.Sender.Name);
  msMsg.Sender.Address = from ? from->Address : std::string();
  msMsg.Headers.push_back("X-Mailer: N o r v a");
  const TNamedFile* named = nullptr;
  for (const TNamedFile& t : frmOptions.lstTemplate)
    if (!named && t.Name == entry.ReplyTemplate) named = &t;
  try {
    if (named) {
      TMemoryStream text;
      text.LoadFromFile(frmOptions.Folder() + "/FN" + std::to_string(named->FileNumber) + ".txt");
      msMsg.Body = SplitLines(text.Bytes());
    }
    TMemoryStream stream;
    msMsg.SaveToStream(stream);
    StoreMessage(QDB1, fileName, stream);
  } catch (...) {
    PutStatusMessage("");
    throw;
  }
  PutStatusMessage("");
}

void TfrmMain::btnArchiveClick() {
  if (Busy) return;
  // What is archived stays archived when a later row fails; the window is released either way.
  const bool done = RunLocked([this] {
    ReadSelected();
    std::vector<MessageListEntry*> chosen;
    for (TListRow& row : lsvMail)
      if (row.Selected && row.Data && !row.Data->FromArchive) chosen.push_back(row.Data.get());
    for (MessageListEntry* entry : chosen)
      if (RowOf(entry)) ArchiveMsg(frmOptions.Folder() + "/Archive.TMA", *entry, true);
  });
  if (done) PutStatusMessage("Done");
}

void TfrmMain::LoadFolders() {
  trvFolder.clear();
  trvFolderIndex = -1;
  std::error_code error;
  std::filesystem::directory_iterator item(frmOptions.Folder(), error), end;
  for (; !error && item != end; item.increment(error)) {
    const std::string name = item->path().filename().string();
    if (IsArchiveName(name)) trvFolder.push_back(name);
  }
  std::sort(trvFolder.begin(), trvFolder.end());
}

void TfrmMain::trvFolderDblClick() {
  // The list cannot change under a running check or deletion.
  if (Busy || trvFolderIndex < 0 || size_t(trvFolderIndex) >= trvFolder.size()) return;
  RunLocked([this] { LoadArchive(frmOptions.Folder() + "/" + trvFolder[size_t(trvFolderIndex)]); });
}

void TfrmMain::btnOpenArchiveClick() {
  if (Busy) return;
  RunLocked([this] {
    // The dialog starts in the program's folder.
    std::string fileName = frmOptions.Folder() + "/";
    if (desktop.OpenDialog("Open Archive", "Tavrel Mail Archives|*.TMA|All Files|*.*", fileName))
      LoadArchive(fileName);
  });
}

void TfrmMain::LoadArchive(const std::string& fileName) {
  lsvMailClear();
  ArchiveView = true;
  ArchiveViewFile = fileName;
  // Packing first leaves the file without the gaps of deleted items.
  QDB1.SetFileName(fileName);
  try {
    QDB1.Pack();
  } catch (...) {
    CloseWithoutSaving(QDB1);
    throw;
  }
  CloseOrDiscard(QDB1);
  QDB1.SetReadOnly(true);
  int32_t unreadable = 0;
  try {
    QDB1.SetFileName(fileName);
    const int32_t count = QDB1.Count();
    if (count > 0) QDB1.FirstItem();
    for (int32_t i = 0; i < count; ++i) {
      TMemoryStream stream;
      QDB1.GetItem(stream);
      auto entry = std::make_unique<MessageListEntry>();
      entry->Message = std::make_unique<TmsMessage>();
      try {
        stream.SetPosition(0);
        entry->Message->LoadFromStream(stream);
      } catch (const std::exception&) {
        // Listed with what could be read, so that it can still be seen and deleted.
        ++unreadable;
      }
      const TStringList& headers = entry->Message->Headers;
      TDateTime date = 0;
      std::string zone;
      ParseMailDate(GetFieldValue(headers, "Date"), date, zone);
      TListRow row;
      row.Caption = GetFieldValue(headers, "From");
      row.SubItems = {GetFieldValue(headers, "Subject"), FormatDateTime(date), "0", "0"};
      row.ImageIndex = 1;
      row.StateIndex = 4;
      entry->Status = 1;
      entry->Presence = 1;
      entry->MessageId = QDB1.Key();
      entry->BodyRetrieved = entry->FromArchive = true;
      row.Data = std::move(entry);
      lsvMail.push_back(std::move(row));
      QDB1.NextItem();
    }
  } catch (...) {
    QDB1.SetFileName("");
    QDB1.SetReadOnly(false);
    throw;
  }
  QDB1.SetFileName("");
  QDB1.SetReadOnly(false);
  if (unreadable > 0)
    PutStatusMessage(std::to_string(unreadable) + (unreadable == 1 ? " message" : " messages") +
                     " of the archive could not be read completely.");
}

}  // namespace norva
