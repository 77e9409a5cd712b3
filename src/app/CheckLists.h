// Check lists as the rules test them: the usable lines of a "CL" + n + ".txt" file, prepared for
// the address and string tests, and kept in memory for as long as the file stays the same.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mail/msCls.h"

namespace norva {

// Whether any of a set of texts occurs in a text, without regard to letter case in any script:
// one pass over the text, however many texts the set holds.
class TTextMatcher {
 public:
  explicit TTextMatcher(const TStringList& needles);
  bool OccursIn(std::string_view text) const;

 private:
  struct Node {
    int32_t firstChild = -1, nextSibling = -1;
    int32_t fail = 0;
    unsigned char byte = 0;
    bool matches = false;  // a needle ends here or at a node its failure chain reaches
  };
  struct Edge {
    unsigned char byte;
    int32_t to;
  };
  int32_t Child(int32_t node, unsigned char byte) const;  // while building
  int32_t Next(int32_t node, unsigned char byte) const;   // once built
  std::vector<Node> nodes_;         // node 0 is the root
  std::vector<int32_t> rootChild_;  // the root's children by byte, 0 for none
  // Once built, each node's children side by side: those of node n in edges_ from
  // firstEdge_[n] to firstEdge_[n + 1], so that a step reads one short run of memory.
  std::vector<int32_t> firstEdge_;
  std::vector<Edge> edges_;
};

// One check list: its lines without the empty ones and the ";" comments, otherwise as they
// stand, and the tests over them. The lookup structures are built on first use.
class TCheckList {
 public:
  explicit TCheckList(TStringList lines, std::string bytes = {})
      : lines_(std::move(lines)), bytes_(std::move(bytes)) {}
  const std::string& Bytes() const { return bytes_; }  // the file as read, when kept
  const TStringList& Lines() const { return lines_; }
  // A line with "@" equals the address, or a line without one equals the address's domain (what
  // follows its first "@", all of it without one); case does not matter.
  bool HasAddress(std::string_view address) const;
  // Some line occurs in text; case does not matter.
  bool OccursIn(std::string_view text) const;

 private:
  TStringList lines_;
  std::string bytes_;
  mutable bool addressesBuilt_ = false;
  mutable std::unordered_set<std::string> addresses_, domains_;  // in lower case (any script)
  mutable std::unique_ptr<TTextMatcher> matcher_;
};

// Check-list files by path. A list is read again whenever its file's identity, size, change time
// or modification time (to the nanosecond) differs from when it was read, and while its file is
// so new that a change within the file system's clock tick could leave no trace. Such a new file
// is compared byte for byte with what was read before, and the prepared list is kept when nothing
// differs. A file is looked at (stat-ed) at most once per StatInterval; NewCheck makes the next
// Get of every file look again, so that a check sees what the file holds when it starts. A file
// that does not exist gives an empty list, one that cannot be read raises EStreamError, as
// reading it does.
class TCheckListFiles {
 public:
  std::shared_ptr<const TCheckList> Get(const std::string& path);
  // Called when a check starts: every file is looked at again at its next Get.
  void NewCheck();
  // How long after its last change a file is first trusted to the cache.
  int SettleSeconds = 2;
  // How long a file looked at is taken as it was without looking again.
  std::chrono::steady_clock::duration StatInterval = std::chrono::seconds(1);

 private:
  struct Cached {
    struct stat status {};  // all zero for a file that did not exist
    std::shared_ptr<const TCheckList> list;
    bool settled = false;  // the file's times would show any later change
    std::chrono::steady_clock::time_point lookedAt;
    bool looked = false;  // lookedAt holds when it was last stat-ed (reset by NewCheck)
  };
  std::unordered_map<std::string, Cached> files_;
};

}  // namespace norva
