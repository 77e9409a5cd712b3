// TQDB: opening, reading, changing and rebuilding record-store files.
#include "store/QDB.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <filesystem>
#include <vector>

#include "store/FileIO.h"
#include "store/KeyFilter.h"
#include "store/Pump.h"
#include "store/QDBCompress.h"
#include "store/QDBStream.h"

namespace norva {
namespace {

constexpr char kSignature[4] = {'Q', 'D', 'B', 0};
constexpr char kPasswordMark[4] = {'Q', 'P', 'W', 0};
constexpr char kIndexMark[4] = {'Q', 'I', 'X', 0};
constexpr int32_t kMinRecordSize = 13;  // a key's zero byte and three integers
const char kCaseSensitiveKey[] = "QDBCaseSensitive";

void PutInt(std::string& out, int32_t value) {
  const uint32_t v = uint32_t(value);
  const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  out.append(b, 4);
}

int32_t GetInt(const unsigned char* b) {
  return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                 uint32_t(b[3]) << 24);
}

// Scrambles (or unscrambles) a whole section.
void Scramble(std::string& section, const TQDBKey& key) {
  ScrambleAt(reinterpret_cast<uint8_t*>(section.data()), section.size(), 0, section.size(), key);
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string Folder(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

}  // namespace

TQDB::TQDB() = default;

TQDB::~TQDB() {
  if (open_) {
    try {
      Close();
    } catch (...) {
      // A destructor cannot report the failure; the old file stays as it was.
      Reset();
    }
  }
}

// ---- opening and closing ----

void TQDB::SetFileName(const std::string& name) {
  if (open_) Close();
  if (!name.empty()) Open(name);
}

void TQDB::SetFilter(const std::string& filter) {
  filter_ = MakeKey(filter);
}

void TQDB::Open(const std::string& name) {
  std::string path;
  try {
    std::filesystem::path p = std::filesystem::absolute(name);
    if (!p.has_extension()) p += ".QDB";
    path = std::filesystem::weakly_canonical(p).string();
  } catch (const std::filesystem::filesystem_error&) {
    throw EQDBFileError(qdbFileNotFound, name);
  }
  fileName_ = path;
  try {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) RaiseQDBFileError(QDBCodeFromErrno(errno), qdbFileNotFound, path);
      // Opened only to be read, a missing file stays missing.
      if (readOnly_) throw EQDBFileError(qdbFileNotFound, path);
      // A new store: signature, D = 0, "QIX", X = 5, a count of 0 and one spare zero byte.
      std::string empty(kSignature, 4);
      PutInt(empty, 0);
      empty.append(kIndexMark, 4);
      PutInt(empty, 5);
      PutInt(empty, 0);
      empty += '\0';
      int fd = fileio::Open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (fd < 0) RaiseQDBFileError(QDBCodeFromErrno(errno), qdbNoTempFile, path);
      bool written = fileio::WriteAll(fd, empty.data(), empty.size(), path);
      int err = errno;
      ::close(fd);
      if (!written) {
        fileio::Unlink(path);
        RaiseQDBFileError(QDBCodeFromErrno(err), qdbCannotExtend, path);
      }
      if (::stat(path.c_str(), &st) != 0)
        RaiseQDBFileError(QDBCodeFromErrno(errno), qdbFileNotFound, path);
    }
    if (S_ISDIR(st.st_mode)) RaiseQDBFileError(-5, qdbNotValid, path);
    // A FIFO would hold the open until some writer came, and a device is endless or empty.
    if (!S_ISREG(st.st_mode))
      throw EQDBFileError(qdbNotValid, path, "it is not a regular file");
    fileTime_ = st.st_mtim;
    if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) readOnly_ = true;

    fd_ = fileio::Open(path, readOnly_ ? O_RDONLY : O_RDWR);
    if (fd_ < 0) RaiseQDBFileError(QDBCodeFromErrno(errno), qdbFileNotFound, path);
    const int64_t fileSize = st.st_size;
    auto readAt = [&](int64_t offset, void* out, int64_t count) {
      if (!fileio::PReadAll(fd_, out, size_t(count), off_t(offset), path))
        throw EStreamError("read error", errno);
    };
    unsigned char head[8];
    if (fileSize < 12) throw EQDBFileError(qdbNotValid, path);
    readAt(0, head, 8);
    if (std::memcmp(head, kSignature, 4) != 0) throw EQDBFileError(qdbNotValid, path);

    dataStart_ = 8;
    if (std::memcmp(head + 4, kPasswordMark, 4) == 0) {
      TQDBKey check;
      if (fileSize < 32 + 8) throw EQDBFileError(qdbNotValid, path);
      readAt(8, check.data(), 20);
      if (password_.empty() && OnDemandPassword) OnDemandPassword(*this, password_);
      fileKey_ = PasswordKey(password_);
      if (PasswordCheckValue(*fileKey_) != check) throw EQDBInvalidPW(qdbInvalidPassword);
      filePassword_ = password_;
      dataStart_ = 32;
    }
    unsigned char b[8];
    readAt(dataStart_ - 4, b, 4);
    const int32_t dataLength = GetInt(b);
    if (dataLength < 0 || dataLength > fileSize - dataStart_ - 8)
      throw EQDBFileError(qdbNotValid, path);
    readAt(dataStart_ + dataLength, b, 8);
    if (std::memcmp(b, kIndexMark, 4) != 0) throw EQDBFileError(qdbNotValid, path);
    const int32_t indexLength = GetInt(b + 4);
    const int64_t indexStart = dataStart_ + dataLength + 8;
    if (indexLength < 4 || indexLength > fileSize - indexStart)
      throw EQDBFileError(qdbNotValid, path);
    indexBytes_.assign(size_t(indexLength), '\0');
    readAt(indexStart, indexBytes_.data(), indexLength);
    if (fileKey_) Scramble(indexBytes_, *fileKey_);
    diskData_ = dataLength;
    const int64_t fileEnd = indexStart + indexLength;
    base_ = fileEnd - dataStart_;
    dataSize_ = base_;
    // Bytes past the index are what a commit cut short left behind: nobody refers to them.
    if (!readOnly_ && fileSize > fileEnd && fileio::Truncate(fd_, off_t(fileEnd), path) == 0 &&
        ::fstat(fd_, &st) == 0)
      fileTime_ = st.st_mtim;  // our own change is no change behind our back

    LoadIndex(dataLength);
  } catch (const EStreamError& e) {
    Reset();
    RaiseQDBFileError(QDBCodeFromErrno(e.Errno), qdbNotValid, path);
  } catch (const EQDBListError&) {
    Reset();
    throw EQDBFileError(qdbNotValid, path);
  } catch (...) {
    Reset();
    throw;
  }

  count_ = items_.Count();
  itemIndex_ = 0;
  key_ = count_ > 0 ? TKey(items_.Key(0)) : TKey();
  open_ = true;
  if (OnFileAssigned) OnFileAssigned(*this);
}

// Parses the index section held in indexBytes_; the keys stay views into those bytes.
void TQDB::LoadIndex(int64_t dataLength) {
  const char* const bytes = indexBytes_.data();
  const size_t indexLength = indexBytes_.size();
  size_t at = 0;
  auto readInt = [&](int32_t& v) {
    if (indexLength - at < 4) return false;
    v = GetInt(reinterpret_cast<const unsigned char*>(bytes + at));
    at += 4;
    return true;
  };
  int32_t n = 0;
  if (!readInt(n) || n < 0 || n > int64_t(indexLength - 4) / kMinRecordSize)
    throw EQDBFileError(qdbNotValid, fileName_);

  items_.Reserve(n);
  // Every entry owns its bytes: two records over the same bytes (one compressed blob listed a
  // hundred times) are a damaged file, not a hundred items.
  std::vector<std::pair<int32_t, int32_t>> ranges;
  ranges.reserve(size_t(n));
  const int32_t step = n / 10 + 1;
  for (int32_t i = 1; i <= n; ++i) {
    const size_t record = at;
    const void* zero = std::memchr(bytes + at, 0, std::min(indexLength - at, kMaxKeyLength + 1));
    if (!zero) throw EQDBFileError(qdbNotValid, fileName_);
    const std::string_view key(bytes + at, size_t(static_cast<const char*>(zero) - (bytes + at)));
    at += key.size() + 1;
    TIndex entry;
    int32_t flags = 0;
    if (!readInt(entry.Pos) || !readInt(entry.Size) || !readInt(flags))
      throw EQDBFileError(qdbNotValid, fileName_);
    entry.Flags = uint32_t(flags);
    if (entry.Pos < 0 || entry.Size < 0 || int64_t(entry.Pos) + entry.Size > dataLength)
      throw EQDBFileError(qdbNotValid, fileName_,
                          "the entry '" + std::string(key) + "' lies outside the data section");
    if (entry.Size > 0) ranges.emplace_back(entry.Pos, entry.Size);
    (entry.Flags & kIndexAdmin ? admin_ : items_).Load(key, entry, int32_t(record));
    Progress(i, step, poLoading);
  }
  if (ProgressUpdate) ProgressUpdate(*this, 0, poLoading);
  // Entries are mostly laid out in index order or against it; sort only when they are not.
  if (!std::is_sorted(ranges.begin(), ranges.end())) {
    std::reverse(ranges.begin(), ranges.end());
    if (!std::is_sorted(ranges.begin(), ranges.end())) std::sort(ranges.begin(), ranges.end());
  }
  for (size_t i = 1; i < ranges.size(); ++i)
    if (int64_t(ranges[i - 1].first) + ranges[i - 1].second > ranges[i].first)
      throw EQDBFileError(qdbNotValid, fileName_,
                          "two index records share the bytes at offset " +
                              std::to_string(ranges[i].first) + " of the data section");

  // A key stored twice keeps its first admin record.
  admin_.FinishLoad(false);
  int32_t found;
  if (admin_.Find(kCaseSensitiveKey, found)) {
    const TIndex& e = *admin_.Index(found);
    unsigned char b = 0;
    if (e.Size == 1) b = uint8_t(ReadData(e)[0]);
    items_.SetCaseSensitive(b == 1);
  }
  // The writer stores items in descending order under its own comparison; reverse, and sort
  // again only when that comparison differs from ours.
  items_.FinishLoad(true);
}

void TQDB::Progress(int32_t i, int32_t step, TProgressOrigin origin) {
  if (i % step != 0) return;
  ProcessMessages();
  if (ProgressUpdate) ProgressUpdate(*this, i * 10 / step, origin);
}

int64_t TQDB::LiveBytes() const {
  int64_t live = 0;
  for (const TIndexList* list : {&admin_, &items_})
    for (int32_t i = 0; i < list->Count(); ++i) live += list->Index(i)->Size;
  return live;
}

int64_t TQDB::IndexLength() const {
  int64_t length = 4;
  for (const TIndexList* list : {&admin_, &items_})
    for (int32_t i = 0; i < list->Count(); ++i) length += int64_t(list->Key(i).size()) + 13;
  return length;
}

// The index section: N, the admin records last to first, the item records last to first; with
// positions, entry k (admins, then items, in key order) gets positions[k] instead of its Pos.
// Without them, runs of unchanged records that lay one after another in the index read at open
// are copied as they are.
void TQDB::BuildIndex(const std::vector<int32_t>* positions, std::string& index) {
  const int32_t items = items_.Count(), admins = admin_.Count();
  PutInt(index, items + admins);
  int64_t runFrom = -1, runTo = -1;  // the old records still to be copied
  auto flush = [&] {
    if (runFrom >= 0) index.append(indexBytes_, size_t(runFrom), size_t(runTo - runFrom));
    runFrom = runTo = -1;
  };
  auto put = [&](const TIndexList::TRecord& r, size_t k) {
    const int64_t length = int64_t(r.key.size()) + kMinRecordSize;
    if (!positions && r.record >= 0) {
      if (r.record != runTo) {
        flush();
        runFrom = r.record;
      }
      runTo = r.record + length;
      return;
    }
    flush();
    index.append(r.key);
    index += '\0';
    PutInt(index, positions ? (*positions)[k] : r.index.Pos);
    PutInt(index, r.index.Size);
    PutInt(index, int32_t(r.index.Flags));
  };
  for (int32_t i = admins - 1; i >= 0; --i) put(admin_.Record(i), size_t(i));
  const int32_t step = items / 10 + 1;
  for (int32_t n = 0, i = items - 1; i >= 0; --i, ++n) {
    put(items_.Record(i), size_t(admins + i));
    Progress(n, step, poSaving);
  }
  flush();
  if (ProgressUpdate) ProgressUpdate(*this, 0, poSaving);
}

void TQDB::Close() {
  if (!open_) {
    Reset();
    return;
  }
  // A read-only store is never written. With SaveOnClose off the changes are dropped and the
  // file keeps its bytes; so it does when nothing changed, password included.
  if (!readOnly_ && saveOnClose_ && (modified_ || password_ != filePassword_)) {
    const std::string original = fileName_;
    try {
      // A file gaining, losing or changing its password is written whole under the new one.
      bool whole = packRequested_ || password_ != filePassword_;
      // A file with nothing in its data section is as cheap to write whole.
      whole = whole || diskData_ == 0;
      // Someone else changed the file since it was opened: unless allowed to overwrite it, write
      // beside it under "1." + its name. Either way it is written whole from what we hold.
      struct stat st;
      std::optional<mode_t> mode;
      if (::stat(fileName_.c_str(), &st) != 0) {
        whole = true;
      } else {
        mode = st.st_mode & 07777;
        if (!SameTime(st.st_mtim, fileTime_)) {
          whole = true;
          bool ok = false;
          if (BeforeOverWrite) BeforeOverWrite(*this, ok);
          if (!ok) {
            auto p = std::filesystem::path(fileName_);
            do p = p.parent_path() / ("1." + p.filename().string());
            while (std::filesystem::exists(p));
            fileName_ = p.string();
          }
        }
      }
      if (!whole) {
        // Appending leaves the old index and every replaced value unreferenced; past a quarter
        // of the file, the store is packed instead.
        const int64_t unused = dataSize_ - LiveBytes();
        whole = unused * 4 > dataStart_ + dataSize_ + 8 + IndexLength();
      }
      if (whole)
        WriteContainer(fileName_, mode);
      else
        AppendCommit();
      if (::stat(fileName_.c_str(), &st) == 0) fileTime_ = st.st_mtim;
    } catch (const EStreamError& e) {
      fileName_ = original;
      RaiseIO(e, qdbCannotExtend);
    } catch (...) {
      fileName_ = original;
      throw;
    }
  }
  Reset();
}

// Commits a store in place. Step 1 writes the new bytes and a new index past the end of the
// file, where no reader looks; step 2 points D past the old index, which makes the new index the
// file's own. A failure before step 2 is on disk cuts the file back to its old bytes.
void TQDB::AppendCommit() {
  if (fileKey_) KeepScrambledBytesInPlace();
  if (dataSize_ > INT32_MAX) throw EQDBFileError(qdbCannotExtend, fileName_);
  const int64_t fileEnd = dataStart_ + base_;
  // The new bytes, "QIX", X and the index built in place after them. pending_ stays as it is
  // until the commit succeeds, since a failed close keeps the store open.
  const size_t indexAt = pending_.size() + 8;
  const int64_t indexLength = IndexLength();
  std::string tail;
  tail.reserve(indexAt + size_t(indexLength));
  tail.append(pending_);
  tail.append(kIndexMark, 4);
  PutInt(tail, int32_t(indexLength));
  BuildIndex(nullptr, tail);
  if (tail.size() != indexAt + size_t(indexLength)) throw std::logic_error("index length");
  if (fileKey_) {
    // The new bytes take the masks of their place in the grown data section; the index is a
    // section of its own.
    auto* bytes = reinterpret_cast<uint8_t*>(tail.data());
    ScrambleAt(bytes, pending_.size(), uint64_t(base_), uint64_t(dataSize_), *fileKey_);
    ScrambleAt(bytes + indexAt, size_t(indexLength), 0, uint64_t(indexLength), *fileKey_);
  }
  std::string oldD, newD;
  PutInt(oldD, int32_t(diskData_));
  PutInt(newD, int32_t(dataSize_));

  auto fail = [&](int message, bool restoreD) {
    const int err = errno;
    if (restoreD) fileio::PWriteAll(fd_, oldD.data(), 4, off_t(dataStart_ - 4), fileName_);
    fileio::Truncate(fd_, off_t(fileEnd), fileName_);
    struct stat st;
    if (::fstat(fd_, &st) == 0) fileTime_ = st.st_mtim;  // our own undoing
    RaiseQDBFileError(QDBCodeFromErrno(err), message, fileName_);
  };
  if (!fileio::PWriteAll(fd_, tail.data(), tail.size(), off_t(fileEnd), fileName_))
    fail(qdbCannotExtend, false);
  if (fileio::DataSync(fd_, fileName_) != 0) fail(qdbCannotExtend, false);
  if (!fileio::PWriteAll(fd_, newD.data(), 4, off_t(dataStart_ - 4), fileName_))
    fail(qdbCannotExtend, true);
  if (fileio::DataSync(fd_, fileName_) != 0) fail(qdbCannotExtend, true);

  // Committed. Replaced values (passwords among them) must not live on in the file: zero the
  // bytes they left on disk. Should that fail, the file is packed, which drops them too.
  diskData_ = dataSize_;
  base_ = dataSize_ + 8 + indexLength;
  pending_.clear();
  readAheadPos_ = -1;  // unscrambled under the old length
  std::sort(freed_.begin(), freed_.end());
  bool zeroed = true;
  for (size_t i = 0; i < freed_.size() && zeroed;) {
    int64_t from = freed_[i].first, to = from + freed_[i].second;
    for (++i; i < freed_.size() && freed_[i].first <= to; ++i)
      to = std::max<int64_t>(to, freed_[i].first + freed_[i].second);
    std::string zeros(size_t(to - from), '\0');
    if (fileKey_)  // the scrambled form of zero bytes, which read back as zeros
      ScrambleAt(reinterpret_cast<uint8_t*>(zeros.data()), zeros.size(), uint64_t(from),
                 uint64_t(diskData_), *fileKey_);
    zeroed = fileio::PWriteAll(fd_, zeros.data(), zeros.size(), off_t(dataStart_ + from),
                               fileName_);
  }
  if (!freed_.empty() && (!zeroed || fileio::DataSync(fd_, fileName_) != 0)) {
    struct stat st;
    std::optional<mode_t> mode;
    if (::fstat(fd_, &st) == 0) mode = st.st_mode & 07777;
    WriteContainer(fileName_, mode);
  }
  freed_.clear();
}

// A protected file's bytes keep their meaning as the data section grows, but for its last D % 4
// bytes (the tail of the last scrambling chunk), whose mask depends on D. The entries that reach
// into such a tail (only a file written elsewhere has one) are appended again, and the new bytes
// are padded so that D stays a multiple of 4.
void TQDB::KeepScrambledBytesInPlace() {
  const int64_t tailFrom = diskData_ - diskData_ % 4;
  if (tailFrom < diskData_) {
    for (TIndexList* list : {&admin_, &items_}) {
      for (int32_t i = 0; i < list->Count(); ++i) {
        const TIndex& e = *list->Index(i);
        if (e.Size == 0 || e.Pos >= diskData_ || int64_t(e.Pos) + e.Size <= tailFrom) continue;
        const std::string bytes = ReadData(e);
        const int32_t pos = AppendData(bytes.data(), int64_t(bytes.size()));
        if (e.Flags & kIndexAdmin) freed_.emplace_back(e.Pos, e.Size);
        list->Change(i).Pos = pos;
      }
    }
  }
  static const char kZeros[4] = {};
  if (dataSize_ % 4) AppendData(kZeros, 4 - dataSize_ % 4);
}

// Writes the store whole into a new file beside the target and renames it over the target: the
// live entries only (admin entries first, then items), scrambled when there is a password.
void TQDB::WriteContainer(const std::string& target, std::optional<mode_t> oldMode) {
  std::optional<TQDBKey> key;
  if (!password_.empty()) key = PasswordKey(password_);
  // Entry k is admin entry k, then item k - admins. Pack lays them out in that order; any other
  // rewrite keeps their order in the data section, so a store written once is laid out as added.
  std::vector<const TIndex*> entries;
  for (const TIndexList* list : {&admin_, &items_})
    for (int32_t i = 0; i < list->Count(); ++i) entries.push_back(list->Index(i));
  const int32_t total = int32_t(entries.size());
  std::vector<int32_t> order(entries.size());
  for (int32_t k = 0; k < total; ++k) order[size_t(k)] = k;
  if (!packRequested_)
    std::stable_sort(order.begin(), order.end(),
                     [&](int32_t a, int32_t b) { return entries[size_t(a)]->Pos < entries[size_t(b)]->Pos; });
  std::vector<int32_t> positions(entries.size());
  int64_t live = 0;
  for (int32_t k : order) {
    positions[size_t(k)] = int32_t(live);
    live += entries[size_t(k)]->Size;
  }
  if (live > INT32_MAX - 3) throw EQDBFileError(qdbCannotExtend, target);
  std::string index;
  index.reserve(size_t(IndexLength()));
  BuildIndex(&positions, index);

  const std::string dir = Folder(target);
  std::string tempName;
  int fd = fileio::CreateUnique(dir, "QDD", tempName);
  if (fd < 0) RaiseQDBFileError(QDBCodeFromErrno(errno), qdbNoTempFile, target);
  TFileStream out(tempName, fd);
  try {
    std::string header(kSignature, 4);
    if (key) {
      header.append(kPasswordMark, 4);
      TQDBKey check = PasswordCheckValue(*key);
      header.append(reinterpret_cast<const char*>(check.data()), check.size());
    }
    // A protected data section is padded to a multiple of 4 bytes, so that a later commit can
    // append to it without changing the masks of the bytes already there.
    const int64_t length = key ? (live + 3) / 4 * 4 : live;
    PutInt(header, int32_t(length));
    out.WriteString(header);

    // The data section goes out in chunks of the scrambling's size, each scrambled on its own.
    const size_t chunk =
        size_t(std::min<int64_t>(QDBBufferSize(length), std::max<int64_t>(length, 1)));
    std::string buffer;
    buffer.reserve(chunk);
    auto flush = [&] {
      if (key) ScrambleChunk(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), *key);
      out.WriteString(buffer);
      buffer.clear();
    };
    const int32_t step = total / 10 + 1;
    int32_t n = 0;
    for (int32_t k : order) {
      const std::string bytes = ReadData(*entries[size_t(k)]);
      for (size_t at = 0; at < bytes.size();) {
        const size_t take = std::min(chunk - buffer.size(), bytes.size() - at);
        buffer.append(bytes, at, take);
        at += take;
        if (buffer.size() == chunk) flush();
      }
      if (packRequested_) Progress(++n, step, poPacking);
    }
    buffer.append(size_t(length - live), '\0');
    if (!buffer.empty()) flush();
    if (packRequested_ && ProgressUpdate) ProgressUpdate(*this, 0, poPacking);

    std::string mark(kIndexMark, 4);
    PutInt(mark, int32_t(index.size()));
    out.WriteString(mark);
    if (key) Scramble(index, *key);
    out.WriteString(index);

    out.Sync();
    ::fchmod(out.Handle(), oldMode.value_or(0600));
    out.Close();
    if (fileio::Rename(tempName, target) != 0) {
      int err = errno;
      RaiseQDBFileError(QDBCodeFromErrno(err), qdbCannotCopy, target);
    }
  } catch (...) {
    fileio::Unlink(tempName);
    throw;
  }
  fileio::SyncDirectory(dir);
}

void TQDB::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  dataStart_ = diskData_ = base_ = 0;
  std::string().swap(pending_);
  std::string().swap(readAhead_);
  readAheadPos_ = -1;
  fileKey_.reset();
  freed_.clear();
  packRequested_ = false;
  admin_.EmptyAndClear();
  items_.EmptyAndClear();
  items_.SetCaseSensitive(false);
  std::string().swap(indexBytes_);
  cache_.Clear();
  adminIndex_ = -1;
  lastAdminKey_.clear();
  bof_ = eof_ = false;
  count_ = 0;
  dataSize_ = 0;
  fileName_.clear();
  itemIndex_ = 0;
  key_.clear();
  readOnly_ = false;
  modified_ = false;
  open_ = false;
  password_.clear();
  filePassword_.clear();
}

// ---- checks and reports ----

void TQDB::CheckOpen() const {
  if (!open_) throw EQDBNoFile(qdbNoFile);
}

bool TQDB::CheckWritable() {
  if (!readOnly_) return true;
  if (WarnReadOnly)
    WarnReadOnly(*this);
  else
    throw EQDBReadOnly(qdbReadOnly, fileName_);
  return false;
}

void TQDB::ReportNoData() {
  if (WarnNoData)
    WarnNoData(*this);
  else
    throw EQDBNoData(qdbEmpty, fileName_);
}

void TQDB::ReportOutOfBounds() {
  if (WarnOutOfBounds)
    WarnOutOfBounds(*this);
  else
    throw EQDBOutOfBounds(qdbOutOfBounds);
}

bool TQDB::HasItems() {
  if (count_ > 0) return true;
  bof_ = eof_ = true;  // a loop up to Eof() ends even when the report is only a warning
  ReportNoData();
  return false;
}

bool TQDB::Matches(std::string_view key) const {
  return filter_.empty() || MatchKeyFilter(key, filter_, useGrepMatch_, items_.CaseSensitive());
}

void TQDB::RaiseIO(const EStreamError& e, int opMessage) const {
  RaiseQDBFileError(QDBCodeFromErrno(e.Errno), opMessage, fileName_);
}

// ---- the data section ----

std::string TQDB::ReadData(const TIndex& index) {
  std::string bytes(size_t(index.Size), '\0');
  if (index.Size == 0) return bytes;
  if (index.Pos >= base_) {
    std::memcpy(bytes.data(), pending_.data() + (index.Pos - base_), size_t(index.Size));
  } else {
    ReadDisk(index.Pos, index.Size, bytes.data());
  }
  return bytes;
}

// Reads bytes of the data section from the file, unscrambled. Small entries are served from a
// window of the section read ahead in one call, since neighbouring entries are often read one
// after another.
void TQDB::ReadDisk(int64_t pos, int64_t size, char* out) {
  constexpr int64_t kWindow = 65536;
  auto unscramble = [&](char* bytes, size_t length, int64_t at) {
    if (fileKey_)
      ScrambleAt(reinterpret_cast<uint8_t*>(bytes), length, uint64_t(at), uint64_t(diskData_),
                 *fileKey_);
  };
  if (readAheadPos_ < 0 || pos < readAheadPos_ ||
      pos + size > readAheadPos_ + int64_t(readAhead_.size())) {
    if (size >= kWindow) {
      if (!fileio::PReadAll(fd_, out, size_t(size), off_t(dataStart_ + pos), fileName_))
        RaiseQDBFileError(QDBCodeFromErrno(errno), qdbNotValid, fileName_);
      unscramble(out, size_t(size), pos);
      return;
    }
    readAheadPos_ = -1;
    readAhead_.resize(size_t(std::min(kWindow, diskData_ - pos)));
    if (!fileio::PReadAll(fd_, readAhead_.data(), readAhead_.size(), off_t(dataStart_ + pos),
                          fileName_))
      RaiseQDBFileError(QDBCodeFromErrno(errno), qdbNotValid, fileName_);
    unscramble(readAhead_.data(), readAhead_.size(), pos);
    readAheadPos_ = pos;
  }
  std::memcpy(out, readAhead_.data() + (pos - readAheadPos_), size_t(size));
}

int32_t TQDB::AppendData(const void* bytes, int64_t size) {
  if (dataSize_ + size > INT32_MAX) throw EQDBFileError(qdbCannotExtend, fileName_);
  const int64_t pos = dataSize_;
  try {
    pending_.append(static_cast<const char*>(bytes), size_t(size));
  } catch (const std::bad_alloc&) {
    throw EQDBError(qdbCompressMemory);
  }
  dataSize_ = pos + size;
  return int32_t(pos);
}

// ---- items ----

void TQDB::OfferToCache(const TKey& key, std::string bytes) {
  if (int64_t(bytes.size()) > cache_.Limit()) return;  // would be refused: spare the copy
  TMemoryStream copy;
  copy.Assign(std::move(bytes));
  cache_.Put(copy, key);
}

void TQDB::AddItem(TStream& stream, const std::string& key) {
  CheckOpen();
  if (!CheckWritable()) return;
  const TKey k = MakeKey(key);
  int32_t at;
  if (items_.Find(k, at)) throw EQDBListError(qdbDuplicateKey);

  stream.SetPosition(0);
  std::string raw(size_t(stream.Size()), '\0');
  stream.ReadBuffer(raw.data(), int64_t(raw.size()));
  stream.SetPosition(0);

  TIndex entry;
  TMemoryStream packed;
  if (compression_) {
    TMemoryStream source;
    source.Assign(raw);
    CompressStream(source, packed);
  }
  // An item that packs tighter than any reader accepts is kept as it is, so it reads back.
  if (compression_ && raw.size() <= ExpansionLimit(size_t(packed.Size()))) {
    entry.Pos = AppendData(packed.Bytes().data(), packed.Size());
    entry.Size = int32_t(packed.Size());
    entry.Flags = kIndexCompressed;
  } else {
    entry.Pos = AppendData(raw.data(), int64_t(raw.size()));
    entry.Size = int32_t(raw.size());
  }
  itemIndex_ = items_.Add(k, entry);
  key_ = k;
  OfferToCache(k, std::move(raw));
  count_ = items_.Count();
  modified_ = true;
  if (OnAdded) OnAdded(*this);
  if (OnNavigate) OnNavigate(*this);
}

void TQDB::GetItem(TStream& stream) {
  CheckOpen();
  if (!HasItems()) return;
  int32_t cached;
  stream.SetPosition(0);
  if (cache_.Find(key_, cached)) {
    cache_.Get(cached, stream);
  } else {
    const TIndex& e = *items_.Index(itemIndex_);
    std::string bytes = ReadData(e);
    if (e.Flags & kIndexCompressed) {
      std::string expanded;
      switch (ExpandItem(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), expanded)) {
        case TExpansion::Ok:
          break;
        case TExpansion::Malformed:
          throw EQDBFileError(qdbNotValid, fileName_,
                              "the item '" + key_ + "' is damaged (its compressed data is malformed)");
        case TExpansion::TooLarge:
          throw EQDBFileError(qdbNotValid, fileName_,
                              "the item '" + key_ + "' is damaged (its " +
                                  std::to_string(bytes.size()) + " compressed bytes expand past " +
                                  std::to_string(ExpansionLimit(bytes.size())) + " bytes)");
      }
      bytes.swap(expanded);
    }
    stream.WriteString(bytes);
    OfferToCache(key_, std::move(bytes));
  }
  stream.SetPosition(0);
}

void TQDB::KillItem() {
  CheckOpen();
  if (!CheckWritable() || !HasItems()) return;
  cache_.Remove(key_);
  items_.Delete(itemIndex_);
  if (itemIndex_ > 0) --itemIndex_;
  count_ = items_.Count();
  modified_ = true;
  if (count_ == 0) {
    itemIndex_ = 0;
    key_.clear();
    if (OnDeleted) OnDeleted(*this);
    ReportNoData();
    return;
  }
  GoToItem(itemIndex_);
  if (OnDeleted) OnDeleted(*this);
}

bool TQDB::ExactMatch(const std::string& key) {
  CheckOpen();
  int32_t at;
  if (!items_.Find(MakeKey(key), at)) return false;
  GoToItem(at);
  if (OnFound) OnFound(*this);
  return true;
}

void TQDB::FirstItem() {
  CheckOpen();
  if (!HasItems()) return;
  bof_ = true;
  eof_ = false;
  for (int32_t i = 0; i < count_; ++i)
    if (Matches(items_.Key(i))) return GoToItem(i);
  eof_ = true;  // nothing matches the filter
}

void TQDB::NextItem() {
  CheckOpen();
  if (!HasItems()) return;
  bof_ = eof_ = false;
  for (int32_t i = itemIndex_ + 1; i < count_; ++i)
    if (Matches(items_.Key(i))) return GoToItem(i);
  eof_ = true;
}

void TQDB::PrevItem() {
  CheckOpen();
  if (!HasItems()) return;
  bof_ = eof_ = false;
  for (int32_t i = itemIndex_ - 1; i >= 0; --i)
    if (Matches(items_.Key(i))) return GoToItem(i);
  bof_ = true;
}

void TQDB::LastItem() {
  CheckOpen();
  if (!HasItems()) return;
  bof_ = false;
  eof_ = true;
  for (int32_t i = count_ - 1; i >= 0; --i)
    if (Matches(items_.Key(i))) return GoToItem(i);
  bof_ = true;
}

void TQDB::GoToItem(int32_t index) {
  CheckOpen();
  if (!HasItems()) return;
  if (index < 0 || index >= count_) return ReportOutOfBounds();
  itemIndex_ = index;
  key_ = items_.Key(index);
  if (OnNavigate) OnNavigate(*this);
}

TKey TQDB::KeyAt(int32_t index) {
  CheckOpen();
  if (!HasItems()) return TKey();
  if (index < 0 || index >= count_) {
    ReportOutOfBounds();
    return TKey();
  }
  return TKey(items_.Key(index));
}

TIndex TQDB::ItemEntry(int32_t index) const {
  CheckOpen();
  if (index < 0 || index >= count_) throw EQDBOutOfBounds(qdbOutOfBounds);
  return *items_.Index(index);
}

// Marks the store to be written whole at close, without the bytes no entry refers to.
void TQDB::Pack() {
  CheckOpen();
  if (!CheckWritable()) return;
  packRequested_ = true;
  modified_ = true;
  if (count_ > 0) GoToItem(itemIndex_);
}

// ---- admin entries ----

bool TQDB::FindAdmin(const std::string& key) {
  CheckOpen();
  lastAdminKey_ = MakeKey(key);
  int32_t at;
  bool found = admin_.Find(lastAdminKey_, at);
  adminIndex_ = found ? at : -1;
  return found;
}

int32_t TQDB::AdminSize() {
  CheckOpen();
  return adminIndex_ < 0 ? 0 : admin_.Index(adminIndex_)->Size;
}

void TQDB::GetAdmin(void* buffer) {
  CheckOpen();
  if (adminIndex_ < 0) return;
  std::string bytes = ReadData(*admin_.Index(adminIndex_));
  std::memcpy(buffer, bytes.data(), bytes.size());
}

void TQDB::AddAdmin(const void* buffer, int32_t size, const std::string& key) {
  CheckOpen();
  if (!CheckWritable()) return;
  const TKey k = MakeKey(key);
  int32_t at;
  if (admin_.Find(k, at)) throw EQDBListError(qdbDuplicateKey);
  size = std::max(size, 0);
  TIndex entry;
  entry.Pos = AppendData(buffer, size);
  entry.Size = size;
  entry.Flags = kIndexAdmin;
  adminIndex_ = admin_.Add(k, entry);
  lastAdminKey_ = k;
  modified_ = true;
}

void TQDB::ChangeAdmin(const void* buffer, int32_t size) {
  CheckOpen();
  if (!CheckWritable()) return;
  if (adminIndex_ < 0) throw EQDBBadKey(qdbBadKey, lastAdminKey_);
  size = std::max(size, 0);
  const TIndex& current = *admin_.Index(adminIndex_);
  if (size == current.Size && (size == 0 || ReadData(current) == std::string_view(
                                                 static_cast<const char*>(buffer), size_t(size))))
    return;  // the same value: nothing to write
  TIndex& e = admin_.Change(adminIndex_);
  if (e.Pos >= base_) {
    // Bytes of this session, in memory: overwritten, the rest zeroed, or zeroed and moved.
    char* old = pending_.data() + (e.Pos - base_);
    if (size <= e.Size) std::memcpy(old, buffer, size_t(size));
    std::memset(old + (size <= e.Size ? size : 0), 0, size_t(e.Size - (size <= e.Size ? size : 0)));
    if (size > e.Size) e.Pos = AppendData(buffer, size);
  } else {
    // Bytes the file's index refers to are never overwritten: the new value goes to the end and
    // the old bytes are zeroed once the commit no longer refers to them.
    const int32_t oldPos = e.Pos, oldSize = e.Size;
    e.Pos = AppendData(buffer, size);
    if (oldSize > 0) freed_.emplace_back(oldPos, oldSize);
  }
  e.Size = size;
  modified_ = true;
}

namespace {
void SetAdmin(TQDB& db, const std::string& key, const void* bytes, int32_t size) {
  if (db.FindAdmin(key))
    db.ChangeAdmin(bytes, size);
  else
    db.AddAdmin(bytes, size, key);
}
}  // namespace

void TQDB::SetAdminBoolean(const std::string& key, bool value) {
  unsigned char b = value ? 1 : 0;
  SetAdmin(*this, key, &b, 1);
}

void TQDB::SetAdminInteger(const std::string& key, int32_t value) {
  std::string bytes;
  PutInt(bytes, value);
  SetAdmin(*this, key, bytes.data(), 4);
}

void TQDB::SetAdminString(const std::string& key, const std::string& value) {
  // length + 1 bytes: at most 255 characters, then zeros.
  std::string bytes(value.size() + 1, '\0');
  std::memcpy(bytes.data(), value.data(), std::min<size_t>(value.size(), 255));
  SetAdmin(*this, key, bytes.data(), int32_t(bytes.size()));
}

bool TQDB::AdminAsBoolean(const std::string& key) {
  if (!FindAdmin(key)) throw EQDBBadKey(qdbBadKey, MakeKey(key));
  std::string bytes = ReadData(*admin_.Index(adminIndex_));
  return bytes.size() == 1 && bytes[0] == 1;
}

int32_t TQDB::AdminAsInteger(const std::string& key) {
  if (!FindAdmin(key)) throw EQDBBadKey(qdbBadKey, MakeKey(key));
  std::string bytes = ReadData(*admin_.Index(adminIndex_));
  return bytes.size() == 4 ? GetInt(reinterpret_cast<const unsigned char*>(bytes.data())) : 0;
}

std::string TQDB::AdminAsString(const std::string& key) {
  if (!FindAdmin(key)) throw EQDBBadKey(qdbBadKey, MakeKey(key));
  std::string bytes = ReadData(*admin_.Index(adminIndex_));
  return bytes.substr(0, std::min<size_t>(bytes.find('\0'), 255));
}

TKey TQDB::AdminKeyAt(int32_t index) const {
  CheckOpen();
  if (index < 0 || index >= admin_.Count()) throw EQDBOutOfBounds(qdbOutOfBounds);
  return TKey(admin_.Key(index));
}

TIndex TQDB::AdminEntry(int32_t index) const {
  CheckOpen();
  if (index < 0 || index >= admin_.Count()) throw EQDBOutOfBounds(qdbOutOfBounds);
  return *admin_.Index(index);
}

std::string TQDB::AdminBytesAt(int32_t index) {
  return ReadData(AdminEntry(index));
}

void CloseWithoutSaving(TQDB& store) {
  const bool save = store.SaveOnClose();
  store.SetSaveOnClose(false);
  store.SetFileName("");
  store.SetSaveOnClose(save);
}

void CloseOrDiscard(TQDB& store) {
  try {
    store.SetFileName("");
  } catch (...) {
    CloseWithoutSaving(store);
    throw;
  }
}

}  // namespace norva
