// norva: the desktop application over the program folder (NORVA_FOLDER, when set, names
// another one).
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <cstdlib>
#include <memory>

#include "config/DesktopKeyring.h"
#include "config/Options.h"
#include "store/FolderLock.h"
#include "ui/Application.h"
#include "ui/SingleInstance.h"
#include "ui/Text.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("N o r v a");
  QApplication::setQuitOnLastWindowClosed(false);
  // Passwords go to the desktop's keyring where there is one; it may ask to be unlocked.
  norva::SetDefaultSecretStore(norva::MakeDesktopKeyring(true));
  if (const char* folder = std::getenv("NORVA_FOLDER"); folder && *folder)
    norva::SetProgramFolder(QDir(folder).absolutePath().toStdString());
  // One Norva program at a time writes a folder; this one holds it until it ends.
  std::unique_ptr<norva::FolderLock> lock;
  try {
    lock = std::make_unique<norva::FolderLock>(norva::ProgramFolder(), "the Norva desktop program");
  } catch (const std::exception& e) {
    // A second start on the folder of a running Norva brings that one to the front. A folder
    // held by norva-cli has nobody to answer, and the user is told who holds it.
    if (dynamic_cast<const norva::EFolderBusy*>(&e) &&
        norva::ui::AskRunningInstanceToShow(norva::ui::ToQt(norva::ProgramFolder())))
      return 0;
    QMessageBox box(QMessageBox::Critical, "N o r v a", norva::ui::ToQt(e.what()));
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 1;
  }
  norva::ui::SingleInstance instance(norva::ui::ToQt(norva::ProgramFolder()));
  norva::ui::Application norva(norva::ProgramFolder());
  try {
    norva.Start();
  } catch (const std::exception& e) {
    // Started on an unreadable configuration, Norva could later overwrite the user's settings:
    // it stops and says why.
    QMessageBox::critical(nullptr, "N o r v a",
                          "The configuration " + norva::ui::ToQt(norva.Options().ConfigFileName()) +
                              " cannot be read:\n" + norva::ui::ToQt(e.what()));
    return 1;
  }
  QObject::connect(&instance, &norva::ui::SingleInstance::ShowRequested, [&norva] {
    QWidget& window = norva.Window();
    window.showNormal();
    window.raise();
    window.activateWindow();
  });
  return app.exec();
}
