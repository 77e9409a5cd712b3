// The rule editor's fields and the rules they build, and the quick commands of the message
// list's pop-up menu that fill the "Safe List" and "Black List" check lists and the address book.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Main.h"
#include "app/Rules.h"
#include "config/ListsPage.h"
#include "support/FakeDesktop.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using testing::FakeDesktop;
using testing::TempDir;
using Names = std::vector<std::string>;

class RuleEditorTest : public ::testing::Test {
 protected:
  TempDir dir;
  TfrmOptions options{dir.Path()};
  TfrmRule rule{options};
};

TEST_F(RuleEditorTest, ParameterWidgetsAndValueFollowTheKindOfTheSelectedCode) {
  options.lstCList = {{"Safe List", 1}, {"Black List", 2}};
  rule.FormCreate();
  ASSERT_EQ(rule.lstFilter.size(), size_t(kFilterTypeCount));
  ASSERT_EQ(rule.lstAction.size(), size_t(kActionTypeCount));
  EXPECT_EQ(rule.lstFilter[22], kFilterCaptions[22]);

  // Filter 0 takes text, action 0 nothing.
  EXPECT_EQ(rule.lstFilterIndex, 0);
  EXPECT_TRUE(rule.lblFilterVisible && rule.edtFilterVisible && !rule.cmbFilterVisible);
  EXPECT_FALSE(rule.lblActionVisible || rule.edtActionVisible || rule.cmbActionVisible);
  EXPECT_EQ(rule.memAction.substr(0, 30), "Remove message from server wit");

  rule.lstFilterIndex = 11;
  rule.lstFilterClick();
  EXPECT_EQ(rule.memFilter, "Bulk messages sometime contain \"bulk\" within this header.");

  // A kind-0 filter hides everything and yields no parameter, whatever the text field holds.
  rule.edtFilter = "left over";
  rule.lstFilterIndex = 4;
  rule.lstFilterClick();
  EXPECT_FALSE(rule.lblFilterVisible || rule.edtFilterVisible || rule.cmbFilterVisible);
  EXPECT_EQ(rule.BuildRule().FilterParam, "");

  // A kind-2 filter offers the current check lists, the first one preselected.
  rule.lstFilterIndex = 14;
  rule.lstFilterClick();
  EXPECT_TRUE(rule.lblFilterVisible && !rule.edtFilterVisible && rule.cmbFilterVisible);
  EXPECT_EQ(rule.cmbFilter.Items, (Names{"Safe List", "Black List"}));
  EXPECT_EQ(rule.BuildRule().FilterParam, "Safe List");
  options.lstCList.push_back({"Words", 5});
  rule.reloadCmbFilter();
  EXPECT_EQ(rule.cmbFilter.Items.back(), "Words");

  // With no templates the template drop-down is empty: the rule names none and is refused.
  rule.lstActionIndex = 6;
  rule.lstActionClick();
  EXPECT_TRUE(rule.cmbActionVisible);
  EXPECT_TRUE(rule.cmbAction.Items.empty());
  EXPECT_EQ(rule.cmbAction.ItemIndex, -1);
  const MailRule built = rule.BuildRule();
  EXPECT_EQ(built, (MailRule{14, "Safe List", 6, ""}));
  EXPECT_NE(RuleError(built), "");
}

TEST_F(RuleEditorTest, LoadedRuleBuildsBackAndAnEmptyRuleResets) {
  options.lstCList = {{"Safe List", 1}, {"Black List", 2}};
  options.lstTemplate = {{"Thanks", 1}, {"Away", 2}};
  rule.FormCreate();

  for (const MailRule& stored : {MailRule{0, "joe@example.com", 4, "25"},
                                 MailRule{22, "Black List", 6, "Away"}, MailRule{17, "", 2, ""}}) {
    rule.LoadRule(stored);
    EXPECT_EQ(rule.BuildRule(), stored) << int(stored.FilterType);
  }

  // Names are found without regard to case; a name no longer offered selects nothing.
  rule.LoadRule({15, "black list", 6, "Gone"});
  EXPECT_TRUE(rule.cmbActionVisible && !rule.edtActionVisible);
  EXPECT_EQ(rule.cmbFilter.ItemIndex, 1);
  EXPECT_EQ(rule.cmbAction.ItemIndex, -1);
  EXPECT_EQ(rule.BuildRule(), (MailRule{15, "Black List", 6, ""}));

  rule.LoadRule({2, "pills", 5, "spam.txt"});
  rule.LoadRule({});
  EXPECT_EQ(rule.lstFilterIndex, 0);
  EXPECT_EQ(rule.lstActionIndex, 0);
  EXPECT_EQ(rule.edtFilter, "");
  EXPECT_EQ(rule.edtAction, "");
  EXPECT_EQ(rule.BuildRule(), MailRule{});
}

}  // namespace
}  // namespace norva
