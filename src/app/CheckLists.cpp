// Check lists as the rules test them: reading, the lookup structures, and the file cache.
#include "app/CheckLists.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>

#include <sys/statfs.h>

#include "mail/mscharset.h"
#include "mail/msutils.h"
#include "store/FileIO.h"
#include "store/Streams.h"

namespace norva {
namespace {

unsigned char Fold(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// Lower case in every script; plain ASCII folded in place.
std::string Folded(std::string_view text) {
  if (!IsAscii(text)) return Utf8Lower(text);
  std::string folded(text);
  for (char& c : folded) c = char(Fold(static_cast<unsigned char>(c)));
  return folded;
}

// The file's bytes as reading it now gives them; false when it does not exist.
bool ReadBytes(const std::string& path, std::string& bytes) {
  TMemoryStream file;
  try {
    file.LoadFromFile(path);
  } catch (const EStreamError& e) {
    if (e.Errno == ENOENT) return false;
    throw;
  }
  bytes = file.Bytes();
  return true;
}

// The list its bytes give, which keeps them when asked to.
std::shared_ptr<const TCheckList> ListOf(std::string bytes, bool keepBytes) {
  TStringList lines;
  for (std::string& line : SplitLines(bytes))
    if (!line.empty() && line[0] != ';') lines.push_back(std::move(line));
  if (!keepBytes) bytes.clear();
  return std::make_shared<TCheckList>(std::move(lines), std::move(bytes));
}

std::shared_ptr<const TCheckList> ReadList(const std::string& path) {
  std::string bytes;
  if (!ReadBytes(path, bytes)) return std::make_shared<TCheckList>(TStringList{});
  return ListOf(std::move(bytes), false);
}

bool SameStamp(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Local file systems that stamp files to the nanosecond from the kernel's coarse clock.
bool FineStamps(const std::string& path, const struct stat& status) {
  if (status.st_mtim.tv_nsec == 0 || status.st_ctim.tv_nsec == 0) return false;  // whole seconds
  struct statfs fs {};
  if (statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x01021994:  // tmpfs
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0xF2F52010:  // f2fs
    case 0x794C7630:  // overlay
      return true;
    default:
      return false;  // network and foreign file systems: other clocks, coarser stamps
  }
}

// File times advance in clock ticks: a file changed shortly before it was read may change
// again, at the same size, without its times moving. On a file system with fine stamps taken
// from the coarse clock, a change after a read stamps the file with a time at least that of the
// read; a margin of some clock ticks leaves room for a write still copying when it was stamped.
bool Settled(const std::string& path, const struct stat& status, const timespec& readAt,
             const timespec& coarseReadAt, int settleSeconds) {
  const time_t changed = std::max(status.st_ctim.tv_sec, status.st_mtim.tv_sec);
  if (readAt.tv_sec - changed >= settleSeconds) return true;
  const auto nanoseconds = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  constexpr int64_t kMargin = 20'000'000;
  const int64_t latest = std::max(nanoseconds(status.st_ctim), nanoseconds(status.st_mtim));
  return nanoseconds(coarseReadAt) - latest >= kMargin && FineStamps(path, status);
}

}  // namespace

// ---- TTextMatcher: an Aho-Corasick automaton over the lower-case texts ----

TTextMatcher::TTextMatcher(const TStringList& needles) : rootChild_(256, 0) {
  nodes_.emplace_back();
  for (const std::string& text : needles) {
    if (text.empty()) continue;  // an empty text occurs nowhere
    const std::string needle = Folded(text);
    int32_t node = 0;
    for (char c : needle) {
      const unsigned char b = Fold(static_cast<unsigned char>(c));
      int32_t next = Child(node, b);
      if (next < 0) {
        next = int32_t(nodes_.size());
        Node added;
        added.byte = b;
        added.nextSibling = nodes_[size_t(node)].firstChild;
        nodes_.push_back(added);
        nodes_[size_t(node)].firstChild = next;
        if (node == 0) rootChild_[b] = next;
      }
      node = next;
    }
    nodes_[size_t(node)].matches = true;
  }
  // Failure links breadth first: the longest proper suffix of a node's text that is a node.
  std::deque<int32_t> queue;
  for (int32_t c = nodes_[0].firstChild; c >= 0; c = nodes_[size_t(c)].nextSibling)
    queue.push_back(c);
  while (!queue.empty()) {
    const int32_t node = queue.front();
    queue.pop_front();
    for (int32_t c = nodes_[size_t(node)].firstChild; c >= 0; c = nodes_[size_t(c)].nextSibling) {
      const unsigned char b = nodes_[size_t(c)].byte;
      int32_t f = nodes_[size_t(node)].fail;
      int32_t target;
      while ((target = Child(f, b)) < 0 && f != 0) f = nodes_[size_t(f)].fail;
      nodes_[size_t(c)].fail = target < 0 ? 0 : target;
      if (nodes_[size_t(nodes_[size_t(c)].fail)].matches) nodes_[size_t(c)].matches = true;
      queue.push_back(c);
    }
  }
  firstEdge_.reserve(nodes_.size() + 1);
  edges_.reserve(nodes_.empty() ? 0 : nodes_.size() - 1);
  for (const Node& node : nodes_) {
    firstEdge_.push_back(int32_t(edges_.size()));
    for (int32_t c = node.firstChild; c >= 0; c = nodes_[size_t(c)].nextSibling)
      edges_.push_back({nodes_[size_t(c)].byte, c});
  }
  firstEdge_.push_back(int32_t(edges_.size()));
}

int32_t TTextMatcher::Child(int32_t node, unsigned char byte) const {
  if (node == 0) return rootChild_.empty() || !rootChild_[byte] ? -1 : rootChild_[byte];
  for (int32_t c = nodes_[size_t(node)].firstChild; c >= 0; c = nodes_[size_t(c)].nextSibling)
    if (nodes_[size_t(c)].byte == byte) return c;
  return -1;
}

int32_t TTextMatcher::Next(int32_t node, unsigned char byte) const {
  const Edge* edge = edges_.data() + firstEdge_[size_t(node)];
  const Edge* const end = edges_.data() + firstEdge_[size_t(node) + 1];
  for (; edge != end; ++edge)
    if (edge->byte == byte) return edge->to;
  return -1;
}

bool TTextMatcher::OccursIn(std::string_view text) const {
  // Text beyond ASCII is lowered first, as the texts were; ASCII is folded byte by byte below.
  std::string lowered;
  if (!IsAscii(text)) text = lowered = Utf8Lower(text);
  int32_t node = 0;
  for (char c : text) {
    const unsigned char b = Fold(static_cast<unsigned char>(c));
    for (;;) {
      if (node == 0) {
        node = rootChild_[b];
        break;
      }
      const int32_t next = Next(node, b);
      if (next >= 0) {
        node = next;
        break;
      }
      node = nodes_[size_t(node)].fail;
    }
    if (nodes_[size_t(node)].matches) return true;
  }
  return false;
}

// ---- TCheckList ----

bool TCheckList::HasAddress(std::string_view address) const {
  if (!addressesBuilt_) {
    for (const std::string& line : lines_)
      (line.find('@') == std::string::npos ? domains_ : addresses_).insert(Folded(line));
    addressesBuilt_ = true;
  }
  const size_t at = address.find('@');
  const std::string_view domain = at == std::string_view::npos ? address : address.substr(at + 1);
  return (!addresses_.empty() && addresses_.count(Folded(address))) ||
         (!domains_.empty() && domains_.count(Folded(domain)));
}

bool TCheckList::OccursIn(std::string_view text) const {
  if (!matcher_) matcher_ = std::make_unique<TTextMatcher>(lines_);
  return matcher_->OccursIn(text);
}

// ---- TCheckListFiles ----

void TCheckListFiles::NewCheck() {
  for (auto& [path, cached] : files_) cached.looked = false;
}

std::shared_ptr<const TCheckList> TCheckListFiles::Get(const std::string& path) {
  const auto now = std::chrono::steady_clock::now();
  auto found = files_.find(path);
  if (found != files_.end() && found->second.looked && now - found->second.lookedAt < StatInterval)
    return found->second.list;
  struct stat status {};
  if (fileio::Stat(path, status) != 0 || !S_ISREG(status.st_mode)) {
    // Gone, unreachable or no plain file: whatever reading it gives; an empty list is kept
    // until the file is looked at again.
    std::shared_ptr<const TCheckList> list = ReadList(path);
    files_[path] = {{}, list, false, now, true};
    return list;
  }
  if (found != files_.end() && SameStamp(found->second.status, status) && found->second.settled) {
    found->second.lookedAt = now;
    found->second.looked = true;
    return found->second.list;
  }
  timespec readAt{}, coarseReadAt{};
  clock_gettime(CLOCK_REALTIME, &readAt);
  clock_gettime(CLOCK_REALTIME_COARSE, &coarseReadAt);
  // Changed after the stat, the file shows other times when it is looked at again.
  std::string bytes;
  if (!ReadBytes(path, bytes)) {
    std::shared_ptr<const TCheckList> list = std::make_shared<TCheckList>(TStringList{});
    files_[path] = {{}, list, false, now, true};
    return list;
  }
  const bool settled = Settled(path, status, readAt, coarseReadAt, SettleSeconds);
  if (found != files_.end() && SameStamp(found->second.status, status) &&
      found->second.list->Bytes() == bytes) {
    // The same bytes as last time: the prepared list stands.
    found->second.settled = settled;
    found->second.lookedAt = now;
    found->second.looked = true;
    return found->second.list;
  }
  std::shared_ptr<const TCheckList> list = ListOf(std::move(bytes), !settled);
  files_[path] = {status, list, settled, now, true};
  return list;
}

}  // namespace norva
