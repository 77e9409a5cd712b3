// Utilities beside the transport: the time-out counter, the block-wise line reader and the
// self-deleting temporary file stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/Exception.h"
#include "store/Streams.h"

namespace norva {

using TStringList = std::vector<std::string>;

// A number field of a reply that is not a number.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The decimal integer in text (optional leading blanks and sign); EConvertError otherwise.
int32_t StrToInt(const std::string& text);
// The same, with a default for text that is not a number.
int32_t StrToIntDef(const std::string& text, int32_t fallback);

// The message inside a POP3 data block: the final "." line removed and the one "." that the
// server put before every line beginning with "." taken away.
std::string RemoveDotStuffing(std::string_view block);

// Splits text into lines at LF; a CR before the LF is dropped. A last line without LF counts.
TStringList SplitLines(const std::string& text);

// Counts seconds for time-outs: Start arms it for TimeOut seconds (at least one), and Expired
// turns true once that time has passed while it runs. Start does not clear Expired.
class TTimeCounter {
 public:
  int32_t TimeOut = 60;

  void Start();
  void Stop() { running_ = false; }
  // True once the armed time has passed; stays true until Reset.
  bool Expired();
  void Reset() { expired_ = false; }
  // Seconds left while running (rounded up), 0 once expired.
  int32_t Remaining();
  // Milliseconds left while running, at least 0.
  int64_t RemainingMs();
  bool Running() const { return running_; }

 private:
  bool running_ = false;
  bool expired_ = false;
  std::chrono::steady_clock::time_point deadline_{};
};

// Reads text lines from its own content, a block of BlockSize bytes at a time.
class TLineStream : public TMemoryStream {
 public:
  // Returned as the line once the content is exhausted.
  static const std::string kEndMarker;

  TStringList Lines;
  int32_t LineIndex = -1;
  uint16_t BlockSize = 16384;
  bool EndOfStream = false;
  bool LastBlock = false;

  void Reset();
  void ReadLine(std::string& line);
};

// A stream over a new temporary file (prefix "ms"), deleted when the stream is destroyed.
class TTempFileStream : public TFileStream {
 public:
  TTempFileStream();
  ~TTempFileStream() override;

 private:
  explicit TTempFileStream(std::pair<std::string, int> file);
};

}  // namespace norva
