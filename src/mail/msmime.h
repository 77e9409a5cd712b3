// The message encoder: a TmsMessage or TmsArticle written as raw message text.
#pragma once

#include <string>
#include <string_view>

#include "mail/msmsgcls.h"
#include "store/Streams.h"

namespace norva {

class TmsCustomEncoder {
 public:
  explicit TmsCustomEncoder(TmsCustomMessage& message);
  virtual ~TmsCustomEncoder() = default;
  TStream* Stream = nullptr;  // the destination, not owned
  void Encode();
  // Writes text and CR LF (text up to a zero byte).
  void WriteLine(std::string_view text);
  // Eight random digits, each 0 to 8.
  static std::string MakeBoundary();

 protected:
  virtual void WriteHeaders() = 0;
  TmsCustomMessage& message_;

  // Writes a header line; CR and LF bytes inside it become spaces so that no text taken from
  // a received message can start a header line of its own.
  void WriteHeaderLine(std::string_view text);
  // True when words that begin with an escape byte go out as ISO-2022-JP encoded words.
  bool UseJisWords() const;
  std::string JisWord(std::string_view text) const;
  // The name as written before " <address>" in an address line.
  std::string DisplayName(const TmsMailAddress& address) const;
  void WriteAddressList(std::string_view label, const TmsAddressList& list);
  // Drops the fields this encoder writes itself from the message's Headers (every
  // occurrence) and writes the lines that remain. extraField is also dropped when not empty.
  void WriteOtherHeaders(std::string_view extraField = {});

 private:
  bool longLines_ = false;  // a Body line is longer than 255 bytes

  void WritePlainText();
  void WriteFormattedText(const std::string& contentType);
  void WriteSingleAttachment();
  void WriteMultipart(const std::string& contentType, bool alternative);
  void WriteUUEncoded();
  // The Content-Type and Content-Transfer-Encoding lines of a plain text body.
  void WriteTextPartHeaders();
  // The body lines of a plain text body, quoted-printable when the part headers say so.
  void WriteTextBody();
  // The body as lines ending in CR LF, quoted-printable encoded.
  void WriteQuotedPrintableBody();
  void WriteAttachmentData(TmsAttItem& item);
  void WriteLines(const TStringList& lines);
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
