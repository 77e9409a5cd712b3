// ServerMessages: matching list rows to the messages of an open POP3 session.
#include "app/ServerMessages.h"

#include "mail/msCls.h"
#include "mail/msmb.h"

namespace norva {

int32_t ServerMessages::Find(const MessageIdentity& message) {
  if (Holds(message.Number, message)) return message.Number;
  // Without a Message-ID only the expected position can vouch for the message.
  if (message.MessageId.empty()) return -1;
  for (int32_t num = 0; num < client_.MessageCount; ++num)
    if (num != message.Number && Holds(num, message)) return num;
  return -1;
}

bool ServerMessages::Holds(int32_t num, const MessageIdentity& message) {
  if (num < 0 || num >= client_.MessageCount) return false;
  auto it = known_.find(num);
  if (it == known_.end()) {
    Known known;
    TmsRemoteInfoItem item;
    try {
      client_.FetchItemInfo(num, item);
      known.Present = true;
      known.MessageId = MessageKey(item.Headers);
      known.Size = item.Size;
    } catch (const EServerError&) {
      // No such message: the position holds nothing to match.
    }
    it = known_.emplace(num, std::move(known)).first;
  }
  const Known& known = it->second;
  return known.Present && !known.Deleted && known.MessageId == message.MessageId &&
         known.Size == message.Size;
}

}  // namespace norva
