// Paged list, key lists and item cache.
#include "store/QDBLists.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "support/Helpers.h"

namespace norva {
namespace {

using Keys = std::vector<std::string>;

void* Ptr(intptr_t v) {
  return reinterpret_cast<void*>(v);
}

void AddAll(TQDBStringList& list, std::initializer_list<const char*> keys) {
  for (const char* k : keys) list.Add(k);
}

Keys KeysOf(const TQDBStringList& list) {
  Keys keys;
  for (int32_t i = 0; i < list.Count(); ++i) keys.push_back(list.Key(i));
  return keys;
}

TEST(QDBList, CapacityPagingAndLimits) {
  using Paging = std::tuple<int32_t, int32_t, int32_t>;  // requested, capacity, page length
  for (auto [requested, capacity, page] : std::initializer_list<Paging>{
           {0, 4, 2}, {5, 16, 4}, {16, 64, 8}, {(1 << 26) - 1, 1 << 26, 8192}}) {
    TQDBList list;
    list.SetCapacity(requested);
    EXPECT_EQ(list.Capacity(), capacity) << requested;
    EXPECT_EQ(list.PageLength(), page) << requested;
  }
  TQDBList list;
  EXPECT_THROW(list.SetCapacity(1 << 26), EQDBListError);
  list.SetCapacity(5);  // pages of 4, filled by inserting at 0
  for (int i = 13; i > 0; --i) list.Insert(0, Ptr(i));
  EXPECT_THROW(list.SetCapacity(3), EQDBListError);  // below the count
  list.SetCapacity(100);                             // repaged into 16-slot pages
  ASSERT_EQ(list.Count(), 13);
  EXPECT_EQ(list.PagesInUse(), 1);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(list.Get(i), Ptr(i + 1));
  EXPECT_THROW(list.Insert(14, Ptr(1)), EQDBListError);
  EXPECT_THROW(list.Delete(13), EQDBListError);
}

TEST(QDBList, MatchesVectorUnderRandomEdits) {
  std::mt19937 rng(20240611);
  TQDBList list;
  std::vector<void*> model;
  auto same = [&] {  // same entries, and exactly the pages the count needs
    if (list.Count() != int32_t(model.size())) return false;
    if (list.Count() && list.PagesInUse() != (list.Count() - 1) / list.PageLength() + 1)
      return false;
    for (size_t i = 0; i < model.size(); ++i)
      if (list.Get(int32_t(i)) != model[i]) return false;
    return true;
  };
  for (int step = 1; step <= 12000; ++step) {
    if (model.empty() || rng() % 100 < 56) {
      size_t at = rng() % (model.size() + 1);
      list.Insert(int32_t(at), Ptr(step));
      model.insert(model.begin() + long(at), Ptr(step));
    } else {
      size_t at = rng() % model.size();
      list.Delete(int32_t(at));
      model.erase(model.begin() + long(at));
    }
    ASSERT_TRUE(same()) << "step " << step;
  }
  while (!model.empty()) {  // down to the last entry, whose deletion frees the last page
    list.Delete(int32_t(model.size() / 2));
    model.erase(model.begin() + long(model.size() / 2));
    ASSERT_TRUE(same()) << "count " << model.size();
  }
  EXPECT_EQ(list.PagesInUse(), 0);
}

TEST(QDBStringList, SortedFindOrderAndDuplicates) {
  TQDBStringList list;
  list.SetSorted(true);
  int32_t at = -1;
  EXPECT_FALSE(list.Find("x", at));
  EXPECT_EQ(at, 0);
  AddAll(list, {"delta", "Alpha", "charlie", "Bravo"});
  EXPECT_EQ(KeysOf(list), (Keys{"Alpha", "Bravo", "charlie", "delta"}));
  EXPECT_TRUE(list.Find("CHARLIE", at));
  EXPECT_EQ(at, 2);
  EXPECT_FALSE(list.Find("b", at));
  EXPECT_EQ(at, 1);  // the insertion point
  const auto e = testing::Raised<EQDBListError>([&] { list.Add("ALPHA"); });
  EXPECT_STREQ(e ? e->what() : "", "Duplicate keys are not allowed");
  // Keys are cut at 255 bytes and at a zero byte, and the cut key is the one compared.
  list.Add(std::string(300, 'k'));
  EXPECT_THROW(list.Add(std::string(255, 'K')), EQDBListError);
  list.Add(std::string_view("ab\0cd", 5));
  EXPECT_EQ(KeysOf(list),
            (Keys{"ab", "Alpha", "Bravo", "charlie", "delta", std::string(255, 'k')}));

  // Case-sensitive order is by unsigned byte; folding covers ASCII letters only.
  TQDBStringList exact;
  exact.SetCaseSensitive(true);
  exact.SetSorted(true);
  AddAll(exact, {"b", "\xe9", "B", "a", "\xc9", "A"});
  EXPECT_EQ(KeysOf(exact), (Keys{"A", "B", "a", "b", "\xc9", "\xe9"}));
  EXPECT_TRUE(CompareKeys("\xe9", "z", false) > 0 && CompareKeys("\xc9", "\xe9", false) != 0);
}

// Keys are compared eight bytes at a time until they differ: the outcome must not depend on
// where in a word the difference (or a difference in case only) falls.
TEST(QDBStringList, CompareKeysAtAnyOffset) {
  struct Case {
    const char* a;
    const char* b;
    int folded, exact;
  } cases[] = {
      {"000000000000001", "000000000000002", -1, -1},
      {"<20240301.ABCDEF@example.org>", "<20240301.abcdef@example.org>", 0, -1},
      {"<20240301.abcdeg@example.org>", "<20240301.ABCDEF@example.org>", 1, 1},
      {"prefix-of-a-key", "prefix-of-a-key-longer", -1, -1},
      {"ABCDEFGH_", "abcdefgha", -1, -1},  // '_' lies between the upper and the lower letters
      {"abcdefgh", "ABCDEFGH", 0, 1},
      {"", "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(CompareKeys(c.a, c.b, false)), c.folded);
    EXPECT_EQ(sign(CompareKeys(c.b, c.a, false)), -c.folded);
    EXPECT_EQ(sign(CompareKeys(c.a, c.b, true)), c.exact);
  }
}

// Sorting an unsorted list, or folding case, removes the keys that became equal.
TEST(QDBStringList, FlagChangesAndDeduplication) {
  TQDBStringList list;  // unsorted: Add appends
  AddAll(list, {"c", "b", "a"});
  list.SetSorted(true);
  EXPECT_EQ(KeysOf(list), (Keys{"a", "b", "c"}));
  TQDBStringList cased;
  cased.SetCaseSensitive(true);
  AddAll(cased, {"a", "A", "b"});
  cased.SetCaseSensitive(false);
  EXPECT_EQ(KeysOf(cased), (Keys{"a", "b"}));
  TQDBStringList messy;
  AddAll(messy, {"b", "B", "a", "c", "A", "b"});
  messy.SortAndDeduplicate();
  EXPECT_EQ(KeysOf(messy), (Keys{"a", "b", "c"}));  // the first of equal keys stays
}

// Offers each key with that many copies of its first letter.
void Offer(TCacheList& cache, std::initializer_list<std::pair<const char*, size_t>> items) {
  for (auto [key, size] : items) {
    TMemoryStream s;
    s.Assign(std::string(size, key[0]));
    cache.Put(s, key);
  }
}

TEST(CacheList, EvictionWithinTheLimit) {
  TCacheList cache;
  cache.SetLimit(100);
  Offer(cache, {{"a", 60}, {"b", 30}, {"c", 20}});  // "a" is the oldest
  EXPECT_EQ(KeysOf(cache), (Keys{"b", "c"}));
  Offer(cache, {{"d", 100}, {"e", 101}});
  EXPECT_EQ(KeysOf(cache), (Keys{"d"}));
  EXPECT_EQ(cache.Evictions(), 3);
  Offer(cache, {{"d", 10}});  // offering a cached key replaces its copy
  EXPECT_EQ(cache.CachedBytes(), 10);

  // A removed key stays in the age list; eviction skips it.
  cache.SetLimit(100);
  EXPECT_EQ(cache.Count(), 0);
  Offer(cache, {{"m", 40}, {"a", 30}});
  cache.Remove("m");
  Offer(cache, {{"z", 60}, {"d", 30}});  // evicts "a"
  EXPECT_EQ(KeysOf(cache), (Keys{"d", "z"}));
  EXPECT_EQ(cache.CachedBytes(), 90);
  EXPECT_EQ(cache.Evictions(), 4);
}

TEST(CacheList, GetServesACopyAndMakesTheKeyNewest) {
  TCacheList cache;
  cache.SetLimit(100);
  EXPECT_EQ(cache.HitRate(), 0);
  Offer(cache, {{"a", 40}, {"b", 40}});
  TMemoryStream out;
  out.Assign("12");
  out.SetPosition(1);
  cache.Get(0, out);
  cache.Get(0, out);  // the copy was rewound
  EXPECT_EQ(out.Bytes(), "1" + std::string(80, 'a'));
  EXPECT_EQ(cache.HitRate(), 50);
  Offer(cache, {{"c", 40}});  // "b" is now the oldest
  EXPECT_EQ(KeysOf(cache), (Keys{"a", "c"}));
  cache.ResetCounters();
  Offer(cache, {{"d", 10}});
  cache.Get(0, out);
  cache.Get(0, out);
  EXPECT_EQ(cache.HitRate(), 67);  // 2 hits in 3 reads, rounded
}

// "a" and "A" are distinct keys in a case-sensitive store: each keeps its own age, and making
// room never loops forever.
TEST(CacheList, KeysDifferingOnlyInCaseAgeSeparately) {
  TCacheList cache;
  cache.SetLimit(100);
  Offer(cache, {{"a", 40}, {"A", 40}, {"x", 40}});
  EXPECT_EQ(KeysOf(cache), (Keys{"A", "x"}));
  EXPECT_EXIT(
      {
        alarm(2);  // a hang shows up as death by SIGALRM
        Offer(cache, {{"y", 70}});
        std::exit(cache.Count() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace norva
