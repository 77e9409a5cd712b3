// Thin POSIX file calls with a fault hook.
#include "store/FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
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

// Repeats a positioned read or write until the whole range is done, through interruptions and
// short transfers; an end of file, or a device that takes no more, fails with errno 0.
template <class Byte, class Transfer>
bool WholeRange(Transfer transfer, Byte* p, size_t count, off_t offset) {
  while (count > 0) {
    const ssize_t n = transfer(p, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = 0;
      return false;
    }
    p += n;
    offset += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool PReadAll(int fd, void* buf, size_t count, off_t offset, const std::string& path) {
  if (Injected(Op::Read, path)) return false;
  return WholeRange([fd](char* p, size_t n, off_t at) { return ::pread(fd, p, n, at); },
                    static_cast<char*>(buf), count, offset);
}

bool PWriteAll(int fd, const void* buf, size_t count, off_t offset, const std::string& path) {
  if (Injected(Op::Write, path)) return false;
  return WholeRange([fd](const char* p, size_t n, off_t at) { return ::pwrite(fd, p, n, at); },
                    static_cast<const char*>(buf), count, offset);
}

int DataSync(int fd, const std::string& path) {
  if (Injected(Op::Fsync, path)) return -1;
  return ::fdatasync(fd);
}

int Truncate(int fd, off_t length, const std::string& path) {
  if (Injected(Op::Write, path)) return -1;
  int r;
  do r = ::ftruncate(fd, length);
  while (r < 0 && errno == EINTR);
  return r;
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

namespace {

WorkingFolder*& Current() {
  static WorkingFolder* current = nullptr;
  return current;
}

constexpr char kOwnerLock[] = "owner.lock";

// The program folder's working folder, made private: created 0700, or checked to be a real
// directory of this user and narrowed to 0700.
std::string PrivateFolder(const std::string& programFolder) {
  const std::string path = programFolder + "/" + kWorkingFolderName;
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("Cannot create the working folder " + path + ": " +
                             std::strerror(errno));
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0)
    throw std::runtime_error("Cannot use the working folder " + path + ": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    throw std::runtime_error("Cannot use the working folder " + path +
                             ": it is not a folder of this user");
  if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
    throw std::runtime_error("Cannot make the working folder " + path + " private: " +
                             std::strerror(errno));
  return path;
}

}  // namespace

std::string TempDirectory() {
  if (const WorkingFolder* current = Current()) return current->Path();
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

WorkingFolder::WorkingFolder(const std::string& programFolder) {
  // Another process may remove the empty working folder between the two steps: then again.
  std::string own;
  bool made = false;
  for (int attempt = 0; !made && attempt < 3; ++attempt) {
    own = PrivateFolder(programFolder) + "/" + std::to_string(::getpid()) + ".XXXXXX";
    made = ::mkdtemp(own.data()) != nullptr;
    if (!made && errno != ENOENT) break;
  }
  if (!made)
    throw std::runtime_error("Cannot create a working folder in " + programFolder + ": " +
                             std::strerror(errno));
  const std::string lock = own + "/" + kOwnerLock;
  lockFd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (lockFd_ >= 0) ::close(lockFd_);
    std::error_code ignored;
    std::filesystem::remove_all(own, ignored);
    throw std::runtime_error("Cannot lock the working folder " + own + ": " + std::strerror(error));
  }
  own_ = own;
  previous_ = Current();
  Current() = this;
}

WorkingFolder::~WorkingFolder() {
  // Folders are made and dropped in nested order; one dropped out of order leaves the others.
  if (Current() == this) Current() = previous_;
  std::error_code ignored;
  std::filesystem::remove_all(own_, ignored);
  ::close(lockFd_);
  // The last one out leaves no working folder behind (rmdir refuses one still in use).
  ::rmdir(std::filesystem::path(own_).parent_path().c_str());
}

std::unique_ptr<WorkingFolder> TryWorkingFolder(const std::string& programFolder) {
  try {
    return std::make_unique<WorkingFolder>(programFolder);
  } catch (const std::runtime_error&) {
    return nullptr;
  }
}

int RemoveLeftovers(const std::string& programFolder) {
  const std::string path = programFolder + "/" + kWorkingFolderName;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  int removed = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(path, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().string();
    std::error_code ignored;
    if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) {
      // A live process holds its folder's lock; a folder without one is a process that died
      // before it could take it.
      const int fd = ::open((name + "/" + kOwnerLock).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
      if (fd >= 0) {
        const bool inUse = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        if (inUse) continue;
      } else if (struct stat dir; ::stat(name.c_str(), &dir) == 0 &&
                 dir.st_mtime > ::time(nullptr) - 60) {
        continue;  // being made this moment by a process that takes no folder lock
      }
    }
    if (std::filesystem::remove_all(name, ignored) > 0) ++removed;
  }
  return removed;
}

void SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace norva::fileio
