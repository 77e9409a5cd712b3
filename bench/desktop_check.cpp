// desktop_check: the desktop program's check, run once without a person, so bench/run-all.sh can
// time it beside `norva-cli check` on the same mailbox and folder. It builds the program's
// windows on the folder (offscreen unless QT_QPA_PLATFORM says otherwise), starts the check the
// way the toolbar's Check button does, and exits when the check has ended. Prints one JSON line:
// the rows the list shows, whether the check reported a failure, and the seconds spent before
// the check (Qt, the windows, the configuration) and in it.
//
// Usage: desktop_check --folder DIR
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QTableView>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "config/DesktopKeyring.h"
#include "config/Options.h"
#include "ui/Application.h"
#include "ui/MainWindow.h"
#include "ui/QtDesktop.h"

namespace {

// Nobody is there to click: a message box (the new-mail alarm, say) is printed and answered
// with No or Cancel where it offers them, so nothing irreversible happens; an error is printed
// and counts as a failure.
class UnattendedDesktop : public norva::ui::QtDesktop {
 public:
  Result MessageBox(const std::string& text, const std::string& caption, int buttons, Icon,
                    bool) override {
    std::fprintf(stderr, "desktop_check: [%s] %s\n", caption.c_str(), text.c_str());
    return buttons & mbNo ? mrNo : buttons & mbCancel ? mrCancel : mrOK;
  }
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "desktop_check: error: %s\n", text.c_str());
    ++Failures;
  }
  void PlaySound(const std::string&, bool) override {}
  int Failures = 0;
};

}  // namespace

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  std::string folder;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--folder") && i + 1 < argc) {
      folder = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s --folder DIR\n", argv[0]);
      return 2;
    }
  }
  if (folder.empty() || !std::filesystem::exists(folder + "/Config.QDB")) {
    std::fprintf(stderr, "desktop_check: no Config.QDB in '%s'\n", folder.c_str());
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication qt(argc, argv);
  QApplication::setApplicationName("N o r v a");
  // The password norva-cli stored: the same store, never prompted for.
  norva::SetDefaultSecretStore(norva::MakeDesktopKeyring(false));
  norva::SetProgramFolder(std::filesystem::absolute(folder).lexically_normal().string());

  auto owned = std::make_unique<UnattendedDesktop>();
  UnattendedDesktop& desktop = *owned;
  norva::ui::Application norva(norva::ProgramFolder(), std::move(owned));
  norva.Start();
  norva::ui::MainWindow& window = norva.Window();
  QAction* check = window.Action("btnCheckMailbox");
  if (!check) {
    std::fprintf(stderr, "desktop_check: the main window has no Check action\n");
    return 1;
  }
  QCoreApplication::processEvents();  // the window is up, as a person would see it
  const Clock::time_point ready = Clock::now();
  // The check runs inside the action, pumping Qt while it waits, and returns when it has ended.
  check->trigger();
  window.Sync();
  QCoreApplication::processEvents();
  const Clock::time_point checked = Clock::now();
  const int rows = window.List()->model()->rowCount();
  const bool failed = desktop.Failures > 0 || norva.Main().SessionHadErrors;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  std::printf("{\"messages\": %d, \"failed\": %s, \"startup_s\": %.4f, \"check_s\": %.4f}\n",
              rows, failed ? "true" : "false", seconds(ready - started), seconds(checked - ready));
  std::fflush(stdout);
  return failed ? 1 : 0;
}
