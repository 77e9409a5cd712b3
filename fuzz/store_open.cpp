// A record-store file of any bytes: opened (with or without the password), every item and
// admin entry read, and at times changed and written back, then opened again.
#include <unistd.h>

#include <cstdio>

#include "FuzzInput.h"
#include "store/FileIO.h"
#include "store/QDB.h"

using namespace norva;

namespace {

const char kPassword[] = "secret";  // the seeds' protected files use it

void ReadAll(TQDB& db) {
  for (int32_t i = 0; i < db.Count(); ++i) {
    db.GoToItem(i);
    TMemoryStream item;
    db.GetItem(item);
    db.ItemEntry(i);
  }
  for (int32_t i = 0; i < db.AdminCount(); ++i) {
    const TKey key = db.AdminKeyAt(i);
    db.AdminBytesAt(i);
    if (db.FindAdmin(key)) {
      std::string buffer(size_t(db.AdminSize()), '\0');
      db.GetAdmin(buffer.data());
    }
  }
  db.AdminAsString("CaseSensitive");
  db.AdminAsInteger("Version");
  db.AdminAsBoolean("Flag");
  db.ExactMatch("key");
}

void Change(TQDB& db) {
  TMemoryStream s;
  s.Assign("added by the fuzzer");
  if (!db.ExactMatch("zz-added")) db.AddItem(s, "zz-added");
  db.SetAdminString("zz-admin", "value");
  if (db.Count() > 1) {
    db.GoToItem(0);
    db.KillItem();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      fuzz::ScratchDir() + "/norva-fuzz-store-" + std::to_string(::getpid()) + ".QDB";
  fuzz::TInput in(data, size);
  const uint8_t flags = in.Byte();
  const std::string bytes = in.Rest();
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  {
    TQDB db;
    if (flags & 1) db.SetPassword(kPassword);
    db.SetCompression(flags & 2);
    db.SetCacheSize(flags & 4 ? 0 : 1 << 16);
    try {
      db.SetFileName(path);
      ReadAll(db);
      ReadAll(db);  // the second time from the cache
      if (flags & 8) {
        Change(db);
        if (flags & 16) db.Pack();
        db.SetFileName("");  // writes the changes
        db.SetFileName(path);
        ReadAll(db);
      }
    } catch (const Exception&) {
      // Damaged files and wrong passwords are reported to the caller.
    }
    CloseWithoutSaving(db);
  }
  fileio::Unlink(path);
  return 0;
}
