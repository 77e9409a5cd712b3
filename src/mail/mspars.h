// The message decoder: raw message text into a TmsMessage or TmsArticle.
#pragma once

#include <memory>
#include <string>

#include "mail/msmsgcls.h"
#include "mail/msutils.h"
#include "store/Exception.h"
#include "store/Streams.h"

namespace norva {

class EMessageParserError : public Exception {
 public:
  using Exception::Exception;
};

class TmsCustomDecoder {
 public:
  // Copies the whole stream, from its start.
  explicit TmsCustomDecoder(TStream& source);
  virtual ~TmsCustomDecoder();
  TmsCustomMessage* Message = nullptr;  // the target, not owned
  void Decode();

 protected:
  virtual void AssignHeaderFields() = 0;
  TmsHeaders HeaderList;  // the message's header lines as read

 private:
  struct TState;
  std::unique_ptr<TState> state_;

  void ReadHeaders(TStringList& list);
  void DecodePlain();
  void ExtractUUFiles(const std::string& beginLine);
  void DecodeMime();
  void DecodeMultipart();
  void DecodeFirstPart();
  void DecodeRemainingParts();
  bool FindOuterBoundary();
  void DecodeSingleText();
  void RestartAsPlain();
  void DecodeSingleNonText();
  void ReadPartData(TmsAttItem& item, TAttEncoding encoding, bool uuencoded, bool bounded);
  void Recover(const std::string& error);
};

class TmsMessageDecoder : public TmsCustomDecoder {
 public:
  using TmsCustomDecoder::TmsCustomDecoder;

 protected:
  void AssignHeaderFields() override;
};

class TmsArticleDecoder : public TmsCustomDecoder {
 public:
  using TmsCustomDecoder::TmsCustomDecoder;

 protected:
  void AssignHeaderFields() override;
};

}  // namespace norva
