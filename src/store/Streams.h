// Byte streams shared by the store and the mail layer: an abstract stream, memory and file streams.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/Exception.h"

namespace norva {

// A stream operation failed; Errno holds the system's error number (0 for a short read or write).
class EStreamError : public Exception {
 public:
  EStreamError(const std::string& message, int err) : Exception(message), Errno(err) {}
  int Errno;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Read and Write return the number of bytes moved, which may be fewer than asked at the end.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // Like Read and Write, but raise EStreamError when not every byte moved.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteString(std::string_view text) { WriteBuffer(text.data(), int64_t(text.size())); }

  // Copies count bytes from the source's position; count 0 copies the whole source from its start.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over bytes held in memory.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return int64_t(data_.size()); }
  void SetSize(int64_t size) override;

  void Clear();
  const std::string& Bytes() const { return data_; }
  // Replaces the content and rewinds.
  void Assign(std::string bytes);
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);

 private:
  std::string data_;
  int64_t position_ = 0;
};

// A stream over a file.
class TFileStream : public TStream {
 public:
  enum Mode {
    fmCreate,         // create or truncate, read/write, new files owner-only (0600)
    fmOpenRead,       // existing file, read only
    fmOpenReadWrite,  // existing file, read/write
  };
  TFileStream(const std::string& fileName, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;

  const std::string& FileName() const { return fileName_; }
  int Handle() const { return fd_; }
  // Flushes the file to disk; raises EStreamError on failure.
  void Sync();
  // Closes the file; raises EStreamError when the system reports a failure.
  void Close();

  // Takes over an open descriptor.
  TFileStream(const std::string& fileName, int fd) : fileName_(fileName), fd_(fd) {}

 private:
  std::string fileName_;
  int fd_ = -1;
};

}  // namespace norva
