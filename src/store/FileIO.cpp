// Thin POSIX file calls with a fault hook.
#include "store/FileIO.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace norva::fileio {
namespace {

FaultHook& Hook() {
  static FaultHook hook;
  return hook;
}

bool Injected(Op op, const std::string& path) {
  if (auto& hook = Hook()) {
    if (int e = hook(op, path)) {
      errno = e;
      return true;
    }
  }
  return false;
}

}  // namespace

void SetFaultHook(FaultHook hook) {
  Hook() = std::move(hook);
}

int Stat(const std::string& path, struct stat& status) {
  if (Injected(Op::Stat, path)) return -1;
  return ::stat(path.c_str(), &status);
}

int Open(const std::string& path, int flags, mode_t mode) {
  if (Injected(Op::Open, path)) return -1;
  int fd;
  do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t Read(int fd, void* buf, size_t count, const std::string& path) {
  if (Injected(Op::Read, path)) return -1;
  ssize_t n;
  do n = ::read(fd, buf, count);
  while (n < 0 && errno == EINTR);
  return n;
}

ssize_t Write(int fd, const void* buf, size_t count, const std::string& path) {
  if (Injected(Op::Write, path)) return -1;
  ssize_t n;
  do n = ::write(fd, buf, count);
  while (n < 0 && errno == EINTR);
  return n;
}

bool WriteAll(int fd, const void* buf, size_t count, const std::string& path) {
  auto p = static_cast<const char*>(buf);
  while (count > 0) {
    ssize_t n = Write(fd, p, count, path);
    if (n < 0) return false;
    if (n == 0) {
      errno = 0;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

int Fsync(int fd, const std::string& path) {
  if (Injected(Op::Fsync, path)) return -1;
  return ::fsync(fd);
}

int Rename(const std::string& from, const std::string& to) {
  if (Injected(Op::Rename, to)) return -1;
  return ::rename(from.c_str(), to.c_str());
}

int Unlink(const std::string& path) {
  if (Injected(Op::Unlink, path)) return -1;
  return ::unlink(path.c_str());
}

int CreateUnique(const std::string& dir, const std::string& prefix, std::string& path) {
  std::string name = dir;
  if (name.empty() || name.back() != '/') name += '/';
  name += prefix + "XXXXXX";
  if (Injected(Op::Open, name)) return -1;
  int fd = ::mkostemp(name.data(), O_CLOEXEC);  // mkstemp creates the file with mode 0600
  if (fd >= 0) path = name;
  return fd;
}

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

void SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace norva::fileio
