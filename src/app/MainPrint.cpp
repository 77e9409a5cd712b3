// Printing the selected message: a short header summary between two rule lines, then the body,
// as plain lines in a small fixed-pitch font.
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

void TfrmMain::PrintMsg(TmsMessage& message) {
  // The platform shows the print dialog; a cancelled dialog prints nothing.
  desktop.PrintLines(MessageLines(message), "Courier New", 8);
}

void TfrmMain::btnPrintClick() {
  if (Busy) return;
  int32_t index = SelectedIndex();
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  MessageListEntry& entry = *lsvMail[size_t(index)].Data;
  // Archived rows, and rows read before, already hold the whole message; reading one locks the
  // window like every other session.
  if ((!entry.BodyRetrieved || !entry.Message) && !RunLocked([&] { LeggiMsg(entry, true); }))
    return;
  // A retrieval that produced no message leaves nothing to print.
  if (!entry.BodyRetrieved || !entry.Message) return;
  try {
    PrintMsg(*entry.Message);
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
}

}  // namespace norva
