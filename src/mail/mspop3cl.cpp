// TmsRemotePOP: the remote message directory and the saving of retrieved messages.
#include "mail/mspop3cl.h"

namespace norva {

void TmsRemoteInfo::Clear() {
  while (!items_.empty()) items_.pop_back();  // last first
}

void TmsRemotePOP::SetMessageDirectory(const std::string& folder) {
  messageDirectory_ = folder;
  if (!folder.empty() && folder.back() != '/') messageDirectory_ += '/';
}

void TmsRemotePOP::UpdateInfo() {
  Connect();
  if (OnUpdatingInfo) OnUpdatingInfo(*this);
  MessageInfo.Clear();
  for (int32_t num = 0; num < MessageCount; ++num) {
    auto item = std::make_unique<TmsRemoteInfoItem>();
    FetchItemInfo(num, *item);
    MessageInfo.Add(std::move(item));
    if (OnNextInfoUpdated) OnNextInfoUpdated(*this, MessageInfo.Count() - 1);
  }
  Disconnect();
  if (OnInfoUpdated) OnInfoUpdated(*this);
}

void TmsRemotePOP::FetchItemInfo(int32_t num, TmsRemoteInfoItem& item) {
  const std::string number = std::to_string(int64_t(num) + 1);
  SendLine("LIST " + number);
  ExpectPositive();
  item.Size = ListedSize();
  SendLine("TOP " + number + " 1");
  ExpectPositive();
  TMemoryStream block;
  ReceiveData(-1, block);
  TStringList lines = SplitLines(RemoveDotStuffing(block.Bytes()));
  TruncateAtBlankLine(lines);
  item.Headers.assign(lines.begin(), lines.end());
}

void TmsRemotePOP::SaveMessage(int32_t num, TMemoryStream& stream) {
  if (OnUserMessageSave) {
    stream.Seek(0, TSeekOrigin::soEnd);
    OnUserMessageSave(*this, num, stream);
    return;
  }
  stream.SaveToFile(messageDirectory_ + "msg_" + std::to_string(num) + ".eml");
}

}  // namespace norva
