// The record store's paged list, key lists and item cache.
#include "store/QDBLists.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace norva {

TKey MakeKey(std::string_view text) {
  text = text.substr(0, std::min(text.find('\0'), kMaxKeyLength));
  return TKey(text);
}

int CompareKeys(std::string_view a, std::string_view b, bool caseSensitive) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (true) {
    // Skip the bytes that are equal as they are, eight at a time: keys often share long prefixes.
    for (uint64_t x, y; i + 8 <= n; i += 8) {
      std::memcpy(&x, a.data() + i, 8);
      std::memcpy(&y, b.data() + i, 8);
      if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) break;
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (!caseSensitive) {
      if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
      if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    }
    if (x != y) return x < y ? -1 : 1;
    ++i;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// ---- TQDBList ----

TQDBList::~TQDBList() {
  Clear();
}

void TQDBList::SetCapacity(int32_t requested) {
  int32_t k = 1;
  int64_t c = 4;
  while (c <= requested) {
    c *= 4;
    ++k;
  }
  if (count_ > c || c >= 0xFFF8002) throw EQDBListError(qdbOutOfBounds);
  if (c == capacity_) return;

  int32_t newLength = int32_t(1) << k;
  std::vector<void**> table(size_t(newLength), nullptr);
  int32_t newPages = (count_ + newLength - 1) / newLength;
  for (int32_t p = 0; p < newPages; ++p) table[size_t(p)] = new void*[size_t(newLength)]();
  for (int32_t i = 0; i < count_; ++i) table[size_t(i >> k)][size_t(i & (newLength - 1))] = Get(i);
  for (int32_t p = 0; p < pagesInUse_; ++p) delete[] pages_[size_t(p)];

  pages_ = std::move(table);
  capacity_ = int32_t(c);
  shift_ = k;
  pageLength_ = newLength;
  mask_ = newLength - 1;
  pagesInUse_ = newPages;
}

void TQDBList::Insert(int32_t index, void* item) {
  if (index < 0 || index > count_) throw EQDBListError(qdbOutOfBounds);
  if (count_ == capacity_) SetCapacity(capacity_ + 1);
  if (count_ % pageLength_ == 0) pages_[size_t(pagesInUse_++)] = new void*[size_t(pageLength_)]();

  const size_t len = size_t(pageLength_);
  int32_t page = index >> shift_;
  for (int32_t p = count_ >> shift_; p > page; --p) {
    void** slots = pages_[size_t(p)];
    std::memmove(slots + 1, slots, (len - 1) * sizeof(void*));
    slots[0] = pages_[size_t(p - 1)][len - 1];
  }
  void** slots = pages_[size_t(page)];
  size_t at = size_t(index & mask_);
  std::memmove(slots + at + 1, slots + at, (len - 1 - at) * sizeof(void*));
  slots[at] = item;
  ++count_;
}

void TQDBList::Delete(int32_t index) {
  if (index < 0 || index >= count_) throw EQDBListError(qdbOutOfBounds);
  const size_t len = size_t(pageLength_);
  int32_t page = index >> shift_;
  void** slots = pages_[size_t(page)];
  size_t at = size_t(index & mask_);
  std::memmove(slots + at, slots + at + 1, (len - 1 - at) * sizeof(void*));
  for (int32_t p = page + 1; p < pagesInUse_; ++p) {
    void** later = pages_[size_t(p)];
    pages_[size_t(p - 1)][len - 1] = later[0];
    std::memmove(later, later + 1, (len - 1) * sizeof(void*));
  }
  --count_;
  if (count_ == 0 || count_ <= (pagesInUse_ - 1) * pageLength_) {
    delete[] pages_[size_t(--pagesInUse_)];
    pages_[size_t(pagesInUse_)] = nullptr;
  }
}

void TQDBList::Exchange(int32_t a, int32_t b) {
  if (a < 0 || a >= count_ || b < 0 || b >= count_) throw EQDBListError(qdbOutOfBounds);
  void* t = Get(a);
  Put(a, Get(b));
  Put(b, t);
}

void TQDBList::Clear() {
  for (int32_t p = 0; p < pagesInUse_; ++p) delete[] pages_[size_t(p)];
  pages_.clear();
  capacity_ = count_ = mask_ = pageLength_ = shift_ = pagesInUse_ = 0;
}

// ---- TQDBStringList ----

TQDBStringList::~TQDBStringList() {
  // Derived lists free their objects in their own destructors; here only the entries go.
  for (int32_t i = 0; i < list_.Count(); ++i) delete Entry(i);
}

void TQDBStringList::CheckIndex(int32_t index) const {
  if (index < 0 || index >= Count()) throw EQDBListError(qdbOutOfBounds);
}

bool TQDBStringList::Find(std::string_view key, int32_t& index) const {
  bool found = false;
  int32_t lo = 0, hi = Count() - 1;
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    int c = Compare(Entry(mid)->key, key);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

int32_t TQDBStringList::IndexOf(std::string_view key) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (Compare(Entry(i)->key, key) == 0) return i;
  return -1;
}

int32_t TQDBStringList::AddObject(std::string_view key, void* object) {
  TKey k = MakeKey(key);
  int32_t index = Count();
  if (sorted_ && Find(k, index)) throw EQDBListError(qdbDuplicateKey);
  auto entry = new TEntry{std::move(k), object};
  try {
    list_.Insert(index, entry);
  } catch (...) {
    delete entry;
    throw;
  }
  return index;
}

void TQDBStringList::Delete(int32_t index) {
  CheckIndex(index);
  TEntry* entry = Entry(index);
  list_.Delete(index);
  FreeObject(entry->object);
  delete entry;
}

void TQDBStringList::Clear() {
  for (int32_t i = 0; i < Count(); ++i) {
    FreeObject(Entry(i)->object);
    delete Entry(i);
  }
  list_.Clear();
}

void TQDBStringList::SetSorted(bool value) {
  if (value && !sorted_) {
    for (int32_t i = 0, j = Count() - 1; i < j; ++i, --j) list_.Exchange(i, j);
  }
  sorted_ = value;
}

void TQDBStringList::SetCaseSensitive(bool value) {
  if (!value && caseSensitive_) {
    for (int32_t i = Count() - 1; i >= 1; --i)
      if (CompareKeys(Entry(i)->key, Entry(i - 1)->key, false) == 0) Delete(i);
  }
  caseSensitive_ = value;
}

void TQDBStringList::SortAndDeduplicate() {
  std::vector<TEntry*> entries;
  entries.reserve(size_t(Count()));
  for (int32_t i = 0; i < Count(); ++i) entries.push_back(Entry(i));
  std::stable_sort(entries.begin(), entries.end(),
                   [this](TEntry* a, TEntry* b) { return Compare(a->key, b->key) < 0; });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (kept > 0 && Compare(entries[kept - 1]->key, entries[i]->key) == 0) {
      FreeObject(entries[i]->object);
      delete entries[i];
    } else {
      entries[kept++] = entries[i];
    }
  }
  while (Count() > int32_t(kept)) list_.Delete(Count() - 1);
  for (size_t i = 0; i < kept; ++i) list_.Put(int32_t(i), entries[i]);
  sorted_ = true;
}

// ---- TIndexList ----

bool TIndexList::Find(std::string_view key, int32_t& index) const {
  auto at = std::lower_bound(records_.begin(), records_.end(), key,
                             [this](const TRecord& r, std::string_view k) {
                               return Compare(r.key, k) < 0;
                             });
  index = int32_t(at - records_.begin());
  return at != records_.end() && Compare(at->key, key) == 0;
}

int32_t TIndexList::Add(std::string_view key, const TIndex& entry) {
  const std::string_view k = key.substr(0, std::min(key.find('\0'), kMaxKeyLength));
  int32_t index;
  if (Find(k, index)) throw EQDBListError(qdbDuplicateKey);
  const std::string& kept = keys_.emplace_back(k);
  records_.insert(records_.begin() + index, TRecord{kept, entry, -1});
  return index;
}

void TIndexList::EmptyAndClear() {
  std::vector<TRecord>().swap(records_);
  keys_.clear();
}

void TIndexList::FinishLoad(bool reverse) {
  if (reverse) std::reverse(records_.begin(), records_.end());
  bool ordered = true;
  for (size_t i = 1; i < records_.size() && ordered; ++i)
    ordered = Compare(records_[i - 1].key, records_[i].key) < 0;
  if (ordered) return;
  std::stable_sort(records_.begin(), records_.end(), [this](const TRecord& a, const TRecord& b) {
    return Compare(a.key, b.key) < 0;
  });
  records_.erase(std::unique(records_.begin(), records_.end(),
                             [this](const TRecord& a, const TRecord& b) {
                               return Compare(a.key, b.key) == 0;
                             }),
                 records_.end());
}

void TIndexList::SetCaseSensitive(bool value) {
  if (!value && caseSensitive_) {
    records_.erase(std::unique(records_.begin(), records_.end(),
                               [](const TRecord& a, const TRecord& b) {
                                 return CompareKeys(a.key, b.key, false) == 0;
                               }),
                   records_.end());
  }
  caseSensitive_ = value;
}

// ---- TCacheList ----

void TCacheList::Put(TStream& stream, std::string_view key) {
  int64_t size = stream.Size();
  if (size > limit_) return;
  int32_t existing;
  if (Find(key, existing)) Remove(key);
  while (Count() > 0 && cachedBytes_ + size > limit_)
    if (!Evict()) return;

  auto cache = std::make_unique<TCache>();
  int64_t position = stream.Position();
  cache->Data.CopyFrom(stream, 0);
  cache->Data.SetPosition(0);
  stream.SetPosition(position);
  AddObject(key, cache.release());
  // A key removed earlier may still stand in the age list; it is now the newest.
  if (int32_t age = ages_.IndexOf(key); age >= 0) ages_.Delete(age);
  ages_.Add(key);
  cachedBytes_ += int32_t(size);
  ++reads_;
}

void TCacheList::Get(int32_t index, TStream& stream) {
  auto cache = static_cast<TCache*>(Object(index));
  stream.WriteString(cache->Data.Bytes());
  cache->Data.SetPosition(0);
  const std::string& key = Key(index);
  if (int32_t age = ages_.IndexOf(key); age >= 0) ages_.Delete(age);
  ages_.Add(key);
  ++hits_;
  ++reads_;
}

void TCacheList::Remove(std::string_view key) {
  int32_t index;
  if (!Find(key, index)) return;
  cachedBytes_ -= int32_t(static_cast<TCache*>(Object(index))->Data.Size());
  Delete(index);
}

bool TCacheList::Evict() {
  if (Count() == 0) return false;
  int32_t index = 0;
  while (ages_.Count() > 0 && !Find(ages_.Key(0), index)) ages_.Delete(0);
  if (ages_.Count() == 0) return false;
  ages_.Delete(0);
  cachedBytes_ -= int32_t(static_cast<TCache*>(Object(index))->Data.Size());
  Delete(index);
  ++evictions_;
  return true;
}

void TCacheList::Clear() {
  TQDBStringList::Clear();
  ages_.EmptyAndClear();
  cachedBytes_ = 0;
}

void TCacheList::SetLimit(int32_t limit) {
  Clear();
  limit_ = limit;
}

int32_t TCacheList::HitRate() const {
  if (reads_ == 0) return 0;
  return int32_t(std::lrint(double(hits_) * 100.0 / double(reads_)));
}

}  // namespace norva
