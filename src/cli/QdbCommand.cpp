// norva-cli qdb: dump a store, read an item, write an item.
#include "cli/QdbCommand.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include "cli/CliText.h"
#include "config/Options.h"
#include "config/SecretStore.h"
#include "store/FolderLock.h"
#include "store/QDB.h"

namespace norva::cli {
namespace {

const char kUsage[] =
    "usage: norva-cli qdb dump FILE\n"
    "       norva-cli qdb get FILE KEY     (the item's bytes on standard output)\n"
    "       norva-cli qdb put FILE KEY     (the item's bytes from standard input)\n";

// Prints printable ASCII as it is and everything else as \xHH.
std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += char(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

void Dump(TQDB& db, std::ostream& out) {
  out << "file " << db.FileName() << "\n";
  out << "admin entries: " << db.AdminCount() << "\n";
  for (int32_t i = 0; i < db.AdminCount(); ++i) {
    TIndex e = db.AdminEntry(i);
    std::string bytes = db.AdminBytesAt(i);
    const std::string key = db.AdminKeyAt(i);
    const std::string text = bytes.substr(0, std::min<size_t>(bytes.find('\0'), 255));
    // A password is never shown, nor its length; the keyring's marker and an empty value are.
    if (IsPasswordKey(key) && !text.empty() && text != kKeyringMarker) {
      out << "  " << Escaped(key) << "  password (not shown)\n";
      continue;
    }
    out << "  " << Escaped(key) << "  size " << e.Size << "  ";
    if (e.Size == 1) {
      out << "boolean " << (bytes[0] == 1 ? "true" : "false");
    } else if (e.Size == 4) {
      out << "integer " << db.AdminAsInteger(db.AdminKeyAt(i));
    } else {
      out << "string \"" << Escaped(text) << "\"";
    }
    out << "\n";
  }
  out << "items: " << db.Count() << "\n";
  for (int32_t i = 0; i < db.Count(); ++i) {
    TIndex e = db.ItemEntry(i);
    out << "  " << Escaped(db.KeyAt(i)) << "  size " << e.Size
        << ((e.Flags & kIndexCompressed) ? "  compressed" : "") << "\n";
  }
}

}  // namespace

std::unique_ptr<fileio::WorkingFolder> WorkingFolderFor(const std::string& storeFile) {
  const std::string folder = std::filesystem::absolute(storeFile).parent_path().string();
  auto work = fileio::TryWorkingFolder(folder);
  return work ? std::move(work) : fileio::TryWorkingFolder(ProgramFolder());
}

int QdbCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err) {
  const std::string verb = args.empty() ? "" : args[0];
  size_t wanted = verb == "dump" ? 2 : (verb == "get" || verb == "put") ? 3 : 0;
  if (wanted == 0 || args.size() != wanted) {
    err << kUsage;
    return 2;
  }
  try {
    // Opening a missing store would create it; only "put" may do that.
    std::filesystem::path file(args[1]);
    if (!file.has_extension()) file += ".QDB";
    if (verb != "put" && !std::filesystem::exists(file)) {
      err << "norva-cli: " << QDBMessageText(qdbFileNotFound, file.string()) << "\n";
      return 1;
    }
    // A store of a program folder is written only while no other Norva program works there.
    const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
    std::optional<FolderLock> lock;
    if (verb == "put" && std::filesystem::exists(folder / "Config.QDB"))
      lock.emplace(folder.string(), "norva-cli qdb put", LockWaitSeconds());
    std::unique_ptr<fileio::WorkingFolder> work;
    if (!lock) work = WorkingFolderFor(file.string());
    TQDB db;
    db.WarnNoData = [](TQDB&) {};  // replacing the only item empties the store for a moment
    // Only "put" writes; the others leave the file exactly as it is.
    db.SetReadOnly(verb != "put");
    db.SetFileName(args[1]);
    if (verb == "dump") {
      Dump(db, out);
    } else if (verb == "get") {
      if (!db.ExactMatch(args[2])) {
        err << "norva-cli: no item with the key '" << args[2] << "' in " << db.FileName() << "\n";
        return 1;
      }
      TMemoryStream item;
      db.GetItem(item);
      out.write(item.Bytes().data(), std::streamsize(item.Bytes().size()));
    } else {
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (db.ExactMatch(args[2])) db.KillItem();
      TMemoryStream item;
      item.Assign(std::move(bytes));
      db.AddItem(item, args[2]);
    }
    db.SetFileName("");
    out.flush();
    return 0;
  } catch (const std::exception& e) {
    err << "norva-cli: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace norva::cli
