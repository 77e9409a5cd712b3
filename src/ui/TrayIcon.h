// TrayIcon: Norva in the system tray — the icon (the animation's frame, with the count of new
// messages as a badge), the tooltip the logic writes, and the menu of the main commands.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace norva {
class TfrmMain;
}

namespace norva::ui {

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  // What the menu's commands do: the main window's own commands; seen ends the alarm (the
  // window came up: clicked in the tray, or activated otherwise while the badge shows).
  struct Commands {
    std::function<void()> check, show, hide, compose, preferences, quit, seen;
  };
  TrayIcon(TfrmMain& main, QWidget& window, Commands commands);
  ~TrayIcon() override;

  QMenu* Menu() const { return menu_; }
  QSystemTrayIcon* Icon() const { return icon_; }
  QString ToolTip() const;
  // The frame the logic shows (imlToolbar's index); the badge goes on top of it.
  void SetImage(int imageIndex);
  // The tooltip, the badge and the Show/Hide caption as the logic and the window stand now.
  void Refresh();
  // The tray's own balloon, for a desktop without a notification service.
  bool ShowMessage(const QString& title, const QString& text);
  void Show();
  void Hide();

  // The icon with count in a red disc over its lower right corner ("99+" above 99); as it is
  // for 0.
  static QIcon WithBadge(const QIcon& icon, int count);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool WindowShown() const;

  TfrmMain& main_;
  QWidget& window_;
  Commands commands_;
  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* showHide_ = nullptr;
  QTimer* refresh_ = nullptr;
  int image_ = 55;
  int shownImage_ = -1, shownCount_ = -1;
};

}  // namespace norva::ui
