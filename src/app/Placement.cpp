// Window placement: integers kept in Config.QDB, and fitting a window onto the screen.
#include "app/Placement.h"

#include "store/QDB.h"

namespace norva {

void ReadConfigIntegers(const std::string& configFile, const TIntegerKeys& keys) {
  try {
    TQDB config;
    config.SetReadOnly(true);
    config.SetFileName(configFile);
    for (const auto& [key, target] : keys) {
      try {
        *target = config.AdminAsInteger(key);
      } catch (const Exception&) {
        // Missing or not an integer: the default stands.
      }
    }
    config.SetFileName("");
  } catch (const std::exception&) {
    // No readable configuration: every default stands.
  }
}

void WriteConfigIntegers(const TfrmOptions& options, const TIntegerKeys& keys) {
  if (!options.LoadError().empty()) return;
  try {
    TQDB config;
    config.SetFileName(options.ConfigFileName());
    for (const auto& [key, target] : keys) config.SetAdminInteger(key, *target);
    CloseOrDiscard(config);
  } catch (const std::exception&) {
    // The old placement stays; nothing else depends on it.
  }
}

void FitToScreen(int32_t& start, int32_t& length, int32_t screen) {
  if (start < 1) start = 5;
  if (start + length > screen) {
    if (screen > length + 5) {
      start = screen - length - 5;
    } else {
      start = 5;
      length = screen - 10;
    }
  }
}

}  // namespace norva
