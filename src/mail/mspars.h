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
  // Multiparts nested deeper than this are kept whole, as one attachment each.
  static constexpr int kMaxDepth = 32;

  // Copies the whole stream, from its start.
  explicit TmsCustomDecoder(TStream& source);
  virtual ~TmsCustomDecoder();
  TmsCustomMessage* Message = nullptr;  // the target, not owned
  // Fills the target (once): its header fields, Body, Html, Attachments and Original.
  void Decode();

 protected:
  virtual void AssignHeaderFields() = 0;
  TmsHeaders HeaderList;  // the message's header lines as read

 private:
  std::string bytes_;
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
