// TLearnPage: the preferences window's page "Learning" over the main window's spam learner.
#pragma once

#include <functional>
#include <string>

#include "app/LearnImport.h"
#include "app/Main.h"

namespace norva {

// Whether the user's marks teach the learner is TfrmOptions::chkLearn itself; the page tells
// what the learner has learned, imports messages kept on disk as spam or safe, and resets it.
class TLearnPage {
 public:
  explicit TLearnPage(TfrmMain& main) : main_(main) {}

  // "Learned from N spam and M safe messages."
  std::string lblLearned();
  // What the running import has read so far; "" while none runs.
  std::string lblProgress;
  bool Importing() const { return importing_; }
  // The labels or Importing may have changed: the page shows them again.
  std::function<void()> OnChanged;

  // "Import as spam..." and "Import as safe...": the user picks a folder of messages (folder) or
  // an mbox file or archive; every message in it is learned, the state saved once at the end,
  // and a summary shown. The window is locked meanwhile, the pump runs after every message.
  void btnImportClick(TLearner::TMark mark, bool folder);
  // Stops the running import after the message being read; what was learned stays.
  void btnStopClick() { stop_ = true; }
  // "Reset...": after a Yes (No is the default), the learner forgets everything.
  void btnResetClick();

  // "Learned 240 messages as spam (3 could not be read)."
  static std::string Summary(const TLearnImport& result, TLearner::TMark mark);

 private:
  void Changed() {
    if (OnChanged) OnChanged();
  }

  TfrmMain& main_;
  bool importing_ = false, stop_ = false;
  std::string lastFolder_;  // where the next dialog opens, ending in "/"
};

}  // namespace norva
