// The buffered index stream.
#include "store/QDBStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "store/FileIO.h"

namespace norva {

int64_t QDBBufferSize(int64_t sectionLength) {
  return std::clamp<int64_t>(sectionLength, 1024, 524288);
}

std::pair<std::string, int> TTempBFStream::OpenTemp() {
  std::string name;
  int fd = fileio::CreateUnique(fileio::TempDirectory(), "QDT", name);
  if (fd < 0) throw EQDBIndexError(qdbNoTempFile);
  return {name, fd};
}

TBFStream::TBFStream(const std::string& fileName, Mode mode, int64_t bufferSize)
    : TFileStream(fileName, mode) {
  InitBuffer(bufferSize < 0 ? TFileStream::Size() : bufferSize);
}

TBFStream::TBFStream(const std::string& fileName, int fd, int64_t bufferSize)
    : TFileStream(fileName, fd) {
  InitBuffer(bufferSize);
}

void TBFStream::InitBuffer(int64_t bufferSize) {
  size_t n = size_t(QDBBufferSize(bufferSize));
  for (;;) {
    try {
      buffer_.assign(n, 0);
      break;
    } catch (const std::bad_alloc&) {
      if (n <= 1024) throw;
      n /= 2;
    }
  }
  size_ = n - 1;
}

TBFStream::~TBFStream() {
  try {
    FlushBuffer();
  } catch (...) {
  }
}

void TBFStream::FlushBuffer() {
  if (dirty_) {
    dirty_ = false;
    size_t n = pos_;
    pos_ = valid_ = 0;
    TFileStream::Write(buffer_.data(), int64_t(n));
  }
}

int64_t TBFStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (dirty_) FlushBuffer();
  // Reading leaves the file ahead of the buffer's position; seek from the logical position.
  if (origin == TSeekOrigin::soCurrent) offset -= int64_t(valid_ - pos_);
  pos_ = valid_ = 0;
  atEnd_ = false;
  return TFileStream::Seek(offset, origin);
}

bool TBFStream::Refill() {
  if (atEnd_) return false;
  FlushBuffer();
  size_t unread = valid_ - pos_;
  if (unread > 0) TFileStream::Seek(-int64_t(unread), TSeekOrigin::soCurrent);
  valid_ = size_t(TFileStream::Read(buffer_.data(), int64_t(size_)));
  pos_ = 0;
  atEnd_ = valid_ < size_;
  return true;
}

bool TBFStream::ReadKey(TKey& key) {
  if (dirty_) FlushBuffer();  // reading after writing continues behind what was written
  for (int attempt = 0; attempt < 2; ++attempt) {
    const char* start = buffer_.data() + pos_;
    auto zero = static_cast<const char*>(std::memchr(start, 0, valid_ - pos_));
    if (zero) {
      key.assign(start, std::min<size_t>(size_t(zero - start), kMaxKeyLength));
      pos_ += size_t(zero - start) + 1;
      return true;
    }
    if (attempt == 0 && !Refill()) return false;
  }
  return false;
}

bool TBFStream::ReadInt(int32_t& value) {
  if (dirty_) FlushBuffer();
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (valid_ - pos_ >= 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(buffer_.data() + pos_);
      value = int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                      uint32_t(b[3]) << 24);
      pos_ += 4;
      return true;
    }
    if (attempt == 0 && !Refill()) return false;
  }
  return false;
}

void TBFStream::Put(const void* bytes, size_t n) {
  if (valid_ > 0) {  // switching from reading to writing: continue at the logical position
    Seek(0, TSeekOrigin::soCurrent);
  }
  if (pos_ + n > size_) FlushBuffer();
  std::memcpy(buffer_.data() + pos_, bytes, n);
  pos_ += n;
  dirty_ = true;
}

void TBFStream::WriteKey(const TKey& key) {
  TKey k = MakeKey(key);
  k.push_back('\0');
  Put(k.data(), k.size());
}

void TBFStream::WriteInt(int32_t value) {
  uint32_t v = uint32_t(value);
  unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  Put(b, 4);
}

TTempBFStream::TTempBFStream(const std::string& targetName)
    : TTempBFStream(targetName, OpenTemp()) {}

TTempBFStream::TTempBFStream(const std::string& targetName, std::pair<std::string, int> temp)
    : TBFStream(temp.first, temp.second, 32768), targetName_(targetName) {}

TTempBFStream::~TTempBFStream() {
  if (!committed_) {
    try {
      Close();
    } catch (...) {
    }
    fileio::Unlink(FileName());
  }
}

void TTempBFStream::Commit() {
  FlushBuffer();
  Close();
  if (fileio::Rename(FileName(), targetName_) == 0) {
    committed_ = true;
    return;
  }
  // Another file system: copy the bytes into the target instead.
  {
    TFileStream source(FileName(), fmOpenRead);
    TFileStream target(targetName_, fmCreate);
    target.CopyFrom(source, 0);
    target.Close();
  }
  fileio::Unlink(FileName());
  committed_ = true;
}

}  // namespace norva
