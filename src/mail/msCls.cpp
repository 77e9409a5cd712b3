// Operations on header lines.
#include "mail/msCls.h"

#include <algorithm>

namespace norva {

void TruncateAtBlankLine(TStringList& lines) {
  auto blank = std::find(lines.begin(), lines.end(), std::string());
  lines.erase(blank, lines.end());
}

}  // namespace norva
