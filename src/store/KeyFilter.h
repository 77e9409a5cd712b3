// Matching of item keys against the record store's filter.
#pragma once

#include <string_view>

namespace norva {

// A plain filter matches when it occurs anywhere in the key; "<" at its start anchors it to the
// key's start and ">" at its end to the key's end. With grep set the filter is a small regular
// expression: "." any byte, "[...]" a class with ranges and "^" negation, "\" escapes the next
// byte, "*", "+" and "?" repeat the atom before them; "<" and ">" anchor as above.
// Letters compare without case unless caseSensitive. A malformed pattern matches nothing.
bool MatchKeyFilter(std::string_view key, std::string_view filter, bool grep, bool caseSensitive);

}  // namespace norva
