// Times the record store against SQLite on a mail archive: reading every item, adding one item,
// looking keys up and packing after deleting half. Both get the same items and operations.
// SQLite keeps its defaults (rollback journal, full sync); the store syncs its file at close.
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/FileIO.h"
#include "store/QDB.h"
#include "store/Streams.h"

namespace {

namespace fs = std::filesystem;
using std::string;

constexpr int kLookups = 1000;

// splitmix64: small and the same everywhere, so every run builds the same archive.
struct Rng {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t Below(size_t n) { return size_t(Next() % n); }
};

string Key(int n) {
  char key[32];
  std::snprintf(key, sizeof key, "%015d", n);
  return key;
}

// Message n: 4.5 to 5.5 KB of headers and lines of words, always the same for the same n.
string MakeItem(int n) {
  static const char* const kWords[] = {
      "mail",   "server", "account", "the",      "a",      "of",    "and",    "to",
      "check",  "new",    "message", "folder",   "inbox",  "reply", "please", "meeting",
      "report", "today",  "invoice", "attached", "thanks", "with",  "for",    "week"};
  Rng rng{uint64_t(n) * 0x100000001B3ull};
  auto word = [&] { return kWords[rng.Below(std::size(kWords))]; };
  const size_t size = 4608 + rng.Below(1024);
  char head[512];
  std::snprintf(
      head, sizeof head,
      "From: user%zu@example.org\r\nTo: box%zu@example.net\r\nSubject: %s %s %s\r\n"
      "Date: Mon, %zu Mar 2024 %02zu:%02zu:00 +0000\r\nMessage-ID: <%d@example.org>\r\n\r\n",
      rng.Below(500), rng.Below(50), word(), word(), word(), 1 + rng.Below(28), rng.Below(24),
      rng.Below(60), n);
  string text = head;
  for (size_t lineStart = text.size(); text.size() < size;) {
    text += word();
    if (text.size() - lineStart < 66) {
      text += ' ';
    } else {
      text += "\r\n";
      lineStart = text.size();
    }
  }
  text.resize(size);
  return text;
}

// ---- timing ----

double CpuMs() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
  return ms(use.ru_utime) + ms(use.ru_stime);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Bytes this process has handed to write calls so far (wchar of /proc/self/io).
double WrittenBytes() {
  std::FILE* f = std::fopen("/proc/self/io", "r");
  if (!f) return 0;
  char line[128];
  double bytes = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "wchar:", 6) == 0) bytes = std::strtod(line + 6, nullptr);
  std::fclose(f);
  return bytes;
}

// Wall and CPU (user + system) milliseconds and bytes written of each run of one operation.
struct Series {
  std::vector<double> wall, cpu, written;

  template <typename F>
  void Time(F&& work) {
    using Clock = std::chrono::steady_clock;
    const double cpu0 = CpuMs(), written0 = WrittenBytes();
    const Clock::time_point start = Clock::now();
    work();
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    cpu.push_back(CpuMs() - cpu0);
    written.push_back(WrittenBytes() - written0);
  }
  string Cell() const {
    char cell[64];
    std::snprintf(cell, sizeof cell, "%.1f (%.1f)", Median(wall), Median(cpu));
    return cell;
  }
};

// ---- the record store, set up as the program sets it up ----

void Open(norva::TQDB& db, const string& path) {
  db.SetCacheSize(4096);
  db.SetCompression(false);
  db.WarnNoData = [](norva::TQDB&) {};
  db.SetFileName(path);
}

void StoreAdd(norva::TQDB& db, int n) {
  norva::TMemoryStream item;
  item.Assign(MakeItem(n));
  db.AddItem(item, Key(n));
}

// ---- SQLite ----

void Check(int rc, sqlite3* db, const string& what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
    throw std::runtime_error("SQLite " + what + ": " + sqlite3_errmsg(db));
}

class Sql {
 public:
  explicit Sql(const string& path) {
    if (int rc = sqlite3_open(path.c_str(), &db_); rc != SQLITE_OK) {
      string message = sqlite3_errstr(rc);
      sqlite3_close(db_);
      throw std::runtime_error("SQLite open " + path + ": " + message);
    }
  }
  ~Sql() { sqlite3_close(db_); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;
  void Exec(const string& sql) {
    Check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), db_, sql);
  }
  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

class Stmt {
 public:
  Stmt(Sql& db, const string& sql) : db_(db.Handle()) {
    Check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr), db_, sql);
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  void Bind(int i, const string& v, bool blob = false) {
    const int n = int(v.size());
    Check(blob ? sqlite3_bind_blob(stmt_, i, v.data(), n, SQLITE_TRANSIENT)
               : sqlite3_bind_text(stmt_, i, v.data(), n, SQLITE_TRANSIENT),
          db_, "bind");
  }
  // True while there is a row; a finished statement is reset for the next use.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    Check(rc, db_, "step");
    if (rc == SQLITE_ROW) return true;
    sqlite3_reset(stmt_);
    return false;
  }
  void Reset() { sqlite3_reset(stmt_); }
  // The blob in column i, copied, as the store hands out copies.
  string Column(int i) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
    return string(bytes ? bytes : "", size_t(sqlite3_column_bytes(stmt_, i)));
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void SqlInsert(Stmt& insert, int n) {
  insert.Bind(1, Key(n));
  insert.Bind(2, MakeItem(n), true);
  insert.Step();
}

// ---- the run ----

void Run(int items, int runs, const string& dir) {
  const string qdb = dir + "/archive.qdb", sql = dir + "/archive.sqlite";
  const string qdbFull = dir + "/full.qdb", sqlFull = dir + "/full.sqlite";
  const string qdbPack = dir + "/pack.qdb", sqlPack = dir + "/pack.sqlite";
  int64_t expected = 0;  // the bytes of all items, to check what both read back
  for (int n = 1; n <= items; ++n) expected += int64_t(MakeItem(n).size());

  Series buildStore, buildSql;
  buildStore.Time([&] {
    norva::TQDB db;
    Open(db, qdb);
    for (int n = 1; n <= items; ++n) StoreAdd(db, n);
    db.SetFileName("");
  });
  buildSql.Time([&] {
    Sql db(sql);
    db.Exec("CREATE TABLE items(key TEXT PRIMARY KEY, data BLOB)");
    db.Exec("BEGIN");
    Stmt insert(db, "INSERT INTO items VALUES(?, ?)");
    for (int n = 1; n <= items; ++n) SqlInsert(insert, n);
    db.Exec("COMMIT");
  });
  fs::copy_file(qdb, qdbFull);  // packing starts from these full copies every run
  fs::copy_file(sql, sqlFull);

  std::vector<string> keys;  // the same random keys for both
  Rng rng{42};
  for (int i = 0; i < kLookups; ++i) keys.push_back(Key(1 + int(rng.Below(size_t(items)))));

  struct Row {
    string name;
    Series norva, sqlite;
  };
  std::vector<Row> rows = {
      {"open, read all items in key order, close", {}, {}},
      {"open, add one item, close", {}, {}},
      {"look up " + std::to_string(kLookups) + " random keys, read each", {}, {}},
      {"open, delete every other item, pack / VACUUM, close", {}, {}}};
  for (int r = 0; r < runs; ++r) {
    int64_t storeBytes = 0, sqlBytes = 0;
    rows[0].norva.Time([&] {
      norva::TQDB db;
      Open(db, qdb);
      // An empty store never reaches Eof, so only a store with items is walked.
      if (db.Count() > 0) {
        for (db.FirstItem(); !db.Eof(); db.NextItem()) {
          norva::TMemoryStream item;
          db.GetItem(item);
          storeBytes += item.Size();
        }
      }
      db.SetFileName("");
    });
    rows[0].sqlite.Time([&] {
      Sql db(sql);
      Stmt select(db, "SELECT data FROM items ORDER BY key");
      while (select.Step()) sqlBytes += int64_t(select.Column(0).size());
    });
    if (storeBytes != expected || sqlBytes != expected)
      throw std::runtime_error("reading everything returned the wrong number of bytes");

    const int added = items + 1 + r;  // each run adds a new last item
    expected += int64_t(MakeItem(added).size());
    rows[1].norva.Time([&] {
      norva::TQDB db;
      Open(db, qdb);
      StoreAdd(db, added);
      db.SetFileName("");
    });
    rows[1].sqlite.Time([&] {
      Sql db(sql);
      db.Exec("BEGIN");
      Stmt insert(db, "INSERT INTO items VALUES(?, ?)");
      SqlInsert(insert, added);
      db.Exec("COMMIT");
    });

    storeBytes = sqlBytes = 0;
    {
      norva::TQDB db;
      Open(db, qdb);
      rows[2].norva.Time([&] {
        for (const string& key : keys) {
          if (!db.ExactMatch(key)) throw std::runtime_error("the store lost " + key);
          norva::TMemoryStream item;
          db.GetItem(item);
          storeBytes += item.Size();
        }
      });
      db.SetFileName("");
    }
    {
      Sql db(sql);
      Stmt select(db, "SELECT data FROM items WHERE key = ?");
      rows[2].sqlite.Time([&] {
        for (const string& key : keys) {
          select.Bind(1, key);
          if (!select.Step()) throw std::runtime_error("SQLite lost " + key);
          sqlBytes += int64_t(select.Column(0).size());
          select.Reset();
        }
      });
    }
    if (storeBytes != sqlBytes) throw std::runtime_error("the lookups read different bytes");

    fs::copy_file(qdbFull, qdbPack, fs::copy_options::overwrite_existing);
    fs::copy_file(sqlFull, sqlPack, fs::copy_options::overwrite_existing);
    rows[3].norva.Time([&] {
      norva::TQDB db;
      Open(db, qdbPack);
      for (int n = 1; n <= items; n += 2) {
        if (!db.ExactMatch(Key(n))) throw std::runtime_error("the store lost " + Key(n));
        db.KillItem();
      }
      db.Pack();
      db.SetFileName("");
    });
    rows[3].sqlite.Time([&] {
      Sql db(sqlPack);
      db.Exec("BEGIN");
      Stmt remove(db, "DELETE FROM items WHERE key = ?");
      for (int n = 1; n <= items; n += 2) {
        remove.Bind(1, Key(n));
        remove.Step();
      }
      db.Exec("COMMIT");
      db.Exec("VACUUM");
    });
  }

  std::printf("Norva record store vs SQLite %s: %d items of about 5 KB, median of %d runs.\n",
              sqlite3_libversion(), items, runs);
  std::printf("Wall time in ms, user + system CPU time in brackets; KB handed to write calls.\n\n");
  std::printf("| operation | Norva ms (CPU) | SQLite ms (CPU) | ratio Norva/SQLite | Norva KB "
              "written | SQLite KB written |\n");
  std::printf("|---|--:|--:|--:|--:|--:|\n");
  for (const Row& row : rows)
    std::printf("| %s | %s | %s | %.2f | %.1f | %.1f |\n", row.name.c_str(),
                row.norva.Cell().c_str(), row.sqlite.Cell().c_str(),
                Median(row.norva.wall) / Median(row.sqlite.wall),
                Median(row.norva.written) / 1024.0, Median(row.sqlite.written) / 1024.0);
  {
    // The add-one goal: at most 4 x the item's size plus the index section.
    std::FILE* f = std::fopen(qdb.c_str(), "rb");
    unsigned char b[4] = {};
    int32_t d = 0, x = 0;
    if (f && std::fseek(f, 4, SEEK_SET) == 0 && std::fread(b, 1, 4, f) == 4) {
      d = int32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
      if (std::fseek(f, 4 + 4 + long(d) + 4, SEEK_SET) == 0 && std::fread(b, 1, 4, f) == 4)
        x = int32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
    }
    if (f) std::fclose(f);
    const double item = double(MakeItem(items + 1).size());
    std::printf("\nAdd one: Norva wrote %.1f KB (median; most %.1f KB) for an item of %.1f KB and "
                "an index of %.1f KB: %.2f x (item x 4 + index).\n",
                Median(rows[1].norva.written) / 1024.0,
                *std::max_element(rows[1].norva.written.begin(), rows[1].norva.written.end()) / 1024.0,
                item / 1024.0, x / 1024.0, Median(rows[1].norva.written) / (4 * item + x));
  }
  std::printf("\nBuilding the archive (one run): Norva %s ms, SQLite %s ms.\n",
              buildStore.Cell().c_str(), buildSql.Cell().c_str());
  auto mb = [](const string& path) { return double(fs::file_size(path)) / 1048576.0; };
  std::printf("File size with %d items: Norva %.1f MB, SQLite %.1f MB.\n", items, mb(qdbFull),
              mb(sqlFull));
  std::printf("After deleting %d items and packing: Norva %.1f MB, SQLite %.1f MB.\n",
              (items + 1) / 2, mb(qdbPack), mb(sqlPack));
}

int Number(const char* text, const char* option) {
  char* end = nullptr;
  const long value = text ? std::strtol(text, &end, 10) : 0;
  if (!text || *end || value < 1 || value > 1000000)
    throw std::runtime_error(string(option) + " takes a number from 1 to 1000000");
  return int(value);
}

}  // namespace

int main(int argc, char** argv) {
  int items = 10000, runs = 5;
  try {
    for (int i = 1; i < argc; ++i) {
      const string arg = argv[i];
      if (arg == "--items")
        items = Number(i + 1 < argc ? argv[++i] : nullptr, "--items");
      else if (arg == "--runs")
        runs = Number(i + 1 < argc ? argv[++i] : nullptr, "--runs");
      else
        throw std::runtime_error("usage: qdb_bench [--items N] [--runs R]");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qdb_bench: %s\n", e.what());
    return 2;
  }

  string dir = norva::fileio::TempDirectory() + "/qdb_bench.XXXXXX";
  if (!mkdtemp(dir.data())) {
    std::perror("qdb_bench: mkdtemp");
    return 1;
  }
  int status = 0;
  try {
    Run(items, runs, dir);
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    std::printf("Peak RSS: %.1f MB.\n", double(use.ru_maxrss) / 1024.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qdb_bench: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
