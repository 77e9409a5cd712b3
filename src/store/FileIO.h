// Thin POSIX file calls used by the store and the streams, with a fault hook for tests.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace norva::fileio {

// The operations a fault can be injected into.
enum class Op { Open, Read, Write, Fsync, Rename, Unlink, Stat };

// Called before every operation; a non-zero result makes the operation fail with that errno.
using FaultHook = std::function<int(Op op, const std::string& path)>;
void SetFaultHook(FaultHook hook);

// Each returns what the system call returns (-1 with errno set on failure).
int Open(const std::string& path, int flags, mode_t mode = 0600);
ssize_t Read(int fd, void* buf, size_t count, const std::string& path);
ssize_t Write(int fd, const void* buf, size_t count, const std::string& path);
int Fsync(int fd, const std::string& path);
int Rename(const std::string& from, const std::string& to);
int Unlink(const std::string& path);
int Stat(const std::string& path, struct stat& status);

// Positioned reads and writes of whole ranges, retrying short transfers and interruptions; false
// with errno set on failure (errno 0 at an early end of file, or when the device took no more).
bool PReadAll(int fd, void* buf, size_t count, off_t offset, const std::string& path);
bool PWriteAll(int fd, const void* buf, size_t count, off_t offset, const std::string& path);
// fdatasync (an Fsync for the fault hook) and ftruncate (a Write for the fault hook).
int DataSync(int fd, const std::string& path);
int Truncate(int fd, off_t length, const std::string& path);

// Writes all bytes, retrying short writes and interruptions; false with errno set on failure
// (errno 0 when the device accepted no more bytes).
bool WriteAll(int fd, const void* buf, size_t count, const std::string& path);

// Creates a new file named dir + "/" + prefix + a unique suffix, mode 0600, opened read/write.
// Returns the descriptor (or -1 with errno set) and stores the name in path.
int CreateUnique(const std::string& dir, const std::string& prefix, std::string& path);

// The folder for working files (spools, opened attachments; a store keeps none, it writes its
// whole rewrite beside itself as a "QDD" file): this
// process's own folder inside the working folder of the program folder in use (see
// WorkingFolder); $TMPDIR, else /tmp, only while no program folder is in use.
std::string TempDirectory();

// While one lives, TempDirectory() answers a folder of this process's own inside
// programFolder + "/" + kWorkingFolderName, which is created 0700 (and set back to 0700 when it
// is wider), so that no working file (a spool of mail, an opened attachment) leaves the program
// folder nor can be read by others. The process's folder holds a lock for as long as the process lives, which tells a later
// RemoveLeftovers that it is in use; destroying the object removes the folder and its content
// and gives TempDirectory() back its previous answer. Raises std::runtime_error when the folder
// cannot be made safe (not a directory of this user, or a symbolic link).
constexpr const char kWorkingFolderName[] = ".norva-work";
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::string& programFolder);
  ~WorkingFolder();
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;
  const std::string& Path() const { return own_; }

 private:
  std::string own_;
  int lockFd_ = -1;
  WorkingFolder* previous_ = nullptr;
};

// A WorkingFolder in programFolder, or none (TempDirectory() unchanged) when that folder cannot
// take one, such as a folder this user cannot write.
std::unique_ptr<WorkingFolder> TryWorkingFolder(const std::string& programFolder);

// Removes what dead processes left in the program folder's working folder: the folders of
// processes that no longer hold their lock, and anything else lying there. Returns the number
// of entries removed. Called under the program folder's lock (FolderLock).
int RemoveLeftovers(const std::string& programFolder);

// Flushes a folder's entries to disk so that a rename in it survives a crash.
void SyncDirectory(const std::string& dir);

}  // namespace norva::fileio
