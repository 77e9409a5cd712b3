// The spam learner on hostile input: a stored state that is damaged or forged, and header
// blocks of any shape through the tokens, learning, correcting and the probability.
#include <cstdlib>
#include <stdexcept>

#include "FuzzInput.h"
#include "app/Learner.h"

using namespace norva;
using TMark = TLearner::TMark;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput in(data, size);
  const bool isState = in.Bool();
  const std::string rest(in.Rest());
  TLearner learner;
  if (isState) {
    try {
      learner.Load(rest);
    } catch (const std::runtime_error&) {
      if (!learner.Empty() || learner.TokenCount() != 0) std::abort();  // nothing half-loaded
      return 0;
    }
    // What loads is stored the same way again.
    const std::string saved = learner.Save();
    TLearner copy;
    copy.Load(saved);
    if (copy.Save() != saved) std::abort();
    return 0;
  }
  const TStringList headers = HeaderBlockOf(rest);
  learner.Mark(headers, TMark::Spam);
  learner.Mark(TStringList{"From: Anna <anna@example.org>", "Subject: minutes"}, TMark::Safe);
  const double p = learner.Probability(headers);
  if (!(p >= 0.0 && p <= 1.0)) std::abort();
  learner.Mark(headers, TMark::Safe);
  learner.Mark(headers, TMark::None);
  if (learner.SpamCount() != 0 || learner.SafeCount() != 1) std::abort();
  return 0;
}
