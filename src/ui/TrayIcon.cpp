// TrayIcon: Norva in the system tray.
#include "ui/TrayIcon.h"

#include <QAction>
#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "app/Main.h"
#include "ui/Images.h"
#include "ui/Text.h"

namespace norva::ui {

TrayIcon::TrayIcon(TfrmMain& main, QWidget& window, Commands commands)
    : QObject(&window), main_(main), window_(window), commands_(std::move(commands)) {
  icon_ = new QSystemTrayIcon(ToolbarImage(55), this);
  menu_ = new QMenu(&window);
  menu_->setObjectName("popTray");
  const auto add = [this](const char* name, const QString& text, std::function<void()>& run) {
    QAction* action = menu_->addAction(text, this, [&run] {
      if (run) run();
    });
    action->setObjectName(name);
    return action;
  };
  add("trayCheck", "&Check now", commands_.check);
  showHide_ = menu_->addAction("&Hide", this, [this] {
    const auto& run = WindowShown() ? commands_.hide : commands_.show;
    if (run) run();
  });
  showHide_->setObjectName("trayShowHide");
  add("trayNewMessage", "&New message", commands_.compose);
  add("trayPreferences", "&Preferences", commands_.preferences);
  menu_->addSeparator();
  add("trayQuit", "&Quit", commands_.quit);
  // A menu opened while Norva checks offers what can run: the others wait for the check.
  connect(menu_, &QMenu::aboutToShow, this, [this] {
    Refresh();
    for (QAction* action : menu_->actions())
      if (action != showHide_ && action->objectName() != "trayQuit")
        action->setEnabled(!main_.Busy);
  });
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r != QSystemTrayIcon::Trigger && r != QSystemTrayIcon::DoubleClick) return;
    if (commands_.show) commands_.show();
  });
  connect(icon_, &QSystemTrayIcon::messageClicked, this, [this] {
    if (commands_.show) commands_.show();
  });
  window_.installEventFilter(this);
  // The counts change with every check and every command; a light poll keeps the tooltip and
  // the badge current without hooking each of them.
  refresh_ = new QTimer(this);
  refresh_->setInterval(1000);
  connect(refresh_, &QTimer::timeout, this, [this] { Refresh(); });
  refresh_->start();
  Refresh();
}

TrayIcon::~TrayIcon() {
  window_.removeEventFilter(this);
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &window_ && event->type() == QEvent::WindowActivate && main_.UnseenNew > 0 &&
      commands_.seen) {
    // After the activation's own handling, outside any event the logic may be pumping.
    QTimer::singleShot(0, this, [this] {
      if (main_.UnseenNew > 0 && commands_.seen) commands_.seen();
      Refresh();
    });
  }
  return QObject::eventFilter(watched, event);
}

bool TrayIcon::WindowShown() const {
  return window_.isVisible() && !window_.isMinimized();
}

QString TrayIcon::ToolTip() const {
  return icon_->toolTip();
}

void TrayIcon::SetImage(int imageIndex) {
  image_ = imageIndex;
  Refresh();
}

void TrayIcon::Refresh() {
  const QString tip = ShownText(main_.TrayHint());
  if (icon_->toolTip() != tip) icon_->setToolTip(tip);
  const int count = std::max(main_.UnseenNew, 0);
  if (image_ != shownImage_ || count != shownCount_) {
    shownImage_ = image_;
    shownCount_ = count;
    icon_->setIcon(WithBadge(ToolbarImage(image_), count));
  }
  showHide_->setText(WindowShown() ? "&Hide" : "&Show");
}

bool TrayIcon::ShowMessage(const QString& title, const QString& text) {
  if (!icon_->isVisible() || !QSystemTrayIcon::supportsMessages()) return false;
  icon_->showMessage(title, text, QSystemTrayIcon::Information, 10000);
  return true;
}

void TrayIcon::Show() {
  icon_->show();
}

void TrayIcon::Hide() {
  icon_->hide();
}

QIcon TrayIcon::WithBadge(const QIcon& icon, int count) {
  if (count <= 0) return icon;
  constexpr int kSize = 32;
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  icon.paint(&p, QRect(0, 0, kSize, kSize));
  const QString text = count > 99 ? QStringLiteral("99+") : QString::number(count);
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(text.size() > 2 ? 10 : 13);
  p.setFont(font);
  const int width = std::max(18, p.fontMetrics().horizontalAdvance(text) + 6);
  const QRect disc(kSize - width, kSize - 18, width, 18);
  p.setPen(QPen(Qt::white, 1.5));
  p.setBrush(QColor(0xD3, 0x2F, 0x2F));
  p.drawRoundedRect(disc, 9, 9);
  p.setPen(Qt::white);
  p.drawText(disc, Qt::AlignCenter, text);
  p.end();
  return QIcon(pixmap);
}

}  // namespace norva::ui
