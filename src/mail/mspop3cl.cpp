// TmsRemotePOP: the remote message directory and the saving of retrieved messages.
#include "mail/mspop3cl.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

namespace norva {
namespace {

// Messages whose "LIST" and "TOP" go out in one write. The write stays within a few KB, far
// below any socket's send buffer: it never waits for the server to read while the server waits
// for us to read its replies.
constexpr int64_t kPipelineDepth = 64;

bool IsCapability(std::string_view line, std::string_view name) {
  line = line.substr(0, line.find(' '));
  return std::equal(line.begin(), line.end(), name.begin(), name.end(), [](char a, char b) {
    return (a >= 'a' && a <= 'z' ? char(a - 32) : a) == b;
  });
}

// The header lines of a "TOP" data block as received: the dot-stuffing undone, each line
// without its LF and one CR before it, ending before the first empty line or the final "."
// line. One pass over the block, each line copied once. Of a block cut short (cut), a last
// line without its LF is dropped. True when the header block ended within the block.
bool ReadHeaderLines(std::string_view block, bool cut, TmsHeaders& lines) {
  lines.clear();
  // Room for the lines up to the first empty one, which is all that is kept of the block.
  const size_t blank = std::min(block.find("\n\r\n"), block.find("\n\n"));
  const std::string_view kept = block.substr(0, blank == std::string_view::npos ? blank : blank + 1);
  lines.reserve(kept.size(), size_t(std::count(kept.begin(), kept.end(), '\n')) + 1);
  for (size_t pos = 0; pos < block.size();) {
    const size_t lf = block.find('\n', pos);
    if (lf == std::string_view::npos && cut) return false;
    const size_t end = lf == std::string_view::npos ? block.size() : lf + 1;
    std::string_view line = block.substr(pos, end - pos);
    if (line == ".\r\n" || line == ".\n" || line == ".") return true;  // the terminating line
    if (line.front() == '.') line.remove_prefix(1);
    if (lf != std::string_view::npos) {
      line.remove_suffix(1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    if (line.empty()) return true;  // the header block ends here
    lines.emplace_back(line);
    pos = end;
  }
  return !cut;
}

// Keeps the first cap bytes written to it in kept and counts the rest away.
class TCappedStream : public TStream {
 public:
  TCappedStream(std::string& kept, int64_t cap) : kept_(kept), cap_(cap) { kept_.clear(); }

  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t room = std::max<int64_t>(cap_ - int64_t(kept_.size()), 0);
    kept_.append(static_cast<const char*>(buffer), size_t(std::min(room, count)));
    size_ += count;
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }
  void SetSize(int64_t) override {}
  bool Cut() const { return size_ > cap_; }

 private:
  std::string& kept_;
  int64_t cap_;
  int64_t size_ = 0;
};

}  // namespace

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
  const bool asked = Pipelining && MessageCount > 0;
  walkedPipelined_ = asked && ServerPipelines();
  if (asked && !utf8Peer_.empty() && !Utf8Mode()) StartUtf8();
  if (walkedPipelined_) {
    UpdateInfoPipelined();
  } else {
    for (int32_t num = 0; num < MessageCount; ++num) {
      auto item = std::make_unique<TmsRemoteInfoItem>();
      FetchItemInfo(num, *item);
      MessageInfo.Add(std::move(item));
      if (OnNextInfoUpdated) OnNextInfoUpdated(*this, MessageInfo.Count() - 1);
    }
  }
  Disconnect();
  if (OnInfoUpdated) OnInfoUpdated(*this);
}

bool TmsRemotePOP::ServerPipelines() {
  SendLine("CAPA");
  bool pipelining = false, utf8 = false;
  Counter.Start();  // the whole list is one reply
  if (ReadNextLine(LastReply) == 1) {
    std::string line;
    for (int lines = 0;; ++lines) {
      ReadNextLine(line);
      if (line == ".") break;
      if (lines == kMaxReplyLines) RaiseReplyTooLong();
      std::string_view capability(line);
      if (!capability.empty() && capability.front() == '.') capability.remove_prefix(1);
      if (IsCapability(capability, "PIPELINING")) pipelining = true;
      if (IsCapability(capability, "UTF8")) utf8 = true;
    }
  }
  Counter.Stop();
  utf8Peer_ = utf8 ? Peer() : std::string();
  return pipelining;
}

void TmsRemotePOP::LoggedIn() {
  // A session that reads no capabilities still reads messages as the last CAPA allowed.
  if (Pipelining && !utf8Peer_.empty() && utf8Peer_ == Peer()) StartUtf8();
}

// Entries and events come as the lock-step walk gives them, a batch at a time. Each batch's
// replies are all read before its first event, and the next batch's commands go out before
// those events, so the server works on them while the events run. A handler's own command (a
// rule's "LIST", "TOP", "DELE" or "RETR") first collects the replies of the batch on its way:
// the socket's every send runs BeforeSend, and only the batch itself goes out around it.
void TmsRemotePOP::UpdateInfoPipelined() {
  std::vector<std::string> commands;
  auto send = [&](int64_t first) {
    const int64_t end = std::min<int64_t>(MessageCount, first + kPipelineDepth);
    commands.clear();
    for (int64_t num = first; num < end; ++num) {
      const std::string number = std::to_string(num + 1);
      commands.push_back("LIST " + number);
      commands.push_back("TOP " + number + " 1");
    }
    SendLinesAhead(commands);
    inFlight_ = Batch{};
    inFlight_.first = first;
    inFlight_.end = end;
    inFlight_.active = true;
  };

  send(0);
  while (inFlight_.active) {
    if (!inFlight_.collected) CollectInFlight();
    Batch batch = std::move(inFlight_);
    inFlight_ = Batch{};
    std::exception_ptr sendFailure;  // raised after this batch's events, as lock-step would
    if (!batch.failure && batch.end < MessageCount) {
      try {
        send(batch.end);
      } catch (...) {
        sendFailure = std::current_exception();
        if (IsOpen()) Close();
      }
    }
    try {
      for (auto& item : batch.read) {
        MessageInfo.Add(std::move(item));
        if (OnNextInfoUpdated) OnNextInfoUpdated(*this, MessageInfo.Count() - 1);
      }
    } catch (...) {
      // The walk ends here: the replies still on their way must not meet a later command.
      if (inFlight_.active && !inFlight_.collected) CollectInFlight();
      inFlight_ = Batch{};
      throw;
    }
    if (batch.failure) {
      LastReply = batch.refusal;
      std::rethrow_exception(batch.failure);
    }
    if (sendFailure) std::rethrow_exception(sendFailure);
  }
}

void TmsRemotePOP::CollectInFlight() {
  Batch& batch = inFlight_;
  batch.collected = true;
  bool topOwed = false;
  try {
    for (int64_t num = batch.first; num < batch.end; ++num) {
      auto item = std::make_unique<TmsRemoteInfoItem>();
      topOwed = true;
      ReadListReply(*item);
      topOwed = false;
      ReadTopReply(*item);
      batch.read.push_back(std::move(item));
    }
  } catch (const EServerError&) {
    // Refused: the session stays usable, as after a refusal in the lock-step walk, once the
    // replies to the commands behind the refused one are out of the way.
    batch.failure = std::current_exception();
    batch.refusal = LastReply;
    SkipReplies(topOwed, batch.first + int64_t(batch.read.size()) + 1, batch.end);
    LastReply = batch.refusal;
  } catch (...) {
    // Replies still owed could be taken for those of later commands: the session ends.
    batch.failure = std::current_exception();
    batch.refusal = LastReply;
    if (IsOpen()) Close();
  }
}

void TmsRemotePOP::BeforeSend() {
  if (inFlight_.active && !inFlight_.collected) CollectInFlight();
}

void TmsRemotePOP::SkipReplies(bool topOwed, int64_t from, int64_t end) {
  // The dropped blocks belong to no entry: no progress for them.
  TmsProgressEvent progress = std::exchange(OnProgress, nullptr);
  try {
    std::string line, kept;
    for (int64_t num = topOwed ? from - 1 : from; num < end; ++num) {
      if (num >= from) ReadLine(line);  // "LIST"
      if (ReadLine(line) == 1) {        // "TOP" and, when positive, its block
        TCappedStream dropped(kept, 0);
        ReceiveData(-1, dropped, -1, kMaxHeaderBlock);
      }
    }
  } catch (...) {
    if (IsOpen()) Close();
  }
  OnProgress = std::move(progress);
}

void TmsRemotePOP::FetchItemInfo(int32_t num, TmsRemoteInfoItem& item) {
  const std::string number = std::to_string(int64_t(num) + 1);
  SendLine("LIST " + number);
  ReadListReply(item);
  SendLine("TOP " + number + " 1");
  ReadTopReply(item);
}

void TmsRemotePOP::ReadListReply(TmsRemoteInfoItem& item) {
  ExpectPositive();
  item.Size = ListedSize();
}

void TmsRemotePOP::ReadTopReply(TmsRemoteInfoItem& item) {
  ExpectPositive();
  // However long the block, what is kept stays small, and the rest of an endless one ends with
  // the time-out.
  TCappedStream block(topBlock_, kMaxHeaderBlock);
  ReceiveData(-1, block, DataLimit(item.Size), kMaxHeaderBlock);
  item.HeadersCut = !ReadHeaderLines(topBlock_, block.Cut(), item.Headers);
}

void TmsRemotePOP::SaveMessage(int32_t num, TMemoryStream& stream) {
  if (OnUserMessageSave) {
    stream.Seek(0, TSeekOrigin::soEnd);
    OnUserMessageSave(*this, num, stream);
    return;
  }
  const std::string file = messageDirectory_ + "msg_" + std::to_string(num) + ".eml";
  if (!Spooled()) {
    stream.SaveToFile(file);
    return;
  }
  // The whole message, not the head: copied from the temporary file in bounded pieces.
  TFileStream source(SpoolFile(), TFileStream::fmOpenRead);
  TFileStream target(file, TFileStream::fmCreate);
  target.CopyFrom(source, 0);
}

}  // namespace norva
