// TQDB: opening, reading, changing and rebuilding record-store files.
#include "store/QDB.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
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
  uint32_t v = uint32_t(value);
  for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
}

int32_t GetInt(const unsigned char* b) {
  return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                 uint32_t(b[3]) << 24);
}

int32_t ReadInt(TStream& s) {
  unsigned char b[4];
  s.ReadBuffer(b, 4);
  return GetInt(b);
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

    TFileStream file(path, TFileStream::fmOpenRead);
    const int64_t fileSize = file.Size();
    char mark[4];
    if (fileSize < 12 || file.Read(mark, 4) != 4 || std::memcmp(mark, kSignature, 4) != 0)
      throw EQDBFileError(qdbNotValid, path);

    std::optional<TQDBKey> key;
    file.ReadBuffer(mark, 4);
    if (std::memcmp(mark, kPasswordMark, 4) == 0) {
      TQDBKey check;
      if (fileSize < 32 + 8 || file.Read(check.data(), 20) != 20)
        throw EQDBFileError(qdbNotValid, path);
      if (password_.empty() && OnDemandPassword) OnDemandPassword(*this, password_);
      key = PasswordKey(password_);
      if (PasswordCheckValue(*key) != check) throw EQDBInvalidPW(qdbInvalidPassword);
      filePassword_ = password_;
    } else {
      file.Seek(-4, TSeekOrigin::soCurrent);  // no password: these bytes are D
    }

    const int32_t dataLength = ReadInt(file);
    if (dataLength < 0 || dataLength > fileSize - file.Position() - 8)
      throw EQDBFileError(qdbNotValid, path);

    // The data working file, and the index working file named after it.
    std::string dataName;
    int fd = fileio::CreateUnique(fileio::TempDirectory(), "QDB", dataName);
    if (fd < 0) throw EQDBFileError(qdbNoTempFile);
    data_ = std::make_unique<TFileStream>(dataName, fd);
    std::string indexName = std::filesystem::path(dataName).parent_path() /
                            ("QIX" + std::filesystem::path(dataName).filename().string().substr(3));
    fd = fileio::Open(indexName, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) fd = fileio::CreateUnique(fileio::TempDirectory(), "QIX", indexName);
    if (fd < 0) throw EQDBFileError(qdbNoTempFile);
    indexFileName_ = indexName;
    TFileStream index(indexName, fd);

    CopySection(file, dataLength, *data_, key);
    dataSize_ = dataLength;
    file.ReadBuffer(mark, 4);
    if (std::memcmp(mark, kIndexMark, 4) != 0) throw EQDBFileError(qdbNotValid, path);
    const int32_t indexLength = ReadInt(file);
    if (indexLength < 4 || indexLength > fileSize - file.Position())
      throw EQDBFileError(qdbNotValid, path);
    CopySection(file, indexLength, index, key);
    index.Close();

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
  key_ = count_ > 0 ? items_.Key(0) : TKey();
  open_ = true;
  if (OnFileAssigned) OnFileAssigned(*this);
}

void TQDB::LoadIndex(int64_t dataLength) {
  TBFStream index(indexFileName_, TFileStream::fmOpenRead, -1);
  const int64_t indexLength = index.Size();
  int32_t n = 0;
  if (!index.ReadInt(n) || n < 0 || n > (indexLength - 4) / kMinRecordSize)
    throw EQDBFileError(qdbNotValid, fileName_);

  items_.SetSorted(false);
  if (n > 0) items_.SetCapacity(n);
  // Every entry owns its bytes: two records over the same bytes (one compressed blob listed a
  // hundred times) are a damaged file, not a hundred items.
  std::vector<std::pair<int32_t, int32_t>> ranges;
  ranges.reserve(size_t(n));
  const int32_t step = n / 10 + 1;
  for (int32_t i = 1; i <= n; ++i) {
    TKey key;
    auto entry = std::make_unique<TIndex>();
    int32_t flags = 0;
    if (!index.ReadKey(key) || !index.ReadInt(entry->Pos) || !index.ReadInt(entry->Size) ||
        !index.ReadInt(flags))
      throw EQDBFileError(qdbNotValid, fileName_);
    entry->Flags = uint32_t(flags);
    if (entry->Pos < 0 || entry->Size < 0 || int64_t(entry->Pos) + entry->Size > dataLength)
      throw EQDBFileError(qdbNotValid, fileName_,
                          "the entry '" + key + "' lies outside the data section");
    if (entry->Size > 0) ranges.emplace_back(entry->Pos, entry->Size);
    if (entry->Flags & kIndexAdmin) {
      int32_t at;
      // A key stored twice keeps its first record.
      if (!admin_.Find(key, at)) admin_.AddObject(key, entry.release());
    } else {
      items_.AddObject(key, entry.release());
    }
    Progress(i, step, poLoading);
  }
  if (ProgressUpdate) ProgressUpdate(*this, 0, poLoading);
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i)
    if (int64_t(ranges[i - 1].first) + ranges[i - 1].second > ranges[i].first)
      throw EQDBFileError(qdbNotValid, fileName_,
                          "two index records share the bytes at offset " +
                              std::to_string(ranges[i].first) + " of the data section");

  int32_t at;
  if (admin_.Find(kCaseSensitiveKey, at)) {
    const TIndex& e = *admin_.Index(at);
    unsigned char b = 0;
    if (e.Size == 1) {
      data_->SetPosition(e.Pos);
      data_->ReadBuffer(&b, 1);
    }
    items_.SetCaseSensitive(b == 1);
  }
  // The writer stores items in descending order under its own comparison; reverse, and sort
  // again only when that comparison differs from ours.
  items_.SetSorted(true);
  for (int32_t i = 1; i < items_.Count(); ++i) {
    if (items_.Compare(items_.Key(i - 1), items_.Key(i)) >= 0) {
      items_.SortAndDeduplicate();
      break;
    }
  }
}

void TQDB::CopySection(TStream& source, int64_t length, TStream& target,
                       const std::optional<TQDBKey>& key) {
  // Each chunk is scrambled on its own, so the buffer is exactly one chunk.
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(size_t(std::min<int64_t>(QDBBufferSize(length), std::max<int64_t>(length, 1))));
  } catch (const std::bad_alloc&) {
    throw EQDBError(qdbCompressMemory);
  }
  for (int64_t left = length; left > 0;) {
    int64_t n = std::min<int64_t>(left, int64_t(buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    if (key) ScrambleChunk(buffer.data(), size_t(n), *key);
    target.WriteBuffer(buffer.data(), n);
    left -= n;
  }
}

void TQDB::Progress(int32_t i, int32_t step, TProgressOrigin origin) {
  if (i % step != 0) return;
  ProcessMessages();
  if (ProgressUpdate) ProgressUpdate(*this, i * 10 / step, origin);
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
      {
        TTempBFStream index(indexFileName_);
        const int32_t items = items_.Count();
        index.WriteInt(items + admin_.Count());
        for (int32_t i = admin_.Count() - 1; i >= 0; --i) {
          const TIndex& e = *admin_.Index(i);
          index.WriteKey(admin_.Key(i));
          index.WriteInt(e.Pos);
          index.WriteInt(e.Size);
          index.WriteInt(int32_t(e.Flags));
        }
        const int32_t step = items / 10 + 1;
        for (int32_t n = 0, i = items - 1; i >= 0; --i, ++n) {
          const TIndex& e = *items_.Index(i);
          index.WriteKey(items_.Key(i));
          index.WriteInt(e.Pos);
          index.WriteInt(e.Size);
          index.WriteInt(int32_t(e.Flags));
          Progress(n, step, poSaving);
        }
        index.Commit();
        if (ProgressUpdate) ProgressUpdate(*this, 0, poSaving);
      }

      // Someone else changed the file since it was opened: unless allowed to overwrite it, write
      // beside it under "1." + its name.
      struct stat st;
      std::optional<mode_t> mode;
      if (::stat(fileName_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
        if (!SameTime(st.st_mtim, fileTime_)) {
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
      WriteContainer(fileName_, mode);
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

void TQDB::WriteContainer(const std::string& target, std::optional<mode_t> oldMode) {
  const std::string dir = Folder(target);
  std::string tempName;
  int fd = fileio::CreateUnique(dir, "QDD", tempName);
  if (fd < 0) RaiseQDBFileError(QDBCodeFromErrno(errno), qdbNoTempFile, target);
  TFileStream out(tempName, fd);
  try {
    std::optional<TQDBKey> key;
    if (!password_.empty()) key = PasswordKey(password_);
    if (dataSize_ > INT32_MAX) throw EQDBFileError(qdbCannotExtend, target);

    std::string header(kSignature, 4);
    if (key) {
      header.append(kPasswordMark, 4);
      TQDBKey check = PasswordCheckValue(*key);
      header.append(reinterpret_cast<const char*>(check.data()), check.size());
    }
    PutInt(header, int32_t(dataSize_));
    out.WriteString(header);
    data_->SetPosition(0);
    CopySection(*data_, dataSize_, out, key);

    TFileStream index(indexFileName_, TFileStream::fmOpenRead);
    const int64_t indexLength = index.Size();
    std::string mark(kIndexMark, 4);
    PutInt(mark, int32_t(indexLength));
    out.WriteString(mark);
    CopySection(index, indexLength, out, key);

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
  if (data_) {
    std::string name = data_->FileName();
    data_.reset();
    fileio::Unlink(name);
  }
  if (!indexFileName_.empty()) fileio::Unlink(indexFileName_);
  indexFileName_.clear();
  admin_.EmptyAndClear();
  items_.EmptyAndClear();
  items_.SetCaseSensitive(false);
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

bool TQDB::Matches(const TKey& key) const {
  return filter_.empty() || MatchKeyFilter(key, filter_, useGrepMatch_, items_.CaseSensitive());
}

void TQDB::RaiseIO(const EStreamError& e, int opMessage) const {
  RaiseQDBFileError(QDBCodeFromErrno(e.Errno), opMessage, fileName_);
}

// ---- the data working file ----

std::string TQDB::ReadData(const TIndex& index) {
  std::string bytes(size_t(index.Size), '\0');
  try {
    data_->SetPosition(index.Pos);
    data_->ReadBuffer(bytes.data(), index.Size);
  } catch (const EStreamError& e) {
    RaiseIO(e, qdbNotValid);
  }
  return bytes;
}

int32_t TQDB::AppendData(const void* bytes, int64_t size) {
  if (dataSize_ + size > INT32_MAX) throw EQDBFileError(qdbCannotExtend, fileName_);
  const int64_t pos = dataSize_;
  try {
    data_->SetPosition(pos);
    data_->WriteBuffer(bytes, size);
  } catch (const EStreamError& e) {
    try {
      data_->SetSize(pos);
    } catch (const EStreamError&) {
    }
    RaiseIO(e, qdbCannotExtend);
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

  auto entry = std::make_unique<TIndex>();
  TMemoryStream packed;
  if (compression_) {
    TMemoryStream source;
    source.Assign(raw);
    CompressStream(source, packed);
  }
  // An item that packs tighter than any reader accepts is kept as it is, so it reads back.
  if (compression_ && raw.size() <= ExpansionLimit(size_t(packed.Size()))) {
    entry->Pos = AppendData(packed.Bytes().data(), packed.Size());
    entry->Size = int32_t(packed.Size());
    entry->Flags = kIndexCompressed;
  } else {
    entry->Pos = AppendData(raw.data(), int64_t(raw.size()));
    entry->Size = int32_t(raw.size());
  }
  itemIndex_ = items_.AddObject(k, entry.release());
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
  return items_.Key(index);
}

TIndex TQDB::ItemEntry(int32_t index) const {
  CheckOpen();
  if (index < 0 || index >= count_) throw EQDBOutOfBounds(qdbOutOfBounds);
  return *items_.Index(index);
}

void TQDB::Pack() {
  CheckOpen();
  if (!CheckWritable()) return;
  std::string packedName;
  int fd = fileio::CreateUnique(fileio::TempDirectory(), "QDB", packedName);
  if (fd < 0) throw EQDBFileError(qdbNoTempFile);
  auto packed = std::make_unique<TFileStream>(packedName, fd);

  // Copy admin entries, then items, each to the end of the new file; apply the new positions
  // only once every entry has been copied.
  const int32_t total = admin_.Count() + items_.Count();
  const int32_t step = total / 10 + 1;
  std::vector<int32_t> positions;
  positions.reserve(size_t(total));
  int64_t end = 0;
  try {
    int32_t n = 0;
    for (TIndexList* list : {&admin_, &items_}) {
      for (int32_t i = 0; i < list->Count(); ++i) {
        const TIndex& e = *list->Index(i);
        std::string bytes = ReadData(e);
        packed->WriteBuffer(bytes.data(), int64_t(bytes.size()));
        positions.push_back(int32_t(end));
        end += e.Size;
        Progress(++n, step, poPacking);
      }
    }
  } catch (const EStreamError& e) {
    packed.reset();
    fileio::Unlink(packedName);
    RaiseIO(e, qdbCannotExtend);
  } catch (...) {
    packed.reset();
    fileio::Unlink(packedName);
    throw;
  }
  size_t p = 0;
  for (TIndexList* list : {&admin_, &items_})
    for (int32_t i = 0; i < list->Count(); ++i) list->Index(i)->Pos = positions[p++];

  std::string oldName = data_->FileName();
  data_ = std::move(packed);
  fileio::Unlink(oldName);
  dataSize_ = end;
  modified_ = true;
  if (ProgressUpdate) ProgressUpdate(*this, 0, poPacking);
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
  auto entry = std::make_unique<TIndex>();
  entry->Pos = AppendData(buffer, size);
  entry->Size = size;
  entry->Flags = kIndexAdmin;
  adminIndex_ = admin_.AddObject(k, entry.release());
  lastAdminKey_ = k;
  modified_ = true;
}

void TQDB::ChangeAdmin(const void* buffer, int32_t size) {
  CheckOpen();
  if (!CheckWritable()) return;
  if (adminIndex_ < 0) throw EQDBBadKey(qdbBadKey, lastAdminKey_);
  size = std::max(size, 0);
  TIndex& e = *admin_.Index(adminIndex_);
  // The bytes the old value leaves behind are zeroed: the file is written with its whole data
  // section, and a replaced password must not live on in it.
  try {
    data_->SetPosition(e.Pos);
    if (size <= e.Size) data_->WriteBuffer(buffer, size);
    const std::string zeros(size_t(e.Size - (size <= e.Size ? size : 0)), '\0');
    data_->WriteBuffer(zeros.data(), int64_t(zeros.size()));
  } catch (const EStreamError& err) {
    RaiseIO(err, qdbCannotExtend);
  }
  if (size > e.Size) e.Pos = AppendData(buffer, size);
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
  return admin_.Key(index);
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
