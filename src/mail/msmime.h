// The message encoder: a TmsMessage or TmsArticle written as raw message text, and the header
// forms it is written in (encoded words, RFC 2231 parameters, folded lines, reply fields).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/msmsgcls.h"
#include "store/Streams.h"

namespace norva {

// Header lines are folded before they pass this many characters, where their text allows.
inline constexpr size_t kHeaderFoldAt = 78;
// The longest encoded word.
inline constexpr size_t kMaxEncodedWord = 75;
// The longest line of a 7bit or 8bit body, line end not counted.
inline constexpr size_t kMaxBodyLine = 998;

// One header field as lines of at most kHeaderFoldAt characters where its tokens allow: a token
// that does not fit goes on a continuation line of its own, after a blank.
class THeaderField {
 public:
  explicit THeaderField(std::string start) { lines_.push_back(std::move(start)); }
  // Appends a token after a blank, which may become a fold, or glued to what stands before.
  void Add(std::string_view token, bool blank = true);
  // Starts a continuation line with this indent (blanks); the next token follows a blank.
  void NewLine(std::string indent);
  // Appends UTF-8 text as utf-8 encoded words (B or Q, whichever is shorter), each sized to the
  // room left on its line; prefix goes before the first word and suffix after the last.
  void AddWords(std::string_view text, std::string_view prefix = {}, std::string_view suffix = {});
  // Appends ASCII text after a blank, folded at its own blanks.
  void AddText(std::string_view text);
  // Appends a parameter (";" and name="value"): ASCII values quoted as they are when they fit;
  // others in the RFC 2231 form utf-8''%XX, cut into name*0*, name*1*, ... where they are long.
  void AddParameter(std::string_view name, std::string_view value);
  const TStringList& Lines() const { return lines_; }

 private:
  TStringList lines_;
  bool tokens_ = false;  // the current line holds a token after its start
};

// A header text as the encoder writes it: line breaks and other control bytes but the tab
// become blanks.
std::string CleanHeaderText(std::string_view text);
// True when text must go out as encoded words: it has bytes outside printable ASCII or a
// sequence that a reader would take for an encoded word.
bool NeedsEncodedWords(std::string_view text);
// "Tue, 03 Mar 2026 14:05:09 +0100": a date-time in the local zone as mail writes it.
std::string FormatMailDate(TDateTime value);
// A new Message-ID, "<random@domain>"; the domain is that of address when it has a usable one.
std::string MakeMessageID(std::string_view address);
// Adds Date (now) and Message-ID (messageID when it holds one, else a new one) to the message's
// Headers where they are missing or empty.
void AddMissingDateAndMessageID(TmsCustomMessage& message, std::string_view messageID = {});
// The In-Reply-To and References lines (folded) of a reply to the message with these header
// lines: its Message-ID, and its References (or its In-Reply-To) followed by that Message-ID.
// None when it has no Message-ID.
TStringList ReplyHeaderLines(THeaderLines originalHeaders);

// Text as format=flowed (RFC 3676) lines: a line longer than width characters breaks after a
// blank, the blank left at the end of the line as the soft break; quoted lines ("> ...") break
// the same way under their own prefix; a word longer than width stays whole. Blanks at the end
// of a line are dropped (but for the signature mark "-- "), and an unquoted line that begins
// with a blank, "From " or ">" gets one blank in front (space-stuffing).
TStringList FlowText(const TStringList& lines, size_t width = 72);
// The paragraphs of format=flowed lines: soft-broken lines of the same quote depth joined, the
// stuffed blank taken off an unquoted line (a quoted line keeps its prefix as written); with
// delSp the blank of each soft break goes too.
TStringList UnflowText(const TStringList& lines, bool delSp);

class TmsCustomEncoder {
 public:
  explicit TmsCustomEncoder(TmsCustomMessage& message);
  virtual ~TmsCustomEncoder() = default;
  TStream* Stream = nullptr;  // the destination, not owned
  // Non-ASCII text may go as 8bit (the server announced 8BITMIME); else it goes
  // quoted-printable.
  bool EightBit = false;
  void Encode();
  // Writes text and CR LF (text up to a zero byte).
  void WriteLine(std::string_view text);
  // A new boundary: "=_" and 24 random letters and digits. "=_" never occurs in base64 or
  // quoted-printable lines, and the random part in no text by chance.
  static std::string MakeBoundary();

  // A part of the message: a multipart's parts, or a leaf's header lines and body.
  struct TEntity {
    std::string multipart;  // "mixed", "alternative": the parts below; "" for a leaf
    std::vector<TEntity> parts;
    TStringList headers;          // a leaf's Content-* lines
    std::function<void()> write;  // writes a leaf's body lines
  };

 protected:
  virtual void WriteHeaders() = 0;
  TmsCustomMessage& message_;

  // Writes a header line; CR and LF bytes inside it become spaces so that no text taken from
  // a received message can start a header line of its own.
  void WriteHeaderLine(std::string_view text);
  void WriteField(const THeaderField& field);
  // Model text as UTF-8: text that is not UTF-8 was stored in the old 8-bit forms (ISO-2022-JP
  // where the message says so, else Windows-1252).
  std::string ModelText(std::string_view text) const;
  // "label name <address>" on one field, the name as encoded words where it needs them.
  void AddAddress(THeaderField& field, const TmsMailAddress& address, bool more) const;
  void WriteAddressField(std::string_view label, const TmsMailAddress& address);
  void WriteAddressList(std::string_view label, const TmsAddressList& list);
  void WriteSubject(std::string_view label);
  // Drops the fields this encoder writes itself from the message's Headers (every
  // occurrence) and writes the lines that remain. extraField is also dropped when not empty.
  void WriteOtherHeaders(std::string_view extraField = {});
  // Adds Date and Message-ID to the Headers of a message composed here (no Original) where
  // they are missing, so that saving it again writes the same message. messageID is the one to
  // use, if any.
  void AddDateAndMessageID(std::string_view messageID = {});
  // Writes Mime-Version where the message goes out as MIME.
  void WriteMimeVersion();

 private:
  bool mime_ = true;  // false: the old uuencoded layout without MIME lines
  std::vector<std::string> boundaries_;

  TEntity Layout();
  // flowed: the lines go as format=flowed (the message's own text/plain body).
  TEntity TextEntity(const TStringList& lines, const std::string& type, bool flowed = false);
  TEntity AttachmentEntity(TmsAttItem& item, bool named, const std::string& type);
  void WriteEntity(const TEntity& entity, bool top);
  void WriteTextLines(const TStringList& lines, bool quoted);
  void WriteUUEncoded();
  // True when the text has a line the uuencoded layout cannot carry as it stands.
  bool NeedsMime(const TStringList& lines) const;
};

class TmsMessageEncoder : public TmsCustomEncoder {
 public:
  using TmsCustomEncoder::TmsCustomEncoder;

 protected:
  void WriteHeaders() override;
};

class TmsArticleEncoder : public TmsCustomEncoder {
 public:
  using TmsCustomEncoder::TmsCustomEncoder;

 protected:
  void WriteHeaders() override;
};

}  // namespace norva
