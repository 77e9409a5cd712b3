// A password-protected store for the kill loop, which norva-cli cannot open:
//   qdb_password_driver put FILE PASSWORD KEY   stores standard input as the item KEY
//   qdb_password_driver dump FILE PASSWORD      reads every entry, prints the item count
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "store/QDB.h"

int main(int argc, char** argv) {
  using namespace norva;
  const std::string verb = argc > 1 ? argv[1] : "";
  if (!((verb == "put" && argc == 5) || (verb == "dump" && argc == 4))) {
    std::fprintf(stderr, "usage: qdb_password_driver put FILE PASSWORD KEY | dump FILE PASSWORD\n");
    return 2;
  }
  try {
    TQDB db;
    db.WarnNoData = [](TQDB&) {};
    db.SetPassword(argv[3]);
    db.SetReadOnly(verb == "dump");
    db.SetFileName(argv[2]);
    if (verb == "put") {
      std::string bytes((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
      if (db.ExactMatch(argv[4])) db.KillItem();
      TMemoryStream item;
      item.Assign(std::move(bytes));
      db.AddItem(item, argv[4]);
    } else {
      for (int32_t i = 0; i < db.AdminCount(); ++i) db.AdminBytesAt(i);
      for (int32_t i = 0; i < db.Count(); ++i) {
        TMemoryStream item;
        db.GoToItem(i);
        db.GetItem(item);
      }
      std::printf("%d items\n", int(db.Count()));
    }
    db.SetFileName("");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qdb_password_driver: %s\n", e.what());
    return 1;
  }
}
