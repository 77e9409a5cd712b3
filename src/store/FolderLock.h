// FolderLock: one writer per program folder. Every Norva process that writes the folder's
// stores (the desktop program, norva-cli's check, send and config commands) holds an advisory
// lock (flock) on the folder's "norva.lock" for as long as it works there; the file also names
// the holder, so a second process can say who is in its way.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "store/FileIO.h"

namespace norva {

// Raised when another process holds the folder's lock (after waiting, if asked to).
class EFolderBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FolderLock {
 public:
  // Takes the lock of `folder` for `program` (a short name such as "norva-cli send"), waiting
  // up to waitSeconds for a holder to let go. Raises EFolderBusy naming the holder when it stays
  // taken, std::runtime_error when the lock file cannot be created in a writable folder. In a
  // folder nobody can write there is nothing to guard, and no lock is taken.
  // Holding the lock, it removes what dead processes left in the folder's working folder and
  // sends this process's working files there (fileio::WorkingFolder) until it lets go.
  FolderLock(const std::string& folder, const std::string& program, double waitSeconds = 0);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  static std::string FileName(const std::string& folder) { return folder + "/norva.lock"; }

 private:
  int fd_ = -1;
  std::unique_ptr<fileio::WorkingFolder> work_;
};

}  // namespace norva
