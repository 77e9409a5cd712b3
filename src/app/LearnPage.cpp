// TLearnPage: what the spam learner knows, importing messages into it, and resetting it.
#include "app/LearnPage.h"

#include <cmath>
#include <exception>
#include <filesystem>

namespace norva {

namespace {

std::string Messages(int32_t count) {
  return std::to_string(count) + (count == 1 ? " message" : " messages");
}

const char* ClassName(TLearner::TMark mark) {
  return mark == TLearner::TMark::Spam ? "spam" : "safe";
}

}  // namespace

std::string TLearnPage::lblLearned() {
  if (main_.LearnerBroken())
    return "The spam learner's file could not be read: Reset... starts it afresh.";
  const TLearner& learner = main_.Learner();
  const uint32_t safe = learner.SafeCount();
  return "Learned from " + std::to_string(learner.SpamCount()) + " spam and " +
         std::to_string(safe) + (safe == 1 ? " safe message." : " safe messages.");
}

std::string TLearnPage::Summary(const TLearnImport& result, TLearner::TMark mark) {
  if (result.Messages() == 0) return "No message was found there.";
  std::string text = (result.Stopped ? "Stopped. Learned " : "Learned ") +
                     Messages(result.Learned) + " as " + ClassName(mark);
  std::string notes;
  if (result.Already > 0)
    notes = std::to_string(result.Already) + " had been learned as " + ClassName(mark) + " before";
  if (result.Unreadable > 0)
    notes += (notes.empty() ? "" : ", ") + std::to_string(result.Unreadable) + " could not be read";
  return text + (notes.empty() ? "" : " (" + notes + ")") + ".";
}

void TLearnPage::btnImportClick(TLearner::TMark mark, bool folder) {
  if (main_.Busy || importing_) return;
  Desktop& desktop = main_.desktop;
  std::string path = lastFolder_.empty() ? main_.frmOptions.Folder() + "/" : lastFolder_;
  const std::string title = std::string("Import as ") + ClassName(mark);
  const bool chosen =
      folder ? desktop.FolderDialog(title + ": a folder of messages", path)
             : desktop.OpenDialog(title + ": an mbox file or a Norva archive",
                                  "All Files|*|Mbox Files|*.mbox;*.mbx|Norva Archives|*.TMA;*.tma|"
                                  "Message Files|*.eml",
                                  path);
  if (!chosen || path.empty()) return;
  const std::filesystem::path chosenPath(path);
  lastFolder_ = (folder ? chosenPath : chosenPath.parent_path()).string() + "/";
  if (main_.LearnerBroken()) {
    main_.ShowError("The spam learner's file could not be read: reset it before importing.");
    return;
  }

  TLearnImport result;
  std::string failure;
  importing_ = true;
  stop_ = false;
  lblProgress = "Importing...";
  Changed();
  main_.LockWindow();
  try {
    ImportMessages(path, main_.Learner(), mark, result,
                   [this, &desktop](const TLearnImport& sofar) {
                     lblProgress = "Importing... " + Messages(sofar.Messages()) + " read (" +
                                   std::to_string(int(std::floor(sofar.Done * 100))) + "%)";
                     Changed();
                     desktop.ProcessMessages();
                     return !stop_;
                   });
  } catch (const std::exception& e) {
    failure = ErrorText(e);
  }
  main_.UnlockWindow();
  importing_ = false;
  lblProgress.clear();
  // Saved once, with whatever was learned before a failure or a stop.
  const bool saved = result.Learned == 0 || main_.SaveLearned();
  Changed();
  if (!failure.empty()) {
    main_.ShowError("The messages could not be imported: " + failure);
    if (result.Messages() == 0) return;
  }
  if (saved)
    desktop.MessageBox(Summary(result, mark), "Norva", Desktop::mbOK, Desktop::iconInformation);
}

void TLearnPage::btnResetClick() {
  if (main_.Busy || importing_) return;
  if (main_.desktop.MessageBox("Forget everything the spam learner has learned?", "Norva",
                               Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo,
                               Desktop::iconQuestion) != Desktop::mrYes)
    return;
  main_.ResetLearner();
  Changed();
}

}  // namespace norva
