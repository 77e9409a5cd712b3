// The rules, templates and check lists pages of the preferences window: operations on the lists
// of a TfrmOptions, with the platform's boxes plugged in as callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/Options.h"

namespace norva {

// What a rule's codes mean for its parameters (the rule editor's tables agree): a filter or
// action that compares a whole number, a filter that names a check list, an action that names a
// template.
bool FilterTakesNumber(uint8_t filterType);
bool ActionTakesNumber(uint8_t actionType);
bool FilterNamesCheckList(uint8_t filterType);
bool ActionNamesTemplate(uint8_t actionType);
// The percentage of a learned-probability filter: a whole number from 0 to 100, "%" after it
// allowed; anything else raises EConvertError.
int32_t LearnedPercent(const std::string& text);

// Why the rule cannot be stored as it stands, or "" when it can: a code outside its table, a
// number parameter that is not a decimal whole number, a percentage that is not one from 0 to
// 100, no name where one must be chosen, a parameter the store would cut (over 255 bytes or with
// a zero byte).
std::string RuleError(const MailRule& rule);

// The template file "FN<n>.txt" and the check-list file "CL<n>.txt" in the given folder.
std::string TemplateFileName(const std::string& folder, int32_t fileNumber);
std::string CheckListFileName(const std::string& folder, int32_t fileNumber);

// Replaces a file's content: the bytes go to a new file beside it, which is renamed over it, so
// a failure leaves the old content whole. Returns the error, "" on success.
std::string ReplaceFile(const std::string& path, const std::string& bytes);

// A new check list, as the page's Add makes it from a name: the next file number (used up even
// when the name is then refused), an empty file, the entry appended to lstCList. False with the
// reason in `error` when refused ("" for an empty name).
bool AddCheckList(TfrmOptions& options, const std::string& name, std::string& error);

// What the pages need of the platform and of the rule editor.
struct ListsPageUi {
  // A Yes/No or OK/Cancel box: true for Yes or OK.
  std::function<bool(const std::string& title, const std::string& text)> Confirm;
  // An input box: false when cancelled, else the answer in `answer`.
  std::function<bool(const std::string& title, const std::string& prompt, std::string& answer)>
      InputQuery;
  std::function<void(const std::string& text)> ShowError;
  // The rule editor rebuilds its action (templates) or filter (check lists) choices.
  std::function<void()> TemplatesChanged;
  std::function<void()> CheckListsChanged;
};

class TListsPage {
 public:
  TListsPage(TfrmOptions& options, ListsPageUi ui);

  // ---- rules (lsvRule; -1 selects nothing) ----
  int32_t RuleIndex = -1;
  // The rule editor's OK: refused with an error box, the list unchanged, when RuleError objects.
  bool AddRule(const MailRule& rule);
  bool UpdateRule(const MailRule& rule);  // the selected row
  // Asks first; true when the selected rule was removed.
  bool DeleteRule();
  // Moves the selected rule one row up (-1) or down (+1); the selection follows it.
  bool MoveRule(int32_t step);

  // ---- templates ----
  int32_t TemplateIndex = -1;
  std::vector<std::string> memTemplate;
  bool AddTemplate();
  void SelectTemplate(int32_t index);
  bool UpdateTemplate();
  bool DeleteTemplate();

  // ---- check lists ----
  int32_t CListIndex = -1;
  std::vector<std::string> redCList;
  bool AddCList();
  void SelectCList(int32_t index);
  bool UpdateCList();
  bool DeleteCList();

 private:
  struct Kind;
  Kind Templates();
  Kind CheckLists();
  bool AddNamed(const Kind& kind);
  void SelectNamed(const Kind& kind, int32_t index);
  bool UpdateNamed(const Kind& kind);
  bool DeleteNamed(const Kind& kind);
  void Error(const std::string& text) const;

  TfrmOptions& options_;
  ListsPageUi ui_;
};

}  // namespace norva
