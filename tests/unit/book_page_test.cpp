// The address book page, driven with recording boxes.
#include "config/BookPage.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace norva {
namespace {

using testing::TempDir;

class BookPageTest : public ::testing::Test {
 protected:
  BookPageTest() : options(dir.Path()), page(options, Ui()) {
    options.OnFillEdtMsgTo = [this] { composeList = BookRecipients(options.lsvBook); };
  }

  BookPageUi Ui() {
    BookPageUi ui;
    ui.ShowError = [this](const std::string& text) { errors.push_back(text); };
    ui.Focus = [this](BookField field) { focused.push_back(field); };
    ui.ComposeTo = [this](const std::string& to) { composedTo.push_back(to); };
    return ui;
  }

  bool Add(const std::string& name, const std::string& address, const std::string& comment) {
    page.edtNameBook = name;
    page.edtAddressBook = address;
    page.edtCommentBook = comment;
    return page.AddBook();
  }

  std::vector<std::string> Column(int32_t column) const {
    std::vector<std::string> cells;
    for (const TBookRow& row : options.lsvBook) cells.push_back(BookCell(row, column));
    return cells;
  }

  TempDir dir;
  TfrmOptions options;
  TBookPage page;
  std::vector<std::string> errors, composeList, composedTo;
  std::vector<BookField> focused;
};

TEST_F(BookPageTest, EachColumnSortsInByteOrder) {
  ASSERT_TRUE(Add("bob", "zed@x", "b"));
  ASSERT_TRUE(Add("Bob", "ann@x", "B"));
  ASSERT_TRUE(Add("bo", "Zed@x", "\xe9t\xe9"));
  EXPECT_EQ(Column(0), (std::vector<std::string>{"Bob", "bo", "bob"}));
  page.SortByColumn(1);
  EXPECT_EQ(Column(1), (std::vector<std::string>{"Zed@x", "ann@x", "zed@x"}));
  page.SortByColumn(2);  // bytes above 0x7F come after ASCII
  EXPECT_EQ(Column(2), (std::vector<std::string>{"B", "b", "\xe9t\xe9"}));
  page.SortByColumn(2);  // a second click does not reverse
  EXPECT_EQ(Column(2), (std::vector<std::string>{"B", "b", "\xe9t\xe9"}));
  page.SortByColumn(3);
  EXPECT_EQ(options.BookSort, 2);
}

TEST_F(BookPageTest, SelectionFollowsItsRowThroughUpdateAndSort) {
  Add("carol", "c@x", "");
  Add("alice", "a@x", "");
  page.SelectBook(1);
  EXPECT_EQ(page.edtNameBook, "carol");
  page.edtNameBook = "aaron";
  ASSERT_TRUE(page.UpdateBook());
  EXPECT_EQ(Column(0), (std::vector<std::string>{"aaron", "alice"}));
  EXPECT_EQ(page.BookIndex, 0);
  page.SelectBook(5);  // no row: the fields stay
  EXPECT_EQ(page.BookIndex, -1);
  EXPECT_EQ(page.edtNameBook, "aaron");
  EXPECT_FALSE(page.UpdateBook());
  EXPECT_FALSE(page.DeleteBook());
}

TEST_F(BookPageTest, AddAndUpdateRefuseMissingOrUnstorableFields) {
  EXPECT_FALSE(Add("", "", ""));
  EXPECT_FALSE(Add("ann", "", ""));
  EXPECT_FALSE(Add("ann", "a@x", std::string(256, 'c')));
  EXPECT_FALSE(Add("ann", "a@x\r\nBcc: b@y", ""));
  EXPECT_EQ(errors, (std::vector<std::string>{"Please insert a correct Name.",
                                              "Please insert a correct Mail Address.",
                                              BookRowError({"a", "b", std::string(256, 'c')}),
                                              BookRowError({"a", "b", std::string(256, 'c')})}));
  EXPECT_EQ(focused, (std::vector<BookField>{BookField::Name, BookField::Address,
                                             BookField::Comment, BookField::Address}));
  EXPECT_TRUE(options.lsvBook.empty());
  EXPECT_EQ(page.edtNameBook, "ann");  // a refused add keeps the fields

  ASSERT_TRUE(Add("ann", "a@x", std::string(255, 'c')));
  EXPECT_EQ(page.edtNameBook, "");
  page.SelectBook(0);
  page.edtAddressBook = "";
  EXPECT_FALSE(page.UpdateBook());
  EXPECT_EQ(options.lsvBook[0].Address, "a@x");
}

TEST_F(BookPageTest, ComposeListFollowsEveryChange) {
  Add("Zoe", "z@x", "");
  Add("Al", "al@x", "");
  EXPECT_EQ(composeList, (std::vector<std::string>{"Al al@x", "Zoe z@x"}));
  page.SelectBook(1);
  ASSERT_TRUE(page.ComposeToSelected());
  EXPECT_EQ(composedTo, (std::vector<std::string>{"Zoe z@x"}));
  page.DeleteBook();
  page.SelectBook(0);
  page.DeleteBook();
  EXPECT_TRUE(composeList.empty());
  EXPECT_FALSE(page.ComposeToSelected());
}

TEST_F(BookPageTest, BookReadsBackInItsOrderWithEmptyComments) {
  options.Load();
  Add("b", "b@x", "");
  Add("a", "a@x", "note");
  page.SortByColumn(2);
  options.Save();
  TfrmOptions again(dir.Path());
  again.Load();
  EXPECT_EQ(again.lsvBook, options.lsvBook);
  EXPECT_EQ(again.lsvBook[0].Comment, "");
  EXPECT_EQ(again.BookSort, 2);
}

}  // namespace
}  // namespace norva
