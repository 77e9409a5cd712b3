// The rules, templates and check lists pages, driven with scripted boxes in a temporary folder.
#include "config/ListsPage.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <deque>
#include <filesystem>

#include "app/Rules.h"
#include "store/FileIO.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class ListsPageTest : public ::testing::Test {
 protected:
  ListsPageTest() : options(dir.Path()), page(options, Ui()) {}

  ListsPageUi Ui() {
    ListsPageUi ui;
    ui.Confirm = [this](const std::string& title, const std::string& text) {
      confirms.push_back(title + "|" + text);
      return confirmAnswer;
    };
    ui.InputQuery = [this](const std::string&, const std::string&, std::string& answer) {
      answer = answers.front();
      answers.pop_front();
      return true;
    };
    ui.ShowError = [this](const std::string& text) { errors.push_back(text); };
    ui.TemplatesChanged = [this] { ++templateRebuilds; };
    ui.CheckListsChanged = [this] { ++listRebuilds; };
    return ui;
  }

  size_t FileCount() const {
    size_t files = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.Path()))
      files += entry.is_regular_file();
    return files;
  }

  TempDir dir;
  TfrmOptions options;
  TListsPage page;
  std::deque<std::string> answers;
  bool confirmAnswer = true;
  std::vector<std::string> confirms, errors;
  int templateRebuilds = 0, listRebuilds = 0;
};

// The page's own code tables must agree with the rule editor's.
TEST(RuleCodes, AgreeWithTheRuleEditorTables) {
  for (uint8_t f = 0; f < kFilterTypeCount; ++f)
    EXPECT_EQ(FilterNamesCheckList(f), kFilterParamKinds[f] == pkNamed) << int(f);
  for (uint8_t a = 0; a < kActionTypeCount; ++a)
    EXPECT_EQ(ActionNamesTemplate(a), kActionParamKinds[a] == pkNamed) << int(a);
}

TEST(RuleCodes, NumberParametersAreChecked) {
  EXPECT_EQ(RuleError({12, "5000", 4, "-3"}), "");
  EXPECT_EQ(RuleError({18, " +7", 0, ""}), "");
  EXPECT_NE(RuleError({12, "5k", 0, ""}), "");
  EXPECT_NE(RuleError({13, "", 0, ""}), "");
  EXPECT_NE(RuleError({18, "99999999999", 0, ""}), "");
  EXPECT_NE(RuleError({0, "x", 4, "1.5"}), "");
  EXPECT_NE(RuleError({14, "", 0, ""}), "");  // no check list chosen
  EXPECT_NE(RuleError({0, "", 6, ""}), "");   // no template chosen
  EXPECT_NE(RuleError({0, " ", 5, " "}), "");  // an archive without a name
  EXPECT_EQ(RuleError({0, "", 5, "Bulk"}), "");
  EXPECT_NE(RuleError({0, std::string(256, 'a'), 0, ""}), "");
  for (const char* percent : {"0", "90%", " 100 % "})
    EXPECT_EQ(RuleError({kLearnedFilter, percent, 1, ""}), "") << percent;
  for (const char* percent : {"", "%", "101", "-1", "9.5", "+90", "90%%"})
    EXPECT_NE(RuleError({kLearnedFilter, percent, 1, ""}), "") << percent;
  EXPECT_NE(RuleError({kFilterTypeCount, "", 0, ""}), "");
  EXPECT_NE(RuleError({0, "", kActionTypeCount, ""}), "");
}

TEST_F(ListsPageTest, BadRuleIsRefusedBeforeAnythingChanges) {
  options.lsvRule = {{2, "offer", 1, ""}};
  EXPECT_FALSE(page.AddRule({12, "big", 0, ""}));
  page.RuleIndex = 0;
  EXPECT_FALSE(page.UpdateRule({0, "", 4, "ten"}));
  EXPECT_EQ(options.lsvRule, (std::vector<MailRule>{{2, "offer", 1, ""}}));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[1].find("ten"), std::string::npos);
  EXPECT_TRUE(page.UpdateRule({12, "100", 0, ""}));
  EXPECT_EQ(options.lsvRule[0], (MailRule{12, "100", 0, ""}));
}

TEST_F(ListsPageTest, DeleteAndMoveRules) {
  options.lsvRule = {{19, "", 0, ""}, {2, "a", 1, ""}, {2, "b", 2, ""}};
  EXPECT_FALSE(page.DeleteRule());  // nothing selected
  page.RuleIndex = 2;
  EXPECT_TRUE(page.MoveRule(-1));
  EXPECT_EQ(page.RuleIndex, 1);
  EXPECT_EQ(options.lsvRule[1].FilterParam, "b");
  EXPECT_FALSE(page.MoveRule(-2));
  page.RuleIndex = 2;
  EXPECT_FALSE(page.MoveRule(1));
  confirmAnswer = false;
  EXPECT_FALSE(page.DeleteRule());
  EXPECT_EQ(options.lsvRule.size(), 3u);
  confirmAnswer = true;
  EXPECT_TRUE(page.DeleteRule());
  EXPECT_EQ(confirms.back(), "Confirm|Confirm rule deletion ?");
  EXPECT_EQ(options.lsvRule, (std::vector<MailRule>{{19, "", 0, ""}, {2, "b", 2, ""}}));
}

TEST_F(ListsPageTest, AddedTemplatesTakeTheNextFreeNumberEvenAfterAnEmptyName) {
  options.lstTemplate = {{"one", 1}, {"four", 4}};
  options.TemplateCounter = 4;
  WriteFile(dir.File("FN5.txt"), "stale\r\n");  // left behind by an earlier run: kept, skipped
  answers = {"five", "", "seven", "FIVE"};
  EXPECT_TRUE(page.AddTemplate());
  EXPECT_FALSE(page.AddTemplate());
  EXPECT_TRUE(page.AddTemplate());
  EXPECT_FALSE(page.AddTemplate());  // the same name in other case
  EXPECT_EQ(options.lstTemplate[2], (TNamedFile{"five", 6}));
  EXPECT_EQ(options.lstTemplate.back(), (TNamedFile{"seven", 8}));
  EXPECT_EQ(options.lstTemplate.size(), 4u);
  EXPECT_EQ(options.TemplateCounter, 8);
  EXPECT_EQ(templateRebuilds, 2);
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(ReadFile(dir.File("FN5.txt")), "stale\r\n");
}

TEST_F(ListsPageTest, TextsAreSavedAsCrLfLinesAndReadBack) {
  answers = {"spam words"};
  ASSERT_TRUE(page.AddCList());
  EXPECT_EQ(options.lstCList[0], (TNamedFile{"spam words", 1}));
  page.SelectCList(0);
  EXPECT_TRUE(page.redCList.empty());
  page.redCList = {"viagra", "", "; comment"};
  ASSERT_TRUE(page.UpdateCList());
  EXPECT_EQ(ReadFile(dir.File("CL1.txt")), "viagra\r\n\r\n; comment\r\n");
  page.SelectCList(-1);
  EXPECT_TRUE(page.redCList.empty());
  page.SelectCList(0);
  EXPECT_EQ(page.redCList, (std::vector<std::string>{"viagra", "", "; comment"}));
  EXPECT_EQ(FileCount(), 1u);  // no temporary file left beside it
  EXPECT_TRUE(errors.empty());
}

TEST_F(ListsPageTest, MissingOrUnwritableFilesAreReported) {
  options.lstTemplate = {{"gone", 3}};
  page.SelectTemplate(0);
  EXPECT_TRUE(page.memTemplate.empty());
  ASSERT_EQ(errors.size(), 1u);
  // A failed write leaves the old text whole and no temporary file behind.
  WriteFile(dir.File("FN3.txt"), "kept\r\n");
  fileio::SetFaultHook(
      [](fileio::Op op, const std::string&) { return op == fileio::Op::Rename ? EIO : 0; });
  page.memTemplate = {"new"};
  EXPECT_FALSE(page.UpdateTemplate());
  fileio::SetFaultHook(nullptr);
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(ReadFile(dir.File("FN3.txt")), "kept\r\n");
  EXPECT_EQ(FileCount(), 1u);
}

TEST_F(ListsPageTest, DeleteAsksThenRemovesEntryAndFile) {
  options.lstTemplate = {{"a", 1}, {"b", 2}};
  WriteFile(dir.File("FN1.txt"), "x\r\n");
  page.SelectTemplate(0);
  confirmAnswer = false;
  EXPECT_FALSE(page.DeleteTemplate());
  EXPECT_EQ(options.lstTemplate.size(), 2u);
  confirmAnswer = true;
  EXPECT_TRUE(page.DeleteTemplate());
  EXPECT_EQ(confirms.back(),
            "Confirm Template Delete|Delete this template and the associated file: " +
                dir.File("FN1.txt") + " ?");
  EXPECT_FALSE(std::filesystem::exists(dir.File("FN1.txt")));
  EXPECT_EQ(page.memTemplate, (std::vector<std::string>{"x"}));  // the text stays shown
  page.TemplateIndex = 0;  // "b" has no file: the entry still goes, silently
  EXPECT_TRUE(page.DeleteTemplate());
  EXPECT_TRUE(options.lstTemplate.empty());
  EXPECT_EQ(templateRebuilds, 2);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ListsPageTest, CheckListOrTemplateNamedByARuleIsKept) {
  options.lstCList = {{"Friends", 1}};
  options.lstTemplate = {{"Thanks", 2}};
  options.lsvRule = {{19, "", 1, ""}, {22, "friends", 0, ""}, {0, "x@y", 6, "THANKS"}};
  WriteFile(dir.File("CL1.txt"), "a@b\r\n");
  page.CListIndex = 0;
  page.TemplateIndex = 0;
  EXPECT_FALSE(page.DeleteCList());
  EXPECT_FALSE(page.DeleteTemplate());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("Rule 2"), std::string::npos);
  EXPECT_TRUE(confirms.empty());
  EXPECT_EQ(options.lstCList.size(), 1u);
  EXPECT_EQ(ReadFile(dir.File("CL1.txt")), "a@b\r\n");
  options.lsvRule.erase(options.lsvRule.begin() + 1);
  EXPECT_TRUE(page.DeleteCList());
  EXPECT_EQ(listRebuilds, 1);
}

}  // namespace
}  // namespace norva
