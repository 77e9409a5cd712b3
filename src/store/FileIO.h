// Thin POSIX file calls used by the store and the streams, with a fault hook for tests.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
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

// Writes all bytes, retrying short writes and interruptions; false with errno set on failure
// (errno 0 when the device accepted no more bytes).
bool WriteAll(int fd, const void* buf, size_t count, const std::string& path);

// Creates a new file named dir + "/" + prefix + a unique suffix, mode 0600, opened read/write.
// Returns the descriptor (or -1 with errno set) and stores the name in path.
int CreateUnique(const std::string& dir, const std::string& prefix, std::string& path);

// The folder for temporary files: $TMPDIR, else /tmp.
std::string TempDirectory();

// Flushes a folder's entries to disk so that a rename in it survives a crash.
void SyncDirectory(const std::string& dir);

}  // namespace norva::fileio
