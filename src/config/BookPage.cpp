#include "config/BookPage.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace norva {

namespace {

bool ValidColumn(int32_t column) {
  return column >= 0 && column <= 2;
}

// Orders two rows by one column's bytes: std::string compares through char_traits<char>, which
// takes bytes as unsigned values.
auto ByColumn(int32_t column) {
  return [column](const TBookRow& a, const TBookRow& b) {
    return BookCell(a, column) < BookCell(b, column);
  };
}

bool Storable(const std::string& text) {
  return text.size() <= 255 && text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

}  // namespace

std::string BookRecipient(const TBookRow& row) {
  return row.Name + " " + row.Address;
}

std::vector<std::string> BookRecipients(const std::vector<TBookRow>& book) {
  std::vector<std::string> items;
  items.reserve(book.size());
  for (const TBookRow& row : book) items.push_back(BookRecipient(row));
  return items;
}

const std::string& BookCell(const TBookRow& row, int32_t column) {
  if (column == 1) return row.Address;
  if (column == 2) return row.Comment;
  return row.Name;
}

void SortBook(std::vector<TBookRow>& book, int32_t column) {
  std::stable_sort(book.begin(), book.end(), ByColumn(ValidColumn(column) ? column : 0));
}

std::string BookRowError(const TBookRow& row) {
  if (row.Name.empty()) return "Please insert a correct Name.";
  if (row.Address.empty()) return "Please insert a correct Mail Address.";
  if (!Storable(row.Name) || !Storable(row.Address) || !Storable(row.Comment))
    return "Name, address and comment must each be at most 255 bytes on a single line.";
  return "";
}

TBookPage::TBookPage(TfrmOptions& options, BookPageUi ui) : options_(options), ui_(std::move(ui)) {}

void TBookPage::SelectBook(int32_t index) {
  if (index < 0 || index >= int32_t(options_.lsvBook.size())) {
    BookIndex = -1;
    return;
  }
  BookIndex = index;
  const TBookRow& row = options_.lsvBook[index];
  edtNameBook = row.Name;
  edtAddressBook = row.Address;
  edtCommentBook = row.Comment;
}

bool TBookPage::AddBook() {
  TBookRow row{edtNameBook, edtAddressBook, edtCommentBook};
  if (Refuse(row)) return false;
  options_.lsvBook.push_back(std::move(row));
  Sort();
  Refill();
  ClearBook();
  return true;
}

bool TBookPage::UpdateBook() {
  if (BookIndex < 0 || BookIndex >= int32_t(options_.lsvBook.size())) return false;
  TBookRow row{edtNameBook, edtAddressBook, edtCommentBook};
  if (Refuse(row)) return false;
  options_.lsvBook[BookIndex] = std::move(row);
  Sort();
  Refill();
  return true;
}

bool TBookPage::DeleteBook() {
  if (BookIndex < 0 || BookIndex >= int32_t(options_.lsvBook.size())) return false;
  options_.lsvBook.erase(options_.lsvBook.begin() + BookIndex);
  BookIndex = -1;
  Refill();
  return true;
}

void TBookPage::ClearBook() {
  edtNameBook.clear();
  edtAddressBook.clear();
  edtCommentBook.clear();
}

void TBookPage::SortByColumn(int32_t column) {
  if (!ValidColumn(column)) return;
  options_.BookSort = column;
  Sort();
}

bool TBookPage::ComposeToSelected() {
  if (BookIndex < 0 || BookIndex >= int32_t(options_.lsvBook.size())) return false;
  if (ui_.ComposeTo) ui_.ComposeTo(BookRecipient(options_.lsvBook[BookIndex]));
  return true;
}

bool TBookPage::Refuse(const TBookRow& row) {
  const std::string error = BookRowError(row);
  if (error.empty()) return false;
  if (ui_.ShowError) ui_.ShowError(error);
  if (ui_.Focus) {
    BookField field = BookField::Comment;
    if (row.Name.empty() || (!row.Address.empty() && !Storable(row.Name)))
      field = BookField::Name;
    else if (row.Address.empty() || !Storable(row.Address))
      field = BookField::Address;
    ui_.Focus(field);
  }
  return true;
}

// Sorts by the stored column, the selection following its row.
void TBookPage::Sort() {
  std::vector<TBookRow>& book = options_.lsvBook;
  const int32_t column = ValidColumn(options_.BookSort) ? options_.BookSort : 0;
  std::vector<size_t> order(book.size());
  std::iota(order.begin(), order.end(), size_t{0});
  const auto before = ByColumn(column);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return before(book[a], book[b]); });
  std::vector<TBookRow> sorted;
  sorted.reserve(book.size());
  int32_t selected = -1;
  for (size_t i = 0; i < order.size(); ++i) {
    if (int32_t(order[i]) == BookIndex) selected = int32_t(i);
    sorted.push_back(std::move(book[order[i]]));
  }
  book = std::move(sorted);
  BookIndex = selected;
}

void TBookPage::Refill() const {
  if (options_.OnFillEdtMsgTo) options_.OnFillEdtMsgTo();
}

}  // namespace norva
