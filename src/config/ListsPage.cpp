#include "config/ListsPage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "mail/msCls.h"
#include "mail/msutils.h"
#include "store/FileIO.h"
#include "store/Streams.h"

namespace norva {

// One of the two named-file pages: its list, counter, selection, text and wording.
struct TListsPage::Kind {
  std::vector<TNamedFile>& List;
  int32_t& Counter;
  int32_t& Index;
  std::vector<std::string>& Text;
  std::string (*FileName)(const std::string& folder, int32_t fileNumber);
  const char* AddTitle;
  const char* AddPrompt;
  const char* DeleteTitle;
  const char* DeleteText;
  const char* What;  // "template", "check list"
  bool (*RuleNames)(const MailRule& rule, const std::string& name);
  const std::function<void()>& Changed;
};

namespace {

// The store keeps at most 255 bytes of a string and stops at a zero byte.
bool Storable(const std::string& text) {
  return text.size() <= 255 && text.find('\0') == std::string::npos;
}

bool RuleNamesCheckList(const MailRule& rule, const std::string& name) {
  return FilterNamesCheckList(rule.FilterType) && SameText(rule.FilterParam, name);
}

bool RuleNamesTemplate(const MailRule& rule, const std::string& name) {
  return ActionNamesTemplate(rule.ActionType) && SameText(rule.ActionParam, name);
}

// Lines end in CR LF. Returns the error, "" on success.
std::string WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) (bytes += line) += "\r\n";
  return ReplaceFile(path, bytes);
}

// Gives the next free number of `counter` to a new entry named `name` of `list`, whose file
// starts empty. A file already there under a number (a deletion that failed, a list another run
// made and never registered) is never emptied or reused: the number is skipped. False with the
// reason in `error` ("" for an empty name).
bool AddNamedFile(std::vector<TNamedFile>& list, int32_t& counter, const std::string& folder,
                  std::string (*fileName)(const std::string&, int32_t), const std::string& what,
                  const std::string& name, std::string& error) {
  error.clear();
  if (name.empty()) {
    if (counter < INT32_MAX) ++counter;  // used up even by an empty name
    return false;
  }
  if (!Storable(name)) {
    error = "A " + what + " name can hold at most 255 characters.";
    return false;
  }
  // Names are found without regard to case, as the rules look them up.
  if (const TNamedFile* same = FindNamed(list, name)) {
    error = "There is already a " + what + " named '" + same->Name + "'.";
    return false;
  }
  for (int tries = 0; tries < 10000; ++tries) {
    if (counter == INT32_MAX) {
      error = "No more " + what + " file numbers are left.";
      return false;
    }
    const TNamedFile entry{name, ++counter};
    const std::string path = fileName(folder, entry.FileNumber);
    const int fd = fileio::Open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error = "Cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    ::close(fd);
    list.push_back(entry);
    return true;
  }
  error = "No free " + what + " file number is left in " + folder + ".";
  return false;
}

}  // namespace

bool FilterTakesNumber(uint8_t filterType) {
  return filterType == 12 || filterType == 13 || filterType == 18;
}
bool ActionTakesNumber(uint8_t actionType) {
  return actionType == 4;
}
bool FilterNamesCheckList(uint8_t filterType) {
  return (filterType >= 14 && filterType <= 16) || (filterType >= 20 && filterType <= 22);
}
bool ActionNamesTemplate(uint8_t actionType) {
  return actionType == 6;
}

int32_t LearnedPercent(const std::string& text) {
  std::string number = Trim(text);
  if (!number.empty() && number.back() == '%') number = Trim(number.substr(0, number.size() - 1));
  const bool digits =
      !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
  const int32_t percent = digits && number.size() <= 3 ? StrToInt(number) : -1;
  if (percent < 0 || percent > 100)
    throw EConvertError("'" + text + "' is not a percentage from 0 to 100");
  return percent;
}

std::string RuleError(const MailRule& rule) {
  if (rule.FilterType >= kFilterTypeCount) return "Unknown filter type.";
  if (rule.ActionType >= kActionTypeCount) return "Unknown action type.";
  // Checked with the same conversion the rules are evaluated with.
  auto number = [](const std::string& text) {
    try {
      StrToInt(text);
      return true;
    } catch (const EConvertError&) {
      return false;
    }
  };
  if (FilterTakesNumber(rule.FilterType) && !number(rule.FilterParam))
    return "The filter needs a whole number, not '" + rule.FilterParam + "'.";
  if (rule.FilterType == kLearnedFilter) {
    try {
      LearnedPercent(rule.FilterParam);
    } catch (const EConvertError&) {
      return "The filter needs a whole percentage from 0 to 100, not '" + rule.FilterParam + "'.";
    }
  }
  if (ActionTakesNumber(rule.ActionType) && !number(rule.ActionParam))
    return "The action needs a whole number, not '" + rule.ActionParam + "'.";
  if (FilterNamesCheckList(rule.FilterType) && rule.FilterParam.empty())
    return "Choose a check list for the filter.";
  if (ActionNamesTemplate(rule.ActionType) && rule.ActionParam.empty())
    return "Choose a template for the action.";
  // An archive without a name cannot be written: every message the rule matched would fail.
  if (rule.ActionType == 5 && rule.ActionParam.find_first_not_of(" \t") == std::string::npos)
    return "Give the archive file a name.";
  if (!Storable(rule.FilterParam) || !Storable(rule.ActionParam))
    return "A rule parameter can hold at most 255 characters.";
  return "";
}

std::string ReplaceFile(const std::string& path, const std::string& bytes) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string temp;
  const int fd = fileio::CreateUnique(folder, ".lists", temp);
  if (fd < 0) return "Cannot write " + path + ": " + std::strerror(errno);
  const bool written =
      fileio::WriteAll(fd, bytes.data(), bytes.size(), temp) && fileio::Fsync(fd, temp) == 0;
  int error = errno;
  ::close(fd);
  if (written && fileio::Rename(temp, path) == 0) {
    fileio::SyncDirectory(folder);
    return "";
  }
  if (written) error = errno;
  fileio::Unlink(temp);
  return "Cannot write " + path + ": " + (error ? std::strerror(error) : "the disk is full");
}

bool AddCheckList(TfrmOptions& options, const std::string& name, std::string& error) {
  return AddNamedFile(options.lstCList, options.CListCounter, options.Folder(), CheckListFileName,
                      "check list", name, error);
}

std::string TemplateFileName(const std::string& folder, int32_t fileNumber) {
  return folder + "/FN" + std::to_string(fileNumber) + ".txt";
}

std::string CheckListFileName(const std::string& folder, int32_t fileNumber) {
  return folder + "/CL" + std::to_string(fileNumber) + ".txt";
}

TListsPage::TListsPage(TfrmOptions& options, ListsPageUi ui)
    : options_(options), ui_(std::move(ui)) {}

void TListsPage::Error(const std::string& text) const {
  if (ui_.ShowError) ui_.ShowError(text);
}

// ---- rules ----

bool TListsPage::AddRule(const MailRule& rule) {
  if (const std::string error = RuleError(rule); !error.empty()) {
    Error(error);
    return false;
  }
  options_.lsvRule.push_back(rule);
  return true;
}

bool TListsPage::UpdateRule(const MailRule& rule) {
  if (RuleIndex < 0 || size_t(RuleIndex) >= options_.lsvRule.size()) return false;
  if (const std::string error = RuleError(rule); !error.empty()) {
    Error(error);
    return false;
  }
  options_.lsvRule.Set(size_t(RuleIndex), rule);
  return true;
}

bool TListsPage::DeleteRule() {
  if (RuleIndex < 0 || size_t(RuleIndex) >= options_.lsvRule.size()) return false;
  if (!ui_.Confirm || !ui_.Confirm("Confirm", "Confirm rule deletion ?")) return false;
  options_.lsvRule.erase(options_.lsvRule.begin() + RuleIndex);
  RuleIndex = -1;
  return true;
}

bool TListsPage::MoveRule(int32_t step) {
  const int64_t to = int64_t(RuleIndex) + step;
  if (RuleIndex < 0 || size_t(RuleIndex) >= options_.lsvRule.size() || to < 0 ||
      size_t(to) >= options_.lsvRule.size() || step == 0)
    return false;
  options_.lsvRule.Swap(size_t(RuleIndex), size_t(to));
  RuleIndex = int32_t(to);
  return true;
}

// ---- templates and check lists ----

bool TListsPage::AddNamed(const Kind& kind) {
  std::string name;
  if (!ui_.InputQuery || !ui_.InputQuery(kind.AddTitle, kind.AddPrompt, name)) return false;
  std::string error;
  if (!AddNamedFile(kind.List, kind.Counter, options_.Folder(), kind.FileName, kind.What, name,
                    error)) {
    if (!error.empty()) Error(error);
    return false;
  }
  if (kind.Changed) kind.Changed();
  return true;
}

void TListsPage::SelectNamed(const Kind& kind, int32_t index) {
  kind.Index = index >= 0 && size_t(index) < kind.List.size() ? index : -1;
  kind.Text.clear();
  if (kind.Index < 0) return;
  TMemoryStream file;
  try {
    file.LoadFromFile(kind.FileName(options_.Folder(), kind.List[size_t(index)].FileNumber));
  } catch (const EStreamError& e) {
    Error(e.what());
    return;
  }
  kind.Text = SplitLines(file.Bytes());
}

bool TListsPage::UpdateNamed(const Kind& kind) {
  if (kind.Index < 0 || size_t(kind.Index) >= kind.List.size()) return false;
  const std::string error = WriteLines(
      kind.FileName(options_.Folder(), kind.List[size_t(kind.Index)].FileNumber), kind.Text);
  if (error.empty()) return true;
  Error(error);
  return false;
}

bool TListsPage::DeleteNamed(const Kind& kind) {
  if (kind.Index < 0 || size_t(kind.Index) >= kind.List.size()) return false;
  const TNamedFile entry = kind.List[size_t(kind.Index)];
  // A rule left naming a missing entry would change what it does (a "not in the list" test
  // would hold for every message), so the entry stays until no rule names it.
  for (size_t i = 0; i < options_.lsvRule.size(); ++i)
    if (kind.RuleNames(options_.lsvRule[i], entry.Name)) {
      Error(std::string("Rule ") + std::to_string(i + 1) + " uses the " + kind.What + " '" +
            entry.Name + "'. Change or delete that rule first.");
      return false;
    }
  const std::string path = kind.FileName(options_.Folder(), entry.FileNumber);
  if (!ui_.Confirm || !ui_.Confirm(kind.DeleteTitle, kind.DeleteText + path + " ?")) return false;
  kind.List.erase(kind.List.begin() + kind.Index);
  kind.Index = -1;
  if (fileio::Unlink(path) != 0 && errno != ENOENT)
    Error("Cannot delete " + path + ": " + std::strerror(errno));
  if (kind.Changed) kind.Changed();
  return true;
}

TListsPage::Kind TListsPage::Templates() {
  return {options_.lstTemplate,
          options_.TemplateCounter,
          TemplateIndex,
          memTemplate,
          TemplateFileName,
          "Add Template",
          "Enter Template Name",
          "Confirm Template Delete",
          "Delete this template and the associated file: ",
          "template",
          RuleNamesTemplate,
          ui_.TemplatesChanged};
}

TListsPage::Kind TListsPage::CheckLists() {
  return {options_.lstCList,
          options_.CListCounter,
          CListIndex,
          redCList,
          CheckListFileName,
          "Add Check List",
          "Enter Check List Name",
          "Confirm Check List Delete",
          "Delete this Check List and the associated file: ",
          "check list",
          RuleNamesCheckList,
          ui_.CheckListsChanged};
}

bool TListsPage::AddTemplate() {
  return AddNamed(Templates());
}
void TListsPage::SelectTemplate(int32_t index) {
  SelectNamed(Templates(), index);
}
bool TListsPage::UpdateTemplate() {
  return UpdateNamed(Templates());
}
bool TListsPage::DeleteTemplate() {
  return DeleteNamed(Templates());
}

bool TListsPage::AddCList() {
  return AddNamed(CheckLists());
}
void TListsPage::SelectCList(int32_t index) {
  SelectNamed(CheckLists(), index);
}
bool TListsPage::UpdateCList() {
  return UpdateNamed(CheckLists());
}
bool TListsPage::DeleteCList() {
  return DeleteNamed(CheckLists());
}

}  // namespace norva
