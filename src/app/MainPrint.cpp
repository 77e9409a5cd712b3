// Printing the selected messages: each a short header summary between two rule lines, then the
// body, as plain lines in a small fixed-pitch font, one print job with a page per message.
#include <exception>
#include <string>
#include <vector>

#include "app/Main.h"
#include "mail/msCls.h"

namespace norva {

namespace {

// A header value prints as one line: a decoded value can carry line breaks or other control
// bytes, which would split the line or upset the printer, so they become spaces.
std::string OneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return line;
}

std::string AddressText(const TmsMailAddress& address) {
  return OneLine(address.Name.str() + "<" + address.Address.str() + ">");
}

std::vector<std::string> MessageLines(const TmsMessage& message) {
  const std::string rule(80, '_');
  // Only the first recipient is printed; without any the line stays empty after its label.
  std::string to;
  if (message.Recipients.Count() > 0) to = AddressText(message.Recipients.Items(0));
  std::vector<std::string> lines = {
      "",
      rule,
      "",
      "From:     " + AddressText(message.Sender),
      "To:       " + to,
      "Subject:  " + OneLine(message.Subject.str()),
      "Date:     " + OneLine(GetFieldValue(message.Headers, "Date")),
      rule,
      "",
  };
  lines.insert(lines.end(), message.Body.begin(), message.Body.end());
  return lines;
}

}  // namespace

void TfrmMain::PrintMsg(const std::vector<const TmsMessage*>& messages) {
  std::vector<std::string> lines;
  for (const TmsMessage* message : messages) {
    if (!lines.empty()) lines.push_back(std::string(1, Desktop::kPageBreak));
    const std::vector<std::string> one = MessageLines(*message);
    lines.insert(lines.end(), one.begin(), one.end());
  }
  // The platform shows the print dialog; a cancelled dialog prints nothing.
  if (!lines.empty()) desktop.PrintLines(lines, "Courier New", 8);
}

void TfrmMain::btnPrintClick() {
  if (Busy) return;
  std::vector<MessageListEntry*> chosen;  // in list order
  bool toRead = false;
  for (TListRow& row : lsvMail) {
    if (!row.Selected || !row.Data) continue;
    chosen.push_back(row.Data.get());
    toRead = toRead || !row.Data->BodyRetrieved || !row.Data->Message;
  }
  if (chosen.empty()) return;
  // Archived rows, and rows read before, already hold the whole message; reading the others
  // locks the window like every other session.
  if (toRead && !RunLocked([&] {
        for (MessageListEntry* entry : chosen)
          if (RowOf(entry) && (!entry->BodyRetrieved || !entry->Message)) LeggiMsg(*entry, true);
      }))
    return;
  std::vector<const TmsMessage*> messages;
  for (MessageListEntry* entry : chosen) {
    // A row may have gone while the session waited; a retrieval that produced no message
    // leaves nothing to print.
    if (RowOf(entry) && entry->BodyRetrieved && entry->Message)
      messages.push_back(entry->Message.get());
  }
  try {
    PrintMsg(messages);
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
}

}  // namespace norva
