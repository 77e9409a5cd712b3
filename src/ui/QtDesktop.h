// QtDesktop: the Desktop of the desktop application — Qt message and input boxes, file and
// print dialogs, WAV alarms, printing, opening files and links with the desktop, and the event
// pump.
#pragma once

#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include "app/Desktop.h"

class QWidget;
class QSoundEffect;

namespace norva::ui {

class QtDesktop : public Desktop {
 public:
  QtDesktop();
  ~QtDesktop() override;

  // The window dialogs belong to and that BringToFront raises.
  void SetMainWindow(QWidget* window) { mainWindow_ = window; }
  // Printing goes to this PDF file without a print dialog (tests and scripts); "" restores the
  // dialog.
  void SetPrintToPdf(const QString& path) { printToPdf_ = path; }
  // Runs at every ProcessMessages, after the pending events when it ran them (tests).
  std::function<void()> OnPump;
  // The tray icon and the window's icon follow SetTrayIcon through this.
  std::function<void(int imageIndex)> OnTrayIcon;
  // Shows a notification where the session has no notification service (the tray's balloon);
  // false when it cannot either.
  std::function<bool(const QString& title, const QString& text)> OnNotifyFallback;

  // "Description|*.a;*.b|All Files|*.*" as a Qt name filter list ("Description (*.a *.b);;...").
  static QString QtFilter(const std::string& filter);

  Result MessageBox(const std::string& text, const std::string& caption, int buttons, Icon icon,
                    bool foreground) override;
  bool InputBox(const std::string& caption, const std::string& prompt, std::string& value) override;
  bool OpenDialog(const std::string& title, const std::string& filter,
                  std::string& fileName) override;
  bool SaveDialog(const std::string& title, const std::string& filter,
                  std::string& fileName) override;
  bool FolderDialog(const std::string& title, std::string& folder) override;
  bool PrintLines(const std::vector<std::string>& lines, const std::string& font,
                  int pointSize) override;
  void PlaySound(const std::string& fileName, bool loop) override;
  void StopSound() override;
  void Beep() override;
  int OpenWithDesktop(const std::string& path) override;
  bool OpenUrl(const std::string& url) override;
  void SetTrayIcon(int imageIndex) override;
  // Through the session's freedesktop notification service, else OnNotifyFallback.
  bool Notify(const std::string& title, const std::string& text) override;
  int TextWidth(const std::string& text) override;
  void ScreenSize(int& width, int& height) override;
  void BringToFront() override;
  void SetBusyCursor(bool busy) override;
  void ShowError(const std::string& text) override;
  void ProcessMessages() override;

 private:
  QPointer<QWidget> mainWindow_;
  QString printToPdf_;
  std::unique_ptr<QSoundEffect> sound_;
  bool busyCursor_ = false;
  // The last time ProcessMessages ran Qt's events; a network wait asks many times a message.
  std::chrono::steady_clock::time_point pumpedAt_;
  bool pumped_ = false;
  int notifyMarkup_ = -1;  // whether the service reads markup in a body; -1 not asked yet
};

}  // namespace norva::ui
