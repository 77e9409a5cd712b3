// The address book page of the preferences window: edits lsvBook of a TfrmOptions, keeps it
// sorted by its sort column and builds the compose window's recipient list from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/Options.h"

namespace norva {

// What the compose window shows for a book row: the name, one space, the address.
std::string BookRecipient(const TBookRow& row);
// The recipient entries of every row, in the book's row order (the edtMsgTo drop-down list).
std::vector<std::string> BookRecipients(const std::vector<TBookRow>& book);

// The text of a row in column 0 (name), 1 (address) or 2 (comment).
const std::string& BookCell(const TBookRow& row, int32_t column);
// Sorts ascending by one column, comparing bytes (case counts, no locale; a prefix comes first).
// Rows with equal texts keep their order. A column outside 0 to 2 sorts by the name.
void SortBook(std::vector<TBookRow>& book, int32_t column);

// Why a row cannot be added or updated, or "" when it can. The name and address must be given;
// no field may exceed the 255 bytes the store keeps or hold a zero, CR or LF byte (a recipient
// entry becomes a header line).
std::string BookRowError(const TBookRow& row);

enum class BookField { Name, Address, Comment };

// What the page needs of the platform and of the compose window.
struct BookPageUi {
  // An error box with an OK button.
  std::function<void(const std::string& text)> ShowError;
  // Moves the focus to the edit field that was refused.
  std::function<void(BookField field)> Focus;
  // The double-click: prepare a new message to `recipient`, close the preferences window
  // without saving and show the compose window.
  std::function<void(const std::string& recipient)> ComposeTo;
};

class TBookPage {
 public:
  TBookPage(TfrmOptions& options, BookPageUi ui);

  std::string edtNameBook;
  std::string edtAddressBook;
  std::string edtCommentBook;
  // The selected row of lsvBook, -1 for none; it follows its row when the list re-sorts.
  int32_t BookIndex = -1;

  // Selects a row and copies it into the fields; an index naming no row clears the selection
  // and leaves the fields alone.
  void SelectBook(int32_t index);
  // Adds the fields as a row, re-sorts, refills the compose list and clears the fields. Refused
  // with an error box (and the field focused) when BookRowError objects.
  bool AddBook();
  // Overwrites the selected row from the fields, under the same checks, and re-sorts.
  bool UpdateBook();
  // Removes the selected row without asking.
  bool DeleteBook();
  void ClearBook();
  // Makes the column the sort column and re-sorts (always ascending); other columns are ignored.
  void SortByColumn(int32_t column);
  // The double-click: a new message to the selected row's recipient entry.
  bool ComposeToSelected();

 private:
  bool Refuse(const TBookRow& row);
  void Sort();
  void Refill() const;

  TfrmOptions& options_;
  BookPageUi ui_;
};

}  // namespace norva
