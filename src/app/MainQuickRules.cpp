// TfrmMain's quick rules and address-book command: the selected row's sender goes into the
// "Safe List" or "Black List" check list (and the row's message to the learner as safe or spam),
// or into the address book of the preferences window.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>

#include "app/Main.h"
#include "app/Rules.h"
#include "config/BookPage.h"
#include "config/ListsPage.h"
#include "mail/msutils.h"
#include "store/Streams.h"

namespace norva {

namespace {

// A decoded header can carry line breaks; in a check list they would add lines of the sender's
// choosing, in the address book they would reach the compose window's headers.
bool OneLine(const std::string& text) {
  return text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

// The address without everything up to and including its first "@" (all of it without one).
std::string DomainOf(const std::string& address) {
  const size_t at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

}  // namespace

bool TfrmMain::SelectedSender(std::string& address, std::string& name) const {
  const int32_t index = SelectedIndex();
  if (index < 0 || !lsvMail[size_t(index)].Data) return false;
  const MessageListEntry& entry = *lsvMail[size_t(index)].Data;
  if (entry.BodyRetrieved && entry.Message) {
    address = entry.Message->Sender.Address.str();
    name = entry.Message->Sender.Name.str();
    return true;
  }
  const TmsRemoteInfoItem* item = DirectoryEntry(entry);
  SplitAddress(item ? GetFieldValue(item->Headers, "From") : "", address, name);
  return true;
}

void TfrmMain::mnuARSSenderClick(TQuickRuleItem item) {
  std::string address, name;
  if (Busy || !SelectedSender(address, name)) return;
  // The user has judged the message: the learner learns it too.
  const bool safe =
      item == TQuickRuleItem::mnuARSSender || item == TQuickRuleItem::mnuARSSenderDomain;
  LearnMark(*lsvMail[size_t(SelectedIndex())].Data,
            safe ? TLearner::TMark::Safe : TLearner::TMark::Spam);
  switch (item) {
    case TQuickRuleItem::mnuARSSender:
      AddRule("Safe List", address);
      break;
    case TQuickRuleItem::mnuARSSenderDomain:
      AddRule("Safe List", DomainOf(address));
      break;
    case TQuickRuleItem::mnuARASender:
      AddRule("Black List", address);
      break;
    case TQuickRuleItem::mnuARASenderDomain:
      AddRule("Black List", DomainOf(address));
      break;
  }
}

void TfrmMain::mnuAddBookClick() {
  std::string address, name;
  if (Busy || !SelectedSender(address, name)) return;
  if (!OneLine(name) || !OneLine(address)) {
    ShowError(
        "The sender cannot be added to the address book: its name or address "
        "holds a line break.");
    return;
  }
  frmOptions.lsvBook.push_back({name, address, ""});
  // The book is kept in the order of its sort column, as the address book page keeps it.
  SortBook(frmOptions.lsvBook, frmOptions.BookSort);
  if (frmOptions.OnFillEdtMsgTo) frmOptions.OnFillEdtMsgTo();
}

void TfrmMain::AddRule(const std::string& listName, const std::string& entry) {
  if (!OneLine(entry)) {
    ShowError("'" + listName + "' was left unchanged: the sender holds a line break.");
    return;
  }
  const TNamedFile* list = FindNamed(frmOptions.lstCList, listName);
  if (!list) {
    std::string error;
    if (!AddCheckList(frmOptions, listName, error)) {
      ShowError(error.empty() ? "Cannot add the check list '" + listName + "'." : error);
      return;
    }
    try {
      frmOptions.SaveCheckLists();
    } catch (const std::exception& e) {
      ShowError("The check list '" + listName + "' could not be stored in the configuration: " +
                e.what());
    }
    if (frmRule) frmRule->reloadCmbFilter();
    list = FindNamed(frmOptions.lstCList, listName);
  }
  const std::string path = CheckListFileName(frmOptions.Folder(), list->FileNumber);

  // A missing file is an empty list; one that exists but cannot be read is left alone, since
  // writing the list back would replace its lines.
  TMemoryStream file;
  try {
    file.LoadFromFile(path);
  } catch (const EStreamError& e) {
    if (e.Errno != ENOENT) {
      ShowError(e.what());
      return;
    }
  }
  std::string bytes = file.Bytes();
  for (const std::string& line : SplitLines(bytes))
    if (SameText(line, entry)) return;

  // The existing lines stay as they are; the new one follows them.
  if (!bytes.empty() && bytes.back() != '\n') bytes += "\r\n";
  (bytes += entry) += "\r\n";
  if (const std::string error = ReplaceFile(path, bytes); !error.empty()) ShowError(error);
}

}  // namespace norva
