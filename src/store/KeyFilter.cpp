// Plain and grep-style key filters with "<" and ">" anchors.
#include "store/KeyFilter.h"

#include <bitset>
#include <optional>
#include <vector>

namespace norva {
namespace {

unsigned char Fold(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

struct TAtom {
  std::bitset<256> set;  // the bytes the atom accepts
  size_t min = 1;
  size_t max = 1;  // SIZE_MAX for unbounded
};

void AddByte(std::bitset<256>& set, unsigned char c, bool caseSensitive) {
  set.set(c);
  if (!caseSensitive) {
    set.set(Fold(c));
    if (c >= 'a' && c <= 'z') set.set(c - ('a' - 'A'));
  }
}

// Parses the body of a grep filter (anchors already removed); nullopt when malformed.
std::optional<std::vector<TAtom>> Parse(std::string_view p, bool caseSensitive) {
  std::vector<TAtom> atoms;
  size_t i = 0;
  while (i < p.size()) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == '*' || c == '+' || c == '?') {
      if (atoms.empty() || atoms.back().max != 1 || atoms.back().min != 1) return std::nullopt;
      atoms.back().min = c == '+' ? 1 : 0;
      atoms.back().max = c == '?' ? 1 : SIZE_MAX;
      ++i;
      continue;
    }
    TAtom atom;
    if (c == '.') {
      atom.set.set();
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= p.size()) return std::nullopt;
      AddByte(atom.set, static_cast<unsigned char>(p[i + 1]), caseSensitive);
      i += 2;
    } else if (c == '[') {
      ++i;
      bool negate = i < p.size() && p[i] == '^';
      if (negate) ++i;
      bool first = true;
      for (;;) {
        if (i >= p.size()) return std::nullopt;
        unsigned char lo = static_cast<unsigned char>(p[i]);
        if (lo == ']' && !first) {
          ++i;
          break;
        }
        first = false;
        if (lo == '\\') {
          if (i + 1 >= p.size()) return std::nullopt;
          lo = static_cast<unsigned char>(p[++i]);
        }
        ++i;
        unsigned char hi = lo;
        if (i + 1 < p.size() && p[i] == '-' && p[i + 1] != ']') {
          hi = static_cast<unsigned char>(p[i + 1]);
          if (hi == '\\') {
            if (i + 2 >= p.size()) return std::nullopt;
            hi = static_cast<unsigned char>(p[i + 2]);
            ++i;
          }
          i += 2;
          if (hi < lo) return std::nullopt;
        }
        for (unsigned v = lo; v <= hi; ++v)
          AddByte(atom.set, static_cast<unsigned char>(v), caseSensitive);
      }
      if (negate) atom.set.flip();
    } else {
      AddByte(atom.set, c, caseSensitive);
      ++i;
    }
    atoms.push_back(atom);
  }
  return atoms;
}

class TMatcher {
 public:
  TMatcher(const std::vector<TAtom>& atoms, std::string_view key, bool anchorEnd)
      : atoms_(atoms),
        key_(key),
        anchorEnd_(anchorEnd),
        failed_((atoms.size() + 1) * (key.size() + 1), false) {}

  bool Match(size_t a, size_t k) {
    if (a == atoms_.size()) return !anchorEnd_ || k == key_.size();
    size_t slot = a * (key_.size() + 1) + k;
    if (failed_[slot]) return false;
    const TAtom& atom = atoms_[a];
    size_t n = 0;  // how many bytes from k the atom can take
    while (n < atom.max && k + n < key_.size() &&
           atom.set.test(static_cast<unsigned char>(key_[k + n])))
      ++n;
    for (size_t take = n + 1; take-- > atom.min;) {
      if (Match(a + 1, k + take)) return true;
      if (take == 0) break;
    }
    failed_[slot] = true;
    return false;
  }

 private:
  const std::vector<TAtom>& atoms_;
  std::string_view key_;
  bool anchorEnd_;
  std::vector<bool> failed_;
};

bool EqualAt(std::string_view key, size_t at, std::string_view text, bool caseSensitive) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(key[at + i]);
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (caseSensitive ? a != b : Fold(a) != Fold(b)) return false;
  }
  return true;
}

}  // namespace

bool MatchKeyFilter(std::string_view key, std::string_view filter, bool grep, bool caseSensitive) {
  bool anchorStart = !filter.empty() && filter.front() == '<';
  if (anchorStart) filter.remove_prefix(1);
  bool anchorEnd = !filter.empty() && filter.back() == '>';
  if (anchorEnd && grep) {  // "\>" is a literal ">", but "\\>" an escaped "\" and the anchor
    size_t slashes = 0;
    while (slashes + 1 < filter.size() && filter[filter.size() - 2 - slashes] == '\\') ++slashes;
    anchorEnd = slashes % 2 == 0;
  }
  if (anchorEnd) filter.remove_suffix(1);

  if (!grep) {
    if (filter.size() > key.size()) return false;
    if (anchorStart && anchorEnd)
      return filter.size() == key.size() && EqualAt(key, 0, filter, caseSensitive);
    if (anchorStart) return EqualAt(key, 0, filter, caseSensitive);
    if (anchorEnd) return EqualAt(key, key.size() - filter.size(), filter, caseSensitive);
    for (size_t at = 0; at + filter.size() <= key.size(); ++at)
      if (EqualAt(key, at, filter, caseSensitive)) return true;
    return false;
  }

  auto atoms = Parse(filter, caseSensitive);
  if (!atoms) return false;
  TMatcher matcher(*atoms, key, anchorEnd);
  for (size_t start = 0; start <= key.size(); ++start) {
    if (matcher.Match(0, start)) return true;
    if (anchorStart) break;
  }
  return false;
}

}  // namespace norva
