// The texts Norva shows outside its window.
#include "app/Notices.h"

#include "mail/msCls.h"

namespace norva {

std::string SenderName(const std::string& from) {
  TmsMailAddress address;
  try {
    ParseAddress(from, address);
  } catch (const std::exception&) {
    return Trim(from);
  }
  std::string name = Trim(std::string(address.Name));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    name = Trim(name.substr(1, name.size() - 2));
  if (!name.empty()) return name;
  const std::string bare = Trim(std::string(address.Address));
  return bare.empty() ? Trim(from) : bare;
}

std::string NewMessagesTitle(size_t count) {
  return std::to_string(count) + (count == 1 ? " new message" : " new messages");
}

std::string NewMailText(const std::vector<MailboxNews>& news, size_t shown) {
  std::string text;
  for (const MailboxNews& box : news) {
    if (box.Items.empty()) continue;
    if (!text.empty()) text += "\n";
    text += box.Mailbox + ": " + std::to_string(box.Items.size()) + " new";
    for (size_t i = 0; i < box.Items.size() && i < shown; ++i) {
      const MailboxNews::Item& item = box.Items[i];
      const std::string from = SenderName(item.From);
      text += "\n" + (from.empty() ? std::string("(no sender)") : from) + ": " +
              (item.Subject.empty() ? std::string("(no subject)") : item.Subject);
    }
    if (box.Items.size() > shown)
      text += "\nand " + std::to_string(box.Items.size() - shown) + " more";
  }
  return text;
}

std::string TrayHintText(const std::vector<MailboxCounts>& mailboxes,
                         const std::string& nextCheck) {
  std::string text = "Norva";
  for (const MailboxCounts& box : mailboxes) {
    text += "\n" + box.Mailbox + ": " + std::to_string(box.New) + " new, " +
            std::to_string(box.Spam) + " spam, " + std::to_string(box.Total) + " in all";
    if (box.Failing) text += " (last check failed)";
  }
  if (mailboxes.empty()) text += "\nNo mailbox yet";
  if (nextCheck.empty() || nextCheck == "Manual Check")
    text += "\nChecked manually";
  else
    text += "\nNext check: " + nextCheck;
  return text;
}

}  // namespace norva
