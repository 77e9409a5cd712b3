// HeadlessMain: the main window's logic over the configuration of a program folder, on the
// headless desktop, with its status messages echoed to standard error as they change.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "app/Main.h"
#include "cli/CliText.h"
#include "cli/HeadlessDesktop.h"
#include "store/FolderLock.h"

namespace norva::cli {

struct HeadlessMain {
  // Locks the folder for `command`, then loads its Config.QDB; what the load had to leave out
  // goes to err.
  HeadlessMain(const std::string& folder, const std::string& command, std::ostream& err)
      : lock(folder, command, LockWaitSeconds()), desktop(err), options(folder),
        main(desktop, options) {
    options.Load();
    for (const auto& warning : options.LoadWarnings) err << warning << "\n";
    desktop.OnPump = [this, &err] {
      const std::string& text = main.StatusBar[4].Text;
      if (text == shown_) return;
      shown_ = text;
      err << Printable(text) << "\n";
      if (OnStatus) OnStatus(text);
    };
  }

  FolderLock lock;
  HeadlessDesktop desktop;
  TfrmOptions options;
  TfrmMain main;
  // Sees every new status text.
  std::function<void(const std::string&)> OnStatus;

 private:
  std::string shown_;
};

}  // namespace norva::cli
