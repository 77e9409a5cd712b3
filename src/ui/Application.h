// Application: Norva's windows and their logic over one program folder, created in order (main
// window, preferences, rule editor, message window) and started as the desktop program does.
#pragma once

#include <memory>
#include <string>

#include "app/Main.h"
#include "app/Rules.h"
#include <QPointer>

#include "ui/AccountSetupDialog.h"
#include "ui/MainWindow.h"
#include "ui/QtDesktop.h"

namespace norva::ui {

class Application {
 public:
  // The folder of Config.QDB, the templates, check lists and archives; tests bring a desktop
  // of their own.
  explicit Application(const std::string& folder, std::unique_ptr<QtDesktop> desktop = nullptr);
  ~Application();

  // Loads the configuration and brings the windows up (the main window shown, the scheduler
  // running). Raises the store's error when Config.QDB cannot be read.
  void Start();

  // Opens the mailbox setup dialog (or raises it when open); Start calls it when Config.QDB holds
  // no mailbox, the Check button when there is still none.
  void OpenAccountSetup();
  AccountSetupDialog* AccountSetup() const { return setup_; }

  QtDesktop& Desktop() { return *desktop_; }
  TfrmOptions& Options() { return *options_; }
  TfrmMain& Main() { return *main_; }
  TfrmRule& Rule() { return *rule_; }
  MainWindow& Window() { return *window_; }

 private:
  std::unique_ptr<QtDesktop> desktop_;
  std::unique_ptr<TfrmOptions> options_;
  std::unique_ptr<TfrmMain> main_;
  std::unique_ptr<TfrmRule> rule_;
  std::unique_ptr<MainWindow> window_;
  QPointer<AccountSetupDialog> setup_;
};

// The user manual: beside the program when installed, in the source tree when run from a build.
std::string HelpFile();

}  // namespace norva::ui
