// TLearner: a spam filter that learns from the user's marks, reading only the header block, as
// the rules do. Each header block becomes a set of tokens (field names, Received hosts and
// networks, sender domains, subject words, mailer, content type, date shape, authentication
// results); the learner counts in how many spam and how many safe messages each token was seen,
// and combines the tokens of a new message into a spam probability (Robinson's token estimate,
// Fisher's chi-square combination).
//
// The state lives in the program folder as the record-store file "Learn.QDB". Tokens are kept
// as 64-bit digests, and marks by the message's key, so that marking a message again corrects
// the earlier mark instead of counting it twice.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mail/msCls.h"

namespace norva {

// The tokens of a header block, each once, in the order first found.
std::vector<std::string> LearnTokens(THeaderLines headers);

// The header block of a raw message (blank lines and an mbox "From " line before it skipped),
// as its lines.
TStringList HeaderBlockOf(std::string_view raw);

class TLearner {
 public:
  enum class TMark : uint8_t { None = 0, Spam = 1, Safe = 2 };

  // Learns the message as spam or safe, or forgets it (None). A message already learned is
  // moved to the new class; marking it the same again changes nothing. True when it changed.
  // today is the day number the tokens are stamped with (DayNumber() by default).
  bool Mark(THeaderLines headers, TMark mark, uint16_t today = DayNumber());
  // The mark a message was learned with.
  TMark MarkOf(THeaderLines headers) const;
  // The spam probability of a header block, 0 to 1; 0.5 until both a spam and a safe message
  // have been learned.
  double Probability(THeaderLines headers) const;

  uint32_t SpamCount() const { return spamCount_; }
  uint32_t SafeCount() const { return safeCount_; }
  size_t TokenCount() const { return tokens_.size(); }
  bool Empty() const { return spamCount_ == 0 && safeCount_ == 0; }
  void Clear();

  // Drops tokens seen in only one message whose day is more than kPruneDays before today, and
  // while more than kMaxTokens remain, the least seen and oldest of them.
  void Prune(uint16_t today = DayNumber());
  static constexpr size_t kMaxTokens = 200000;
  static constexpr uint16_t kPruneDays = 120;

  // The state as stored, and back. Load raises std::runtime_error on a damaged or foreign
  // state, and leaves the learner empty.
  std::string Save() const;
  void Load(std::string_view bytes);

  // Days since 1970-01-01 (UTC), as tokens and marks are stamped.
  static uint16_t DayNumber();

 private:
  struct Counts {
    uint32_t spam = 0, safe = 0;
    uint16_t day = 0;  // the last day the token was learned
  };
  struct Learned {
    TMark mark = TMark::None;
    uint16_t day = 0;
  };
  void Count(const std::vector<uint64_t>& tokens, TMark mark, int delta, uint16_t today);
  double TokenProbability(const Counts& counts) const;

  std::unordered_map<uint64_t, Counts> tokens_;
  std::unordered_map<uint64_t, Learned> marks_;  // by the digest of the message's key
  uint32_t spamCount_ = 0, safeCount_ = 0;
};

// The 64-bit digest a token or a message key is kept by.
uint64_t LearnDigest(std::string_view text);

// The learner of a program folder: "Learn.QDB", item "Tokens". A missing file is an empty
// learner; a damaged one raises an error naming the file.
inline constexpr const char* kLearnFile = "Learn.QDB";
void LoadLearner(const std::string& folder, TLearner& learner);
void SaveLearner(const std::string& folder, const TLearner& learner);

}  // namespace norva
