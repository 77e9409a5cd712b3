// The message classes: TmsCustomMessage, the mail message TmsMessage and the news article
// TmsArticle.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "mail/msCls.h"
#include "store/Exception.h"
#include "store/Object.h"
#include "store/Streams.h"

namespace norva {

enum TMsgEncoding : uint8_t { meMIME = 0, meUU = 1 };
enum TCharSet : uint8_t { csUSASCII = 0, csISO8859 = 1, csISO2022jp = 2 };
enum TPriority : uint8_t { ptLow = 0, ptNormal = 1, ptHigh = 2 };

// A message is not fit to be sent (or an attachment cannot be opened).
class EMessageError : public Exception {
 public:
  using Exception::Exception;
};

class TmsCustomMessage : public TObject {
 public:
  TmsCustomMessage() = default;
  ~TmsCustomMessage() override;
  TmsCustomMessage(const TmsCustomMessage&) = delete;
  TmsCustomMessage& operator=(const TmsCustomMessage&) = delete;

  TmsMailAddress Sender;
  TShortString Subject;
  TMsgEncoding Encoding = meMIME;
  TCharSet CharSet = csUSASCII;
  TmsHeaders Headers;
  TStringList Body;
  TmsAttList Attachments;
  // The HTML of a received message (UTF-8), for the viewer: of an HTML-only message, whose Body
  // then holds its text rendering (for the preview, quoting, printing and rules), or the HTML
  // alternative of a plain text Body.
  std::string Html;
  // The bytes the message was read from by LoadFromStream; empty for a message composed here.
  // An archived copy of a received message is these bytes.
  std::string Original;
  // Set by the SMTP client while it encodes for a server that announced 8BITMIME: non-ASCII
  // text may then go as 8bit rather than quoted-printable.
  bool EightBitTransport = false;
  TStringList TempFiles;  // files written by ExecuteAttachment, deleted with the message
  int32_t Tag = 0;

  // The content type the message has, decided from what it holds (see the .cpp).
  std::string ContentType();
  // Stores the lower-case text (at most 255 bytes).
  void SetContentType(std::string_view contentType);
  // Replaces the attachments with copies and resets the stored content type.
  void SetAttachments(const TmsAttList& list);

  virtual void Assign(const TmsCustomMessage& source);
  virtual void CheckFields();
  virtual void SaveToStream(TStream& stream) = 0;
  virtual void LoadFromStream(TStream& stream) = 0;
  virtual void Clear();
  virtual void SetHeaderFields(THeaderLines lines) = 0;
  // Reloads every attachment's data from the file its FileName names.
  void Loaded();

  // Writes the attachment's data into dir under the last component of its FileName.
  void SaveAttachment(int32_t index, const std::string& dir);
  // Saves the attachment to the temporary folder and opens it with the desktop's program.
  void ExecuteAttachment(int32_t index);
  // Opens a file with the desktop's program; returns 32 or more on success (set by the GUI).
  static std::function<int(const std::string& path)> OpenWithDesktop;

 private:
  TShortString contentType_ = "text/plain";
};

class TmsMessage : public TmsCustomMessage {
 public:
  TmsAddressList Recipients, CC, BCC;
  bool ReturnReceipt = false;
  TPriority Priority = ptNormal;

  void Assign(const TmsCustomMessage& source) override;
  void CheckFields() override;
  void SaveToStream(TStream& stream) override;
  void LoadFromStream(TStream& stream) override;
  void Clear() override;
  void SetHeaderFields(THeaderLines lines) override;
};

class TmsArticle : public TmsCustomMessage {
 public:
  std::string NewsGroups;
  std::string MessageID;
  std::string Path;

  void Assign(const TmsCustomMessage& source) override;
  void CheckFields() override;
  void SaveToStream(TStream& stream) override;
  void LoadFromStream(TStream& stream) override;
  void Clear() override;
  void SetHeaderFields(THeaderLines lines) override;
};

}  // namespace norva
