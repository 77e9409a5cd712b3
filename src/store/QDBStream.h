// The buffered file stream that reads and writes the record store's index section.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "store/QDBLists.h"
#include "store/Streams.h"

namespace norva {

// Section copies and this stream use buffers of min(max(n, 1024), 524288) bytes.
int64_t QDBBufferSize(int64_t sectionLength);

// A file stream with a buffer of its own for reading and writing keys and 32-bit integers.
class TBFStream : public TFileStream {
 public:
  // bufferSize -1 means the file's size.
  TBFStream(const std::string& fileName, Mode mode, int64_t bufferSize);
  ~TBFStream() override;

  // Each returns false at the end of the data and leaves the value unchanged.
  bool ReadKey(TKey& key);
  bool ReadInt(int32_t& value);
  void WriteKey(const TKey& key);
  void WriteInt(int32_t value);

  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Writes the buffered bytes out.
  void FlushBuffer();

 protected:
  TBFStream(const std::string& fileName, int fd, int64_t bufferSize);

 private:
  void InitBuffer(int64_t bufferSize);
  bool Refill();
  void Put(const void* bytes, size_t n);

  std::vector<char> buffer_;
  size_t size_ = 0;   // usable buffer size
  size_t pos_ = 0;    // current position in the buffer
  size_t valid_ = 0;  // valid bytes read into the buffer
  bool dirty_ = false;
  bool atEnd_ = false;  // the last refill reached the end of the file
};

// Writes into a new temporary file ("QDT" prefix) that replaces its target on Commit.
class TTempBFStream : public TBFStream {
 public:
  explicit TTempBFStream(const std::string& targetName);
  ~TTempBFStream() override;
  // Writes out the buffer and puts the temporary file in the target's place.
  void Commit();

  const std::string& TargetName() const { return targetName_; }
  const std::string& TempName() const { return FileName(); }

 private:
  TTempBFStream(const std::string& targetName, std::pair<std::string, int> temp);
  static std::pair<std::string, int> OpenTemp();

  std::string targetName_;
  bool committed_ = false;
};

}  // namespace norva
