// The record store's in-memory structures: the paged list, the key lists and the item cache.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/QDBErrors.h"
#include "store/Streams.h"

namespace norva {

// Keys hold at most 255 bytes and no zero byte; longer keys are cut.
constexpr size_t kMaxKeyLength = 255;
using TKey = std::string;
TKey MakeKey(std::string_view text);

// Compares keys byte by byte, folding ASCII letters unless caseSensitive.
int CompareKeys(std::string_view a, std::string_view b, bool caseSensitive);

// A growable list of pointers kept in pages: capacity 4^k in 2^k pages of 2^k slots, so an
// insertion or deletion moves one page's slots plus one slot per later page.
class TQDBList {
 public:
  TQDBList() = default;
  ~TQDBList();
  TQDBList(const TQDBList&) = delete;
  TQDBList& operator=(const TQDBList&) = delete;

  void SetCapacity(int32_t requested);
  void Insert(int32_t index, void* item);
  void Delete(int32_t index);
  void Exchange(int32_t a, int32_t b);
  void* Get(int32_t index) const { return pages_[size_t(index) >> shift_][size_t(index) & mask_]; }
  void Put(int32_t index, void* item) {
    pages_[size_t(index) >> shift_][size_t(index) & mask_] = item;
  }
  void Clear();

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  int32_t PageLength() const { return pageLength_; }
  int32_t PagesInUse() const { return pagesInUse_; }

 private:
  int32_t capacity_ = 0;
  int32_t count_ = 0;
  std::vector<void**> pages_;  // the page table: 2^k entries, the first pagesInUse_ allocated
  int32_t mask_ = 0;
  int32_t pageLength_ = 0;
  int32_t shift_ = 0;
  int32_t pagesInUse_ = 0;
};

// A list of keys with an attached object each, sorted (binary search, no duplicates) or not.
// It does not own the objects; the derived lists that do free them in FreeObject.
class TQDBStringList {
 public:
  TQDBStringList() = default;
  virtual ~TQDBStringList();
  TQDBStringList(const TQDBStringList&) = delete;
  TQDBStringList& operator=(const TQDBStringList&) = delete;

  // Binary search; index is the match or the insertion point.
  bool Find(std::string_view key, int32_t& index) const;
  // First position of the key in list order (for unsorted lists), -1 when absent.
  int32_t IndexOf(std::string_view key) const;
  int32_t Add(std::string_view key) { return AddObject(key, nullptr); }
  int32_t AddObject(std::string_view key, void* object);
  void Delete(int32_t index);
  const std::string& Key(int32_t index) const { return Entry(index)->key; }
  void* Object(int32_t index) const { return Entry(index)->object; }
  int32_t Count() const { return list_.Count(); }
  void Clear();
  void SetCapacity(int32_t capacity) { list_.SetCapacity(capacity); }

  bool Sorted() const { return sorted_; }
  bool CaseSensitive() const { return caseSensitive_; }
  // Turning Sorted on reverses the list (a stored index comes in descending order).
  void SetSorted(bool value);
  // Turning case sensitivity off drops every key equal, ignoring case, to the one before it.
  void SetCaseSensitive(bool value);

  // Puts an unsorted list into ascending order (stable) and drops later duplicates.
  void SortAndDeduplicate();

  int Compare(std::string_view a, std::string_view b) const {
    return CompareKeys(a, b, caseSensitive_);
  }

 protected:
  virtual void FreeObject(void*) {}

 private:
  struct TEntry {
    std::string key;
    void* object;
  };
  TEntry* Entry(int32_t index) const { return static_cast<TEntry*>(list_.Get(index)); }
  void CheckIndex(int32_t index) const;

  TQDBList list_;
  bool caseSensitive_ = false;
  bool sorted_ = false;
};

// One entry's place in the data section.
struct TIndex {
  int32_t Pos = 0;
  int32_t Size = 0;
  uint32_t Flags = 0;
};
constexpr uint32_t kIndexAdmin = 1;       // flag bit 0: admin entry
constexpr uint32_t kIndexCompressed = 2;  // flag bit 1: item stored compressed

// Key -> TIndex, sorted, case-insensitive until told otherwise, in one contiguous vector. A
// store's index has tens of thousands of entries and is read whole at every open, so an entry is
// a plain value: its key is a view, either into the index bytes read from the file (the caller
// keeps them alive while the list holds such keys) or into the list's own storage for keys added
// later; and it remembers where its record lay in those bytes, so that a new index can copy
// unchanged records as they are.
class TIndexList {
 public:
  struct TRecord {
    std::string_view key;
    TIndex index;
    int32_t record = -1;  // offset of the entry's record in the bytes read; -1 when new or changed
  };

  // Binary search; index is the match or the insertion point.
  bool Find(std::string_view key, int32_t& index) const;
  // Inserts a new key (copied into the list's storage) in order; a duplicate raises.
  int32_t Add(std::string_view key, const TIndex& entry);
  void Delete(int32_t i) { records_.erase(records_.begin() + i); }
  int32_t Count() const { return int32_t(records_.size()); }
  std::string_view Key(int32_t i) const { return records_[size_t(i)].key; }
  const TIndex* Index(int32_t i) const { return &records_[size_t(i)].index; }
  // The entry to change in place; its record no longer matches the bytes read.
  TIndex& Change(int32_t i) {
    records_[size_t(i)].record = -1;
    return records_[size_t(i)].index;
  }
  const TRecord& Record(int32_t i) const { return records_[size_t(i)]; }
  void EmptyAndClear();

  // Loading: Reserve, Load each record in file order (key a view into the caller's bytes), then
  // FinishLoad, which reverses them when asked (a writer stores descending order) and sorts the
  // list only when it is not in order, keeping the first of equal keys.
  void Reserve(int32_t n) { records_.reserve(size_t(n)); }
  void Load(std::string_view key, const TIndex& entry, int32_t record) {
    records_.push_back(TRecord{key, entry, record});
  }
  void FinishLoad(bool reverse);

  bool CaseSensitive() const { return caseSensitive_; }
  // Turning case sensitivity off drops every key equal, ignoring case, to the one before it.
  void SetCaseSensitive(bool value);
  int Compare(std::string_view a, std::string_view b) const {
    return CompareKeys(a, b, caseSensitive_);
  }

 private:
  std::vector<TRecord> records_;
  std::deque<std::string> keys_;  // keys added after loading; a deque never moves its strings
  bool caseSensitive_ = false;
};

// One cached item: a copy of its bytes.
struct TCache {
  TMemoryStream Data;
};

// Cached keys, oldest first; may hold keys no longer cached.
class TAgeList : public TQDBStringList {
 public:
  // Ages are tracked per exact key, as the cache itself keys them.
  TAgeList() { SetCaseSensitive(true); }
  void EmptyAndClear() { Clear(); }
};

// Key -> cached copy of an item, bounded by a byte limit, evicting the oldest first.
class TCacheList : public TQDBStringList {
 public:
  TCacheList() {
    SetSorted(true);
    SetCaseSensitive(true);
  }
  ~TCacheList() override { Clear(); }

  // Offers an item's bytes (the whole stream); items larger than the limit are not cached.
  void Put(TStream& stream, std::string_view key);
  // Serves a hit: writes the copy at index into the stream at its position.
  void Get(int32_t index, TStream& stream);
  void Remove(std::string_view key);
  void Clear();
  // Empties the cache and sets the byte limit.
  void SetLimit(int32_t limit);
  void ResetCounters() { reads_ = hits_ = evictions_ = 0; }
  // Hits per hundred reads, rounded; 0 before any read.
  int32_t HitRate() const;

  int32_t Limit() const { return limit_; }
  int32_t Reads() const { return reads_; }
  int32_t Hits() const { return hits_; }
  int32_t Evictions() const { return evictions_; }
  int32_t CachedBytes() const { return cachedBytes_; }

 protected:
  void FreeObject(void* object) override { delete static_cast<TCache*>(object); }

 private:
  bool Evict();  // false when nothing could be evicted

  TAgeList ages_;
  int32_t reads_ = 0;
  int32_t cachedBytes_ = 0;
  int32_t evictions_ = 0;
  int32_t limit_ = 65536;
  int32_t hits_ = 0;
};

}  // namespace norva
