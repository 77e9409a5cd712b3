// ServerMessages: finds, in an open POP3 session, the message a list row shows, so that a
// command never acts on another message after the mailbox changed or the list was re-sorted.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "mail/mspop3cl.h"

namespace norva {

// What a message on the server is known by: its Message-ID and its size.
struct MessageIdentity {
  int32_t Number = -1;  // where the row expects it
  std::string MessageId;
  int32_t Size = 0;
};

// The messages of the open session, each read ("LIST n", "TOP n 1") when first needed, so that a
// command only ever goes to the message a row shows.
class ServerMessages {
 public:
  explicit ServerMessages(TmsRemotePOP& client) : client_(client) {}

  // The message's position in this session, or -1 when the server no longer has it.
  int32_t Find(const MessageIdentity& message);
  void Deleted(int32_t num) { known_[num].Deleted = true; }

 private:
  struct Known {
    bool Present = false;
    bool Deleted = false;
    std::string MessageId;
    int32_t Size = 0;
  };

  bool Holds(int32_t num, const MessageIdentity& message);

  TmsRemotePOP& client_;
  std::map<int32_t, Known> known_;
};

}  // namespace norva
