// TfrmMain: archive files ("*.TMA"): storing messages and template replies under running-number
// keys, the folder list, and showing an archive in the message list.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>

#include "app/Main.h"
#include "mail/msCls.h"
#include "mail/msmime.h"
#include "mail/msutils.h"

namespace norva {

namespace {

bool IsArchiveName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  for (char& c : extension) c = char(std::toupper(static_cast<unsigned char>(c)));
  return extension == ".TMA";
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The raw value of the first field of that name (compared without regard to case), its
// continuation lines joined; none when the field is absent.
std::optional<std::string> FieldValue(const TmsHeaders& headers, std::string_view name) {
  for (size_t i = 0; i < headers.size(); ++i) {
    const std::string_view line = headers[i];
    const size_t colon = line.find(':');
    if (colon != name.size() || Lower(line.substr(0, colon)) != Lower(name)) continue;
    std::string value(line.substr(colon + 1));
    for (size_t k = i + 1; k < headers.size(); ++k) {
      const std::string_view next = headers[k];
      if (next.empty() || (next[0] != ' ' && next[0] != '\t')) break;
      value += next;
    }
    return value;
  }
  return std::nullopt;
}

// The first word of a field value, lower case: "Auto-Replied; x=y (comment)" gives "auto-replied".
std::string FirstWord(std::string_view value) {
  const size_t start = value.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return "";
  value.remove_prefix(start);
  return Lower(value.substr(0, value.find_first_of(" \t\r\n;(")));
}

// A field value as the rule log shows it: on one line, and short.
std::string ForLog(std::string_view value) {
  std::string out;
  for (char c : value) {
    const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    if (control) c = ' ';
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.size() > 60) out = out.substr(0, 57) + "...";
  return out;
}

// Why a message must not be answered automatically: it was itself sent by a program (an
// auto-responder, a list, a bounce). Answering it could start two auto-responders answering
// each other for ever. "" when a person sent it.
std::string SentAutomatically(const TmsMessage& message) {
  const TmsHeaders& headers = message.Headers;
  if (auto value = FieldValue(headers, "Auto-Submitted"); value && FirstWord(*value) != "no")
    return "Auto-Submitted: " + ForLog(*value);
  if (auto value = FieldValue(headers, "Precedence")) {
    const std::string word = FirstWord(*value);
    if (word == "bulk" || word == "junk" || word == "list") return "Precedence: " + ForLog(*value);
  }
  if (auto value = FieldValue(headers, "List-Id")) return "List-Id: " + ForLog(*value);
  if (auto value = FieldValue(headers, "Return-Path")) {
    std::string bare;
    for (char c : *value)
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') bare += c;
    if (bare == "<>") return "Return-Path: <>";
  }
  const std::string& address = message.Sender.Address.str();
  if (Lower(address.substr(0, address.find('@'))) == "mailer-daemon")
    return "From: " + ForLog(address);
  return "";
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
  // An archive made just now appears among the folders at once.
  const std::filesystem::path path(fileName);
  const std::string name = path.filename().string();
  if (IsArchiveName(name) && path.parent_path() == std::filesystem::path(frmOptions.Folder()) &&
      std::find(trvFolder.begin(), trvFolder.end(), name) == trvFolder.end())
    LoadFolders();
}

void TfrmMain::ArchiveMsg(const std::string& fileName, MessageListEntry& entry, bool connect) {
  if (!entry.BodyRetrieved) LeggiMsg(entry, connect);
  if (!entry.BodyRetrieved || !entry.Message) return;
  // Only the head of such a message is here: an archived copy would pass for the whole.
  if (entry.BodyCut)
    throw Exception("The message is too large to archive (" + std::to_string(entry.Size) +
                    " bytes); it stays on the server.");
  PutStatusMessage("Archiving...");
  // A message read from a server or an archive is kept as the bytes it came as; only one
  // composed here is encoded.
  TMemoryStream stream;
  if (!entry.Message->Original.empty())
    stream.Assign(entry.Message->Original);
  else
    entry.Message->SaveToStream(stream);
  StoreMessage(QDB1, fileName, stream);
}

void TfrmMain::ArchiveReplyMsg(const std::string& fileName, MessageListEntry& entry, bool connect) {
  const MailboxAccount* from = DefaultAccount();
  if (!entry.BodyRetrieved) LeggiMsg(entry, connect);
  if (!entry.BodyRetrieved || !entry.Message) return;
  const TmsMessage& answered = *entry.Message;
  if (const std::string why = SentAutomatically(answered); !why.empty()) {
    entry.AppliedRules.push_back("----> No reply: the message was sent automatically (" + why +
                                 ").");
    return;
  }
  // A reply nobody can receive would stay at the head of the outbox and hold back every message
  // queued after it. An address with blanks, quotes, brackets or commas would not read back as
  // the same single address from the reply's To line when the outbox sends it.
  const std::string& to = answered.Sender.Address;
  const bool usable = !to.empty() && std::none_of(to.begin(), to.end(), [](char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == 0x7f || c == '<' || c == '>' ||
           c == '"' || c == ',';
  });
  if (!usable) {
    entry.AppliedRules.push_back("----> No reply: the sender has no usable address.");
    return;
  }
  PutStatusMessage("Archiving...");
  msMsg.Clear();
  msMsg.Subject = "re: " + answered.Subject.str();
  // The name goes into the reply's To line, which the outbox reads back: on one line, and without
  // quotes, backslashes or brackets that could make it read back as another address.
  std::string name;
  for (char c : answered.Sender.Name.str()) {
    if (c == '"' || c == '\\' || c == '<' || c == '>') continue;
    name += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  }
  msMsg.Recipients.AddAddress(to, Trim(name));
  msMsg.Sender.Address = from ? from->Address : std::string();
  msMsg.Headers.push_back("X-Mailer: N o r v a");
  // Marks the reply as automatic, so that an auto-responder at the other end leaves it alone.
  msMsg.Headers.push_back("Auto-Submitted: auto-replied");
  for (const std::string& line : ReplyHeaderLines(answered.Headers)) msMsg.Headers.push_back(line);
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
  // Viewing only reads: the file keeps its bytes and its time (deleting packs it).
  QDB1.SetReadOnly(true);
  int32_t unreadable = 0;
  try {
    QDB1.SetFileName(fileName);
    const int32_t count = QDB1.Count();
    if (count > 0) QDB1.FirstItem();
    for (int32_t i = 0; i < count; ++i) {
      TMemoryStream stream;
      auto entry = std::make_unique<MessageListEntry>();
      entry->Message = std::make_unique<TmsMessage>();
      try {
        QDB1.GetItem(stream);  // a damaged item (one that would expand past its bound) throws
        stream.SetPosition(0);
        entry->Message->LoadFromStream(stream);
      } catch (const std::exception&) {
        // Listed with what could be read, so that it can still be seen and deleted.
        ++unreadable;
      }
      const TmsHeaders& headers = entry->Message->Headers;
      TListRow row;
      row.Caption = GetFieldValue(headers, "From");
      row.SubItems = {GetFieldValue(headers, "Subject"),
                      FormatDateTime(MailDateToLocal(GetFieldValue(headers, "Date"))), "0", "0"};
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
