// The main window's spam learner: read once from the program folder, consulted by the rules,
// trained by the user's marks.
#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "app/Main.h"

namespace norva {

TLearner& TfrmMain::Learner() {
  if (learnerLoaded_) return learner_;
  learnerLoaded_ = true;
  try {
    LoadLearner(frmOptions.Folder(), learner_);
  } catch (const std::exception& e) {
    learnerBroken_ = true;
    ShowError("The spam learner could not be read, and learns nothing until it is reset in the "
              "preferences: " + ErrorText(e));
  }
  return learner_;
}

const TmsHeaders* TfrmMain::HeadersOf(const MessageListEntry& entry) const {
  if (entry.BodyRetrieved && entry.Message && !entry.Message->Headers.empty())
    return &entry.Message->Headers;
  if (const TmsRemoteInfoItem* item = DirectoryEntry(entry)) return &item->Headers;
  return nullptr;
}

double TfrmMain::LearnedProbability(const MessageListEntry& entry) {
  const TmsHeaders* headers = HeadersOf(entry);
  return headers ? Learner().Probability(*headers) : 0.5;
}

std::string TfrmMain::PercentText(double probability) {
  return std::to_string(std::lround(std::clamp(probability, 0.0, 1.0) * 100)) + "%";
}

void TfrmMain::ShowLearnedProbability(const MessageListEntry& entry) {
  const TmsHeaders* headers = HeadersOf(entry);
  if (!headers) return;
  const TLearner& learner = Learner();
  if (learner.SpamCount() == 0 || learner.SafeCount() == 0) return;
  redMsg.insert(redMsg.begin(),
                {"Learned spam probability: " + PercentText(learner.Probability(*headers)), ""});
}

bool TfrmMain::LearnMark(const MessageListEntry& entry, TLearner::TMark mark) {
  if (!frmOptions.chkLearn) return false;
  const TmsHeaders* headers = HeadersOf(entry);
  if (!headers || headers->empty()) return false;
  TLearner& learner = Learner();
  if (learnerBroken_ || !learner.Mark(*headers, mark)) return false;
  try {
    SaveLearner(frmOptions.Folder(), learner);
  } catch (const std::exception& e) {
    ShowError("The spam learner could not be saved: " + ErrorText(e));
  }
  return true;
}

}  // namespace norva
