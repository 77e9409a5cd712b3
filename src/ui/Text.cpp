// Bytes and the toolkit's text.
#include "ui/Text.h"

#include <QStringDecoder>

namespace norva::ui {

QString ToQt(const std::string& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
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

}  // namespace norva::ui
