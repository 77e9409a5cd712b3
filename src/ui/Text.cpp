// The logic's UTF-8 text and the toolkit's.
#include "ui/Text.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPointer>

#include "mail/mscharset.h"

namespace norva::ui {

QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString ShownText(const std::string& text) {
  return ToQt(WithoutBidiControls(text));
}

QString ShownLines(const std::vector<std::string>& lines) {
  QStringList list;
  list.reserve(qsizetype(lines.size()));
  for (const std::string& line : lines) list.push_back(ShownText(line));
  return list.join(QLatin1Char('\n'));
}

std::string FromQt(const QString& text) {
  return text.toStdString();
}

QString LinesToQt(const std::vector<std::string>& lines) {
  QStringList list;
  list.reserve(qsizetype(lines.size()));
  for (const std::string& line : lines) list.push_back(ToQt(line));
  return list.join(QLatin1Char('\n'));
}

std::vector<std::string> LinesFromQt(const QString& text) {
  std::vector<std::string> lines;
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(FromQt(line));
  return lines;
}

namespace {

class PlainTextLabels : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // Polish comes before a widget is first shown; a tooltip's label is polished once and reused.
    if (event->type() == QEvent::Polish || event->type() == QEvent::Show) {
      if (auto* label = qobject_cast<QLabel*>(watched)) {
        if (label->textFormat() != Qt::PlainText) label->setTextFormat(Qt::PlainText);
      }
    }
    return false;
  }
};

}  // namespace

void InstallPlainTextLabels() {
  static QPointer<PlainTextLabels> installed;
  if (!qApp || installed) return;
  installed = new PlainTextLabels(qApp);
  qApp->installEventFilter(installed);
  // Labels made before, such as those a window lays out while it is built, are made plain now.
  for (QWidget* widget : QApplication::allWidgets()) {
    if (auto* label = qobject_cast<QLabel*>(widget)) label->setTextFormat(Qt::PlainText);
  }
}

}  // namespace norva::ui
