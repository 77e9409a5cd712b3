// Teaching the spam learner from messages kept on disk: a folder of message files (.eml files, a
// Maildir), an mbox file, a Norva archive (.TMA) or one message file. Only header blocks are read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/Learner.h"

namespace norva {

struct TLearnImport {
  int32_t Learned = 0;     // messages learned now (or moved from the other class)
  int32_t Already = 0;     // messages learned so before: nothing changed
  int32_t Unreadable = 0;  // files or items that could not be read or hold no header block
  double Done = 0;         // the share of the work done so far, 0 to 1
  bool Stopped = false;    // the progress callback asked to stop
  int32_t Messages() const { return Learned + Already + Unreadable; }
};

// Called after every message; false stops the import, keeping what was learned.
using TLearnProgress = std::function<bool(const TLearnImport& sofar)>;

// The header block of a file that holds one message (blank lines and an mbox "From " line
// before it skipped, at most 1 MB read); empty when the file does not begin with a header
// field. A file that cannot be read raises an error naming it.
TStringList ReadMessageHeaders(const std::string& path);

// Learns the header block of every message at path as spam or safe (TMark::None forgets them).
// What path is comes from its content: a folder (its files, subfolders included, hidden ones
// left out), a record store, an mbox (a file that begins with "From "), else one message. A
// path that cannot be opened at all raises an error; result holds what was done until then.
void ImportMessages(const std::string& path, TLearner& learner, TLearner::TMark mark,
                    TLearnImport& result, const TLearnProgress& progress = {});

}  // namespace norva
