// TfrmMain: the message list (sorting, preview, the stop command, splitter and mailbox selector)
// and marking and deleting the listed messages on the server.
#include <algorithm>
#include <charconv>
#include <exception>

#include "app/Main.h"
#include "app/ServerMessages.h"
#include "mail/agConst.h"
#include "mail/msCls.h"
#include "mail/mscharset.h"

namespace norva {

namespace {

constexpr int32_t kDeleteKey = 46;

const std::string& SubItem(const TListRow& row, size_t index) {
  static const std::string none;
  return index < row.SubItems.size() ? row.SubItems[index] : none;
}

// A decimal column ("Size", "SP"); 0 when the text is not a number.
int64_t ColumnNumber(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [last, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && last == end ? value : 0;
}

template <class T>
int Order(const T& a, const T& b) {
  return (b < a) - (a < b);
}

// The instant of the row's "Date" header (its zone applied): from the retrieved message, else
// from the row's directory entry; 0 when the row has neither any more or the date is unreadable.
TDateTime RowDate(const TfrmMain& main, const TListRow& row) {
  if (!row.Data) return 0;
  const MessageListEntry& entry = *row.Data;
  const TmsHeaders* headers = nullptr;
  if (entry.BodyRetrieved && entry.Message)
    headers = &entry.Message->Headers;
  else if (const TmsRemoteInfoItem* item = main.DirectoryEntry(entry))
    headers = &item->Headers;
  return headers ? MailDateToUtc(GetFieldValue(*headers, "Date")) : 0;
}

// The row the preview and the row commands act on: the focused row when it is selected (the
// one clicked last), else the first selected row; -1 for none.
int32_t CurrentRow(const TfrmMain& main) {
  for (size_t i = 0; i < main.lsvMail.size(); ++i)
    if (main.lsvMail[i].Focused && main.lsvMail[i].Selected) return int32_t(i);
  return main.SelectedIndex();
}

// Selector 0 chooses the spam-marked rows the list shows, 3 the selected rows.
bool Chosen(const TfrmMain& main, const TListRow& row, uint8_t selector) {
  if (!row.Data) return false;
  return selector == 3 ? row.Selected : row.Data->Status == selector && main.RowVisible(row);
}

struct DeleteOutcome {
  int32_t Missing = 0;  // chosen rows whose message is no longer on the server
  int32_t Refused = 0;  // delete commands the server refused
};

// One session deleting the chosen rows of one mailbox.
void DeleteFromMailbox(TfrmMain& main, MailboxAccount& account, uint8_t selector,
                       DeleteOutcome& outcome) {
  TmsRemotePOP& client = *account.Client;
  std::vector<const MessageListEntry*> targets;  // in list order
  for (const TListRow& row : main.lsvMail)
    if (Chosen(main, row, selector) && !row.Data->DeletedOnServer && row.Data->Client == &client)
      targets.push_back(row.Data.get());

  main.CurrentAccount = &account;
  client.OnDeleting = [&main](TObject& sender, int32_t num) { main.msRPOPDeleting(sender, num); };
  struct Unbind {
    TmsRemotePOP& client;
    ~Unbind() { client.OnDeleting = nullptr; }
  } unbind{client};
  client.SetWinsockLoaded(true);  // as a check does before its session

  std::vector<const MessageListEntry*> accepted;
  try {
    client.Connect();
    ServerMessages server(client);
    for (const MessageListEntry* target : targets) {
      // The list may change while the session waits for the server: take what the row says now.
      const TListRow* row = main.RowOf(target);
      if (!row || row->Data->DeletedOnServer) continue;
      const int32_t num = server.Find({target->MessageNumber, target->MessageId, target->Size});
      if (num < 0) {
        ++outcome.Missing;
        continue;
      }
      client.Delete(num);
      if (client.GetReplyCode(client.LastReply) != 1) {
        ++outcome.Refused;
        continue;
      }
      server.Deleted(num);
      accepted.push_back(target);
    }
    // The server removes the messages only when the session ends with "QUIT".
    if (!client.IsOpen()) throw ECanceledError(MailMessageText(msgCanceled));
    client.Disconnect();
  } catch (...) {
    // Dropped without "QUIT", the session deletes nothing, so no row is marked.
    if (client.IsOpen()) client.Close();
    throw;
  }
  for (const MessageListEntry* target : accepted) {
    if (TListRow* row = main.RowOf(target)) {
      row->StateIndex = 3;
      row->Data->DeletedOnServer = true;
    }
  }
}

std::string Messages(int32_t count) {
  return std::to_string(count) + (count == 1 ? " message" : " messages");
}

}  // namespace

// ---- the list ----

void TfrmMain::lsvMailColumnClick(int32_t column) {
  // A running check or deletion works through the rows: their order stays until it ends.
  if (Busy) return;
  SortDescending = column == SortColumn && !SortDescending;
  SortColumn = column;
  ++rowsGeneration_;
  // Each row's key is read once (a date means parsing its header), then the keys are sorted
  // with the same comparison and the rows moved into that order. Equal rows keep their order
  // in either direction.
  std::vector<SortKey> keys;
  keys.reserve(lsvMail.size());
  for (const TListRow& row : lsvMail) keys.push_back(RowSortKey(row));
  std::vector<uint32_t> order(lsvMail.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
  const int direction = SortDescending ? -1 : 1;
  std::stable_sort(order.begin(), order.end(), [&keys, column, direction](uint32_t a, uint32_t b) {
    return CompareSortKeys(column, keys[a], keys[b]) * direction < 0;
  });
  std::vector<TListRow> sorted;
  sorted.reserve(lsvMail.size());
  for (uint32_t i : order) sorted.push_back(std::move(lsvMail[i]));
  lsvMail = std::move(sorted);
}

TfrmMain::SortKey TfrmMain::RowSortKey(const TListRow& row) const {
  SortKey key;
  switch (SortColumn) {
    case 0:
      key.Text = Utf8Lower(row.Caption);
      break;
    case 1:
      key.Text = Utf8Lower(SubItem(row, 0));
      break;
    case 2:
      key.Date = RowDate(*this, row);
      break;
    case 3:
    case 4:
      key.Number = ColumnNumber(SubItem(row, size_t(SortColumn - 1)));
      break;
    default:
      break;
  }
  return key;
}

int TfrmMain::CompareSortKeys(int32_t column, const SortKey& key1, const SortKey& key2) {
  switch (column) {
    case 0:
    case 1:
      return Order(key1.Text, key2.Text);  // folded: "alice" and "Alice" are equal
    case 2:
      return Order(key1.Date, key2.Date);  // instants in whole seconds
    case 3:
    case 4:
      return Order(key1.Number, key2.Number);
    default:
      return 0;
  }
}

int TfrmMain::lsvMailCompare(const TListRow& item1, const TListRow& item2) const {
  return CompareSortKeys(SortColumn, RowSortKey(item1), RowSortKey(item2));
}

bool TfrmMain::RowVisible(const TListRow& row) const {
  if (row.Data && row.Data->Status <= 2 && !ListFilter.Show[row.Data->Status]) return false;
  return ListFilter.Text.empty() || ContainsNoCase(row.Caption, ListFilter.Text) ||
         ContainsNoCase(SubItem(row, 0), ListFilter.Text);
}

void TfrmMain::SetListFilter(const TListFilter& filter) {
  ListFilter = filter;
  DeselectHiddenRows();
}

void TfrmMain::DeselectHiddenRows() {
  if (!Filtering()) return;
  for (TListRow& row : lsvMail)
    if (row.Selected && !RowVisible(row)) row.Selected = row.Focused = false;
}

void TfrmMain::lsvMailClick() {
  const int32_t index = CurrentRow(*this);
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  const TListRow& row = lsvMail[size_t(index)];
  MessageListEntry& entry = *row.Data;
  entry.Unread = false;  // shown now
  redMsgHtml.clear();
  if (entry.BodyRetrieved && entry.Message) {
    StringToString(entry.Message->Body, redMsg);
    redMsgHtml = entry.Message->Html;
  } else if (const TmsRemoteInfoItem* item = DirectoryEntry(entry)) {
    StringToString(item->Headers, redMsg);
    if (item->HeadersCut) redMsg.push_back(kHeadersCutNote);
    ShowLearnedProbability(entry);
  } else {
    // The latest session no longer has the message: show what the row still knows.
    StringToString(
        TStringList{"From: " + row.Caption, "Subject: " + SubItem(row, 0), "Date: " + SubItem(row, 1)},
        redMsg);
  }
}

void TfrmMain::lsvMailKeyUp(int32_t key) {
  if (Busy) return;
  if (key == kDeleteKey) btnDeleteClick();
  // The focused row joins the selection and the preview follows it.
  for (TListRow& row : lsvMail)
    if (row.Focused) row.Selected = true;
  lsvMailClick();
}

void TfrmMain::mnuViewAppliedRulesClick() {
  const int32_t index = CurrentRow(*this);
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  StringToString(lsvMail[size_t(index)].Data->AppliedRules, redMsg);
  ShowLearnedProbability(*lsvMail[size_t(index)].Data);
  redMsgHtml.clear();
}

void TfrmMain::mnuViewMessageHeadersClick() {
  const int32_t index = CurrentRow(*this);
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  const MessageListEntry& entry = *lsvMail[size_t(index)].Data;
  redMsgHtml.clear();
  if (entry.BodyRetrieved && entry.Message)
    StringToString(entry.Message->Headers, redMsg);
  else if (const TmsRemoteInfoItem* item = DirectoryEntry(entry)) {
    StringToString(item->Headers, redMsg);
    if (item->HeadersCut) redMsg.push_back(kHeadersCutNote);
  }
}

void TfrmMain::mnuViewMessageTextClick() {
  const int32_t index = CurrentRow(*this);
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  const MessageListEntry& entry = *lsvMail[size_t(index)].Data;
  if (!entry.BodyRetrieved || !entry.Message) return;
  StringToString(entry.Message->Body, redMsg);
  redMsgHtml = entry.Message->Html;
}

void TfrmMain::StatusBarDblClick() {
  StopRequested = true;
  // The running session may still be looking up its server, without a connection yet.
  for (auto& account : frmOptions.lsvAddress)
    if (account->Client->IsOpen() || (Busy && account.get() == CurrentAccount))
      account->Client->Cancel();
  if (msSMTP.IsOpen() || SendingOutbox) msSMTP.Cancel();
  UnlockWindow();
}

void TfrmMain::pnlMainResize() {
  lsvMailHeight = int32_t(int64_t(pnlMainHeight) * SplitPercent / 100);
}

void TfrmMain::Splitter1Moved() {
  // A panel without height (a minimised window) keeps the proportion it had.
  if (pnlMainHeight <= 0) return;
  SplitPercent = int32_t(int64_t(lsvMailHeight) * 100 / pnlMainHeight);
}

void TfrmMain::cmbSelAddressDropDown() {
  cmbSelAddress.assign(1, "ALL");
  for (const auto& account : frmOptions.lsvAddress) cmbSelAddress.push_back(account->Address);
  if (cmbSelAddressIndex < 0 || size_t(cmbSelAddressIndex) >= cmbSelAddress.size())
    cmbSelAddressIndex = 0;
}

// ---- marking and deletion ----

void TfrmMain::MarkMsg(uint8_t newStatus) {
  if (Busy) return;
  std::vector<const MessageListEntry*> marked;
  for (TListRow& row : lsvMail) {
    if (!row.Selected || !row.Data || row.Data->Status > 2) continue;
    row.Data->Status = newStatus;
    row.ImageIndex = newStatus;
    marked.push_back(row.Data.get());
  }
  // Only the user's marks teach the learner (the rules' own marks would teach it its own
  // guesses); marking a row unknown forgets what it was learned as.
  LearnMarks(marked, newStatus == 0   ? TLearner::TMark::Spam
                     : newStatus == 2 ? TLearner::TMark::Safe
                                      : TLearner::TMark::None);
  DeselectHiddenRows();  // a row the filter now hides leaves the selection
}

bool TfrmMain::ConfirmServerDelete(uint8_t selector) {
  int32_t count = 0;
  for (const TListRow& row : lsvMail)
    if (Chosen(*this, row, selector) && !row.Data->DeletedOnServer) ++count;
  // Nothing to delete, or the user chose not to be asked: the deletion reports for itself.
  if (count == 0 || frmOptions.chkNoDeleteConfirm) return true;
  const std::string text =
      count == 1 ? std::string("Delete 1 message on the server? It cannot be recovered.")
                 : "Delete " + std::to_string(count) +
                       " messages on the server? They cannot be recovered.";
  return desktop.MessageBox(text, "Norva", Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo,
                            Desktop::iconQuestion) == Desktop::mrYes;
}

void TfrmMain::DeleteMsg(uint8_t selector) {
  if (Busy) return;
  if (ArchiveView) {
    DeleteFromArchive(selector);
    return;
  }
  if (!ConfirmServerDelete(selector)) return;
  LockWindow();
  DeleteOutcome outcome;
  bool failed = false;
  std::string failure;
  try {
    for (auto& account : frmOptions.lsvAddress) {
      account->MessageCounter = 0;
      for (const TListRow& row : lsvMail)
        if (Chosen(*this, row, selector) && !row.Data->DeletedOnServer &&
            row.Data->Client == account->Client.get())
          ++account->MessageCounter;
    }
    // One session per mailbox, in list order; a failure ends the whole deletion.
    for (size_t i = 0; i < frmOptions.lsvAddress.size(); ++i) {
      MailboxAccount& account = *frmOptions.lsvAddress[i];
      if (account.MessageCounter > 0) DeleteFromMailbox(*this, account, selector, outcome);
    }
  } catch (const std::exception& e) {
    failed = true;
    failure = ErrorText(e);
  }
  SistemaContatori();
  UnlockWindow();
  std::string note;
  if (outcome.Missing > 0)
    note = Messages(outcome.Missing) + " no longer on the server, left in the list.";
  if (outcome.Refused > 0)
    note += (note.empty() ? "" : " ") + std::string("The server refused to delete ") +
            Messages(outcome.Refused) + ".";
  if (!note.empty()) PutStatusMessage(note);
  if (failed) ShowError(failure);
}

void TfrmMain::DeleteFromArchive(uint8_t selector) {
  const bool done = RunLocked([&] {
    QDB1.SetFileName(ArchiveViewFile);
    try {
      for (size_t i = 0; i < lsvMail.size();) {
        if (Chosen(*this, lsvMail[i], selector) && QDB1.ExactMatch(lsvMail[i].Data->MessageId)) {
          QDB1.KillItem();
          lsvMailDelete(int32_t(i));
        } else {
          ++i;
        }
      }
      // The deleted messages' bytes go from the file, not only from its index.
      if (QDB1.Modified()) QDB1.Pack();
    } catch (...) {
      CloseWithoutSaving(QDB1);
      throw;
    }
    CloseOrDiscard(QDB1);
  });
  // Rows already taken out of the list are still in the file when it could not be written:
  // the list shows the file again.
  if (!done) {
    try {
      LoadArchive(ArchiveViewFile);
    } catch (const std::exception&) {
      // The error was shown; the list stays as it is.
    }
  }
}

void TfrmMain::lsvMailDelete(int32_t index) {
  if (index < 0 || size_t(index) >= lsvMail.size()) return;
  // The row owns its entry, and the entry its retrieved message: the message window lets go.
  if (const MessageListEntry* entry = lsvMail[size_t(index)].Data.get()) {
    if (CurrentEntry == entry) CurrentEntry = nullptr;
    if (entry->Message && CurrentMessage == entry->Message.get()) CurrentMessage = nullptr;
  }
  lsvMail.erase(lsvMail.begin() + index);
  ++rowsGeneration_;
}

void TfrmMain::lsvMailClear() {
  while (!lsvMail.empty()) lsvMailDelete(int32_t(lsvMail.size()) - 1);
}

TListRow* TfrmMain::RowOf(const MessageListEntry* entry) {
  // Mostly the row found last or the newest one. The entry itself is never read: its row, and
  // with it the entry, may be gone.
  for (size_t at : {rowHint_, lsvMail.size() - 1})
    if (at < lsvMail.size() && lsvMail[at].Data.get() == entry) return &lsvMail[rowHint_ = at];
  for (size_t at = 0; at < lsvMail.size(); ++at)
    if (lsvMail[at].Data.get() == entry) return &lsvMail[rowHint_ = at];
  return nullptr;
}

}  // namespace norva
