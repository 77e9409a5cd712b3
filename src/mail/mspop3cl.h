// TmsRemotePOP: the POP3 client with its remote message directory (sizes and header blocks).
#pragma once

#include <cstdint>
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
  const std::string& MessageDirectory() const { return messageDirectory_; }
  // A non-empty folder gets a trailing "/".
  void SetMessageDirectory(const std::string& folder);

  TmsRemoteInfo MessageInfo;
  TNotifyEvent OnUpdatingInfo, OnInfoUpdated, OnTransferringData, OnDataTransfered;
  TmsNumNotifyEvent OnNextInfoUpdated;
  TmsUserMsgSaveEvent OnUserMessageSave;

  // Walks the whole mailbox: size and header block of every message, one event per message.
  void UpdateInfo();
  void FetchItemInfo(int32_t num, TmsRemoteInfoItem& item);
  void SaveMessage(int32_t num, TMemoryStream& stream) override;

 private:
  std::string messageDirectory_;
};

}  // namespace norva
