// The main window's spam learner: read once from the program folder, consulted by the rules,
// trained by the user's marks.
#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/Main.h"

namespace norva {

TLearner& TfrmMain::Learner() {
  if (learnerLoaded_) return learner_;
  learnerLoaded_ = true;
  try {
    LoadLearner(frmOptions.Folder(), learner_);
  } catch (const std::exception& e) {
    learnerBroken_ = true;
    ShowError(
        "The spam learner could not be read, and learns nothing until it is reset in the "
        "preferences: " +
        ErrorText(e));
  }
  return learner_;
}

bool TfrmMain::LearnerBroken() {
  Learner();
  return learnerBroken_;
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
  const TLearner& learner = Learner();
  if (!HeadersOf(entry) || learner.SpamCount() == 0 || learner.SafeCount() == 0) return;
  redMsg.insert(redMsg.begin(),
                {"Learned spam probability: " + PercentText(LearnedProbability(entry)), ""});
}

bool TfrmMain::LearnMark(const MessageListEntry& entry, TLearner::TMark mark) {
  return LearnMarks({&entry}, mark) > 0;
}

int32_t TfrmMain::LearnMarks(const std::vector<const MessageListEntry*>& entries,
                             TLearner::TMark mark) {
  if (!frmOptions.chkLearn || entries.empty() || LearnerBroken()) return 0;
  int32_t changed = 0;
  for (const MessageListEntry* entry : entries) {
    const TmsHeaders* headers = HeadersOf(*entry);
    if (headers && !headers->empty() && learner_.Mark(*headers, mark)) ++changed;
  }
  if (changed > 0) SaveLearned();
  return changed;
}

bool TfrmMain::SaveLearned() {
  if (LearnerBroken()) return false;  // the unreadable file stays for the user to reset
  learner_.Prune();
  try {
    SaveLearner(frmOptions.Folder(), learner_);
    return true;
  } catch (const std::exception& e) {
    ShowError("The spam learner could not be saved: " + ErrorText(e));
    return false;
  }
}

bool TfrmMain::ResetLearner() {
  // Not read first, and removed before the empty state is written: a file that cannot be read
  // is what a reset replaces.
  learnerLoaded_ = true;
  learnerBroken_ = false;
  learner_.Clear();
  std::error_code error;
  std::filesystem::remove(std::filesystem::path(frmOptions.Folder()) / kLearnFile, error);
  return SaveLearned();
}

}  // namespace norva
