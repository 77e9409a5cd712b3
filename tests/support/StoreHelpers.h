// Helpers for the record store's tests: items as strings, and store files assembled by hand from
// their parts (tags, little-endian integers, zero-terminated keys).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "store/QDB.h"

namespace norva::testing {

inline void Add(TQDB& db, const std::string& key, const std::string& bytes) {
  TMemoryStream s;
  s.Assign(bytes);
  db.AddItem(s, key);
}

// The current item's bytes.
inline std::string Item(TQDB& db) {
  TMemoryStream s;
  db.GetItem(s);
  return s.Bytes();
}

inline std::string B(std::initializer_list<int> bytes) {
  return std::string(bytes.begin(), bytes.end());
}
inline std::string Tag(const char* three) {
  return std::string(three, 3) + '\0';
}
inline std::string I32(int32_t v) {
  return B({v & 0xFF, v >> 8 & 0xFF, v >> 16 & 0xFF, v >> 24 & 0xFF});
}
// One index record: the key and its zero byte, Pos, Size, Flags.
inline std::string Rec(const std::string& key, int32_t pos, int32_t size, int32_t flags) {
  return key + '\0' + I32(pos) + I32(size) + I32(flags);
}
// A store file without a password: the data section, then the index section.
inline std::string Container(const std::string& data, const std::string& index) {
  return Tag("QDB") + I32(int32_t(data.size())) + data + Tag("QIX") + I32(int32_t(index.size())) +
         index;
}

}  // namespace norva::testing
