// Byte streams over memory and files.
#include "store/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "store/FileIO.h"

namespace norva {
namespace {
[[noreturn]] void Fail(const std::string& what, const std::string& name, int err) {
  std::string msg = what + " " + name;
  if (err) msg += ": " + std::string(std::strerror(err));
  throw EStreamError(msg, err);
}
}  // namespace

int64_t TStream::Size() {
  int64_t pos = Position();
  int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EStreamError("Stream read error", 0);
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EStreamError("Stream write error", 0);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<char> buffer(size_t(std::clamp<int64_t>(count, 1, 1 << 16)));
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, int64_t(buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t n =
      std::clamp<int64_t>(int64_t(data_.size()) - position_, 0, std::max<int64_t>(count, 0));
  if (n > 0) std::memcpy(buffer, data_.data() + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  size_t end = size_t(position_ + count);
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, buffer, size_t(count));
  position_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0
                 : origin == TSeekOrigin::soCurrent ? position_
                                                    : int64_t(data_.size());
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(size_t(std::max<int64_t>(size, 0)));
  position_ = std::min(position_, int64_t(data_.size()));
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStream::Assign(std::string bytes) {
  data_ = std::move(bytes);
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, TFileStream::fmOpenRead);
  Clear();
  CopyFrom(file, 0);
  position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream file(fileName, TFileStream::fmCreate);
  file.WriteBuffer(data_.data(), int64_t(data_.size()));
  file.Close();
}

TFileStream::TFileStream(const std::string& fileName, Mode mode) : fileName_(fileName) {
  int flags = mode == fmCreate     ? O_RDWR | O_CREAT | O_TRUNC
              : mode == fmOpenRead ? O_RDONLY
                                   : O_RDWR;
  fd_ = fileio::Open(fileName, flags, 0600);
  if (fd_ < 0) Fail("Cannot open file", fileName, errno);
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  auto p = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = fileio::Read(fd_, p + done, size_t(count - done), fileName_);
    if (n < 0) Fail("Cannot read file", fileName_, errno);
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (!fileio::WriteAll(fd_, buffer, size_t(count), fileName_))
    Fail("Cannot write file", fileName_, errno);
  return count;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
               : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                  : SEEK_END;
  off_t pos = ::lseek(fd_, off_t(offset), whence);
  if (pos < 0) Fail("Cannot seek in file", fileName_, errno);
  return int64_t(pos);
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, off_t(size)) != 0) Fail("Cannot resize file", fileName_, errno);
  if (Position() > size) Seek(size, TSeekOrigin::soBeginning);
}

void TFileStream::Sync() {
  if (fileio::Fsync(fd_, fileName_) != 0) Fail("Cannot flush file", fileName_, errno);
}

void TFileStream::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("Cannot close file", fileName_, errno);
}

}  // namespace norva
