// TmsRemotePOP: the POP3 client with its remote message directory (sizes and header blocks).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/msCls.h"
#include "mail/mspop3.h"

namespace norva {

using TmsUserMsgSaveEvent =
    std::function<void(TObject& sender, int32_t num, TMemoryStream& contents)>;

// The directory entry of one message.
struct TmsRemoteInfoItem {
  int32_t Size = 0;    // from "LIST"; 0 when not a number
  TmsHeaders Headers;  // the header lines, ending before the first empty line
  // The header block was longer than TmsRemotePOP::kMaxHeaderBlock: Headers holds its start.
  bool HeadersCut = false;
};

class TmsRemoteInfo {
 public:
  int32_t Count() const { return int32_t(items_.size()); }
  TmsRemoteInfoItem& Items(int32_t i) { return *items_.at(size_t(i)); }
  void Add(std::unique_ptr<TmsRemoteInfoItem> item) { items_.push_back(std::move(item)); }
  void Clear();

 private:
  std::vector<std::unique_ptr<TmsRemoteInfoItem>> items_;
};

class TmsRemotePOP : public TmsCustomPOP {
 public:
  // The most of a "TOP" reply kept; the rest is read and dropped, within one time-out.
  static constexpr int64_t kMaxHeaderBlock = 256 * 1024;

  const std::string& MessageDirectory() const { return messageDirectory_; }
  // A non-empty folder gets a trailing "/".
  void SetMessageDirectory(const std::string& folder);

  // Lets UpdateInfo ask for the server's capabilities ("CAPA"): when it announces PIPELINING the
  // walk sends the commands for many messages at a time, and when it announces UTF8 the session
  // and every later one with that server and user send "UTF8" (before "STAT" once known). Off:
  // no CAPA, no UTF8, one command at a time.
  bool Pipelining = false;
  TmsRemoteInfo MessageInfo;
  TNotifyEvent OnUpdatingInfo, OnInfoUpdated, OnTransferringData, OnDataTransfered;
  TmsNumNotifyEvent OnNextInfoUpdated;
  TmsUserMsgSaveEvent OnUserMessageSave;

  // Walks the whole mailbox: size and header block of every message, one event per message.
  void UpdateInfo();
  // The last UpdateInfo found PIPELINING and sent the commands of many messages at a time.
  bool WalkedPipelined() const { return walkedPipelined_; }
  void FetchItemInfo(int32_t num, TmsRemoteInfoItem& item);
  void SaveMessage(int32_t num, TMemoryStream& stream) override;

 private:
  // Sends "CAPA"; true when the answer lists PIPELINING. Notes whether it lists UTF8. A refusal
  // means no capabilities.
  bool ServerPipelines();
  void LoggedIn() override;
  // Who the capabilities are known for: the server as named and the user.
  std::string Peer() const { return Server + "\n" + UserName; }
  // The walk with the commands for up to kPipelineDepth messages on the wire at a time.
  void UpdateInfoPipelined();
  // The replies to "LIST n" and "TOP n 1", read into item.
  void ReadListReply(TmsRemoteInfoItem& item);
  void ReadTopReply(TmsRemoteInfoItem& item);
  // Reads and drops the replies still owed after a refusal in the middle of a batch: the one
  // to "TOP" of the refused message when topOwed, then both replies of messages from..end-1.
  // A failure here closes the connection.
  void SkipReplies(bool topOwed, int64_t from, int64_t end);
  // Reads the replies of the batch on its way into inFlight_; a failure is kept there, to be
  // raised once the entries before it have had their events.
  void CollectInFlight();
  // Every command but the batch's own goes out after the batch's replies are collected.
  void BeforeSend() override;

  // The commands of messages first..end-1 sent, and what their replies gave once collected.
  struct Batch {
    int64_t first = 0, end = 0;
    bool active = false, collected = false;
    std::vector<std::unique_ptr<TmsRemoteInfoItem>> read;
    std::exception_ptr failure;
    std::string refusal;  // the reply line of the failure
  };

  std::string messageDirectory_;
  bool walkedPipelined_ = false;
  std::string utf8Peer_;  // the Peer whose last CAPA listed UTF8, "" for none
  Batch inFlight_;
  std::string topBlock_;  // the kept part of the last "TOP" block, kept for its capacity
};

}  // namespace norva
