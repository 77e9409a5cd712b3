// Application: Norva's windows and their logic over one program folder.
#include "ui/Application.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include "app/Msg.h"
#include "ui/AddressDialog.h"
#include "ui/Text.h"

namespace norva::ui {

std::string HelpFile() {
  const QDir exe(QCoreApplication::applicationDirPath());
  for (const char* relative :
       {"../share/doc/norva/help.html", "../../../docs/help.html", "../../docs/help.html"}) {
    const QFileInfo file(exe.filePath(relative));
    if (file.exists()) return file.canonicalFilePath().toStdString();
  }
  return exe.filePath("../share/doc/norva/help.html").toStdString();
}

Application::Application(const std::string& folder, std::unique_ptr<QtDesktop> desktop)
    : desktop_(desktop ? std::move(desktop) : std::make_unique<QtDesktop>()),
      options_(std::make_unique<TfrmOptions>(folder)),
      main_(std::make_unique<TfrmMain>(*desktop_, *options_)),
      rule_(std::make_unique<TfrmRule>(*options_)),
      window_(std::make_unique<MainWindow>(*main_, *rule_, *desktop_)) {
  InstallPlainTextLabels();
  InstallAddressDialog();
  main_->HelpFile = HelpFile();
  main_->frmRule = rule_.get();
  main_->OnNoMailbox = [this] { OpenAccountSetup(); };
}

Application::~Application() {
  desktop_->OnPump = nullptr;
}

void Application::Start() {
  window_->FormCreate();
  options_->Load();
  for (const std::string& warning : options_->LoadWarnings) main_->PutStatusMessage(warning);
  rule_->reloadCmbFilter();
  rule_->reloadCmbAction();
  main_->cmbSelAddressDropDown();
  main_->ScheduleStartupChecks();
  main_->frmMsg->FormCreate();
  // While the logic waits, the windows show what it changed so far.
  desktop_->OnPump = [this] { window_->Sync(false); };
  window_->show();
  window_->Sync();
  if (NeedsAccountSetup(*options_)) {
    main_->PutStatusMessage(kNoMailboxHint);
    // Once the main window is on screen, so the dialog opens over it.
    QTimer::singleShot(0, window_.get(), [this] {
      if (NeedsAccountSetup(*options_)) OpenAccountSetup();
    });
  }
}

void Application::OpenAccountSetup() {
  if (!setup_) {
    setup_ = new AccountSetupDialog(window_.get(), *options_, *desktop_);
    setup_->setAttribute(Qt::WA_DeleteOnClose);
    setup_->OnAdded = [this] {
      main_->cmbSelAddressDropDown();
      main_->NextCheckCalc();
      main_->PutStatusMessage("");
      window_->Sync();
    };
  }
  setup_->show();
  setup_->raise();
  setup_->activateWindow();
}

}  // namespace norva::ui
