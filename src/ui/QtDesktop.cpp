// QtDesktop: the Desktop of the desktop application.
#include "ui/QtDesktop.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QInputDialog>
#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QSoundEffect>
#include <QUrl>
#include <algorithm>

#include "ui/Text.h"

namespace norva::ui {

namespace {

// A modal dialog over a busy window gets the ordinary cursor back while it is open.
class NormalCursor {
 public:
  explicit NormalCursor(bool busy) : active_(busy) {
    if (active_) QApplication::setOverrideCursor(Qt::ArrowCursor);
  }
  ~NormalCursor() {
    if (active_) QApplication::restoreOverrideCursor();
  }
  NormalCursor(const NormalCursor&) = delete;
  NormalCursor& operator=(const NormalCursor&) = delete;

 private:
  bool active_;
};

// The preset of a file dialog: a path, or a folder when it ends in "/".
struct Preset {
  QString folder;
  QString name;
};

Preset SplitPreset(const std::string& fileName) {
  const QString path = ToQt(fileName);
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  if (slash < 0) return {QString(), path};
  return {path.left(slash + 1), path.mid(slash + 1)};
}

bool RunFileDialog(QWidget* parent, bool busy, QFileDialog::AcceptMode mode,
                   const std::string& title, const std::string& filter, std::string& fileName) {
  const Preset preset = SplitPreset(fileName);
  QFileDialog dialog(parent, ToQt(title), preset.folder, QtDesktop::QtFilter(filter));
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile
                                                     : QFileDialog::AnyFile);
  if (!preset.name.isEmpty()) dialog.selectFile(preset.name);
  NormalCursor cursor(busy);
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return false;
  fileName = FromQt(files.first());
  return true;
}

// A line as printed: tabs to the next multiple of eight columns, other control bytes as spaces
// (they would show as boxes or move the printer's head).
QString PrintableLine(const std::string& line) {
  const QString text = ToQt(line);
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    if (c == QLatin1Char('\t')) {
      do out += QLatin1Char(' ');
      while (out.size() % 8 != 0);
    } else if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
      out += QLatin1Char(' ');
    } else {
      out += c;
    }
  }
  return out;
}

// The named font when the system has it, else the closest fixed-pitch one at the same size.
QFont PrintFont(const std::string& family, int pointSize) {
  const int size = pointSize > 0 ? pointSize : 8;
  QFont font(ToQt(family), size);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  const QFontInfo info(font);
  if (info.family().compare(font.family(), Qt::CaseInsensitive) == 0 || info.fixedPitch())
    return font;
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPointSize(size);
  return fixed;
}

}  // namespace

QtDesktop::QtDesktop() = default;

QtDesktop::~QtDesktop() {
  StopSound();
  if (busyCursor_) QApplication::restoreOverrideCursor();
}

QString QtDesktop::QtFilter(const std::string& filter) {
  // Pairs of description and patterns; a description without patterns stands alone.
  const QStringList parts = ToQt(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    const QString description = parts[i].trimmed();
    QStringList patterns;
    if (i + 1 < parts.size()) {
      for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts))
        if (!pattern.trimmed().isEmpty()) patterns << pattern.trimmed();
    }
    if (description.isEmpty() && patterns.isEmpty()) continue;
    if (patterns.isEmpty())
      filters << description;
    else
      filters << (description.isEmpty() ? QString() : description + QLatin1Char(' ')) +
                     QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters.join(QStringLiteral(";;"));
}

Desktop::Result QtDesktop::MessageBox(const std::string& text, const std::string& caption,
                                      int buttons, Icon icon, bool foreground) {
  QMessageBox box(mainWindow_);
  box.setWindowTitle(ToQt(caption));
  // Texts carry server replies and message text: shown as they are, never as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(ShownText(text));
  switch (icon) {
    case iconInformation:
      box.setIcon(QMessageBox::Information);
      break;
    case iconWarning:
      box.setIcon(QMessageBox::Warning);
      break;
    case iconError:
      box.setIcon(QMessageBox::Critical);
      break;
    case iconQuestion:
      box.setIcon(QMessageBox::Question);
      break;
    case iconNone:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }
  QMessageBox::StandardButtons standard;
  if (buttons & mbOK) standard |= QMessageBox::Ok;
  if (buttons & mbYes) standard |= QMessageBox::Yes;
  if (buttons & mbNo) standard |= QMessageBox::No;
  if (buttons & mbCancel) standard |= QMessageBox::Cancel;
  if (!standard) standard = QMessageBox::Ok;
  box.setStandardButtons(standard);
  // The first of OK and Yes is the default, as in a question's usual order, unless the question
  // asks for No.
  if ((buttons & mbDefaultNo) && (standard & QMessageBox::No))
    box.setDefaultButton(QMessageBox::No);
  else if (standard & QMessageBox::Ok)
    box.setDefaultButton(QMessageBox::Ok);
  else if (standard & QMessageBox::Yes)
    box.setDefaultButton(QMessageBox::Yes);
  // Over every other window, but the main window stays where it is: hidden in the tray it
  // stays hidden, and the box stands on its own.
  if (foreground) {
    if (mainWindow_ && (!mainWindow_->isVisible() || mainWindow_->isMinimized()))
      box.setParent(nullptr, box.windowFlags());
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
  }
  NormalCursor cursor(busyCursor_);
  switch (box.exec()) {
    case QMessageBox::Ok:
      return mrOK;
    case QMessageBox::Cancel:
      return mrCancel;
    case QMessageBox::Yes:
      return mrYes;
    case QMessageBox::No:
      return mrNo;
    default:
      return mrNone;
  }
}

bool QtDesktop::InputBox(const std::string& caption, const std::string& prompt,
                         std::string& value) {
  NormalCursor cursor(busyCursor_);
  bool ok = false;
  const QString text = QInputDialog::getText(mainWindow_, ToQt(caption), ToQt(prompt),
                                             QLineEdit::Normal, ToQt(value), &ok);
  if (!ok) return false;
  value = FromQt(text);
  return true;
}

bool QtDesktop::OpenDialog(const std::string& title, const std::string& filter,
                           std::string& fileName) {
  return RunFileDialog(mainWindow_, busyCursor_, QFileDialog::AcceptOpen, title, filter, fileName);
}

bool QtDesktop::SaveDialog(const std::string& title, const std::string& filter,
                           std::string& fileName) {
  return RunFileDialog(mainWindow_, busyCursor_, QFileDialog::AcceptSave, title, filter, fileName);
}

bool QtDesktop::FolderDialog(const std::string& title, std::string& folder) {
  NormalCursor cursor(busyCursor_);
  const QString chosen =
      QFileDialog::getExistingDirectory(mainWindow_, ToQt(title), ToQt(folder));
  if (chosen.isEmpty()) return false;
  folder = FromQt(chosen);
  return true;
}

bool QtDesktop::PrintLines(const std::vector<std::string>& lines, const std::string& font,
                           int pointSize) {
  QPrinter printer(QPrinter::HighResolution);
  const bool toPdf = !printToPdf_.isEmpty();
  if (toPdf) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(printToPdf_);
  } else {
    QPrintDialog dialog(&printer, mainWindow_);
    NormalCursor cursor(busyCursor_);
    if (dialog.exec() != QDialog::Accepted) return false;
  }

  QPainter painter;
  if (!painter.begin(&printer)) {
    if (!toPdf) ShowError("The printer could not be started.");
    return false;
  }
  painter.setFont(PrintFont(font, pointSize));
  const QFontMetrics metrics = painter.fontMetrics();
  const QRectF page = printer.pageRect(QPrinter::DevicePixel);
  const int width = int(page.width());
  const int height = int(page.height());
  const int lineHeight = std::max(1, metrics.lineSpacing());
  // Long lines are cut at the page's edge, never wrapped.
  painter.setClipRect(QRect(0, 0, width, height));
  int y = 0;
  for (const std::string& line : lines) {
    const bool pageBreak = line.size() == 1 && line[0] == kPageBreak;
    if (y > 0 && (pageBreak || y + lineHeight > height)) {
      if (!printer.newPage()) {
        painter.end();
        if (!toPdf) ShowError("Printing failed.");
        return false;
      }
      y = 0;
    }
    if (pageBreak) continue;
    painter.drawText(0, y + metrics.ascent(), PrintableLine(line));
    y += lineHeight;
  }
  return painter.end();
}

void QtDesktop::PlaySound(const std::string& fileName, bool loop) {
  StopSound();
  const QString path = ToQt(fileName);
  // Nothing to load: the alarm stays silent rather than report a missing file every time.
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  sound_ = std::make_unique<QSoundEffect>();
  sound_->setSource(QUrl::fromLocalFile(path));
  sound_->setLoopCount(loop ? int(QSoundEffect::Infinite) : 1);
  // Plays once loaded; a file that cannot be decoded or a missing audio device just stays
  // silent.
  sound_->play();
}

void QtDesktop::StopSound() {
  if (!sound_) return;
  sound_->stop();
  sound_.reset();
}

void QtDesktop::Beep() {
  QApplication::beep();
}

int QtDesktop::OpenWithDesktop(const std::string& path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(ToQt(path))) ? 33 : 0;
}

bool QtDesktop::OpenUrl(const std::string& url) {
  const QUrl address(ToQt(url), QUrl::StrictMode);
  return address.isValid() && QDesktopServices::openUrl(address);
}

void QtDesktop::SetTrayIcon(int imageIndex) {
  if (OnTrayIcon) OnTrayIcon(imageIndex);
}

bool QtDesktop::Notify(const std::string& title, const std::string& text) {
  static const QString service = QStringLiteral("org.freedesktop.Notifications");
  static const QString path = QStringLiteral("/org/freedesktop/Notifications");
  QDBusConnection bus = QDBusConnection::sessionBus();
  const bool hasService = bus.isConnected() && bus.interface() &&
                          bus.interface()->isServiceRegistered(service).value();
  if (!hasService) return OnNotifyFallback && OnNotifyFallback(ToQt(title), ShownText(text));
  if (notifyMarkup_ < 0) {
    const QDBusReply<QStringList> caps = bus.call(
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("GetCapabilities")),
        QDBus::Block, 2000);
    notifyMarkup_ = caps.isValid() && caps.value().contains(QStringLiteral("body-markup"));
  }
  // Senders and subjects are other people's text: a service that reads markup gets it escaped.
  QString body = ShownText(text);
  if (notifyMarkup_) body = body.toHtmlEscaped();
  QDBusMessage call =
      QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
  call << QStringLiteral("Norva") << uint(0) << QStringLiteral("norva") << ToQt(title) << body
       << QStringList() << QVariantMap() << int(-1);
  // Sent without waiting for the answer: a slow service must not hold up the window.
  return bus.send(call);
}

int QtDesktop::TextWidth(const std::string& text) {
  return QFontMetrics(QApplication::font()).horizontalAdvance(ToQt(text));
}

void QtDesktop::ScreenSize(int& width, int& height) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect();
  if (area.isEmpty()) {
    width = 1024;
    height = 768;
    return;
  }
  width = area.width();
  height = area.height();
}

void QtDesktop::BringToFront() {
  if (!mainWindow_) return;
  // Out of the minimized state and back from the tray, keeping a maximized window maximized.
  mainWindow_->setWindowState((mainWindow_->windowState() & ~Qt::WindowMinimized) |
                              Qt::WindowActive);
  mainWindow_->show();
  mainWindow_->raise();
  mainWindow_->activateWindow();
}

void QtDesktop::SetBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void QtDesktop::ShowError(const std::string& text) {
  NormalCursor cursor(busyCursor_);
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString(), QMessageBox::Ok,
                  mainWindow_);
  box.setTextFormat(Qt::PlainText);  // a server's error line is not markup
  box.setText(ShownText(text));
  box.exec();
}

void QtDesktop::ProcessMessages() {
  // Waits on the network pump several times a message: Qt runs at most every 10 ms, often
  // enough for the windows to follow and for a click on Cancel to be taken at once.
  constexpr auto kInterval = std::chrono::milliseconds(10);
  const auto now = std::chrono::steady_clock::now();
  if (!pumped_ || now - pumpedAt_ >= kInterval) {
    pumped_ = true;
    pumpedAt_ = now;
    QCoreApplication::processEvents();
  }
  if (OnPump) OnPump();  // a test's look at every wait, however short the check
}

}  // namespace norva::ui
