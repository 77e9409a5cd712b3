// TQDB: the keyed record file behind Config.QDB and the archives.
//
// A store holds items (whole streams under keys, kept in key order, optionally compressed) and
// admin entries (small raw values under their own keys). Setting FileName opens a file; setting
// it to "" closes it. Entries are read from the file where they lie; new bytes are kept in memory.
// A close that saves changes appends them and a new index past the file's end, flushes, then
// points the data-section length at the start past the old index and flushes again, so the file
// is a valid store at every moment. A store whose unreferenced bytes pass a quarter of the file,
// one changed behind our back, one gaining, losing or changing its password, or one asked to
// Pack is rewritten whole beside the file and renamed over it. A close that fails leaves the old file as it was and the
// store open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/QDBCrypt.h"
#include "store/QDBErrors.h"
#include "store/QDBLists.h"
#include "store/Streams.h"

namespace norva {

using TPassword = std::string;
using TPercentage = int32_t;
enum TProgressOrigin : int32_t { poLoading = 0, poSaving = 1, poPacking = 3 };

class TQDB {
 public:
  using TNotifyEvent = std::function<void(TQDB& sender)>;
  using TPasswordEvent = std::function<void(TQDB& sender, TPassword& password)>;
  using TConfirmEvent = std::function<void(TQDB& sender, bool& ok)>;
  using TProgressEvent =
      std::function<void(TQDB& sender, TPercentage percent, TProgressOrigin kind)>;

  TQDB();
  ~TQDB();
  TQDB(const TQDB&) = delete;
  TQDB& operator=(const TQDB&) = delete;

  // ---- properties ----
  const std::string& FileName() const { return fileName_; }
  // Closes the open file (if any), then opens the named one ("" only closes). A name without an
  // extension gets ".QDB"; a missing file is created as an empty store.
  void SetFileName(const std::string& name);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  bool SaveOnClose() const { return saveOnClose_; }
  void SetSaveOnClose(bool value) { saveOnClose_ = value; }
  bool Compression() const { return compression_; }
  void SetCompression(bool value) { compression_ = value; }
  int32_t CacheSize() const { return cache_.Limit(); }
  void SetCacheSize(int32_t limit) { cache_.SetLimit(limit); }
  // Cache hits per hundred reads; setting it resets the counters (the value is ignored).
  int32_t CacheFrequency() const { return cache_.HitRate(); }
  void SetCacheFrequency(int32_t) { cache_.ResetCounters(); }
  const TKey& Filter() const { return filter_; }
  void SetFilter(const std::string& filter);
  bool UseGrepMatch() const { return useGrepMatch_; }
  void SetUseGrepMatch(bool value) { useGrepMatch_ = value; }
  std::string AboutVersion() const { return "2.00"; }
  void SetAboutVersion(const std::string&) {}
  // The password used to open a protected file, and to protect the file written at close.
  void SetPassword(const TPassword& password) { password_ = password.substr(0, 255); }

  bool IsOpen() const { return open_; }
  bool Modified() const { return modified_; }
  int32_t Count() const { return count_; }
  int32_t ItemIndex() const { return itemIndex_; }
  const TKey& Key() const { return key_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }

  // ---- events ----
  TNotifyEvent OnAdded, OnChanged, OnDeleted, OnFileAssigned, OnFound, OnKilled, OnNavigate;
  TPasswordEvent OnDemandPassword;
  TProgressEvent ProgressUpdate;
  TNotifyEvent BeforeKill;
  TConfirmEvent BeforeOverWrite;
  TNotifyEvent WarnNoData, WarnOutOfBounds, WarnReadOnly;

  // ---- items ----
  void AddItem(TStream& stream, const std::string& key);
  void GetItem(TStream& stream);
  void KillItem();
  bool ExactMatch(const std::string& key);
  void FirstItem();
  void NextItem();
  void PrevItem();
  void LastItem();
  void GoToItem(int32_t index);
  TKey KeyAt(int32_t index);
  void Pack();

  // The index entry of the item at a position (for listings).
  TIndex ItemEntry(int32_t index) const;

  // ---- admin entries ----
  bool FindAdmin(const std::string& key);
  bool ExistsAdmin(const std::string& key) { return FindAdmin(key); }
  int32_t AdminSize();
  void GetAdmin(void* buffer);
  void AddAdmin(const void* buffer, int32_t size, const std::string& key);
  void ChangeAdmin(const void* buffer, int32_t size);
  void SetAdminBoolean(const std::string& key, bool value);
  void SetAdminInteger(const std::string& key, int32_t value);
  void SetAdminString(const std::string& key, const std::string& value);
  bool AdminAsBoolean(const std::string& key);
  int32_t AdminAsInteger(const std::string& key);
  std::string AdminAsString(const std::string& key);
  // Admin entries in key order (for listings).
  int32_t AdminCount() const { return admin_.Count(); }
  TKey AdminKeyAt(int32_t index) const;
  TIndex AdminEntry(int32_t index) const;
  std::string AdminBytesAt(int32_t index);

 private:
  void Open(const std::string& name);
  void Close();
  void Reset();
  void LoadIndex(int64_t dataLength);
  int64_t IndexLength() const;
  // Appends the index section to out.
  void BuildIndex(const std::vector<int32_t>* positions, std::string& out);
  void AppendCommit();
  void KeepScrambledBytesInPlace();
  void WriteContainer(const std::string& target, std::optional<mode_t> oldMode);
  int64_t LiveBytes() const;
  void Progress(int32_t i, int32_t step, TProgressOrigin origin);

  void CheckOpen() const;
  bool CheckWritable();
  bool HasItems();  // reports no data when there are none
  void ReportNoData();
  void ReportOutOfBounds();
  bool Matches(std::string_view key) const;

  std::string ReadData(const TIndex& index);
  void ReadDisk(int64_t pos, int64_t size, char* out);
  void OfferToCache(const TKey& key, std::string bytes);
  int32_t AppendData(const void* bytes, int64_t size);
  [[noreturn]] void RaiseIO(const EStreamError& e, int opMessage) const;

  TIndexList admin_;
  TCacheList cache_;
  int32_t adminIndex_ = -1;
  TKey lastAdminKey_;
  bool bof_ = false;
  bool compression_ = false;
  int32_t count_ = 0;
  bool eof_ = false;
  timespec fileTime_{};
  std::string fileName_;
  TKey filter_;
  bool useGrepMatch_ = false;
  int32_t itemIndex_ = 0;
  TKey key_;
  TPassword password_;
  TPassword filePassword_;  // the password the open file was protected with
  bool readOnly_ = false;
  bool open_ = false;
  bool saveOnClose_ = true;
  TIndexList items_;
  bool modified_ = false;
  // The index section read at open (unscrambled); the keys of both lists loaded from the file
  // are views into it.
  std::string indexBytes_;
  // The container stays open for the session; data is read from it where it lies.
  int fd_ = -1;
  int64_t dataStart_ = 0;  // file offset of the data section
  int64_t diskData_ = 0;   // D on disk
  int64_t base_ = 0;       // data position of the file's end: where new bytes go
  std::string pending_;    // new bytes, data positions base_ onwards, written at commit
  std::optional<TQDBKey> fileKey_;
  std::string readAhead_;  // bytes of the data section from readAheadPos_ on
  int64_t readAheadPos_ = -1;
  // Ranges of replaced admin values on disk, zeroed once a commit no longer refers to them.
  std::vector<std::pair<int32_t, int32_t>> freed_;
  bool packRequested_ = false;
  int64_t dataSize_ = 0;   // base_ + pending_.size()
};

// Closes the store without writing its changes: the file keeps the bytes it had.
void CloseWithoutSaving(TQDB& store);
// Closes the store, writing its changes; when writing fails the store is closed without them
// (the file keeps its old bytes) and the failure goes on to the caller.
void CloseOrDiscard(TQDB& store);

}  // namespace norva
