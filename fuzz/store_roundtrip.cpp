// Items and admin values written to a store read back the same after it is closed and opened
// again, with or without compression and a password.
#include <unistd.h>

#include <vector>

#include "FuzzInput.h"
#include "store/FileIO.h"
#include "store/QDB.h"

using namespace norva;

namespace {

struct TEntry {
  std::string key, bytes;
};

// The entry stored under key, as the store compares keys (ASCII letters without case).
TEntry* Find(std::vector<TEntry>& entries, const std::string& key) {
  for (auto& e : entries)
    if (CompareKeys(e.key, key, false) == 0) return &e;
  return nullptr;
}

void Erase(std::vector<TEntry>& entries, const std::string& key) {
  std::erase_if(entries, [&](const TEntry& e) { return CompareKeys(e.key, key, false) == 0; });
}

std::string ItemBytes(TQDB& db) {
  TMemoryStream s;
  db.GetItem(s);
  return s.Bytes();
}

std::string AdminBytes(TQDB& db) {
  std::string buffer(size_t(db.AdminSize()), '\0');
  db.GetAdmin(buffer.data());
  return buffer;
}

void Check(TQDB& db, std::vector<TEntry>& items, std::vector<TEntry>& admin, const char* when) {
  if (db.Count() != int32_t(items.size()))
    fuzz::Fail(when, std::to_string(items.size()), std::to_string(db.Count()));
  for (auto& e : items) {
    if (!db.ExactMatch(e.key)) fuzz::Fail("item missing", e.key);
    if (std::string got = ItemBytes(db); got != e.bytes) fuzz::Fail(when, e.bytes, got);
  }
  if (db.AdminCount() != int32_t(admin.size()))
    fuzz::Fail(when, std::to_string(admin.size()), std::to_string(db.AdminCount()));
  for (auto& e : admin) {
    if (!db.FindAdmin(e.key)) fuzz::Fail("admin entry missing", e.key);
    if (std::string got = AdminBytes(db); got != e.bytes) fuzz::Fail(when, e.bytes, got);
  }
  // Keys come back in the store's order, each exactly once.
  for (int32_t i = 1; i < db.Count(); ++i)
    if (CompareKeys(db.KeyAt(i - 1), db.KeyAt(i), false) >= 0)
      fuzz::Fail("items out of order", db.KeyAt(i - 1), db.KeyAt(i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      fuzz::ScratchDir() + "/norva-fuzz-roundtrip-" + std::to_string(::getpid()) + ".QDB";
  fileio::Unlink(path);
  fuzz::TInput in(data, size);
  const uint8_t flags = in.Byte();
  const std::string password = flags & 1 ? in.Bytes(40) : "";
  std::vector<TEntry> items, admin;
  {
    TQDB db;
    db.SetCompression(flags & 2);
    db.SetPassword(password);
    db.WarnNoData = [](TQDB&) {};  // packing an empty store is not an error here
    db.SetFileName(path);
    for (int ops = 0; !in.Empty() && ops < 64; ++ops) {
      const uint8_t op = in.Byte();
      std::string key = in.Until0(40);
      if (key.empty()) continue;
      switch (op % 5) {
        case 0:
        case 1: {
          TMemoryStream s;
          s.Assign(in.Bytes(255) + std::string(op & 0x80 ? 4000 : 0, char(op)));
          if (Find(items, key)) break;
          db.AddItem(s, key);
          items.push_back({key, s.Bytes()});
          break;
        }
        case 2: {
          const std::string value = in.Bytes(255);
          if (TEntry* e = Find(admin, key)) {
            if (!db.FindAdmin(key)) fuzz::Fail("admin entry not found", key);
            db.ChangeAdmin(value.data(), int32_t(value.size()));
            e->bytes = value;
          } else {
            db.AddAdmin(value.data(), int32_t(value.size()), key);
            admin.push_back({key, value});
          }
          break;
        }
        case 3:
          if (!Find(items, key) || !db.ExactMatch(key)) break;
          db.KillItem();
          Erase(items, key);
          break;
        case 4:
          db.Pack();
          break;
      }
    }
    Check(db, items, admin, "before closing");
    db.SetFileName("");
    TQDB back;
    back.SetPassword(password);
    back.SetFileName(path);
    Check(back, items, admin, "after opening again");
    CloseWithoutSaving(back);
  }
  fileio::Unlink(path);
  return 0;
}
