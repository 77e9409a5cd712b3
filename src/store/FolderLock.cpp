#include "store/FolderLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace norva {

namespace {

// "the desktop program (process 1234)" from the lock file's "1234 norva" line; a holder that
// has not yet written its name, or whose process is gone, is "another Norva process".
std::string Holder(int fd) {
  char text[256] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return "another Norva process";
  std::string line(text, size_t(n));
  line = line.substr(0, line.find('\n'));
  const size_t space = line.find(' ');
  if (space == std::string::npos) return "another Norva process";
  const std::string pid = line.substr(0, space), program = line.substr(space + 1);
  char* end = nullptr;
  const long value = std::strtol(pid.c_str(), &end, 10);
  if (pid.empty() || *end || value <= 0 || (::kill(pid_t(value), 0) != 0 && errno == ESRCH))
    return "another Norva process";
  return program + " (process " + pid + ")";
}

}  // namespace

FolderLock::FolderLock(const std::string& folder, const std::string& program, double waitSeconds) {
  const std::string path = FileName(folder);
  // Close-on-exec: a viewer or player the program starts must not keep the folder locked.
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    if ((errno == EACCES || errno == EROFS) && ::access(folder.c_str(), W_OK) != 0) return;
    throw std::runtime_error("Cannot create the lock file " + path + ": " + std::strerror(errno));
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(int64_t(std::max(0.0, waitSeconds) * 1000));
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      const std::string holder = error == EWOULDBLOCK ? Holder(fd_) : std::strerror(error);
      ::close(fd_);
      fd_ = -1;
      if (error != EWOULDBLOCK)
        throw std::runtime_error("Cannot lock the folder " + folder + ": " + holder);
      throw EFolderBusy("The folder " + folder + " is in use by " + holder +
                        ". Only one Norva program at a time can work in a folder.");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string line = std::to_string(::getpid()) + " " + program + "\n";
  // The name is a courtesy to the next process: failing to write it changes nothing else.
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd_, line.data(), line.size(), 0);
  }
  // No other Norva works here now: what lies in the working folder belongs to dead processes,
  // or to a reader that holds its own folder's lock and is left alone.
  try {
    fileio::RemoveLeftovers(folder);
    work_ = std::make_unique<fileio::WorkingFolder>(folder);
  } catch (...) {
    ::close(fd_);
    fd_ = -1;
    throw;
  }
}

FolderLock::~FolderLock() {
  work_.reset();
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor lets go of the lock
}

}  // namespace norva
