// The texts Norva shows outside its window: the new-mail notification and the tray's tooltip.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace norva {

// What one mailbox brought in a check: its name and the new messages that are not spam.
struct MailboxNews {
  struct Item {
    std::string From, Subject;
  };
  std::string Mailbox;
  std::vector<Item> Items;
};

// The name a "From" value shows ("Name <address>", "address (Name)", a bare address); the
// address when there is no name; the text as it is when it does not parse.
std::string SenderName(const std::string& from);

// "1 new message", "3 new messages".
std::string NewMessagesTitle(size_t count);

// One block per mailbox with news: "<mailbox>: N new", then its first `shown` senders and
// subjects, then "and N more". Mailboxes without news are left out; "" when none has any.
std::string NewMailText(const std::vector<MailboxNews>& news, size_t shown = 3);

// The counts of one mailbox as the tray's tooltip gives them.
struct MailboxCounts {
  std::string Mailbox;
  int New = 0, Spam = 0, Total = 0;
  bool Failing = false;  // its last check failed
};

// "Norva", one line per mailbox, then when the next check is due (nextCheck as the status bar
// shows it: "dd/mm/yy hh:nn - ACCOUNT", or "Manual Check").
std::string TrayHintText(const std::vector<MailboxCounts>& mailboxes,
                         const std::string& nextCheck);

}  // namespace norva
