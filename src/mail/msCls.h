// The header and address model: operations on raw header lines, mail addresses, address lists,
// attachment items and lists, and the 255-byte fixed-capacity text they are made of.
#pragma once

#include <cstdint>
#include <compare>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mscharset.h"
#include "mail/msutils.h"
#include "store/DateTime.h"
#include "store/Exception.h"
#include "store/Object.h"
#include "store/Streams.h"

namespace norva {

// A UTF-8 text of at most 255 characters: assigning a longer text keeps its first 255, and a
// character is never cut in two.
class TShortString {
 public:
  static constexpr size_t kCapacity = 255;
  TShortString() = default;
  TShortString(std::string_view text)
      : text_(text.size() <= kCapacity ? std::string(text) : Utf8Prefix(text, kCapacity)) {}
  TShortString(const std::string& text) : TShortString(std::string_view(text)) {}
  TShortString(const char* text) : TShortString(std::string_view(text)) {}
  operator const std::string&() const { return text_; }
  operator std::string_view() const { return text_; }
  const std::string& str() const { return text_; }
  const char* c_str() const { return text_.c_str(); }
  bool empty() const { return text_.empty(); }
  size_t size() const { return text_.size(); }
  void clear() { text_.clear(); }
  friend bool operator==(const TShortString& a, const TShortString& b) = default;
  friend bool operator==(const TShortString& a, std::string_view b) { return a.text_ == b; }
  friend bool operator==(const TShortString& a, const std::string& b) { return a.text_ == b; }
  friend bool operator==(const TShortString& a, const char* b) { return a.text_ == b; }

 private:
  std::string text_;
};

// A position in a sequence of lines read as string_views (a header block or a view of one).
template <class Owner>
class TLineIterator {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = std::string_view;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = std::string_view;
  TLineIterator() = default;
  TLineIterator(const Owner* owner, size_t i) : owner_(owner), i_(i) {}
  const std::string_view operator*() const { return (*owner_)[i_]; }
  const std::string_view operator[](difference_type n) const { return (*owner_)[i_ + n]; }
  TLineIterator& operator++() { return ++i_, *this; }
  TLineIterator operator++(int) { return {owner_, i_++}; }
  TLineIterator& operator--() { return --i_, *this; }
  TLineIterator operator--(int) { return {owner_, i_--}; }
  TLineIterator& operator+=(difference_type n) { return i_ += n, *this; }
  TLineIterator& operator-=(difference_type n) { return i_ -= n, *this; }
  friend TLineIterator operator+(TLineIterator it, difference_type n) { return it += n; }
  friend TLineIterator operator+(difference_type n, TLineIterator it) { return it += n; }
  friend TLineIterator operator-(TLineIterator it, difference_type n) { return it -= n; }
  friend difference_type operator-(TLineIterator a, TLineIterator b) {
    return difference_type(a.i_) - difference_type(b.i_);
  }
  friend bool operator==(TLineIterator a, TLineIterator b) { return a.i_ == b.i_; }
  friend auto operator<=>(TLineIterator a, TLineIterator b) { return a.i_ <=> b.i_; }
  size_t index() const { return i_; }

 private:
  const Owner* owner_ = nullptr;
  size_t i_ = 0;
};

// The raw header lines of one message, one entry per line as received, without line ends; a
// folded field takes its first line and each continuation line as separate entries. The lines
// are kept end to end in one buffer with the end offset of each, so that a block read from the
// server costs two allocations rather than one per line. Appending is cheap; inserting or
// erasing in the middle copies what follows.
class TmsHeaders {
 public:
  using const_iterator = TLineIterator<TmsHeaders>;
  using iterator = const_iterator;
  using value_type = std::string_view;

  TmsHeaders() = default;
  TmsHeaders(std::initializer_list<std::string_view> lines) { append(lines.begin(), lines.end()); }
  TmsHeaders(const TStringList& lines) { append(lines.begin(), lines.end()); }

  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // A line is read, never assigned to: const, so that "headers[i] = text" does not compile.
  const std::string_view operator[](size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
  }
  const std::string_view front() const { return (*this)[0]; }
  const std::string_view back() const { return (*this)[size() - 1]; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  void clear() {
    text_.clear();
    ends_.clear();
  }
  // Room for a block of about bytes bytes in lines lines.
  void reserve(size_t bytes, size_t lines) {
    text_.reserve(bytes);
    ends_.reserve(lines);
  }
  void push_back(std::string_view line) {
    if (line.size() > kMaxBytes - text_.size()) throw std::length_error("header block too large");
    text_.append(line);
    ends_.push_back(uint32_t(text_.size()));
  }
  void emplace_back(std::string_view line) { push_back(line); }
  template <class It>
  void append(It first, It last) {
    for (; first != last; ++first) push_back(std::string_view(*first));
  }
  template <class It>
  void assign(It first, It last) {
    clear();
    append(first, last);
  }
  // Inserts the lines [first, last) before pos. The block is built anew, so the lines may come
  // from this block itself.
  template <class It>
  void insert(const_iterator pos, It first, It last) {
    if (pos == end()) return append(first, last);
    TmsHeaders block;
    block.reserve(text_.size(), ends_.size());
    block.append(begin(), pos);
    block.append(first, last);
    block.append(pos, end());
    *this = std::move(block);
  }
  void insert(const_iterator pos, std::string_view line) { insert(pos, &line, &line + 1); }
  // Deletes the lines [first, last).
  void erase(const_iterator first, const_iterator last);
  // The lines as separate strings, for code that edits or shows them as a list.
  TStringList Lines() const { return TStringList(begin(), end()); }

  friend bool operator==(const TmsHeaders& a, const TmsHeaders& b) {
    return a.ends_ == b.ends_ && a.text_ == b.text_;
  }

 private:
  // Offsets of 32 bits: ten thousand header blocks of 30 lines keep 1.2 MB of them, not 2.4.
  static constexpr size_t kMaxBytes = UINT32_MAX;
  std::string text_;            // the lines end to end, without line ends
  std::vector<uint32_t> ends_;  // where each line ends in text_
};

// The lines the header operations read: a message's or item's header block, or a plain list
// of lines, each seen as a sequence of string_views. A view, like string_view: it lives no
// longer than the lines it shows (a parameter, never a member).
class THeaderLines {
 public:
  THeaderLines(const TmsHeaders& headers) : headers_(&headers), size_(headers.size()) {}
  THeaderLines(const TStringList& lines) : strings_(lines.data()), size_(lines.size()) {}
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view operator[](size_t i) const {
    return headers_ ? (*headers_)[i] : std::string_view(strings_[i]);
  }
  using const_iterator = TLineIterator<THeaderLines>;
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }
  TStringList Lines() const { return TStringList(begin(), end()); }

 private:
  // One of the two is set.
  const TmsHeaders* headers_ = nullptr;
  const std::string* strings_ = nullptr;
  size_t size_ = 0;
};

// ---- header operations (names match without regard to letter case) ----

// Removes the bytes 0..32 at both ends.
std::string Trim(std::string_view text);
// The value of the first field called name ("Subject" or "Subject:"), unfolded, decoded to
// UTF-8 and cut at 255 characters; the structured fields Content-Type, Content-Disposition,
// X-UIDL, Message-ID, In-Reply-To and References come back as they stand, whole. "" when absent.
std::string GetFieldValue(THeaderLines lines, std::string_view name);
// Every comma-separated item of every field whose line begins with name (as passed).
void GetFieldValues(THeaderLines lines, std::string_view name, TStringList& list);
// What a message is known by across sessions: its Message-ID, or, for a message without one, a
// digest of its header block ("<sha1-HEX@norva.invalid>", a domain no real ID can have). The
// fields a mailbox server rewrites as the message is read (Status, X-Status, X-UID, ...) are
// left out of the digest, so that it stays the same from session to session.
std::string MessageKey(THeaderLines headers);
// Deletes the first field called name with its continuation lines.
void RemoveField(TStringList& lines, std::string_view name);
void RemoveField(TmsHeaders& lines, std::string_view name);
// Deletes the first empty line and everything after it.
void TruncateAtBlankLine(TStringList& lines);
void TruncateAtBlankLine(TmsHeaders& lines);
// A header text as UTF-8 (at most 255 characters): encoded words (=?charset?B|Q?...?=, either
// letter case) decoded from their charset, other 8-bit bytes read as UTF-8 or else
// Windows-1252. Blanks between two encoded words go.
std::string DecodeHeaderText(std::string_view text);
// Trims, then removes surrounding double quotes.
std::string StripQuotes(std::string_view text);
// The value of the parameter called paramName (letter case ignored) of a structured header
// value, unquoted; RFC 2231 forms (name*=charset'lang'%XX, name*0, name*1*, ...) are joined and
// converted to UTF-8. "" when absent.
std::string GetParameter(std::string_view paramName, std::string_view value);
// The media type: Value up to the first space or ";", trimmed.
std::string GetMediaType(std::string_view value);
// Text after skipping n space-separated words; with firstOnly only the next word.
std::string ExtractWord(std::string_view text, int n, bool firstOnly);
// The date-time written in a mail date (0 when it cannot be read) and its zone text.
void ParseMailDate(std::string_view text, TDateTime& dateTime, std::string& zone);
// The zone of a mail date in minutes east of UTC: "+hhmm" or "-hhmm" (also "+hh:mm", and after
// "GMT" or "UTC"), "GMT", "UT", "UTC", "Z" and EST, EDT, CST, CDT, MST, MDT, PST, PDT, in any
// letter case. Anything else (a military letter, another name, no zone) is unknown: 0.
int MailZoneMinutes(std::string_view zone);
// The same, with no value for a zone that is unknown.
std::optional<int> MailZoneOffset(std::string_view zone);
// The instant a mail date names, as a UTC date-time: ParseMailDate's with its zone applied.
// 0 when the date cannot be read.
TDateTime MailDateToUtc(std::string_view text);
// That instant in the local time zone, as the user reads it; 0 when the date cannot be read.
TDateTime MailDateToLocal(std::string_view text);
// The local zone now: a sign and four digits.
std::string LocalTimeZone();
// A sign, two hour digits and two minute digits.
std::string FormatZoneOffset(int minutes);
// The content type registered for the file's extension (/etc/mime.types), else
// "application/octet-stream".
std::string ContentTypeOfFile(std::string_view fileName);
// The folder with one path separator at its end ("" stays "").
std::string IncludeTrailingBackslash(std::string_view dir);
// The last component of a path, split at both "/" and "\".
std::string ExtractFileName(std::string_view path);

// ---- addresses ----

// ParseAddress fails on a "<" without a ">" after it.
class EAddressError : public Exception {
 public:
  using Exception::Exception;
};

class TmsMailAddress : public TObject {
 public:
  TShortString Name;
  TShortString Address;

  void Assign(const TmsMailAddress& source) {
    Name = source.Name;
    Address = source.Address;
  }
  void Clear() {
    Name.clear();
    Address.clear();
  }
  // Lets the user edit the address in the address dialog; true when it ended with OK.
  bool Edit();
  // The dialog, supplied by the desktop application: edits the address, true on OK.
  static std::function<bool(TmsMailAddress& address)> EditHook;
};

// Fills address from "Name <address>", "address (Name)" or a bare address; EAddressError
// "Unable to parse email address" on a "<" without ">" after it.
void ParseAddress(std::string_view text, TmsMailAddress& address);

// The error for a typed address that does not parse.
inline constexpr const char* kInvalidAddress = "Invalid address, please check!";

class TmsAddressList : public TObject {
 public:
  int32_t Count() const { return int32_t(items_.size()); }
  TmsMailAddress& Items(int32_t i) { return *items_.at(size_t(i)); }
  const TmsMailAddress& Items(int32_t i) const { return *items_.at(size_t(i)); }
  void Add(std::unique_ptr<TmsMailAddress> item) { items_.push_back(std::move(item)); }
  TmsMailAddress& AddAddress(std::string_view address, std::string_view name);
  void Clear();
  void Assign(const TmsAddressList& source);
  // The stored form: two strings per item, Name then Address.
  TStringList WriteItems() const;
  void ReadItems(const TStringList& values);

 private:
  std::vector<std::unique_ptr<TmsMailAddress>> items_;
};

// The items of an address list, split at the commas and semicolons outside quotes and angle
// brackets; blank items are dropped. In a header field (not semicolons, which is for typed
// lists) a group gives its members: "Team: a@x, b@y;" two items, "undisclosed-recipients:;"
// none.
std::vector<std::string> SplitAddressList(std::string_view raw, bool semicolons = false);

// Adds every address of a typed list ("Nair, Priya" <p@x>, m@y; ...) to list: the items are
// separated by commas or semicolons outside quotes and angle brackets, and each must give an
// address of the form local@domain without blanks or brackets. EAddressError with
// kInvalidAddress and the offending item on its own line otherwise; list is then unchanged.
void ParseAddressList(std::string_view text, TmsAddressList& list);

// ---- attachments ----

enum TAttEncoding : uint8_t { aeSevenBit = 0, aeBase64 = 1, aeQuotedPrintable = 2 };
// "7 bit", "Base64", "Quoted-Printable".
extern const char* const kAttEncodingNames[3];

class TmsAttItem : public TObject {
 public:
  TMemoryStream Data;
  TShortString ContentType;
  TAttEncoding TransferEncoding = aeSevenBit;

  const TShortString& FileName() const { return fileName_; }
  // Stores the name; a non-empty name also derives ContentType and TransferEncoding from it.
  void SetFileName(std::string_view fileName);
  // Copies data, type, encoding and the name as stored (nothing is derived).
  void Assign(const TmsAttItem& source);

 private:
  TShortString fileName_;
};

class TmsAttList : public TObject {
 public:
  int32_t Count() const { return int32_t(items_.size()); }
  TmsAttItem& Items(int32_t i) { return *items_.at(size_t(i)); }
  const TmsAttItem& Items(int32_t i) const { return *items_.at(size_t(i)); }
  void Add(std::unique_ptr<TmsAttItem> item) { items_.push_back(std::move(item)); }
  // Removes the item at i (freed).
  void Delete(int32_t i) { items_.erase(items_.begin() + i); }
  void Clear();
  void Assign(const TmsAttList& source);
  // A new item named after the file (deriving its type) holding the file's bytes.
  TmsAttItem& AddFile(const std::string& fileName);

  // The stored form: per item FileName, ContentType and TransferEncoding.
  struct TStoredItem {
    std::string FileName, ContentType;
    int TransferEncoding;
  };
  std::vector<TStoredItem> WriteItems() const;
  void ReadItems(const std::vector<TStoredItem>& values);

 private:
  std::vector<std::unique_ptr<TmsAttItem>> items_;
};

}  // namespace norva
