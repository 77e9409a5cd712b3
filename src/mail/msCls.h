// The header and address model: operations on raw header lines, mail addresses, address lists,
// attachment items and lists, and the 255-byte fixed-capacity text they are made of.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

// The raw header lines of one message, one entry per line as received, without line ends; a
// folded field takes its first line and each continuation line as separate entries.
class TmsHeaders : public TStringList {
 public:
  using TStringList::TStringList;
};

// ---- header operations (names match without regard to letter case) ----

// Removes the bytes 0..32 at both ends.
std::string Trim(std::string_view text);
// The value of the first field called name ("Subject" or "Subject:"), unfolded, decoded to
// UTF-8 and cut at 255 characters; the structured fields Content-Type, Content-Disposition,
// X-UIDL, Message-ID, In-Reply-To and References come back as they stand, whole. "" when absent.
std::string GetFieldValue(const TStringList& lines, std::string_view name);
// Every comma-separated item of every field whose line begins with name (as passed).
void GetFieldValues(const TStringList& lines, std::string_view name, TStringList& list);
// What a message is known by across sessions: its Message-ID, or, for a message without one, a
// digest of its header block ("<sha1-HEX@norva.invalid>", a domain no real ID can have). The
// fields a mailbox server rewrites as the message is read (Status, X-Status, X-UID, ...) are
// left out of the digest, so that it stays the same from session to session.
std::string MessageKey(const TStringList& headers);
// Deletes the first field called name with its continuation lines.
void RemoveField(TStringList& lines, std::string_view name);
// Deletes the first empty line and everything after it.
void TruncateAtBlankLine(TStringList& lines);
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
