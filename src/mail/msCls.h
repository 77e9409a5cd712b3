// Header lines: the raw header block of a message and the operations on it.
#pragma once

#include <string>
#include <vector>

#include "mail/msutils.h"

namespace norva {

// The raw header lines of one message, one entry per line as received, without line ends.
class TmsHeaders : public TStringList {
 public:
  using TStringList::TStringList;
};

// Deletes the first empty line and every line after it.
void TruncateAtBlankLine(TStringList& lines);

}  // namespace norva
