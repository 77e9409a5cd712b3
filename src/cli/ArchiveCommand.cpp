// norva-cli archive: an archive's items are raw messages under their keys; the admin entry "Max"
// (the last key handed out) is not a message and is left alone.
#include "cli/ArchiveCommand.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>
#include <stdexcept>

#include "cli/CliText.h"
#include "cli/QdbCommand.h"
#include "mail/msCls.h"
#include "store/QDB.h"

namespace norva::cli {

const char kArchiveHelp[] =
    "Archives (read only; the archive file is never changed):\n"
    "  archive list FILE.TMA                 one line per message, tab-separated: key, sender,\n"
    "                                        subject, date (dd.mm.yy hh:nn, local time), size\n"
    "                                        in bytes\n"
    "  archive export FILE.TMA --mbox OUT    all messages into a new mboxrd file OUT\n"
    "  archive export FILE.TMA --dir OUT     one KEY.eml per message in the folder OUT, KEY\n"
    "                                        without blanks and leading zeros (2.eml)\n"
    "  Existing output files are never overwritten.\n";

namespace {

namespace fs = std::filesystem;

// The header lines: everything before the first empty line, without line ends.
TStringList HeaderLines(const std::string& bytes) {
  TStringList lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    std::string line = bytes.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return lines;
}

// The "From " line's date in asctime form: the instant of the Date header in UTC, the Unix
// epoch when there is no readable date.
std::string EnvelopeDate(const TStringList& headers) {
  const TDateTime instant = MailDateToUtc(GetFieldValue(headers, "Date"));
  constexpr double kEpoch = 25569;  // 1 January 1970
  const std::time_t t = instant == 0 ? 0 : std::time_t(std::llround((instant - kEpoch) * 86400));
  std::tm utc{};
  char text[64];
  if (gmtime_r(&t, &utc) == nullptr ||
      std::strftime(text, sizeof text, "%a %b %e %T %Y", &utc) == 0)
    return "Thu Jan  1 00:00:00 1970";
  return text;
}

// One mboxrd entry: the "From " line, the message with every line matching ^>*From  given one
// more ">", a line end after an unterminated last line, and the blank line that ends the entry.
std::string MboxEntry(const std::string& bytes) {
  std::string entry = "From MAILER-DAEMON " + EnvelopeDate(HeaderLines(bytes)) + "\n";
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t start = bytes.find_first_not_of('>', pos);
    if (start != std::string::npos && bytes.compare(start, 5, "From ") == 0) entry += '>';
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) {
      entry.append(bytes, pos);
      entry += bytes.find("\r\n") != std::string::npos ? "\r\n" : "\n";
      break;
    }
    entry.append(bytes, pos, end + 1 - pos);
    pos = end + 1;
  }
  return entry + "\n";
}

// The file name an item's key gives: the key without the blanks that pad it, a running number
// without its leading zeros ("         2" gives "2.eml"), and "_" for every character that could
// leave the folder, hide the file or trouble a shell. A name already given gets "~2", "~3", ...
std::string EmlName(const std::string& key, std::set<std::string>& given) {
  std::string stem = Trim(key);
  if (!stem.empty() && stem.find_first_not_of("0123456789") == std::string::npos)
    stem.erase(0, std::min(stem.find_first_not_of('0'), stem.size() - 1));
  for (char& c : stem)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '$' &&
        c != '.')
      c = '_';
  if (stem.empty() || stem[0] == '.') stem.insert(0, "_");
  if (stem.size() > 200) stem.resize(200);
  std::string name = stem + ".eml";
  for (int n = 2; !given.insert(name).second; ++n) name = stem + "~" + std::to_string(n) + ".eml";
  return name;
}

// Writes a new file, readable by its owner only, as the archive it comes from; an existing one
// is an error and stays as it is.
void WriteNewFile(const fs::path& name, const std::string& bytes) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  std::FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (f == nullptr) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot create " + name.string() + ": " + std::strerror(error));
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    fs::remove(name);
    throw std::runtime_error("cannot write " + name.string());
  }
}

struct Item {
  std::string key;
  std::string bytes;
};

// The items that can be read; each damaged one is told on err and counted in damaged.
std::vector<Item> ReadItems(TQDB& db, std::ostream& err, int& damaged) {
  std::vector<Item> items;
  for (int32_t i = 0; i < db.Count(); ++i) {
    db.GoToItem(i);
    TMemoryStream stream;
    try {
      db.GetItem(stream);
    } catch (const EQDBFileError& e) {
      err << "norva-cli: " << e.what() << "\n";
      ++damaged;
      continue;
    }
    items.push_back({db.Key(), stream.Bytes()});
  }
  return items;
}

void List(const std::vector<Item>& items, std::ostream& out) {
  for (const Item& item : items) {
    TStringList headers = HeaderLines(item.bytes);
    out << Printable(item.key) << '\t' << Printable(GetFieldValue(headers, "From")) << '\t'
        << Printable(GetFieldValue(headers, "Subject")) << '\t'
        << FormatDateTime(MailDateToLocal(GetFieldValue(headers, "Date"))) << '\t'
        << item.bytes.size() << '\n';
  }
}

void ExportDir(const std::vector<Item>& items, const fs::path& dir) {
  // Everything is checked before the first file is written, so a refusal writes nothing.
  std::set<std::string> given;
  std::vector<fs::path> names;
  for (const Item& item : items) {
    names.push_back(dir / EmlName(item.key, given));
    if (fs::exists(fs::symlink_status(names.back())))
      throw std::runtime_error(names.back().string() + " exists already");
  }
  // A folder made here is the owner's only, like the files in it.
  if (!fs::exists(dir)) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
  }
  for (size_t i = 0; i < items.size(); ++i) WriteNewFile(names[i], items[i].bytes);
}

}  // namespace

int ArchiveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const std::string verb = args.empty() ? "" : args[0];
  bool listing = verb == "list" && args.size() == 2;
  bool exporting =
      verb == "export" && args.size() == 4 && (args[2] == "--mbox" || args[2] == "--dir");
  if (!listing && !exporting) {
    err << "usage: norva-cli archive list FILE.TMA\n"
           "       norva-cli archive export FILE.TMA (--mbox OUT | --dir OUT)\n";
    return 2;
  }
  try {
    // Opening a missing store would create it.
    fs::path file(args[1]);
    if (!file.has_extension()) file += ".QDB";
    if (!fs::exists(file)) {
      err << "norva-cli: " << QDBMessageText(qdbFileNotFound, file.string()) << "\n";
      return 1;
    }
    const auto work = WorkingFolderFor(file.string());
    TQDB db;
    db.WarnNoData = [](TQDB&) {};
    db.SetReadOnly(true);
    db.SetFileName(args[1]);
    int damaged = 0;
    std::vector<Item> items = ReadItems(db, err, damaged);
    db.SetFileName("");
    if (listing) {
      List(items, out);  // what can be read is listed; the exit status tells of the rest
      out.flush();
      return damaged > 0 ? 1 : 0;
    }
    // An export is whole or not at all.
    if (damaged > 0) {
      err << "norva-cli: nothing exported: " << damaged << " damaged "
          << (damaged == 1 ? "message" : "messages") << "\n";
      return 1;
    }
    if (args[2] == "--dir") {
      ExportDir(items, args[3]);
    } else {
      std::string mbox;
      for (const Item& item : items) mbox += MboxEntry(item.bytes);
      WriteNewFile(args[3], mbox);
    }
    out.flush();
    return 0;
  } catch (const std::exception& e) {
    err << "norva-cli: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace norva::cli
