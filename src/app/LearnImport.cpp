// Teaching the spam learner from a folder of messages, an mbox, an archive or one message file.
#include "app/LearnImport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "store/FileIO.h"
#include "store/QDB.h"

namespace norva {

namespace {

namespace fs = std::filesystem;

// Far more than any header block a mail server keeps; the rest of a longer one is not read.
constexpr size_t kMaxHeaderBytes = 1 << 20;

std::runtime_error FileError(const std::string& path, int error) {
  return std::runtime_error(path + ": " +
                            (error ? std::strerror(error) : "the file ended unexpectedly"));
}

// A file read from the start in chunks, as lines.
class InputFile {
 public:
  explicit InputFile(const std::string& path) : path_(path) {
    fd_ = fileio::Open(path, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw FileError(path, errno);
    struct stat status {};
    if (fileio::Stat(path, status) == 0) size_ = status.st_size;
  }
  ~InputFile() { ::close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Whether the file begins with these bytes.
  bool StartsWith(std::string_view bytes) {
    while (buffer_.size() - at_ < bytes.size() && Fill()) {
    }
    return std::string_view(buffer_).substr(at_).substr(0, bytes.size()) == bytes;
  }

  // The next line without its line end; false at the end of the file. A line longer than
  // kMaxHeaderBytes is cut there (the rest is skipped).
  bool Line(std::string& line) {
    line.clear();
    for (bool any = false;; any = true) {
      if (at_ == buffer_.size() && !Fill()) {
        if (!any) return false;
        break;
      }
      const size_t end = buffer_.find('\n', at_);
      const size_t stop = end == std::string::npos ? buffer_.size() : end;
      if (line.size() < kMaxHeaderBytes)
        line.append(buffer_, at_, std::min(stop - at_, kMaxHeaderBytes - line.size()));
      consumed_ += int64_t(stop - at_);
      at_ = stop;
      if (end != std::string::npos) {
        ++at_;
        ++consumed_;
        break;
      }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  // The share of the file read, 0 to 1.
  double Done() const { return size_ > 0 ? std::min(1.0, double(consumed_) / double(size_)) : 1; }

 private:
  // Reads the next chunk; false at the end of the file. A failed read raises an error.
  bool Fill() {
    buffer_.erase(0, at_);
    at_ = 0;
    char chunk[64 * 1024];
    ssize_t n;
    do n = fileio::Read(fd_, chunk, sizeof chunk, path_);
    while (n < 0 && errno == EINTR);
    if (n < 0) throw FileError(path_, errno);
    buffer_.append(chunk, size_t(n));
    return n > 0;
  }

  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  size_t at_ = 0;
  int64_t size_ = 0, consumed_ = 0;
};

// A header field's first line: a name of visible characters, then a colon.
bool IsFieldLine(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  return std::all_of(line.begin(), line.begin() + ptrdiff_t(colon),
                     [](unsigned char c) { return c > ' ' && c < 0x7f; });
}

// Learns what was read, counts it and reports progress; false when the import is to stop.
class Learning {
 public:
  Learning(TLearner& learner, TLearner::TMark mark, TLearnImport& result,
           const TLearnProgress& progress)
      : learner_(learner), mark_(mark), result_(result), progress_(progress) {}

  // A message's header block; one that does not begin with a header field (a file that holds
  // no message) counts as unreadable.
  bool Message(const TStringList& headers, double done) {
    if (headers.empty() || !IsFieldLine(headers.front())) return Unreadable(done);
    (learner_.Mark(headers, mark_) ? result_.Learned : result_.Already) += 1;
    return Report(done);
  }
  bool Unreadable(double done) {
    ++result_.Unreadable;
    return Report(done);
  }

 private:
  bool Report(double done) {
    result_.Done = done;
    if (progress_ && !progress_(result_)) result_.Stopped = true;
    return !result_.Stopped;
  }

  TLearner& learner_;
  TLearner::TMark mark_;
  TLearnImport& result_;
  const TLearnProgress& progress_;
};

// The header block of a file that holds one message (blank lines and a "From " line before it
// skipped, as HeaderBlockOf does).
TStringList MessageFileHeaders(InputFile& file) {
  std::string raw, line;
  bool started = false;
  while (file.Line(line) && raw.size() < kMaxHeaderBytes) {
    (raw += line) += '\n';
    if (line.empty() && started) break;
    if (!line.empty() && !(!started && line.rfind("From ", 0) == 0)) started = true;
  }
  return HeaderBlockOf(raw);
}

bool ReadFolder(const std::string& path, Learning& learning) {
  // Listed first, so that progress can be told and the order does not depend on the disk.
  std::vector<fs::path> files;
  std::error_code error;
  fs::recursive_directory_iterator entry(path, fs::directory_options::skip_permission_denied,
                                         error);
  if (error) throw std::runtime_error(path + ": " + error.message());
  bool listingFailed = false;
  for (const fs::recursive_directory_iterator end; entry != end; entry.increment(error)) {
    if (error) {
      listingFailed = true;
      break;
    }
    std::error_code ignored;
    const std::string name = entry->path().filename().string();
    if (name.empty() || name[0] == '.') {
      if (entry->is_directory(ignored)) entry.disable_recursion_pending();
      continue;
    }
    if (entry->is_regular_file(ignored)) files.push_back(entry->path());
  }
  std::sort(files.begin(), files.end());
  if (listingFailed && !learning.Unreadable(0)) return false;
  for (size_t i = 0; i < files.size(); ++i) {
    const double done = double(i + 1) / double(files.size());
    TStringList headers;
    try {
      InputFile file(files[i].string());
      headers = MessageFileHeaders(file);
    } catch (const std::exception&) {
      if (!learning.Unreadable(done)) return false;
      continue;
    }
    if (!learning.Message(headers, done)) return false;
  }
  return true;
}

// An mbox: each message begins with a "From " line after an empty line (or at the start) that is
// followed by a header field, so that a "From " line of a body that was not quoted as ">From "
// does not split its message.
bool ReadMbox(InputFile& file, Learning& learning) {
  std::string raw, line;
  bool inHeaders = false, afterFrom = false, afterBlank = true;
  try {
    while (file.Line(line)) {
      if (afterFrom) {
        afterFrom = false;
        if (IsFieldLine(line)) {
          inHeaders = true;
          (raw = line) += '\n';
          afterBlank = false;
          continue;
        }
      }
      if (inHeaders) {
        if (line.empty()) {
          inHeaders = false;
          afterBlank = true;
          if (!learning.Message(HeaderBlockOf(raw), file.Done())) return false;
        } else if (raw.size() < kMaxHeaderBytes) {
          (raw += line) += '\n';
        }
        continue;
      }
      afterFrom = afterBlank && line.rfind("From ", 0) == 0;
      afterBlank = line.empty();
    }
  } catch (const std::exception&) {
    // What was read stays learned; the message being read, and the rest, are lost.
    return learning.Unreadable(1);
  }
  // The file ended within a header block.
  return !inHeaders || learning.Message(HeaderBlockOf(raw), 1);
}

bool ReadArchive(const std::string& path, Learning& learning) {
  TQDB store;
  store.SetReadOnly(true);
  store.WarnNoData = [](TQDB&) {};
  bool going = true;
  try {
    store.SetFileName(path);
    const int32_t count = store.Count();
    for (int32_t i = 0; i < count && going; ++i) {
      const double done = double(i + 1) / double(count);
      TMemoryStream item;
      try {
        store.GoToItem(i);
        store.GetItem(item);  // a damaged item raises an error
      } catch (const std::exception&) {
        going = learning.Unreadable(done);
        continue;
      }
      going = learning.Message(HeaderBlockOf(item.Bytes()), done);
    }
    store.SetFileName("");
  } catch (...) {
    CloseWithoutSaving(store);
    throw;
  }
  return going;
}

}  // namespace

namespace {

void Import(const std::string& path, Learning& learning) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    ReadFolder(path, learning);
    return;
  }
  {
    InputFile file(path);
    if (file.StartsWith("From ")) {
      ReadMbox(file, learning);
      return;
    }
    // A record store begins with its signature, "QDB" and a zero byte.
    if (!file.StartsWith(std::string_view("QDB\0", 4))) {
      TStringList headers;
      try {
        headers = MessageFileHeaders(file);
      } catch (const std::exception&) {
        learning.Unreadable(1);
        return;
      }
      learning.Message(headers, 1);
      return;
    }
  }
  ReadArchive(path, learning);
}

}  // namespace

TStringList ReadMessageHeaders(const std::string& path) {
  InputFile file(path);
  TStringList headers = MessageFileHeaders(file);
  if (!headers.empty() && !IsFieldLine(headers.front())) headers.clear();
  return headers;
}

void ImportMessages(const std::string& path, TLearner& learner, TLearner::TMark mark,
                    TLearnImport& result, const TLearnProgress& progress) {
  Learning learning(learner, mark, result, progress);
  Import(path, learning);
  if (!result.Stopped) result.Done = 1;
}

}  // namespace norva
